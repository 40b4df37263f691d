// Skipping draws that reach no pixel centre must leave every pixel as drawing them would.
#include <GL/gl.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "draw/draw.h"
#include "draw/text.h"
#include "platform/platform.h"
#include "profile/profile.h"
#include "tests/support/gl_support.h"
#include "tests/support/recording_support.h"
#include "viewer/graph_culling.h"
#include "viewer/viewer.h"

namespace {

const int kSweepViews = 300;

struct View {
    const char* name;
    double distance, pitch, yaw;
    double center[3];
};

// What a draw pass shows: the window size, the camera and the frame window.
struct Scene {
    uint32_t width, height;
    View view;
    uint32_t start, count;
};

const uint32_t kWindowWidth = 720, kWindowHeight = 566;

// The model-view of the view, as the viewer's camera sets it.
void apply_camera(const View& view)
{
    ViewCamera camera{};
    view_reset(&camera);
    camera.distance = camera.distance_target = view.distance;
    camera.pitch = camera.pitch_target = view.pitch;
    camera.yaw = camera.yaw_target = view.yaw;
    for (int axis = 0; axis < 3; axis++) camera.center[axis] = camera.center_target[axis] = view.center[axis];
    view_apply(&camera);
}

// A draw pass as the viewer makes it from its second frame on, in a window of the scene's size
// (one larger than the test window is drawn whole and read where the window holds it).
std::vector<uint8_t> render(const Scene& scene, bool culling)
{
    brelm_reshape(scene.width, scene.height);
    text_refresh_view();
    draw_set_culling(culling);
    draw_set_blend(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glClearColor(0.1f, 0.1f, 0.1f, 0.1f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LEQUAL);
    glPushMatrix();
    apply_camera(scene.view);
    draw_line(1, 0, 0, -1, 0, 0, 1, 0, 0, 0);
    draw_line(0, 1, 0, 0, -1, 0, 0, 1, 0, 0);
    draw_line(0, 0, 1, 0, 0, -1, 0, 0, 1, 0);
    profile_draw_graph(scene.start, scene.count);
    glPopMatrix();
    draw_set_culling(true);
    return gl_read_pixels(0, 0, int(std::min(scene.width, kWindowWidth)), int(std::min(scene.height, kWindowHeight)));
}

std::vector<uint8_t> render(const View& view, uint32_t count, bool culling)
{
    return render(Scene{kWindowWidth, kWindowHeight, view, 0, count}, culling);
}

// Pixels whose colour differs; first receives the first of them (x + width * y).
size_t differing_pixels(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, size_t* first)
{
    size_t differing = 0;
    for (size_t i = 0; i < a.size(); i += 4) {
        if (a[i] == b[i] && a[i + 1] == b[i + 1] && a[i + 2] == b[i + 2]) continue;
        if (differing++ == 0) *first = i / 4;
    }
    return differing;
}

// The scene culled against the scene drawn plainly: how many pixels differ, the first of them,
// and how many pixels of the plain picture are not background.
struct PlainComparison {
    size_t differing, first, lit;
};

PlainComparison compare_with_plain(const Scene& scene)
{
    std::vector<uint8_t> culled = render(scene, true);
    std::vector<uint8_t> plain = render(scene, false);
    PlainComparison result{0, 0, 0};
    result.differing = differing_pixels(plain, culled, &result.first);
    for (size_t i = 0; i < plain.size(); i += 4)
        result.lit += plain[i] != 26 || plain[i + 1] != 26 || plain[i + 2] != 26;
    return result;
}

class Culling : public GlTest {
protected:
    void SetUp() override
    {
        GlTest::SetUp();
        text_init();
    }
};

TEST_F(Culling, SkippedDrawsChangeNoPixelFromAnyView)
{
    const View views[] = {
        {"start", 10.0, 0.0, 0.0, {0, 0, 0}},
        {"turned and zoomed", 2.5, 25.0, 35.0, {0, 0.3, 0}},
        {"labels close up", 0.6, 0.0, 0.0, {0.2, 0.05, 1}},
        {"pies from behind", 1.5, -10.0, 180.0, {0, -0.1, -1}},
        {"from above", 3.0, 80.0, 0.0, {0, 0, 0}},
        // The first group's pie and its labels fill the window, read from behind.
        {"first pie close up", 0.7, 0.0, 180.0, {-0.66, -0.33, -1}},
        {"bands edge-on", 1.2, 2.0, 90.0, {0, 0.05, 0}},
    };
    struct Shape {
        int groups, items;
        uint32_t count;
    } shapes[] = {{15, 16, 998}, {3, 4, 100}, {3, 4, 10}};
    for (const Shape& shape : shapes) {
        load_wide_recording(shape.groups, shape.items, 1000);
        for (const View& view : views) {
            std::vector<uint8_t> culled = render(view, shape.count, true);
            std::vector<uint8_t> full = render(view, shape.count, false);
            size_t differing = 0, lit = 0;
            for (size_t i = 0; i < full.size(); i += 4) {
                differing += full[i] != culled[i] || full[i + 1] != culled[i + 1] || full[i + 2] != culled[i + 2];
                lit += full[i] != 26 || full[i + 1] != 26 || full[i + 2] != 26;
            }
            EXPECT_EQ(differing, 0u) << view.name << ", " << profile_table()->section_count << " sections, "
                                     << shape.count << " frames";
            // The comparison means something only where the graph is on screen.
            EXPECT_GT(lit, 200u) << view.name;
        }
    }
}

// Views from all over: window sizes from one pixel to the desktop, the camera from the near
// plane to the start distance, every pitch and yaw, any frame window.
TEST_F(Culling, RandomViewsMatchThePlainPathPixelForPixel)
{
    load_wide_recording(7, 8, 1000);
    std::vector<Scene> scenes = {
        // Two views reported from outside, with a recording of their own, and three where leaving
        // out some quads of a band changed pixels of quads kept in the same draw.
        {97, 61, {"reported, from below", 2.186, -74.06, -177.10, {0, 0, 0}}, 5, 816},
        {5, 300, {"reported, a sliver close up", 0.0672, -9.23, -92.50, {0, 0, 0}}, 54, 863},
        {127, 49, {"turned, from above", 0.40087221694625763, 21.425205362029374, -61.481577856466174, {0, 0, 0}}, 229, 622},
        {107, 115, {"from behind", 0.93139188580949228, 5.7263359939679503, 148.83226412348449, {0, 0, 0}}, 35, 271},
        {146, 244, {"inside the bands", 0.014253874721143403, 10.02586780115962, -101.17635827511549, {0, 0, 0}}, 587, 350},
    };
    std::mt19937 random(18);
    auto uniform = [&random](double low, double high) { return low + (high - low) * (random() / 4294967296.0); };
    for (int i = 0; i < kSweepViews; i++) {
        Scene scene{};
        scene.view.name = "random";
        // Mostly small windows, a few beyond the test window's size.
        scene.width = 1 + uint32_t(std::pow(uniform(0, 1), 2) * 1279);
        scene.height = 1 + uint32_t(std::pow(uniform(0, 1), 2) * 1023);
        scene.view.distance = 0.005 * std::pow(2000.0, uniform(0, 1));
        scene.view.pitch = uniform(-90, 90);
        scene.view.yaw = uniform(-180, 180);
        scene.count = 2 + uint32_t(uniform(0, 997));
        scene.start = uint32_t(uniform(0, 999 - scene.count));
        scenes.push_back(scene);
    }
    size_t lit_views = 0;
    for (const Scene& scene : scenes) {
        const auto [differing, first, lit] = compare_with_plain(scene);
        lit_views += lit > 0;
        const uint32_t shown = std::min(scene.width, kWindowWidth);
        EXPECT_EQ(differing, 0u) << scene.view.name << ": " << scene.width << "x" << scene.height << ", distance "
                                 << scene.view.distance << ", pitch " << scene.view.pitch << ", yaw "
                                 << scene.view.yaw << ", frames " << scene.start << "+" << scene.count
                                 << ", first at (" << first % shown << ", " << first / shown << ")";
    }
    // Most views must show some of the graph, or the comparison says little.
    EXPECT_GT(lit_views, scenes.size() / 2);
}

// Recordings shaped like a program's, whose bands are wide and labels large: the culled pass,
// which leaves glyph and pie triangles out of draws, against the plain one that draws all.
TEST_F(Culling, ProgramRecordingsMatchThePlainPathPixelForPixel)
{
    // The widest recording is slow to draw plainly, above all under the sanitizers: two views.
    struct Shape {
        int groups, items;
        size_t fixed_views;
        int random_views;
    } shapes[] = {{3, 4, 4, 10}, {15, 16, 4, 8}, {63, 64, 2, 0}};
    std::mt19937 random(26);
    auto uniform = [&random](double low, double high) { return low + (high - low) * (random() / 4294967296.0); };
    for (const Shape& shape : shapes) {
        load_program_recording(shape.groups, shape.items, 2000);
        std::vector<Scene> scenes = {
            {kWindowWidth, kWindowHeight, {"start", 10.0, 0.0, 0.0, {0, 0, 0}}, 0, 998},
            {kWindowWidth, kWindowHeight, {"dragged", 10.0, 24.0, 135.0, {0, 0, 0}}, 500, 998},
            {kWindowWidth, kWindowHeight, {"first pie close up", 0.7, 0.0, 180.0, {-0.66, -0.33, -1}}, 0, 998},
            {kWindowWidth, kWindowHeight, {"labels close up", 0.6, 0.0, 0.0, {0.2, 0.05, 1}}, 3, 400},
        };
        scenes.resize(shape.fixed_views);
        for (int i = 0; i < shape.random_views; i++) {
            Scene scene{kWindowWidth, kWindowHeight, {"random", 0, 0, 0, {0, 0, 0}}, 0, 0};
            scene.view.distance = 0.05 * std::pow(200.0, uniform(0, 1));
            scene.view.pitch = uniform(-90, 90);
            scene.view.yaw = uniform(-180, 180);
            for (double& axis : scene.view.center) axis = uniform(-0.5, 0.5);
            scene.count = 2 + uint32_t(uniform(0, 997));
            scene.start = uint32_t(uniform(0, 1000));
            scenes.push_back(scene);
        }
        size_t lit_views = 0;
        for (const Scene& scene : scenes) {
            const auto [differing, first, lit] = compare_with_plain(scene);
            lit_views += lit > 200;
            EXPECT_EQ(differing, 0u) << scene.view.name << ", " << profile_table()->section_count
                                     << " sections: distance " << scene.view.distance << ", pitch "
                                     << scene.view.pitch << ", yaw " << scene.view.yaw << ", frames " << scene.start
                                     << "+" << scene.count << ", first at (" << first % kWindowWidth << ", "
                                     << first / kWindowWidth << ")";
        }
        EXPECT_GE(2 * lit_views, scenes.size()) << profile_table()->section_count << " sections";
    }
}

// The widest recording's bands are hairlines a run of frames of which spans less than a pixel,
// slanting across the window as the scene turns: views all the way round, far and near.
TEST_F(Culling, WidestRecordingTurnedAroundMatchesThePlainPath)
{
    load_program_recording(63, 64, 2000);
    const Scene scenes[] = {
        {kWindowWidth, kWindowHeight, {"turned, from behind", 10.0, 20.0, 210.0, {0, 0, 0}}, 40, 998},
        {kWindowWidth, kWindowHeight, {"slanting bands near", 1.5, 20.0, 290.0, {0.3, 0.05, 0}}, 5, 998},
        {kWindowWidth, kWindowHeight, {"along the bands", 0.8, 8.0, 340.0, {-0.4, 0.02, 0.5}}, 900, 998},
    };
    for (const Scene& scene : scenes) {
        const auto [differing, first, lit] = compare_with_plain(scene);
        EXPECT_EQ(differing, 0u) << scene.view.name << ": first at (" << first % kWindowWidth << ", "
                                 << first / kWindowWidth << ")";
        EXPECT_GT(lit, 200u) << scene.view.name;
    }
}

// How each item's strip goes to the GL in the scene, in table order: 'k' for quads kept one by
// one, 'w' for a clipped strip drawn whole; strips left out are not listed.
std::string strip_kinds(const Scene& scene)
{
    brelm_reshape(scene.width, scene.height);
    glPushMatrix();
    apply_camera(scene.view);
    SectionTable* table = profile_table();
    const float sum = profile_graph_layout(table, scene.start, scene.count);
    std::vector<float> depths(scene.count), vertices(12 * scene.count), colours(12 * scene.count);
    std::vector<BandEdge> edges(scene.count);
    float range[2];
    graph_band_depths(table, scene.start, scene.count, sum, depths.data(), range);
    const GraphWindowView view = graph_window_view();
    std::string kinds;
    for (uint32_t i = 0; i < table->section_count; i++) {
        const Section& item = table->sections[i];
        if (item.type != SECTION_ITEM) continue;
        bool whole = false;
        const uint32_t quads = graph_reaching_strip(view, table, item, scene.start, scene.count, depths.data(), range,
                                                    edges.data(), vertices.data(), colours.data(), &whole);
        if (quads > 0) kinds += whole ? 'w' : 'k';
    }
    glPopMatrix();
    return kinds;
}

// Kept quads of consecutive strips share a draw; a clipped strip between them must not, and
// must draw after the quads gathered before it.
TEST_F(Culling, ClippedStripsBetweenKeptOnesMatchThePlainPath)
{
    load_program_recording(15, 16, 2000);
    // Seen from above, near enough that the window cuts some strips and holds others whole.
    const Scene scenes[] = {
        {kWindowWidth, kWindowHeight, {"above, turned a little", 1.4758652695318588, 82.088749199174345, -2.370580667629838, {-0.27341481624171138, 0.083499741740524769, 0.39068825938738883}}, 932, 938},
        {kWindowWidth, kWindowHeight, {"above, the other way", 1.5549188055005687, 80.798051320016384, 5.3692263923585415, {-0.48733686143532395, -0.10390238859690726, 0.32994879106990993}}, 479, 903},
        {kWindowWidth, kWindowHeight, {"above, across the frames", 1.0757532747086223, 82.791164545342326, -91.201183721423149, {0.064575526863336563, 0.026515568140894175, -0.12188434647396207}}, 219, 456},
    };
    size_t between = 0;
    for (const Scene& scene : scenes) {
        const std::string kinds = strip_kinds(scene);
        const size_t clipped = kinds.find('w', kinds.find('k'));
        between += clipped != std::string::npos && kinds.find('k', clipped) != std::string::npos;
        const auto [differing, first, lit] = compare_with_plain(scene);
        EXPECT_EQ(differing, 0u) << scene.view.name << ": " << kinds << ", first at (" << first % kWindowWidth
                                 << ", " << first / kWindowWidth << ")";
        EXPECT_GT(lit, 200u) << scene.view.name;
    }
    // The scenes mean something only where a clipped strip comes between kept ones.
    EXPECT_GT(between, 0u);
}

// The GL state a draw pass leaves that a later draw could read.
struct PassEndState {
    float colour[4];
    double projection[16], modelview[16];
    GLint viewport[4], matrix_mode, blend_source, blend_destination;
    GLboolean blend, vertex_array, colour_array;
    void* vertex_pointer;
};

PassEndState pass_end_state(const Scene& scene, bool culling)
{
    render(scene, culling);
    PassEndState state{};
    glGetFloatv(GL_CURRENT_COLOR, state.colour);
    glGetDoublev(GL_PROJECTION_MATRIX, state.projection);
    glGetDoublev(GL_MODELVIEW_MATRIX, state.modelview);
    glGetIntegerv(GL_VIEWPORT, state.viewport);
    glGetIntegerv(GL_MATRIX_MODE, &state.matrix_mode);
    glGetIntegerv(GL_BLEND_SRC, &state.blend_source);
    glGetIntegerv(GL_BLEND_DST, &state.blend_destination);
    state.blend = glIsEnabled(GL_BLEND);
    state.vertex_array = glIsEnabled(GL_VERTEX_ARRAY);
    state.colour_array = glIsEnabled(GL_COLOR_ARRAY);
    glGetPointerv(GL_VERTEX_ARRAY_POINTER, &state.vertex_pointer);
    return state;
}

// Labels out of sight make no GL call at all, yet a pass leaves GL as the plain pass does, even
// where every label but the first and last is out of sight and where no label is in sight.
TEST_F(Culling, PassLeavesTheStateOfThePlainPass)
{
    load_wide_recording(15, 16, 1000);
    const Scene scenes[] = {
        {kWindowWidth, kWindowHeight, {"start", 10.0, 0.0, 0.0, {0, 0, 0}}, 0, 998},
        {kWindowWidth, kWindowHeight, {"bands close up", 0.05, 0.0, 0.0, {0.1, 0.02, 0}}, 0, 998},
        {kWindowWidth, kWindowHeight, {"looking away", 0.5, 0.0, 0.0, {30, 30, 30}}, 0, 998},
        {kWindowWidth, kWindowHeight, {"first pie close up", 0.7, 0.0, 180.0, {-0.66, -0.33, -1}}, 0, 998},
    };
    for (const Scene& scene : scenes) {
        const PassEndState culled = pass_end_state(scene, true);
        const PassEndState plain = pass_end_state(scene, false);
        for (int i = 0; i < 4; i++) EXPECT_EQ(culled.colour[i], plain.colour[i]) << scene.view.name << " colour " << i;
        for (int i = 0; i < 16; i++) {
            EXPECT_EQ(culled.projection[i], plain.projection[i]) << scene.view.name << " projection " << i;
            EXPECT_EQ(culled.modelview[i], plain.modelview[i]) << scene.view.name << " model-view " << i;
        }
        for (int i = 0; i < 4; i++) EXPECT_EQ(culled.viewport[i], plain.viewport[i]) << scene.view.name;
        EXPECT_EQ(culled.matrix_mode, plain.matrix_mode) << scene.view.name;
        EXPECT_EQ(culled.blend_source, plain.blend_source) << scene.view.name;
        EXPECT_EQ(culled.blend_destination, plain.blend_destination) << scene.view.name;
        EXPECT_EQ(culled.blend, plain.blend) << scene.view.name;
        EXPECT_EQ(culled.vertex_array, plain.vertex_array) << scene.view.name;
        EXPECT_EQ(culled.colour_array, plain.colour_array) << scene.view.name;
        EXPECT_EQ(culled.vertex_pointer, plain.vertex_pointer) << scene.view.name;
    }
}

TEST_F(Culling, LabelOutsideTheWindowDrawsNothingButLeavesTheSameState)
{
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glTranslatef(0.0f, 0.0f, -1.0f);
    // Far to the right of the frustum: no pass can reach the window.
    text_draw(5.0f, 0.0f, 0.05f, 0.3f, "Hidden", 1, 0.5f, 0.25f, 1);
    std::vector<uint8_t> pixels = gl_read_pixels(0, 0, 720, 566);
    for (size_t i = 0; i < pixels.size(); i += 4) ASSERT_EQ(pixels[i], 0) << i;
    float colour[4];
    glGetFloatv(GL_CURRENT_COLOR, colour);
    EXPECT_FLOAT_EQ(colour[1], 0.5f / 8);
    EXPECT_TRUE(glIsEnabled(GL_VERTEX_ARRAY));
    void* pointer = nullptr;
    glGetPointerv(GL_VERTEX_ARRAY_POINTER, &pointer);
    EXPECT_EQ(pointer, static_cast<const void*>(glyph_vertices));
    EXPECT_TRUE(text_glyphs_ready());
    GLint mode = 0;
    glGetIntegerv(GL_MATRIX_MODE, &mode);
    EXPECT_EQ(mode, GL_MODELVIEW);
}

TEST_F(Culling, LabelsWithSomeGlyphsOutOfSightMatchTheFullPasses)
{
    // Model-view origin one unit in front of the eye: a unit there is 360 pixels wide.
    struct Case {
        const char* name;
        float x, y, size;
    } cases[] = {
        {"across the left edge", -1.05f, 0.0f, 0.04f},
        {"across the top edge", 0.0f, 0.765f, 0.03f},
        {"glyphs of a third of a pixel", 0.1f, 0.1f, 0.0008f},
        {"glyphs of a pixel", -0.2f, -0.3f, 0.0021f},
        {"mirrored", 0.3f, 0.2f, -0.01f},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> images[2];
        for (int culled = 0; culled < 2; culled++) {
            gl_reset_state();
            glClear(GL_COLOR_BUFFER_BIT);
            draw_set_blend(GL_ONE, GL_ONE);
            glTranslatef(0.0f, 0.0f, -1.0f);
            draw_set_culling(culled == 1);
            text_draw(c.x, c.y, c.size, 0.3f, "Wide label: 42% AVAV", 1.0f, 0.75f, 0.5f, 1.0f);
            draw_set_culling(true);
            images[culled] = gl_read_pixels(0, 0, 720, 566);
        }
        size_t lit = 0;
        for (size_t i = 0; i < images[0].size(); i += 4) lit += images[0][i] != 0;
        EXPECT_GT(lit, 0u) << c.name;
        EXPECT_TRUE(images[0] == images[1]) << c.name;
    }
}

TEST_F(Culling, WindowBoundsAgreeWithGlFeedback)
{
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glFrustum(-0.1, 0.1, -0.08, 0.08, 0.1, 100.0);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glTranslatef(0.3f, -0.2f, -4.0f);
    glRotatef(30.0f, 1.0f, 1.0f, 0.0f);
    const double points[9] = {-1, -1, 0.5, 1.5, -0.5, -1, 0.2, 1.2, 0.1};
    GLfloat feedback[64];
    glFeedbackBuffer(64, GL_2D, feedback);
    glRenderMode(GL_FEEDBACK);
    glBegin(GL_POINTS);
    for (int i = 0; i < 3; i++) glVertex3dv(points + 3 * i);
    glEnd();
    ASSERT_EQ(glRenderMode(GL_RENDER), 9);
    double projection[16], modelview[16], transform[16], bounds[4];
    glGetDoublev(GL_PROJECTION_MATRIX, projection);
    glGetDoublev(GL_MODELVIEW_MATRIX, modelview);
    draw_multiply_matrices(projection, modelview, transform);
    ASSERT_TRUE(draw_points_window_bounds(transform, 720, 566, points, 3, bounds));
    const double expected[4] = {std::fmin(std::fmin(feedback[1], feedback[4]), feedback[7]),
                                std::fmin(std::fmin(feedback[2], feedback[5]), feedback[8]),
                                std::fmax(std::fmax(feedback[1], feedback[4]), feedback[7]),
                                std::fmax(std::fmax(feedback[2], feedback[5]), feedback[8])};
    for (int i = 0; i < 4; i++) EXPECT_NEAR(bounds[i], expected[i], 1e-3) << i;
    // One point alone lands where GL put it.
    ASSERT_TRUE(draw_points_window_bounds(transform, 720, 566, points, 1, bounds));
    EXPECT_NEAR(bounds[0], feedback[1], 1e-3);
    EXPECT_NEAR(bounds[3], feedback[2], 1e-3);
    // A point behind the eye rules nothing out.
    const double behind[6] = {0, 0, 0, 0, 0, 10};
    EXPECT_FALSE(draw_points_window_bounds(transform, 720, 566, behind, 2, bounds));
}

TEST(CullingBounds, PixelCentresDecide)
{
    struct Case {
        double bounds[4];
        double dx, dy;
        bool reaches;
    } cases[] = {
        {{10.2, 10.2, 10.4, 10.4}, 0, 0, false},  // inside one pixel, away from its centre
        {{10.4, 10.4, 10.6, 10.6}, 0, 0, true},  // around a centre
        {{10.2, 10.2, 10.4, 10.4}, 0.2, 0.2, true},  // moved onto it
        {{-5, 10, -0.6, 11}, 0, 0, false},  // left of the window
        {{719.6, 10, 730, 11}, 0, 0, false},  // right of the last centre
        {{719.4, 10, 730, 11}, 0, 0, true},
        {{10, 565.6, 11, 600}, 0, 0, false},  // above the top row
    };
    for (const Case& c : cases)
        EXPECT_EQ(draw_bounds_reach_pixels(c.bounds, c.dx, c.dy, 720, 566), c.reaches)
            << c.bounds[0] << " " << c.bounds[1] << " +" << c.dx;
}

// Pixel centres sit at (c + 0.5, r + 0.5); a hundredth of a pixel of margin allows for snapping.
TEST(CullingBounds, TrianglesReachOnlyTheCentresTheyCover)
{
    struct Case {
        const char* name;
        double corners[6];
        double error;
        bool reaches;
    } cases[] = {
        {"around a centre", {10.2, 10.2, 10.9, 10.3, 10.3, 10.9}, 0, true},
        // Along y = x + 0.5, a third of a pixel from the centres its bounds hold.
        {"a sliver between centres", {10.0, 10.5, 13.0, 13.45, 13.0, 13.55}, 0, false},
        {"the same, wound the other way", {13.0, 13.55, 13.0, 13.45, 10.0, 10.5}, 0, false},
        {"a long sliver through a centre", {0.0, 10.0, 700.0, 10.98, 0.0, 10.02}, 0, true},
        {"an edge a thousandth of a pixel off a centre", {10.501, 9.0, 10.9, 9.0, 10.501, 12.0}, 0, true},
        {"an edge a tenth of a pixel off a centre", {10.6, 9.0, 10.9, 9.0, 10.6, 12.0}, 0, false},
        {"the same, within its error", {10.6, 9.0, 10.9, 9.0, 10.6, 12.0}, 0.2, true},
        {"a line of no width over centres", {2.5, 2.5, 7.5, 2.5, 5.0, 2.5}, 0, true},
        {"a point off every centre", {3.2, 3.2, 3.2, 3.2, 3.2, 3.2}, 0, false},
        {"beside the window", {-3.0, 10.0, -0.6, 10.0, -2.0, 20.0}, 0, false},
        {"larger than the centres looked at", {0.0, 0.0, 200.0, 0.0, 0.0, 200.0}, 0, true},
        {"not finite", {0.0, 0.0, INFINITY, 0.0, 0.0, 1.0}, 0, true},
    };
    for (const Case& c : cases) EXPECT_EQ(draw_triangle_reaches_pixels(c.corners, c.error, 720, 566), c.reaches) << c.name;
}

}  // namespace
