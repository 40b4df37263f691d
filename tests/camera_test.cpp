#include "camera/camera.h"

#include <GL/gl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "tests/support/gl_support.h"

namespace {

// Every field away from its start value, so a test sees exactly what changed.
ViewCamera scrambled_camera()
{
    ViewCamera camera = {{}, 12, 34, 56, 78, {1, 2, 3}, {4, 5, 6}, 0.5, 7, 8, 0.25f, -0.125f};
    for (int i = 0; i < 16; i++) camera.modelview[i] = i + 0.5;
    return camera;
}

// The start values; the matrix and the last pointer position stay.
ViewCamera reset_values(ViewCamera camera)
{
    ViewCamera start = {{}, 0, 0, 0, 0, {}, {}, 0.8, 10, 10, camera.last_pointer_x, camera.last_pointer_y};
    std::memcpy(start.modelview, camera.modelview, sizeof start.modelview);
    return start;
}

bool same_camera(const ViewCamera& a, const ViewCamera& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// A frame with the right button held since the previous frame.
InputState right_drag(float x, float y, bool left = false, bool middle = false)
{
    InputState input{};
    input.pass = BRELM_PASS_INPUT;
    input.button[1] = input.last_button[1] = 1;
    input.button[0] = left;
    input.button[2] = middle;
    input.pointer_x = x;
    input.pointer_y = y;
    return input;
}

TEST(CameraReset, ResetAndGrabStartChangeOnlyTheirFields)
{
    ViewCamera camera = scrambled_camera();
    view_reset(&camera);
    EXPECT_TRUE(same_camera(camera, reset_values(scrambled_camera())));
    *view_camera() = scrambled_camera();
    view_reset(nullptr);
    EXPECT_TRUE(same_camera(*view_camera(), reset_values(scrambled_camera())));
    camera = scrambled_camera();
    ViewCamera expected = scrambled_camera();
    expected.last_pointer_x = -0.75f;
    expected.last_pointer_y = 0.5f;
    expected.smoothing = 0.8;
    InputState input = right_drag(-0.75f, 0.5f);
    view_grab_start(&camera, &input);
    EXPECT_TRUE(same_camera(camera, expected));
}

TEST(CameraUpdate, ActsOnlyInTheInputPassFromTheSecondRightFrame)
{
    for (int buttons = 0; buttons < 4; buttons++) {
        SCOPED_TRACE(buttons);
        InputState input = right_drag(0.5f, -0.25f, buttons & 1, buttons & 2);
        input.delta_x = 0.3f;
        for (int pass : {BRELM_PASS_DRAW, BRELM_PASS_IDLE}) {
            input.pass = pass;
            ViewCamera camera = scrambled_camera();
            view_update(&camera, &input);
            EXPECT_TRUE(same_camera(camera, scrambled_camera())) << "pass " << pass;
        }
        input.pass = BRELM_PASS_INPUT;
        input.last_button[1] = 0;
        ViewCamera camera = scrambled_camera(), expected = scrambled_camera();
        view_update(&camera, &input);
        expected.last_pointer_x = 0.5f;
        expected.last_pointer_y = -0.25f;
        EXPECT_TRUE(same_camera(camera, expected));
    }
}

TEST(CameraUpdate, RotateClampsPitchAndWrapsYawWithItsTarget)
{
    struct Row {
        double pitch_target, yaw, yaw_target;
        float last_x, last_y, x, y;
        double out_pitch_target, out_yaw, out_yaw_target;
    } rows[] = {
        {0, 0, 0, 0, 0.30f, 0, 0.35f, -5, 0, 0},
        {0, 0, 0, -1, 0, 1, 0, 0, 0, 200},
        {85, 0, 0, 0, 0, 0, -0.2f, 90, 0, 0},
        {-85, 0, 0, 0, 0, 0, 0.2f, -90, 0, 0},
        {89.5, 0, 0, 0, 0, 0, -0.01f, 90, 0, 0},
        {-89.5, 0, 0, 0, 0, 0, 0.01f, -90, 0, 0},
        {0, 179, 185, 0, 0, 0, 0, 0, 179, 185},
        {0, 180.2, 185, 0, 0, 0, 0, 0, -179.8, -175},
        {0, 181, 175, 0, 0, 0.1f, 0, 0, -179, -175},
        {0, 181, 179, 0, 0, 0, 0, 0, 181, 179},
        {0, -180.5, -190, 0, 0, 0, 0, 0, 179.5, 170},
        {0, -179, -185, 0, 0, 0, 0, 0, -179, -185},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.yaw);
        ViewCamera camera = reset_values(scrambled_camera());
        camera.pitch_target = row.pitch_target;
        camera.yaw = row.yaw;
        camera.yaw_target = row.yaw_target;
        camera.last_pointer_x = row.last_x;
        camera.last_pointer_y = row.last_y;
        InputState input = right_drag(row.x, row.y);
        view_update(&camera, &input);
        EXPECT_NEAR(camera.pitch_target, row.out_pitch_target, 1e-5);
        EXPECT_NEAR(camera.yaw, row.out_yaw, 1e-9);
        EXPECT_NEAR(camera.yaw_target, row.out_yaw_target, 1e-5);
        EXPECT_EQ(camera.pitch, 0.0);
        EXPECT_EQ(camera.last_pointer_x, row.x);
        EXPECT_EQ(camera.last_pointer_y, row.y);
    }
}

TEST(CameraUpdate, ZoomSetsOnlyTheClampedDistanceTarget)
{
    struct Row {
        double distance;
        float delta_x, delta_y;
        double target;
        bool clamped;
    } rows[] = {
        {10, 0.05f, 0, 14, false},
        {10, 0, 0.05f, 6, false},
        {10, 0, 0, 10, false},
        {10, -0.2f, 0, 0.01f, true},
        {20000, 0.1f, 0, 36000, false},
        {60000, 0.1f, 0, 90000, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.distance + row.delta_x);
        ViewCamera camera = scrambled_camera(), expected = scrambled_camera();
        camera.distance = expected.distance = row.distance;
        InputState input = right_drag(0.5f, 0.5f, true);
        input.delta_x = row.delta_x;
        input.delta_y = row.delta_y;
        view_update(&camera, &input);
        // The bounds hold exactly; the lower one is the single-precision 0.01.
        if (row.clamped) {
            EXPECT_EQ(camera.distance_target, row.target);
        } else {
            EXPECT_NEAR(camera.distance_target, row.target, row.target * 1e-6);
        }
        expected.distance_target = camera.distance_target;
        expected.last_pointer_x = expected.last_pointer_y = 0.5f;
        EXPECT_TRUE(same_camera(camera, expected));
    }
}

TEST(CameraUpdate, PanMovesCentreAlongTheCapturedRowsAtOnce)
{
    // Row 0 of the matrix is the eye's right direction, row 1 its up direction.
    struct Row {
        double right[3], up[3];
        double distance;
        float last_x, last_y, x, y;
        double moved[3];
    } rows[] = {
        {{1, 0, 0}, {0, 1, 0}, 10, 0.1f, 0, 0, 0, {2, 0, 0}},
        {{1, 0, 0}, {0, 1, 0}, 5, 0, -0.1f, 0, 0, {0, -1, 0}},
        {{0, 0, 1}, {0, 1, 0}, 10, 0.1f, 0, 0, 0, {0, 0, 2}},
        {{0.6, 0, 0.8}, {0, 0.8, 0.6}, 10, 0.5f, 0.5f, 0.25f, 0.25f, {3, 4, 7}},
    };
    for (const Row& row : rows) {
        ViewCamera camera = scrambled_camera();
        camera.distance = row.distance;
        for (int axis = 0; axis < 3; axis++) {
            camera.modelview[4 * axis] = row.right[axis];
            camera.modelview[4 * axis + 1] = row.up[axis];
        }
        camera.last_pointer_x = row.last_x;
        camera.last_pointer_y = row.last_y;
        const ViewCamera before = camera;
        InputState input = right_drag(row.x, row.y, false, true);
        view_update(&camera, &input);
        for (int axis = 0; axis < 3; axis++) {
            EXPECT_NEAR(camera.center[axis], before.center[axis] + row.moved[axis], 1e-6) << axis;
            EXPECT_EQ(camera.center_target[axis], camera.center[axis]);
        }
        EXPECT_EQ(camera.distance_target, before.distance_target);
        EXPECT_EQ(camera.yaw_target, before.yaw_target);
    }
}

TEST(CameraUpdate, AllThreeButtonsResetInEveryFrame)
{
    ViewCamera camera = scrambled_camera();
    InputState input = right_drag(0.1f, 0.2f, true, true);
    for (int frame = 0; frame < 2; frame++) {
        view_update(&camera, &input);
        ViewCamera expected = reset_values(scrambled_camera());
        expected.last_pointer_x = 0.1f;
        expected.last_pointer_y = 0.2f;
        EXPECT_TRUE(same_camera(camera, expected)) << frame;
        camera.pitch_target = camera.yaw = camera.center[1] = 30;
    }
}

// Column-major 4x4 products, written out independently of GL.
struct Matrix {
    double m[16];
};

Matrix multiply(const Matrix& a, const Matrix& b)
{
    Matrix product{};
    for (int column = 0; column < 4; column++)
        for (int row = 0; row < 4; row++)
            for (int k = 0; k < 4; k++) product.m[4 * column + row] += a.m[4 * k + row] * b.m[4 * column + k];
    return product;
}

Matrix translation(double x, double y, double z)
{
    return {{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, x, y, z, 1}};
}

Matrix rotation_x(double degrees)
{
    double c = std::cos(degrees * std::numbers::pi / 180), s = std::sin(degrees * std::numbers::pi / 180);
    return {{1, 0, 0, 0, 0, c, s, 0, 0, -s, c, 0, 0, 0, 0, 1}};
}

Matrix rotation_y(double degrees)
{
    double c = std::cos(degrees * std::numbers::pi / 180), s = std::sin(degrees * std::numbers::pi / 180);
    return {{c, 0, -s, 0, 0, 1, 0, 0, s, 0, c, 0, 0, 0, 0, 1}};
}

// GL keeps its matrices in single precision.
void expect_matrix(const double* actual, const Matrix& expected)
{
    for (int i = 0; i < 16; i++) EXPECT_NEAR(actual[i], expected.m[i], 1e-5) << "element " << i;
}

class CameraGlTest : public GlTest {};

TEST_F(CameraGlTest, ApplyMultipliesDistancePitchYawCentreOntoTheCurrentMatrix)
{
    // From the start values the world origin lies 10 units straight ahead.
    view_reset(nullptr);
    view_apply(nullptr);
    double gl_matrix[16];
    glGetDoublev(GL_MODELVIEW_MATRIX, gl_matrix);
    expect_matrix(gl_matrix, translation(0, 0, -10));
    expect_matrix(view_camera()->modelview, translation(0, 0, -10));
    ViewCamera camera = {{}, 30, 40, 30, 40, {1, 2, 3}, {1, 2, 3}, 0.8, 5, 5, 0, 0};
    glLoadIdentity();
    glScaled(2, 3, 4);
    view_apply(&camera);
    Matrix scale = {{2, 0, 0, 0, 0, 3, 0, 0, 0, 0, 4, 0, 0, 0, 0, 1}};
    Matrix view = multiply(multiply(translation(0, 0, -5), rotation_x(30)),
                           multiply(rotation_y(40), translation(-1, -2, -3)));
    glGetDoublev(GL_MODELVIEW_MATRIX, gl_matrix);
    expect_matrix(gl_matrix, multiply(scale, view));
    expect_matrix(camera.modelview, multiply(scale, view));
}

TEST_F(CameraGlTest, EachApplyClosesAFifthOfTheGap)
{
    ViewCamera camera = {{}, 0, 0, 50, -100, {5, 0, -4}, {}, 0.8, 10, 20, 0, 0};
    for (int frame = 1; frame <= 10; frame++) {
        glLoadIdentity();
        view_apply(&camera);
        double left = std::pow(0.8, frame);
        EXPECT_NEAR(camera.center[0], 5 - 5 * left, 1e-9);
        EXPECT_NEAR(camera.center[2], -4 + 4 * left, 1e-9);
        EXPECT_NEAR(camera.pitch, 50 - 50 * left, 1e-9);
        EXPECT_NEAR(camera.yaw, -100 + 100 * left, 1e-9);
        EXPECT_NEAR(camera.distance, 20 - 10 * left, 1e-9);
    }
    EXPECT_EQ(camera.distance_target, 20.0);
}

TEST_F(CameraGlTest, PanAfterApplyFollowsTheTurnedView)
{
    ViewCamera camera = {{}, 0, 90, 0, 90, {}, {}, 0.8, 10, 10, 0, 0};
    view_apply(&camera);
    camera.last_pointer_x = 0.1f;
    InputState input = right_drag(0, 0, false, true);
    view_update(&camera, &input);
    // Turned 90 degrees about y, the eye's right is world +z.
    EXPECT_NEAR(camera.center[0], 0, 1e-6);
    EXPECT_NEAR(camera.center[1], 0, 1e-6);
    EXPECT_NEAR(camera.center[2], 2, 1e-6);
}

TEST_F(CameraGlTest, GlideSettlesWhereAnotherStepChangesNothing)
{
    // From far off, onto 0 (which a plain glide would only creep towards), and onto large values.
    const ViewCamera cases[] = {
        {{}, 0, 0, 90, -170, {0, 0, 0}, {1e4, -3, 0.5}, 0.8, 10, 0.01, 0, 0},
        {{}, 89.9, 720, 0, 0, {5e4, -7e3, 1e-3}, {0, 0, 0}, 0.8, 9e4, 1, 0, 0},
        {{}, -45, 33.3, -45, 33.3, {0.1, 0.2, 0.3}, {0.1, 0.2, 0.3}, 0.8, 10, 10, 0, 0},
    };
    for (const ViewCamera& start : cases) {
        ViewCamera camera = start;
        int steps = 0;
        for (; steps < 1000; steps++) {
            bool settled = view_settled(&camera);
            ViewCamera before = camera;
            glLoadIdentity();
            view_apply(&camera);
            bool moved = camera.pitch != before.pitch || camera.yaw != before.yaw ||
                         camera.distance != before.distance || camera.center[0] != before.center[0] ||
                         camera.center[1] != before.center[1] || camera.center[2] != before.center[2];
            ASSERT_EQ(settled, !moved) << "step " << steps;
            if (settled) break;
        }
        // A fifth of the gap a step takes it from 1e5 to below 1e-9 in about 150 steps.
        EXPECT_LT(steps, 200);
        for (int axis = 0; axis < 3; axis++) EXPECT_EQ(camera.center[axis], camera.center_target[axis]);
        EXPECT_EQ(camera.pitch, camera.pitch_target);
        EXPECT_EQ(camera.yaw, camera.yaw_target);
        EXPECT_EQ(camera.distance, camera.distance_target);
    }
}

// Window coordinates, -1 to 1 across, of a point under the current GL matrices; w is the depth.
struct Projected {
    double x, y, w;
};

Projected project(const double* modelview, const double* projection, const double point[3])
{
    double clip[4];
    gl_clip_point(modelview, projection, point, clip);
    return {clip[0] / clip[3], clip[1] / clip[3], clip[3]};
}

TEST_F(CameraGlTest, FramedPointsLieInViewAndFillTheTighterDirection)
{
    // A box with a plane hanging below its back edge, like the graph and its pies.
    double points[10][3];
    for (int corner = 0; corner < 8; corner++) {
        points[corner][0] = corner & 1 ? 1.0 : -1.0;
        points[corner][1] = corner & 2 ? 1.0 : 0.0;
        points[corner][2] = corner & 4 ? 1.0 : -1.0;
    }
    const double hanging[2][3] = {{-1, -1.5, -1}, {1, -1.5, -1}};
    std::memcpy(points[8], hanging, sizeof hanging);
    struct Case {
        double pitch, yaw;
        uint32_t width, height;
    } cases[] = {{0, 0, 720, 566}, {30, 45, 720, 566}, {-60, 200, 720, 566}, {90, 0, 720, 566}, {10, -30, 400, 900}, {-90, 90, 1280, 300}, {45, 135, 300, 300}};
    for (const Case& c : cases) {
        brelm_reshape(c.width, c.height);
        double projection[16];
        glGetDoublev(GL_PROJECTION_MATRIX, projection);
        ViewCamera camera = {{}, 7, 7, c.pitch, c.yaw, {3, 3, 3}, {3, 3, 3}, 0.8, 50, 50, 0, 0};
        view_frame_points(&camera, points, 10, 1.0 / projection[0], 1.0 / projection[5], 0.9);
        EXPECT_EQ(camera.pitch_target, c.pitch);
        EXPECT_EQ(camera.yaw_target, c.yaw);
        // Glided to rest: the current values are the targets.
        camera.pitch = camera.pitch_target;
        camera.yaw = camera.yaw_target;
        camera.distance = camera.distance_target;
        std::memcpy(camera.center, camera.center_target, sizeof camera.center);
        glLoadIdentity();
        view_apply(&camera);
        double low[2] = {HUGE_VAL, HUGE_VAL}, high[2] = {-HUGE_VAL, -HUGE_VAL};
        for (const double* point : points) {
            Projected at = project(camera.modelview, projection, point);
            EXPECT_GT(at.w, 0.0);
            low[0] = std::min(low[0], at.x), high[0] = std::max(high[0], at.x);
            low[1] = std::min(low[1], at.y), high[1] = std::max(high[1], at.y);
        }
        double span = std::max(high[0] - low[0], high[1] - low[1]) / 2;
        // GL keeps the model-view matrix in single precision.
        EXPECT_NEAR(span, 0.9, 1e-5) << c.pitch << " " << c.yaw << " " << c.width << "x" << c.height;
        for (int axis = 0; axis < 2; axis++) {
            EXPECT_GE(low[axis], -0.9 - 1e-5) << c.pitch << " " << c.yaw;
            EXPECT_LE(high[axis], 0.9 + 1e-5) << c.pitch << " " << c.yaw;
        }
    }
    brelm_reshape(720, 566);
}

}  // namespace
