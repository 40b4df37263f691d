// The viewer's context function and action passes against a real GL context.
#include <GL/gl.h>

#include <SDL/SDL.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <vector>

#include "camera/camera.h"
#include "draw/text.h"
#include "profile/profile.h"
#include "tests/support/gl_support.h"
#include "tests/support/recording_support.h"
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

// ---- Resting while the picture cannot change ----

void push_key(SDLKey symbol)
{
    SDL_Event event{};
    event.type = SDL_KEYDOWN;
    event.key.type = SDL_KEYDOWN;
    event.key.keysym.sym = symbol;
    SDL_PushEvent(&event);
}

// One frame of rest bookkeeping as the main loop runs it: a pump, the passes, the end mark.
bool rest_frame(const std::function<void()>& during)
{
    brelm_pump_events(brelm_get_input());
    during();
    return viewer_rest_frame_end(0.0);
}

TEST_F(App, EachChangeRestartsTheTwoQuietFramesBeforeARest)
{
    load_wide_recording(2, 3, 300);
    FrameWindow* window = viewer_frame_window();
    ViewCamera* camera = view_camera();
    struct Case {
        const char* change;
        bool picture;  // changes what is drawn
        std::function<void()> make;
    } cases[] = {
        {"an event", false, [] { push_key(SDLK_x); brelm_pump_events(brelm_get_input()); }},
        {"a scroll step that moves", true, [window] { window->scroll_position += 1.0f; }},
        {"a zoom of the frame window", true, [window] { window->visible_frames += 1.0f; }},
        {"a camera step", true, [camera] { camera->yaw = camera->yaw_target = camera->yaw + 1.0; }},
        {"a replaced table of the same size", true, [] { load_wide_recording(2, 3, 300); }},
        {"frames appended", true, [] { load_wide_recording(2, 3, 301); }},
    };
    for (const Case& c : cases) {
        for (int frame = 0; frame < 3; frame++) rest_frame([] {});
        ASSERT_TRUE(rest_frame([] {})) << c.change;
        EXPECT_FALSE(viewer_rest_changed()) << c.change;
        EXPECT_FALSE(rest_frame([&c] {
            c.make();
            EXPECT_EQ(viewer_rest_changed(), c.picture) << c.change;
        })) << c.change;
        EXPECT_FALSE(rest_frame([] {})) << c.change;
        EXPECT_TRUE(rest_frame([] {})) << c.change;
    }
    // Unsettled camera, or a reload asked for: no rest for as long as it lasts.
    camera->pitch_target = 10.0;
    for (int frame = 0; frame < 4; frame++) EXPECT_FALSE(rest_frame([] {})) << frame;
    camera->pitch = camera->pitch_target;
    InputState input{};
    input.pass = BRELM_PASS_INPUT;
    input.key_count = 1;
    input.keys[0] = KeyEvent{'r', 'r', 1};
    viewer_follow_input(&input);
    for (int frame = 0; frame < 4; frame++) EXPECT_FALSE(rest_frame([] {})) << frame;
    EXPECT_TRUE(viewer_follow_busy(0.0));
    viewer_follow_idle("", 0.0);
    rest_frame([] {});
    EXPECT_TRUE(rest_frame([] {}));
}

// The viewer inside the real main loop, with the frames it draws noted.
struct LoopRun {
    bool never_wait;
    int key_after_frame;  // never-waiting run: queues the wake key after this many frames
    int frames;  // draw passes so far
    int first_rest;  // the frame whose draw pass first asked to wait, -1 before
    int woken_frame;  // the frame that took the wake key, -1 before
    std::vector<uint32_t> events;  // events pumped, per frame
    std::vector<uint8_t> picture;  // the woken frame's back buffer
    std::chrono::steady_clock::time_point wait_began;
    bool waiting;
    int polls;
};

LoopRun run;

const SDLKey kWakeKey = SDLK_x;
const int kMostFrames = 5000;

void push_quit()
{
    SDL_Event event{};
    event.type = SDL_QUIT;
    SDL_PushEvent(&event);
}

int32_t noted_action(InputState* input, void*)
{
    if (input->pass == BRELM_PASS_INPUT) {
        run.events.push_back(brelm_pumped_event_count());
        run.waiting = false;
        for (uint32_t k = 0; k < input->key_count; k++)
            if (input->keys[k].symbol == kWakeKey && run.woken_frame < 0) run.woken_frame = run.frames;
    }
    int32_t result = viewer_action(input, nullptr);
    if (input->pass != BRELM_PASS_DRAW) return result;
    // The second frame turns to the graph: the first has laid it out, pies included.
    if (run.frames == 0) push_key(SDLK_HOME);
    if (result == BRELM_WAIT && run.first_rest < 0) run.first_rest = run.frames;
    if (run.woken_frame == run.frames) {
        run.picture = gl_read_pixels(0, 0, 720, 566);
        push_quit();
    }
    if (run.never_wait && run.frames == run.key_after_frame) push_key(kWakeKey);
    if (++run.frames > kMostFrames) push_quit();
    return run.never_wait ? BRELM_RUN_ON : result;
}

// A second into a wait, a key; any wait the window system ends sooner starts the second again.
bool key_after_a_second()
{
    run.polls++;
    auto now = std::chrono::steady_clock::now();
    if (!run.waiting) {
        run.waiting = true;
        run.wait_began = now;
    } else if (now - run.wait_began >= std::chrono::seconds(1) && run.woken_frame < 0) {
        push_key(kWakeKey);
    }
    return false;
}

// A turned camera gliding to Home's framing, and a window scrolling into its clamp.
void run_viewer(bool never_wait, int key_after_frame)
{
    run = LoopRun{never_wait, key_after_frame, 0, -1, -1, {}, {}, {}, false, 0};
    load_wide_recording(2, 2, 1500);
    view_reset(nullptr);
    view_camera()->pitch_target = 25.0;
    view_camera()->yaw_target = -40.0;
    *viewer_frame_window() = FrameWindow{1300.0f, 3.0f, 100.0f, 100.0f};
    viewer_context_created();
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
    }
    brelm_get_input()->key_count = 0;
    brelm_set_action_func(noted_action, nullptr);
    brelm_set_wake_func(key_after_a_second);
    brelm_main_loop();
    brelm_set_wake_func(nullptr);
    brelm_set_action_func(nullptr, nullptr);
}

TEST_F(App, AQuietViewerWaitsForInputThenDrawsWhatANeverWaitingOneDraws)
{
    run_viewer(false, 0);
    ASSERT_GE(run.first_rest, 0) << "never rested in " << run.frames << " frames";
    ASSERT_GT(run.woken_frame, run.first_rest);
    EXPECT_GT(run.events[size_t(run.woken_frame)], 0u);
    // Between the first rest and the key, a frame is drawn only for the window system's own
    // events (another window uncovering ours), and only the two that follow one.
    int unexplained = 0;
    for (int frame = run.first_rest + 1; frame < run.woken_frame; frame++) {
        bool event_near = false;
        for (int back = 0; back <= 2 && frame - back > run.first_rest; back++)
            event_near = event_near || run.events[size_t(frame - back)] > 0;
        unexplained += !event_near;
    }
    EXPECT_EQ(unexplained, 0) << run.woken_frame - run.first_rest - 1 << " frames drawn while quiet";
    EXPECT_GT(run.polls, 0);
    std::vector<uint8_t> woken = run.picture;
    int rested_at = run.first_rest;

    // The same scene, drawn for more frames before the same key: 30 frames close all but a
    // thousandth of any glide or scroll a too early rest would have cut short.
    run_viewer(true, rested_at + 30);
    ASSERT_EQ(run.woken_frame, rested_at + 31);
    EXPECT_EQ(run.polls, 0);
    ASSERT_EQ(woken.size(), run.picture.size());
    EXPECT_TRUE(woken == run.picture);
}

// ---- Home ----

// The graph's box and its pies' lowest corners, as the table's last layout put them.
std::vector<std::array<double, 3>> graph_corners()
{
    std::vector<std::array<double, 3>> corners;
    for (int corner = 0; corner < 8; corner++)
        corners.push_back({corner & 1 ? 1.0 : -1.0, corner & 2 ? 1.0 : 0.0, corner & 4 ? 1.0 : -1.0});
    const SectionTable* table = profile_table();
    for (uint32_t i = 0; i < table->section_count; i++) {
        const Section& group = table->sections[i];
        if (group.type != SECTION_GROUP) continue;
        double diameter = double(group.end) - double(group.start);
        corners.push_back({group.start, -diameter, -1.0});
        corners.push_back({group.end, -diameter, -1.0});
    }
    return corners;
}

// Window pixels of a point under the GL matrices the draw pass used.
std::array<double, 3> window_pixel(const double* modelview, const double* projection, const GLint* viewport,
                                   const std::array<double, 3>& point)
{
    double clip[4];
    gl_clip_point(modelview, projection, point.data(), clip);
    return {viewport[0] + (clip[0] / clip[3] + 1) * 0.5 * viewport[2],
            viewport[1] + (clip[1] / clip[3] + 1) * 0.5 * viewport[3], clip[3]};
}

TEST_F(App, HomeBringsTheWholeGraphIntoViewAtAnyTurn)
{
    load_wide_recording(3, 4, 120);
    struct Case {
        double pitch, yaw;
        uint32_t width, height;
    } cases[] = {{0, 0, 720, 566}, {30, -50, 720, 566}, {-70, 160, 720, 566}, {90, 10, 720, 566}, {20, 30, 400, 700}};
    for (const Case& c : cases) {
        brelm_reshape(c.width, c.height);
        // The labels draw through the text module's copy of the window's view.
        viewer_context_created();
        view_reset(nullptr);
        ViewCamera* camera = view_camera();
        camera->pitch = camera->pitch_target = c.pitch;
        camera->yaw = camera->yaw_target = c.yaw;
        InputState input{};
        input.pass = BRELM_PASS_DRAW;
        viewer_action(&input, nullptr);
        input.pass = BRELM_PASS_INPUT;
        input.key_count = 1;
        input.keys[0] = KeyEvent{SDLK_HOME, 0, 1};
        viewer_action(&input, nullptr);
        input.pass = BRELM_PASS_DRAW;
        input.key_count = 0;
        int frames = 0;
        for (; frames < 500 && !view_settled(nullptr); frames++) viewer_action(&input, nullptr);
        EXPECT_LT(frames, 500);
        // The model-view the draw pass used is the camera's copy; the labels leave a projection
        // of their own behind, so the window's is set again.
        brelm_reshape(c.width, c.height);
        double projection[16];
        GLint viewport[4];
        glGetDoublev(GL_PROJECTION_MATRIX, projection);
        glGetIntegerv(GL_VIEWPORT, viewport);
        double low[2] = {HUGE_VAL, HUGE_VAL}, high[2] = {-HUGE_VAL, -HUGE_VAL};
        for (const auto& corner : graph_corners()) {
            std::array<double, 3> at = window_pixel(camera->modelview, projection, viewport, corner);
            EXPECT_GT(at[2], 0.0);
            for (int axis = 0; axis < 2; axis++) low[axis] = std::min(low[axis], at[axis]);
            for (int axis = 0; axis < 2; axis++) high[axis] = std::max(high[axis], at[axis]);
        }
        SCOPED_TRACE(testing::Message() << "pitch " << c.pitch << " yaw " << c.yaw << " in " << c.width << "x"
                                        << c.height);
        EXPECT_GE(low[0], 0.0);
        EXPECT_GE(low[1], 0.0);
        EXPECT_LE(high[0], double(c.width));
        EXPECT_LE(high[1], double(c.height));
        EXPECT_GE(std::max((high[0] - low[0]) / c.width, (high[1] - low[1]) / c.height), 0.8);
    }
    brelm_reshape(720, 566);
    viewer_context_created();
}

}  // namespace
