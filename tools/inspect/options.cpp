// savrel-inspect options: the command line.
#include <cstdlib>
#include <cstring>

#include "tools/inspect/inspect.h"

const char* const kInspectUsage = "usage: savrel-inspect [--json | --csv] [--spikes N] [--frames A..B] FILE";
const char* const kInspectHelp =
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
namespace {

bool parse_count(const char* text, uint32_t* value)
{
    char* end = nullptr;
    unsigned long number = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || text[0] == '-' || number > UINT32_MAX) return false;
    *value = uint32_t(number);
    return true;
}

// "A..B", "A.." or "..B".
bool parse_range(const char* text, InspectOptions* options)
{
    const char* dots = std::strstr(text, "..");
    if (!dots) return false;
    std::string first(text, dots), last(dots + 2);
    bool good = (first.empty() || parse_count(first.c_str(), &options->first_frame)) &&
                (last.empty() || parse_count(last.c_str(), &options->last_frame));
    return good && options->first_frame <= options->last_frame;
}

}  // namespace

std::string inspect_parse_options(int argc, char** argv, InspectOptions* options)
{
    bool format_chosen = false;
    for (int index = 1; index < argc; index++) {
        std::string argument = argv[index];
        const char* value = index + 1 < argc ? argv[index + 1] : nullptr;
        if (argument == "--help") {
            options->help = true;
        } else if (argument == "--json" || argument == "--csv") {
            if (format_chosen) return "--json and --csv cannot be combined";
            options->format = argument == "--json" ? INSPECT_JSON : INSPECT_CSV;
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
