// compare report: a Comparison as a report for people (milliseconds) or as JSON (seconds).
//
// Does NOT judge anything or read recordings; it prints what compare_runs decided.
// Uses: tools/compare/analysis.h, nlohmann/json for the JSON.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/compare/analysis.h"

// What was compared, for the report's heading and the JSON's inputs.
struct CompareInputs {
    std::vector<std::string> base_paths;
    std::vector<std::string> new_paths;
    uint32_t first_frame[2];  // base, new
    uint32_t last_frame[2];  // UINT32_MAX for the recording's end
    CompareThresholds thresholds;
};

void compare_print_report(const Comparison& comparison, const CompareInputs& inputs);  // to standard output
void compare_print_json(const Comparison& comparison, const CompareInputs& inputs);  // to standard output
// One line to paste into a pull request: the total, the sections that moved, the gate.
std::string compare_summary_line(const Comparison& comparison, const CompareInputs& inputs);
