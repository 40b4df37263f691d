// text, internal: the state, constants and glyph runs that text.cpp (projections, measuring,
// the public drawing calls) and text_culling.cpp (leaving out what reaches no pixel) share.
//
// Does NOT belong to the public interface; only draw/ includes it. Uses: draw/text.h, GL.
#pragma once

#include <GL/gl.h>

#include <cstdint>

#include "draw/text.h"

namespace text_parts {

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

extern TextState state;

void text_set_projection(float jx, float jy);  // the platform's frustum moved by (jx, jy) near-plane units per unit of field
float text_jitter(int32_t k);  // pass k's frustum shift, in near-plane units per unit of field
void fill_glyph_boxes();  // every glyph's ink bounds, once
void plain_projection(double matrix[16]);  // the unmoved frustum, as glFrustum builds it
// The eight jittered passes and the plain one, leaving out the glyphs that reach no pixel
// centre; GL state ends as if all had been drawn.
void draw_reaching_passes(float size, float spacing, const char* text);

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

}  // namespace text_parts
