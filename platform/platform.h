// platform: the one window, its GL context, the shared input record and the main loop.
//
// Does NOT draw anything or know about profiles; it hands each frame to the
// application's action function in three passes (input 1, idle 2, draw 0). The loop does
// not limit the frame rate; it waits only when the draw pass asks it to (BRELM_WAIT), and
// then until the next event or until the wake function says a frame is due.
//
// Use, in order:
//   brelm_init(argc, argv, 720, 566, 0, "Savrel");   // opens the window, redirects stdout/stderr (line-buffered)
//   brelm_set_context_func(fn);                      // called after every later mode change
//   brelm_set_action_func(fn, 0);                    // called three times per frame
//   brelm_set_wake_func(fn);                         // optional: ends a wait the draw pass asked for
//   brelm_main_loop();                               // returns when the window is closed
//
// SDL appears only inside platform/; this header includes neither SDL nor GL.
#pragma once

#include <cstdint>

// Window size in pixels and the fullscreen flag, as of the last reshape / mode change.
struct ScreenMode {
    uint32_t width;
    uint32_t height;
    uint8_t fullscreen;
};

// The perspective projection the layer sets for the window; fixed after brelm_init.
struct ViewSettings {
    double field_scale;
    double near_plane;
    double far_plane;
};

// One key press or release of the current frame.
struct KeyEvent {
    int32_t symbol;
    uint32_t unicode;  // low 16 bits of SDL's unicode field; written for presses only
    uint8_t down;
};

// The one input record. Button index 0 left, 1 right, 2 middle. Positions are in
// normalised window units: x -1..+1 left to right, y +h/w at the top to -h/w at the bottom.
struct InputState {
    uint8_t button[16];
    uint8_t last_button[16];
    float pointer_x, pointer_y;
    float click_x, click_y;
    float delta_x, delta_y;
    KeyEvent keys[16];
    uint32_t key_count;
    double frame;
    int32_t pass;
};

enum { BRELM_PASS_DRAW = 0,
       BRELM_PASS_INPUT = 1,
       BRELM_PASS_IDLE = 2 };

// What the draw pass returns: carry on at once, or wait for input before the next frame.
enum { BRELM_RUN_ON = 0,
       BRELM_WAIT = 1 };

typedef void (*ContextFunc)(void);
typedef int32_t (*ActionFunc)(InputState* input, void* user);
typedef bool (*WakeFunc)(void);

// Window and GL context
void brelm_init(int argc, char** argv, uint32_t width, uint32_t height, uint8_t fullscreen,
                const char* caption);  // exits with status 1 and one line on stderr when no window can be opened
void brelm_set_context_func(ContextFunc func);  // registers the after-mode-change callback (null clears it)
double brelm_get_screen_mode(uint32_t* width, uint32_t* height, uint8_t* fullscreen);  // returns height/width; null outputs skipped
void brelm_get_view_settings(double* far_plane, double* near_plane, double* field_scale);  // null outputs skipped
bool brelm_set_screen_mode(uint32_t width, uint32_t height, uint8_t fullscreen);  // false when the mode could not be set
void brelm_reshape(uint32_t width, uint32_t height);  // projection and viewport for that size; leaves GL_MODELVIEW selected

// The resize rule: fullscreen at the desktop size when the request comes within 60 pixels of it.
void brelm_resize_target(uint32_t width, uint32_t height, uint32_t desktop_width, uint32_t desktop_height,
                         uint32_t* out_width, uint32_t* out_height, uint8_t* out_fullscreen);

// Input and main loop
InputState* brelm_get_input(void);  // the one input record, valid for the life of the process
int brelm_pump_events(InputState* input);  // drains SDL's queue; 0 as soon as a quit is read, else 1
uint32_t brelm_pumped_event_count(void);  // events of any kind the last pump took, the quit included
void brelm_set_action_func(ActionFunc func, void* user);  // registers the per-pass function (null allowed)
int32_t brelm_run_pass(int32_t pass);  // runs one pass; the action's result, 0 when none is registered
// Asked at every poll of a wait (the loop polls events with sleeps of at most 10 ms); true ends
// the wait. Null: only an event ends it.
void brelm_set_wake_func(WakeFunc func);
void brelm_main_loop(void);  // frames until a quit event, waiting after a draw pass that returned BRELM_WAIT
