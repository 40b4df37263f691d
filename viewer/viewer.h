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
    float scroll_position;  // first frame, fractional
    float scroll_velocity;  // frames added per input and per draw pass
    float visible_frames;  // frames shown, 10..998
    float visible_frames_saved;  // visible_frames at the start of the current left drag
};

// Application
int viewer_run(int argc, char** argv);  // the whole start-up and main loop; returns main's status
int32_t viewer_action(InputState* input, void* user);  // the per-pass function; BRELM_WAIT from a draw pass at rest
void viewer_context_created(void);  // restores GL state after a mode change

// Memory the GL driver frees each frame
void viewer_keep_freed_memory(void);  // keeps freed memory in the process instead of returning it at once
bool viewer_return_free_memory(double now_seconds);  // every 2 s of the given clock, returns all free pages; true when it did

// Frame window navigation
FrameWindow* viewer_frame_window(void);  // the one frame window
void viewer_scroll_step(void);  // moves the window by its velocity and clamps it
void viewer_frame_window_clamp(void);  // holds the first frame between 0 and the scroll limit
void viewer_frame_window_to_end(void);  // stops the scrolling; the window ends at the loaded frames' scroll limit
void viewer_frame_window_input(const InputState* input);  // left-drag scroll and zoom

// Following a recording that is still being written; off until F or R is pressed
void viewer_follow_input(const InputState* input);  // F toggles following, R asks for a reload; a left drag ends it
void viewer_follow_idle(const char* path, double now_seconds);  // the asked reload; when following, a check per 250 ms
// A reload is pending or a follow check falls due within 10 ms of now; the idle loop must not wait
bool viewer_follow_busy(double now_seconds);
bool viewer_reload_profile(const char* path);  // reads through profile/reader.h; replaces the table only when it loads
const char* viewer_reload_reason(void);  // why the last reload failed; "" after one that loaded

// Resting: the main loop waits while the picture cannot change
// Draw pass, after drawing: true when this frame took no event, changed nothing since the last
// one, the camera is at rest, no reload is due and two frames have been drawn since the last change.
bool viewer_rest_frame_end(double now_seconds);
// True when camera, frame window or table differ from what the last frame drew. A reload always
// changes the table's sections or counts: a new table is built while the old one still lives.
bool viewer_rest_changed(void);

// Home key
void viewer_home_input(const InputState* input);  // Home frames the graph
void viewer_frame_graph(void);  // glides the camera until the graph's box and pies span 90% of the window's width or height

// Graph
void profile_draw_graph(uint32_t start, uint32_t count);  // draws profile_table() for frames start..start+count-1;
                                                          // nothing for count 0 or an empty or frameless table

// Graph steps, public so tests can check the numbers without reading pixels. Every result
// is finite: a zero divisor gives a zero share, height, depth or size.
struct Section;
struct SectionTable;

// A label's place: translation before the mirroring scale, and the text size.
struct GraphLabel {
    float x, y, z;
    float size;
};

// Window sums into sum, spans into start/end; returns frame_total_sum (count - 1 frames).
float profile_graph_layout(SectionTable* table, uint32_t start, uint32_t count);
double profile_graph_shade(float earlier, float later);  // brightness of a band quad between two frames
void profile_graph_band(const SectionTable* table, const Section* item, uint32_t start, uint32_t count,
                        float frame_total_sum, float* vertices, float* colours);  // (count - 1) * 12 floats each
GraphLabel profile_graph_span_label(const Section* entry, float width);  // width: the name measured at size 1
void profile_graph_slice(float vertices[216], double center_x, double radius, double fraction,
                         double angle);  // 24 triangles from angle to angle + fraction (in turns)
