// text: labels drawn from the constant glyph tables, smoothed by jittered projections.
#include "draw/text.h"
#include "draw/text_parts.h"

#include <GL/gl.h>

#include <algorithm>
#include <cmath>

#include "draw/draw.h"
#include "platform/platform.h"

namespace text_parts {

TextState state = {{1500, 1100, 1.0, 0.0005, 10.0}, {}, false, {}, false, {}, {}, {}, 0.0f, {}, {}};

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

}  // namespace text_parts

using namespace text_parts;

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
