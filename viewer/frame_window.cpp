// viewer: the frame window and how left-button drags move and widen it.
#include "viewer/viewer.h"

#include <algorithm>

#include "profile/profile.h"

namespace {

// The scroll limit counts at least this many frames, so short recordings scroll the
// same whatever they hold, and longer ones scroll to their end.
const double kFrameBound = 1000.0;
const double kFrameMargin = 2.0;
const double kVelocityScale = -100.0;
const double kZoomOffset = 1.0;
const double kFewestFrames = 10.0;
const double kMostFrames = 998.0;

FrameWindow window = {0.0f, 0.0f, 100.0f, 100.0f};

}  // namespace

FrameWindow* viewer_frame_window(void)
{
    return &window;
}

void viewer_scroll_step(void)
{
    window.scroll_position = float(double(window.scroll_position) + double(window.scroll_velocity));
    viewer_frame_window_clamp();
}

void viewer_frame_window_clamp(void)
{
    if (window.scroll_position < 0.0f) window.scroll_position = 0.0f;
    double frames = std::max(kFrameBound, double(profile_table()->frame_count));
    double limit = frames - double(window.visible_frames) - kFrameMargin;
    if (double(window.scroll_position) > limit) window.scroll_position = float(limit);
}

// The scroll limit counted over the loaded frames alone, so a short recording's window also ends
// at its newest frames rather than in the empty frames up to 1000.
void viewer_frame_window_to_end(void)
{
    double newest = double(profile_table()->frame_count) - double(window.visible_frames) - kFrameMargin;
    window.scroll_position = float(std::max(0.0, newest));
    window.scroll_velocity = 0.0f;
}

void viewer_frame_window_input(const InputState* input)
{
    if (input->button[0] && !input->button[1]) {
        window.scroll_velocity = float(double(input->delta_x) * kVelocityScale);
        double frames =
            (double(input->click_y) - double(input->pointer_y) + kZoomOffset) * double(window.visible_frames_saved);
        if (frames > kMostFrames)
            frames = kMostFrames;
        else if (frames < kFewestFrames)
            frames = kFewestFrames;
        window.visible_frames = float(frames);
    } else {
        window.visible_frames_saved = window.visible_frames;
    }
}
