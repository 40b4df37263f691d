// savrel-inspect: reads the recording once and shows it in the chosen output.
#include <algorithm>
#include <cstdio>

#include "profile/reader.h"
#include "tools/inspect/inspect.h"

namespace {

int usage_error(const std::string& problem)
{
    std::fprintf(stderr, "savrel-inspect: %s (%s)\n", problem.c_str(), kInspectUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    InspectOptions options;
    std::string problem = inspect_parse_options(argc, argv, &options);
    if (!problem.empty()) return usage_error(problem);
    if (options.help) {
        std::printf("%s\n\n%s", kInspectUsage, kInspectHelp);
        return 0;
    }
    recording_load(options.path);
    size_t size = 0;
    const uint8_t* bytes = recording_bytes(&size);
    const SectionTable* table = profile_table();
    bool loaded = table->section_count > 0;
    if (loaded && options.first_frame > 0 && options.first_frame >= table->frame_count)
        return usage_error("--frames starts after the last frame, " + std::to_string(int64_t(table->frame_count) - 1));
    uint32_t last = std::min(options.last_frame, table->frame_count ? table->frame_count - 1 : 0);
    InspectRange range{options.first_frame, table->frame_count > options.first_frame ? last - options.first_frame + 1 : 0};
    Inspection inspection = inspect_describe(table, range, bytes, size);
    // CSV shows the values alone; the other outputs wait for the statistics they show.
    bool analysed = options.format != INSPECT_CSV;
    if (analysed) inspect_start_analysis(&inspection, options.spikes);
    if (options.format == INSPECT_JSON) inspect_print_json(inspection);
    if (!loaded && options.format != INSPECT_JSON)
        std::fprintf(stderr, "savrel-inspect: %s: %s\n", options.path, profile_last_detail());
    if (loaded && options.format == INSPECT_REPORT) inspect_print_report(options.path, inspection);
    if (loaded && options.format == INSPECT_CSV) inspect_print_csv(inspection);
    if (analysed) inspect_wait_analysis(kInspectAllAnalysed);
    return loaded ? 0 : 1;
}
