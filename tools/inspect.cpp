// savrel-inspect: shows what a recording holds, loaded exactly as the viewer loads it.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "profile/profile.h"

namespace {

const char* const kUsage = "usage: savrel-inspect [--json | --csv] FILE";
const char* const kHelp =
    "Shows what a Savrel recording holds, loaded exactly as the viewer loads it.\n"
    "\n"
    "  (default)  frame and section counts, the group/item tree, and per section the mean,\n"
    "             minimum, maximum and 95th percentile of its values, then frame-total\n"
    "             statistics and the loader's diagnostics\n"
    "  --json     the whole table: frame_count, capacity, sections (index, type, group_index,\n"
    "             name, colour, values) and diagnostics\n"
    "  --csv      one row per frame: the frame number, then one column per section, the\n"
    "             root first as \"total\", then \"Group\" and \"Group/Item\"\n"
    "  --help     this text\n"
    "\n"
    "Exit status: 0 when a table was loaded, 1 when the file is missing, refused or has no\n"
    "structure record, 2 on bad usage.\n";
constexpr double kPercentile = 0.95;

enum Format { FORMAT_REPORT, FORMAT_JSON, FORMAT_CSV };

// Keeps floats at their own precision, so 0.1f is written as 0.1.
using Json = nlohmann::basic_json<std::map, std::vector, std::string, bool, std::int64_t, std::uint64_t, float>;

struct Statistics {
    double mean;
    float minimum;
    float maximum;
    float percentile;
    uint32_t maximum_frame;
};

struct Options {
    Format format;
    const char* path;
    bool help;
};

// NaN sorts after every number, so a damaged value cannot break the ordering.
bool before(float left, float right)
{
    return !std::isnan(left) && (std::isnan(right) || left < right);
}

// Nearest-rank percentile: the smallest value that at least that share of the frames reach.
Statistics statistics_of(const float* values, uint32_t count)
{
    Statistics result{};
    if (count == 0) return result;
    double sum = 0;
    for (uint32_t frame = 0; frame < count; frame++) sum += values[frame];
    result.mean = sum / count;
    const float* highest = std::max_element(values, values + count, before);
    result.maximum = *highest;
    result.maximum_frame = uint32_t(highest - values);
    result.minimum = *std::min_element(values, values + count, before);
    std::vector<float> sorted(values, values + count);
    size_t rank = size_t(std::ceil(kPercentile * count)) - 1;
    std::nth_element(sorted.begin(), sorted.begin() + long(rank), sorted.end(), before);
    result.percentile = sorted[rank];
    return result;
}

std::vector<std::string> diagnostics()
{
    if (profile_last_status() == PROFILE_OK) return {};
    return {profile_last_detail()};
}

// Control characters in a name would garble the terminal.
std::string printable(const char* name)
{
    std::string text(name);
    for (char& character : text)
        if (static_cast<unsigned char>(character) < 0x20 || character == 0x7f) character = '?';
    return text;
}

std::string section_label(const Section* section)
{
    if (section->type == SECTION_ROOT) return "total";
    return (section->type == SECTION_ITEM ? "  " : "") + printable(section->name);
}

void print_report(const char* path, const SectionTable* table)
{
    std::printf("File: %s\n", path);
    std::printf("Frames: %u (capacity %u values per section)\n", table->frame_count, profile_capacity(table));
    std::printf("Sections: %u\n\n", table->section_count);
    std::printf("%6s  %-35s %12s %12s %12s %12s\n", "index", "section", "mean", "min", "max", "p95");
    for (uint32_t index = 0; index < table->section_count; index++) {
        const Section* section = &table->sections[index];
        std::printf("%6u  %-35s", index, section_label(section).c_str());
        if (table->frame_count > 0) {
            Statistics stats = statistics_of(section->values, table->frame_count);
            std::printf(" %12.6g %12.6g %12.6g %12.6g", stats.mean, double(stats.minimum), double(stats.maximum),
                        double(stats.percentile));
        }
        std::printf("\n");
    }
    if (table->frame_count > 0) {
        Statistics totals = statistics_of(table->sections[0].values, table->frame_count);
        std::printf("\nFrame totals: mean %.6g, worst %.6g (frame %u), 95th percentile %.6g\n", totals.mean,
                    double(totals.maximum), totals.maximum_frame, double(totals.percentile));
    } else {
        std::printf("\nFrame totals: no frames\n");
    }
    std::vector<std::string> notes = diagnostics();
    std::printf("Diagnostics: %s\n", notes.empty() ? "none" : notes[0].c_str());
}

void print_json(const SectionTable* table)
{
    Json sections = Json::array();
    for (uint32_t index = 0; index < table->section_count; index++) {
        const Section* section = &table->sections[index];
        const float* values = section->values;
        sections.push_back({{"index", index},
                            {"type", section->type},
                            {"group_index", section->group_index},
                            {"name", section->name},
                            {"colour", {section->colour[0], section->colour[1], section->colour[2]}},
                            {"values", std::vector<float>(values, values + (values ? table->frame_count : 0))}});
    }
    Json document = {{"frame_count", table->frame_count},
                     {"capacity", profile_capacity(table)},
                     {"sections", sections},
                     {"diagnostics", diagnostics()}};
    // Names are raw bytes from the file; invalid UTF-8 must not abort the dump.
    std::puts(document.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
}

std::string csv_field(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char character : text) quoted += character == '"' ? std::string("\"\"") : std::string(1, character);
    return quoted + "\"";
}

void print_csv(const SectionTable* table)
{
    std::string header = "frame";
    const char* group_name = "";
    for (uint32_t index = 0; index < table->section_count; index++) {
        const Section* section = &table->sections[index];
        std::string column = section->name;
        if (section->type == SECTION_ROOT) column = "total";
        if (section->type == SECTION_GROUP) group_name = section->name;
        if (section->type == SECTION_ITEM) column = std::string(group_name) + "/" + section->name;
        header += ',';
        header += csv_field(column);
    }
    std::puts(header.c_str());
    for (uint32_t frame = 0; frame < table->frame_count; frame++) {
        std::printf("%u", frame);
        for (uint32_t index = 0; index < table->section_count; index++)
            std::printf(",%.9g", double(table->sections[index].values[frame]));
        std::printf("\n");
    }
}

// False on bad usage.
bool parse_options(int argc, char** argv, Options* options)
{
    *options = Options{FORMAT_REPORT, nullptr, false};
    bool format_chosen = false;
    for (int index = 1; index < argc; index++) {
        const char* argument = argv[index];
        bool json = std::strcmp(argument, "--json") == 0, csv = std::strcmp(argument, "--csv") == 0;
        if (std::strcmp(argument, "--help") == 0) {
            options->help = true;
        } else if (json || csv) {
            if (format_chosen) return false;
            options->format = json ? FORMAT_JSON : FORMAT_CSV;
            format_chosen = true;
        } else if (argument[0] == '-' || options->path) {
            return false;
        } else {
            options->path = argument;
        }
    }
    return options->help || options->path;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parse_options(argc, argv, &options)) {
        std::fprintf(stderr, "%s\n", kUsage);
        return 2;
    }
    if (options.help) {
        std::printf("%s\n\n%s", kUsage, kHelp);
        return 0;
    }
    profile_load(options.path);
    const SectionTable* table = profile_table();
    bool loaded = table->section_count > 0;
    if (options.format == FORMAT_JSON) print_json(table);
    if (!loaded && options.format != FORMAT_JSON)
        std::fprintf(stderr, "savrel-inspect: %s: %s\n", options.path, profile_last_detail());
    if (loaded && options.format == FORMAT_REPORT) print_report(options.path, table);
    if (loaded && options.format == FORMAT_CSV) print_csv(table);
    return loaded ? 0 : 1;
}
