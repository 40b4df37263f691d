// graph_culling: leaves out the band quads that cover no pixel centre, and only where leaving
// them out cannot change what the kept ones draw: strips and slices whole, by their boxes.
// graph_culling_runs.cpp looks inside the strips that lie within the view volume.
#include "viewer/graph_culling.h"

#include <GL/gl.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "draw/draw.h"

namespace {

// Pixels added around a band strip's window bounds before asking whether they hold a pixel centre.
const double kBandPixelPad = 1.0;

// ---- State ----

// Whether the last strip was kept by its box. The next one likely goes the same way, being seen
// from the same place: when it does, its runs' ranges come from the walk that gives its heights,
// which costs little more than that walk alone.
bool last_strip_kept = false;
// The ranges of the strip's runs; sized anew when the window's width changes, not every pass.
std::unique_ptr<BandRunRange[]> run_ranges;
uint32_t run_capacity = 0;

// ---- Boxes in the window ----

// Where geometry lands in the window, with a bound on how far the GL may place it from there,
// and whether it lies inside the view volume by more than the GL's rounding.
struct Placement {
    double window[4];  // x0, y0, x1, y1
    double error;  // pixels
    bool inside;
};

// Whether anything inside the box can set a pixel. Clipping only removes, and whatever is left
// in front of the eye lands within the window bounds of the corners; the pad covers the float
// rounding of the GL's own transform, which is far coarser than ours near the near plane.
// Corners at or behind the eye rule nothing out.
bool box_reaches_pixels(const GraphWindowView& view, const float low[3], const float high[3])
{
    double corners[24], window[4];
    for (int corner = 0; corner < 8; corner++)
        for (int axis = 0; axis < 3; axis++) corners[3 * corner + axis] = (corner >> axis) & 1 ? high[axis] : low[axis];
    if (!draw_points_window_bounds(view.transform, view.width, view.height, corners, 8, window)) return true;
    const double pad[4] = {-kBandPixelPad, -kBandPixelPad, kBandPixelPad, kBandPixelPad};
    for (int i = 0; i < 4; i++) window[i] += pad[i];
    return draw_bounds_reach_pixels(window, 0.0, 0.0, view.width, view.height);
}

// Widens placed by one point; false when the point is not inside the view volume by the slack.
bool place_corner(const GraphWindowView& view, const double slack[4], const float point[3], Placement* placed)
{
    double clip[4];
    for (int row = 0; row < 4; row++) {
        clip[row] = view.transform[12 + row];
        for (int k = 0; k < 3; k++) clip[row] += view.transform[4 * k + row] * double(point[k]);
    }
    const double w = clip[3] - slack[3];
    for (int axis = 0; axis < 3; axis++)
        if (!(std::fabs(clip[axis]) + slack[axis] < w)) return false;
    const double x = (clip[0] / clip[3] + 1.0) * 0.5 * double(view.width);
    const double y = (clip[1] / clip[3] + 1.0) * 0.5 * double(view.height);
    placed->window[0] = std::min(placed->window[0], x);
    placed->window[1] = std::min(placed->window[1], y);
    placed->window[2] = std::max(placed->window[2], x);
    placed->window[3] = std::max(placed->window[3], y);
    // Inside, |x / w| and |y / w| stay below 1, which bounds what the rounding of w can add.
    const double spread =
        std::max((slack[0] + slack[3]) * double(view.width), (slack[1] + slack[3]) * double(view.height));
    placed->error = std::max(placed->error, spread / (2.0 * w));
    return true;
}

// Places the corners of the box spanned by low and high. The rounding bound is taken for the
// box's largest coordinates, so it holds for every point in the box; and as being inside by
// that much is a convex condition, corners inside put the whole box inside, every point of it
// landing within the corners' window bounds.
Placement place_box(const GraphWindowView& view, const float low[3], const float high[3])
{
    float largest[3];
    for (int k = 0; k < 3; k++) largest[k] = std::max(std::fabs(low[k]), std::fabs(high[k]));
    double slack[4];
    graph_clip_slack(view, largest, slack);
    Placement placed{{INFINITY, INFINITY, -INFINITY, -INFINITY}, 0.0, false};
    for (int corner = 0; corner < 8; corner++) {
        float point[3];
        for (int k = 0; k < 3; k++) point[k] = (corner >> k) & 1 ? high[k] : low[k];
        if (!place_corner(view, slack, point, &placed)) return placed;
    }
    placed.inside = true;
    return placed;
}

// Whether the window bounds of the placement, grown by its error, hold a pixel centre.
bool placement_reaches_pixels(const GraphWindowView& view, const Placement& placed)
{
    const double window[4] = {placed.window[0] - placed.error, placed.window[1] - placed.error,
                              placed.window[2] + placed.error, placed.window[3] + placed.error};
    return draw_bounds_reach_pixels(window, 0.0, 0.0, view.width, view.height);
}

// Where a point lands in the window, in our arithmetic; the caller bounds the GL's distance from it.
void window_point(const GraphWindowView& view, const float point[3], double window[2])
{
    double clip[4];
    for (int row = 0; row < 4; row++) {
        clip[row] = view.transform[12 + row];
        for (int k = 0; k < 3; k++) clip[row] += view.transform[4 * k + row] * double(point[k]);
    }
    window[0] = (clip[0] / clip[3] + 1.0) * 0.5 * double(view.width);
    window[1] = (clip[1] / clip[3] + 1.0) * 0.5 * double(view.height);
}

// Room for exactly this many run ranges, as graph.cpp sizes its scratch to the window, so that
// what the heap holds follows the window; false when there is none.
bool reserve_runs(uint32_t count)
{
    if (count == run_capacity && run_ranges) return true;
    run_ranges.reset(new (std::nothrow) BandRunRange[count]);
    run_capacity = run_ranges ? count : 0;
    return run_ranges != nullptr;
}

}  // namespace

// ---- Public functions ----

GraphWindowView graph_window_view(void)
{
    GraphWindowView view;
    double projection[16], modelview[16];
    GLint viewport[4];
    glGetDoublev(GL_PROJECTION_MATRIX, projection);
    glGetDoublev(GL_MODELVIEW_MATRIX, modelview);
    glGetIntegerv(GL_VIEWPORT, viewport);
    draw_multiply_with_magnitudes(projection, modelview, view.transform, view.magnitudes);
    view.width = uint32_t(viewport[2]);
    view.height = uint32_t(viewport[3]);
    return view;
}

void graph_clip_slack(const GraphWindowView& view, const float largest[3], double slack[4])
{
    for (int row = 0; row < 4; row++) {
        slack[row] = view.magnitudes[12 + row];
        for (int k = 0; k < 3; k++) slack[row] += view.magnitudes[4 * k + row] * largest[k];
        slack[row] *= kDrawClipRounding;
    }
}

// When the strip lies inside the view volume by more than the GL's rounding, nothing in the
// plain draw is clipped and each quad goes to the rasteriser on its own: the quads that cover no
// pixel centre are left out. Otherwise the strip is drawn whole or not at all: leaving out quads
// of a draw that clips made Mesa's software rasteriser set pixels of the kept quads differently.
// A draw that sets no pixel leaves the frame and every state a later draw reads as they were.
uint32_t graph_reaching_strip(const GraphWindowView& view, const SectionTable* table, const Section& item,
                              uint32_t start, uint32_t count, const float* depths, const float depth_range[2],
                              BandEdge* edges, float* vertices, float* colours, bool* whole)
{
    // A strip left out whole by its box needs only the heights' range; its runs' ranges come
    // from the same walk when the last strip was kept.
    const uint32_t run_count = count > 1 ? (count - 2) / kGraphBandRunQuads + 1 : 0;
    // The runs' edges are written from their own first frames, which must stay frame numbers.
    const bool runs_fit = uint64_t(start) + count <= UINT32_MAX && reserve_runs(run_count);
    const bool runs_walked = last_strip_kept && runs_fit;
    float heights[2];
    if (runs_walked)
        graph_band_runs(table, item, start, count, depths, run_ranges.get(), heights);
    else
        graph_band_heights(table, item, start, count, heights);
    // The box edges_box would give, from the bounds worked out beside the edges.
    const float low[3] = {std::min(item.start, item.end), heights[0], depth_range[0]};
    const float high[3] = {std::max(item.start, item.end), heights[1], depth_range[1]};
    const Placement strip = place_box(view, low, high);
    *whole = !strip.inside;
    // Every run lies within the strip, so a strip that reaches no pixel holds no run that does.
    last_strip_kept = strip.inside ? placement_reaches_pixels(view, strip) : box_reaches_pixels(view, low, high);
    if (!last_strip_kept) return 0;
    if (!strip.inside || !runs_fit) {
        graph_band_edges(table, item, start, count, depths, edges, heights);
        for (uint32_t j = 0; j + 1 < count; j++)
            graph_put_band_quad(item, edges[j], edges[j + 1], vertices + 12 * j, colours + 12 * j);
        return count - 1;
    }
    if (!runs_walked) graph_band_runs(table, item, start, count, depths, run_ranges.get(), heights);
    const GraphStrip source{table, &item, start, depths, edges};
    return graph_reaching_runs(view, low, high, source, count, run_ranges.get(), vertices, colours);
}

// As with the bands, triangles are left out only of a slice that lies inside the view volume by
// more than the GL's rounding; the error bound of the slice's box holds for each of its points.
int32_t graph_reaching_slice(const GraphWindowView& view, const float slice[216], float kept[216])
{
    float low[3], high[3];
    for (int k = 0; k < 3; k++) low[k] = high[k] = slice[k];
    for (int i = 1; i < 72; i++)
        for (int k = 0; k < 3; k++) {
            low[k] = std::min(low[k], slice[3 * i + k]);
            high[k] = std::max(high[k], slice[3 * i + k]);
        }
    const Placement box = place_box(view, low, high);
    if (!box.inside) return box_reaches_pixels(view, low, high) ? -1 : 0;
    if (!placement_reaches_pixels(view, box)) return 0;
    int32_t count = 0;
    for (int triangle = 0; triangle < 24; triangle++) {
        const float* corners = slice + 9 * triangle;
        double window[6];
        for (int k = 0; k < 3; k++) window_point(view, corners + 3 * k, window + 2 * k);
        if (!draw_triangle_reaches_pixels(window, box.error, view.width, view.height)) continue;
        std::memcpy(kept + 9 * count, corners, 9 * sizeof(float));
        count++;
    }
    return count;
}
