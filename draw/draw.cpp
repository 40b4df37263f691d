// draw: the primitive helpers. Their GL side effects are their contract.
#include "draw/draw.h"

#include <algorithm>
#include <cmath>

namespace {

// Clip w below this counts as at the eye.
const double kMinimumDepth = 1e-9;

// A triangle whose bounds hold more pixel centres than this is kept without looking closer.
const double kTriangleCentreLimit = 64.0;

bool culling = true;

// The first and last pixel index whose centre lies in [low, high] grown by the margin, clamped
// to the window; first > last when there is none.
void centre_range(double low, double high, double margin, uint32_t size, double* first, double* last)
{
    *first = std::max(std::ceil(low - margin - 0.5), 0.0);
    *last = std::min(std::floor(high + margin - 0.5), double(size) - 1.0);
}

// The three edge lines of a triangle as unit normals and offsets, so that a point's signed
// distance from edge i is normal . point - offset; an edge of no length gets a zero normal and
// offset, which rules nothing out.
struct EdgeLines {
    double normal[3][2];
    double offset[3];
};

EdgeLines edge_lines(const double corners[6])
{
    EdgeLines lines;
    for (int edge = 0; edge < 3; edge++) {
        const double* a = corners + 2 * edge;
        const double* b = corners + 2 * ((edge + 1) % 3);
        const double ex = b[0] - a[0], ey = b[1] - a[1];
        const double length = std::sqrt(ex * ex + ey * ey);
        const double nx = length > 0.0 ? -ey / length : 0.0, ny = length > 0.0 ? ex / length : 0.0;
        lines.normal[edge][0] = nx;
        lines.normal[edge][1] = ny;
        lines.offset[edge] = nx * a[0] + ny * a[1];
    }
    return lines;
}

}  // namespace

void draw_set_blend(GLenum source, GLenum destination)
{
    glBlendFunc(source, destination);
    glEnable(GL_BLEND);
}

void draw_array(GLenum mode, const float* vertices, int32_t count, int32_t components, float r, float g, float b,
                float a)
{
    glColor4f(r, g, b, a);
    glEnableClientState(GL_VERTEX_ARRAY);
    glVertexPointer(components, GL_FLOAT, 0, vertices);
    glDrawArrays(mode, 0, count);
    // A colour array serves exactly one draw; later draws use their uniform colour.
    glDisableClientState(GL_COLOR_ARRAY);
    glDisableClientState(GL_NORMAL_ARRAY);
    glDisableClientState(GL_TEXTURE_COORD_ARRAY);
    glDisable(GL_TEXTURE_2D);
}

void draw_line(float x1, float y1, float z1, float x2, float y2, float z2, float r, float g, float b, float a)
{
    const float vertices[6] = {x1, y1, z1, x2, y2, z2};
    draw_array(GL_LINES, vertices, 2, 3, r, g, b, a);
}

void draw_set_color_array(const float* colours, int32_t count, int32_t components)
{
    // The count is not needed: the next draw_array reads one colour per vertex it draws.
    (void)count;
    glEnableClientState(GL_COLOR_ARRAY);
    glColorPointer(components, GL_FLOAT, 0, colours);
}

void draw_multiply_matrices(const double left[16], const double right[16], double product[16])
{
    for (int column = 0; column < 4; column++)
        for (int row = 0; row < 4; row++)
            product[4 * column + row] = left[row] * right[4 * column] + left[4 + row] * right[4 * column + 1] +
                                        left[8 + row] * right[4 * column + 2] + left[12 + row] * right[4 * column + 3];
}

void draw_multiply_with_magnitudes(const double left[16], const double right[16], double product[16],
                                   double magnitudes[16])
{
    draw_multiply_matrices(left, right, product);
    double left_size[16], right_size[16];
    for (int i = 0; i < 16; i++) {
        left_size[i] = std::fabs(left[i]);
        right_size[i] = std::fabs(right[i]);
    }
    draw_multiply_matrices(left_size, right_size, magnitudes);
}

bool draw_points_window_bounds(const double transform[16], uint32_t width, uint32_t height, const double* points,
                               int32_t count, double bounds[4])
{
    bounds[0] = bounds[1] = INFINITY;
    bounds[2] = bounds[3] = -INFINITY;
    for (int32_t i = 0; i < count; i++) {
        const double* point = points + 3 * i;
        double clip[4];
        for (int row = 0; row < 4; row++)
            clip[row] = transform[row] * point[0] + transform[4 + row] * point[1] + transform[8 + row] * point[2] +
                        transform[12 + row];
        if (!(clip[3] > kMinimumDepth)) return false;
        const double x = (clip[0] / clip[3] + 1.0) * 0.5 * double(width);
        const double y = (clip[1] / clip[3] + 1.0) * 0.5 * double(height);
        if (!std::isfinite(x) || !std::isfinite(y)) return false;
        bounds[0] = std::min(bounds[0], x);
        bounds[1] = std::min(bounds[1], y);
        bounds[2] = std::max(bounds[2], x);
        bounds[3] = std::max(bounds[3], y);
    }
    return true;
}

// Every point the rasteriser may cover lies within the margin of the triangle, and every such
// point is within the margin of each edge's inner side, for either winding.
bool draw_triangle_reaches_pixels(const double corners[6], double error, uint32_t width, uint32_t height)
{
    const double low_x = std::min({corners[0], corners[2], corners[4]});
    const double high_x = std::max({corners[0], corners[2], corners[4]});
    const double low_y = std::min({corners[1], corners[3], corners[5]});
    const double high_y = std::max({corners[1], corners[3], corners[5]});
    if (!std::isfinite(low_x + high_x + low_y + high_y)) return true;
    const double margin = kDrawPixelMargin + error;
    double first_x, last_x, first_y, last_y;
    centre_range(low_x, high_x, margin, width, &first_x, &last_x);
    centre_range(low_y, high_y, margin, height, &first_y, &last_y);
    if (first_x > last_x || first_y > last_y) return false;
    if ((last_x - first_x + 1.0) * (last_y - first_y + 1.0) > kTriangleCentreLimit) return true;
    const EdgeLines lines = edge_lines(corners);
    for (double y = first_y + 0.5; y <= last_y + 0.5; y++)
        for (double x = first_x + 0.5; x <= last_x + 0.5; x++) {
            double distances[3];
            for (int edge = 0; edge < 3; edge++)
                distances[edge] = lines.normal[edge][0] * x + lines.normal[edge][1] * y - lines.offset[edge];
            const double least = std::min({distances[0], distances[1], distances[2]});
            const double most = std::max({distances[0], distances[1], distances[2]});
            if (least >= -margin || most <= margin) return true;
        }
    return false;
}

void draw_set_culling(bool enabled)
{
    culling = enabled;
}

bool draw_culling(void)
{
    return culling;
}
