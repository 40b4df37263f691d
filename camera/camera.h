// camera: the orbit camera, driven by right-button drags and applied as the model-view transform.
//
// Does NOT read SDL; it reads the platform's InputState only.
//
// Use: view_reset(0) once; in the input pass while the right button is held
// view_grab_start(0, in) on its first frame, then view_update(0, in); in the draw
// pass view_apply(0) after pushing the model-view matrix. Null means the module's camera.
// view_frame_points sets targets that show given points whole (the viewer's Home key);
// view_settled says when the glide has come to rest, so the viewer may stop redrawing.
#pragma once

#include "platform/platform.h"

struct ViewCamera {
    double modelview[16];  // column-major, as glGetDoublev returns it; captured by view_apply
    double pitch, yaw;  // degrees
    double pitch_target, yaw_target;
    double center_target[3];
    double center[3];
    double smoothing;  // share of the current value kept by each view_apply
    double distance;
    double distance_target;
    float last_pointer_x, last_pointer_y;
};

ViewCamera* view_camera(void);  // the module's one camera (what a null argument stands for)
void view_reset(ViewCamera* camera);  // start values: centre 0, distance 10, no rotation
void view_grab_start(ViewCamera* camera, const InputState* input);  // records the pointer at the start of a drag
void view_update(ViewCamera* camera, const InputState* input);  // rotate/zoom/pan/reset; acts only in the input pass
// Smooths towards the targets, landing on one once the gap left is within 1e-9 of (1 + |target|),
// and multiplies the view onto the current matrix.
void view_apply(ViewCamera* camera);
void view_capture_modelview(ViewCamera* camera);  // copies GL_MODELVIEW_MATRIX into the camera
bool view_settled(const ViewCamera* camera);  // true when another view_apply would change no current value
// Centre and distance targets at which, at the target pitch and yaw, every point lies in view and
// the points span `fill` of the window's width or height, whichever is tighter. slope_x and
// slope_y: half the view's width and height over its depth (1 / projection[0], 1 / projection[5]).
// Nothing changes for no points; past 64 points the rest are not taken.
void view_frame_points(ViewCamera* camera, const double (*points)[3], uint32_t count, double slope_x,
                       double slope_y, double fill);
