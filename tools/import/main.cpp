// savrel-import: turns a trace event JSON file (what chrome://tracing and Perfetto open) into a
// Savrel recording: frames from one event name, groups and items from the events within them.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "recorder/format.h"
#include "tools/import/frames.h"
#include "tools/import/recording_writer.h"
#include "tools/import/sections.h"
#include "tools/import/trace.h"
#include "tools/import/trace_json.h"

namespace {

const char* const kUsage = "usage: savrel-import [--frame NAME] [--thread ID|NAME] TRACE.json OUT.bin";
const char* const kHelp =
    "Turns a trace event JSON file (an object with traceEvents, or a bare array, even one never\n"
    "closed) into a Savrel recording for savrel-view and savrel-inspect.\n"
    "\n"
    "  --frame NAME      the events of this name (durations or instants) mark the frames;\n"
    "                    without it, the most frequent name at the shallowest nesting level\n"
    "                    where some name occurs at least 10 times, on the busiest thread\n"
    "  --thread ID|NAME  the frames' thread: PID:TID, TID or a thread name (default: the\n"
    "                    thread with the most frame events)\n"
    "  --help            this text\n"
    "\n"
    "Exit status: 0 when the recording was written, 1 when the trace is unreadable, malformed\n"
    "or has no frames (nothing is written then), 2 on bad usage.\n";
const double kSecondsPerMicrosecond = 1e-6;

struct Options {
    const char* frame = nullptr;
    const char* thread = nullptr;
    const char* trace = nullptr;
    const char* out = nullptr;
    bool help = false;
};

bool usage_error(const char* problem)
{
    std::fprintf(stderr, "savrel-import: %s\n%s\n", problem, kUsage);
    return false;
}

bool parse_options(int argc, char** argv, Options* options)
{
    std::vector<const char*> paths;
    for (int index = 1; index < argc; index++) {
        const char* argument = argv[index];
        bool takes_value = std::strcmp(argument, "--frame") == 0 || std::strcmp(argument, "--thread") == 0;
        if (takes_value && index + 1 >= argc) return usage_error((std::string(argument) + " needs a value").c_str());
        if (std::strcmp(argument, "--frame") == 0)
            options->frame = argv[++index];
        else if (std::strcmp(argument, "--thread") == 0)
            options->thread = argv[++index];
        else if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0)
            options->help = true;
        else if (argument[0] == '-' && argument[1] != '\0')
            return usage_error((std::string("unknown option ") + argument).c_str());
        else
            paths.push_back(argument);
    }
    if (options->help) return true;
    if (paths.size() != 2) return usage_error("needs a trace and an output file");
    options->trace = paths[0];
    options->out = paths[1];
    return true;
}

bool fail(const char* what, const std::string& problem)
{
    std::fprintf(stderr, "savrel-import: %s: %s\n", what, problem.c_str());
    return false;
}

std::string thread_description(const Trace& trace, uint32_t thread)
{
    const TraceThread& entry = trace.threads[thread];
    return "\"" + trace_thread_label(trace, thread) + "\" (pid " + trace_id_text(trace, entry.pid) + ", tid " + trace_id_text(trace, entry.tid) + ")";
}

void add_left_out(std::string* text, uint64_t count, const char* why)
{
    if (count == 0) return;
    *text += text->empty() ? "; left out: " : ", ";
    *text += std::to_string(count) + " " + why;
}

void print_summary(const Options& options, const Trace& trace, const SectionPlan& plan)
{
    std::string left_out;
    add_left_out(&left_out, plan.outside_frames, "events outside every frame");
    add_left_out(&left_out, plan.notes_left_out, "notes past 16 in a frame");
    add_left_out(&left_out, plan.folded_sections, "smallest sections folded into \"(other)\" to stay within 4096");
    add_left_out(&left_out, trace.skipped.unmatched_ends, "E events without a B");
    add_left_out(&left_out, trace.skipped.unclosed_begins, "B events never ended");
    add_left_out(&left_out, trace.skipped.other, "counter, async, flow, sample, object or other metadata events");
    add_left_out(&left_out, trace.skipped.unusable, "events with a missing or unusable field");
    std::printf("savrel-import: wrote %s: %zu frames of \"%s\" on %s, %u sections%s\n", options.out, plan.frames.size(),
                trace_name(trace, plan.choice.name).c_str(), thread_description(trace, plan.choice.thread).c_str(),
                plan.section_count, left_out.empty() ? "; nothing left out" : left_out.c_str());
}

bool write_recording(const Options& options, SectionPlan* plan, std::string* problem)
{
    RecordingWriter writer{};
    if (!recording_writer_open(&writer, options.out, problem)) return false;
    std::vector<double> values;
    std::vector<std::string> notes;
    for (uint32_t frame = 0; frame < plan->frames.size(); frame++) {
        sections_frame(plan, frame, &values);
        notes.resize(plan->scratch.notes.size());
        for (size_t index = 0; index < notes.size(); index++) notes[index] = sections_text(trace_name(*plan->trace, plan->scratch.notes[index]), SAVREL_NOTE_SIZE - 1);
        const FrameSpan& span = plan->frames[frame];
        double end = frame + 1 < plan->frames.size() ? plan->frames[frame + 1].start : span.end;
        recording_writer_frame(&writer, (end - span.start) * kSecondsPerMicrosecond, plan->groups, values, notes);
    }
    recording_writer_structure(&writer, plan->groups);
    return recording_writer_commit(&writer, problem);
}

bool import_trace(const Options& options)
{
    Trace trace{};
    TraceJsonResult read = trace_json_read(options.trace, &trace);
    if (read.status == TRACE_JSON_UNREADABLE) return fail(options.trace, "cannot read: " + read.detail);
    if (read.status == TRACE_JSON_MALFORMED) return fail(options.trace, "malformed JSON at byte " + std::to_string(read.offset) + ": " + read.detail);
    if (read.status == TRACE_JSON_NO_EVENTS) return fail(options.trace, read.detail);
    trace_sort(&trace);
    FrameChoice choice{};
    std::string problem;
    if (!frames_choose(trace, options.frame, options.thread, &choice, &problem)) return fail(options.trace, problem);
    if (choice.automatic) {
        std::printf("savrel-import: frames are the %llu \"%s\" events on %s (the most frequent at the shallowest level); --frame NAME picks others\n",
                    static_cast<unsigned long long>(choice.events), trace_name(trace, choice.name).c_str(), thread_description(trace, choice.thread).c_str());
    }
    SectionPlan plan{};
    sections_plan(&trace, choice, frames_spans(trace, choice), &plan);
    if (!write_recording(options, &plan, &problem)) return fail(options.out, problem);
    print_summary(options, trace, plan);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parse_options(argc, argv, &options)) return 2;
    if (options.help) {
        std::printf("%s\n\n%s", kUsage, kHelp);
        return 0;
    }
    return import_trace(options) ? 0 : 1;
}
