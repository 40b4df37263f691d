// savrel-compare: which sections got slower between recordings, with a verdict a CI job can use.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "profile/profile.h"
#include "tools/compare/analysis.h"
#include "tools/compare/report.h"

namespace {

const char* const kUsage =
    "usage: savrel-compare [--json] [--fail-above PCT] [--fail-above-ms MS] [--frames A..B] "
    "[--base-frames A..B] [--new-frames A..B] BASE NEW | BASE... -- NEW...";
const char* const kHelp =
    "Compares recordings section by section: which sections got slower, and how sure that is.\n"
    "BASE and NEW are one recording each, or several runs of one build per side with -- between\n"
    "the sides; runs are replicates, and their spread counts in the verdict.\n"
    "\n"
    "  --fail-above PCT    exit 3 when the total or a section's median is estimated more than\n"
    "                      PCT percent slower and the 97.5% one-sided bound of the change is above 0\n"
    "  --fail-above-ms MS  the same for a slowdown of more than MS milliseconds; with both, both hold\n"
    "  --frames A..B       only frames A to B of every recording (either end may be left out)\n"
    "  --base-frames A..B  the same for the base side only; --new-frames for the new side\n"
    "  --json              the same content as JSON, values in seconds\n"
    "  --help              this text\n"
    "\n"
    "Exit status: 0 passed, 1 a recording did not load, 2 bad usage, 3 the gate failed.\n";
constexpr int kExitLoad = 1;
constexpr int kExitUsage = 2;
constexpr int kExitFailed = 3;

struct Range {
    uint32_t first = 0;
    uint32_t last = UINT32_MAX;
    bool given = false;
};

struct Options {
    std::vector<std::string> sides[2];  // base, new
    Range ranges[3];  // base, new, both
    CompareThresholds thresholds = {};
    bool json = false;
    bool help = false;
};

bool parse_count(const std::string& text, uint32_t* value)
{
    char* end = nullptr;
    unsigned long number = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || text[0] == '-' || number > UINT32_MAX) return false;
    *value = uint32_t(number);
    return true;
}

// "A..B", "A.." or "..B".
bool parse_range(const char* text, Range* range)
{
    const char* dots = std::strstr(text, "..");
    if (!dots) return false;
    std::string first(text, dots), last(dots + 2);
    bool good = (first.empty() || parse_count(first, &range->first)) && (last.empty() || parse_count(last, &range->last));
    range->given = true;
    return good && range->first <= range->last;
}

// A non-negative finite number.
bool parse_amount(const char* text, double* value)
{
    char* end = nullptr;
    *value = std::strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(*value) && *value >= 0.0;
}

// One option that takes a value; an empty problem means it was good.
std::string parse_valued(const std::string& name, const char* value, Options* options)
{
    static const char* const kRangeNames[] = {"--base-frames", "--new-frames", "--frames"};
    for (int side = 0; side < 3; side++)
        if (name == kRangeNames[side] && !(value && parse_range(value, &options->ranges[side])))
            return name + " needs a range such as 100..199";
    CompareThresholds& thresholds = options->thresholds;
    if (name == "--fail-above" && !(value && parse_amount(value, &thresholds.percent)))
        return "--fail-above needs a percentage such as 5";
    if (name == "--fail-above-ms" && !(value && parse_amount(value, &thresholds.floor_seconds)))
        return "--fail-above-ms needs milliseconds such as 0.1";
    thresholds.has_percent = thresholds.has_percent || name == "--fail-above";
    if (name == "--fail-above-ms" && !thresholds.has_floor) thresholds.floor_seconds /= 1000.0;
    thresholds.has_floor = thresholds.has_floor || name == "--fail-above-ms";
    return "";
}

bool takes_value(const std::string& argument)
{
    for (const char* name : {"--frames", "--base-frames", "--new-frames", "--fail-above", "--fail-above-ms"})
        if (argument == name) return true;
    return false;
}

// Two files without -- are one run a side; an empty problem means the options are good.
std::string parse_options(int argc, char** argv, Options* options)
{
    std::vector<std::string> files;
    int separator = -1;
    for (int index = 1; index < argc; index++) {
        std::string argument = argv[index];
        const char* value = index + 1 < argc ? argv[index + 1] : nullptr;
        if (argument == "--help") {
            options->help = true;
        } else if (argument == "--json") {
            options->json = true;
        } else if (argument == "--") {
            if (separator >= 0) return "-- may appear once";
            separator = int(files.size());
        } else if (takes_value(argument)) {
            std::string problem = parse_valued(argument, value, options);
            if (!problem.empty()) return problem;
            index++;
        } else if (argument.size() > 1 && argument[0] == '-') {
            return "unknown option " + argument;
        } else {
            files.push_back(argument);
        }
    }
    if (options->help) return "";
    if (separator < 0 && files.size() != 2) return "give BASE and NEW, or several runs a side as BASE... -- NEW...";
    if (separator < 0) separator = 1;
    options->sides[0].assign(files.begin(), files.begin() + separator);
    options->sides[1].assign(files.begin() + separator, files.end());
    if (options->sides[0].empty() || options->sides[1].empty()) return "each side needs at least one recording";
    return "";
}

int usage_error(const std::string& problem)
{
    std::fprintf(stderr, "savrel-compare: %s (%s)\n", problem.c_str(), kUsage);
    return kExitUsage;
}

// Loads every run of a side and summarises it; the exit status on failure, else 0.
int summarize_side(const std::vector<std::string>& paths, const Range& range, std::vector<RunSummary>* runs)
{
    for (const std::string& path : paths) {
        profile_load(path.c_str());
        const SectionTable* table = profile_table();
        if (table->section_count == 0) {
            std::fprintf(stderr, "savrel-compare: %s did not load: %s\n", path.c_str(), profile_last_detail());
            return kExitLoad;
        }
        if (range.first >= table->frame_count && range.given) {
            std::fprintf(stderr, "savrel-compare: the frame range starts after the last frame of %s (%u frames) (%s)\n",
                         path.c_str(), table->frame_count, kUsage);
            return kExitUsage;
        }
        uint32_t first = std::min(range.first, table->frame_count);
        uint32_t last = std::min<uint64_t>(range.last, uint64_t(table->frame_count) - 1);
        uint32_t count = table->frame_count ? last - first + 1 : 0;
        runs->push_back(compare_summarize_table(table, first, count));
    }
    return 0;
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
    CompareInputs inputs = {options.sides[0], options.sides[1], {}, {}, options.thresholds};
    std::vector<RunSummary> runs[2];
    for (int side = 0; side < 2; side++) {
        Range range = options.ranges[side].given ? options.ranges[side] : options.ranges[2];
        inputs.first_frame[side] = range.first;
        inputs.last_frame[side] = range.last;
        int status = summarize_side(options.sides[side], range, &runs[side]);
        if (status) return status;
    }
    Comparison comparison = compare_runs(runs[0], runs[1], options.thresholds);
    if (options.json)
        compare_print_json(comparison, inputs);
    else
        compare_print_report(comparison, inputs);
    return comparison.failed ? kExitFailed : 0;
}
