// The constant font tables: layout, metrics, profiles, and that the committed file is the generator's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "draw/text.h"
#include "tests/support/process_support.h"

namespace {

struct Point {
    double x, y;
};
using Polygon = std::vector<Point>;

// The first and one-past-last vertex of a code's run, and its triangles.
struct GlyphView {
    uint32_t first_vertex = std::numeric_limits<uint32_t>::max(), end_vertex = 0;
    std::vector<Polygon> triangles;
};

GlyphView view_glyph(int code)
{
    uint32_t offset = 0;
    for (int c = 0; c < code; c++) offset += glyph_index_counts[c];
    GlyphView view;
    for (uint32_t i = 0; i < glyph_index_counts[code]; i += 3) {
        Polygon triangle;
        for (uint32_t k = 0; k < 3; k++) {
            const uint32_t v = glyph_indices[offset + i + k];
            view.first_vertex = std::min(view.first_vertex, v);
            view.end_vertex = std::max(view.end_vertex, v + 1);
            triangle.push_back({glyph_vertices[2 * v], glyph_vertices[2 * v + 1]});
        }
        view.triangles.push_back(triangle);
    }
    return view;
}

struct Box {
    double left = 1e9, right = -1e9, bottom = 1e9, top = -1e9;
};

Box bounds(const GlyphView& view)
{
    Box box;
    for (const Polygon& triangle : view.triangles) {
        for (Point p : triangle) {
            box.left = std::min(box.left, p.x);
            box.right = std::max(box.right, p.x);
            box.bottom = std::min(box.bottom, p.y);
            box.top = std::max(box.top, p.y);
        }
    }
    return box;
}

double area(const Polygon& polygon)
{
    double twice = 0;
    for (size_t i = 0; i < polygon.size(); i++) {
        const Point p = polygon[i], q = polygon[(i + 1) % polygon.size()];
        twice += p.x * q.y - q.x * p.y;
    }
    return twice / 2;
}

// Keeps the part of a polygon where a*x + b*y + c >= 0.
Polygon clip(const Polygon& polygon, double a, double b, double c)
{
    Polygon out;
    for (size_t i = 0; i < polygon.size(); i++) {
        const Point p = polygon[i], q = polygon[(i + 1) % polygon.size()];
        const double dp = a * p.x + b * p.y + c, dq = a * q.x + b * q.y + c;
        if (dp >= 0) out.push_back(p);
        if ((dp > 0 && dq < 0) || (dp < 0 && dq > 0)) {
            const double t = dp / (dp - dq);
            out.push_back({p.x + t * (q.x - p.x), p.y + t * (q.y - p.y)});
        }
    }
    return out;
}

Polygon clip_band(const Polygon& polygon, double low, double high)
{
    return clip(clip(polygon, 0, 1, -low), 0, -1, high);
}

// The band rule, written out again from its description, for the stored triangles.
std::vector<double> band_rule(const GlyphView& view)
{
    const double low[4] = {1.0, 0.85, 0.15, 0.0}, high[4] = {1e9, 1.0, 0.85, 0.15};
    double smallest[4], largest[4];
    bool ink[4] = {};
    for (int band = 0; band < 4; band++) {
        smallest[band] = 1e9;
        largest[band] = -1e9;
        for (const Polygon& triangle : view.triangles) {
            const Polygon part = clip_band(triangle, low[band], high[band]);
            if (part.size() < 3 || std::fabs(area(part)) < 1e-7) continue;
            ink[band] = true;
            for (Point p : part) {
                smallest[band] = std::min(smallest[band], p.x);
                largest[band] = std::max(largest[band], p.x);
            }
        }
    }
    if (!ink[1] || !ink[3]) return {0, 0, 0, 0, 1, 1, 1, 1};
    double widest = -1e9;
    for (int band = 0; band < 4; band++) {
        if (ink[band]) widest = std::max(widest, largest[band]);
    }
    std::vector<double> rule(8);
    for (int band = 0; band < 4; band++) {
        rule[size_t(band)] = ink[band] ? std::clamp(smallest[band], 0.0, 0.9) : 0.9;
        rule[size_t(band) + 4] = ink[band] ? std::max(largest[band], widest - 0.9) : widest - 0.9;
    }
    return rule;
}

std::vector<double> stored_profile(int code)
{
    const GlyphProfile& p = glyph_profiles[code];
    return {p.left[0], p.left[1], p.left[2], p.left[3], p.right[0], p.right[1], p.right[2], p.right[3]};
}

bool is_neutral(int code)
{
    return stored_profile(code) == std::vector<double>{0, 0, 0, 0, 1, 1, 1, 1};
}

// Leftmost ink at or above the baseline.
double left_edge_above_baseline(const GlyphView& view)
{
    double left = 1e9;
    for (const Polygon& triangle : view.triangles) {
        const Polygon part = clip(triangle, 0, 1, 0);
        if (part.size() < 3 || std::fabs(area(part)) < 1e-9) continue;
        for (Point p : part) left = std::min(left, p.x);
    }
    return left;
}

bool boxes_apart(const Polygon& a, const Polygon& b)
{
    auto box = [](const Polygon& p) {
        Box out;
        for (Point q : p) {
            out.left = std::min(out.left, q.x);
            out.right = std::max(out.right, q.x);
            out.bottom = std::min(out.bottom, q.y);
            out.top = std::max(out.top, q.y);
        }
        return out;
    };
    const Box p = box(a), q = box(b);
    return p.right <= q.left || q.right <= p.left || p.top <= q.bottom || q.top <= p.bottom;
}

double overlap(const Polygon& a, const Polygon& b)
{
    if (boxes_apart(a, b)) return 0.0;
    Polygon inside = a;
    const double sign = area(b) > 0 ? 1 : -1;
    for (size_t i = 0; i < b.size() && inside.size() >= 3; i++) {
        const Point p = b[i], q = b[(i + 1) % b.size()];
        // Left of p -> q for a counter-clockwise cutter.
        const double nx = -(q.y - p.y) * sign, ny = (q.x - p.x) * sign;
        inside = clip(inside, nx, ny, -(nx * p.x + ny * p.y));
    }
    return inside.size() >= 3 ? std::fabs(area(inside)) : 0.0;
}

// The stretches of ink along the level line at height y, merged where triangles touch.
std::vector<std::pair<double, double>> ink_runs(const GlyphView& view, double y)
{
    std::vector<std::pair<double, double>> pieces, runs;
    for (const Polygon& triangle : view.triangles) {
        double left = 1e9, right = -1e9;
        for (size_t i = 0; i < 3; i++) {
            const Point p = triangle[i], q = triangle[(i + 1) % 3];
            if ((p.y - y) * (q.y - y) > 0 || p.y == q.y) continue;
            const double x = p.x + (y - p.y) / (q.y - p.y) * (q.x - p.x);
            left = std::min(left, x);
            right = std::max(right, x);
        }
        if (right > left) pieces.push_back({left, right});
    }
    std::sort(pieces.begin(), pieces.end());
    for (const auto& piece : pieces) {
        if (!runs.empty() && piece.first <= runs.back().second + 1e-6) {
            runs.back().second = std::max(runs.back().second, piece.second);
        } else {
            runs.push_back(piece);
        }
    }
    return runs;
}

TEST(FontTables, RepertoireIsCodes33To254EachWithItsOwnList)
{
    for (int code = 0; code < 256; code++) {
        SCOPED_TRACE(code);
        const bool has_glyph = code >= 33 && code <= 254;
        EXPECT_EQ(glyph_index_counts[code] > 0, has_glyph);
        EXPECT_EQ(glyph_index_counts[code] % 3, 0u);
        if (!has_glyph) {
            EXPECT_TRUE(is_neutral(code));
        }
    }
}

TEST(FontTables, VertexRunsFollowEachOtherInCodeOrderAndCoverEveryVertex)
{
    uint32_t expected_first = 0, index_sum = 0;
    for (int code = 33; code <= 254; code++) {
        SCOPED_TRACE(code);
        const GlyphView view = view_glyph(code);
        EXPECT_EQ(view.first_vertex, expected_first);
        expected_first = view.end_vertex;
        index_sum += glyph_index_counts[code];
    }
    EXPECT_EQ(expected_first, glyph_vertex_count);
    EXPECT_EQ(index_sum, glyph_index_total);
}

TEST(FontTables, TellingRowsHoldAsStored)
{
    struct Row {
        int code;
        uint32_t indices;
        double right, top;
        double profile[8];
    };
    const Row rows[] = {
        {'.', 6, 0.1905, 0.2381, {0, 0, 0, 0, 1, 1, 1, 1}},
        {':', 12, 0.1905, 0.9524, {0.9, 0, 0, 0, -0.7095, 0.1905, 0.1905, 0.1905}},
        {'A', 33, 1.2381, 1.3333, {0.3953, 0.3438, 0.0688, 0, 0.8434, 0.8948, 1.1695, 1.2381}},
        {'T', 18, 1.1429, 1.3333, {0, 0.4762, 0.4762, 0.4762, 1.1429, 0.6667, 0.6667, 0.6667}},
        {'V', 15, 1.2381, 1.3333, {0, 0.1375, 0.1891, 0.4641, 1.2381, 1.1008, 1.0493, 0.7747}},
        {'W', 33, 1.7143, 1.3333, {0, 0.0905, 0.1244, 0.3054, 1.7143, 1.6236, 1.5896, 1.4083}},
        {'i', 12, 0.1905, 1.4286, {0, 0, 0, 0, 0.1905, 0.1905, 0.1905, 0.1905}},
        {'o', 204, 0.9524, 1.0476, {0.2540, 0.0837, 0, 0.1237, 0.6984, 0.8685, 0.9524, 0.8306}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(1, char(row.code)));
        EXPECT_EQ(glyph_index_counts[row.code], row.indices);
        const Box box = bounds(view_glyph(row.code));
        EXPECT_NEAR(box.left, 0.0, 5e-5);
        EXPECT_NEAR(box.right, row.right, 5e-5);
        EXPECT_NEAR(box.bottom, 0.0, 5e-5);
        EXPECT_NEAR(box.top, row.top, 5e-5);
        const std::vector<double> stored = stored_profile(row.code);
        for (size_t k = 0; k < 8; k++) EXPECT_NEAR(stored[k], row.profile[k], 5e-5) << "value " << k;
    }
}

TEST(FontTables, AdvancesBetweenTellingPairs)
{
    struct Pair {
        uint8_t current, next;
        double advance;
    };
    const Pair pairs[] = {{'T', 'o', 0.8889}, {'A', 'V', 0.9804}, {'V', 'A', 0.9806}, {'W', 'A', 1.5209}, {'i', 'i', 0.1905}, {'H', 'H', 1.0476}, {'A', ' ', 1.2381}, {' ', 'A', 1.0}, {'.', 'A', 1.0}, {'A', 0, 1.2381}};
    for (const Pair& pair : pairs) {
        EXPECT_NEAR(glyph_advance(pair.current, pair.next), pair.advance, 5e-5) << pair.current << pair.next;
    }
}

TEST(FontTables, MetricsOfTheOutlines)
{
    struct Metric {
        const char* glyphs;
        double top, bottom;  // NAN where the row does not fix it
        double right;
    };
    const Metric metrics[] = {
        {"uvxz", 1.0, 0.0, NAN},
        {"o", 22 / 21.0, 0.0, 20 / 21.0},
        {"EHT", 4 / 3.0, 0.0, NAN},
        {"bdhkl", 30 / 21.0, NAN, NAN},
        {"gjpqy", NAN, -8 / 21.0, NAN},
        {"i", NAN, NAN, 4 / 21.0},
        {"H", NAN, NAN, 22 / 21.0},
        {"A", NAN, NAN, 26 / 21.0},
        {"m", NAN, NAN, 30 / 21.0},
        {"%", NAN, NAN, 33 / 21.0},
        {"W", NAN, NAN, 36 / 21.0},
        {"I", 4 / 3.0, 0.0, 4 / 21.0},
    };
    for (const Metric& metric : metrics) {
        for (const char* c = metric.glyphs; *c; c++) {
            SCOPED_TRACE(std::string(1, *c));
            const Box box = bounds(view_glyph(uint8_t(*c)));
            if (!std::isnan(metric.top)) {
                EXPECT_NEAR(box.top, metric.top, 1e-5);
            }
            if (!std::isnan(metric.bottom)) {
                EXPECT_NEAR(box.bottom, metric.bottom, 1e-5);
            }
            if (!std::isnan(metric.right)) {
                EXPECT_NEAR(box.right, metric.right, 1e-5);
            }
        }
    }
}

TEST(FontTables, OutlinesStartAtZeroAndOnlyDescendersReachFurtherLeft)
{
    struct Hang {
        int code;
        double left;
    };
    const Hang hangs[] = {{',', -0.067}, {';', -0.067}, {'/', -0.063}, {'j', -0.190}, {'J', -0.281}, {159, -0.297}};
    for (int code = 33; code <= 254; code++) {
        SCOPED_TRACE(code);
        const GlyphView view = view_glyph(code);
        const Box box = bounds(view);
        if (box.top > 0) {
            EXPECT_NEAR(left_edge_above_baseline(view), 0.0, 1e-5);
        }
        const Hang* hang = std::find_if(std::begin(hangs), std::end(hangs), [&](const Hang& h) { return h.code == code; });
        if (hang != std::end(hangs)) {
            EXPECT_NEAR(box.left, hang->left, 0.002);
        } else if (box.top > 0) {
            EXPECT_GE(box.left, -1e-5);
        }
    }
}

TEST(FontTables, AccentsStayBelowTheirCeilings)
{
    // Lowercase accents up to 1.476, the ring of 134 up to 1.619, accents over capitals up to 1.714.
    for (int code : {129, 130, 131, 132, 133, 136, 137, 138, 147, 148, 149, 160, 162, 164}) {
        const Box box = bounds(view_glyph(code));
        EXPECT_GT(box.top, 1.2) << code;
        EXPECT_LE(box.top, 1.4762 + 1e-4) << code;
    }
    EXPECT_NEAR(bounds(view_glyph(134)).top, 1.619, 0.001);
    for (int code : {142, 143, 144, 153, 154, 165}) {
        const Box box = bounds(view_glyph(code));
        EXPECT_GT(box.top, 1.45) << code;
        EXPECT_LE(box.top, 1.7143 + 1e-4) << code;
    }
}

TEST(FontTables, SmallFiguresKeepTheirStrokesAndGapsAtLabelSizes)
{
    // Ordinals, superiors and fraction figures: strokes near the lowercase weight, and counters
    // and gaps wide enough that a fraction does not fill in at small label sizes.
    struct Scan {
        int code;
        double y;  // in 1/21 units
        size_t runs;
    };
    const Scan scans[] = {{166, 21.5, 2}, {166, 10.5, 1}, {167, 21.5, 2}, {252, 17, 2}, {253, 18.5, 1}, {171, 14, 3}, {171, 20, 2}, {171, 5, 2}, {172, 14, 3}, {172, 5, 2}};
    for (const Scan& scan : scans) {
        SCOPED_TRACE(std::to_string(scan.code) + " at " + std::to_string(scan.y));
        const auto runs = ink_runs(view_glyph(scan.code), scan.y / 21.0);
        ASSERT_EQ(runs.size(), scan.runs);
        for (size_t i = 0; i < runs.size(); i++) {
            EXPECT_GE(runs[i].second - runs[i].first, 0.15) << "stroke " << i;
            if (i > 0) {
                EXPECT_GE(runs[i].first - runs[i - 1].second, 0.12) << "gap before stroke " << i;
            }
        }
    }
}

TEST(FontTables, TheLigaturesStemStandsClearOfTheEsBowl)
{
    // Near the x-height and near the baseline the a's stem and the e's bowl are apart, so the
    // ligature shows its stem and does not read as two joined rounds.
    for (double y : {2.0, 20.0}) {
        const auto runs = ink_runs(view_glyph(145), y / 21.0);
        ASSERT_EQ(runs.size(), 2u) << y;
        EXPECT_NEAR(runs[0].second, 18 / 21.0, 1e-4) << y;
        EXPECT_GT(runs[1].first - runs[0].second, 0.08) << y;
    }
}

TEST(FontTables, CodePageGlyphsHaveTheirOwnProfiles)
{
    // The capital A with diaeresis spaces like A below the x-height; its dots only touch band 0.
    const std::vector<double> a_umlaut = stored_profile(142), a = stored_profile('A');
    for (int band = 1; band < 4; band++) {
        EXPECT_NEAR(a_umlaut[size_t(band)], a[size_t(band)], 1e-4);
        EXPECT_NEAR(a_umlaut[size_t(band) + 4], a[size_t(band) + 4], 1e-4);
    }
    EXPECT_GT(bounds(view_glyph(142)).top, bounds(view_glyph('A')).top);
    const Box broken = bounds(view_glyph(127));
    EXPECT_NEAR(broken.bottom, -0.286, 0.001);
    EXPECT_NEAR(broken.top, 1.286, 0.001);
    EXPECT_NEAR(broken.right - broken.left, 0.143, 0.001);
    EXPECT_LT(bounds(view_glyph(220)).top, 0.0);
    EXPECT_GT(bounds(view_glyph(223)).bottom, 1.333);
}

TEST(FontTables, MarksWithoutInkAtTheBaselineOrTheXHeightAreNeutral)
{
    const int marks[] = {'"', '\'', '*', ',', '-', '.', '=', '^', '`', '~', '_', 196, 205, 220, 223, 248, 249, 250, 253};
    for (int code : marks) EXPECT_TRUE(is_neutral(code)) << code;
    const int letters[] = {'A', 'H', 'o', 'x', '1', 'g', 127, 142};
    for (int code : letters) EXPECT_FALSE(is_neutral(code)) << code;
}

TEST(FontTables, ProfilesFollowTheBandRuleExceptTheStoredRows)
{
    int close = 0, total = 0;
    for (int code = 33; code <= 254; code++) {
        const std::vector<double> rule = band_rule(view_glyph(code)), stored = stored_profile(code);
        for (size_t k = 0; k < 8; k++) {
            total++;
            close += std::fabs(rule[k] - stored[k]) <= 0.004;
        }
        // Glyphs made of straight strokes on the grid follow the rule exactly.
        if (std::string("EFHILTXZ:ikltuvxz[]|").find(char(code)) != std::string::npos) {
            for (size_t k = 0; k < 8; k++) EXPECT_NEAR(stored[k], rule[k], 1e-6) << char(code) << " value " << k;
        }
    }
    EXPECT_GE(close * 10, total * 9);
}

TEST(FontTables, NoSpotOfAGlyphIsInkedTwice)
{
    // Labels add their triangles, so an overlap would show as a bright spot.
    for (int code = 33; code <= 254; code++) {
        const GlyphView view = view_glyph(code);
        for (size_t i = 0; i < view.triangles.size(); i++) {
            for (size_t j = i + 1; j < view.triangles.size(); j++) {
                ASSERT_LT(overlap(view.triangles[i], view.triangles[j]), 1e-6) << "code " << code << " triangles " << i << ", " << j;
            }
        }
    }
}

class FontGenerator : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::string(SAVREL_FONT_PATH).empty()) GTEST_SKIP() << "savrel-font is not built";
        folder = make_scratch_folder();
    }

    int generate(const std::string& source, std::string* output)
    {
        write_file(folder + "/glyphs.txt", source);
        return run_program(SAVREL_FONT_PATH, {"--source", folder + "/glyphs.txt", "--tables", folder + "/tables.cpp"},
                           output);
    }

    std::string folder;
};

TEST_F(FontGenerator, CommittedTablesAreTheGeneratorsOutput)
{
    const std::string source = read_file(std::string(SAVREL_SOURCE_DIR) + "/tools/font/glyphs.txt");
    ASSERT_FALSE(source.empty());
    std::string output;
    ASSERT_EQ(generate(source, &output), 0) << output;
    const std::string generated = read_file(folder + "/tables.cpp");
    EXPECT_EQ(generated.substr(0, generated.find('\n')).find("Generated by savrel-font"), 3u);
    EXPECT_TRUE(generated == read_file(std::string(SAVREL_SOURCE_DIR) + "/draw/glyph_tables.cpp"))
        << "draw/glyph_tables.cpp is stale: run `make fonts`";
}

TEST_F(FontGenerator, FaultySourcesAreRefusedWithTheirLine)
{
    const std::string source = read_file(std::string(SAVREL_SOURCE_DIR) + "/tools/font/glyphs.txt");
    struct Case {
        std::string source, message;
    };
    const std::string without_q = source.substr(0, source.find("glyph 113 q")) + source.substr(source.find("glyph 114 r"));
    const Case cases[] = {
        {without_q, "glyph 113 is missing"},
        {source + "\nglyph 65 A\nrect 0 0 1 1\n", "glyph defined twice"},
        {source + "\npart extra\ncircle 0 0 1\n", "unknown word 'circle'"},
        {source + "\npart extra\nrect 0 0 1\n", "wrong number of values"},
        {source + "\npart extra\nuse nothing\n", "unknown part or glyph 'nothing'"},
        {source + "\npart extra\npath 4 4 round level 0,0 0,9\n", "a path end is 'square' or 'level'"},
        {source + "\npart extra\npath 4 4 level level 0,0 0,0\n", "a path needs two points"},
        {"rect 0 0 1 1\n", "line 1: 'rect' outside a glyph or part"},
    };
    for (const Case& test : cases) {
        std::string output;
        EXPECT_NE(generate(test.source, &output), 0);
        EXPECT_NE(output.find(test.message), std::string::npos) << output;
        EXPECT_FALSE(file_exists(folder + "/tables.cpp"));
    }
}

}  // namespace
