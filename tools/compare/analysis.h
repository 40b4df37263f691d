// compare analysis: per-section statistics of recordings and the verdict on their change.
//
// Each run (one loaded recording) is summarised section by section: median, p95 and p99 and
// how uncertain its median is. Frame values are correlated from frame to frame, so that
// uncertainty comes from the asymptotic variance of a sample median under autocorrelation:
// the density at the median (from quantile spacing) and the integrated autocorrelation time
// of the "above the median" indicator, summed over an automatic window. Several runs of a
// side are replicates: a run-to-run spread of their medians beyond what the frames explain
// becomes the side's uncertainty. Deterministic, no resampling.
//
// Does NOT load files, print or parse options; values stay in seconds throughout.
// Uses: profile/profile.h for the section table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "profile/profile.h"

// The recorder's own item: reported, never failing the gate (nor does its group).
extern const char* const kCompareRecorderFrameEnd;

// One section of one run, in seconds.
struct SectionSummary {
    std::string name;  // "total", "Group" or "Group/Item"; repeats of a name get " #2", " #3"
    int32_t type;  // SectionType
    uint32_t frames;
    double median;  // nearest rank, as savrel-inspect reports it
    double p95;
    double p99;
    double median_variance;  // of the median as an estimate; infinite when too few frames
    double degrees;  // degrees of freedom of that variance; 0 when too few frames
    double correlation_time;  // frames per independent frame, 1 for uncorrelated frames
};

typedef std::vector<SectionSummary> RunSummary;

// One side's figures for a section: the mean over the runs that have it.
struct SideFigures {
    uint32_t runs;
    uint32_t frames;  // all runs together
    double median;
    double p95;
    double p99;
    double variance;  // of the median
    double degrees;
};

enum CompareVerdict { VERDICT_UNCHANGED,
                      VERDICT_SLOWER,
                      VERDICT_FASTER,
                      VERDICT_INCONCLUSIVE };

// How big a change must be to count. A missing gate option leaves its condition out.
struct CompareThresholds {
    bool has_percent;  // --fail-above given
    double percent;
    bool has_floor;  // --fail-above-ms given
    double floor_seconds;
};

struct SectionComparison {
    std::string name;
    int32_t type;
    SideFigures base;
    SideFigures latest;
    double change;  // latest minus base median, seconds
    double change_percent;  // of the base median; infinite from a zero base
    double low;  // 95% interval of the change; its low end is the one-sided 97.5% bound
    double high;
    CompareVerdict verdict;
    bool exempt;  // the recorder's own section: never fails
    bool fails;  // slower beyond the gate
};

struct Comparison {
    std::vector<SectionComparison> sections;  // the total first, then by milliseconds changed
    std::vector<std::string> added;  // on the new side only
    std::vector<std::string> removed;  // on the base side only
    bool gated;  // a gate option was given
    bool failed;  // some section fails the gate
};

// Summarises frames [first_frame, first_frame + frame_count) of every section of a table.
RunSummary compare_summarize_table(const SectionTable* table, uint32_t first_frame, uint32_t frame_count);
// The same for one series; name and type are left empty.
SectionSummary compare_summarize_values(const float* values, uint32_t count);
// Matches sections by name across the runs of both sides and judges each change.
Comparison compare_runs(const std::vector<RunSummary>& base, const std::vector<RunSummary>& latest,
                        const CompareThresholds& thresholds);
// The two-sided 95% quantile of Student's t (1.96 for infinite degrees); infinite below one degree.
double compare_t_quantile(double degrees);
const char* compare_verdict_text(CompareVerdict verdict);  // "slower", "faster", ...
