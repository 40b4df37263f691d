// graph_culling: leaves out the band quads that cover no pixel centre, and only where leaving
// them out cannot change what the kept ones draw.
#include "viewer/graph_culling.h"

#include <GL/gl.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "draw/draw.h"

namespace {

// Band quads inside the view volume are first tested for pixels in runs of this many, then one by one.
const uint32_t kBandRunQuads = 16;
// Runs are first tested in blocks of this many quads: in a wide recording most bands are
// hairlines, and whole blocks of them reach no pixel.
const uint32_t kBandBlockQuads = 128;
// Runs shorter than this in the window are tested by their bounds alone.
const double kBandAxisLeast = 1.0;
// Runs across more pixel lines than this are kept without looking closer.
const double kBandLinesMost = 256.0;
// Far above our double rounding of an offset across a run, in window pixels within a few
// thousand of the origin.
const double kBandOffsetRounding = 1e-6;
// Pixels added around a band strip's window bounds before asking whether they hold a pixel centre.
const double kBandPixelPad = 1.0;
// How far, relative to the sum of the magnitudes that make it up, the GL's float transform may
// put a clip coordinate from ours: a float rounds at 6e-8 and the GL rounds a few dozen times.
const double kClipRounding = 1e-5;

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

// The GL's rounding bound on each clip coordinate of a point whose coordinates are at most
// these magnitudes.
void clip_slack(const GraphWindowView& view, const float largest[3], double slack[4])
{
    for (int row = 0; row < 4; row++) {
        slack[row] = view.magnitudes[12 + row];
        for (int k = 0; k < 3; k++) slack[row] += view.magnitudes[4 * k + row] * largest[k];
        slack[row] *= kClipRounding;
    }
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
    clip_slack(view, largest, slack);
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

// ---- Band strips inside the view volume ----

// The window places of a strip's points by parts: the point (x, height, depth), x one of the
// strip's two sides, lands at x = X / W, y = Y / W with (X, Y, W) = side[x] + height *
// height_axis + depth * depth_axis. Reordering our double arithmetic moves a point by some
// 1e-16 of its magnitudes, far inside the GL's rounding that the error allows for.
struct StripFrame {
    double side[2][3];  // the low and high x sides
    double height_axis[3], depth_axis[3];
    double slack_w;  // the GL's rounding bound on clip w, for every point of the strip
    double spread;  // that bound's reach in window pixels, times clip w
};

// The transform's row giving window x (0), y (1) or clip w (2), scaled so that x / w lands in pixels.
void window_rows(const GraphWindowView& view, double rows[3][4])
{
    const double scale[2] = {0.5 * double(view.width), 0.5 * double(view.height)};
    for (int column = 0; column < 4; column++) {
        const double* entry = view.transform + 4 * column;
        rows[0][column] = (entry[0] + entry[3]) * scale[0];
        rows[1][column] = (entry[1] + entry[3]) * scale[1];
        rows[2][column] = entry[3];
    }
}

// low and high: the box of a strip that lies inside the view volume by the GL's rounding.
StripFrame strip_frame(const GraphWindowView& view, const float low[3], const float high[3])
{
    float largest[3];
    for (int k = 0; k < 3; k++) largest[k] = std::max(std::fabs(low[k]), std::fabs(high[k]));
    double slack[4], rows[3][4];
    clip_slack(view, largest, slack);
    window_rows(view, rows);
    StripFrame frame;
    for (int row = 0; row < 3; row++) {
        frame.side[0][row] = rows[row][3] + rows[row][0] * double(low[0]);
        frame.side[1][row] = rows[row][3] + rows[row][0] * double(high[0]);
        frame.height_axis[row] = rows[row][1];
        frame.depth_axis[row] = rows[row][2];
    }
    frame.slack_w = slack[3];
    const double spread[2] = {(slack[0] + slack[3]) * double(view.width), (slack[1] + slack[3]) * double(view.height)};
    frame.spread = 0.5 * std::max(spread[0], spread[1]);
    return frame;
}

// Where both sides of the strip at (height, depth) land: x, y of the low side, then of the high
// side; returns the lesser clip w.
double edge_window(const StripFrame& frame, float height, float depth, double window[4])
{
    double part[3];
    for (int row = 0; row < 3; row++)
        part[row] = frame.height_axis[row] * double(height) + frame.depth_axis[row] * double(depth);
    double least_w = INFINITY;
    for (int side = 0; side < 2; side++) {
        const double w = frame.side[side][2] + part[2], reciprocal = 1.0 / w;
        window[2 * side] = (frame.side[side][0] + part[0]) * reciprocal;
        window[2 * side + 1] = (frame.side[side][1] + part[1]) * reciprocal;
        least_w = std::min(least_w, w);
    }
    return least_w;
}

// The least and greatest of each field over these edges, two edges at a time; with an even count
// the last edge is taken twice, which changes no bound.
void edges_bounds(const BandEdge* edges, uint32_t count, Float4* low, Float4* high)
{
    Float4 even, odd;
    std::memcpy(&even, &edges[0], sizeof even);
    Float4 even_low = even, even_high = even, odd_low = even, odd_high = even;
    for (uint32_t i = 1; i < count; i += 2) {
        std::memcpy(&odd, &edges[i], sizeof odd);
        std::memcpy(&even, &edges[std::min(i + 1, count - 1)], sizeof even);
        odd_low = odd < odd_low ? odd : odd_low;
        odd_high = odd > odd_high ? odd : odd_high;
        even_low = even < even_low ? even : even_low;
        even_high = even > even_high ? even : even_high;
    }
    *low = odd_low < even_low ? odd_low : even_low;
    *high = odd_high > even_high ? odd_high : even_high;
}

// Where the box of a run lands: its eight corners in the window, x then y, the four at its
// lesser depth first; and the rounding error for every point of it, worst where clip w is least,
// at a corner.
struct RunPlacement {
    double corners[16];
    double error;  // pixels
};

RunPlacement place_run(const StripFrame& frame, const BandEdge* edges, uint32_t count)
{
    Float4 low, high;
    edges_bounds(edges, count, &low, &high);
    RunPlacement placed;
    double least_w = INFINITY;
    for (int corner = 0; corner < 4; corner++) {
        const float height = corner & 1 ? high[2] : low[2], depth = corner & 2 ? high[3] : low[3];
        least_w = std::min(least_w, edge_window(frame, height, depth, placed.corners + 4 * corner));
    }
    placed.error = frame.spread / (least_w - frame.slack_w);
    return placed;
}

// Whether a pixel centre lies within pad pixels of the hull of these window points. The hull lies
// in the band between the two lines along axis that touch it, and within its bounds: the centres
// of both are looked at line by line across the axis. True when unsure.
bool hull_reaches_pixels(const GraphWindowView& view, const double* points, int32_t count, const double axis[2],
                         double pad)
{
    double bounds[4] = {INFINITY, INFINITY, -INFINITY, -INFINITY};
    for (int32_t i = 0; i < count; i++)
        for (int k = 0; k < 2; k++) {
            bounds[k] = std::min(bounds[k], points[2 * i + k] - pad);
            bounds[2 + k] = std::max(bounds[2 + k], points[2 * i + k] + pad);
        }
    if (!draw_bounds_reach_pixels(bounds, 0.0, 0.0, view.width, view.height)) return false;
    const double length = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1]);
    if (!(length > kBandAxisLeast)) return true;
    const double normal[2] = {-axis[1] / length, axis[0] / length};
    // Step along the window axis closer to the band's, so that across it the band is narrow.
    const int along = std::fabs(normal[1]) >= std::fabs(normal[0]) ? 0 : 1, across = 1 - along;
    double least = INFINITY, most = -INFINITY;
    for (int32_t i = 0; i < count; i++) {
        const double offset = normal[0] * points[2 * i] + normal[1] * points[2 * i + 1];
        least = std::min(least, offset);
        most = std::max(most, offset);
    }
    // A square of half-side reach reaches this far across the lines; the last term covers our
    // own rounding of offsets in window pixels.
    const double reach = pad + kDrawPixelMargin;
    const double grow = reach * (std::fabs(normal[0]) + std::fabs(normal[1])) + kBandOffsetRounding;
    const uint32_t sizes[2] = {view.width, view.height};
    const double first = std::max(std::ceil(bounds[along] - kDrawPixelMargin - 0.5), 0.0);
    const double last = std::min(std::floor(bounds[2 + along] + kDrawPixelMargin - 0.5), double(sizes[along]) - 1.0);
    if (last - first > kBandLinesMost) return true;
    const double step = 1.0 / normal[across];
    for (double line = first + 0.5; line <= last + 0.5; line++) {
        const double middle = normal[along] * line;
        const double ends[2] = {(least - grow - middle) * step, (most + grow - middle) * step};
        const double low = std::max(std::min(ends[0], ends[1]), bounds[across]);
        const double high = std::min(std::max(ends[0], ends[1]), bounds[2 + across]);
        if (draw_span_holds_centre(low, high, sizes[across])) return true;
    }
    return false;
}

// Whether the run's box can set a pixel, tested along the axis from the middle of its corners at
// the lesser depth to the middle of those at the greater.
bool run_reaches_pixels(const GraphWindowView& view, const RunPlacement& run)
{
    double axis[2] = {0.0, 0.0};
    for (int corner = 0; corner < 8; corner++)
        for (int k = 0; k < 2; k++) axis[k] += (corner < 4 ? -0.25 : 0.25) * run.corners[2 * corner + k];
    return hull_reaches_pixels(view, run.corners, 8, axis, run.error);
}

// Appends the quads between these edges that can cover a pixel centre at quad index kept;
// returns the new count.
uint32_t keep_reaching_run(const GraphWindowView& view, const StripFrame& frame, const Section& item,
                           const BandEdge* edges, uint32_t count, float* vertices, float* colours, uint32_t kept)
{
    const RunPlacement run = place_run(frame, edges, count);
    if (!run_reaches_pixels(view, run)) return kept;
    double corners[8];  // the earlier edge's two corners, then the later edge's
    edge_window(frame, edges[0].height, edges[0].depth, corners + 4);
    for (uint32_t i = 0; i + 1 < count; i++) {
        std::memcpy(corners, corners + 4, 4 * sizeof(double));
        edge_window(frame, edges[i + 1].height, edges[i + 1].depth, corners + 4);
        double window[4] = {INFINITY, INFINITY, -INFINITY, -INFINITY};
        for (int corner = 0; corner < 4; corner++) {
            window[0] = std::min(window[0], corners[2 * corner] - run.error);
            window[1] = std::min(window[1], corners[2 * corner + 1] - run.error);
            window[2] = std::max(window[2], corners[2 * corner] + run.error);
            window[3] = std::max(window[3], corners[2 * corner + 1] + run.error);
        }
        if (!draw_bounds_reach_pixels(window, 0.0, 0.0, view.width, view.height)) continue;
        graph_put_band_quad(item, edges[i], edges[i + 1], vertices + 12 * kept, colours + 12 * kept);
        kept++;
    }
    return kept;
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
    draw_multiply_matrices(projection, modelview, view.transform);
    for (int i = 0; i < 16; i++) {
        projection[i] = std::fabs(projection[i]);
        modelview[i] = std::fabs(modelview[i]);
    }
    draw_multiply_matrices(projection, modelview, view.magnitudes);
    view.width = uint32_t(viewport[2]);
    view.height = uint32_t(viewport[3]);
    return view;
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
    // Most strips are left out whole by their box, which needs only the heights' range: the
    // edges are written for the others.
    float heights[2];
    graph_band_heights(table, item, start, count, heights);
    // The box edges_box would give, from the bounds worked out beside the edges.
    const float low[3] = {std::min(item.start, item.end), heights[0], depth_range[0]};
    const float high[3] = {std::max(item.start, item.end), heights[1], depth_range[1]};
    const Placement strip = place_box(view, low, high);
    *whole = !strip.inside;
    // Every run lies within the strip, so a strip that reaches no pixel holds no run that does.
    if (strip.inside && !placement_reaches_pixels(view, strip)) return 0;
    if (!strip.inside) {
        if (!box_reaches_pixels(view, low, high)) return 0;
        graph_band_edges(table, item, start, count, depths, edges, heights);
        for (uint32_t j = 0; j + 1 < count; j++)
            graph_put_band_quad(item, edges[j], edges[j + 1], vertices + 12 * j, colours + 12 * j);
        return count - 1;
    }
    graph_band_edges(table, item, start, count, depths, edges, heights);
    const StripFrame frame = strip_frame(view, low, high);
    uint32_t kept = 0;
    for (uint32_t block = 0; block + 1 < count; block += kBandBlockQuads) {
        const uint32_t block_edges = std::min(kBandBlockQuads + 1, count - block);
        // A run lies within its block's box, so a block that reaches no pixel holds no run that does.
        if (!run_reaches_pixels(view, place_run(frame, edges + block, block_edges))) continue;
        for (uint32_t first = block; first + 1 < block + block_edges; first += kBandRunQuads)
            kept = keep_reaching_run(view, frame, item, edges + first, std::min(kBandRunQuads + 1, count - first),
                                     vertices, colours, kept);
    }
    return kept;
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
