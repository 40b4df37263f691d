// draw: immediate-mode helpers for untextured geometry from client-side arrays.
//
// Does NOT keep state of its own; what it leaves behind is GL state:
//   draw_set_blend        -> GL_BLEND enabled, blend function set
//   draw_array, draw_line -> vertex array on; colour/normal/texcoord arrays and GL_TEXTURE_2D off;
//                            current colour = the colour passed
//   draw_set_color_array  -> colour array on, for exactly the next draw_array
#pragma once

#include <GL/gl.h>

#include <algorithm>
#include <cstdint>

void draw_set_blend(GLenum source, GLenum destination);  // glBlendFunc + glEnable(GL_BLEND)
void draw_array(GLenum mode, const float* vertices, int32_t count, int32_t components, float r, float g,
                float b, float a);  // one draw of count packed vertices in one colour
void draw_line(float x1, float y1, float z1, float x2, float y2, float z2, float r, float g, float b,
               float a);  // one line segment through draw_array
void draw_set_color_array(const float* colours, int32_t count, int32_t components);  // per-vertex colours for the next draw_array

// Skipping draws that cannot change a pixel: a triangle writes a pixel only when it covers
// that pixel's centre, so geometry whose window-space bounds hold no pixel centre is invisible.
void draw_multiply_matrices(const double left[16], const double right[16],
                            double product[16]);  // column-major left x right, as GL composes matrices
// left x right, and the same product of the entries' absolute values, which bounds the float
// rounding of the first.
void draw_multiply_with_magnitudes(const double left[16], const double right[16], double product[16],
                                   double magnitudes[16]);
// Window-space bounds (x0, y0, x1, y1) of count points (x, y, z) under a combined projection x
// model-view matrix; false when a point is at or behind the eye, where nothing can be ruled out.
bool draw_points_window_bounds(const double transform[16], uint32_t width, uint32_t height, const double* points,
                               int32_t count, double bounds[4]);
// Whether bounds moved by (dx, dy) pixels hold a pixel centre of a width x height viewport.
inline bool draw_bounds_reach_pixels(const double bounds[4], double dx, double dy, uint32_t width, uint32_t height);
// Whether a window-space triangle (x, y of three corners), whose corners the GL may place up to
// error pixels away, can cover a pixel centre of a width x height viewport, allowing for the
// rasteriser's snapping; true when unsure.
bool draw_triangle_reaches_pixels(const double corners[6], double error, uint32_t width, uint32_t height);
// Off is the plain reference: every label pass, every quad and one draw per frame-total line.
void draw_set_culling(bool enabled);  // on by default; off draws everything (for comparisons)
bool draw_culling(void);  // whether invisible labels and bands are skipped

// Rasterisers snap vertices to a sub-pixel grid and we work in double where GL works in
// float; a hundredth of a pixel covers both.
const double kDrawPixelMargin = 0.01;
// How far, relative to the sum of the magnitudes that make it up, the GL's float transform may
// put a clip coordinate from ours: a float rounds at 6e-8 and the GL rounds a few dozen times.
const double kDrawClipRounding = 1e-5;

// Whether [low, high] holds some c + 0.5 with c a whole pixel index below size. Once the span is
// clamped to [0, size - 1] and not empty, its high end is small and not negative, so truncating
// it is its floor; a NaN end holds nothing. Without a branch, which culling mispredicts often:
// a high end below zero or NaN is truncated as zero, and the span is empty then anyway.
inline bool draw_span_holds_centre(double low, double high, uint32_t size)
{
    const double first = std::max(low - kDrawPixelMargin - 0.5, 0.0);
    const double last = std::min(high + kDrawPixelMargin - 0.5, double(size) - 1.0);
    const double whole = double(int64_t(last >= 0.0 ? last : 0.0));
    return (first <= last) & (whole >= first);
}

// Inline, as the band culling asks it for every run and quad it looks at; both spans are always
// worked out, which costs less than a branch that goes either way.
inline bool draw_bounds_reach_pixels(const double bounds[4], double dx, double dy, uint32_t width, uint32_t height)
{
    return draw_span_holds_centre(bounds[0] + dx, bounds[2] + dx, width) &
           draw_span_holds_centre(bounds[1] + dy, bounds[3] + dy, height);
}
