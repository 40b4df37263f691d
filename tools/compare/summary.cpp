// compare summary: one run's statistics per section, in a few streaming passes per series.
//
// Quantiles come from a histogram of the values' order-preserving bit patterns (16 high bits)
// and an exact selection inside the few bins that hold the wanted ranks (the quantiles for the
// density are read from the histogram alone), so a section costs three passes over its values
// however many frames it has.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "tools/compare/analysis.h"

namespace {

constexpr uint32_t kFineBins = 1u << 16;
constexpr uint32_t kCoarseBins = 1u << 8;
constexpr uint32_t kFinePerCoarse = kFineBins / kCoarseBins;
constexpr int kMostRanks = 3;
// Below this many frames the median's uncertainty is not estimated.
constexpr uint32_t kLeastFrames = 16;
// Sokal's automatic window: sum autocorrelations up to a lag this many times the time so far.
constexpr double kWindowFactor = 5.0;
constexpr uint32_t kMostLags = 4096;
// Nor past this share of the frames, where a slow wander of one recording would pass for
// correlation and the sum would never settle.
constexpr uint32_t kFramesPerLag = 10;
// Hall and Sheather's bandwidth for the density at the median: kBandwidth * n^(-1/3), n the
// effective number of frames.
constexpr double kBandwidth = 0.971;
constexpr double kMostBandwidth = 0.25;

// Reused from section to section, so a summary allocates only while growing.
struct Scratch {
    std::vector<uint32_t> fine;  // counts per 16-bit key prefix
    std::vector<uint32_t> coarse;  // counts per 8-bit key prefix
    std::vector<uint8_t> wanted;  // per fine bin: 1 while its keys are being kept
    std::vector<uint32_t> held;  // the kept keys of every wanted bin
    std::vector<uint32_t> keys;  // the kept keys of one bin
    std::vector<uint64_t> above;  // bit t: value t lies above the median
    uint32_t first_coarse;  // the lowest coarse bin holding a value
};

Scratch scratch;

// Unsigned keys in the order of the floats they come from (negative values included).
uint32_t order_key(float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    // Without a branch: negative values flip every bit, others only the sign bit.
    return bits ^ (uint32_t(-int32_t(bits >> 31)) | 0x80000000u);
}

float key_value(uint32_t key)
{
    uint32_t bits = key & 0x80000000u ? key & 0x7FFFFFFFu : ~key;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Nearest rank: the smallest value that at least that share of the frames reach.
uint32_t nearest_rank(double share, uint32_t count)
{
    double rank = std::ceil(share * double(count)) - 1.0;
    return uint32_t(std::clamp(rank, 0.0, double(count - 1)));
}

void build_histogram(const float* values, uint32_t count)
{
    if (scratch.fine.empty()) {
        scratch.fine.assign(kFineBins, 0);
        scratch.coarse.assign(kCoarseBins, 0);
        scratch.wanted.assign(kFineBins, 0);
    }
    for (uint32_t coarse = 0; coarse < kCoarseBins; coarse++) {
        if (scratch.coarse[coarse] == 0) continue;
        std::fill_n(scratch.fine.begin() + coarse * kFinePerCoarse, kFinePerCoarse, 0);
        scratch.coarse[coarse] = 0;
    }
    for (uint32_t index = 0; index < count; index++) {
        uint32_t key = order_key(values[index]);
        scratch.fine[key >> 16]++;
        scratch.coarse[key >> 24]++;
    }
    scratch.first_coarse = 0;
    while (scratch.coarse[scratch.first_coarse] == 0) scratch.first_coarse++;
}

// The fine bin holding a rank, and the rank within that bin.
uint32_t bin_of_rank(uint32_t rank, uint32_t* rank_in_bin)
{
    uint32_t coarse = scratch.first_coarse;
    while (rank >= scratch.coarse[coarse]) rank -= scratch.coarse[coarse++];
    uint32_t fine = coarse * kFinePerCoarse;
    while (rank >= scratch.fine[fine]) rank -= scratch.fine[fine++];
    *rank_in_bin = rank;
    return fine;
}

// A rank's value read from the histogram alone, placed evenly within its bin (under 1% of
// the value off): close enough for the density at the median, and no pass over the values.
float histogram_value(uint32_t rank)
{
    uint32_t within;
    uint32_t bin = bin_of_rank(rank, &within);
    double share = (within + 0.5) / scratch.fine[bin];
    return key_value((bin << 16) + uint32_t(share * 65536.0));
}

// Keys sharing their top 16 bits: the one of the given rank, found by two 8-bit radix steps.
uint32_t rank_among(std::vector<uint32_t>* keys, uint32_t rank)
{
    for (int shift = 8; shift >= 0; shift -= 8) {
        uint32_t counts[256] = {};
        for (uint32_t key : *keys) counts[(key >> shift) & 0xFF]++;
        uint32_t digit = 0;
        while (rank >= counts[digit]) rank -= counts[digit++];
        size_t kept = 0;
        for (uint32_t key : *keys) {
            (*keys)[kept] = key;
            kept += ((key >> shift) & 0xFF) == digit;
        }
        keys->resize(kept);
    }
    return keys->front();
}

// The values at up to kMostRanks ranks, from one pass that keeps only their bins' keys.
// Every key is written and only a wanted one kept, so the pass has no branch to mispredict.
void select_ranks(const float* values, uint32_t count, const uint32_t* ranks, int rank_count, float* found)
{
    uint32_t bins[kMostRanks], within[kMostRanks];
    size_t wanted = 0;
    for (int index = 0; index < rank_count; index++) {
        bins[index] = bin_of_rank(ranks[index], &within[index]);
        if (!scratch.wanted[bins[index]]) wanted += scratch.fine[bins[index]];
        scratch.wanted[bins[index]] = 1;
    }
    std::vector<uint32_t>& held = scratch.held;
    held.resize(wanted + 1);
    size_t kept = 0;
    for (uint32_t index = 0; index < count; index++) {
        uint32_t key = order_key(values[index]);
        held[kept] = key;
        kept += scratch.wanted[key >> 16];
    }
    for (int index = 0; index < rank_count; index++) scratch.wanted[bins[index]] = 0;
    for (int index = 0; index < rank_count; index++) {
        std::vector<uint32_t>& keys = scratch.keys;
        keys.resize(kept);
        size_t own = 0;
        for (size_t at = 0; at < kept; at++) {
            keys[own] = held[at];
            own += held[at] >> 16 == bins[index];
        }
        keys.resize(own);
        found[index] = key_value(rank_among(&keys, within[index]));
    }
}

// Frames t and t + lag both above the median, counted a word of 64 frames at a time; built
// twice on x86, so that processors with a population count instruction use it.
#if defined(__x86_64__) || defined(__i386__)
__attribute__((target_clones("popcnt", "default")))
#endif
uint64_t
pairs_above(uint32_t lag)
{
    const std::vector<uint64_t>& above = scratch.above;
    size_t words = above.size(), skip = lag / 64;
    uint32_t shift = lag % 64;
    uint64_t pairs = 0;
    for (size_t word = 0; word + skip < words; word++) {
        uint64_t later = above[word + skip] >> shift;
        if (shift && word + skip + 1 < words) later |= above[word + skip + 1] << (64 - shift);
        pairs += uint64_t(std::popcount(above[word] & later));
    }
    return pairs;
}

// Integrated autocorrelation time of the indicator, summed up to Sokal's window or the first
// lag without correlation (past it, the sum would only gather noise); the last lag goes to *window.
double correlation_time(const float* values, uint32_t count, float median, uint32_t* window)
{
    scratch.above.resize((size_t(count) + 63) / 64);
    uint64_t ones = 0;
    for (size_t word = 0; word < scratch.above.size(); word++) {
        uint64_t bits = 0;
        uint32_t start = uint32_t(word * 64), end = std::min(count, start + 64);
        for (uint32_t index = start; index < end; index++) bits |= uint64_t(values[index] > median) << (index - start);
        scratch.above[word] = bits;
        ones += uint64_t(std::popcount(bits));
    }
    double share = double(ones) / count, spread = share * (1.0 - share);
    double time = 1.0;
    uint32_t lag = 1, most = std::min(kMostLags, count / kFramesPerLag);
    for (; spread > 0.0 && lag <= most; lag++) {
        double together = double(pairs_above(lag)) / double(count - lag);
        double correlation = (together - share * share) / spread;
        if (correlation <= 0.0) break;
        time += 2.0 * correlation;
        if (lag >= kWindowFactor * time) break;
    }
    *window = std::min(lag, most);
    return std::max(time, 1.0);
}

// The median's variance: (sparsity at the median)^2 * p(1-p) * time / n, the sparsity taken
// from the quantiles at ranks[0] and ranks[1], a bandwidth either side of the median.
void estimate_uncertainty(uint32_t count, double time, uint32_t window, const uint32_t* ranks,
                          const float* spacing, SectionSummary* summary)
{
    double sparsity = (double(spacing[1]) - spacing[0]) / (double(ranks[1] - ranks[0]) / count);
    if (!std::isfinite(sparsity)) sparsity = std::numeric_limits<double>::infinity();
    summary->correlation_time = time;
    summary->median_variance = sparsity * sparsity * 0.25 * time / count;
    // The autocorrelation sum over 2 * window + 1 terms is itself uncertain.
    summary->degrees = std::max(1.0, double(count) / (2.0 * window + 1.0));
}

}  // namespace

const char* const kCompareRecorderFrameEnd = "Savrel/frame end";

SectionSummary compare_summarize_values(const float* values, uint32_t count)
{
    SectionSummary summary = {};
    summary.frames = count;
    summary.median_variance = std::numeric_limits<double>::infinity();
    summary.correlation_time = 1.0;
    if (count == 0) {
        summary.median = summary.p95 = summary.p99 = std::numeric_limits<double>::quiet_NaN();
        return summary;
    }
    build_histogram(values, count);
    uint32_t ranks[kMostRanks] = {nearest_rank(0.5, count), nearest_rank(0.95, count), nearest_rank(0.99, count)};
    uint32_t spacing_ranks[2] = {};
    float spacing[2] = {};
    double time = 1.0;
    uint32_t window = 0;
    if (count >= kLeastFrames) {
        // The correlation is that of frames above the median's histogram bin, known before the
        // median itself, so that every quantile comes from one selection pass.
        uint32_t within;
        float edge = key_value(bin_of_rank(ranks[0], &within) << 16);
        time = correlation_time(values, count, edge, &window);
        double bandwidth = std::min(kMostBandwidth, kBandwidth * std::cbrt(time / count));
        spacing_ranks[0] = nearest_rank(0.5 - bandwidth, count);
        spacing_ranks[1] = nearest_rank(0.5 + bandwidth, count);
        spacing[0] = histogram_value(spacing_ranks[0]);
        spacing[1] = histogram_value(spacing_ranks[1]);
    }
    float found[kMostRanks];
    select_ranks(values, count, ranks, kMostRanks, found);
    summary.median = found[0];
    summary.p95 = found[1];
    summary.p99 = found[2];
    if (count >= kLeastFrames) estimate_uncertainty(count, time, window, spacing_ranks, spacing, &summary);
    return summary;
}

RunSummary compare_summarize_table(const SectionTable* table, uint32_t first_frame, uint32_t frame_count)
{
    RunSummary run;
    std::unordered_map<std::string, int> seen;
    std::string group;
    for (uint32_t index = 0; index < table->section_count; index++) {
        const Section& section = table->sections[index];
        std::string name = section.name;
        if (section.type == SECTION_ROOT) name = "total";
        if (section.type == SECTION_GROUP) group = section.name;
        if (section.type == SECTION_ITEM) name = group + "/" + name;
        int repeats = ++seen[name];
        const float* values = section.values ? section.values + first_frame : nullptr;
        SectionSummary summary = compare_summarize_values(values, values ? frame_count : 0);
        summary.name = repeats > 1 ? name + " #" + std::to_string(repeats) : name;
        summary.type = section.type;
        run.push_back(summary);
    }
    return run;
}
