// savrel-inspect output: the report for people; export.cpp writes JSON and CSV.
#include <cstdio>

#include "tools/inspect/inspect.h"

namespace {

const double kMillisecondsPerSecond = 1000.0;

std::vector<std::string> diagnostics()
{
    if (profile_last_status() == PROFILE_OK) return {};
    return {profile_last_detail()};
}

// Control characters in a name or note would garble the terminal.
std::string printable(const std::string& text)
{
    std::string result = text;
    for (char& character : result)
        if (static_cast<unsigned char>(character) < 0x20 || character == 0x7f) character = '?';
    return result;
}

double milliseconds(double seconds)
{
    return seconds * kMillisecondsPerSecond;
}

void print_spike(const Inspection& inspection, const InspectSpike& spike)
{
    std::printf("  frame %u: %.3f ms, %+.3f over the median:", spike.frame,
                milliseconds(inspection.table->sections[0].values[spike.frame]), milliseconds(spike.excess));
    for (size_t n = 0; n < spike.causes.size(); n++)
        std::printf("%s %s %+.3f", n ? "," : "", printable(inspection.labels[spike.causes[n].section]).c_str(),
                    milliseconds(spike.causes[n].excess));
    if (spike.causes.empty()) std::printf(" no section above its median");
    const std::vector<std::string>& notes = inspection.notes[spike.frame];
    for (size_t n = 0; n < notes.size(); n++)
        std::printf("%s\"%s\"", n ? ", " : "; notes: ", printable(notes[n]).c_str());
    std::printf("\n");
}

}  // namespace

void inspect_print_report(const char* path, const Inspection& inspection)
{
    inspect_wait_analysis(kInspectAllAnalysed);
    const SectionTable* table = inspection.table;
    InspectRange range = inspection.range;
    std::printf("File: %s\n", path);
    std::printf("Frames: %u (capacity %u values per section)", table->frame_count, profile_capacity(table));
    if (range.count > 0 && range.count < table->frame_count)
        std::printf(", showing %u..%u", range.first, range.first + range.count - 1);
    std::printf("\nSections: %u\n\n", table->section_count);
    std::printf("%5s  %-33s %10s %10s %10s %8s %10s %10s %10s\n", "index", "section", "mean (ms)", "min", "max",
                "at frame", "p50", "p95", "p99");
    for (uint32_t index = 0; index < table->section_count; index++) {
        const Section& section = table->sections[index];
        std::string label = section.type == SECTION_ITEM ? std::string("  ") + section.name : inspection.labels[index];
        std::printf("%5u  %-33s", index, printable(label).c_str());
        const InspectStatistics& stats = inspection.statistics[index];
        if (range.count > 0)
            std::printf(" %10.3f %10.3f %10.3f %8u %10.3f %10.3f %10.3f", milliseconds(stats.mean),
                        milliseconds(stats.minimum), milliseconds(stats.maximum), stats.maximum_frame,
                        milliseconds(stats.p50), milliseconds(stats.p95), milliseconds(stats.p99));
        std::printf("\n");
    }
    const InspectStatistics& totals = inspection.statistics[0];
    if (range.count > 0)
        std::printf("\nFrame totals (ms): mean %.3f, median %.3f, worst %.3f (frame %u), p95 %.3f, p99 %.3f\n",
                    milliseconds(totals.mean), milliseconds(totals.p50), milliseconds(totals.maximum),
                    totals.maximum_frame, milliseconds(totals.p95), milliseconds(totals.p99));
    else
        std::printf("\nFrame totals: no frames\n");
    if (!inspection.spikes.empty()) {
        std::printf("\nSpikes: the frames with the largest totals, and the sections most above their medians\n");
        for (const InspectSpike& spike : inspection.spikes) print_spike(inspection, spike);
    }
    std::vector<std::string> notes = diagnostics();
    std::printf("\nDiagnostics: %s\n", notes.empty() ? "none" : notes[0].c_str());
}
