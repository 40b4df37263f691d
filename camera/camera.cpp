// camera: the orbit camera. All arithmetic in double precision.
#include "camera/camera.h"

#include <GL/gl.h>

namespace {

const double kPanScale = 2.0;
const double kZoomScale = 8.0;
const double kRotateScale = 100.0;
const double kPitchLimit = 90.0;
const double kMaxDistance = 90000.0;
// The lower bound is a single-precision constant, widened.
const double kMinDistance = double(0.01f);

ViewCamera camera_state;

ViewCamera* resolve(ViewCamera* camera)
{
    return camera ? camera : &camera_state;
}

void pan(ViewCamera* camera, const InputState* input)
{
    double dx = double(camera->last_pointer_x) - double(input->pointer_x);
    double dy = double(camera->last_pointer_y) - double(input->pointer_y);
    const double* m = camera->modelview;
    double d = camera->distance;
    // Rows 0 and 1 of the model-view matrix are the eye's right and up directions.
    for (int axis = 0; axis < 3; axis++) camera->center[axis] += ((dx * m[4 * axis]) * d) * kPanScale;
    for (int axis = 0; axis < 3; axis++) camera->center[axis] += ((dy * m[4 * axis + 1]) * d) * kPanScale;
    for (int axis = 0; axis < 3; axis++) camera->center_target[axis] = camera->center[axis];
}

void zoom(ViewCamera* camera, const InputState* input)
{
    double target = ((double(input->delta_x) - double(input->delta_y)) * kZoomScale + 1.0) * camera->distance;
    if (target > kMaxDistance) target = kMaxDistance;
    if (target < kMinDistance) target = kMinDistance;
    camera->distance_target = target;
}

void rotate(ViewCamera* camera, const InputState* input)
{
    camera->yaw_target += (double(input->pointer_x) - double(camera->last_pointer_x)) * kRotateScale;
    camera->pitch_target -= (double(input->pointer_y) - double(camera->last_pointer_y)) * kRotateScale;
    if (camera->pitch_target > kPitchLimit)
        camera->pitch_target = kPitchLimit;
    else if (camera->pitch_target < -kPitchLimit)
        camera->pitch_target = -kPitchLimit;
    // Wrap both together so the gap the smoothing closes is undisturbed.
    if (camera->yaw > 180.0 && camera->yaw_target > 180.0) {
        camera->yaw -= 360.0;
        camera->yaw_target -= 360.0;
    } else if (camera->yaw < -180.0 && camera->yaw_target < -180.0) {
        camera->yaw += 360.0;
        camera->yaw_target += 360.0;
    }
}

double smooth(double target, double current, double s)
{
    return (1.0 - s) * target + s * current;
}

}  // namespace

ViewCamera* view_camera(void)
{
    return &camera_state;
}

void view_reset(ViewCamera* camera)
{
    camera = resolve(camera);
    camera->pitch = camera->yaw = 0.0;
    camera->pitch_target = camera->yaw_target = 0.0;
    for (int axis = 0; axis < 3; axis++) camera->center[axis] = camera->center_target[axis] = 0.0;
    camera->distance = camera->distance_target = 10.0;
    camera->smoothing = 0.8;
}

void view_grab_start(ViewCamera* camera, const InputState* input)
{
    camera = resolve(camera);
    camera->last_pointer_x = input->pointer_x;
    camera->last_pointer_y = input->pointer_y;
    camera->smoothing = 0.8;
}

void view_update(ViewCamera* camera, const InputState* input)
{
    if (input->pass != BRELM_PASS_INPUT) return;
    camera = resolve(camera);
    // The first frame of a right press only records the pointer.
    if (input->last_button[1] == 1) {
        if (input->button[2] == 1) {
            if (input->button[0] == 1)
                view_reset(camera);
            else
                pan(camera, input);
        } else if (input->button[0] == 1) {
            zoom(camera, input);
        } else {
            rotate(camera, input);
        }
    }
    camera->last_pointer_x = input->pointer_x;
    camera->last_pointer_y = input->pointer_y;
}

void view_apply(ViewCamera* camera)
{
    camera = resolve(camera);
    double s = camera->smoothing;
    for (int axis = 0; axis < 3; axis++)
        camera->center[axis] = smooth(camera->center_target[axis], camera->center[axis], s);
    camera->pitch = smooth(camera->pitch_target, camera->pitch, s);
    camera->yaw = smooth(camera->yaw_target, camera->yaw, s);
    camera->distance = smooth(camera->distance_target, camera->distance, s);
    glTranslated(0.0, 0.0, -camera->distance);
    glRotated(camera->pitch, 1.0, 0.0, 0.0);
    glRotated(camera->yaw, 0.0, 1.0, 0.0);
    glTranslated(-camera->center[0], -camera->center[1], -camera->center[2]);
    view_capture_modelview(camera);
}

void view_capture_modelview(ViewCamera* camera)
{
    glGetDoublev(GL_MODELVIEW_MATRIX, resolve(camera)->modelview);
}
