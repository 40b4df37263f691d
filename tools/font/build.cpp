// From designs to glyphs: overlaps cut away, outlines aligned to x = 0, profiles by the band rule.
#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "tools/font/font.h"

namespace {

constexpr double piece_area = 1e-6;  // in square design units; smaller scraps are dropped

using Polygon = std::vector<FontPoint>;

Polygon counter_clockwise(Polygon polygon)
{
    if (font_area(polygon) < 0) std::reverse(polygon.begin(), polygon.end());
    return polygon;
}

double overlap_area(const Polygon& piece, const Polygon& cutter)
{
    double area = std::fabs(font_area(piece));
    for (const Polygon& part : font_subtract(piece, cutter)) area -= std::fabs(font_area(part));
    return area;
}

// Cuts each shape's triangles against the shapes before it, so no point of the glyph is inked twice.
std::vector<Polygon> cut_overlaps(const FontDesign& design)
{
    std::vector<Polygon> accepted;
    for (const FontShape& shape : design.shapes) {
        std::vector<Polygon> added;
        for (const FontTriangle& triangle : shape.triangles) {
            std::vector<Polygon> pieces = {counter_clockwise({triangle.corner[0], triangle.corner[1], triangle.corner[2]})};
            for (const Polygon& cutter : accepted) {
                std::vector<Polygon> next;
                for (const Polygon& piece : pieces) {
                    if (overlap_area(piece, cutter) < piece_area) {
                        next.push_back(piece);
                        continue;
                    }
                    for (const Polygon& part : font_subtract(piece, cutter)) {
                        if (std::fabs(font_area(part)) >= piece_area) next.push_back(part);
                    }
                }
                pieces = next;
            }
            added.insert(added.end(), pieces.begin(), pieces.end());
        }
        accepted.insert(accepted.end(), added.begin(), added.end());
    }
    return accepted;
}

// The leftmost ink at or above the baseline; marks wholly below it use their own leftmost point.
double left_edge(const std::vector<Polygon>& pieces)
{
    double above = std::numeric_limits<double>::infinity(), anywhere = above;
    for (const Polygon& piece : pieces) {
        for (FontPoint p : piece) anywhere = std::min(anywhere, p.x);
        const Polygon part = font_clip_band(piece, 0.0, std::numeric_limits<double>::infinity());
        if (part.size() < 3 || std::fabs(font_area(part)) < piece_area) continue;
        for (FontPoint p : part) above = std::min(above, p.x);
    }
    return std::isfinite(above) ? above : anywhere;
}

FontGlyph make_glyph(const FontDesign& design)
{
    std::vector<Polygon> pieces = cut_overlaps(design);
    const double shift = left_edge(pieces);
    FontGlyph glyph{};
    std::map<std::pair<float, float>, uint32_t> known;
    auto vertex = [&](FontPoint p) {
        const float x = float((p.x - shift) / font_grid), y = float(p.y / font_grid);
        auto found = known.find({x, y});
        if (found != known.end()) return found->second;
        const uint32_t index = uint32_t(glyph.vertices.size());
        glyph.vertices.push_back({x, y});
        known[{x, y}] = index;
        return index;
    };
    for (const Polygon& piece : pieces) {
        // A convex piece is a fan from its first corner.
        for (size_t i = 1; i + 1 < piece.size(); i++) {
            if (std::fabs(font_area({piece[0], piece[i], piece[i + 1]})) < piece_area * 1e-3) continue;
            glyph.indices.push_back(vertex(piece[0]));
            glyph.indices.push_back(vertex(piece[i]));
            glyph.indices.push_back(vertex(piece[i + 1]));
        }
    }
    return glyph;
}

std::vector<FontTriangle> glyph_triangles(const FontGlyph& glyph)
{
    std::vector<FontTriangle> triangles;
    for (size_t i = 0; i + 2 < glyph.indices.size(); i += 3) {
        FontTriangle triangle;
        for (size_t c = 0; c < 3; c++) {
            const FontVertex vertex = glyph.vertices[glyph.indices[i + c]];
            triangle.corner[c] = {vertex.x, vertex.y};
        }
        triangles.push_back(triangle);
    }
    return triangles;
}

}  // namespace

bool font_build(const FontSource& source, Font* font, std::string* error)
{
    if (!source.error.empty()) {
        *error = source.error;
        return false;
    }
    font->present.fill(false);
    std::array<std::array<float, 8>, 256> rule{};
    std::array<const FontDesign*, 256> designs{};
    for (const FontDesign& design : source.designs) {
        if (design.code < 0) continue;
        FontGlyph glyph = make_glyph(design);
        if (glyph.indices.empty()) {
            *error = "glyph " + std::to_string(design.code) + " on line " + std::to_string(design.line) + " has no ink";
            return false;
        }
        rule[size_t(design.code)] = font_band_profile(glyph_triangles(glyph));
        designs[size_t(design.code)] = &design;
        font->glyphs[size_t(design.code)] = glyph;
        font->present[size_t(design.code)] = true;
    }
    for (int code = 0; code < 256; code++) {
        font->glyphs[size_t(code)].profile = {0, 0, 0, 0, 1, 1, 1, 1};
        if (code >= font_first_code && code <= font_last_code && !designs[size_t(code)]) {
            *error = "glyph " + std::to_string(code) + " is missing";
            return false;
        }
    }
    // Stored values win over the rule; a glyph built on another keeps that glyph's stored
    // values wherever its own ink leaves the rule unchanged, so accents do not undo them.
    for (int pass = 0; pass < 2; pass++) {
        for (int code = font_first_code; code <= font_last_code; code++) {
            const FontDesign* design = designs[size_t(code)];
            if (!design) continue;
            std::array<float, 8>& profile = font->glyphs[size_t(code)].profile;
            profile = rule[size_t(code)];
            if (design->has_profile) {
                for (size_t i = 0; i < 8; i++) profile[i] = float(design->profile[i]);
            } else if (design->base_code >= 0) {
                const std::array<float, 8>& base_rule = rule[size_t(design->base_code)];
                const std::array<float, 8>& base_stored = font->glyphs[size_t(design->base_code)].profile;
                for (size_t i = 0; i < 8; i++) {
                    if (profile[i] == base_rule[i]) profile[i] = base_stored[i];
                }
            }
        }
    }
    return true;
}
