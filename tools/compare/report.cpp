// compare report: the text report, the JSON and the one-line summary.
#include "tools/compare/report.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace {

constexpr double kMillisecondsPerSecond = 1000.0;
constexpr size_t kSlowestNamed = 3;
const char* const kMethod =
    "median change; 95% interval from the median's asymptotic variance with the frames' "
    "autocorrelation (density at the median by quantile spacing, integrated autocorrelation "
    "time of the above-median indicator); replicate runs combined by their medians";

double milliseconds(double seconds)
{
    return seconds * kMillisecondsPerSecond;
}

// Control characters in a name would garble the terminal.
std::string printable(const std::string& text)
{
    std::string shown = text;
    for (char& character : shown)
        if (static_cast<unsigned char>(character) < 0x20 || character == 0x7F) character = '?';
    return shown;
}

std::string format(const char* pattern, double first, double second = 0.0)
{
    char text[64];
    std::snprintf(text, sizeof text, pattern, first, second);
    return text;
}

std::string percent_text(double percent)
{
    if (std::isinf(percent)) return percent > 0 ? "from zero" : "to zero";
    if (std::isnan(percent)) return "n/a";
    return format("%+.1f%%", percent);
}

std::string interval_text(const SectionComparison& section)
{
    if (!std::isfinite(section.low) || !std::isfinite(section.high)) return "unknown";
    return format("%+.3f..%+.3f", milliseconds(section.low), milliseconds(section.high));
}

std::string gate_text(const CompareThresholds& thresholds)
{
    std::string gate;
    if (thresholds.has_percent) gate = format(">%g%%", thresholds.percent);
    if (thresholds.has_percent && thresholds.has_floor) gate += " and ";
    if (thresholds.has_floor) gate += format(">%g ms", milliseconds(thresholds.floor_seconds));
    return gate;
}

std::string runs_text(const char* side, const std::vector<std::string>& paths)
{
    std::string text = std::string(side) + " " + std::to_string(paths.size()) + (paths.size() == 1 ? " run (" : " runs (");
    for (size_t index = 0; index < paths.size(); index++) text += (index ? ", " : "") + printable(paths[index]);
    return text + ")";
}

void print_section(const SectionComparison& section)
{
    const char* mark = section.fails ? "  FAILS" : section.exempt ? "  (never gates)"
                                                                  : "";
    std::printf("%-32s %9.3f %9.3f %9.3f  %9.3f %9.3f %9.3f  %+9.3f %10s  %-20s %s%s\n", printable(section.name).c_str(),
                milliseconds(section.base.median), milliseconds(section.base.p95), milliseconds(section.base.p99),
                milliseconds(section.latest.median), milliseconds(section.latest.p95),
                milliseconds(section.latest.p99), milliseconds(section.change), percent_text(section.change_percent).c_str(),
                interval_text(section).c_str(), compare_verdict_text(section.verdict), mark);
}

void print_names(const char* heading, const std::vector<std::string>& names)
{
    if (names.empty()) return;
    std::printf("%s", heading);
    for (size_t index = 0; index < names.size(); index++) std::printf("%s%s", index ? ", " : " ", printable(names[index]).c_str());
    std::printf("\n");
}

nlohmann::json side_json(const SideFigures& side)
{
    return {{"runs", side.runs}, {"frames", side.frames}, {"median", side.median}, {"p95", side.p95}, {"p99", side.p99}};
}

nlohmann::json section_json(const SectionComparison& section)
{
    return {{"name", section.name},
            {"type", section.type},
            {"base", side_json(section.base)},
            {"new", side_json(section.latest)},
            {"change", section.change},
            {"change_percent", section.change_percent},
            {"interval", {section.low, section.high}},
            {"verdict", compare_verdict_text(section.verdict)},
            {"exempt", section.exempt},
            {"fails", section.fails}};
}

nlohmann::json inputs_json(const std::vector<std::string>& paths, uint32_t first, uint32_t last)
{
    nlohmann::json end = last == UINT32_MAX ? nlohmann::json(nullptr) : nlohmann::json(last);
    return {{"runs", paths}, {"first_frame", first}, {"last_frame", end}};
}

nlohmann::json optional_json(bool given, double value)
{
    return given ? nlohmann::json(value) : nlohmann::json(nullptr);
}

}  // namespace

std::string compare_summary_line(const Comparison& comparison, const CompareInputs& inputs)
{
    std::string line;
    size_t counts[4] = {};
    std::string slowest;
    size_t named = 0;
    for (const SectionComparison& section : comparison.sections) {
        if (section.type == SECTION_ROOT) {
            line = "Frame total " + format("%.3f -> %.3f ms", milliseconds(section.base.median), milliseconds(section.latest.median)) +
                   " (" + format("%+.3f ms, ", milliseconds(section.change)) + percent_text(section.change_percent) +
                   ", 95% CI " + interval_text(section) + "): " + compare_verdict_text(section.verdict) + ". ";
            continue;
        }
        counts[section.verdict]++;
        if (section.verdict != VERDICT_SLOWER || named++ >= kSlowestNamed) continue;
        slowest += (slowest.empty() ? " (" : ", ") + printable(section.name) + " " +
                   format("%+.3f ms ", milliseconds(section.change)) + percent_text(section.change_percent);
    }
    line += std::to_string(counts[VERDICT_SLOWER]) + " sections slower" + (slowest.empty() ? "" : slowest + ")") + ", " +
            std::to_string(counts[VERDICT_FASTER]) + " faster, " + std::to_string(counts[VERDICT_UNCHANGED]) +
            " unchanged, " + std::to_string(counts[VERDICT_INCONCLUSIVE]) + " inconclusive";
    if (!comparison.added.empty()) line += ", " + std::to_string(comparison.added.size()) + " new";
    if (!comparison.removed.empty()) line += ", " + std::to_string(comparison.removed.size()) + " gone";
    line += ".";
    if (comparison.gated) line += " Gate " + gate_text(inputs.thresholds) + (comparison.failed ? ": FAILED." : ": passed.");
    return line;
}

void compare_print_report(const Comparison& comparison, const CompareInputs& inputs)
{
    std::printf("savrel-compare: %s against %s\n", runs_text("new", inputs.new_paths).c_str(),
                runs_text("base", inputs.base_paths).c_str());
    std::printf(
        "Milliseconds per frame. The change is the median's, with a 95%% interval that allows for\n"
        "frame-to-frame correlation; with several runs a side, each figure is the mean over runs.\n\n");
    std::printf("%-32s %9s %9s %9s  %9s %9s %9s  %9s %10s  %-20s %s\n", "section", "base p50", "p95", "p99", "new p50",
                "p95", "p99", "change", "change %", "95% interval", "verdict");
    for (const SectionComparison& section : comparison.sections) print_section(section);
    print_names("\nNew sections:", comparison.added);
    print_names("\nGone sections:", comparison.removed);
    std::printf("\n%s\n", compare_summary_line(comparison, inputs).c_str());
}

void compare_print_json(const Comparison& comparison, const CompareInputs& inputs)
{
    nlohmann::json sections = nlohmann::json::array();
    for (const SectionComparison& section : comparison.sections) sections.push_back(section_json(section));
    nlohmann::json document = {
        {"unit", "seconds"},
        {"method", kMethod},
        {"base", inputs_json(inputs.base_paths, inputs.first_frame[0], inputs.last_frame[0])},
        {"new", inputs_json(inputs.new_paths, inputs.first_frame[1], inputs.last_frame[1])},
        {"fail_above_percent", optional_json(inputs.thresholds.has_percent, inputs.thresholds.percent)},
        {"fail_above_seconds", optional_json(inputs.thresholds.has_floor, inputs.thresholds.floor_seconds)},
        {"sections", sections},
        {"new_sections", comparison.added},
        {"gone_sections", comparison.removed},
        {"failed", comparison.failed},
        {"summary", compare_summary_line(comparison, inputs)}};
    std::printf("%s\n", document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}
