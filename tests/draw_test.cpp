#include "draw/draw.h"

#include <GL/gl.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

#include "tests/support/gl_support.h"

namespace {

// The switches of the helpers' contract, as the GL context reports them.
struct DrawState {
    bool blend, vertex_array, colour_array, normal_array, texcoord_array, texture_2d;
    float colour[4];
};

DrawState read_state()
{
    DrawState state;
    state.blend = glIsEnabled(GL_BLEND);
    state.vertex_array = glIsEnabled(GL_VERTEX_ARRAY);
    state.colour_array = glIsEnabled(GL_COLOR_ARRAY);
    state.normal_array = glIsEnabled(GL_NORMAL_ARRAY);
    state.texcoord_array = glIsEnabled(GL_TEXTURE_COORD_ARRAY);
    state.texture_2d = glIsEnabled(GL_TEXTURE_2D);
    glGetFloatv(GL_CURRENT_COLOR, state.colour);
    return state;
}

// Every switch on, or every switch off, with a colour no helper call below passes.
void set_all(bool on)
{
    const GLenum arrays[] = {GL_VERTEX_ARRAY, GL_COLOR_ARRAY, GL_NORMAL_ARRAY, GL_TEXTURE_COORD_ARRAY};
    for (GLenum array : arrays) on ? glEnableClientState(array) : glDisableClientState(array);
    on ? glEnable(GL_BLEND) : glDisable(GL_BLEND);
    on ? glEnable(GL_TEXTURE_2D) : glDisable(GL_TEXTURE_2D);
    glColor4f(0.25f, 0.5f, 0.75f, 1.0f);
}

void expect_state(const DrawState& actual, const DrawState& expected)
{
    EXPECT_EQ(actual.blend, expected.blend);
    EXPECT_EQ(actual.vertex_array, expected.vertex_array);
    EXPECT_EQ(actual.colour_array, expected.colour_array);
    EXPECT_EQ(actual.normal_array, expected.normal_array);
    EXPECT_EQ(actual.texcoord_array, expected.texcoord_array);
    EXPECT_EQ(actual.texture_2d, expected.texture_2d);
    for (int i = 0; i < 4; i++) EXPECT_FLOAT_EQ(actual.colour[i], expected.colour[i]) << "colour " << i;
}

const void* vertex_pointer()
{
    void* pointer = nullptr;
    glGetPointerv(GL_VERTEX_ARRAY_POINTER, &pointer);
    return pointer;
}

class DrawTest : public GlTest {};

TEST_F(DrawTest, SetBlendEnablesBlendingAndChangesNothingElse)
{
    for (bool on : {false, true}) {
        set_all(on);
        DrawState expected = read_state();
        expected.blend = true;
        draw_set_blend(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
        expect_state(read_state(), expected);
        GLint source = 0, destination = 0;
        glGetIntegerv(GL_BLEND_SRC, &source);
        glGetIntegerv(GL_BLEND_DST, &destination);
        EXPECT_EQ(source, GL_SRC_ALPHA);
        EXPECT_EQ(destination, GL_ONE_MINUS_SRC_ALPHA);
    }
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

TEST_F(DrawTest, ArrayDrawsLeaveOnlyTheVertexArrayOn)
{
    const float triangle[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    const float points[8] = {0, 0, 1, 1, 0, 1, 1, 0};
    struct Case {
        const char* what;
        std::function<void()> draw;
        const float* pointer;
        GLint components;
    } cases[] = {
        {"empty array", [&] { draw_array(GL_LINES, points, 0, 4, 1, 0, 0, 0.5f); }, points, 4},
        {"triangle", [&] { draw_array(GL_TRIANGLES, triangle, 3, 3, 1, 0, 0, 0.5f); }, triangle, 3},
        {"two-component points", [&] { draw_array(GL_POINTS, points, 4, 2, 1, 0, 0, 0.5f); }, points, 2},
        {"zero-length line", [] { draw_line(0.5f, 0.5f, 0, 0.5f, 0.5f, 0, 1, 0, 0, 0.5f); }, nullptr, 3},
    };
    for (const Case& c : cases) {
        for (bool on : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (on ? ", all on before" : ", all off before"));
            set_all(on);
            DrawState expected = {on, true, false, false, false, false, {1, 0, 0, 0.5f}};
            c.draw();
            expect_state(read_state(), expected);
            if (c.pointer) {
                EXPECT_EQ(vertex_pointer(), c.pointer);
            }
            GLint size = 0, type = 0, stride = -1;
            glGetIntegerv(GL_VERTEX_ARRAY_SIZE, &size);
            glGetIntegerv(GL_VERTEX_ARRAY_TYPE, &type);
            glGetIntegerv(GL_VERTEX_ARRAY_STRIDE, &stride);
            EXPECT_EQ(size, c.components);
            EXPECT_EQ(type, GL_FLOAT);
            EXPECT_EQ(stride, 0);
        }
    }
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

TEST_F(DrawTest, SetColorArrayEnablesOnlyTheColourArray)
{
    const float colours[12] = {};
    for (bool on : {false, true}) {
        set_all(on);
        DrawState expected = read_state();
        expected.colour_array = true;
        draw_set_color_array(colours, 4, 3);
        expect_state(read_state(), expected);
        void* pointer = nullptr;
        glGetPointerv(GL_COLOR_ARRAY_POINTER, &pointer);
        EXPECT_EQ(pointer, colours);
        GLint size = 0;
        glGetIntegerv(GL_COLOR_ARRAY_SIZE, &size);
        EXPECT_EQ(size, 3);
    }
}

// Window coordinates of pixel centres, mapped through identity matrices.
float ndc_x(int pixel)
{
    return (pixel + 0.5f) / 360.0f - 1.0f;
}
float ndc_y(int pixel)
{
    return (pixel + 0.5f) / 283.0f - 1.0f;
}

void quad(float* vertices, int left, int bottom, int right, int top)
{
    const float corners[12] = {ndc_x(left), ndc_y(bottom), 0, ndc_x(right), ndc_y(bottom), 0,
                               ndc_x(right), ndc_y(top), 0, ndc_x(left), ndc_y(top), 0};
    for (int i = 0; i < 12; i++) vertices[i] = corners[i];
}

TEST_F(DrawTest, LineAndColourArrayQuadReachThePixels)
{
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glMatrixMode(GL_MODELVIEW);
    draw_line(ndc_x(10), ndc_y(100), 0, ndc_x(700), ndc_y(100), 0, 1, 0.5f, 0, 1);
    draw_line(ndc_x(650), ndc_y(20), 0, ndc_x(650), ndc_y(500), 0, 0, 0, 1, 1);
    // Blending with uniform alpha 0: only the three-component colours' alpha 1 shows the quad.
    draw_set_blend(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    float left_quad[12], right_quad[12];
    quad(left_quad, 100, 300, 300, 400);
    quad(right_quad, 400, 300, 600, 400);
    const float colours[12] = {0, 1, 0, 0, 0, 1, 0, 0, 1, 0, 1, 0};
    draw_set_color_array(colours, 4, 3);
    draw_array(GL_QUADS, left_quad, 4, 3, 1, 0, 0, 0);
    // No new colour array: the next quad takes its uniform colour.
    draw_array(GL_QUADS, right_quad, 4, 3, 1, 0, 0, 1);
    struct Probe {
        int x, y;
        int red, green, blue;
    } probes[] = {
        {360, 100, 255, 128, 0},
        {360, 102, 0, 0, 0},
        {5, 100, 0, 0, 0},
        {102, 350, 0, 252, 3},
        {298, 350, 0, 3, 252},
        {200, 350, 0, 128, 128},
        {500, 350, 255, 0, 0},
        {350, 350, 0, 0, 0},
        {650, 450, 0, 0, 255},
        {652, 450, 0, 0, 0},
    };
    for (const Probe& probe : probes) {
        uint8_t rgb[3];
        gl_read_pixel(probe.x, probe.y, rgb);
        EXPECT_NEAR(rgb[0], probe.red, 2) << probe.x << "," << probe.y;
        EXPECT_NEAR(rgb[1], probe.green, 2) << probe.x << "," << probe.y;
        EXPECT_NEAR(rgb[2], probe.blue, 2) << probe.x << "," << probe.y;
    }
}

}  // namespace
