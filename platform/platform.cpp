// platform: window, GL context, event pump and main loop on SDL 1.2.
#include "platform/platform.h"

#include <SDL/SDL.h>
#include <GL/gl.h>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const uint32_t kResizeMargin = 60;
// SDL 1.2 has no timed wait for events, so a wait polls; this bounds how late it sees one.
const long kWaitPollNanoseconds = 10 * 1000 * 1000;

struct PlatformState {
    ScreenMode screen_mode;
    ViewSettings view_settings;
    uint32_t desktop_width = 800;
    uint32_t desktop_height = 600;
    ContextFunc context_func;
    InputState input;
    uint8_t active = 1;
    ActionFunc action_func;
    void* action_user;
    WakeFunc wake_func;
    uint32_t pumped_events;
};

PlatformState state;

#ifdef SAVREL_GL_CHECK
// Debug builds report every GL error once per frame, for the soak test to find.
void check_gl_errors(double frame)
{
    for (GLenum error = glGetError(); error != GL_NO_ERROR; error = glGetError())
        std::fprintf(stderr, "GL error 0x%04x in frame %.0f\n", unsigned(error), frame);
}
#endif

// Opened apart first: freopen closes the stream when it fails, and a stream whose file
// cannot be written should stay where it was, not go silent.
void reopen_stream(FILE* stream, const char* path, const char* stream_name, int original_error)
{
    int probe = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (probe >= 0) close(probe);
    if (probe < 0 || !std::freopen(path, "w", stream)) {
        dprintf(original_error, "savrel: cannot write %s (%s); %s is not redirected\n", path, std::strerror(errno),
                stream_name);
        return;
    }
    // Each line is in the file as soon as it is printed, so a killed viewer loses none.
    std::setvbuf(stream, nullptr, _IOLBF, BUFSIZ);
}

// Without SDL_VIDEODRIVER, SDL 1.2 falls back to text-mode drivers that take the terminal
// over and give no OpenGL; x11 is the one driver here that can open the window.
bool choose_video_driver()
{
    if (std::getenv("SDL_VIDEODRIVER")) return false;
    setenv("SDL_VIDEODRIVER", "x11", 1);
    return true;
}

void close_streams_and_quit()
{
    std::fflush(stdout);
    std::fflush(stderr);
    std::fclose(stdout);
    std::fclose(stderr);
    SDL_Quit();
}

// Sizes are in and out: a zero size becomes the desktop size at fullscreen, and the
// caller keeps that substitution even when the mode fails.
bool brelm_set_video_mode(uint32_t& width, uint32_t& height, uint8_t& fullscreen)
{
    if (width == 0 || height == 0) {
        width = state.desktop_width;
        height = state.desktop_height;
        fullscreen = 1;
    }
    SDL_GL_SetAttribute(SDL_GL_RED_SIZE, 8);
    SDL_GL_SetAttribute(SDL_GL_GREEN_SIZE, 8);
    SDL_GL_SetAttribute(SDL_GL_BLUE_SIZE, 8);
    SDL_GL_SetAttribute(SDL_GL_ALPHA_SIZE, 8);
    SDL_GL_SetAttribute(SDL_GL_STENCIL_SIZE, 8);
    SDL_GL_SetAttribute(SDL_GL_DEPTH_SIZE, 24);
    SDL_GL_SetAttribute(SDL_GL_DOUBLEBUFFER, 1);
    Uint32 flags = SDL_OPENGL | SDL_RESIZABLE | (fullscreen ? SDL_FULLSCREEN : 0);
    if (!SDL_SetVideoMode(int(width), int(height), 0, flags)) return false;
    brelm_reshape(width, height);
    if (state.context_func) state.context_func();
    return true;
}

void handle_active_event(const SDL_ActiveEvent& event)
{
    if (event.state & SDL_APPACTIVE) state.active = event.gain ? 1 : 0;
    if (event.state & SDL_APPINPUTFOCUS) {
        if (event.gain) {
            state.active = 1;
        } else {
            state.active = 0;
            SDL_ShowCursor(1);
        }
    }
}

void handle_key_event(InputState* input, const SDL_KeyboardEvent& event, bool down)
{
    if (input->key_count >= 16) return;
    KeyEvent& entry = input->keys[input->key_count];
    entry.symbol = int32_t(event.keysym.sym);
    if (down) entry.unicode = uint32_t(event.keysym.unicode) & 0xFFFFu;
    entry.down = down ? 1 : 0;
    input->key_count++;
}

void handle_motion_event(InputState* input, const SDL_MouseMotionEvent& event)
{
    if (!state.active) return;
    uint32_t w, h;
    brelm_get_screen_mode(&w, &h, nullptr);
    double x = (double(event.x) / double(w)) * 2.0 - 1.0;
    double y = double(h) / double(w) - (double(event.y) / double(w)) * 2.0;
    input->delta_x = float(x - double(input->pointer_x));
    input->delta_y = float(y - double(input->pointer_y));
    input->pointer_x = float(x);
    input->pointer_y = float(y);
}

void handle_button_event(InputState* input, const SDL_MouseButtonEvent& event, uint8_t value)
{
    switch (event.button) {
    case SDL_BUTTON_LEFT: input->button[0] = value; break;
    case SDL_BUTTON_RIGHT: input->button[1] = value; break;
    case SDL_BUTTON_MIDDLE: input->button[2] = value; break;
    default: break;
    }
}

void handle_resize_event(const SDL_ResizeEvent& event)
{
    uint32_t width, height;
    uint8_t fullscreen;
    brelm_resize_target(uint32_t(event.w), uint32_t(event.h), state.desktop_width, state.desktop_height, &width,
                        &height, &fullscreen);
    brelm_set_screen_mode(width, height, fullscreen);
}

void wait_for_wake()
{
    SDL_Event event;
    for (;;) {
        SDL_PumpEvents();
        // An error reading the queue ends the wait too: the next pump will meet it.
        if (SDL_PeepEvents(&event, 1, SDL_PEEKEVENT, SDL_ALLEVENTS) != 0) return;
        if (state.wake_func && state.wake_func()) return;
        timespec pause = {0, kWaitPollNanoseconds};
        nanosleep(&pause, nullptr);
    }
}

}  // namespace

void brelm_init(int argc, char** argv, uint32_t width, uint32_t height, uint8_t fullscreen, const char* caption)
{
    (void)argc;
    (void)argv;
    bool chosen_driver = choose_video_driver();
    if (SDL_Init(SDL_INIT_VIDEO) < 0) {
        const char* display = std::getenv("DISPLAY");
        if (!chosen_driver)
            std::fprintf(stderr, "Unable to initialize SDL: %s\n", SDL_GetError());
        else if (!display || !*display)
            std::fprintf(stderr, "savrel: no display (DISPLAY is not set); run it on a desktop or under Xvfb.\n");
        else
            std::fprintf(stderr, "savrel: no display (cannot open DISPLAY %s); run it on a desktop or under Xvfb.\n",
                         display);
        // Failing to start is an error, not a clean exit.
        std::exit(1);
    }
    const SDL_VideoInfo* info = SDL_GetVideoInfo();
    std::printf("SDL_GetVideoInfo() desktop resolution %u %u -  %u %u\n", unsigned(info->current_w),
                unsigned(info->current_h), width, height);
    std::fflush(stdout);
    state.desktop_width = uint32_t(info->current_w);
    state.desktop_height = uint32_t(info->current_h);

    if (!brelm_set_video_mode(width, height, fullscreen)) {
        width >>= 1;
        height >>= 1;
        fullscreen = 0;
        if (!brelm_set_video_mode(width, height, fullscreen)) {
            std::fprintf(stderr, "Unable to set a %ux%u video mode: %s\n", width, height, SDL_GetError());
            SDL_Quit();
            std::exit(1);
        }
    }
    brelm_reshape(width, height);
    SDL_WM_SetCaption(caption, nullptr);
    SDL_EnableUNICODE(1);
    SDL_ShowCursor(1);

    std::fflush(stdout);
    std::fflush(stderr);
    // Kept for the note on a stream that cannot be redirected, even when it is standard error.
    int original_error = dup(STDERR_FILENO);
    reopen_stream(stdout, "my_stdout.txt", "standard output", original_error);
    reopen_stream(stderr, "my_stderr.txt", "standard error", original_error);
    if (original_error >= 0) close(original_error);
    std::atexit(close_streams_and_quit);
    std::printf("window_size_x %u window_size_y %u\n", width, height);

    state.view_settings.field_scale = 1.0;
    state.view_settings.near_plane = 0.005;
    state.view_settings.far_plane = 10000.0;
    state.screen_mode.width = width;
    state.screen_mode.height = height;
    state.screen_mode.fullscreen = fullscreen;
}

void brelm_set_context_func(ContextFunc func)
{
    state.context_func = func;
}

double brelm_get_screen_mode(uint32_t* width, uint32_t* height, uint8_t* fullscreen)
{
    if (width) *width = state.screen_mode.width;
    if (height) *height = state.screen_mode.height;
    if (fullscreen) *fullscreen = state.screen_mode.fullscreen;
    return double(state.screen_mode.height) / double(state.screen_mode.width);
}

void brelm_get_view_settings(double* far_plane, double* near_plane, double* field_scale)
{
    if (far_plane) *far_plane = state.view_settings.far_plane;
    if (near_plane) *near_plane = state.view_settings.near_plane;
    if (field_scale) *field_scale = state.view_settings.field_scale;
}

bool brelm_set_screen_mode(uint32_t width, uint32_t height, uint8_t fullscreen)
{
    std::printf("Coming from Fullscreen %u\n", unsigned(fullscreen));
    uint32_t w = width, h = height;
    uint8_t fs = fullscreen;
    if (!brelm_set_video_mode(w, h, fs)) return false;
    state.screen_mode.width = w;
    state.screen_mode.height = h;
    std::printf("Finaly setting from Fullscreen %u\n", unsigned(fs));
    state.screen_mode.fullscreen = fs;
    brelm_reshape(w, h);
    return true;
}

void brelm_reshape(uint32_t width, uint32_t height)
{
    state.screen_mode.width = width;
    state.screen_mode.height = height;
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    float aspect = float(width) / float(height);
    double k = 1.0 / double(aspect);
    glFrustum(-0.005, 0.005, -(0.005 * k), 0.005 * k, 0.005, 10000.0);
    glViewport(0, 0, GLsizei(width), GLsizei(height));
    glMatrixMode(GL_MODELVIEW);
}

void brelm_resize_target(uint32_t width, uint32_t height, uint32_t desktop_width, uint32_t desktop_height,
                         uint32_t* out_width, uint32_t* out_height, uint8_t* out_fullscreen)
{
    // Unsigned on purpose: a desktop smaller than the margin wraps and never goes fullscreen.
    if (desktop_width - kResizeMargin < width && desktop_height - kResizeMargin < height) {
        *out_width = desktop_width;
        *out_height = desktop_height;
        *out_fullscreen = 1;
    } else {
        *out_width = width;
        *out_height = height;
        *out_fullscreen = 0;
    }
}

InputState* brelm_get_input(void)
{
    return &state.input;
}

int brelm_pump_events(InputState* input)
{
    SDL_Event event;
    state.pumped_events = 0;
    while (SDL_PollEvent(&event)) {
        state.pumped_events++;
        switch (event.type) {
        case SDL_ACTIVEEVENT: handle_active_event(event.active); break;
        case SDL_KEYDOWN: handle_key_event(input, event.key, true); break;
        case SDL_KEYUP: handle_key_event(input, event.key, false); break;
        case SDL_MOUSEMOTION: handle_motion_event(input, event.motion); break;
        case SDL_MOUSEBUTTONDOWN: handle_button_event(input, event.button, 1); break;
        case SDL_MOUSEBUTTONUP: handle_button_event(input, event.button, 0); break;
        case SDL_QUIT: return 0;
        case SDL_VIDEORESIZE: handle_resize_event(event.resize); break;
        default: break;
        }
    }
    return 1;
}

uint32_t brelm_pumped_event_count(void)
{
    return state.pumped_events;
}

void brelm_set_action_func(ActionFunc func, void* user)
{
    state.action_func = func;
    state.action_user = user;
}

int32_t brelm_run_pass(int32_t pass)
{
    state.input.pass = pass;
    if (pass == BRELM_PASS_DRAW) {
        glPushMatrix();
        int32_t result = state.action_func ? state.action_func(&state.input, state.action_user) : 0;
        glPopMatrix();
        return result;
    }
    return state.action_func ? state.action_func(&state.input, state.action_user) : 0;
}

void brelm_set_wake_func(WakeFunc func)
{
    state.wake_func = func;
}

void brelm_main_loop(void)
{
    InputState* input = brelm_get_input();
    while (brelm_pump_events(input)) {
        if (input->button[0] == 0 && input->last_button[0] == 0) {
            input->click_x = input->pointer_x;
            input->click_y = input->pointer_y;
        }
        brelm_run_pass(BRELM_PASS_INPUT);
        brelm_run_pass(BRELM_PASS_IDLE);
        int32_t drawn = brelm_run_pass(BRELM_PASS_DRAW);
        input->delta_x = 0.0f;
        input->delta_y = 0.0f;
        input->key_count = 0;
#ifdef SAVREL_GL_CHECK
        check_gl_errors(input->frame);
#endif
        SDL_GL_SwapBuffers();
        input->frame += 1.0;
        for (int i = 0; i < 3; i++) input->last_button[i] = input->button[i];
        // Where the swap does not wait for the display, redrawing an unchanging picture
        // would take a whole core from the program being profiled.
        if (drawn == BRELM_WAIT) wait_for_wake();
    }
}
