// viewer: start-up, the context function and the action passes.
#include "viewer/viewer.h"

#include <GL/gl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "camera/camera.h"
#include "draw/draw.h"
#include "draw/text.h"
#include "profile/profile.h"
#include "profile/reader.h"
#include "settings/settings.h"

namespace {

const char* const kProfilePath = "advance_profile.bin";
const char* const kSettingsPath = "sv_config.cfg";

// The nine passes of a label lie at one depth; with the default GL_LESS only the first
// would land on a label facing the eye, showing an eighth of its colour.
void enable_depth_test()
{
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LEQUAL);
}

void clear_screen()
{
    glClearColor(0.1f, 0.1f, 0.1f, 0.1f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
}

// Alpha 0 on purpose: once label blending is on, the axes only write depth.
void draw_axes()
{
    draw_line(1, 0, 0, -1, 0, 0, 1, 0, 0, 0);
    draw_line(0, 1, 0, 0, -1, 0, 0, 1, 0, 0);
    draw_line(0, 0, 1, 0, 0, -1, 0, 0, 1, 0);
}

// A silent empty scene would leave the user guessing, so every failed load says why.
void report_profile_status()
{
    if (profile_last_status() != PROFILE_OK) std::printf("Profile \"%s\": %s\n", kProfilePath, profile_last_detail());
}

#if SAVREL_TEST_LEAK_BYTES > 0
// Test builds only: a steady leak in the draw pass, which the soak's memory verdict must catch.
void* volatile leaked_block;

void leak_for_test()
{
    void* block = std::malloc(SAVREL_TEST_LEAK_BYTES);
    if (block) leaked_block = std::memset(block, 1, SAVREL_TEST_LEAK_BYTES);
}
#endif

void draw_pass()
{
#if SAVREL_TEST_LEAK_BYTES > 0
    leak_for_test();
#endif
    clear_screen();
    glPushMatrix();
    view_apply(nullptr);
    draw_axes();
    const FrameWindow* window = viewer_frame_window();
    profile_draw_graph(uint32_t(window->scroll_position), uint32_t(window->visible_frames));
    glPopMatrix();
}

void input_pass(const InputState* input)
{
    if (input->button[1]) {
        if (input->last_button[1] == 0) view_grab_start(nullptr, input);
        view_update(nullptr, input);
    }
    viewer_frame_window_input(input);
    viewer_follow_input(input);
    viewer_home_input(input);
}

double seconds_now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// While the main loop waits, follow checks run here, and only a change to show ends the wait.
bool follow_while_waiting()
{
    double now = seconds_now();
    if (!viewer_follow_busy(now)) return false;
    viewer_follow_idle(kProfilePath, now);
    return viewer_rest_changed();
}

}  // namespace

int viewer_run(int argc, char** argv)
{
    viewer_keep_freed_memory();
    brelm_init(argc, argv, 720, 566, 0, "Savrel");
    text_init();
    // Read the way reloads read, beside a program that may be writing it; the bytes go once loaded.
    recording_load(kProfilePath);
    recording_release();
    report_profile_status();
    view_reset(nullptr);
    glClearColor(0.1f, 0.1f, 0.1f, 0.1f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
    enable_depth_test();
    settings_load(kSettingsPath);
    brelm_set_context_func(viewer_context_created);
    brelm_set_action_func(viewer_action, nullptr);
    brelm_set_wake_func(follow_while_waiting);
    brelm_main_loop();
    return 0;
}

int32_t viewer_action(InputState* input, void* user)
{
    (void)user;
    if (input->pass == BRELM_PASS_IDLE) {
        double now = seconds_now();
        viewer_return_free_memory(now);
        viewer_follow_idle(kProfilePath, now);
        return BRELM_RUN_ON;
    }
    viewer_scroll_step();
    if (input->pass != BRELM_PASS_DRAW) {
        input_pass(input);
        return BRELM_RUN_ON;
    }
    draw_pass();
    return viewer_rest_frame_end(seconds_now()) ? BRELM_WAIT : BRELM_RUN_ON;
}

void viewer_context_created(void)
{
    clear_screen();
    enable_depth_test();
    glMatrixMode(GL_MODELVIEW);
    draw_set_blend(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    text_refresh_view();
}
