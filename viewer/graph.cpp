// viewer: the profile graph: frame-total lines, span labels, item bands, pies and pie labels.
#include "viewer/viewer.h"

#include <GL/gl.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "draw/draw.h"
#include "draw/text.h"
#include "profile/profile.h"

namespace {

const float kLabelSpacing = 0.3f;
const double kLineHeightScale = 10.0;
const double kGroupLabelLift = 1.4;
// A little short of two pi; the pies are drawn with exactly this turn.
const double kFullTurn = 6.283185306;
const uint32_t kSliceTriangles = 24;
const int32_t kSliceVertexCount = 3 * kSliceTriangles;
const double kPieLabelRadius = 0.7;
const double kPieLabelDepth = 0.2;
const double kPieLabelScale = 0.1;
// Band quads inside the view volume are first tested for pixels in runs of this many, then one by one.
const uint32_t kBandRunQuads = 16;
// Pixels added around a band strip's window bounds before asking whether they hold a pixel centre.
const double kBandPixelPad = 1.0;
// How far, relative to the sum of the magnitudes that make it up, the GL's float transform may
// put a clip coordinate from ours: a float rounds at 6e-8 and the GL rounds a few dozen times.
const double kClipRounding = 1e-5;

// One frame of a band strip: the frame's total and the item's value there, and where the
// strip's edge stands.
struct BandEdge {
    float total, value, height, depth;
};

// The scratch arrays live from call to call and change size only with the frame count.
struct GraphState {
    std::unique_ptr<float[]> band_vertices;
    std::unique_ptr<float[]> band_colors;
    std::unique_ptr<float[]> line_vertices;  // count lines of two points
    std::unique_ptr<BandEdge[]> band_edges;  // the frames of the strip being drawn
    uint32_t band_capacity;
    float slice_vertices[3 * kSliceVertexCount];
};

GraphState graph;

// Anything that is not a finite float becomes 0, so no NaN or infinity reaches GL.
float finite_float(double value)
{
    float stored = float(value);
    return std::isfinite(stored) ? stored : 0.0f;
}

// A zero divisor, or values that are not finite, give a zero share.
double share(double part, double whole)
{
    if (whole == 0.0) return 0.0;
    double ratio = part / whole;
    return std::isfinite(ratio) ? ratio : 0.0;
}

// Frames past what the table holds read 0, like its zero-filled tail.
float value_at(const Section& section, uint64_t frame, uint32_t readable)
{
    return frame < readable ? section.values[frame] : 0.0f;
}

bool same_group(const Section& entry, const Section& group)
{
    return &entry != &group && entry.group_index == group.group_index;
}

void release_scratch_arrays()
{
    graph.band_vertices.reset();
    graph.band_colors.reset();
    graph.line_vertices.reset();
    graph.band_edges.reset();
    graph.band_capacity = 0;
}

bool reserve_scratch_arrays(uint32_t count)
{
    if (count == graph.band_capacity) return graph.band_vertices != nullptr;
    release_scratch_arrays();
    size_t floats = size_t(count) * 12;
    graph.band_vertices.reset(new (std::nothrow) float[floats]);
    graph.band_colors.reset(new (std::nothrow) float[floats]);
    graph.line_vertices.reset(new (std::nothrow) float[size_t(count) * 6]);
    graph.band_edges.reset(new (std::nothrow) BandEdge[count]);
    graph.band_capacity = count;
    // Without memory the bands are left out and the rest of the graph still draws.
    if (graph.band_vertices && graph.band_colors && graph.line_vertices && graph.band_edges) return true;
    release_scratch_arrays();
    return false;
}

float window_sum(const Section& section, uint32_t start, uint32_t count, uint32_t readable)
{
    float sum = 0.0f;
    for (uint32_t j = 0; j < count; j++) sum += value_at(section, uint64_t(start) + j, readable);
    return sum;
}

// Every other entry of the group gets an equal share of the group's span.
void lay_out_items(SectionTable* table, const Section& group)
{
    uint32_t members = 0;
    for (uint32_t k = 0; k < table->section_count; k++) members += same_group(table->sections[k], group);
    if (members == 0) return;
    double step = (double(group.end) - double(group.start)) / members;
    double position = group.start;
    for (uint32_t k = 0; k < table->section_count; k++) {
        Section& entry = table->sections[k];
        if (!same_group(entry, group)) continue;
        entry.start = finite_float(position);
        position += step;
        entry.end = finite_float(position);
    }
}

void lay_out_groups(SectionTable* table, double group_total)
{
    double position = -1.0;
    for (uint32_t i = 0; i < table->section_count; i++) {
        Section& group = table->sections[i];
        if (group.type != SECTION_GROUP) continue;
        group.start = finite_float(position);
        position += share(2.0 * group.sum, group_total);
        group.end = finite_float(position);
        lay_out_items(table, group);
    }
}

// One line per frame at the far edge of its slab, from y = 0 up to ten times the frame total.
template <typename Line>
void for_each_frame_line(const SectionTable* table, uint32_t start, uint32_t count, float frame_total_sum, Line line)
{
    const Section& root = table->sections[0];
    uint32_t readable = profile_capacity(table);
    float x = finite_float(2.0 * (0.0 - 0.5) / double(table->section_count) - 1.0);
    double z = -1.0;
    for (uint32_t j = 0; j < count; j++) {
        double total = value_at(root, uint64_t(start) + j, readable);
        z += share(2.0 * total, frame_total_sum);
        float depth = finite_float(z);
        const float ends[6] = {x, 0.0f, depth, x, finite_float(kLineHeightScale * total), depth};
        line(j, ends);
    }
}

// Each segment of GL_LINES is drawn on its own, so one draw of all of them sets the pixels
// that a draw per line would.
void draw_frame_lines(const SectionTable* table, uint32_t start, uint32_t count, float frame_total_sum,
                      bool batched)
{
    if (!batched) {
        for_each_frame_line(table, start, count, frame_total_sum, [](uint32_t, const float* ends) {
            draw_line(ends[0], ends[1], ends[2], ends[3], ends[4], ends[5], 1.0f, 1.0f, 1.0f, 1.0f);
        });
        return;
    }
    float* vertices = graph.line_vertices.get();
    for_each_frame_line(table, start, count, frame_total_sum, [vertices](uint32_t j, const float* ends) {
        std::memcpy(vertices + 6 * j, ends, 6 * sizeof(float));
    });
    draw_array(GL_LINES, vertices, int32_t(2 * count), 3, 1.0f, 1.0f, 1.0f, 1.0f);
}

void draw_span_label(const Section& entry)
{
    glPushMatrix();
    draw_set_blend(GL_ONE, GL_ONE);
    GraphLabel label = profile_graph_span_label(&entry, text_measure(1.0f, kLabelSpacing, entry.name, -1));
    glTranslatef(label.x, label.y, label.z);
    glScalef(-1.0f, -1.0f, -1.0f);
    text_draw(0.0f, 0.0f, label.size, kLabelSpacing, entry.name, entry.colour[0], entry.colour[1], entry.colour[2],
              1.0f);
    draw_set_blend(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glPopMatrix();
}

// Walks the frames of a strip; each edge lies deeper by the earlier frame's share of the window.
template <typename Visit>
void for_each_band_edge(const SectionTable* table, const Section& item, uint32_t start, uint32_t count,
                        float frame_total_sum, Visit visit)
{
    const Section& root = table->sections[0];
    uint32_t readable = profile_capacity(table);
    double depth = -1.0;
    for (uint32_t j = 0; j < count; j++) {
        uint64_t m = uint64_t(start) + j;
        float total = value_at(root, m, readable), value = value_at(item, m, readable);
        visit(j, BandEdge{total, value, finite_float(share(value, total)), finite_float(depth)});
        depth += share(2.0 * total, frame_total_sum);
    }
}

// The quad between two edges, shaded by how much the item's time changed between them.
void put_band_quad(const Section& item, const BandEdge& from, const BandEdge& to, float* vertices, float* colours)
{
    const float quad[12] = {item.start, from.height, from.depth, item.end, from.height, from.depth,
                            item.end, to.height, to.depth, item.start, to.height, to.depth};
    std::memcpy(vertices, quad, sizeof quad);
    double shade = profile_graph_shade(from.value, to.value);
    const float colour[3] = {finite_float(shade * item.colour[0]), finite_float(shade * item.colour[1]),
                             finite_float(shade * item.colour[2])};
    for (int corner = 0; corner < 4; corner++) std::memcpy(colours + 3 * corner, colour, sizeof colour);
}

// Widens low/high (height and depth; x is the span) by an edge; the first edge sets them.
void take_edge_bounds(const BandEdge& edge, bool first, float low[3], float high[3])
{
    // Every value is finite here, so plain comparisons do what fmin and fmax would.
    low[1] = first ? edge.height : std::min(low[1], edge.height);
    high[1] = first ? edge.height : std::max(high[1], edge.height);
    low[2] = first ? edge.depth : std::min(low[2], edge.depth);
    high[2] = first ? edge.depth : std::max(high[2], edge.depth);
}

// The transform and viewport that decide which pixel centres geometry reaches.
struct WindowView {
    double transform[16];
    double magnitudes[16];  // the product of the two matrices' absolute values, for rounding bounds
    uint32_t width, height;
};

WindowView current_window_view()
{
    WindowView view;
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

// Whether anything inside the box can set a pixel. Clipping only removes, and whatever is left
// in front of the eye lands within the window bounds of the corners; the pad covers the float
// rounding of the GL's own transform, which is far coarser than ours near the near plane.
// Corners at or behind the eye rule nothing out.
bool box_reaches_pixels(const WindowView& view, const float low[3], const float high[3])
{
    double corners[24], window[4];
    for (int corner = 0; corner < 8; corner++)
        for (int axis = 0; axis < 3; axis++) corners[3 * corner + axis] = (corner >> axis) & 1 ? high[axis] : low[axis];
    if (!draw_points_window_bounds(view.transform, view.width, view.height, corners, 8, window)) return true;
    const double pad[4] = {-kBandPixelPad, -kBandPixelPad, kBandPixelPad, kBandPixelPad};
    for (int i = 0; i < 4; i++) window[i] += pad[i];
    return draw_bounds_reach_pixels(window, 0.0, 0.0, view.width, view.height);
}

// Where geometry lands in the window, with a bound on how far the GL may place it from there,
// and whether it lies inside the view volume by more than the GL's rounding.
struct Placement {
    double window[4];  // x0, y0, x1, y1
    double error;  // pixels
    bool inside;
};

// Places the corners of the box spanned by low and high (a point when they are equal). The
// rounding bound is taken for the box's largest coordinates, so it holds for every point in
// the box; and as being inside by that much is a convex condition, corners inside put the
// whole box inside, every point of it landing within the corners' window bounds.
Placement place_box(const WindowView& view, const float low[3], const float high[3])
{
    double slack[4];
    for (int row = 0; row < 4; row++) {
        slack[row] = view.magnitudes[12 + row];
        for (int k = 0; k < 3; k++)
            slack[row] += view.magnitudes[4 * k + row] * std::max(std::fabs(low[k]), std::fabs(high[k]));
        slack[row] *= kClipRounding;
    }
    Placement placed{{INFINITY, INFINITY, -INFINITY, -INFINITY}, 0.0, false};
    for (int corner = 0; corner < 8; corner++) {
        double clip[4];
        for (int row = 0; row < 4; row++) {
            clip[row] = view.transform[12 + row];
            for (int k = 0; k < 3; k++)
                clip[row] += view.transform[4 * k + row] * double((corner >> k) & 1 ? high[k] : low[k]);
        }
        const double w = clip[3] - slack[3];
        for (int axis = 0; axis < 3; axis++)
            if (!(std::fabs(clip[axis]) + slack[axis] < w)) return placed;
        const double x = (clip[0] / clip[3] + 1.0) * 0.5 * double(view.width);
        const double y = (clip[1] / clip[3] + 1.0) * 0.5 * double(view.height);
        placed.window[0] = std::min(placed.window[0], x);
        placed.window[1] = std::min(placed.window[1], y);
        placed.window[2] = std::max(placed.window[2], x);
        placed.window[3] = std::max(placed.window[3], y);
        // Inside, |x / w| and |y / w| stay below 1, which bounds what the rounding of w can add.
        const double spread = std::max((slack[0] + slack[3]) * double(view.width),
                                       (slack[1] + slack[3]) * double(view.height));
        placed.error = std::max(placed.error, spread / (2.0 * w));
    }
    placed.inside = true;
    return placed;
}

// Whether the window bounds of these placements, grown by their error, hold a pixel centre.
bool placements_reach_pixels(const WindowView& view, const Placement* placed, int32_t count)
{
    double window[4] = {INFINITY, INFINITY, -INFINITY, -INFINITY};
    double error = 0.0;
    for (int32_t i = 0; i < count; i++) {
        window[0] = std::min(window[0], placed[i].window[0]);
        window[1] = std::min(window[1], placed[i].window[1]);
        window[2] = std::max(window[2], placed[i].window[2]);
        window[3] = std::max(window[3], placed[i].window[3]);
        error = std::max(error, placed[i].error);
    }
    const double pad[4] = {-error, -error, error, error};
    for (int i = 0; i < 4; i++) window[i] += pad[i];
    return draw_bounds_reach_pixels(window, 0.0, 0.0, view.width, view.height);
}

// The box around the strip between these edges; x is the item's span.
void edges_box(const Section& item, const BandEdge* edges, uint32_t count, float low[3], float high[3])
{
    low[0] = std::min(item.start, item.end);
    high[0] = std::max(item.start, item.end);
    for (uint32_t i = 0; i < count; i++) take_edge_bounds(edges[i], i == 0, low, high);
}

// The two corners of an edge, placed.
void place_edge(const WindowView& view, const Section& item, const BandEdge& edge, Placement placed[2])
{
    const float ends[2] = {item.start, item.end};
    for (int side = 0; side < 2; side++) {
        const float point[3] = {ends[side], edge.height, edge.depth};
        placed[side] = place_box(view, point, point);
    }
}

// Appends the quads between these edges that can cover a pixel centre at quad index kept;
// returns the new count. The edges lie inside the view volume.
uint32_t keep_reaching_run(const WindowView& view, const Section& item, const BandEdge* edges, uint32_t count,
                           float* vertices, float* colours, uint32_t kept)
{
    float low[3], high[3];
    edges_box(item, edges, count, low, high);
    Placement run = place_box(view, low, high);
    if (!placements_reach_pixels(view, &run, 1)) return kept;
    Placement corners[4];
    place_edge(view, item, edges[0], corners + 2);
    for (uint32_t i = 0; i + 1 < count; i++) {
        corners[0] = corners[2];
        corners[1] = corners[3];
        place_edge(view, item, edges[i + 1], corners + 2);
        if (!placements_reach_pixels(view, corners, 4)) continue;
        put_band_quad(item, edges[i], edges[i + 1], vertices + 12 * kept, colours + 12 * kept);
        kept++;
    }
    return kept;
}

// The strip as profile_graph_band builds it, reduced to what can change a pixel; returns the
// quads to draw, packed at the front of the arrays.
//
// When the strip lies inside the view volume by more than the GL's rounding, nothing in the
// plain draw is clipped and each quad goes to the rasteriser on its own: the quads that cover no
// pixel centre are left out. Otherwise the strip is drawn whole or not at all: leaving out quads
// of a draw that clips made Mesa's software rasteriser set pixels of the kept quads differently.
// A draw that sets no pixel leaves the frame and every state a later draw reads as they were.
uint32_t build_reaching_strip(const WindowView& view, const SectionTable* table, const Section& item,
                              uint32_t start, uint32_t count, float frame_total_sum, float* vertices,
                              float* colours)
{
    BandEdge* edges = graph.band_edges.get();
    for_each_band_edge(table, item, start, count, frame_total_sum,
                       [edges](uint32_t j, const BandEdge& edge) { edges[j] = edge; });
    float low[3], high[3];
    edges_box(item, edges, count, low, high);
    if (!place_box(view, low, high).inside) {
        if (!box_reaches_pixels(view, low, high)) return 0;
        for (uint32_t j = 0; j + 1 < count; j++)
            put_band_quad(item, edges[j], edges[j + 1], vertices + 12 * j, colours + 12 * j);
        return count - 1;
    }
    uint32_t kept = 0;
    for (uint32_t first = 0; first + 1 < count; first += kBandRunQuads)
        kept = keep_reaching_run(view, item, edges + first, std::min(kBandRunQuads + 1, count - first), vertices,
                                 colours, kept);
    return kept;
}

// view: where geometry lands, for leaving out what reaches no pixel; null draws every quad.
void draw_band(const SectionTable* table, const Section& item, uint32_t start, uint32_t count,
               float frame_total_sum, const WindowView* view)
{
    float* vertices = graph.band_vertices.get();
    float* colours = graph.band_colors.get();
    uint32_t quads = count - 1;
    if (view)
        quads = build_reaching_strip(*view, table, item, start, count, frame_total_sum, vertices, colours);
    else
        profile_graph_band(table, &item, start, count, frame_total_sum, vertices, colours);
    if (quads == 0) return;
    draw_set_color_array(colours, int32_t(4 * quads), 3);
    draw_array(GL_QUADS, vertices, int32_t(4 * quads), 3, item.colour[0], item.colour[1], item.colour[2], 0.0f);
}

void put_pie_point(float* vertex, double center_x, double radius, double angle)
{
    vertex[0] = finite_float(center_x - radius * std::sin(angle));
    vertex[1] = finite_float(-radius - radius * std::cos(angle));
    vertex[2] = -1.0f;
}

void draw_pie_label(const Section& item, double center_x, double radius, double fraction, double angle)
{
    glPushMatrix();
    draw_set_blend(GL_ONE, GL_ONE);
    double middle = (fraction * 0.5 + angle) * kFullTurn;
    glTranslatef(finite_float(center_x - kPieLabelRadius * radius * std::sin(middle)),
                 finite_float(-radius - kPieLabelRadius * radius * std::cos(middle)),
                 finite_float(-1.0 - kPieLabelDepth * fraction));
    glScalef(finite_float(-kPieLabelScale * fraction), finite_float(kPieLabelScale * fraction), 1.0f);
    float width = text_measure(1.0f, kLabelSpacing, item.name, -1);
    text_draw(finite_float(-0.5 * width), 0.0f, 1.0f, kLabelSpacing, item.name, 1.0f, 1.0f, 1.0f, 1.0f);
    draw_set_blend(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glPopMatrix();
}

// Walks a group's items around its pie: each gets its fraction of the group's sum and the
// angle (in turns) where its slice begins.
template <typename Visit>
void for_each_slice(const SectionTable* table, Visit visit)
{
    for (uint32_t i = 0; i < table->section_count; i++) {
        const Section& group = table->sections[i];
        if (group.type != SECTION_GROUP) continue;
        double center_x = (double(group.start) + double(group.end)) * 0.5;
        double radius = (double(group.end) - double(group.start)) * 0.5;
        double angle = 0.0;
        for (uint32_t k = 0; k < table->section_count; k++) {
            const Section& item = table->sections[k];
            if (item.type != SECTION_ITEM || !same_group(item, group)) continue;
            double fraction = share(item.sum, group.sum);
            visit(item, center_x, radius, fraction, angle);
            angle += fraction;
        }
    }
}

void draw_pies(const SectionTable* table)
{
    for_each_slice(table, [](const Section& item, double center_x, double radius, double fraction, double angle) {
        profile_graph_slice(graph.slice_vertices, center_x, radius, fraction, angle);
        draw_array(GL_TRIANGLES, graph.slice_vertices, kSliceVertexCount, 3, item.colour[0], item.colour[1],
                   item.colour[2], 1.0f);
    });
}

void draw_pie_labels(const SectionTable* table)
{
    for_each_slice(table, draw_pie_label);
}

}  // namespace

float profile_graph_layout(SectionTable* table, uint32_t start, uint32_t count)
{
    uint32_t readable = profile_capacity(table);
    // The window's last frame is left out of the depth total.
    float frame_total_sum = count > 0 ? window_sum(table->sections[0], start, count - 1, readable) : 0.0f;
    double group_total = 0.0;
    for (uint32_t i = 0; i < table->section_count; i++) {
        Section& entry = table->sections[i];
        entry.sum = window_sum(entry, start, count, readable);
        if (entry.type == SECTION_GROUP) group_total += entry.sum;
    }
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
    for_each_band_edge(table, *item, start, count, frame_total_sum, [&](uint32_t j, const BandEdge& edge) {
        if (j > 0) put_band_quad(*item, from, edge, vertices + 12 * (j - 1), colours + 12 * (j - 1));
        from = edge;
    });
}

GraphLabel profile_graph_span_label(const Section* entry, float width)
{
    double span = double(entry->start) - double(entry->end);
    double lift = entry->type == SECTION_GROUP ? share(kGroupLabelLift * span, width) : 0.0;
    return GraphLabel{entry->start, finite_float(lift), 1.0f, finite_float(share(span, width))};
}

void profile_graph_slice(float vertices[216], double center_x, double radius, double fraction, double angle)
{
    for (uint32_t s = 0; s < kSliceTriangles; s++) {
        float* triangle = vertices + 9 * s;
        put_pie_point(triangle, center_x, radius, (s * fraction * (1.0 / 24) + angle) * kFullTurn);
        put_pie_point(triangle + 3, center_x, radius, ((s + 1) * fraction * (1.0 / 24) + angle) * kFullTurn);
        triangle[6] = finite_float(center_x);
        triangle[7] = finite_float(-radius);
        triangle[8] = -1.0f;
    }
}

void profile_draw_graph(uint32_t start, uint32_t count)
{
    SectionTable* table = profile_table();
    if (count == 0 || table->section_count == 0 || table->frame_count == 0) return;
    bool scratch = reserve_scratch_arrays(count);
    float frame_total_sum = profile_graph_layout(table, start, count);
    draw_frame_lines(table, start, count, frame_total_sum, scratch && draw_culling());
    // Labels restore the matrices they change, so one reading serves every band.
    WindowView view;
    const WindowView* band_view = nullptr;
    if (draw_culling()) {
        view = current_window_view();
        band_view = &view;
    }
    for (uint32_t i = 0; i < table->section_count; i++) {
        const Section& entry = table->sections[i];
        draw_span_label(entry);
        if (entry.type == SECTION_ITEM && scratch) draw_band(table, entry, start, count, frame_total_sum, band_view);
    }
    draw_pies(table);
    draw_pie_labels(table);
}
