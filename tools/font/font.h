// savrel-font: turns the glyph designs of glyphs.txt into the viewer's constant font tables.
//
// Does NOT draw with GL; it triangulates on the CPU, derives the spacing profiles and can
// rasterise a proof sheet from the same triangles.
//
// Use: font_read_source(text) -> font_build(source) -> font_write_tables(font) and/or
// font_write_sheet(font).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// Design units: 1/21 of a glyph unit, the grid the straight strokes sit on.
constexpr double font_grid = 21.0;
constexpr int font_first_code = 33;
constexpr int font_last_code = 254;

struct FontPoint {
    double x, y;
};

struct FontTriangle {
    FontPoint corner[3];
};

// One primitive of a design, already cut into triangles that do not overlap each other.
struct FontShape {
    std::vector<FontTriangle> triangles;
};

// One block of the source: a glyph (code 33..254) or a named part used by glyphs.
struct FontDesign {
    int code;  // -1 for a part
    std::string name;  // the character (UTF-8) for a glyph, the part's name otherwise
    int line;
    std::vector<FontShape> shapes;
    bool has_profile;  // explicit stored values that win over the band rule
    std::array<double, 8> profile;
    int base_code;  // glyph whose outline this one reuses whole, -1 when none
};

struct FontSource {
    std::vector<FontDesign> designs;
    std::string error;  // empty when the source was read without fault
};

// A corner as the tables store it. Kept in floats, not in doubles rounded through float: GCC 12's
// vectoriser at -O2 drops such a round trip, and the profiles then came from unrounded corners.
struct FontVertex {
    float x, y;
};

// A glyph ready for the tables: triangles in glyph units, no two overlapping.
struct FontGlyph {
    std::vector<FontVertex> vertices;
    std::vector<uint32_t> indices;  // local to this glyph's vertices
    std::array<float, 8> profile;  // left[0..3], right[0..3]
};

struct Font {
    std::array<FontGlyph, 256> glyphs;  // empty for codes without a glyph
    std::array<bool, 256> present;
};

FontSource font_read_source(const std::string& text);  // parses glyphs.txt; error set on the first fault
bool font_build(const FontSource& source, Font* font, std::string* error);  // false when a glyph is missing or broken
std::string font_write_tables(const Font& font);  // the C++ table file, byte for byte
std::vector<uint8_t> font_write_sheet(const Font& font);  // the proof sheet as a PNG file

// Geometry shared by the reader, the builder and the sheet.
double font_area(const std::vector<FontPoint>& polygon);  // signed, positive counter-clockwise
std::vector<FontTriangle> font_triangulate(std::vector<FontPoint> outline,
                                           std::vector<std::vector<FontPoint>> holes);  // ear clipping
std::vector<std::vector<FontPoint>> font_subtract(const std::vector<FontPoint>& subject,
                                                  const std::vector<FontPoint>& cutter);  // convex pieces
std::vector<FontPoint> font_clip_band(const std::vector<FontPoint>& polygon, double low, double high);
std::array<float, 8> font_band_profile(const std::vector<FontTriangle>& triangles);  // the band rule
