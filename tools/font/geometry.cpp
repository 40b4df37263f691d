// Plane geometry for the font: ear clipping, convex differences, band clipping, the band rule.
#include <algorithm>
#include <cmath>
#include <limits>

#include "tools/font/font.h"

namespace {

constexpr double epsilon = 1e-9;
// Bands from the top: above the x-height, its top, the middle, at the baseline.
constexpr double band_low[4] = {1.0, 0.85, 0.15, 0.0};
constexpr double band_high[4] = {std::numeric_limits<double>::infinity(), 1.0, 0.85, 0.15};
constexpr double band_limit = 0.9;
// Ink thinner than this in a band is only a touching edge.
constexpr double band_ink_area = 1e-7;

using Polygon = std::vector<FontPoint>;

double cross(FontPoint a, FontPoint b, FontPoint c)
{
    return (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
}

bool same_point(FontPoint a, FontPoint b)
{
    return std::fabs(a.x - b.x) < epsilon && std::fabs(a.y - b.y) < epsilon;
}

bool inside_or_on_triangle(FontPoint p, FontPoint a, FontPoint b, FontPoint c)
{
    return cross(a, b, p) >= -epsilon && cross(b, c, p) >= -epsilon && cross(c, a, p) >= -epsilon;
}

// Proper crossing of two segments; touching end points do not count.
bool segments_cross(FontPoint a, FontPoint b, FontPoint c, FontPoint d)
{
    const double d1 = cross(c, d, a), d2 = cross(c, d, b), d3 = cross(a, b, c), d4 = cross(a, b, d);
    return ((d1 > epsilon && d2 < -epsilon) || (d1 < -epsilon && d2 > epsilon)) &&
           ((d3 > epsilon && d4 < -epsilon) || (d3 < -epsilon && d4 > epsilon));
}

bool polygon_blocks(const Polygon& polygon, FontPoint from, FontPoint to)
{
    for (size_t i = 0; i < polygon.size(); i++) {
        if (segments_cross(from, to, polygon[i], polygon[(i + 1) % polygon.size()])) return true;
    }
    return false;
}

// Joins a hole into the outline through a cut from its rightmost point to the nearest visible outline corner.
void bridge_hole(Polygon& outline, const Polygon& hole, const std::vector<Polygon>& holes)
{
    size_t start = 0;
    for (size_t i = 1; i < hole.size(); i++) {
        if (hole[i].x > hole[start].x) start = i;
    }
    const FontPoint from = hole[start];
    size_t best = outline.size();
    double best_distance = std::numeric_limits<double>::infinity();
    for (size_t i = 0; i < outline.size(); i++) {
        const FontPoint to = outline[i];
        const double distance = std::hypot(to.x - from.x, to.y - from.y);
        if (distance >= best_distance || polygon_blocks(outline, from, to)) continue;
        bool blocked = false;
        for (const Polygon& other : holes) blocked = blocked || polygon_blocks(other, from, to);
        if (blocked) continue;
        best = i;
        best_distance = distance;
    }
    if (best == outline.size()) return;
    Polygon joined(outline.begin(), outline.begin() + long(best) + 1);
    for (size_t i = 0; i <= hole.size(); i++) joined.push_back(hole[(start + i) % hole.size()]);
    joined.insert(joined.end(), outline.begin() + long(best), outline.end());
    outline = joined;
}

bool is_ear(const Polygon& polygon, size_t previous, size_t current, size_t next)
{
    const FontPoint a = polygon[previous], b = polygon[current], c = polygon[next];
    if (cross(a, b, c) <= epsilon) return false;
    for (size_t i = 0; i < polygon.size(); i++) {
        const FontPoint p = polygon[i];
        if (same_point(p, a) || same_point(p, b) || same_point(p, c)) continue;
        if (inside_or_on_triangle(p, a, b, c)) return false;
    }
    return true;
}

// Clips to the half-plane on the left of a -> b (or on its right when keep_left is false).
Polygon clip_half_plane(const Polygon& polygon, FontPoint a, FontPoint b, bool keep_left)
{
    Polygon result;
    const double sign = keep_left ? 1.0 : -1.0;
    for (size_t i = 0; i < polygon.size(); i++) {
        const FontPoint p = polygon[i], q = polygon[(i + 1) % polygon.size()];
        const double dp = sign * cross(a, b, p), dq = sign * cross(a, b, q);
        if (dp >= 0) result.push_back(p);
        if ((dp > 0 && dq < 0) || (dp < 0 && dq > 0)) {
            const double t = dp / (dp - dq);
            result.push_back({p.x + t * (q.x - p.x), p.y + t * (q.y - p.y)});
        }
    }
    return result;
}

Polygon clip_horizontal(const Polygon& polygon, double y, bool keep_above)
{
    // Left of a rightward line is above it.
    const FontPoint a = {0.0, y}, b = {1.0, y};
    return clip_half_plane(polygon, a, b, keep_above);
}

}  // namespace

double font_area(const std::vector<FontPoint>& polygon)
{
    double twice = 0;
    for (size_t i = 0; i < polygon.size(); i++) {
        const FontPoint p = polygon[i], q = polygon[(i + 1) % polygon.size()];
        twice += p.x * q.y - q.x * p.y;
    }
    return twice / 2;
}

std::vector<FontTriangle> font_triangulate(std::vector<FontPoint> outline, std::vector<std::vector<FontPoint>> holes)
{
    if (font_area(outline) < 0) std::reverse(outline.begin(), outline.end());
    for (Polygon& hole : holes) {
        if (font_area(hole) > 0) std::reverse(hole.begin(), hole.end());
    }
    std::sort(holes.begin(), holes.end(), [](const Polygon& a, const Polygon& b) {
        auto right = [](const Polygon& p) {
            return std::max_element(p.begin(), p.end(), [](FontPoint u, FontPoint v) { return u.x < v.x; })->x;
        };
        return right(a) > right(b);
    });
    for (size_t i = 0; i < holes.size(); i++) {
        const std::vector<Polygon> others(holes.begin() + long(i) + 1, holes.end());
        bridge_hole(outline, holes[i], others);
    }
    std::vector<FontTriangle> triangles;
    Polygon polygon = outline;
    while (polygon.size() > 3) {
        const size_t count = polygon.size();
        size_t ear = count;
        for (size_t i = 0; i < count && ear == count; i++) {
            if (is_ear(polygon, (i + count - 1) % count, i, (i + 1) % count)) ear = i;
        }
        // A polygon with no ear left is degenerate; its remaining area is nil.
        if (ear == count) return triangles;
        triangles.push_back({{polygon[(ear + count - 1) % count], polygon[ear], polygon[(ear + 1) % count]}});
        polygon.erase(polygon.begin() + long(ear));
    }
    if (polygon.size() == 3 && font_area(polygon) > epsilon) triangles.push_back({{polygon[0], polygon[1], polygon[2]}});
    return triangles;
}

std::vector<std::vector<FontPoint>> font_subtract(const std::vector<FontPoint>& subject,
                                                  const std::vector<FontPoint>& cutter)
{
    // Each cutter edge splits off the part of the rest that lies outside it; what stays inside all is removed.
    std::vector<Polygon> pieces;
    Polygon rest = subject;
    for (size_t i = 0; i < cutter.size() && !rest.empty(); i++) {
        const FontPoint a = cutter[i], b = cutter[(i + 1) % cutter.size()];
        Polygon outside = clip_half_plane(rest, a, b, false);
        if (outside.size() >= 3 && font_area(outside) > epsilon) pieces.push_back(outside);
        rest = clip_half_plane(rest, a, b, true);
        if (rest.size() < 3 || font_area(rest) <= epsilon) rest.clear();
    }
    return pieces;
}

std::vector<FontPoint> font_clip_band(const std::vector<FontPoint>& polygon, double low, double high)
{
    Polygon clipped = clip_horizontal(polygon, low, true);
    if (std::isfinite(high)) clipped = clip_horizontal(clipped, high, false);
    return clipped;
}

std::array<float, 8> font_band_profile(const std::vector<FontTriangle>& triangles)
{
    double smallest[4], largest[4];
    bool ink[4] = {};
    for (int band = 0; band < 4; band++) {
        smallest[band] = std::numeric_limits<double>::infinity();
        largest[band] = -std::numeric_limits<double>::infinity();
        for (const FontTriangle& triangle : triangles) {
            const Polygon corners(std::begin(triangle.corner), std::end(triangle.corner));
            const Polygon part = font_clip_band(corners, band_low[band], band_high[band]);
            if (part.size() < 3 || std::fabs(font_area(part)) < band_ink_area) continue;
            ink[band] = true;
            for (FontPoint p : part) {
                smallest[band] = std::min(smallest[band], p.x);
                largest[band] = std::max(largest[band], p.x);
            }
        }
    }
    if (!ink[1] || !ink[3]) return {0, 0, 0, 0, 1, 1, 1, 1};
    double widest = -std::numeric_limits<double>::infinity();
    for (int band = 0; band < 4; band++) {
        if (ink[band]) widest = std::max(widest, largest[band]);
    }
    std::array<float, 8> profile;
    for (int band = 0; band < 4; band++) {
        const double left = ink[band] ? std::clamp(smallest[band], 0.0, band_limit) : band_limit;
        const double right = ink[band] ? std::max(largest[band], widest - band_limit) : widest - band_limit;
        profile[size_t(band)] = float(left);
        profile[size_t(band) + 4] = float(right);
    }
    return profile;
}
