#include "platform/platform.h"

#include <GL/gl.h>
#include <SDL/SDL.h>

#include <cmath>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "tests/support/gl_support.h"

namespace {

class PlatformTest : public GlTest {
protected:
    void SetUp() override
    {
        GlTest::SetUp();
        SDL_Event event;
        while (SDL_PollEvent(&event)) {
        }
        InputState* input = brelm_get_input();
        *input = InputState{};
        brelm_set_action_func(nullptr, nullptr);
        brelm_set_wake_func(nullptr);
        activate(true);
    }

    static void push(SDL_Event event) { ASSERT_EQ(SDL_PushEvent(&event), 0); }

    static void motion(int x, int y)
    {
        SDL_Event event{};
        event.type = SDL_MOUSEMOTION;
        event.motion.type = SDL_MOUSEMOTION;
        event.motion.x = Uint16(x);
        event.motion.y = Uint16(y);
        push(event);
    }

    static void button(Uint8 which, bool down)
    {
        SDL_Event event{};
        event.type = down ? SDL_MOUSEBUTTONDOWN : SDL_MOUSEBUTTONUP;
        event.button.type = event.type;
        event.button.button = which;
        event.button.state = down ? SDL_PRESSED : SDL_RELEASED;
        push(event);
    }

    static void key(SDLKey symbol, Uint16 unicode, bool down)
    {
        SDL_Event event{};
        event.type = down ? SDL_KEYDOWN : SDL_KEYUP;
        event.key.type = event.type;
        event.key.keysym.sym = symbol;
        event.key.keysym.unicode = unicode;
        push(event);
    }

    static void focus(Uint8 state, bool gain)
    {
        SDL_Event event{};
        event.type = SDL_ACTIVEEVENT;
        event.active.type = SDL_ACTIVEEVENT;
        event.active.state = state;
        event.active.gain = gain ? 1 : 0;
        push(event);
    }

    static void quit()
    {
        SDL_Event event{};
        event.type = SDL_QUIT;
        push(event);
    }

    static void activate(bool gain)
    {
        focus(SDL_APPINPUTFOCUS, gain);
        brelm_pump_events(brelm_get_input());
    }

    static InputState* pump()
    {
        InputState* input = brelm_get_input();
        EXPECT_EQ(brelm_pump_events(input), 1);
        return input;
    }
};

TEST_F(PlatformTest, InitPublishesModeAndViewSettings)
{
    uint32_t width = 0, height = 0;
    uint8_t fullscreen = 9;
    double aspect = brelm_get_screen_mode(&width, &height, &fullscreen);
    EXPECT_EQ(width, 720u);
    EXPECT_EQ(height, 566u);
    EXPECT_EQ(fullscreen, 0);
    EXPECT_DOUBLE_EQ(aspect, 566.0 / 720.0);
    double far_plane = 0, near_plane = 0, field_scale = 0;
    brelm_get_view_settings(&far_plane, &near_plane, &field_scale);
    EXPECT_EQ(far_plane, 10000.0);
    EXPECT_EQ(near_plane, 0.005);
    EXPECT_EQ(field_scale, 1.0);
    // Null outputs are skipped.
    brelm_get_view_settings(nullptr, nullptr, nullptr);
    EXPECT_DOUBLE_EQ(brelm_get_screen_mode(nullptr, nullptr, nullptr), 566.0 / 720.0);
}

TEST_F(PlatformTest, ReshapeSetsFrustumFromSinglePrecisionAspect)
{
    brelm_reshape(720, 566);
    double projection[16];
    glGetDoublev(GL_PROJECTION_MATRIX, projection);
    // glFrustum: m[5] = 2n / (top - bottom) = near / top.
    double top = 0.005 * (1.0 / double(720.0f / 566.0f));
    EXPECT_NEAR(projection[0], 1.0, 1e-6);
    EXPECT_NEAR(projection[5], 0.005 / top, 1e-4);
    EXPECT_NEAR(top, 0.00393056, 1e-8);
    GLint viewport[4];
    glGetIntegerv(GL_VIEWPORT, viewport);
    EXPECT_EQ(viewport[2], 720);
    EXPECT_EQ(viewport[3], 566);
    GLint mode = 0;
    glGetIntegerv(GL_MATRIX_MODE, &mode);
    EXPECT_EQ(mode, GL_MODELVIEW);
}

TEST(ResizeRule, FullscreenOnlyWithinSixtyPixelsInBothDirections)
{
    struct Case {
        uint32_t width, height, desktop_width, desktop_height;
        uint32_t out_width, out_height;
        uint8_t fullscreen;
    } cases[] = {
        {1920, 1140, 1920, 1200, 1920, 1140, 0},
        {1861, 1141, 1920, 1200, 1920, 1200, 1},
        {1860, 1199, 1920, 1200, 1860, 1199, 0},
        {1861, 1140, 1920, 1200, 1861, 1140, 0},
        {4000, 4000, 1920, 1200, 1920, 1200, 1},
        {100, 100, 50, 50, 100, 100, 0},  // a desktop under the margin wraps: never fullscreen
    };
    for (const Case& c : cases) {
        uint32_t width = 0, height = 0;
        uint8_t fullscreen = 9;
        brelm_resize_target(c.width, c.height, c.desktop_width, c.desktop_height, &width, &height, &fullscreen);
        EXPECT_EQ(width, c.out_width) << c.width << "x" << c.height;
        EXPECT_EQ(height, c.out_height) << c.width << "x" << c.height;
        EXPECT_EQ(fullscreen, c.fullscreen) << c.width << "x" << c.height;
    }
}

TEST_F(PlatformTest, MotionIsNormalisedAndLastMotionWins)
{
    motion(0, 0);
    InputState* input = pump();
    EXPECT_FLOAT_EQ(input->pointer_x, -1.0f);
    EXPECT_FLOAT_EQ(input->pointer_y, float(566.0 / 720.0));
    motion(360, 283);
    motion(720, 283);
    input = pump();
    EXPECT_FLOAT_EQ(input->pointer_x, 1.0f);
    EXPECT_NEAR(input->pointer_y, 0.0f, 1e-7);
    EXPECT_FLOAT_EQ(input->delta_x, 1.0f);
    EXPECT_NEAR(input->delta_y, 0.0f, 1e-7);
}

TEST_F(PlatformTest, MotionWithoutFocusIsIgnored)
{
    motion(360, 283);
    pump();
    activate(false);
    motion(0, 0);
    InputState* input = pump();
    EXPECT_NEAR(input->pointer_x, 0.0f, 1e-7);
    // Mouse-focus-only events change nothing.
    focus(SDL_APPMOUSEFOCUS, true);
    motion(0, 0);
    input = pump();
    EXPECT_NEAR(input->pointer_x, 0.0f, 1e-7);
    activate(true);
    motion(540, 283);
    input = pump();
    EXPECT_FLOAT_EQ(input->pointer_x, 0.5f);
    EXPECT_FLOAT_EQ(input->delta_x, 0.5f);
    // Iconified windows drop motion too, until the app becomes active again.
    focus(SDL_APPACTIVE, false);
    motion(0, 0);
    input = pump();
    EXPECT_FLOAT_EQ(input->pointer_x, 0.5f);
}

TEST_F(PlatformTest, ButtonsMapRightToOneAndMiddleToTwo)
{
    struct Case {
        Uint8 sdl_button;
        int index;
    } cases[] = {{SDL_BUTTON_LEFT, 0}, {SDL_BUTTON_RIGHT, 1}, {SDL_BUTTON_MIDDLE, 2}};
    for (const Case& c : cases) {
        button(c.sdl_button, true);
        InputState* input = pump();
        for (int i = 0; i < 16; i++) EXPECT_EQ(input->button[i], i == c.index ? 1 : 0) << int(c.sdl_button);
        button(c.sdl_button, false);
        input = pump();
        EXPECT_EQ(input->button[c.index], 0);
    }
    button(SDL_BUTTON_WHEELUP, true);
    InputState* input = pump();
    for (int i = 0; i < 16; i++) EXPECT_EQ(input->button[i], 0);
}

TEST_F(PlatformTest, KeysKeepSixteenInArrivalOrder)
{
    for (int i = 0; i < 17; i++) key(SDLKey(SDLK_a + i), Uint16(0x1234 + i), true);
    InputState* input = pump();
    ASSERT_EQ(input->key_count, 16u);
    for (int i = 0; i < 16; i++) {
        EXPECT_EQ(input->keys[i].symbol, SDLK_a + i);
        EXPECT_EQ(input->keys[i].unicode, uint32_t(0x1234 + i));
        EXPECT_EQ(input->keys[i].down, 1);
    }
    input->key_count = 0;
    input->keys[0].unicode = 77;
    key(SDLK_b, 0x99, false);
    input = pump();
    ASSERT_EQ(input->key_count, 1u);
    EXPECT_EQ(input->keys[0].symbol, SDLK_b);
    EXPECT_EQ(input->keys[0].down, 0);
    EXPECT_EQ(input->keys[0].unicode, 77u);  // a release does not write the character
}

TEST_F(PlatformTest, QuitLeavesLaterEventsQueued)
{
    InputState* input = brelm_get_input();
    EXPECT_EQ(brelm_pump_events(input), 1);
    quit();
    motion(0, 0);
    EXPECT_EQ(brelm_pump_events(input), 0);
    EXPECT_EQ(input->pointer_x, 0.0f);
    EXPECT_EQ(brelm_pump_events(input), 1);
    EXPECT_FLOAT_EQ(input->pointer_x, -1.0f);
}

TEST_F(PlatformTest, PumpCountsTheEventsItTook)
{
    motion(10, 10);
    key(SDLK_a, 'a', true);
    button(SDL_BUTTON_LEFT, true);
    pump();
    EXPECT_EQ(brelm_pumped_event_count(), 3u);
    pump();
    EXPECT_EQ(brelm_pump_events(brelm_get_input()), 1);
    EXPECT_EQ(brelm_pumped_event_count(), 0u);
}

struct PassLog {
    int calls[3];
    int count;
};

int32_t record_pass(InputState* input, void* user)
{
    PassLog* log = static_cast<PassLog*>(user);
    log->calls[input->pass]++;
    log->count++;
    if (input->pass == BRELM_PASS_DRAW) glTranslatef(5, 6, 7);
    return 40 + input->pass;
}

TEST_F(PlatformTest, RunPassReturnsResultAndDrawPassKeepsMatrix)
{
    EXPECT_EQ(brelm_run_pass(BRELM_PASS_INPUT), 0);
    PassLog log{};
    brelm_set_action_func(record_pass, &log);
    EXPECT_EQ(brelm_run_pass(BRELM_PASS_INPUT), 41);
    EXPECT_EQ(brelm_get_input()->pass, BRELM_PASS_INPUT);
    EXPECT_EQ(brelm_run_pass(BRELM_PASS_IDLE), 42);
    EXPECT_EQ(brelm_run_pass(BRELM_PASS_DRAW), 40);
    double matrix[16];
    glGetDoublev(GL_MODELVIEW_MATRIX, matrix);
    EXPECT_EQ(matrix[12], 0.0);
    EXPECT_EQ(log.calls[0], 1);
    EXPECT_EQ(log.calls[1], 1);
    EXPECT_EQ(log.calls[2], 1);
}

// What one pass saw of the input record.
struct PassView {
    int32_t pass;
    double frame;
    uint8_t button0, last_button0;
    float pointer_x, click_x, delta_x;
    uint32_t key_count;
};

// Scripted frames: the draw pass of frame n queues the events of frame n + 1,
// and a quit after the last one.
struct LoopScript {
    std::vector<std::function<void()>> frames;
    std::vector<PassView> seen;
};

int32_t scripted_pass(InputState* input, void* user)
{
    LoopScript* script = static_cast<LoopScript*>(user);
    script->seen.push_back({input->pass, input->frame, input->button[0], input->last_button[0], input->pointer_x,
                            input->click_x, input->delta_x, input->key_count});
    if (input->pass == BRELM_PASS_DRAW) {
        size_t next = size_t(input->frame) + 1;
        if (next < script->frames.size()) {
            script->frames[next]();
        } else {
            SDL_Event event{};
            event.type = SDL_QUIT;
            SDL_PushEvent(&event);
        }
    }
    return 0;
}

class MainLoopTest : public PlatformTest {
protected:
    std::vector<PassView> run(LoopScript& script)
    {
        script.frames[0]();
        brelm_set_action_func(scripted_pass, &script);
        brelm_main_loop();
        return script.seen;
    }
};

TEST_F(MainLoopTest, PassesRunInputIdleDrawAndFrameCounts)
{
    LoopScript script;
    script.frames = {[] { motion(540, 283); key(SDLK_a, 'a', true); }, [] {}, [] {}};
    std::vector<PassView> seen = run(script);
    ASSERT_EQ(seen.size(), 9u);
    for (size_t i = 0; i < seen.size(); i++) {
        const int32_t order[3] = {BRELM_PASS_INPUT, BRELM_PASS_IDLE, BRELM_PASS_DRAW};
        EXPECT_EQ(seen[i].pass, order[i % 3]) << i;
        EXPECT_EQ(seen[i].frame, double(i / 3)) << i;
    }
    // The first frame sees its motion and key in all three passes; they are cleared after it.
    for (size_t i = 0; i < 3; i++) {
        EXPECT_FLOAT_EQ(seen[i].delta_x, 0.5f);
        EXPECT_EQ(seen[i].key_count, 1u);
    }
    EXPECT_EQ(seen[3].delta_x, 0.0f);
    EXPECT_EQ(seen[3].key_count, 0u);
    EXPECT_FLOAT_EQ(seen[3].pointer_x, 0.5f);
    EXPECT_EQ(brelm_get_input()->frame, 3.0);
}

TEST_F(MainLoopTest, ClickFreezesDuringLeftDragUntilAfterRelease)
{
    LoopScript script;
    script.frames = {
        [] { motion(360, 283); },  // frame 0: click follows the pointer (0)
        [] { button(SDL_BUTTON_LEFT, true); motion(540, 283); },  // frame 1: pressed, click stays 0
        [] { motion(720, 283); button(SDL_BUTTON_LEFT, false); },  // frame 2: released, still frozen
        [] {},  // frame 3: follows again (1.0)
    };
    std::vector<PassView> seen = run(script);
    ASSERT_EQ(seen.size(), 12u);
    EXPECT_NEAR(seen[0].click_x, 0.0f, 1e-7);
    EXPECT_NEAR(seen[3].click_x, 0.0f, 1e-7);
    EXPECT_EQ(seen[3].button0, 1);
    EXPECT_EQ(seen[3].last_button0, 0);
    EXPECT_NEAR(seen[6].click_x, 0.0f, 1e-7);
    EXPECT_EQ(seen[6].button0, 0);
    EXPECT_EQ(seen[6].last_button0, 1);
    EXPECT_FLOAT_EQ(seen[9].click_x, 1.0f);
}

TEST_F(MainLoopTest, PressAndReleaseInOneFrameDoesNotFreezeClick)
{
    LoopScript script;
    script.frames = {
        [] { motion(360, 283); },
        [] { button(SDL_BUTTON_LEFT, true); motion(540, 283); button(SDL_BUTTON_LEFT, false); },
    };
    std::vector<PassView> seen = run(script);
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[3].button0, 0);
    EXPECT_EQ(seen[3].last_button0, 0);
    EXPECT_FLOAT_EQ(seen[3].click_x, 0.5f);
}

TEST_F(MainLoopTest, QuitBeforeAFrameRunsNoPass)
{
    PassLog log{};
    brelm_set_action_func(record_pass, &log);
    quit();
    motion(0, 0);
    brelm_main_loop();
    EXPECT_EQ(log.count, 0);
    EXPECT_EQ(brelm_get_input()->frame, 0.0);
    pump();
    EXPECT_FLOAT_EQ(brelm_get_input()->pointer_x, -1.0f);
}

TEST_F(MainLoopTest, LoopWithoutActionStillCountsFramesAndTracksButtons)
{
    button(SDL_BUTTON_RIGHT, true);
    // Nothing inside the loop can queue the quit, so another thread does (SDL_PushEvent is thread-safe).
    std::thread closer([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        SDL_Event event{};
        event.type = SDL_QUIT;
        SDL_PushEvent(&event);
    });
    brelm_main_loop();
    closer.join();
    InputState* input = brelm_get_input();
    EXPECT_GT(input->frame, 1.0);
    EXPECT_EQ(input->last_button[1], 1);
    EXPECT_EQ(brelm_run_pass(BRELM_PASS_DRAW), 0);
}

// The wake function's polls, counted; it ends a wait on its `wake_every`th poll.
struct WakeLog {
    int polls;  // in all
    int polls_this_wait;
    int wake_every;
    std::vector<int> polls_at_frame;  // polls of the wait before each frame
    std::vector<uint32_t> events_at_frame;  // events each frame pumped
    std::vector<uint32_t> keys_at_frame;
    int32_t draw_result;
    int frames_before_quit;
    bool quit_on_key;
};

WakeLog wake_log;

bool counting_wake()
{
    wake_log.polls++;
    return ++wake_log.polls_this_wait == wake_log.wake_every;
}

int32_t waiting_pass(InputState* input, void*)
{
    if (input->pass == BRELM_PASS_INPUT) {
        wake_log.polls_at_frame.push_back(wake_log.polls_this_wait);
        wake_log.polls_this_wait = 0;
        wake_log.events_at_frame.push_back(brelm_pumped_event_count());
        wake_log.keys_at_frame.push_back(input->key_count);
    }
    if (input->pass != BRELM_PASS_DRAW) return BRELM_RUN_ON;
    if (int(wake_log.polls_at_frame.size()) == wake_log.frames_before_quit ||
        (wake_log.quit_on_key && input->key_count > 0)) {
        SDL_Event event{};
        event.type = SDL_QUIT;
        SDL_PushEvent(&event);
    }
    return wake_log.draw_result;
}

void log_waits()
{
    wake_log = WakeLog{};
    brelm_set_wake_func(counting_wake);
    brelm_set_action_func(waiting_pass, nullptr);
}

TEST_F(PlatformTest, WithoutTheWaitRequestTheLoopNeverWaits)
{
    log_waits();
    wake_log.draw_result = BRELM_RUN_ON;
    wake_log.frames_before_quit = 20;
    brelm_main_loop();
    EXPECT_EQ(wake_log.polls_at_frame.size(), 20u);
    EXPECT_EQ(wake_log.polls, 0);
}

TEST_F(PlatformTest, AWaitEndsWhenTheWakeFunctionSaysSo)
{
    log_waits();
    wake_log.draw_result = BRELM_WAIT;
    wake_log.wake_every = 3;
    wake_log.frames_before_quit = 5;
    brelm_main_loop();
    // Each wait lasts three polls, unless the window system's own event (another test's
    // window uncovering ours) ends it sooner; the quit queued by the last draw pass ends the
    // last wait before any poll.
    ASSERT_EQ(wake_log.polls_at_frame.size(), 5u);
    EXPECT_EQ(wake_log.polls_at_frame[0], 0);
    int polls = 0;
    for (size_t frame = 1; frame < 5; frame++) {
        if (wake_log.events_at_frame[frame] == 0) {
            EXPECT_EQ(wake_log.polls_at_frame[frame], 3) << frame;
        }
        EXPECT_LE(wake_log.polls_at_frame[frame], 3) << frame;
        polls += wake_log.polls_at_frame[frame];
    }
    EXPECT_EQ(wake_log.polls, polls);
}

TEST_F(PlatformTest, AWaitEndsAtTheFirstEvent)
{
    log_waits();
    wake_log.draw_result = BRELM_WAIT;
    wake_log.quit_on_key = true;
    // The loop owns the thread it runs on; only another thread can type while it waits. A
    // wait the key never ends is ended by the wake function after about 20 s and fails below.
    wake_log.wake_every = 2000;
    std::thread typist([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        SDL_Event event{};
        event.type = SDL_KEYDOWN;
        event.key.type = SDL_KEYDOWN;
        event.key.keysym.sym = SDLK_a;
        SDL_PushEvent(&event);
    });
    brelm_main_loop();
    typist.join();
    // The frame after the key's wait is the last one, and it saw the key.
    ASSERT_GE(wake_log.keys_at_frame.size(), 2u);
    EXPECT_EQ(wake_log.keys_at_frame.back(), 1u);
    EXPECT_GT(wake_log.polls_at_frame.back(), 0);
    EXPECT_LT(wake_log.polls, 2000);
}

}  // namespace
