// graph_culling: which quads of an item's band, and which triangles of a pie slice, can set a
// pixel in the current window.
//
// Does NOT draw: it hands graph.cpp the quads and triangles worth drawing, packed, and reads
// nothing of GL but the matrices and viewport. graph_culling.cpp looks at strips and slices
// whole; graph_culling_runs.cpp inside the strips that lie within the view volume.
//
// Uses: graph_layout (the band's edges and quads), draw/ (window bounds and pixel centres).
#pragma once

#include <cstdint>

#include "viewer/graph_layout.h"

// The transform and viewport that decide which pixel centres geometry reaches.
struct GraphWindowView {
    double transform[16];
    double magnitudes[16];  // the product of the two matrices' absolute values, for rounding bounds
    uint32_t width, height;
};

// An item's strip as the culling reads it: where its edges come from, and the scratch they go to.
struct GraphStrip {
    const SectionTable* table;
    const Section* item;
    uint32_t start;
    const float* depths;
    BandEdge* edges;
};

GraphWindowView graph_window_view(void);  // the current projection x model-view and viewport
// The GL's rounding bound on each clip coordinate of a point whose coordinates are at most these
// magnitudes.
void graph_clip_slack(const GraphWindowView& view, const float largest[3], double slack[4]);
// The triangles of a pie slice (profile_graph_slice's 24) that can set a pixel, packed at the
// front of kept; returns how many, or -1 when the slice is clipped and must be drawn whole in a
// draw of its own.
int32_t graph_reaching_slice(const GraphWindowView& view, const float slice[216], float kept[216]);
// The strip as profile_graph_band builds it, reduced to what can change a pixel; returns the
// quads to draw, packed at the front of vertices and colours. depths and depth_range:
// graph_band_depths'; edges: count entries of scratch. whole: set true when the strip is
// clipped and returned whole, to be drawn in a draw of its own; false when the quads are kept
// one by one from a strip inside the view volume.
uint32_t graph_reaching_strip(const GraphWindowView& view, const SectionTable* table, const Section& item,
                              uint32_t start, uint32_t count, const float* depths, const float depth_range[2],
                              BandEdge* edges, float* vertices, float* colours, bool* whole);
// Of a strip of count edges whose box low..high lies inside the view volume by the GL's
// rounding, the quads to draw, packed as graph_reaching_strip's; runs: graph_band_runs' ranges.
uint32_t graph_reaching_runs(const GraphWindowView& view, const float low[3], const float high[3],
                             const GraphStrip& strip, uint32_t count, const BandRunRange* runs, float* vertices,
                             float* colours);
