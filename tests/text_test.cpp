// Text drawing and measuring in a real GL context: passes, jitter, restored state, ink and widths.
#include "draw/text.h"

#include <GL/gl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "draw/draw.h"
#include "platform/platform.h"
#include "tests/support/gl_support.h"
#include "tests/support/process_support.h"

namespace {

constexpr int window_width = 720, window_height = 566;
// The test window shows the plane z = -1 at 360 pixels per unit, the origin at its centre.
constexpr double pixels_per_unit = 360.0;
constexpr float label_spacing = 0.3f;

struct InkBox {
    int left = 1 << 30, right = -1, bottom = 1 << 30, top = -1;
    bool empty() const { return right < 0; }
};

double pixel_x(double x)
{
    return (x + 1.0) * pixels_per_unit;
}

double pixel_y(double y)
{
    return window_height / 2.0 + y * pixels_per_unit;
}

// Pixels whose red channel exceeds the threshold, as a box (columns and rows from the bottom).
InkBox ink_box(int threshold = 0)
{
    const std::vector<uint8_t> pixels = gl_read_pixels(0, 0, window_width, window_height);
    InkBox box;
    for (int y = 0; y < window_height; y++) {
        for (int x = 0; x < window_width; x++) {
            if (pixels[(size_t(y) * window_width + size_t(x)) * 4] <= threshold) continue;
            box.left = std::min(box.left, x);
            box.right = std::max(box.right, x);
            box.bottom = std::min(box.bottom, y);
            box.top = std::max(box.top, y);
        }
    }
    return box;
}

std::vector<float> matrix(GLenum which)
{
    std::vector<float> m(16);
    glGetFloatv(which, m.data());
    return m;
}

void expect_matrix_near(const std::vector<float>& actual, const std::vector<float>& expected)
{
    for (size_t i = 0; i < 16; i++) EXPECT_NEAR(actual[i], expected[i], 1e-6 * (1 + std::fabs(expected[i]))) << i;
}

std::vector<float> window_projection()
{
    brelm_reshape(window_width, window_height);
    return matrix(GL_PROJECTION_MATRIX);
}

class TextTest : public GlTest {
protected:
    void SetUp() override
    {
        GlTest::SetUp();
        text_init();
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
        glTranslatef(0.0f, 0.0f, -1.0f);
        glEnable(GL_BLEND);
        glBlendFunc(GL_ONE, GL_ONE);
    }
};

TEST_F(TextTest, InitMirrorsThePlatformWindowAndProjection)
{
    const TextView* view = text_get_view();
    EXPECT_EQ(view->width, uint32_t(window_width));
    EXPECT_EQ(view->height, uint32_t(window_height));
    EXPECT_EQ(view->field_scale, 1.0);
    EXPECT_EQ(view->near_plane, 0.005);
    EXPECT_EQ(view->far_plane, 10000.0);
}

TEST_F(TextTest, LabelIsNinePassesAtOneEighthOfItsColour)
{
    // 160/255 gives 20/255 per pass, which the 8-bit frame buffer adds without rounding.
    text_draw(-0.05f, -0.2f, 0.3f, label_spacing, "I", 160 / 255.0f, 80 / 255.0f, 0.0f, 1.0f);
    uint8_t rgb[3];
    gl_read_pixel(int(pixel_x(-0.05 + 0.3 * 2 / 21.0)), int(pixel_y(-0.2 + 0.2)), rgb);
    EXPECT_NEAR(rgb[0], 180, 2);
    EXPECT_NEAR(rgb[1], 90, 2);
    EXPECT_EQ(rgb[2], 0);
}

TEST_F(TextTest, MultisamplePassCounts)
{
    struct Case {
        uint32_t samples;
        int passes;
    };
    const Case cases[] = {{0, 1}, {1, 1}, {2, 3}, {8, 9}, {5, 6}};
    for (const Case& test : cases) {
        glClear(GL_COLOR_BUFFER_BIT);
        glColor4f(20 / 255.0f, 0.0f, 0.0f, 1.0f);
        text_draw_multisample(0.3f, label_spacing, "I", -1, test.samples);
        uint8_t rgb[3];
        gl_read_pixel(int(pixel_x(0.3 * 2 / 21.0)), int(pixel_y(0.2)), rgb);
        EXPECT_NEAR(rgb[0], 20 * test.passes, 2) << test.samples << " samples";
    }
}

TEST_F(TextTest, DrawRestoresProjectionViewportAndModelView)
{
    const std::vector<float> expected_projection = window_projection();
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(-2, 2, -2, 2, -2, 2);
    glViewport(10, 20, 300, 200);
    glMatrixMode(GL_MODELVIEW);
    glTranslatef(0.1f, 0.2f, 0.0f);
    const std::vector<float> model_view = matrix(GL_MODELVIEW_MATRIX);
    GLint depth_before = 0;
    glGetIntegerv(GL_MODELVIEW_STACK_DEPTH, &depth_before);

    text_draw(0.0f, 0.0f, 0.1f, label_spacing, "Hi", 0.8f, 0.4f, 0.2f, 1.0f);

    expect_matrix_near(matrix(GL_MODELVIEW_MATRIX), model_view);
    expect_matrix_near(matrix(GL_PROJECTION_MATRIX), expected_projection);
    GLint viewport[4], mode = 0, depth_after = 0, size = 0, type = 0, stride = -1;
    glGetIntegerv(GL_VIEWPORT, viewport);
    EXPECT_EQ(std::vector<GLint>(viewport, viewport + 4), (std::vector<GLint>{0, 0, window_width, window_height}));
    glGetIntegerv(GL_MATRIX_MODE, &mode);
    EXPECT_EQ(mode, GL_MODELVIEW);
    glGetIntegerv(GL_MODELVIEW_STACK_DEPTH, &depth_after);
    EXPECT_EQ(depth_after, depth_before);
    float colour[4];
    glGetFloatv(GL_CURRENT_COLOR, colour);
    EXPECT_FLOAT_EQ(colour[0], 0.1f);
    EXPECT_FLOAT_EQ(colour[1], 0.05f);
    EXPECT_FLOAT_EQ(colour[2], 0.025f);
    EXPECT_FLOAT_EQ(colour[3], 0.125f);
    EXPECT_TRUE(glIsEnabled(GL_VERTEX_ARRAY));
    void* pointer = nullptr;
    glGetPointerv(GL_VERTEX_ARRAY_POINTER, &pointer);
    EXPECT_EQ(pointer, static_cast<const void*>(glyph_vertices));
    glGetIntegerv(GL_VERTEX_ARRAY_SIZE, &size);
    glGetIntegerv(GL_VERTEX_ARRAY_TYPE, &type);
    glGetIntegerv(GL_VERTEX_ARRAY_STRIDE, &stride);
    EXPECT_EQ(size, 2);
    EXPECT_EQ(type, GL_FLOAT);
    EXPECT_EQ(stride, 0);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

TEST_F(TextTest, MissingOrEmptyTextTouchesNothing)
{
    glMatrixMode(GL_PROJECTION);
    glColor4f(0.3f, 0.6f, 0.9f, 0.5f);
    const std::vector<float> projection = matrix(GL_PROJECTION_MATRIX);
    for (const char* text : {static_cast<const char*>(nullptr), ""}) {
        text_draw(0.0f, 0.0f, 0.1f, label_spacing, text, 1.0f, 1.0f, 1.0f, 1.0f);
        GLint mode = 0, depth = 0;
        glGetIntegerv(GL_MATRIX_MODE, &mode);
        EXPECT_EQ(mode, GL_PROJECTION);
        glGetIntegerv(GL_PROJECTION_STACK_DEPTH, &depth);
        EXPECT_EQ(depth, 1);
        float colour[4];
        glGetFloatv(GL_CURRENT_COLOR, colour);
        EXPECT_FLOAT_EQ(colour[0], 0.3f);
        EXPECT_FLOAT_EQ(colour[3], 0.5f);
        EXPECT_FALSE(glIsEnabled(GL_VERTEX_ARRAY));
        expect_matrix_near(matrix(GL_PROJECTION_MATRIX), projection);
    }
    glMatrixMode(GL_MODELVIEW);
    EXPECT_TRUE(ink_box().empty());
}

TEST_F(TextTest, OneSampleLeavesProjectionAloneAndTwoRestoreIt)
{
    const std::vector<float> window = window_projection();
    for (uint32_t samples : {0u, 1u, 2u}) {
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        glOrtho(-3, 3, -3, 3, -3, 3);
        const std::vector<float> ortho = matrix(GL_PROJECTION_MATRIX);
        glViewport(10, 20, 300, 200);
        glMatrixMode(GL_MODELVIEW);
        text_draw_multisample(0.1f, label_spacing, "x", -1, samples);
        GLint viewport[4];
        glGetIntegerv(GL_VIEWPORT, viewport);
        if (samples < 2) {
            expect_matrix_near(matrix(GL_PROJECTION_MATRIX), ortho);
            EXPECT_EQ(viewport[0], 10);
            EXPECT_EQ(viewport[2], 300);
        } else {
            expect_matrix_near(matrix(GL_PROJECTION_MATRIX), window);
            EXPECT_EQ(viewport[0], 0);
            EXPECT_EQ(viewport[2], window_width);
            EXPECT_EQ(viewport[3], window_height);
        }
    }
}

// A label far from the model-view's origin, the pass's model-view turned by a degree: the GL
// composes the label's translate with it in float, a fraction of a pixel from where double
// arithmetic puts the label. Returns whether drawing "H" at x (culling off) lights one of two
// columns from first_column, and in may_reach what the test before drawing said.
bool far_label_lights(double x, int first_column, bool* may_reach)
{
    const float far = 6000.3f, size = 0.05f;
    glClear(GL_COLOR_BUFFER_BIT);
    glLoadIdentity();
    glTranslatef(0.0f, 0.0f, -1.0f);
    glRotatef(1.0f, 0.0f, 0.0f, 1.0f);
    glTranslatef(-far, 0.0f, 0.0f);
    double modelview[16], magnitudes[16];
    glGetDoublev(GL_MODELVIEW_MATRIX, modelview);
    for (int i = 0; i < 16; i++) magnitudes[i] = std::fabs(modelview[i]);
    for (const double offset : {double(far), double(float(x))})
        for (int row = 0; row < 4; row++) {
            modelview[12 + row] += modelview[row] * offset;
            magnitudes[12 + row] += magnitudes[row] * std::fabs(offset);
        }
    *may_reach = text_label_may_reach_pixels(modelview, magnitudes, size, label_spacing, "H");
    glTranslatef(far, 0.0f, 0.0f);
    draw_set_culling(false);
    text_draw(float(x), 0.0f, size, label_spacing, "H", 1.0f, 1.0f, 1.0f, 1.0f);
    draw_set_culling(true);
    const std::vector<uint8_t> pixels = gl_read_pixels(first_column, 0, 2, window_height);
    for (size_t i = 0; i < pixels.size(); i += 4)
        if (pixels[i] != 0) return true;
    return false;
}

TEST_F(TextTest, LabelsLeftOutBeforeDrawingLightNoPixel)
{
    const double pixel = 1.0 / pixels_per_unit;
    // The label comes into the window across its left edge, then across its right edge.
    // far: out of reach of every pass even with the GL's rounding allowed for.
    const struct Edge {
        double far, outside, step;
        int column;
    } edges[] = {{-1.6, -1.2, pixel, 0}, {1.5, 1.1, -pixel, window_width - 2}};
    for (const Edge& edge : edges) {
        bool may_reach = true;
        EXPECT_FALSE(far_label_lights(edge.far, edge.column, &may_reach));
        EXPECT_FALSE(may_reach) << edge.far;
        ASSERT_FALSE(far_label_lights(edge.outside, edge.column, &may_reach));
        // The first whole-pixel step that lights the edge columns, then hundredths of a pixel before it.
        double first_lit = edge.outside;
        while (!far_label_lights(first_lit, edge.column, &may_reach) && std::fabs(first_lit) < 1.5) first_lit += edge.step;
        ASSERT_LT(std::fabs(first_lit), 1.5);
        int lit = 0, dark = 0;
        for (int k = 300; k >= 0; k--) {
            const double x = first_lit - 0.01 * k * edge.step;
            const bool lights = far_label_lights(x, edge.column, &may_reach);
            lit += lights;
            dark += !lights;
            EXPECT_TRUE(may_reach || !lights) << x;
        }
        EXPECT_GT(lit, 0);
        EXPECT_GT(dark, 0);
    }
}

TEST(TextNoise, KnownValuesAndTheEightSamplePositions)
{
    EXPECT_NEAR(text_noise(0), 1376312589.0 / 2147483648.0, 1e-15);
    EXPECT_NEAR(text_noise(1), 0.6131865256, 1e-10);
    EXPECT_NEAR(text_noise(2), 0.3531835596, 1e-10);
    const double table[8][2] = {{0.6409, 0.6132}, {0.3532, 0.6286}, {0.2071, 0.8565}, {0.3444, 0.4385}, {0.9065, 0.5162}, {0.0353, 0.2314}, {0.8723, 0.7257}, {0.5592, 0.1406}};
    for (int i = 0; i < 8; i++) {
        EXPECT_NEAR(text_noise(2 * i), table[i][0], 5e-5) << i;
        EXPECT_NEAR(text_noise(2 * i + 1), table[i][1], 5e-5) << i;
    }
    for (int k : {-1, -123456, 99991, 2147483647}) {
        EXPECT_GE(text_noise(k), 0.0);
        EXPECT_LT(text_noise(k), 1.0);
    }
}

TEST(TextMeasure, LabelWidths)
{
    struct Case {
        const char* text;
        double width;
    };
    const Case cases[] = {{"T", 1.4429}, {"AV", 2.8185}, {"To", 2.4413}, {"i", 0.4905}, {".", 1.3}, {"A B", 4.0908}};
    for (const Case& test : cases) {
        EXPECT_NEAR(text_measure(1.0f, label_spacing, test.text, -1), test.width, 5e-5) << test.text;
        EXPECT_NEAR(text_measure(2.0f, label_spacing, test.text, -1), 2 * test.width, 1e-4) << test.text;
        EXPECT_NEAR(text_measure(-1.0f, label_spacing, test.text, -1), -test.width, 5e-5) << test.text;
    }
}

TEST(TextMeasure, LengthsCountPairs)
{
    EXPECT_EQ(text_measure(1.0f, label_spacing, "", -1), 0.0f);
    EXPECT_EQ(text_measure(1.0f, label_spacing, "AV", 0), 0.0f);
    EXPECT_FLOAT_EQ(text_measure(1.0f, label_spacing, "AV", 1), glyph_advance('A', 'V') + label_spacing);
    const float three = glyph_advance('A', 'B') + glyph_advance('B', 'C') + glyph_advance('C', 'D') + 3 * label_spacing;
    EXPECT_NEAR(text_measure(1.0f, label_spacing, "ABCDE", 3), three, 1e-5);
    // A length past the end stops at the terminator like -1 does.
    EXPECT_EQ(text_measure(1.0f, label_spacing, "ABCDE", 40), text_measure(1.0f, label_spacing, "ABCDE", -1));
}

TEST(TextMeasure, GapGoesBeforeSpacesControlCodesAndTheTerminator)
{
    const float plain = text_measure_run(label_spacing, "a b\tc", 0.0f, 1.0f, -1);
    // Three gaps: before the space, the tab and the terminator.
    EXPECT_NEAR(text_measure_run(label_spacing, "a b\tc", 1.0f, 4.0f, -1), plain + 0.75f, 1e-5);
    EXPECT_NEAR(text_measure_run(label_spacing, "abc", 1.0f, 2.0f, -1), text_measure_run(label_spacing, "abc", 0.0f, 1.0f, -1) + 0.5f, 1e-5);
}

TEST_F(TextTest, InkEndsWhereTheMeasuredWidthSays)
{
    const char* label = "Tov 42%A";
    const float size = 0.1f, x = -0.8f, y = -0.1f;
    text_draw(x, y, size, label_spacing, label, 1.0f, 1.0f, 1.0f, 1.0f);
    const InkBox box = ink_box();
    ASSERT_FALSE(box.empty());
    // The width ends one spacing after the last glyph's ink.
    const double right = x + text_measure(size, label_spacing, label, -1) - label_spacing * size;
    EXPECT_NEAR(box.left, pixel_x(x), 1.5);
    EXPECT_NEAR(box.right + 1, pixel_x(right), 1.5);
    EXPECT_NEAR(box.bottom, pixel_y(y), 1.5);
    EXPECT_NEAR(box.top + 1, pixel_y(y + 4.0 / 3.0 * size), 1.5);
}

TEST_F(TextTest, RunLengthIsASignedByteOfGlyphs)
{
    const float size = 0.1f;
    auto right_edge = [&](int32_t length) {
        glClear(GL_COLOR_BUFFER_BIT);
        glColor4f(1.0f, 1.0f, 1.0f, 1.0f);
        text_draw_run(size, label_spacing, "ABCDE", length);
        return ink_box();
    };
    // Origins of C and of E; C's ink ends before D's origin.
    const double c_origin = text_measure_run(label_spacing, "ABCDE", 0, 1, 2) * size;
    const double d_origin = text_measure_run(label_spacing, "ABCDE", 0, 1, 3) * size;
    const double e_end = (text_measure_run(label_spacing, "ABCDE", 0, 1, -1) - label_spacing) * size;
    const InkBox three = right_edge(3);
    EXPECT_GT(three.right, pixel_x(c_origin));
    EXPECT_LT(three.right, pixel_x(d_origin));
    EXPECT_EQ(right_edge(3 + 256).right, three.right);
    EXPECT_NEAR(right_edge(-1).right + 1, pixel_x(e_end), 1.5);
    EXPECT_NEAR(right_edge(128).right + 1, pixel_x(e_end), 1.5);
    EXPECT_TRUE(right_edge(0).empty());
    EXPECT_TRUE(right_edge(256).empty());
    EXPECT_EQ(right_edge(1).right, right_edge(1 + 512).right);
}

TEST_F(TextTest, SpacesDrawNothingButStillAdvance)
{
    const float size = 0.1f;
    glColor4f(1.0f, 1.0f, 1.0f, 1.0f);
    text_draw_run(size, label_spacing, "   ", -1);
    EXPECT_TRUE(ink_box().empty());
    text_draw_run(size, label_spacing, "  H", -1);
    // Each space after a space moves by 1 - 0 + spacing; the H starts at x = 0 of its own.
    EXPECT_NEAR(ink_box().left, pixel_x(2 * (1.0 + label_spacing) * size), 1.0);
}

TEST_F(TextTest, CodePageBytesDrawTheirOwnGlyphs)
{
    const float size = 0.2f;
    glColor4f(1.0f, 1.0f, 1.0f, 1.0f);
    text_draw_run(size, label_spacing, "A", -1);
    const InkBox plain = ink_box();
    glClear(GL_COLOR_BUFFER_BIT);
    text_draw_run(size, label_spacing, "\x8e", -1);
    const InkBox umlaut = ink_box();
    glClear(GL_COLOR_BUFFER_BIT);
    text_draw_run(size, label_spacing, "\xff\xff", -1);
    EXPECT_TRUE(ink_box().empty());
    EXPECT_EQ(umlaut.bottom, plain.bottom);
    EXPECT_GT(umlaut.top, plain.top + 0.2 * size * pixels_per_unit);
}

TEST_F(TextTest, LookupTableHoldsEachGlyphsListAfterADraw)
{
    text_draw(0.0f, 0.0f, 0.1f, label_spacing, "x", 1.0f, 1.0f, 1.0f, 1.0f);
    ASSERT_TRUE(text_glyphs_ready());
    uint32_t offset = 0;
    for (int code = 0; code < 256; code++) {
        if (code >= 33 && code <= 254) {
            EXPECT_EQ(text_glyph_list(uint8_t(code)), glyph_indices + offset) << code;
        } else {
            EXPECT_EQ(text_glyph_list(uint8_t(code)), nullptr) << code;
        }
        offset += glyph_index_counts[code];
    }
    const uint32_t* before = text_glyph_list('A');
    text_glyphs_init();
    EXPECT_EQ(text_glyph_list('A'), before);
}

// Run alone in a fresh process by FirstUseInAFreshProcess below: the state before any draw.
TEST(TextFreshProcess, DISABLED_FirstUse)
{
    const TextView* view = text_get_view();
    EXPECT_EQ(view->width, 1500u);
    EXPECT_EQ(view->height, 1100u);
    EXPECT_EQ(view->field_scale, 1.0);
    EXPECT_EQ(view->near_plane, 0.0005);
    EXPECT_EQ(view->far_plane, 10.0);
    EXPECT_FALSE(text_glyphs_ready());
    for (int code = 0; code < 256; code++) EXPECT_EQ(text_glyph_list(uint8_t(code)), nullptr);
    const float before = text_measure(1.0f, label_spacing, "Savrel", -1);
    gl_open_window_once();
    text_init();
    EXPECT_EQ(text_get_view()->width, uint32_t(window_width));
    text_draw(0.0f, 0.0f, 0.1f, label_spacing, "Savrel", 1.0f, 1.0f, 1.0f, 1.0f);
    EXPECT_TRUE(text_glyphs_ready());
    EXPECT_NE(text_glyph_list('S'), nullptr);
    EXPECT_EQ(text_measure(1.0f, label_spacing, "Savrel", -1), before);
}

TEST(TextFreshProcess, FirstUseInAFreshProcess)
{
    std::string output;
    const int status = run_program("/proc/self/exe",
                                   {"--gtest_filter=TextFreshProcess.DISABLED_FirstUse", "--gtest_also_run_disabled_tests"},
                                   &output);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

}  // namespace
