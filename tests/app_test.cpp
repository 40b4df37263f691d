// The viewer's context function and action passes against a real GL context.
#include <GL/gl.h>

#include <algorithm>
#include <vector>

#include "camera/camera.h"
#include "draw/text.h"
#include "profile/profile.h"
#include "tests/support/gl_support.h"
#include "viewer/viewer.h"

namespace {

class App : public GlTest {
protected:
    void SetUp() override
    {
        GlTest::SetUp();
        profile_load_memory(nullptr, 0);
        view_reset(nullptr);
    }
};

TEST_F(App, ContextFunctionRestoresClearDepthAndBlendState)
{
    glMatrixMode(GL_PROJECTION);
    viewer_context_created();
    GLint mode = 0, depth_function = 0, source = 0, destination = 0;
    glGetIntegerv(GL_MATRIX_MODE, &mode);
    glGetIntegerv(GL_DEPTH_FUNC, &depth_function);
    glGetIntegerv(GL_BLEND_SRC, &source);
    glGetIntegerv(GL_BLEND_DST, &destination);
    EXPECT_EQ(mode, GL_MODELVIEW);
    EXPECT_TRUE(glIsEnabled(GL_DEPTH_TEST));
    EXPECT_EQ(depth_function, GL_LEQUAL);
    EXPECT_TRUE(glIsEnabled(GL_BLEND));
    EXPECT_EQ(source, GL_SRC_ALPHA);
    EXPECT_EQ(destination, GL_ONE_MINUS_SRC_ALPHA);
    float clear[4];
    glGetFloatv(GL_COLOR_CLEAR_VALUE, clear);
    EXPECT_FLOAT_EQ(clear[0], 0.1f);
    EXPECT_FLOAT_EQ(clear[3], 0.1f);
    // The text cache now mirrors the window.
    EXPECT_EQ(text_get_view()->width, 720u);
    EXPECT_EQ(text_get_view()->near_plane, 0.005);
}

// The brightest red and green around the window's centre, where the axes cross.
void axis_colours_at_centre(int* red, int* green)
{
    std::vector<uint8_t> pixels = gl_read_pixels(357, 280, 6, 6);
    *red = *green = 0;
    for (size_t i = 0; i < pixels.size(); i += 4) {
        *red = std::max(*red, int(pixels[i]));
        *green = std::max(*green, int(pixels[i + 1]));
    }
}

TEST_F(App, DrawPassShowsTheAxesUntilBlendingIsOn)
{
    InputState input{};
    input.pass = BRELM_PASS_DRAW;
    viewer_action(&input, nullptr);
    uint8_t corner[3];
    gl_read_pixel(5, 5, corner);
    EXPECT_EQ(corner[0], 26);  // the clear colour
    int red, green;
    axis_colours_at_centre(&red, &green);
    EXPECT_EQ(red, 255);  // the x axis runs across the centre
    EXPECT_EQ(green, 255);  // the y axis runs up through it
    // Alpha 0 under source-alpha blending leaves only depth behind.
    viewer_context_created();
    viewer_action(&input, nullptr);
    axis_colours_at_centre(&red, &green);
    EXPECT_EQ(red, 26);
    EXPECT_EQ(green, 26);
}

TEST_F(App, IdlePassChangesNothingAndInputPassStepsTheWindow)
{
    FrameWindow* window = viewer_frame_window();
    window->scroll_velocity = 3.0f;
    window->scroll_position = 10.0f;
    InputState input{};
    input.pass = BRELM_PASS_IDLE;
    viewer_action(&input, nullptr);
    EXPECT_EQ(window->scroll_position, 10.0f);
    input.pass = BRELM_PASS_INPUT;
    viewer_action(&input, nullptr);
    EXPECT_EQ(window->scroll_position, 13.0f);
    window->scroll_velocity = 0.0f;
}

}  // namespace
