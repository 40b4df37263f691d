// graph_culling, inside band strips: of a strip that lies within the view volume, the quads that
// can cover a pixel centre, looked at in blocks of runs, then runs, then one by one.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "draw/draw.h"
#include "viewer/graph_culling.h"

namespace {

// Band quads inside the view volume are first tested for pixels in runs of kGraphBandRunQuads,
// then one by one; and runs in blocks of this many: in a wide recording most bands are
// hairlines, and whole blocks of them reach no pixel.
const uint32_t kBandBlockRuns = 4;
// Runs shorter than this in the window are tested by their bounds alone.
const double kBandAxisLeast = 1.0;
// Runs across more pixel lines than this are kept without looking closer.
const double kBandLinesMost = 256.0;
// Far above our double rounding of an offset across a run, in window pixels within a few
// thousand of the origin.
const double kBandOffsetRounding = 1e-6;

// A window point, x and y worked on at once.
typedef double Double2 __attribute__((vector_size(16)));

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
    graph_clip_slack(view, largest, slack);
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
    Double2 height_axis, depth_axis, sides[2];
    std::memcpy(&height_axis, frame.height_axis, sizeof height_axis);
    std::memcpy(&depth_axis, frame.depth_axis, sizeof depth_axis);
    std::memcpy(&sides[0], frame.side[0], sizeof sides[0]);
    std::memcpy(&sides[1], frame.side[1], sizeof sides[1]);
    const Double2 part = height_axis * double(height) + depth_axis * double(depth);
    const double part_w = frame.height_axis[2] * double(height) + frame.depth_axis[2] * double(depth);
    const double w[2] = {frame.side[0][2] + part_w, frame.side[1][2] + part_w};
    // One division for both sides, a few more roundings of a double still far inside the error,
    // where the product of the two stays a normal double.
    const double product = w[0] * w[1], both = 1.0 / product;
    double reciprocals[2] = {w[1] * both, w[0] * both};
    if (!std::isnormal(product)) {
        reciprocals[0] = 1.0 / w[0];
        reciprocals[1] = 1.0 / w[1];
    }
    const Double2 low = (sides[0] + part) * reciprocals[0], high = (sides[1] + part) * reciprocals[1];
    std::memcpy(window, &low, sizeof low);
    std::memcpy(window + 2, &high, sizeof high);
    return std::min(w[0], w[1]);
}

// Where the box of a run lands: its eight corners in the window, x then y, the four at its
// lesser depth first; and the rounding error for every point of it, worst where clip w is least,
// at a corner.
struct RunPlacement {
    double corners[16];
    double error;  // pixels
};

RunPlacement place_run(const StripFrame& frame, const BandRunRange& range)
{
    RunPlacement placed;
    double least_w = INFINITY;
    for (int corner = 0; corner < 4; corner++) {
        const float height = range.heights[corner & 1], depth = range.depths[(corner >> 1) & 1];
        least_w = std::min(least_w, edge_window(frame, height, depth, placed.corners + 4 * corner));
    }
    placed.error = frame.spread / (least_w - frame.slack_w);
    return placed;
}

// The least and greatest x and y of count window points, count at least 1.
void points_bounds(const double* points, int32_t count, Double2* low, Double2* high)
{
    std::memcpy(low, points, sizeof *low);
    *high = *low;
    for (int32_t i = 1; i < count; i++) {
        Double2 point;
        std::memcpy(&point, points + 2 * i, sizeof point);
        *low = point < *low ? point : *low;
        *high = point > *high ? point : *high;
    }
}

// Whether a pixel centre lies within pad pixels of the hull of these window points. The hull lies
// in the band between the two lines along axis that touch it, and within its bounds: the centres
// of both are looked at line by line across the axis. True when unsure.
bool hull_reaches_pixels(const GraphWindowView& view, const double* points, int32_t count, const double axis[2],
                         double pad)
{
    // Adding the pad after taking the least and greatest gives the same doubles, as rounding
    // keeps order.
    Double2 low, high;
    points_bounds(points, count, &low, &high);
    const double bounds[4] = {low[0] - pad, low[1] - pad, high[0] + pad, high[1] + pad};
    if (!draw_bounds_reach_pixels(bounds, 0.0, 0.0, view.width, view.height)) return false;
    if (!(axis[0] * axis[0] + axis[1] * axis[1] > kBandAxisLeast * kBandAxisLeast)) return true;
    // The normal keeps the axis' length, which stepping across the lines divides out again.
    const double normal[2] = {-axis[1], axis[0]};
    // Step along the window axis closer to the band's, so that across it the band is narrow.
    const int along = std::fabs(normal[1]) >= std::fabs(normal[0]) ? 0 : 1, across = 1 - along;
    double least = INFINITY, most = -INFINITY;
    for (int32_t i = 0; i < count; i++) {
        const double offset = normal[0] * points[2 * i] + normal[1] * points[2 * i + 1];
        least = std::min(least, offset);
        most = std::max(most, offset);
    }
    // A square of half-side reach reaches this far across the lines, in the normal's length; so
    // does our own rounding of offsets, as that length is at most the sum of its parts' sizes.
    const double reach = pad + kDrawPixelMargin + kBandOffsetRounding;
    const double grow = reach * (std::fabs(normal[0]) + std::fabs(normal[1]));
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

// The pixel centres, column then row, that bounds within the run's box can hold: first and
// last index on each axis. Our placing of a quad's corners and of the box's differ by rounding
// far below kBandOffsetRounding, so each quad lies within the box grown by that.
struct RunCentres {
    Double2 first, last;
};

RunCentres run_centres(const GraphWindowView& view, const RunPlacement& run)
{
    Double2 low, high;
    points_bounds(run.corners, 8, &low, &high);
    const double reach = run.error + kDrawPixelMargin + kBandOffsetRounding;
    const double sizes[2] = {double(view.width), double(view.height)};
    RunCentres centres;
    for (int k = 0; k < 2; k++) {
        centres.first[k] = std::max(std::ceil(low[k] - reach - 0.5), 0.0);
        centres.last[k] = std::min(std::floor(high[k] + reach - 0.5), sizes[k] - 1.0);
    }
    return centres;
}

// Whether the quad between two placed edges can cover a pixel centre, as draw_bounds_reach_pixels
// would say of its bounds grown by error, asked only of the run's two first centres on each
// axis: no other centre lies in the bounds when the run holds no more.
bool quad_reaches_centres(const double corners[8], double error, const RunCentres& centres)
{
    Double2 quad[4];
    std::memcpy(quad, corners, sizeof quad);
    const Double2 early_low = quad[0] < quad[1] ? quad[0] : quad[1], late_low = quad[2] < quad[3] ? quad[2] : quad[3];
    const Double2 early_high = quad[0] > quad[1] ? quad[0] : quad[1], late_high = quad[2] > quad[3] ? quad[2] : quad[3];
    const Double2 low = (early_low < late_low ? early_low : late_low) - error - kDrawPixelMargin - 0.5;
    const Double2 high = (early_high > late_high ? early_high : late_high) + error + kDrawPixelMargin - 0.5;
    const Double2 next = centres.first + 1.0;
    const Double2 second = next < centres.last ? next : centres.last;
    const auto holds = ((low <= centres.first) & (centres.first <= high)) | ((low <= second) & (second <= high));
    return holds[0] & holds[1];
}

// Appends the quads of the run from edge first that can cover a pixel centre at quad index kept;
// returns the new count. Only runs that can reach a pixel have their edges written, each placed
// once for the quads on both sides of it.
uint32_t keep_reaching_run(const GraphWindowView& view, const StripFrame& frame, const GraphStrip& strip,
                           uint32_t first, uint32_t count, const BandRunRange& range, float* vertices,
                           float* colours, uint32_t kept)
{
    const RunPlacement run = place_run(frame, range);
    if (!run_reaches_pixels(view, run)) return kept;
    const RunCentres centres = run_centres(view, run);
    // Most runs hold one or two centres on each axis; the others are asked of every centre.
    const Double2 spans = centres.last - centres.first;
    if (spans[0] < 0.0 || spans[1] < 0.0) return kept;
    const bool few = spans[0] <= 1.0 && spans[1] <= 1.0;
    BandEdge* edges = strip.edges + first;
    float heights[2];
    graph_band_edges(strip.table, *strip.item, strip.start + first, count, strip.depths + first, edges, heights);
    double corners[4 * (kGraphBandRunQuads + 1)];  // per edge: x, y of the low side, then of the high side
    for (uint32_t i = 0; i < count; i++) edge_window(frame, edges[i].height, edges[i].depth, corners + 4 * i);
    for (uint32_t i = 0; i + 1 < count; i++) {
        const double* quad = corners + 4 * i;
        if (few) {
            if (!quad_reaches_centres(quad, run.error, centres)) continue;
        } else {
            const double window[4] = {
                std::min(std::min(quad[0], quad[2]), std::min(quad[4], quad[6])) - run.error,
                std::min(std::min(quad[1], quad[3]), std::min(quad[5], quad[7])) - run.error,
                std::max(std::max(quad[0], quad[2]), std::max(quad[4], quad[6])) + run.error,
                std::max(std::max(quad[1], quad[3]), std::max(quad[5], quad[7])) + run.error};
            if (!draw_bounds_reach_pixels(window, 0.0, 0.0, view.width, view.height)) continue;
        }
        graph_put_band_quad(*strip.item, edges[i], edges[i + 1], vertices + 12 * kept, colours + 12 * kept);
        kept++;
    }
    return kept;
}

// The quads of a strip inside the view volume that can cover a pixel centre, block by block of
// runs; runs: the strip's ranges.
uint32_t keep_reaching_quads(const GraphWindowView& view, const StripFrame& frame, const GraphStrip& strip,
                             uint32_t count, const BandRunRange* runs, float* vertices, float* colours)
{
    const uint32_t run_count = (count - 2) / kGraphBandRunQuads + 1;
    uint32_t kept = 0;
    for (uint32_t block = 0; block < run_count; block += kBandBlockRuns) {
        const uint32_t block_end = std::min(block + kBandBlockRuns, run_count);
        BandRunRange range = runs[block];
        for (uint32_t run = block + 1; run < block_end; run++) {
            range.heights[0] = std::min(range.heights[0], runs[run].heights[0]);
            range.heights[1] = std::max(range.heights[1], runs[run].heights[1]);
            range.depths[0] = std::min(range.depths[0], runs[run].depths[0]);
            range.depths[1] = std::max(range.depths[1], runs[run].depths[1]);
        }
        // A run lies within its block's box, so a block that reaches no pixel holds no run that does.
        if (!run_reaches_pixels(view, place_run(frame, range))) continue;
        for (uint32_t run = block; run < block_end; run++) {
            const uint32_t first = run * kGraphBandRunQuads;
            kept = keep_reaching_run(view, frame, strip, first, std::min(kGraphBandRunQuads + 1, count - first),
                                     runs[run], vertices, colours, kept);
        }
    }
    return kept;
}

}  // namespace

uint32_t graph_reaching_runs(const GraphWindowView& view, const float low[3], const float high[3],
                             const GraphStrip& strip, uint32_t count, const BandRunRange* runs, float* vertices,
                             float* colours)
{
    return keep_reaching_quads(view, strip_frame(view, low, high), strip, count, runs, vertices, colours);
}
