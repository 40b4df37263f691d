// Reader of glyphs.txt: one block per glyph or part, one primitive per line, in 1/21 units.
#include <algorithm>
#include <cmath>
#include <map>
#include <sstream>

#include "tools/font/font.h"

namespace {

constexpr double pi = 3.14159265358979323846;
// Segments of a full ring the size of the lowercase o; other arcs scale from it.
constexpr double ring_segments = 34.0;
constexpr double ring_reference_radius = 11.0;

struct Reader {
    FontSource source;
    std::map<std::string, size_t> parts;
    std::map<int, size_t> glyphs;
    double exponent = 2.0;
    bool has_polygon = false;
    std::vector<FontPoint> polygon;
    std::vector<std::vector<FontPoint>> holes;
    int line = 0;
};

bool fail(Reader& reader, const std::string& message)
{
    if (reader.source.error.empty()) reader.source.error = "line " + std::to_string(reader.line) + ": " + message;
    return false;
}

FontDesign* current_design(Reader& reader)
{
    return reader.source.designs.empty() ? nullptr : &reader.source.designs.back();
}

void add_shape(Reader& reader, std::vector<FontTriangle> triangles)
{
    current_design(reader)->shapes.push_back({std::move(triangles)});
}

void flush_polygon(Reader& reader)
{
    if (!reader.has_polygon) return;
    add_shape(reader, font_triangulate(reader.polygon, reader.holes));
    reader.has_polygon = false;
    reader.polygon.clear();
    reader.holes.clear();
}

bool read_numbers(Reader& reader, std::istringstream& words, std::vector<double>& numbers, size_t least,
                  size_t most)
{
    double value;
    while (words >> value) numbers.push_back(value);
    if (!words.eof()) return fail(reader, "expected a number");
    if (numbers.size() < least || numbers.size() > most) return fail(reader, "wrong number of values");
    return true;
}

bool read_points(Reader& reader, std::istringstream& words, std::vector<FontPoint>& points)
{
    std::string word;
    while (words >> word) {
        FontPoint point;
        char comma = 0;
        std::istringstream pair(word);
        if (!(pair >> point.x >> comma >> point.y) || comma != ',' || !pair.eof()) {
            return fail(reader, "expected x,y but read '" + word + "'");
        }
        points.push_back(point);
    }
    if (points.size() < 3) return fail(reader, "a polygon needs three corners");
    return true;
}

FontPoint ellipse_point(double cx, double cy, double rx, double ry, double degrees, double exponent)
{
    const double angle = degrees * pi / 180.0;
    const double c = std::cos(angle), s = std::sin(angle);
    const double power = 2.0 / exponent;
    return {cx + rx * std::copysign(std::pow(std::fabs(c), power), c),
            cy + ry * std::copysign(std::pow(std::fabs(s), power), s)};
}

int segment_count(double span, double rx, double ry)
{
    const double scale = std::sqrt(std::max(rx, ry) / ring_reference_radius);
    return std::max(2, int(std::lround(ring_segments * std::fabs(span) / 360.0 * scale)));
}

void push_triangle(std::vector<FontTriangle>& triangles, FontPoint a, FontPoint b, FontPoint c)
{
    if (std::fabs(font_area({a, b, c})) > 1e-9) triangles.push_back({{a, b, c}});
}

// Splits an arc at the multiples of 90 degrees inside it, so the oval's extremes are corners,
// and shares the segments out in proportion (ties go to every other piece, keeping the arc balanced).
std::vector<double> arc_angles(double from, double to, int segments)
{
    std::vector<double> keys = {from};
    for (double key = std::ceil(from / 90.0) * 90.0; key < to; key += 90.0) {
        if (key > from) keys.push_back(key);
    }
    keys.push_back(to);
    const size_t pieces = keys.size() - 1;
    const int total = std::max(segments, int(pieces));
    std::vector<int> counts(pieces);
    std::vector<double> remainders(pieces);
    int given = 0;
    for (size_t i = 0; i < pieces; i++) {
        const double share = total * (keys[i + 1] - keys[i]) / (to - from);
        counts[i] = std::max(1, int(std::floor(share)));
        remainders[i] = share - std::floor(share) - (i % 2) * 1e-9;
        given += counts[i];
    }
    while (given < total) {
        const size_t best = size_t(std::max_element(remainders.begin(), remainders.end()) - remainders.begin());
        counts[best]++;
        remainders[best] = -1;
        given++;
    }
    std::vector<double> angles = {from};
    for (size_t i = 0; i < pieces; i++) {
        for (int k = 1; k <= counts[i]; k++) angles.push_back(keys[i] + (keys[i + 1] - keys[i]) * k / counts[i]);
    }
    return angles;
}

// ring cx cy rx ry thickness_x thickness_y from_degrees to_degrees [segments [exponent]]
bool read_ring(Reader& reader, std::istringstream& words)
{
    std::vector<double> v;
    if (!read_numbers(reader, words, v, 8, 10)) return false;
    if (v[7] <= v[6]) return fail(reader, "a ring runs counter-clockwise: its end angle must be larger");
    const int segments = v.size() > 8 ? int(v[8]) : segment_count(v[7] - v[6], v[2], v[3]);
    const double exponent = v.size() > 9 ? v[9] : reader.exponent;
    if (segments < 1) return fail(reader, "a ring needs a segment");
    const std::vector<double> angles = arc_angles(v[6], v[7], segments);
    std::vector<FontTriangle> triangles;
    for (size_t i = 0; i + 1 < angles.size(); i++) {
        const FontPoint o0 = ellipse_point(v[0], v[1], v[2], v[3], angles[i], exponent);
        const FontPoint o1 = ellipse_point(v[0], v[1], v[2], v[3], angles[i + 1], exponent);
        const FontPoint i0 = ellipse_point(v[0], v[1], v[2] - v[4], v[3] - v[5], angles[i], exponent);
        const FontPoint i1 = ellipse_point(v[0], v[1], v[2] - v[4], v[3] - v[5], angles[i + 1], exponent);
        push_triangle(triangles, o0, o1, i1);
        push_triangle(triangles, o0, i1, i0);
    }
    add_shape(reader, std::move(triangles));
    return true;
}

bool read_rect(Reader& reader, std::istringstream& words)
{
    std::vector<double> v;
    if (!read_numbers(reader, words, v, 4, 4)) return false;
    add_shape(reader, font_triangulate({{v[0], v[1]}, {v[2], v[1]}, {v[2], v[3]}, {v[0], v[3]}}, {}));
    return true;
}

// line x0 y0 x1 y1 width: a stroke of that width along its centre line, its ends cut level.
bool read_line(Reader& reader, std::istringstream& words)
{
    std::vector<double> v;
    if (!read_numbers(reader, words, v, 5, 5)) return false;
    const double dx = v[2] - v[0], dy = v[3] - v[1];
    if (std::fabs(dy) < 1e-9) {
        add_shape(reader, font_triangulate({{v[0], v[1] - v[4] / 2}, {v[2], v[1] - v[4] / 2}, {v[2], v[1] + v[4] / 2}, {v[0], v[1] + v[4] / 2}},
                                           {}));
        return true;
    }
    const double half = v[4] * std::hypot(dx, dy) / std::fabs(dy) / 2;
    add_shape(reader, font_triangulate({{v[0] - half, v[1]}, {v[0] + half, v[1]}, {v[2] + half, v[3]}, {v[2] - half, v[3]}},
                                       {}));
    return true;
}

// bar x0 y0 x1 y1 width: a stroke of that width with square ends.
bool read_bar(Reader& reader, std::istringstream& words)
{
    std::vector<double> v;
    if (!read_numbers(reader, words, v, 5, 5)) return false;
    const double length = std::hypot(v[2] - v[0], v[3] - v[1]);
    if (length < 1e-9) return fail(reader, "a bar needs two different ends");
    const double nx = -(v[3] - v[1]) / length * v[4] / 2, ny = (v[2] - v[0]) / length * v[4] / 2;
    add_shape(reader, font_triangulate({{v[0] - nx, v[1] - ny}, {v[2] - nx, v[3] - ny}, {v[2] + nx, v[3] + ny}, {v[0] + nx, v[1] + ny}},
                                       {}));
    return true;
}

// Half the pen's reach across a stroke whose left normal is n: width_x across upright strokes,
// width_y across level ones, in between along an ellipse.
double pen_reach(FontPoint n, double width_x, double width_y)
{
    return std::hypot(n.x * width_x, n.y * width_y) / 2;
}

FontPoint unit_normal(FontPoint from, FontPoint to)
{
    const double length = std::hypot(to.x - from.x, to.y - from.y);
    return {-(to.y - from.y) / length, (to.x - from.x) / length};
}

// Where the offset edges of the two segments meeting at a corner cross (the mitre), on one side.
FontPoint mitre(FontPoint corner, FontPoint n0, double reach0, FontPoint n1, double reach1, double side)
{
    const FontPoint a = {corner.x + side * n0.x * reach0, corner.y + side * n0.y * reach0};
    const FontPoint b = {corner.x + side * n1.x * reach1, corner.y + side * n1.y * reach1};
    const FontPoint d0 = {n0.y, -n0.x}, d1 = {n1.y, -n1.x};
    const double det = d0.x * d1.y - d0.y * d1.x;
    if (std::fabs(det) < 1e-6) return {(a.x + b.x) / 2, (a.y + b.y) / 2};
    const double t = ((b.x - a.x) * d1.y - (b.y - a.y) * d1.x) / det;
    return {a.x + t * d0.x, a.y + t * d0.y};
}

// The end of a stroke, on one side: square across the stroke, or level along y of the end point.
FontPoint stroke_end(FontPoint end, FontPoint n, double reach, double side, bool level)
{
    const FontPoint square = {end.x + side * n.x * reach, end.y + side * n.y * reach};
    if (!level || std::fabs(n.x) < 1e-9) return square;
    // Slide along the stroke's edge to the level of the end point.
    const FontPoint d = {n.y, -n.x};
    const double t = (end.y - square.y) / d.y;
    return {square.x + t * d.x, square.y + t * d.y};
}

bool read_path_end(Reader& reader, std::istringstream& words, bool* level)
{
    std::string word;
    words >> word;
    if (word != "square" && word != "level") return fail(reader, "a path end is 'square' or 'level'");
    *level = word == "level";
    return true;
}

// path width_x width_y start_end end_end item...: one pen stroke along a centre line of points
// (x,y), arcs (arc cx cy rx ry from to) and waves (sine x0 y0 x1 height from to: y0 + height *
// sin(phase) as the phase runs from..to and x runs x0..x1), mitred at every corner. Each segment
// is a shape of its own, so where the stroke crosses itself the later segment is cut, not inked
// twice.
bool read_path(Reader& reader, std::istringstream& words)
{
    double width_x, width_y;
    bool level_start, level_end;
    if (!(words >> width_x >> width_y)) return fail(reader, "a path needs two widths");
    if (!read_path_end(reader, words, &level_start) || !read_path_end(reader, words, &level_end)) return false;
    std::vector<FontPoint> centre;
    auto add = [&](FontPoint p) {
        if (centre.empty() || std::hypot(p.x - centre.back().x, p.y - centre.back().y) > 1e-6) centre.push_back(p);
    };
    std::string word;
    while (words >> word) {
        if (word == "arc") {
            double cx, cy, rx, ry, from, to;
            if (!(words >> cx >> cy >> rx >> ry >> from >> to)) return fail(reader, "arc takes cx cy rx ry from to");
            const double low = std::min(from, to), high = std::max(from, to);
            std::vector<double> angles = arc_angles(low, high, segment_count(high - low, rx, ry));
            if (to < from) std::reverse(angles.begin(), angles.end());
            for (double angle : angles) add(ellipse_point(cx, cy, rx, ry, angle, reader.exponent));
            continue;
        }
        if (word == "sine") {
            double x0, y0, x1, height, from, to;
            if (!(words >> x0 >> y0 >> x1 >> height >> from >> to) || to <= from) {
                return fail(reader, "sine takes x0 y0 x1 height from to, from below to");
            }
            const int steps = std::max(2, int(std::lround((to - from) / 10.0)));
            for (int k = 0; k <= steps; k++) {
                const double phase = from + (to - from) * k / steps;
                add({x0 + (x1 - x0) * k / steps, y0 + height * std::sin(phase * pi / 180.0)});
            }
            continue;
        }
        FontPoint p;
        char comma = 0;
        std::istringstream pair(word);
        if (!(pair >> p.x >> comma >> p.y) || comma != ',' || !pair.eof()) {
            return fail(reader, "expected x,y, arc or sine but read '" + word + "'");
        }
        add(p);
    }
    if (centre.size() < 2) return fail(reader, "a path needs two points");
    std::vector<FontPoint> left, right;
    for (size_t i = 0; i < centre.size(); i++) {
        const FontPoint n0 = unit_normal(centre[i > 0 ? i - 1 : 0], centre[i > 0 ? i : 1]);
        const FontPoint n1 = i + 1 < centre.size() ? unit_normal(centre[i], centre[i + 1]) : n0;
        const double reach0 = pen_reach(n0, width_x, width_y), reach1 = pen_reach(n1, width_x, width_y);
        if (i == 0 || i + 1 == centre.size()) {
            const bool level = i == 0 ? level_start : level_end;
            left.push_back(stroke_end(centre[i], n1, reach1, 1, level));
            right.push_back(stroke_end(centre[i], n1, reach1, -1, level));
        } else {
            left.push_back(mitre(centre[i], n0, reach0, n1, reach1, 1));
            right.push_back(mitre(centre[i], n0, reach0, n1, reach1, -1));
        }
    }
    for (size_t i = 0; i + 1 < centre.size(); i++) {
        add_shape(reader, font_triangulate({right[i], right[i + 1], left[i + 1], left[i]}, {}));
    }
    return true;
}

// use part-or-code [dx dy [sx sy]]: the shapes of an earlier block, scaled then moved.
bool read_use(Reader& reader, std::istringstream& words)
{
    std::string name;
    words >> name;
    std::vector<double> v;
    if (!read_numbers(reader, words, v, 0, 4) || (v.size() != 0 && v.size() != 2 && v.size() != 4)) {
        return fail(reader, "use takes a name and 0, 2 or 4 numbers");
    }
    const double dx = v.size() > 0 ? v[0] : 0, dy = v.size() > 1 ? v[1] : 0;
    const double sx = v.size() > 2 ? v[2] : 1, sy = v.size() > 3 ? v[3] : 1;
    const FontDesign* used = nullptr;
    const bool numeric = !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
    if (numeric && reader.glyphs.count(std::stoi(name))) used = &reader.source.designs[reader.glyphs[std::stoi(name)]];
    if (!numeric && reader.parts.count(name)) used = &reader.source.designs[reader.parts[name]];
    if (!used) return fail(reader, "unknown part or glyph '" + name + "'");
    FontDesign* design = current_design(reader);
    if (numeric && sx == 1 && sy == 1 && design->base_code < 0) design->base_code = used->code;
    const std::vector<FontShape> shapes = used->shapes;
    for (const FontShape& shape : shapes) {
        FontShape moved = shape;
        for (FontTriangle& triangle : moved.triangles) {
            for (FontPoint& p : triangle.corner) p = {p.x * sx + dx, p.y * sy + dy};
        }
        design->shapes.push_back(moved);
    }
    return true;
}

bool read_profile(Reader& reader, std::istringstream& words)
{
    std::vector<double> v;
    if (!read_numbers(reader, words, v, 8, 8)) return false;
    FontDesign* design = current_design(reader);
    design->has_profile = true;
    for (size_t i = 0; i < 8; i++) design->profile[i] = v[i];
    return true;
}

// exponent p: the superellipse power of the rings that follow (2 is an ellipse).
bool read_exponent(Reader& reader, std::istringstream& words)
{
    std::vector<double> v;
    if (!read_numbers(reader, words, v, 1, 1)) return false;
    reader.exponent = v[0];
    return true;
}

bool start_block(Reader& reader, const std::string& keyword, std::istringstream& words)
{
    FontDesign design{};
    design.line = reader.line;
    design.base_code = -1;
    if (keyword == "glyph") {
        if (!(words >> design.code) || design.code < font_first_code || design.code > font_last_code) {
            return fail(reader, "glyph needs a code from 33 to 254");
        }
        if (reader.glyphs.count(design.code)) return fail(reader, "glyph defined twice");
        words >> design.name;
        reader.glyphs[design.code] = reader.source.designs.size();
    } else {
        design.code = -1;
        if (!(words >> design.name) || reader.parts.count(design.name)) return fail(reader, "part needs a new name");
        reader.parts[design.name] = reader.source.designs.size();
    }
    reader.source.designs.push_back(design);
    return true;
}

bool read_line_of_source(Reader& reader, const std::string& text)
{
    std::istringstream words(text.substr(0, text.find('#')));
    std::string keyword;
    if (!(words >> keyword)) return true;
    if (keyword != "hole") flush_polygon(reader);
    if (keyword == "glyph" || keyword == "part") return start_block(reader, keyword, words);
    if (keyword == "exponent") return read_exponent(reader, words);
    if (!current_design(reader)) return fail(reader, "'" + keyword + "' outside a glyph or part");
    if (keyword == "rect") return read_rect(reader, words);
    if (keyword == "line") return read_line(reader, words);
    if (keyword == "bar") return read_bar(reader, words);
    if (keyword == "path") return read_path(reader, words);
    if (keyword == "ring") return read_ring(reader, words);
    if (keyword == "use") return read_use(reader, words);
    if (keyword == "profile") return read_profile(reader, words);
    if (keyword == "poly") {
        reader.has_polygon = true;
        return read_points(reader, words, reader.polygon);
    }
    if (keyword == "hole") {
        if (!reader.has_polygon) return fail(reader, "a hole needs a polygon before it");
        reader.holes.emplace_back();
        return read_points(reader, words, reader.holes.back());
    }
    return fail(reader, "unknown word '" + keyword + "'");
}

}  // namespace

FontSource font_read_source(const std::string& text)
{
    Reader reader;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        reader.line++;
        if (!read_line_of_source(reader, line)) break;
    }
    if (reader.source.error.empty()) flush_polygon(reader);
    return reader.source;
}
