// camera: the orbit camera, driven by right-button drags and applied as the model-view transform.
//
// Does NOT read SDL; it reads the platform's InputState only.
//
// Use: view_reset(0) once; in the input pass while the right button is held
// view_grab_start(0, in) on its first frame, then view_update(0, in); in the draw
// pass view_apply(0) after pushing the model-view matrix. Null means the module's camera.
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
void view_apply(ViewCamera* camera);  // smooths towards the targets and multiplies the view onto the current matrix
void view_capture_modelview(ViewCamera* camera);  // copies GL_MODELVIEW_MATRIX into the camera
