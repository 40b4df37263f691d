// savrel-inspect: shows what a recording holds, loaded exactly as the viewer loads it, and
// which sections made its slowest frames slow.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "profile/profile.h"

namespace {

const char* const kUsage = "usage: savrel-inspect [--json | --csv] [--spikes N] [--frames A..B] FILE";
const char* const kHelp =
    "Shows what a Savrel recording holds, loaded exactly as the viewer loads it.\n"
    "Values are read as seconds (recordings have no unit field) and shown in milliseconds;\n"
    "--json keeps them as stored, in seconds.\n"
    "\n"
    "  (default)      frame and section counts, then per section the mean, minimum, maximum\n"
    "                 with its frame, and the 50th, 95th and 99th percentiles (nearest rank);\n"
    "                 the frame totals; the spikes; the loader's diagnostics\n"
    "  --json         frame_count, capacity, unit, first_frame, shown_frame_count, sections\n"
    "                 (index, type, group_index, name, colour, values, statistics), spikes,\n"
    "                 notes (the frames' strings, one list per frame) and diagnostics\n"
    "  --csv          one row per frame: the frame number, then one column per section, the\n"
    "                 root first as \"total (ms)\", then \"Group (ms)\" and \"Group/Item (ms)\"\n"
    "  --spikes N     the N frames with the largest totals (default 10; 0 for none), each with\n"
    "                 how far it stands above the median total, the (at most three) sections\n"
    "                 most above their own medians, and the frame's notes. Sections are items\n"
    "                 and groups without items\n"
    "  --frames A..B  only frames A to B (both included; either may be left out)\n"
    "  --help         this text\n"
    "\n"
    "Exit status: 0 when a table was loaded, 1 when the file is missing, refused or has no\n"
    "structure record, 2 on bad usage.\n";
const uint32_t kDefaultSpikes = 10;
const uint32_t kCausesPerSpike = 3;
const double kMillisecondsPerSecond = 1000.0;

enum Format { FORMAT_REPORT,
              FORMAT_JSON,
              FORMAT_CSV };

// Keeps floats at their own precision, so 0.1f is written as 0.1.
using Json = nlohmann::basic_json<std::map, std::vector, std::string, bool, std::int64_t, std::uint64_t, float>;

struct Options {
    Format format = FORMAT_REPORT;
    const char* path = nullptr;
    bool help = false;
    uint32_t spikes = kDefaultSpikes;
    uint32_t first_frame = 0;
    uint32_t last_frame = UINT32_MAX;
};

// The frames every output shows.
struct Range {
    uint32_t first;
    uint32_t count;
};

// Seconds, as stored; frame numbers count from the file's first frame.
struct Statistics {
    double mean;
    float minimum;
    float maximum;
    uint32_t maximum_frame;
    float p50;
    float p95;
    float p99;
};

struct Cause {
    uint32_t section;
    double excess;
};

struct Spike {
    uint32_t frame;
    double excess;
    std::vector<Cause> causes;
};

// Everything the outputs show, worked out once.
struct Inspection {
    const SectionTable* table;
    Range range;
    std::vector<std::string> labels;
    std::vector<Statistics> statistics;
    std::vector<Spike> spikes;
    std::vector<std::vector<std::string>> notes;
};

// NaN sorts after every number, so a damaged value cannot break the ordering.
bool before(float left, float right)
{
    return !std::isnan(left) && (std::isnan(right) || left < right);
}

// Nearest rank: the smallest value that at least that share of the frames reach. The
// highest share is selected first; each selection leaves the lower ranks in front of it,
// so the next one only searches there.
void select_percentiles(std::vector<float>* values, Statistics* result)
{
    const double shares[] = {0.99, 0.95, 0.50};
    float* targets[] = {&result->p99, &result->p95, &result->p50};
    auto end = values->end();
    for (int n = 0; n < 3; n++) {
        auto nth = values->begin() + long(std::ceil(shares[n] * double(values->size()))) - 1;
        std::nth_element(values->begin(), nth, end, before);
        *targets[n] = *nth;
        end = nth + 1;
    }
}

Statistics statistics_of(const float* values, Range range, std::vector<float>* scratch)
{
    Statistics result{};
    if (range.count == 0) return result;
    const float* first = values + range.first;
    double sum = 0;
    uint32_t lowest = 0, highest = 0;
    for (uint32_t frame = 0; frame < range.count; frame++) {
        sum += first[frame];
        if (before(first[frame], first[lowest])) lowest = frame;
        if (before(first[highest], first[frame])) highest = frame;
    }
    result.mean = sum / range.count;
    result.minimum = first[lowest];
    result.maximum = first[highest];
    result.maximum_frame = range.first + highest;
    scratch->assign(first, first + range.count);
    select_percentiles(scratch, &result);
    return result;
}

// Items, and groups with no items of their own: the sections whose time no other section repeats.
bool is_leaf(const SectionTable* table, uint32_t index)
{
    int32_t type = table->sections[index].type;
    bool items_follow = index + 1 < table->section_count && table->sections[index + 1].type == SECTION_ITEM;
    return type == SECTION_ITEM || (type == SECTION_GROUP && !items_follow);
}

// The sections most above their own medians in one frame, largest first.
std::vector<Cause> causes_of(const Inspection& inspection, uint32_t frame)
{
    std::vector<Cause> causes;
    for (uint32_t index = 1; index < inspection.table->section_count; index++) {
        double excess = double(inspection.table->sections[index].values[frame]) - inspection.statistics[index].p50;
        if (excess > 0 && is_leaf(inspection.table, index)) causes.push_back({index, excess});
    }
    size_t kept = std::min<size_t>(causes.size(), kCausesPerSpike);
    std::partial_sort(causes.begin(), causes.begin() + long(kept), causes.end(),
                      [](const Cause& a, const Cause& b) { return a.excess > b.excess; });
    causes.resize(kept);
    return causes;
}

std::vector<Spike> spikes_of(const Inspection& inspection, uint32_t wanted)
{
    const float* totals = inspection.table->sections[0].values;
    std::vector<uint32_t> frames(inspection.range.count);
    for (uint32_t n = 0; n < inspection.range.count; n++) frames[n] = inspection.range.first + n;
    size_t kept = std::min<size_t>(frames.size(), wanted);
    std::partial_sort(frames.begin(), frames.begin() + long(kept), frames.end(),
                      [totals](uint32_t a, uint32_t b) { return before(totals[b], totals[a]); });
    std::vector<Spike> spikes;
    for (size_t n = 0; n < kept; n++) {
        double excess = double(totals[frames[n]]) - inspection.statistics[0].p50;
        spikes.push_back({frames[n], excess, causes_of(inspection, frames[n])});
    }
    return spikes;
}

// The root as "total", items as "Group/Item".
std::vector<std::string> labels_of(const SectionTable* table)
{
    std::vector<std::string> labels;
    std::string group;
    for (uint32_t index = 0; index < table->section_count; index++) {
        const Section& section = table->sections[index];
        if (section.type == SECTION_GROUP) group = section.name;
        if (section.type == SECTION_ROOT)
            labels.push_back("total");
        else
            labels.push_back(section.type == SECTION_ITEM ? group + "/" + section.name : section.name);
    }
    return labels;
}

// Skips count values of four bytes; the reader is overrun when they are not all there.
void skip_values(ProfileReader* reader, uint32_t count)
{
    if (count > (reader->size - reader->position) / 4)
        reader->overrun = true;
    else
        reader->position += size_t(count) * 4;
}

// The frames' trailing strings, which the viewer's loader reads past: walked here over the
// same bytes in the same frame layout. Frames it cannot read have no notes.
std::vector<std::vector<std::string>> notes_of(const uint8_t* bytes, size_t size, uint32_t frame_count)
{
    ProfileReader reader{bytes, size, 0, false};
    std::vector<std::vector<std::string>> notes;
    while (notes.size() < frame_count && reader.position < reader.size && bytes[reader.position++] != 0) {
        profile_read_float(&reader);
        uint32_t groups = profile_read_u32(&reader);
        for (uint32_t group = 0; group < groups && !reader.overrun; group++) {
            profile_read_float(&reader);
            skip_values(&reader, profile_read_u32(&reader));
        }
        uint32_t strings = profile_read_u32(&reader);
        std::vector<std::string> frame_notes;
        for (uint32_t string = 0; string < strings && !reader.overrun; string++) {
            const uint8_t* start = bytes + reader.position;
            const void* end = std::memchr(start, 0, reader.size - reader.position);
            reader.overrun = !end;
            if (!end) break;
            frame_notes.emplace_back(reinterpret_cast<const char*>(start), static_cast<const uint8_t*>(end) - start);
            reader.position += frame_notes.back().size() + 1;
        }
        if (reader.overrun) break;
        notes.push_back(std::move(frame_notes));
    }
    notes.resize(frame_count);
    return notes;
}

std::vector<std::vector<std::string>> notes_of_file(const char* path, uint32_t frame_count)
{
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    std::vector<uint8_t> bytes(file && frame_count > 0 ? size_t(file.tellg()) : 0);
    file.seekg(0);
    file.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
    bytes.resize(size_t(file.gcount()));
    return notes_of(bytes.data(), bytes.size(), frame_count);
}

Inspection inspect(const char* path, const SectionTable* table, Range range, uint32_t spikes)
{
    Inspection inspection{table, range, labels_of(table), {}, {}, notes_of_file(path, table->frame_count)};
    std::vector<float> scratch;
    for (uint32_t index = 0; index < table->section_count; index++)
        inspection.statistics.push_back(statistics_of(table->sections[index].values, range, &scratch));
    if (range.count > 0) inspection.spikes = spikes_of(inspection, spikes);
    return inspection;
}

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

void print_spike(const Inspection& inspection, const Spike& spike)
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

void print_report(const char* path, const Inspection& inspection)
{
    const SectionTable* table = inspection.table;
    Range range = inspection.range;
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
        const Statistics& stats = inspection.statistics[index];
        if (range.count > 0)
            std::printf(" %10.3f %10.3f %10.3f %8u %10.3f %10.3f %10.3f", milliseconds(stats.mean),
                        milliseconds(stats.minimum), milliseconds(stats.maximum), stats.maximum_frame,
                        milliseconds(stats.p50), milliseconds(stats.p95), milliseconds(stats.p99));
        std::printf("\n");
    }
    const Statistics& totals = inspection.statistics[0];
    if (range.count > 0)
        std::printf("\nFrame totals (ms): mean %.3f, median %.3f, worst %.3f (frame %u), p95 %.3f, p99 %.3f\n",
                    milliseconds(totals.mean), milliseconds(totals.p50), milliseconds(totals.maximum),
                    totals.maximum_frame, milliseconds(totals.p95), milliseconds(totals.p99));
    else
        std::printf("\nFrame totals: no frames\n");
    if (!inspection.spikes.empty()) {
        std::printf("\nSpikes: the frames with the largest totals, and the sections most above their medians\n");
        for (const Spike& spike : inspection.spikes) print_spike(inspection, spike);
    }
    std::vector<std::string> notes = diagnostics();
    std::printf("\nDiagnostics: %s\n", notes.empty() ? "none" : notes[0].c_str());
}

Json statistics_json(const Statistics& stats)
{
    return {{"mean", stats.mean}, {"min", stats.minimum}, {"max", stats.maximum}, {"max_frame", stats.maximum_frame}, {"p50", stats.p50}, {"p95", stats.p95}, {"p99", stats.p99}};
}

Json spikes_json(const Inspection& inspection)
{
    Json spikes = Json::array();
    for (const Spike& spike : inspection.spikes) {
        Json causes = Json::array();
        for (const Cause& cause : spike.causes)
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

void print_json(const Inspection& inspection)
{
    const SectionTable* table = inspection.table;
    Range range = inspection.range;
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

std::string csv_field(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char character : text) quoted += character == '"' ? std::string("\"\"") : std::string(1, character);
    return quoted + "\"";
}

void print_csv(const Inspection& inspection)
{
    std::string header = "frame";
    for (const std::string& label : inspection.labels) {
        header += ',';
        header += csv_field(label + " (ms)");
    }
    std::puts(header.c_str());
    Range range = inspection.range;
    for (uint32_t frame = range.first; frame < range.first + range.count; frame++) {
        std::printf("%u", frame);
        for (uint32_t index = 0; index < inspection.table->section_count; index++)
            std::printf(",%.7g", milliseconds(inspection.table->sections[index].values[frame]));
        std::printf("\n");
    }
}

bool parse_count(const char* text, uint32_t* value)
{
    char* end = nullptr;
    unsigned long number = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || text[0] == '-' || number > UINT32_MAX) return false;
    *value = uint32_t(number);
    return true;
}

// "A..B", "A.." or "..B".
bool parse_range(const char* text, Options* options)
{
    const char* dots = std::strstr(text, "..");
    if (!dots) return false;
    std::string first(text, dots), last(dots + 2);
    bool good = (first.empty() || parse_count(first.c_str(), &options->first_frame)) &&
                (last.empty() || parse_count(last.c_str(), &options->last_frame));
    return good && options->first_frame <= options->last_frame;
}

// An empty problem means the options are good.
std::string parse_options(int argc, char** argv, Options* options)
{
    bool format_chosen = false;
    for (int index = 1; index < argc; index++) {
        std::string argument = argv[index];
        const char* value = index + 1 < argc ? argv[index + 1] : nullptr;
        if (argument == "--help") {
            options->help = true;
        } else if (argument == "--json" || argument == "--csv") {
            if (format_chosen) return "--json and --csv cannot be combined";
            options->format = argument == "--json" ? FORMAT_JSON : FORMAT_CSV;
            format_chosen = true;
        } else if (argument == "--spikes") {
            if (!value || !parse_count(value, &options->spikes)) return "--spikes needs a count";
            index++;
        } else if (argument == "--frames") {
            if (!value || !parse_range(value, options)) return "--frames needs a range such as 100..199";
            index++;
        } else if (argument[0] == '-') {
            return "unknown option " + argument;
        } else if (options->path) {
            return "one file only";
        } else {
            options->path = argv[index];
        }
    }
    if (!options->help && !options->path) return "no file given";
    return "";
}

int usage_error(const std::string& problem)
{
    std::fprintf(stderr, "savrel-inspect: %s (%s)\n", problem.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    std::string problem = parse_options(argc, argv, &options);
    if (!problem.empty()) return usage_error(problem);
    if (options.help) {
        std::printf("%s\n\n%s", kUsage, kHelp);
        return 0;
    }
    profile_load(options.path);
    const SectionTable* table = profile_table();
    bool loaded = table->section_count > 0;
    if (loaded && options.first_frame > 0 && options.first_frame >= table->frame_count)
        return usage_error("--frames starts after the last frame, " + std::to_string(int64_t(table->frame_count) - 1));
    uint32_t last = std::min(options.last_frame, table->frame_count ? table->frame_count - 1 : 0);
    Range range{options.first_frame, table->frame_count > options.first_frame ? last - options.first_frame + 1 : 0};
    Inspection inspection = inspect(options.path, table, range, options.spikes);
    if (options.format == FORMAT_JSON) print_json(inspection);
    if (!loaded && options.format != FORMAT_JSON)
        std::fprintf(stderr, "savrel-inspect: %s: %s\n", options.path, profile_last_detail());
    if (loaded && options.format == FORMAT_REPORT) print_report(options.path, inspection);
    if (loaded && options.format == FORMAT_CSV) print_csv(inspection);
    return loaded ? 0 : 1;
}
