// text: labels drawn from the constant glyph tables, smoothed by jittered projections.
#include "draw/text.h"

#include <GL/gl.h>

#include <algorithm>
#include <cmath>

#include "draw/draw.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t label_samples = 8;
constexpr float label_colour_share = 0.125f;
// Glyphs past this many in one label are drawn in every pass, culled or not.
constexpr int32_t culled_glyph_capacity = 128;
// Glyphs of more vertices or indices than these are drawn whole.
constexpr uint32_t glyph_vertex_capacity = 256;
constexpr uint32_t glyph_index_capacity = 1024;
// How far inside the window, in pixels, a glyph must land for its draw to need no clipping in
// any pass: the jitter moves a pass by less than a pixel.
constexpr double unclipped_window_margin = 3.0;
// How far, relative to the magnitudes that make it up, the GL's float transform may put a clip
// coordinate from ours.
constexpr double clip_rounding = 1e-5;
// Far above how far, relative to the magnitudes it works with, our double arithmetic may put a
// window point from the exact one.
constexpr double label_box_rounding = 1e-12;
// Label boxes whose clip w comes closer to zero than this are not looked at as a whole.
constexpr double label_box_least_depth = 1e-6;

// Ink bounds of one glyph in glyph units, and the run of vertices its triangles use.
struct GlyphBox {
    float low[2];
    float high[2];
    bool inked;
    uint32_t first_vertex, vertex_count;
};

// Where one glyph of the label being drawn lands under the plain projection.
struct GlyphReach {
    double bounds[4];
    double pen;  // glyph units from the label's origin
    bool inked;
    bool placed;  // false when part of it is at or behind the eye: it is always drawn
    bool unclipped;  // inside the view volume in every pass, so its triangles rasterise alone
};

struct TextState {
    TextView view;
    const uint32_t* glyph_table[256];
    bool glyph_table_ready;
    GlyphBox glyph_boxes[256];
    bool glyph_boxes_ready;
    GlyphReach glyph_reach[culled_glyph_capacity];
    double transform[16];  // plain projection x the label's model-view
    double magnitudes[16];  // the same product of absolute values, for rounding bounds
    float label_size;
    double window[2 * glyph_vertex_capacity];  // the glyph being drawn, placed under the plain projection
    uint32_t kept_indices[glyph_index_capacity];  // its triangles that reach a pixel in this pass
};

TextState state = {{1500, 1100, 1.0, 0.0005, 10.0}, {}, false, {}, false, {}, {}, {}, 0.0f, {}, {}};

// ---- Projections, glyph boxes and glyph runs ----

// The frustum the platform sets for the window, moved by (jx, jy) near-plane units per unit of field.
void text_set_projection(float jx, float jy)
{
    const TextView& view = state.view;
    const double field = view.field_scale;
    const double near_plane = view.near_plane;
    const float aspect = float(double(view.height) / double(view.width));
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glFrustum((jx - field) * near_plane, (jx + field) * near_plane, (jy - aspect * field) * near_plane,
              (jy + aspect * field) * near_plane, near_plane, view.far_plane);
    glViewport(0, 0, GLsizei(view.width), GLsizei(view.height));
    glMatrixMode(GL_MODELVIEW);
}

float text_jitter(int32_t k)
{
    return float((text_noise(k) - 0.5) * 2.0 / double(state.view.width));
}

void fill_glyph_boxes()
{
    if (state.glyph_boxes_ready) return;
    state.glyph_boxes_ready = true;
    uint32_t offset = 0;
    for (uint32_t code = 0; code < 256; code++) {
        GlyphBox& box = state.glyph_boxes[code];
        uint32_t last_vertex = 0;
        box.first_vertex = UINT32_MAX;
        for (uint32_t i = 0; i < glyph_index_counts[code]; i++) {
            box.first_vertex = std::min(box.first_vertex, glyph_indices[offset + i]);
            last_vertex = std::max(last_vertex, glyph_indices[offset + i]);
            const float* vertex = glyph_vertices + 2 * glyph_indices[offset + i];
            for (int axis = 0; axis < 2; axis++) {
                if (!box.inked || vertex[axis] < box.low[axis]) box.low[axis] = vertex[axis];
                if (!box.inked || vertex[axis] > box.high[axis]) box.high[axis] = vertex[axis];
            }
            box.inked = true;
        }
        box.vertex_count = box.inked ? last_vertex - box.first_vertex + 1 : 0;
        offset += glyph_index_counts[code];
    }
}

// The plain frustum as a column-major matrix, as glFrustum would build it.
void plain_projection(double matrix[16])
{
    const TextView& view = state.view;
    const double aspect = double(float(double(view.height) / double(view.width)));
    const double n = view.near_plane, f = view.far_plane, half_width = view.field_scale * n;
    const double half_height = aspect * view.field_scale * n;
    for (int i = 0; i < 16; i++) matrix[i] = 0.0;
    matrix[0] = n / half_width;
    matrix[5] = n / half_height;
    matrix[10] = -(f + n) / (f - n);
    matrix[11] = -1.0;
    matrix[14] = -2.0 * f * n / (f - n);
}

// One pass of a glyph run; list(i, code, &count) gives the indices to draw for glyph i, or null
// to draw none. The pen moves the same either way.
template <typename List>
void draw_glyph_run(float size, float spacing, const char* text, int32_t length, List list)
{
    text_glyphs_init();
    glPushMatrix();
    glScalef(size, size, 1.0f);
    glEnableClientState(GL_VERTEX_ARRAY);
    glVertexPointer(2, GL_FLOAT, 0, glyph_vertices);
    // Callers pass at most 127 glyphs; the count is a signed byte, so -1 means no limit.
    const int32_t limit = int8_t(length);
    if (text[0] != 0 && limit != 0) {
        for (int32_t i = 0;; i++) {
            const uint8_t current = uint8_t(text[i]);
            uint32_t count = glyph_index_counts[current];
            const uint32_t* indices = state.glyph_table[current] ? list(i, current, &count) : nullptr;
            if (indices && count > 0) glDrawElements(GL_TRIANGLES, GLsizei(count), GL_UNSIGNED_INT, indices);
            const uint8_t next = uint8_t(text[i + 1]);
            if (next == 0) break;
            glTranslatef(float(double(glyph_advance(current, next)) + double(spacing)), 0.0f, 0.0f);
            if (i + 1 == limit) break;
        }
    }
    glPopMatrix();
}

// ---- Leaving out what reaches no pixel centre ----

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
        const double w = clip[3] - clip_rounding * slack[3];
        for (int axis = 0; axis < 3; axis++)
            if (!(std::fabs(clip[axis]) + clip_rounding * slack[axis] < w)) return false;
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
    draw_multiply_matrices(projection, modelview, state.transform);
    for (int i = 0; i < 16; i++) {
        projection[i] = std::fabs(projection[i]);
        modelview[i] = std::fabs(modelview[i]);
    }
    draw_multiply_matrices(projection, modelview, state.magnitudes);
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

// The same passes as text_draw_multisample with eight samples, leaving out every glyph whose
// jittered image holds no pixel centre; GL state ends as if all had been drawn.
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

}  // namespace

// ---- Public functions ----

const TextView* text_get_view(void)
{
    return &state.view;
}

const uint32_t* text_glyph_list(uint8_t code)
{
    return state.glyph_table[code];
}

bool text_glyphs_ready(void)
{
    return state.glyph_table_ready;
}

void text_init(void)
{
    text_refresh_view();
}

void text_refresh_view(void)
{
    TextView& view = state.view;
    brelm_get_screen_mode(&view.width, &view.height, nullptr);
    brelm_get_view_settings(&view.far_plane, &view.near_plane, &view.field_scale);
}

void text_glyphs_init(void)
{
    if (state.glyph_table_ready) return;
    for (const uint32_t*& entry : state.glyph_table) entry = nullptr;
    state.glyph_table_ready = true;
    uint32_t offset = 0;
    for (uint32_t code = 33; code <= 254; code++) {
        state.glyph_table[code] = glyph_indices + offset;
        offset += glyph_index_counts[code];
    }
}

float glyph_advance(uint8_t current, uint8_t next)
{
    const GlyphProfile& left_glyph = glyph_profiles[current];
    const GlyphProfile& right_glyph = glyph_profiles[next];
    double advance = double(left_glyph.right[0]) - double(right_glyph.left[0]);
    for (int band = 1; band < 4; band++) {
        const double gap = double(left_glyph.right[band]) - double(right_glyph.left[band]);
        if (gap > advance) advance = gap;
    }
    return float(advance);
}

double text_noise(int32_t k)
{
    const uint32_t m = uint32_t(k) ^ (uint32_t(k) << 13);
    uint32_t v = m * (m * m * 15731u + 789221u) - 771171059u;
    v &= 0x7FFFFFFFu;
    return double(v) / 2147483648.0;
}

float text_measure_run(float spacing, const char* text, float gap_numerator, float gap_denominator, int32_t length)
{
    if (text[0] == 0 || length == 0) return 0.0f;
    const double gap = double(gap_numerator) / double(gap_denominator);
    float sum = 0.0f;
    for (int32_t i = 0;; i++) {
        const uint8_t current = uint8_t(text[i]);
        const uint8_t next = uint8_t(text[i + 1]);
        const double advance = glyph_advance(current, next);
        if (next > 32) {
            sum = float(double(sum) + advance + double(spacing));
        } else {
            sum = float(double(sum) + (advance + gap) + double(spacing));
        }
        if (next == 0 || i + 1 == length) break;
    }
    return sum;
}

float text_measure(float size, float spacing, const char* text, int32_t length)
{
    return float(double(text_measure_run(spacing, text, 0.0f, 1.0f, length)) * double(size));
}

void text_draw_run(float size, float spacing, const char* text, int32_t length)
{
    draw_glyph_run(size, spacing, text, length,
                   [](int32_t, uint8_t code, uint32_t*) { return state.glyph_table[code]; });
}

void text_draw_multisample(float size, float spacing, const char* text, int32_t length, uint32_t samples)
{
    if (samples <= 1) {
        text_draw_run(size, spacing, text, length);
        return;
    }
    for (uint32_t i = 0; i < samples; i++) {
        text_set_projection(text_jitter(int32_t(2 * i)), text_jitter(int32_t(2 * i + 1)));
        text_draw_run(size, spacing, text, length);
    }
    text_set_projection(0.0f, 0.0f);
    text_draw_run(size, spacing, text, length);
}

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
    return label_reaches_pixels({transform, bounds, clip_rounding}, size, spacing, text, shifts, label_samples + 1);
}

void text_draw(float x, float y, float size, float spacing, const char* text, float r, float g, float b, float a)
{
    if (!text || text[0] == 0) return;
    glPushMatrix();
    glTranslatef(x, y, 0.0f);
    glColor4f(r * label_colour_share, g * label_colour_share, b * label_colour_share, a * label_colour_share);
    // Most labels of a wide graph are far smaller than a pixel; glyphs that reach no pixel
    // centre in a pass are skipped, which leaves every pixel as the full nine passes would.
    if (draw_culling())
        draw_reaching_passes(size, spacing, text);
    else
        text_draw_multisample(size, spacing, text, -1, label_samples);
    glPopMatrix();
}
