// graph_layout: the profile graph's arithmetic: window sums, spans, depths, band heights and
// shades, frame-total lines and pie slices, as numbers.
//
// Does NOT call GL: graph_culling.cpp decides which geometry reaches a pixel and graph.cpp
// draws. Every result is finite: a zero divisor gives a zero share.
//
// Uses: profile/ (the section table). The public steps are declared in viewer.h.
#pragma once

#include <cmath>
#include <cstdint>

#include "profile/profile.h"

// The frame-total lines stand this many times the frame total high.
const double kGraphLineHeightScale = 10.0;
// A little short of two pi; the pies are drawn with exactly this turn.
const double kGraphFullTurn = 6.283185306;

// One frame of a band strip: the frame's total and the item's value there, and where the
// strip's edge stands.
struct BandEdge {
    float total, value, height, depth;
};

// Four floats worked on at once, where the processor can.
typedef float Float4 __attribute__((vector_size(16)));

// A strip's quads are looked at in runs of this many (a multiple of four); a run's last edge is
// the next run's first.
const uint32_t kGraphBandRunQuads = 16;

// The least and greatest heights and depths of the edges of a run of a strip.
struct BandRunRange {
    float heights[2], depths[2];
};

bool graph_same_group(const Section& entry, const Section& group);  // another entry of the group
// The indices of the entries sharing group's ordinal, the group's own among them, in table order,
// as the last profile_graph_layout of this table listed them; null when it did not list them.
const uint32_t* graph_group_entries(const SectionTable* table, const Section& group, uint32_t* count);
// Where each frame's edge of every strip lies (count floats), and the least and greatest of them.
void graph_band_depths(const SectionTable* table, uint32_t start, uint32_t count, float frame_total_sum,
                       float* depths, float range[2]);
// The least and greatest heights of an item's count edges, without the edges.
void graph_band_heights(const SectionTable* table, const Section& item, uint32_t start, uint32_t count,
                        float range[2]);
// The ranges of an item's runs, (count - 1) / kGraphBandRunQuads rounded up of them, as the
// edges graph_band_edges gives would have them, and the least and greatest heights of all.
void graph_band_runs(const SectionTable* table, const Section& item, uint32_t start, uint32_t count,
                     const float* depths, BandRunRange* runs, float range[2]);
// An item's count edges, as the walk below gives them, and their least and greatest heights.
void graph_band_edges(const SectionTable* table, const Section& item, uint32_t start, uint32_t count,
                      const float* depths, BandEdge* edges, float range[2]);
void graph_put_band_quad(const Section& item, const BandEdge& from, const BandEdge& to, float* vertices,
                         float* colours);  // 12 floats each: the quad between two edges and its shade

// Anything that is not a finite float becomes 0, so no NaN or infinity reaches GL.
inline float graph_finite_float(double value)
{
    float stored = float(value);
    return std::isfinite(stored) ? stored : 0.0f;
}

// A zero divisor, or values that are not finite, give a zero share.
inline double graph_share(double part, double whole)
{
    if (whole == 0.0) return 0.0;
    double ratio = part / whole;
    return std::isfinite(ratio) ? ratio : 0.0;
}

// Frames past what the table holds read 0, like its zero-filled tail.
inline float graph_value_at(const Section& section, uint64_t frame, uint32_t readable)
{
    return frame < readable ? section.values[frame] : 0.0f;
}

// One line per frame at the far edge of its slab, from y = 0 up to ten times the frame total:
// line(j, ends) with ends x, y, z of both points.
template <typename Line>
void graph_for_each_frame_line(const SectionTable* table, uint32_t start, uint32_t count, float frame_total_sum,
                               Line line)
{
    const Section& root = table->sections[0];
    uint32_t readable = profile_capacity(table);
    float x = graph_finite_float(2.0 * (0.0 - 0.5) / double(table->section_count) - 1.0);
    double z = -1.0;
    for (uint32_t j = 0; j < count; j++) {
        double total = graph_value_at(root, uint64_t(start) + j, readable);
        z += graph_share(2.0 * total, frame_total_sum);
        float depth = graph_finite_float(z);
        const float ends[6] = {x, 0.0f, depth, x, graph_finite_float(kGraphLineHeightScale * total), depth};
        line(j, ends);
    }
}

// Walks the frames of a strip; each edge lies deeper by the earlier frame's share of the window.
template <typename Visit>
void graph_for_each_band_edge(const SectionTable* table, const Section& item, uint32_t start, uint32_t count,
                              float frame_total_sum, Visit visit)
{
    const Section& root = table->sections[0];
    uint32_t readable = profile_capacity(table);
    double depth = -1.0;
    for (uint32_t j = 0; j < count; j++) {
        uint64_t m = uint64_t(start) + j;
        float total = graph_value_at(root, m, readable), value = graph_value_at(item, m, readable);
        visit(j, BandEdge{total, value, graph_finite_float(graph_share(value, total)), graph_finite_float(depth)});
        depth += graph_share(2.0 * total, frame_total_sum);
    }
}

// Visits every other entry of the group in table order, through the listed ones where it can.
template <typename Visit>
void graph_for_each_member(const SectionTable* table, const Section& group, Visit visit)
{
    uint32_t listed = 0;
    const uint32_t* entries = graph_group_entries(table, group, &listed);
    const uint32_t count = entries ? listed : table->section_count;
    for (uint32_t k = 0; k < count; k++) {
        const Section& entry = table->sections[entries ? entries[k] : k];
        if (graph_same_group(entry, group)) visit(entry);
    }
}

// Walks a group's items around its pie: each gets its fraction of the group's sum and the
// angle (in turns) where its slice begins.
template <typename Visit>
void graph_for_each_slice(const SectionTable* table, Visit visit)
{
    for (uint32_t i = 0; i < table->section_count; i++) {
        const Section& group = table->sections[i];
        if (group.type != SECTION_GROUP) continue;
        double center_x = (double(group.start) + double(group.end)) * 0.5;
        double radius = (double(group.end) - double(group.start)) * 0.5;
        double angle = 0.0;
        graph_for_each_member(table, group, [&](const Section& item) {
            if (item.type != SECTION_ITEM) return;
            double fraction = graph_share(item.sum, group.sum);
            visit(item, center_x, radius, fraction, angle);
            angle += fraction;
        });
    }
}
