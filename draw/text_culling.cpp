// text, culling: a label's glyphs and triangles that can reach a pixel centre in each pass,
// so that the passes draw only those and leave every pixel as drawing all of them would.
#include <GL/gl.h>

#include <algorithm>
#include <cmath>

#include "draw/draw.h"
#include "draw/text.h"
#include "draw/text_parts.h"

namespace text_parts {

namespace {

// Clip coordinates of a model-view point under a transform.
void to_clip(const double transform[16], const double point[3], double clip[4])
{
    for (int row = 0; row < 4; row++)
        clip[row] = transform[row] * point[0] + transform[4 + row] * point[1] + transform[8 + row] * point[2] +
                    transform[12 + row];
}

// Whether the corners lie inside the view volume by more than the GL's rounding and far enough
// inside the window that no jittered pass clips them; the view volume being convex, the whole
// glyph then lies inside.
bool corners_unclipped(const double* corners, int32_t count)
{
    const TextView& view = state.view;
    for (int32_t i = 0; i < count; i++) {
        const double* point = corners + 3 * i;
        const double magnitude[3] = {std::fabs(point[0]), std::fabs(point[1]), std::fabs(point[2])};
        double clip[4], slack[4];
        to_clip(state.transform, point, clip);
        to_clip(state.magnitudes, magnitude, slack);
        const double w = clip[3] - kDrawClipRounding * slack[3];
        for (int axis = 0; axis < 3; axis++)
            if (!(std::fabs(clip[axis]) + kDrawClipRounding * slack[axis] < w)) return false;
        const double x = (clip[0] / clip[3] + 1.0) * 0.5 * double(view.width);
        const double y = (clip[1] / clip[3] + 1.0) * 0.5 * double(view.height);
        if (x < unclipped_window_margin || x > double(view.width) - unclipped_window_margin) return false;
        if (y < unclipped_window_margin || y > double(view.height) - unclipped_window_margin) return false;
    }
    return true;
}

// The plain projection x the label's model-view, and the same product of absolute values.
void read_label_transform()
{
    fill_glyph_boxes();
    double projection[16], modelview[16];
    plain_projection(projection);
    glGetDoublev(GL_MODELVIEW_MATRIX, modelview);
    draw_multiply_with_magnitudes(projection, modelview, state.transform, state.magnitudes);
}

// The box around every glyph's ink, from the same sums as place_glyphs; false without ink.
// look_closer: the box cannot stand for the glyphs (a size that is not finite, or glyphs past
// culled_glyph_capacity, which every pass draws).
bool label_ink_box(float size, float spacing, const char* text, double low[2], double high[2], bool* look_closer)
{
    low[0] = low[1] = INFINITY;
    high[0] = high[1] = -INFINITY;
    *look_closer = !std::isfinite(size);
    double pen = 0.0;
    for (int32_t i = 0; i < culled_glyph_capacity; i++) {
        const uint8_t current = uint8_t(text[i]);
        const GlyphBox& box = state.glyph_boxes[current];
        if (box.inked) {
            const double x[2] = {(pen + box.low[0]) * size, (pen + box.high[0]) * size};
            const double y[2] = {double(box.low[1]) * size, double(box.high[1]) * size};
            for (int k = 0; k < 2; k++) {
                low[0] = std::min(low[0], x[k]);
                high[0] = std::max(high[0], x[k]);
                low[1] = std::min(low[1], y[k]);
                high[1] = std::max(high[1], y[k]);
            }
        }
        const uint8_t next = uint8_t(text[i + 1]);
        if (next == 0) return low[0] <= high[0];
        pen += double(float(double(glyph_advance(current, next)) + double(spacing)));
    }
    *look_closer = true;
    return true;
}

// Where a label lands: the plain projection x its model-view, the same product of absolute
// values, and how far, relative to those, the clip coordinates the GL works out may lie from ours.
struct LabelPlacement {
    const double* transform;
    const double* magnitudes;
    double rounding;
};

// Whether some glyph of the label can reach a pixel centre in a pass moved by one of the shifts
// (dx, dy pixels). Every glyph lies in the label's ink box, and a box in front of the eye lands
// within its corners' window bounds, so a box whose bounds hold no pixel centre in any pass
// holds no glyph that does; the pad covers the rounding of both the box and the glyphs.
bool label_reaches_pixels(const LabelPlacement& placement, float size, float spacing, const char* text,
                          const double shifts[][2], uint32_t count)
{
    double low[2], high[2];
    bool look_closer = false;
    const bool inked = label_ink_box(size, spacing, text, low, high, &look_closer);
    if (look_closer) return true;
    if (!inked) return false;
    const TextView& view = state.view;
    const double rounding = placement.rounding;
    const double largest[3] = {std::max(std::fabs(low[0]), std::fabs(high[0])),
                               std::max(std::fabs(low[1]), std::fabs(high[1])), 0.0};
    double slack[4], bounds[4] = {INFINITY, INFINITY, -INFINITY, -INFINITY}, pad = 0.0;
    to_clip(placement.magnitudes, largest, slack);
    for (int corner = 0; corner < 4; corner++) {
        const double point[3] = {corner & 1 ? high[0] : low[0], corner & 2 ? high[1] : low[1], 0.0};
        double clip[4];
        to_clip(placement.transform, point, clip);
        const double w = clip[3] - rounding * slack[3];
        if (!(w > label_box_least_depth)) return true;
        const double window[2] = {(clip[0] / clip[3] + 1.0) * 0.5 * double(view.width),
                                  (clip[1] / clip[3] + 1.0) * 0.5 * double(view.height)};
        if (!std::isfinite(window[0]) || !std::isfinite(window[1])) return true;
        const uint32_t sizes[2] = {view.width, view.height};
        for (int k = 0; k < 2; k++) {
            bounds[k] = std::min(bounds[k], window[k]);
            bounds[2 + k] = std::max(bounds[2 + k], window[k]);
            const double ratio = std::fabs(clip[k] / clip[3]);
            pad = std::max(pad, rounding * (slack[k] + (4.0 + ratio) * slack[3]) / w * double(sizes[k]));
        }
    }
    const double padded[4] = {bounds[0] - pad, bounds[1] - pad, bounds[2] + pad, bounds[3] + pad};
    for (uint32_t i = 0; i < count; i++)
        if (draw_bounds_reach_pixels(padded, shifts[i][0], shifts[i][1], view.width, view.height)) return true;
    return false;
}

// Window bounds of each glyph of a label at the model-view origin, placed as the run places them,
// under read_label_transform's matrices.
void place_glyphs(float size, float spacing, const char* text)
{
    state.label_size = size;
    double pen = 0.0;
    for (int32_t i = 0; i < culled_glyph_capacity; i++) {
        const uint8_t current = uint8_t(text[i]);
        const GlyphBox& box = state.glyph_boxes[current];
        GlyphReach& reach = state.glyph_reach[i];
        reach.inked = box.inked;
        reach.pen = pen;
        if (box.inked) {
            const double left = (pen + box.low[0]) * size, right = (pen + box.high[0]) * size;
            const double bottom = double(box.low[1]) * size, top = double(box.high[1]) * size;
            const double corners[12] = {left, bottom, 0, right, bottom, 0, left, top, 0, right, top, 0};
            reach.placed = draw_points_window_bounds(state.transform, state.view.width, state.view.height, corners,
                                                     4, reach.bounds);
            reach.unclipped = reach.placed && corners_unclipped(corners, 4);
        }
        const uint8_t next = uint8_t(text[i + 1]);
        if (next == 0) break;
        pen += double(float(double(glyph_advance(current, next)) + double(spacing)));
    }
}

// The triangles of glyph i that can cover a pixel centre in a pass moved by (dx, dy) pixels,
// copied into the kept list; count holds the glyph's full count on entry and the kept one on
// return. Null when none can.
const uint32_t* reaching_triangles(int32_t i, uint8_t code, double dx, double dy, uint32_t* count)
{
    const GlyphBox& box = state.glyph_boxes[code];
    const GlyphReach& reach = state.glyph_reach[i];
    const uint32_t* list = state.glyph_table[code];
    if (box.vertex_count > glyph_vertex_capacity || *count > glyph_index_capacity) return list;
    const TextView& view = state.view;
    const double size = state.label_size;
    for (uint32_t v = 0; v < box.vertex_count; v++) {
        const float* vertex = glyph_vertices + 2 * (box.first_vertex + v);
        const double point[3] = {(reach.pen + vertex[0]) * size, double(vertex[1]) * size, 0.0};
        double clip[4];
        to_clip(state.transform, point, clip);
        state.window[2 * v] = (clip[0] / clip[3] + 1.0) * 0.5 * double(view.width) + dx;
        state.window[2 * v + 1] = (clip[1] / clip[3] + 1.0) * 0.5 * double(view.height) + dy;
    }
    uint32_t kept = 0;
    for (uint32_t t = 0; t + 2 < *count; t += 3) {
        double corners[6];
        for (int k = 0; k < 3; k++) {
            const double* placed = state.window + 2 * (list[t + k] - box.first_vertex);
            corners[2 * k] = placed[0];
            corners[2 * k + 1] = placed[1];
        }
        if (!draw_triangle_reaches_pixels(corners, 0.0, view.width, view.height)) continue;
        for (int k = 0; k < 3; k++) state.kept_indices[kept++] = list[t + k];
    }
    *count = kept;
    return kept == 0 ? nullptr : state.kept_indices;
}

// Whether glyph i, in a pass that moves the image by (dx, dy) pixels, can change a pixel.
bool glyph_reaches(int32_t i, double dx, double dy)
{
    if (i >= culled_glyph_capacity) return true;
    const GlyphReach& reach = state.glyph_reach[i];
    if (!reach.inked) return false;
    return !reach.placed || draw_bounds_reach_pixels(reach.bounds, dx, dy, state.view.width, state.view.height);
}

bool pass_reaches(const char* text, double dx, double dy)
{
    for (int32_t i = 0; text[i] != 0; i++)
        if (glyph_reaches(i, dx, dy)) return true;
    return false;
}

// One pass that leaves out the glyphs, and the triangles of glyphs drawn without clipping, it
// cannot show, but moves the pen past every one. Each triangle of a draw that clips nothing
// rasterises on its own, so leaving out those that cover no pixel centre changes no pixel.
void draw_reaching_glyphs(float size, float spacing, const char* text, double dx, double dy)
{
    draw_glyph_run(size, spacing, text, -1, [dx, dy](int32_t i, uint8_t code, uint32_t* count) -> const uint32_t* {
        if (!glyph_reaches(i, dx, dy)) return nullptr;
        if (i >= culled_glyph_capacity || !state.glyph_reach[i].unclipped) return state.glyph_table[code];
        return reaching_triangles(i, code, dx, dy, count);
    });
}

// How far, in pixels, each jittered pass moves the image, then the plain pass (not at all).
void pass_shifts(double shifts[label_samples + 1][2])
{
    const TextView& view = state.view;
    const double aspect = double(float(double(view.height) / double(view.width)));
    for (uint32_t i = 0; i < label_samples; i++) {
        const float jx = text_jitter(int32_t(2 * i)), jy = text_jitter(int32_t(2 * i + 1));
        // A frustum moved by j near-plane units moves the image the other way.
        shifts[i][0] = -double(jx) * view.width / (2.0 * view.field_scale);
        shifts[i][1] = -double(jy) * view.height / (2.0 * aspect * view.field_scale);
    }
    shifts[label_samples][0] = shifts[label_samples][1] = 0.0;
}

}  // namespace

// The same passes as text_draw_multisample with eight samples, leaving out every glyph whose
// jittered image holds no pixel centre.
void draw_reaching_passes(float size, float spacing, const char* text)
{
    double shifts[label_samples + 1][2];
    pass_shifts(shifts);
    read_label_transform();
    // Most labels of a wide graph lie out of sight: one box stands for all their glyphs.
    const LabelPlacement placement = {state.transform, state.magnitudes, label_box_rounding};
    const bool seen = label_reaches_pixels(placement, size, spacing, text, shifts, label_samples + 1);
    if (seen) place_glyphs(size, spacing, text);
    for (uint32_t i = 0; i < label_samples; i++) {
        const double dx = shifts[i][0], dy = shifts[i][1];
        if (!seen || !pass_reaches(text, dx, dy)) continue;
        text_set_projection(text_jitter(int32_t(2 * i)), text_jitter(int32_t(2 * i + 1)));
        draw_reaching_glyphs(size, spacing, text, dx, dy);
    }
    text_set_projection(0.0f, 0.0f);
    if (seen && pass_reaches(text, 0.0, 0.0)) draw_reaching_glyphs(size, spacing, text, 0.0, 0.0);
    text_glyphs_init();
    glEnableClientState(GL_VERTEX_ARRAY);
    glVertexPointer(2, GL_FLOAT, 0, glyph_vertices);
}

}  // namespace text_parts

using namespace text_parts;

bool text_label_may_reach_pixels(const double modelview[16], const double magnitudes[16], float size, float spacing,
                                 const char* text)
{
    if (!text || text[0] == 0) return false;
    fill_glyph_boxes();
    double projection[16], transform[16], bounds[16], shifts[label_samples + 1][2];
    plain_projection(projection);
    draw_multiply_matrices(projection, modelview, transform);
    for (double& value : projection) value = std::fabs(value);
    draw_multiply_matrices(projection, magnitudes, bounds);
    pass_shifts(shifts);
    // The drawing path reads the model-view back; here the GL has yet to compose it in float.
    return label_reaches_pixels({transform, bounds, kDrawClipRounding}, size, spacing, text, shifts, label_samples + 1);
}
