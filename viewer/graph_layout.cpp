// graph_layout: window sums, spans, band quads, shades, labels' places and pie slices.
#include "viewer/graph_layout.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "viewer/viewer.h"

namespace {

const double kGroupLabelLift = 1.4;
const uint32_t kSliceTriangles = 24;
// Entries whose window sums are added side by side.
const uint32_t kSumBlock = 8;

// Each group ordinal's entries in table order, so that a group's walk reads its own entries
// and not the whole table.
struct GroupLists {
    std::unique_ptr<uint32_t[]> entries;  // entry indices, ordinal by ordinal
    std::unique_ptr<uint32_t[]> starts;  // ordinal g's run is entries[starts[g]] .. entries[starts[g + 1] - 1]
    uint32_t capacity;  // section_count they hold room for
    const SectionTable* table;  // the table listed; null when none is
    uint32_t section_count;
};

GroupLists lists;

// Lists the entries by ordinal, those with an ordinal below the section count; a group with
// another ordinal is walked over the whole table.
void list_group_entries(const SectionTable* table)
{
    const uint32_t count = table->section_count;
    lists.table = nullptr;
    if (count > lists.capacity) {
        lists.entries.reset(new (std::nothrow) uint32_t[count]);
        lists.starts.reset(new (std::nothrow) uint32_t[count + 1]);
        lists.capacity = lists.entries && lists.starts ? count : 0;
        if (lists.capacity == 0) return;
    }
    uint32_t* starts = lists.starts.get();
    std::memset(starts, 0, (count + 1) * sizeof(uint32_t));
    for (uint32_t k = 0; k < count; k++) {
        const uint32_t ordinal = uint32_t(table->sections[k].group_index);
        if (ordinal < count) starts[ordinal + 1]++;
    }
    for (uint32_t g = 0; g < count; g++) starts[g + 1] += starts[g];
    // Filling from each run's start keeps table order; the starts are moved up by one run
    // while filling, and moved back after.
    for (uint32_t k = 0; k < count; k++) {
        const uint32_t ordinal = uint32_t(table->sections[k].group_index);
        if (ordinal < count) lists.entries[starts[ordinal]++] = k;
    }
    for (uint32_t g = count; g > 0; g--) starts[g] = starts[g - 1];
    starts[0] = 0;
    lists.table = table;
    lists.section_count = count;
}

float window_sum(const Section& section, uint32_t start, uint32_t count, uint32_t readable)
{
    float sum = 0.0f;
    for (uint32_t j = 0; j < count; j++) sum += graph_value_at(section, uint64_t(start) + j, readable);
    return sum;
}

// The window sums of kSumBlock entries from first on. Each entry still adds its frames in order,
// rounding after each addition, but the additions of different entries overlap.
void window_sum_block(SectionTable* table, uint32_t first, uint32_t start, uint32_t count, uint32_t readable)
{
    const uint32_t stored = start < readable ? std::min(count, readable - start) : 0;
    const float* values[kSumBlock];
    float sums[kSumBlock];
    for (uint32_t e = 0; e < kSumBlock; e++) {
        values[e] = table->sections[first + e].values + (stored > 0 ? start : 0);
        sums[e] = 0.0f;
    }
    for (uint32_t j = 0; j < stored; j++)
        for (uint32_t e = 0; e < kSumBlock; e++) sums[e] += values[e][j];
    // Frames past the stored ones read 0, which still turns a sum of -0 into +0.
    for (uint32_t j = stored; j < count; j++)
        for (uint32_t e = 0; e < kSumBlock; e++) sums[e] += 0.0f;
    for (uint32_t e = 0; e < kSumBlock; e++) table->sections[first + e].sum = sums[e];
}

// Every other entry of the group gets an equal share of the group's span.
void lay_out_items(SectionTable* table, const Section& group)
{
    uint32_t members = 0;
    graph_for_each_member(table, group, [&members](const Section&) { members++; });
    if (members == 0) return;
    double step = (double(group.end) - double(group.start)) / members;
    double position = group.start;
    // The walk hands out the table's own entries, which are not const here.
    graph_for_each_member(table, group, [&](const Section& member) {
        Section& entry = table->sections[&member - table->sections];
        entry.start = graph_finite_float(position);
        position += step;
        entry.end = graph_finite_float(position);
    });
}

void lay_out_groups(SectionTable* table, double group_total)
{
    double position = -1.0;
    for (uint32_t i = 0; i < table->section_count; i++) {
        Section& group = table->sections[i];
        if (group.type != SECTION_GROUP) continue;
        group.start = graph_finite_float(position);
        position += graph_share(2.0 * group.sum, group_total);
        group.end = graph_finite_float(position);
        lay_out_items(table, group);
    }
}

void put_pie_point(float* vertex, double center_x, double radius, double angle)
{
    vertex[0] = graph_finite_float(center_x - radius * std::sin(angle));
    vertex[1] = graph_finite_float(-radius - radius * std::cos(angle));
    vertex[2] = -1.0f;
}

// Four frames' edges from their fields, turned from a vector per field to one per edge.
void put_edges(Float4 total, Float4 value, Float4 height, Float4 depth, BandEdge* edges)
{
    const Float4 early = __builtin_shufflevector(total, value, 0, 4, 1, 5);
    const Float4 late = __builtin_shufflevector(total, value, 2, 6, 3, 7);
    const Float4 early_place = __builtin_shufflevector(height, depth, 0, 4, 1, 5);
    const Float4 late_place = __builtin_shufflevector(height, depth, 2, 6, 3, 7);
    const Float4 turned[4] = {__builtin_shufflevector(early, early_place, 0, 1, 4, 5),
                              __builtin_shufflevector(early, early_place, 2, 3, 6, 7),
                              __builtin_shufflevector(late, late_place, 0, 1, 4, 5),
                              __builtin_shufflevector(late, late_place, 2, 3, 6, 7)};
    static_assert(sizeof turned == 4 * sizeof(BandEdge), "an edge is four floats");
    std::memcpy(edges, turned, sizeof turned);
}

// A strip's window of values: the frames of it the table stores (the rest read 0), and where
// the totals and the item's values of its first frame lie.
struct StripValues {
    const float* totals;
    const float* values;
    uint32_t stored;
};

StripValues strip_values(const SectionTable* table, const Section& item, uint32_t start, uint32_t count)
{
    const uint32_t readable = profile_capacity(table);
    const uint32_t stored = start < readable ? std::min(count, readable - start) : 0;
    const uint32_t offset = stored > 0 ? start : 0;
    return StripValues{table->sections[0].values + offset, item.values + offset, stored};
}

// The heights of four frames, as the walk below and band_height give them.
Float4 band_heights(Float4 total, Float4 value)
{
    const Float4 quotient = value / total;
    const Float4 size = quotient < 0.0f ? -quotient : quotient;
    return size <= FLT_MAX ? quotient : 0.0f;
}

float band_height(const float* totals, const float* values, uint32_t frame, uint32_t stored)
{
    return frame < stored ? graph_finite_float(values[frame] / totals[frame]) : 0.0f;
}

// Four frames at a time. A float quotient of floats is the double quotient rounded to float: a
// double holds more than twice a float's digits plus two, so rounding twice never moves it. And
// what is not finite gives 0, as graph_share and graph_finite_float would. Without store, only
// the range is worked out, by the same steps, so it comes out the same.
template <bool store>
void walk_band_edges(const SectionTable* table, const Section& item, uint32_t start, uint32_t count,
                     const float* depths, BandEdge* edges, float range[2])
{
    const StripValues window = strip_values(table, item, start, count);
    const uint32_t stored = window.stored;
    const float* __restrict totals = window.totals;
    const float* __restrict values = window.values;
    Float4 low = {INFINITY, INFINITY, INFINITY, INFINITY}, high = -low;
    uint32_t j = 0;
    for (; j + 4 <= stored; j += 4) {
        Float4 total, value;
        std::memcpy(&total, totals + j, sizeof total);
        std::memcpy(&value, values + j, sizeof value);
        const Float4 height = band_heights(total, value);
        low = height < low ? height : low;
        high = height > high ? height : high;
        if constexpr (store) {
            Float4 depth;
            std::memcpy(&depth, depths + j, sizeof depth);
            put_edges(total, value, height, depth, edges + j);
        }
    }
    for (; j < count; j++) {
        const float total = j < stored ? totals[j] : 0.0f, value = j < stored ? values[j] : 0.0f;
        const float height = band_height(totals, values, j, stored);
        if constexpr (store) edges[j] = BandEdge{total, value, height, depths[j]};
        low[0] = std::min(low[0], height);
        high[0] = std::max(high[0], height);
    }
    range[0] = std::min(std::min(low[0], low[1]), std::min(low[2], low[3]));
    range[1] = std::max(std::max(high[0], high[1]), std::max(high[2], high[3]));
}

// The least lane of each of four vectors, in their order.
Float4 least_of_each(Float4 a, Float4 b, Float4 c, Float4 d)
{
    const Float4 ab_early = __builtin_shufflevector(a, b, 0, 4, 1, 5), ab_late = __builtin_shufflevector(a, b, 2, 6, 3, 7);
    const Float4 cd_early = __builtin_shufflevector(c, d, 0, 4, 1, 5), cd_late = __builtin_shufflevector(c, d, 2, 6, 3, 7);
    const Float4 ab = ab_early < ab_late ? ab_early : ab_late, cd = cd_early < cd_late ? cd_early : cd_late;
    const Float4 even = __builtin_shufflevector(ab, cd, 0, 1, 4, 5), odd = __builtin_shufflevector(ab, cd, 2, 3, 6, 7);
    return even < odd ? even : odd;
}

// The range of frames first to last of a strip, with the first frame's height in head; whole
// vectors of four frames from the table's stored ones, the rest one by one. The greatest are
// kept as the least of the negated, so that one pass of shuffles folds all four.
BandRunRange band_frames_range(const float* totals, const float* values, const float* depths, uint32_t first,
                               uint32_t last, uint32_t stored, float* head)
{
    const Float4 none = {INFINITY, INFINITY, INFINITY, INFINITY};
    Float4 low_heights = none, high_heights = none, low_depths = none, high_depths = none;
    uint32_t j = first;
    for (; j + 4 <= last + 1 && j + 4 <= stored; j += 4) {
        Float4 total, value, depth;
        std::memcpy(&total, totals + j, sizeof total);
        std::memcpy(&value, values + j, sizeof value);
        std::memcpy(&depth, depths + j, sizeof depth);
        const Float4 height = band_heights(total, value);
        if (j == first) *head = height[0];
        low_heights = height < low_heights ? height : low_heights;
        high_heights = -height < high_heights ? -height : high_heights;
        low_depths = depth < low_depths ? depth : low_depths;
        high_depths = -depth < high_depths ? -depth : high_depths;
    }
    for (; j <= last; j++) {
        const float height = band_height(totals, values, j, stored);
        if (j == first) *head = height;
        low_heights[0] = std::min(low_heights[0], height);
        high_heights[0] = std::min(high_heights[0], -height);
        low_depths[0] = std::min(low_depths[0], depths[j]);
        high_depths[0] = std::min(high_depths[0], -depths[j]);
    }
    const Float4 signs = {1.0f, -1.0f, 1.0f, -1.0f};
    const Float4 folded = least_of_each(low_heights, high_heights, low_depths, high_depths) * signs;
    BandRunRange range;
    static_assert(sizeof range == sizeof folded, "a run's range is four floats");
    std::memcpy(&range, &folded, sizeof range);
    return range;
}

// Widens a run's range by one edge.
void widen_run(BandRunRange* range, float height, float depth)
{
    range->heights[0] = std::min(range->heights[0], height);
    range->heights[1] = std::max(range->heights[1], height);
    range->depths[0] = std::min(range->depths[0], depth);
    range->depths[1] = std::max(range->depths[1], depth);
}

}  // namespace

bool graph_same_group(const Section& entry, const Section& group)
{
    return &entry != &group && entry.group_index == group.group_index;
}

const uint32_t* graph_group_entries(const SectionTable* table, const Section& group, uint32_t* count)
{
    const uint32_t ordinal = uint32_t(group.group_index);
    if (lists.table != table || lists.section_count != table->section_count || ordinal >= lists.section_count)
        return nullptr;
    *count = lists.starts[ordinal + 1] - lists.starts[ordinal];
    return lists.entries.get() + lists.starts[ordinal];
}

void graph_band_depths(const SectionTable* table, uint32_t start, uint32_t count, float frame_total_sum,
                       float* depths, float range[2])
{
    const Section& root = table->sections[0];
    uint32_t readable = profile_capacity(table);
    double depth = -1.0;
    for (uint32_t j = 0; j < count; j++) {
        depths[j] = graph_finite_float(depth);
        depth += graph_share(2.0 * graph_value_at(root, uint64_t(start) + j, readable), frame_total_sum);
    }
    range[0] = range[1] = depths[0];
    for (uint32_t j = 1; j < count; j++) {
        range[0] = std::min(range[0], depths[j]);
        range[1] = std::max(range[1], depths[j]);
    }
}

void graph_band_heights(const SectionTable* table, const Section& item, uint32_t start, uint32_t count,
                        float range[2])
{
    walk_band_edges<false>(table, item, start, count, nullptr, nullptr, range);
}

void graph_band_runs(const SectionTable* table, const Section& item, uint32_t start, uint32_t count,
                     const float* depths, BandRunRange* runs, float range[2])
{
    if (count < 2) {
        graph_band_heights(table, item, start, count, range);
        return;
    }
    const StripValues window = strip_values(table, item, start, count);
    const uint32_t stored = window.stored;
    const float* totals = window.totals;
    const float* values = window.values;
    // Each run's own frames, up to the one before its last edge; that edge is the next run's
    // first frame, whose height is handed back.
    const uint32_t run_count = (count - 2) / kGraphBandRunQuads + 1;
    for (uint32_t run = 0; run < run_count; run++) {
        const uint32_t first = run * kGraphBandRunQuads;
        float head = 0.0f;
        runs[run] = band_frames_range(totals, values, depths, first, std::min(first + kGraphBandRunQuads - 1, count - 1),
                                      stored, &head);
        if (run > 0) widen_run(&runs[run - 1], head, depths[first]);
    }
    // The strip's last edge, when it begins no run.
    const uint32_t tail = run_count * kGraphBandRunQuads;
    if (tail == count - 1) widen_run(&runs[run_count - 1], band_height(totals, values, tail, stored), depths[tail]);
    range[0] = INFINITY;
    range[1] = -INFINITY;
    for (uint32_t run = 0; run < run_count; run++) {
        range[0] = std::min(range[0], runs[run].heights[0]);
        range[1] = std::max(range[1], runs[run].heights[1]);
    }
}

void graph_band_edges(const SectionTable* table, const Section& item, uint32_t start, uint32_t count,
                      const float* depths, BandEdge* edges, float range[2])
{
    walk_band_edges<true>(table, item, start, count, depths, edges, range);
}

void graph_put_band_quad(const Section& item, const BandEdge& from, const BandEdge& to, float* vertices,
                         float* colours)
{
    const float quad[12] = {item.start, from.height, from.depth, item.end, from.height, from.depth,
                            item.end, to.height, to.depth, item.start, to.height, to.depth};
    std::memcpy(vertices, quad, sizeof quad);
    double shade = profile_graph_shade(from.value, to.value);
    const float colour[3] = {graph_finite_float(shade * item.colour[0]), graph_finite_float(shade * item.colour[1]),
                             graph_finite_float(shade * item.colour[2])};
    for (int corner = 0; corner < 4; corner++) std::memcpy(colours + 3 * corner, colour, sizeof colour);
}

float profile_graph_layout(SectionTable* table, uint32_t start, uint32_t count)
{
    uint32_t readable = profile_capacity(table);
    list_group_entries(table);
    // The window's last frame is left out of the depth total.
    float frame_total_sum = count > 0 ? window_sum(table->sections[0], start, count - 1, readable) : 0.0f;
    uint32_t blocked = table->section_count - table->section_count % kSumBlock;
    for (uint32_t first = 0; first < blocked; first += kSumBlock)
        window_sum_block(table, first, start, count, readable);
    for (uint32_t i = blocked; i < table->section_count; i++)
        table->sections[i].sum = window_sum(table->sections[i], start, count, readable);
    double group_total = 0.0;
    for (uint32_t i = 0; i < table->section_count; i++)
        if (table->sections[i].type == SECTION_GROUP) group_total += table->sections[i].sum;
    lay_out_groups(table, group_total);
    return frame_total_sum;
}

double profile_graph_shade(float earlier, float later)
{
    // From nothing to nothing is no change; from nothing to something is the largest.
    if (earlier == 0.0f) return later == 0.0f ? 1.0 : 0.0;
    double ratio = double(later) / double(earlier);
    if (!std::isfinite(ratio)) return 0.0;
    return ratio > 1.0 ? 2.0 - ratio : ratio;
}

void profile_graph_band(const SectionTable* table, const Section* item, uint32_t start, uint32_t count,
                        float frame_total_sum, float* vertices, float* colours)
{
    BandEdge from{};
    graph_for_each_band_edge(table, *item, start, count, frame_total_sum, [&](uint32_t j, const BandEdge& edge) {
        if (j > 0) graph_put_band_quad(*item, from, edge, vertices + 12 * (j - 1), colours + 12 * (j - 1));
        from = edge;
    });
}

GraphLabel profile_graph_span_label(const Section* entry, float width)
{
    double span = double(entry->start) - double(entry->end);
    double lift = entry->type == SECTION_GROUP ? graph_share(kGroupLabelLift * span, width) : 0.0;
    return GraphLabel{entry->start, graph_finite_float(lift), 1.0f, graph_finite_float(graph_share(span, width))};
}

void profile_graph_slice(float vertices[216], double center_x, double radius, double fraction, double angle)
{
    // Neighbouring triangles share a rim point: each is worked out once and copied into both,
    // the same floats a second sin and cos of the same angle would give.
    float rim[3 * (kSliceTriangles + 1)];
    for (uint32_t s = 0; s <= kSliceTriangles; s++)
        put_pie_point(rim + 3 * s, center_x, radius, (s * fraction * (1.0 / 24) + angle) * kGraphFullTurn);
    for (uint32_t s = 0; s < kSliceTriangles; s++) {
        float* triangle = vertices + 9 * s;
        std::memcpy(triangle, rim + 3 * s, 6 * sizeof(float));
        triangle[6] = graph_finite_float(center_x);
        triangle[7] = graph_finite_float(-radius);
        triangle[8] = -1.0f;
    }
}
