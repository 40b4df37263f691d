// viewer: the application: start-up, the action passes, the profile graph and the frame window.
//
// Does NOT own the window or the table; it drives the platform's main loop and draws
// profile_table() through draw/ and text.
//
// Use: viewer_run() from main; the rest is called back by the platform layer.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// The run of consecutive frames the graph shows, and how it moves.
struct FrameWindow {
    float scroll_position;       // first frame, fractional
    float scroll_velocity;       // frames added per input and per draw pass
    float visible_frames;        // frames shown, 10..998
    float visible_frames_saved;  // visible_frames at the start of the current left drag
};

// Application
int viewer_run(int argc, char** argv);  // the whole start-up and main loop; returns main's status
int32_t viewer_action(InputState* input, void* user);  // the per-pass function
void viewer_context_created(void);  // restores GL state after a mode change

// Frame window navigation
FrameWindow* viewer_frame_window(void);  // the one frame window
void viewer_scroll_step(void);  // moves the window by its velocity and clamps it
void viewer_frame_window_input(const InputState* input);  // left-drag scroll and zoom

// Graph
void profile_draw_graph(uint32_t start, uint32_t count);  // draws profile_table() for frames start..start+count-1
