// savrel-inspect output: the report for people, JSON and CSV.
#include <cstdio>
#include <map>

#include <nlohmann/json.hpp>

#include "tools/inspect/inspect.h"

namespace {

const double kMillisecondsPerSecond = 1000.0;

// Keeps floats at their own precision, so 0.1f is written as 0.1.
using Json = nlohmann::basic_json<std::map, std::vector, std::string, bool, std::int64_t, std::uint64_t, float>;

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

Json statistics_json(const InspectStatistics& stats)
{
    return {{"mean", stats.mean}, {"min", stats.minimum}, {"max", stats.maximum}, {"max_frame", stats.maximum_frame}, {"p50", stats.p50}, {"p95", stats.p95}, {"p99", stats.p99}};
}

Json spikes_json(const Inspection& inspection)
{
    Json spikes = Json::array();
    for (const InspectSpike& spike : inspection.spikes) {
        Json causes = Json::array();
        for (const InspectCause& cause : spike.causes)
            causes.push_back(
                {{"index", cause.section}, {"name", inspection.labels[cause.section]}, {"excess", cause.excess}});
        spikes.push_back({{"frame", spike.frame},
                          {"total", inspection.table->sections[0].values[spike.frame]},
                          {"excess", spike.excess},
                          {"sections", causes},
                          {"notes", inspection.notes[spike.frame]}});
    }
    return spikes;
}

std::string csv_field(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char character : text) quoted += character == '"' ? std::string("\"\"") : std::string(1, character);
    return quoted + "\"";
}

}  // namespace

void inspect_print_report(const char* path, const Inspection& inspection)
{
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

void inspect_print_json(const Inspection& inspection)
{
    const SectionTable* table = inspection.table;
    InspectRange range = inspection.range;
    Json sections = Json::array();
    for (uint32_t index = 0; index < table->section_count; index++) {
        const Section* section = &table->sections[index];
        const float* values = section->values ? section->values + range.first : nullptr;
        Json entry = {{"index", index},
                      {"type", section->type},
                      {"group_index", section->group_index},
                      {"name", section->type == SECTION_ROOT ? inspection.labels[0] : std::string(section->name)},
                      {"colour", {section->colour[0], section->colour[1], section->colour[2]}},
                      {"values", std::vector<float>(values, values + (values ? range.count : 0))}};
        if (range.count > 0) entry["statistics"] = statistics_json(inspection.statistics[index]);
        sections.push_back(entry);
    }
    auto first_note = inspection.notes.begin() + (range.count > 0 ? range.first : 0);
    Json document = {{"frame_count", table->frame_count},
                     {"capacity", profile_capacity(table)},
                     {"unit", "seconds"},
                     {"first_frame", range.first},
                     {"shown_frame_count", range.count},
                     {"sections", sections},
                     {"spikes", spikes_json(inspection)},
                     {"notes", std::vector<std::vector<std::string>>(first_note, first_note + range.count)},
                     {"diagnostics", diagnostics()}};
    // Names and notes are raw bytes from the file; invalid UTF-8 must not abort the dump.
    std::puts(document.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
}

void inspect_print_csv(const Inspection& inspection)
{
    std::string header = "frame";
    for (const std::string& label : inspection.labels) {
        header += ',';
        header += csv_field(label + " (ms)");
    }
    std::puts(header.c_str());
    InspectRange range = inspection.range;
    for (uint32_t frame = range.first; frame < range.first + range.count; frame++) {
        std::printf("%u", frame);
        for (uint32_t index = 0; index < inspection.table->section_count; index++)
            std::printf(",%.7g", milliseconds(inspection.table->sections[index].values[frame]));
        std::printf("\n");
    }
}
