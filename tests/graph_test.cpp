#include <GL/gl.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "draw/text.h"
#include "profile/profile.h"
#include "tests/support/gl_support.h"
#include "viewer/graph_layout.h"
#include "viewer/viewer.h"

namespace {

struct Entry {
    int32_t type;
    int32_t group;
    std::vector<float> values;
    float colour[3] = {1, 1, 1};
    const char* name = nullptr;
};

// A table made by hand; each entry's values fill the front of a zero-filled capacity.
class HandTable {
public:
    HandTable(const std::vector<Entry>& entries, uint32_t frames)
    {
        table_ = {uint32_t(entries.size()), frames, nullptr};
        uint32_t capacity = profile_capacity(&table_);
        storage_.assign(entries.size(), std::vector<float>(capacity, 0.0f));
        for (size_t i = 0; i < entries.size(); i++) {
            Section section{};
            section.type = entries[i].type;
            section.group_index = entries[i].group;
            std::copy(entries[i].values.begin(), entries[i].values.end(), storage_[i].begin());
            section.values = storage_[i].data();
            std::memcpy(section.colour, entries[i].colour, sizeof section.colour);
            std::strncpy(section.name, entries[i].name ? entries[i].name : "", PROFILE_NAME_SIZE - 1);
            sections_.push_back(section);
        }
        table_.sections = sections_.data();
    }
    SectionTable* get() { return &table_; }
    const Section& operator[](size_t i) const { return sections_[i]; }

private:
    SectionTable table_;
    std::vector<Section> sections_;
    std::vector<std::vector<float>> storage_;
};

std::vector<float> repeat(float value, size_t frames)
{
    return std::vector<float>(frames, value);
}

std::vector<float> join(std::vector<float> a, const std::vector<float>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct LayoutCase {
    const char* name;
    std::vector<Entry> entries;
    uint32_t frames, start, count;
    float frame_total_sum;
    std::vector<float> sums, starts, ends;
};

TEST(GraphLayout, SumsAndSpansForHandComputedWindows)
{
    const std::vector<LayoutCase> cases = {
        {"two groups, unequal time; the last frame is not in the depth total",
         {{0, -1, {10, 10, 10, 40}}, {1, 0, {3, 3, 3, 3}}, {2, 0, {1, 2, 3, 4}}, {2, 0, {0, 0, 0, 0}}, {1, 1, {1, 1, 1, 1}}, {2, 1, {5, 5, 5, 5}}},
         4,
         0,
         4,
         30,
         {70, 12, 10, 0, 4, 20},
         {0, -1, -1, -0.25f, 0.5f, 0.5f},
         {0, 0.5f, -0.25f, 0.5f, 1, 1}},
        {"a group without items",
         {{0, -1, {1, 1}}, {1, 0, {1, 1}}, {1, 1, {3, 3}}, {2, 1, {1, 1}}, {2, 1, {1, 1}}},
         2,
         0,
         2,
         1,
         {2, 2, 6, 2, 2},
         {0, -1, -0.5f, -0.5f, 0.25f},
         {0, -0.5f, 1, 0.25f, 1}},
        {"zero totals collapse every span",
         {{0, -1, {0, 0, 0}}, {1, 0, {0, 0, 0}}, {2, 0, {0, 0, 0}}, {1, 1, {0, 0, 0}}},
         3,
         0,
         3,
         0,
         {0, 0, 0, 0},
         {0, -1, -1, -1},
         {0, -1, -1, -1}},
        {"a window past the last frame reads zeros",
         {{0, -1, {2, 4, 8}}, {1, 0, {5, 1, 1}}, {2, 0, {9, 1, 1}}},
         3,
         1,
         6,
         12,
         {12, 2, 2},
         {0, -1, -1},
         {0, 1, 1}},
        {"items apart from their groups keep table order within each",
         {{0, -1, {10}}, {1, 0, {4}}, {1, 1, {4}}, {2, 1, {1}}, {2, 0, {2}}, {2, 1, {3}}, {2, 0, {2}}},
         1,
         0,
         1,
         0,
         {10, 4, 4, 1, 2, 3, 2},
         {0, -1, 0, 0, -1, 0.5f, -0.5f},
         {0, 0, 1, 0.5f, -0.5f, 1, 0}},
        {"a group ordinal past the entry count",
         {{0, -1, {2}}, {1, 9, {2}}, {2, 9, {2}}, {2, 9, {2}}},
         1,
         0,
         1,
         0,
         {2, 2, 2, 2},
         {0, -1, -1, 0},
         {0, 1, 0, 1}},
        {"sums are rounded after each addition",
         {{0, -1, join({1}, repeat(1e-8f, 10))}, {1, 0, join({1}, repeat(1e-8f, 10))}},
         11,
         0,
         11,
         1,
         {1, 1},
         {0, -1},
         {0, 1}},
    };
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(c.name);
        HandTable table(c.entries, c.frames);
        EXPECT_EQ(profile_graph_layout(table.get(), c.start, c.count), c.frame_total_sum);
        for (size_t i = 0; i < c.entries.size(); i++) {
            EXPECT_EQ(table[i].sum, c.sums[i]) << "entry " << i;
            EXPECT_NEAR(table[i].start, c.starts[i], 1e-6) << "entry " << i;
            EXPECT_NEAR(table[i].end, c.ends[i], 1e-6) << "entry " << i;
        }
    }
}

TEST(GraphBand, QuadsFollowFrameDepthsSharesAndChanges)
{
    // Unchanged, doubled, halved: full colour, black, half brightness.
    HandTable table({{0, -1, {2, 4, 4, 2}}, {2, 0, {1, 1, 2, 1}, {0.8f, 0.4f, 0.2f}}}, 4);
    Section item = table[1];
    item.start = -0.5f;
    item.end = 0.25f;
    float vertices[36], colours[36];
    profile_graph_band(table.get(), &item, 0, 4, 10.0f, vertices, colours);
    const float expected[36] = {-0.5f, 0.5f, -1, 0.25f, 0.5f, -1, 0.25f, 0.25f, -0.6f, -0.5f, 0.25f, -0.6f,
                                -0.5f, 0.25f, -0.6f, 0.25f, 0.25f, -0.6f, 0.25f, 0.5f, 0.2f, -0.5f, 0.5f, 0.2f,
                                -0.5f, 0.5f, 0.2f, 0.25f, 0.5f, 0.2f, 0.25f, 0.5f, 1, -0.5f, 0.5f, 1};
    const float shades[3] = {1, 0, 0.5f};
    for (int k = 0; k < 36; k++) {
        EXPECT_NEAR(vertices[k], expected[k], 1e-6) << "float " << k;
        EXPECT_NEAR(colours[k], shades[k / 12] * item.colour[k % 3], 1e-6) << "float " << k;
    }
}

TEST(GraphBand, ZeroTotalsAndValuesStayFinite)
{
    // Nothing to nothing shows full colour, nothing to something black; a zero depth total adds no depth.
    HandTable table({{0, -1, {0, 0, 0, 6}}, {2, 0, {0, 0, 3, 3}, {1, 1, 1}}, {2, 0, {1e-40f, 3e38f}, {1, 1, 1}}}, 4);
    float vertices[36], colours[36];
    profile_graph_band(table.get(), &table[1], 0, 4, 0.0f, vertices, colours);
    for (int k = 0; k < 36; k++) EXPECT_TRUE(std::isfinite(vertices[k]) && std::isfinite(colours[k])) << k;
    for (int k = 2; k < 36; k += 3) EXPECT_EQ(vertices[k], -1.0f);
    EXPECT_EQ(vertices[1] + vertices[7], 0.0f);
    EXPECT_EQ(vertices[31], 0.5f);
    EXPECT_EQ(colours[0], 1.0f);
    EXPECT_EQ(colours[12], 0.0f);
    EXPECT_EQ(colours[24], 1.0f);
    profile_graph_band(table.get(), &table[2], 0, 2, 2.0f, vertices, colours);
    for (int k = 0; k < 12; k++) EXPECT_TRUE(std::isfinite(colours[k]) && colours[k] <= 0.0f) << k;
    // An unmeasurable name gives a label of size 0, without a lift.
    Section group = table[1];
    group.type = SECTION_GROUP;
    group.end = 0.5f;
    GraphLabel label = profile_graph_span_label(&group, 0.0f);
    EXPECT_TRUE(label.y == 0.0f && label.size == 0.0f);
}

// Each run's ranges against the least and greatest of the edges graph_band_edges writes for it:
// runs cut short by the end of the strip, by the end of the stored frames or starting past
// them, with zero totals, a NaN and overflowing shares among the values.
TEST(GraphBand, RunRangesAreThoseOfTheirEdges)
{
    const uint32_t frames = 1000;
    std::vector<float> totals(frames), values(frames);
    for (uint32_t j = 0; j < frames; j++) {
        totals[j] = j % 37 == 5 ? 0.0f : 1.0f + float(j % 11);
        values[j] = j % 53 == 7 ? 3e38f : float(int(j * 7919 % 23) - 9) * 0.25f;
    }
    values[400] = NAN;
    HandTable table({{0, -1, totals}, {2, 0, values}}, frames);
    const uint32_t capacity = profile_capacity(table.get());
    struct RunCase {
        uint32_t start, count;
    };
    const RunCase cases[] = {{0, 2}, {0, 17}, {3, 18}, {0, 998}, {2, 998}, {395, 40}, {frames - 30, 60}, {capacity - 22, 40}, {capacity + 5, 20}};
    for (const RunCase& c : cases)
        for (int ordered = 0; ordered < 2; ordered++) {
            // In order, a run's last edge holds its deepest; out of order, its depths are not its ends'.
            std::vector<float> depths(c.count);
            for (uint32_t j = 0; j < c.count; j++)
                depths[j] = ordered ? 0.01f * float(j) : std::sin(0.7f * float(j)) + 0.001f * float(j);
            std::vector<BandEdge> edges(c.count);
            std::vector<BandRunRange> runs((c.count - 2) / kGraphBandRunQuads + 1);
            float edge_range[2], run_range[2];
            graph_band_edges(table.get(), table[1], c.start, c.count, depths.data(), edges.data(), edge_range);
            graph_band_runs(table.get(), table[1], c.start, c.count, depths.data(), runs.data(), run_range);
            EXPECT_EQ(run_range[0], edge_range[0]) << c.start << " " << c.count;
            EXPECT_EQ(run_range[1], edge_range[1]) << c.start << " " << c.count;
            for (uint32_t run = 0; run < runs.size(); run++) {
                const uint32_t first = run * kGraphBandRunQuads, last = std::min(first + kGraphBandRunQuads, c.count - 1);
                float heights[2] = {INFINITY, -INFINITY}, run_depths[2] = {INFINITY, -INFINITY};
                for (uint32_t j = first; j <= last; j++) {
                    heights[0] = std::min(heights[0], edges[j].height);
                    heights[1] = std::max(heights[1], edges[j].height);
                    run_depths[0] = std::min(run_depths[0], edges[j].depth);
                    run_depths[1] = std::max(run_depths[1], edges[j].depth);
                }
                for (int end = 0; end < 2; end++) {
                    EXPECT_EQ(runs[run].heights[end], heights[end]) << c.start << " " << c.count << " run " << run;
                    EXPECT_EQ(runs[run].depths[end], run_depths[end]) << c.start << " " << c.count << " run " << run;
                }
            }
        }
}

TEST(GraphSlice, TwentyFourEqualStepsFromTheBottomTowardMinusX)
{
    const double turn = 6.283185306, cx = 0.5, radius = 0.25, fraction = 0.375, angle = 0.25;
    float v[216];
    profile_graph_slice(v, cx, radius, fraction, angle);
    for (int s = 0; s < 24; s++) {
        const float* t = v + 9 * s;
        for (int corner = 0; corner < 2; corner++) {
            double x = t[3 * corner] - cx, y = t[3 * corner + 1] + radius;
            EXPECT_NEAR(std::hypot(x, y), radius, 1e-6);
            double measured = std::atan2(-x, -y);
            double expected = (angle + fraction * (s + corner) / 24) * turn;
            EXPECT_NEAR(std::remainder(measured - expected, 2 * M_PI), 0, 1e-5) << s << " " << corner;
            EXPECT_EQ(t[3 * corner + 2], -1.0f);
        }
        EXPECT_NEAR(t[6], cx, 1e-7);
        EXPECT_NEAR(t[7], -radius, 1e-7);
    }
}

// Pixels of a small known recording: 21 frames of total 1; group A holds a steady red
// item and a green one that doubles at frame 10; group B a blue one that halves there.
class GraphPixels : public GlTest {
protected:
    GraphPixels()
        : table_({{0, -1, repeat(1, 21), {1, 1, 1}},
                  {1, 0, join(repeat(0.3f, 10), repeat(0.4f, 11)), {1, 0, 1}},
                  {2, 0, repeat(0.2f, 21), {1, 0, 0}},
                  {2, 0, join(repeat(0.1f, 10), repeat(0.2f, 11)), {0, 1, 0}},
                  {1, 1, join(repeat(0.4f, 10), repeat(0.2f, 11)), {1, 1, 1}},
                  {2, 1, join(repeat(0.4f, 10), repeat(0.2f, 11)), {0, 0, 1}}},
                 21)
    {
    }
    void SetUp() override
    {
        GlTest::SetUp();
        text_refresh_view();
        saved_ = *profile_table();
        *profile_table() = *table_.get();
        glClearColor(0.1f, 0.1f, 0.1f, 1);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        glEnable(GL_DEPTH_TEST);
    }
    void TearDown() override { *profile_table() = saved_; }

    // The window pixel of a scene point under the current matrices.
    static void project(double x, double y, double z, int* px, int* py)
    {
        double mv[16], pr[16], eye[4] = {}, clip[4] = {};
        int viewport[4];
        glGetDoublev(GL_MODELVIEW_MATRIX, mv);
        glGetDoublev(GL_PROJECTION_MATRIX, pr);
        glGetIntegerv(GL_VIEWPORT, viewport);
        for (int r = 0; r < 4; r++) eye[r] = mv[r] * x + mv[4 + r] * y + mv[8 + r] * z + mv[12 + r];
        for (int r = 0; r < 4; r++)
            for (int c = 0; c < 4; c++) clip[r] += pr[4 * c + r] * eye[c];
        *px = int(viewport[0] + (clip[0] / clip[3] + 1) * 0.5 * viewport[2]);
        *py = int(viewport[1] + (clip[1] / clip[3] + 1) * 0.5 * viewport[3]);
    }
    static std::vector<int> seen(double x, double y, double z)
    {
        int px, py;
        uint8_t rgb[3];
        project(x, y, z, &px, &py);
        gl_read_pixel(px, py, rgb);
        return {rgb[0], rgb[1], rgb[2]};
    }
    const Section& entry(int i) const { return profile_table()->sections[i]; }

    HandTable table_;
    SectionTable saved_;
};

TEST_F(GraphPixels, BandsSeenFromAboveShowColourAndShade)
{
    glTranslatef(0, 0, -3);
    glRotatef(90, 1, 0, 0);
    profile_draw_graph(0, 21);
    auto middle = [&](int i) { return (entry(i).start + entry(i).end) * 0.5; };
    // Quad 9 joins frames 9 and 10 and lies between z = -0.1 and 0.
    EXPECT_EQ(seen(middle(2), 0.2, 0.5), (std::vector<int>{255, 0, 0}));
    EXPECT_EQ(seen(middle(2), 0.2, -0.05), (std::vector<int>{255, 0, 0}));
    EXPECT_EQ(seen(middle(3), 0.2, 0.5), (std::vector<int>{0, 255, 0}));
    EXPECT_EQ(seen(middle(3), 0.15, -0.05), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(seen(middle(5), 0.2, 0.5), (std::vector<int>{0, 0, 255}));
    std::vector<int> halved = seen(middle(5), 0.3, -0.05);
    EXPECT_NEAR(halved[2], 128, 2);
    EXPECT_EQ(halved[0] + halved[1], 0);
}

TEST_F(GraphPixels, FrontViewShowsFrameLinesPiesAndTheGroupLabel)
{
    glTranslatef(0, 0, -4);
    profile_draw_graph(0, 21);
    GLboolean blend = glIsEnabled(GL_BLEND);
    GLint source, destination;
    glGetIntegerv(GL_BLEND_SRC, &source);
    glGetIntegerv(GL_BLEND_DST, &destination);
    EXPECT_TRUE(blend && source == GL_SRC_ALPHA && destination == GL_ONE_MINUS_SRC_ALPHA);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    // Each frame adds 0.1 of depth; the last line stands at z = 1.1.
    const double line_x = -1.0 - 1.0 / 6;
    auto white_near = [&](double z, int reach) {
        int px, py;
        project(line_x, 1.0, z, &px, &py);
        std::vector<uint8_t> row = gl_read_pixels(px - reach, py, 2 * reach + 1, 1);
        for (size_t i = 0; i < row.size(); i += 4)
            if (row[i] > 240 && row[i + 1] > 240 && row[i + 2] > 240) return true;
        return false;
    };
    for (int m = 0; m < 21; m++) EXPECT_TRUE(white_near(-0.9 + 0.1 * m, 1)) << "line " << m;
    EXPECT_FALSE(white_near(1.25, 0));
    // Pies: A is split 4.2 : 3.2 between red and green, B is all blue.
    double cx = (entry(1).start + entry(1).end) * 0.5, r = (entry(1).end - entry(1).start) * 0.5;
    double red_middle = 0.5 * 4.2 / 7.4 * 6.283185306, green_middle = (4.2 + 1.6) / 7.4 * 6.283185306;
    EXPECT_EQ(seen(cx - 0.6 * r * std::sin(red_middle), -r - 0.6 * r * std::cos(red_middle), -1),
              (std::vector<int>{255, 0, 0}));
    EXPECT_EQ(seen(cx - 0.6 * r * std::sin(green_middle), -r - 0.6 * r * std::cos(green_middle), -1),
              (std::vector<int>{0, 255, 0}));
    double bx = (entry(4).start + entry(4).end) * 0.5, br = (entry(4).end - entry(4).start) * 0.5;
    EXPECT_EQ(seen(bx, -br * 1.5, -1), (std::vector<int>{0, 0, 255}));
    EXPECT_LT(seen(bx, -br * 2.2, -1)[2], 50);
    // The magenta group label stands upright under y = 0 within A's span, in the plane z = 1,
    // in front of the pie. Its passes meet equal depths, so it may show as little as 1/8 of its colour.
    std::strcpy(profile_table()->sections[1].name, "Ag");
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    profile_draw_graph(0, 21);
    float size = entry(1).end - entry(1).start;
    int left, top, right, bottom;
    project(entry(1).start, 0, 1, &left, &top);
    project(entry(1).end, -1.4 * size / text_measure(1, 0.3f, "Ag", -1) * 1.5, 1, &right, &bottom);
    std::vector<uint8_t> all = gl_read_pixels(0, 0, 720, 566);
    int inside = 0, outside = 0;
    for (int y = 0; y < 566; y++)
        for (int x = 0; x < 720; x++) {
            const uint8_t* p = &all[size_t(y * 720 + x) * 4];
            bool magenta = p[0] > p[1] + 20 && p[0] == p[2];
            bool within = x >= left - 2 && x <= right + 2 && y >= bottom - 2 && y <= top + 2;
            (within ? inside : outside) += magenta;
        }
    EXPECT_GT(inside, 20);
    EXPECT_EQ(outside, 0);
}

TEST_F(GraphPixels, EmptyOrFramelessTablesDrawNothing)
{
    std::vector<uint8_t> before = gl_read_pixels(0, 0, 720, 566);
    *profile_table() = SectionTable{0, 0, nullptr};
    profile_draw_graph(0, 100);
    SectionTable frameless = *table_.get();
    frameless.frame_count = 0;
    for (uint32_t i = 0; i < frameless.section_count; i++) frameless.sections[i].values = nullptr;
    *profile_table() = frameless;
    profile_draw_graph(0, 100);
    EXPECT_FALSE(glIsEnabled(GL_BLEND));
    EXPECT_EQ(gl_read_pixels(0, 0, 720, 566), before);
}

}  // namespace
