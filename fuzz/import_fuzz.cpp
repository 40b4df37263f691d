// import_fuzz: libFuzzer target feeding arbitrary text to savrel-import's reader, frame picker
// and section mapping, in memory (no file is written).
//
// Beyond not crashing, every import must keep the recording's limits: at most
// SAVREL_MAX_SECTIONS sections and SAVREL_MAX_NOTES notes a frame, and every value finite and
// never negative (durations and overlaps cannot be).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "recorder/format.h"
#include "tools/import/frames.h"
#include "tools/import/sections.h"
#include "tools/import/trace.h"
#include "tools/import/trace_json.h"

namespace {

void check(bool holds, const char* what)
{
    if (holds) return;
    std::fprintf(stderr, "import_fuzz: %s\n", what);
    std::abort();
}

void map_frames(Trace* trace, const char* frame_name)
{
    FrameChoice choice{};
    std::string problem;
    if (!frames_choose(*trace, frame_name, nullptr, &choice, &problem)) return;
    std::vector<FrameSpan> frames = frames_spans(*trace, choice);
    check(frames.size() == choice.events, "one frame per marking event");
    SectionPlan plan{};
    sections_plan(trace, choice, frames, &plan);
    check(plan.section_count >= 1 && plan.section_count <= SAVREL_MAX_SECTIONS, "section count within the limit");
    std::vector<double> values;
    for (uint32_t frame = 0; frame < plan.frames.size(); frame++) {
        sections_frame(&plan, frame, &values);
        check(plan.scratch.notes.size() <= SAVREL_MAX_NOTES, "notes within the limit");
        for (double value : values) check(std::isfinite(value) && value >= 0.0, "finite, non-negative values");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    text.append(TRACE_FILE_PADDING, '\0');
    Trace trace{};
    TraceJsonResult result = trace_json_read_memory(text.c_str(), size, &trace);
    check(result.status == TRACE_JSON_OK || !result.detail.empty(), "a failure names its problem");
    if (result.status != TRACE_JSON_OK) return 0;
    trace_sort(&trace);
    // Without a name the automatic rule runs; with the first interned name, an explicit one.
    map_frames(&trace, nullptr);
    if (!trace.names.empty()) map_frames(&trace, trace.names[0]->c_str());
    return 0;
}
