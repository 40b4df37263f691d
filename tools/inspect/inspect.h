// savrel-inspect: shows what a recording holds, loaded exactly as the viewer loads it, and
// which sections made its slowest frames slow.
//
// Does NOT change the recording or read it more than once: main.cpp reads the file through
// profile/reader.h, and the same bytes go to the loader and to the frame walker for the notes.
// options.cpp parses the command line, analysis.cpp works out statistics, spikes and notes,
// output.cpp prints the report, export.cpp streams JSON or CSV (never held whole in memory),
// numbers.cpp writes their numbers. Uses: profile/profile.h, profile/reader.h, nlohmann/json
// (exports only: text escaping, and float digits where two shortest texts tie), {fmt} (the
// other floats' shortest digits).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "profile/profile.h"

enum InspectFormat { INSPECT_REPORT,
                     INSPECT_JSON,
                     INSPECT_CSV };

struct InspectOptions {
    InspectFormat format = INSPECT_REPORT;
    const char* path = nullptr;
    bool help = false;
    uint32_t spikes = 10;  // the default of --spikes
    uint32_t first_frame = 0;
    uint32_t last_frame = UINT32_MAX;
};

// The frames every output shows.
struct InspectRange {
    uint32_t first;
    uint32_t count;
};

// Seconds, as stored; frame numbers count from the file's first frame.
struct InspectStatistics {
    double mean;
    float minimum;
    float maximum;
    uint32_t maximum_frame;
    float p50;
    float p95;
    float p99;
};

struct InspectCause {
    uint32_t section;
    double excess;
};

struct InspectSpike {
    uint32_t frame;
    double excess;
    std::vector<InspectCause> causes;
};

// Everything the outputs show, worked out once.
struct Inspection {
    const SectionTable* table;
    InspectRange range;
    std::vector<std::string> labels;
    std::vector<InspectStatistics> statistics;
    std::vector<InspectSpike> spikes;
    std::vector<std::vector<std::string>> notes;
};

// Command line (options.cpp)
extern const char* const kInspectUsage;
extern const char* const kInspectHelp;
// An empty problem means the options are good.
std::string inspect_parse_options(int argc, char** argv, InspectOptions* options);

// Analysis (analysis.cpp)
enum : uint32_t { kInspectAllAnalysed = UINT32_MAX };
// What every output shows: labels, and every frame's notes walked in `bytes`; no statistics yet.
Inspection inspect_describe(const SectionTable* table, InspectRange range, const uint8_t* bytes, size_t size);
// Works out every section's statistics, then the spikes, on a thread of its own, section by
// section, so that an output can start on the first sections while the rest are worked out.
void inspect_start_analysis(Inspection* inspection, uint32_t spikes);
// Waits until the statistics of the first `count` sections are in; kInspectAllAnalysed: all, and the spikes.
void inspect_wait_analysis(uint32_t count);

// Output (output.cpp, export.cpp)
void inspect_print_report(const char* path, const Inspection& inspection);  // milliseconds, for people
void inspect_print_json(const Inspection& inspection);  // seconds, as stored, streamed
void inspect_print_csv(const Inspection& inspection);  // milliseconds, one row per frame, streamed

// Number text (numbers.cpp); each writes at most kInspectNumberSize bytes and returns the end.
enum { kInspectNumberSize = 32 };
char* inspect_json_float(char* out, float value);  // shortest text that reads back, "null" if not finite
char* inspect_csv_milliseconds(char* out, float seconds);  // printf's %.7g of the milliseconds
