// compare analysis: runs combined per side, sections matched by name, changes judged.
#include "tools/compare/analysis.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>

namespace {

// Without a gate option a change must still pass this share of the base median to be called
// slower or faster, so that a large recording does not call a 0.1% drift a slowdown.
constexpr double kDefaultPercent = 1.0;
constexpr double kNormalQuantile = 1.959963985;
// Student's t at 97.5% for 1 to 30 degrees of freedom; beyond, a Cornish-Fisher expansion.
constexpr double kTQuantiles[] = {12.706, 4.303, 3.182, 2.776, 2.571, 2.447, 2.365, 2.306, 2.262, 2.228,
                                  2.201, 2.179, 2.160, 2.145, 2.131, 2.120, 2.110, 2.101, 2.093, 2.086,
                                  2.080, 2.074, 2.069, 2.064, 2.060, 2.056, 2.052, 2.048, 2.045, 2.042};
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The runs of both sides that hold one name.
struct Match {
    std::vector<const SectionSummary*> base;
    std::vector<const SectionSummary*> latest;
    size_t order;  // first appearance, base runs first
};

double mean_of(const std::vector<const SectionSummary*>& runs, double SectionSummary::*field)
{
    double sum = 0.0;
    for (const SectionSummary* run : runs) sum += run->*field;
    return sum / double(runs.size());
}

// Satterthwaite's degrees of freedom for a sum of variances.
double sum_degrees(const double* variances, const double* degrees, size_t count)
{
    double total = 0.0, spread = 0.0;
    for (size_t index = 0; index < count; index++) {
        if (degrees[index] < 1.0) return 0.0;
        total += variances[index];
        spread += variances[index] * variances[index] / degrees[index];
    }
    return spread > 0.0 ? total * total / spread : kInfinity;
}

// Within-run uncertainty of the mean of the run medians, replaced by the runs' own spread
// when that is larger: a run-to-run effect the frames cannot show.
SideFigures combine(const std::vector<const SectionSummary*>& runs)
{
    SideFigures side = {};
    side.runs = uint32_t(runs.size());
    for (const SectionSummary* run : runs) side.frames += run->frames;
    side.median = mean_of(runs, &SectionSummary::median);
    side.p95 = mean_of(runs, &SectionSummary::p95);
    side.p99 = mean_of(runs, &SectionSummary::p99);
    std::vector<double> variances, degrees;
    double count = double(runs.size()), squares = 0.0;
    for (const SectionSummary* run : runs) {
        variances.push_back(run->median_variance / (count * count));
        degrees.push_back(run->degrees);
        squares += (run->median - side.median) * (run->median - side.median);
    }
    side.degrees = sum_degrees(variances.data(), degrees.data(), runs.size());
    side.variance = 0.0;
    for (double variance : variances) side.variance += variance;
    if (side.degrees < 1.0) side.variance = kInfinity;
    double between = runs.size() > 1 ? squares / (count - 1.0) / count : 0.0;
    if (between > side.variance && side.degrees >= 1.0) {
        side.variance = between;
        side.degrees = count - 1.0;
    }
    return side;
}

bool noticeable(double change, double base, double percent, double floor_seconds)
{
    return std::fabs(change) > floor_seconds && std::fabs(change) > percent / 100.0 * std::fabs(base);
}

CompareVerdict judge(const SectionComparison& section, const CompareThresholds& thresholds)
{
    double percent = thresholds.has_percent ? thresholds.percent : thresholds.has_floor ? 0.0
                                                                                        : kDefaultPercent;
    double floor_seconds = thresholds.has_floor ? thresholds.floor_seconds : 0.0;
    double band = std::max(floor_seconds, percent / 100.0 * std::fabs(section.base.median));
    if (!std::isfinite(section.low) || !std::isfinite(section.high)) return VERDICT_INCONCLUSIVE;
    bool sized = noticeable(section.change, section.base.median, percent, floor_seconds);
    if (section.low > 0.0 && sized) return VERDICT_SLOWER;
    if (section.high < 0.0 && sized) return VERDICT_FASTER;
    if (section.low >= -band && section.high <= band) return VERDICT_UNCHANGED;
    return VERDICT_INCONCLUSIVE;
}

bool is_exempt(const std::string& name)
{
    const char* slash = std::strchr(kCompareRecorderFrameEnd, '/');
    std::string group(kCompareRecorderFrameEnd, slash);
    return name == kCompareRecorderFrameEnd || name == group;
}

SectionComparison compare_match(const std::string& name, const Match& match, const CompareThresholds& thresholds)
{
    SectionComparison section = {};
    section.name = name;
    section.type = match.base[0]->type;
    section.base = combine(match.base);
    section.latest = combine(match.latest);
    section.change = section.latest.median - section.base.median;
    section.change_percent = 100.0 * section.change / section.base.median;
    if (section.change == 0.0) section.change_percent = 0.0;
    double variances[2] = {section.base.variance, section.latest.variance};
    double degrees[2] = {section.base.degrees, section.latest.degrees};
    double variance = variances[0] + variances[1];
    double half = compare_t_quantile(sum_degrees(variances, degrees, 2)) * std::sqrt(variance);
    if (!std::isfinite(section.change)) half = kInfinity;
    section.low = section.change - half;
    section.high = section.change + half;
    section.verdict = judge(section, thresholds);
    section.exempt = is_exempt(name);
    bool gated = thresholds.has_percent || thresholds.has_floor;
    section.fails = gated && !section.exempt && section.verdict == VERDICT_SLOWER;
    return section;
}

// The total first, then the largest changes per frame; sections without a change last.
bool comes_first(const SectionComparison& left, const SectionComparison& right)
{
    if ((left.type == SECTION_ROOT) != (right.type == SECTION_ROOT)) return left.type == SECTION_ROOT;
    double a = std::fabs(left.change), b = std::fabs(right.change);
    if (std::isnan(a) || std::isnan(b)) return !std::isnan(a) && std::isnan(b);
    return a > b;
}

}  // namespace

double compare_t_quantile(double degrees)
{
    if (!(degrees >= 1.0)) return kInfinity;
    size_t listed = sizeof kTQuantiles / sizeof kTQuantiles[0];
    if (degrees < double(listed) + 1.0) return kTQuantiles[size_t(degrees) - 1];
    double z = kNormalQuantile, z3 = z * z * z, z5 = z3 * z * z;
    return z + (z3 + z) / (4.0 * degrees) + (5.0 * z5 + 16.0 * z3 + 3.0 * z) / (96.0 * degrees * degrees);
}

Comparison compare_runs(const std::vector<RunSummary>& base, const std::vector<RunSummary>& latest,
                        const CompareThresholds& thresholds)
{
    std::map<std::string, Match> matches;
    size_t order = 0;
    for (const RunSummary& run : base)
        for (const SectionSummary& summary : run) {
            Match& match = matches[summary.name];
            if (match.base.empty() && match.latest.empty()) match.order = order++;
            match.base.push_back(&summary);
        }
    for (const RunSummary& run : latest)
        for (const SectionSummary& summary : run) {
            Match& match = matches[summary.name];
            if (match.base.empty() && match.latest.empty()) match.order = order++;
            match.latest.push_back(&summary);
        }
    std::vector<std::pair<size_t, const std::string*>> ordered;
    for (const auto& entry : matches) ordered.push_back({entry.second.order, &entry.first});
    std::sort(ordered.begin(), ordered.end());
    Comparison comparison = {};
    comparison.gated = thresholds.has_percent || thresholds.has_floor;
    for (const auto& entry : ordered) {
        const Match& match = matches[*entry.second];
        if (match.latest.empty()) comparison.removed.push_back(*entry.second);
        if (match.base.empty()) comparison.added.push_back(*entry.second);
        if (match.base.empty() || match.latest.empty()) continue;
        comparison.sections.push_back(compare_match(*entry.second, match, thresholds));
        comparison.failed = comparison.failed || comparison.sections.back().fails;
    }
    std::stable_sort(comparison.sections.begin(), comparison.sections.end(), comes_first);
    return comparison;
}

const char* compare_verdict_text(CompareVerdict verdict)
{
    switch (verdict) {
    case VERDICT_UNCHANGED: return "unchanged";
    case VERDICT_SLOWER: return "slower";
    case VERDICT_FASTER: return "faster";
    case VERDICT_INCONCLUSIVE: return "inconclusive";
    }
    return "inconclusive";
}
