// camera: the orbit camera. All arithmetic in double precision.
#include "camera/camera.h"

#include <GL/gl.h>

#include <algorithm>
#include <cmath>

namespace {

const double kPanScale = 2.0;
const double kZoomScale = 8.0;
const double kRotateScale = 100.0;
const double kPitchLimit = 90.0;
const double kMaxDistance = 90000.0;
// The lower bound is a single-precision constant, widened.
const double kMinDistance = double(0.01f);
const double kDegrees = 3.14159265358979323846 / 180.0;
// A glide lands on its target once the gap left is this share of it (plus one), far below a pixel.
const double kLandingShare = 1e-9;

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

// Without the landing, a glide towards 0 would creep through ever smaller numbers for
// thousands of frames, and a viewer that rests only when the camera does would not rest.
double smooth(double target, double current, double s)
{
    double next = (1.0 - s) * target + s * current;
    return std::fabs(target - next) <= kLandingShare * (1.0 + std::fabs(target)) ? target : next;
}

// The rotation view_apply multiplies on (pitch about x after yaw about y), as rows.
void view_rotation(double pitch, double yaw, double rows[3][3])
{
    double cp = std::cos(pitch * kDegrees), sp = std::sin(pitch * kDegrees);
    double cy = std::cos(yaw * kDegrees), sy = std::sin(yaw * kDegrees);
    const double m[3][3] = {{cy, 0.0, sy}, {sp * sy, cp, -sp * cy}, {-cp * sy, sp, cp * cy}};
    std::copy(&m[0][0], &m[0][0] + 9, &rows[0][0]);
}

// One axis of the fit: the eye's offset across it and how far back it must stand, for a view
// whose edges leave the eye at +-slope per unit of depth. Depth runs along -z of the rotation.
void fit_axis(const double (*rotated)[3], uint32_t count, int axis, double slope, double* offset,
              double* back)
{
    double low = -HUGE_VAL, high = HUGE_VAL;
    for (uint32_t i = 0; i < count; i++) {
        double across = rotated[i][axis], depth = -rotated[i][2];
        low = std::max(low, across - slope * depth);
        high = std::min(high, across + slope * depth);
    }
    *offset = (low + high) * 0.5;
    *back = (high - low) / (2.0 * slope);
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

bool view_settled(const ViewCamera* camera)
{
    const ViewCamera* c = camera ? camera : &camera_state;
    double s = c->smoothing;
    for (int axis = 0; axis < 3; axis++)
        if (smooth(c->center_target[axis], c->center[axis], s) != c->center[axis]) return false;
    return smooth(c->pitch_target, c->pitch, s) == c->pitch && smooth(c->yaw_target, c->yaw, s) == c->yaw &&
           smooth(c->distance_target, c->distance, s) == c->distance;
}

void view_frame_points(ViewCamera* camera, const double (*points)[3], uint32_t count, double slope_x,
                       double slope_y, double fill)
{
    if (count == 0) return;
    camera = resolve(camera);
    double rows[3][3];
    view_rotation(camera->pitch_target, camera->yaw_target, rows);
    // Rotated points, kept on the stack: a frame of the graph needs a dozen.
    double rotated[64][3];
    count = std::min<uint32_t>(count, 64);
    double nearest = HUGE_VAL, farthest = -HUGE_VAL;
    for (uint32_t i = 0; i < count; i++) {
        for (int r = 0; r < 3; r++)
            rotated[i][r] = rows[r][0] * points[i][0] + rows[r][1] * points[i][1] + rows[r][2] * points[i][2];
        nearest = std::min(nearest, -rotated[i][2]);
        farthest = std::max(farthest, -rotated[i][2]);
    }
    double eye[2], back_x, back_y;
    fit_axis(rotated, count, 0, slope_x * fill, &eye[0], &back_x);
    fit_axis(rotated, count, 1, slope_y * fill, &eye[1], &back_y);
    // The eye stands where the tighter axis needs it; the orbit centre lies mid-depth ahead.
    double eye_depth = std::min(back_x, back_y);
    double middle = (nearest + farthest) * 0.5;
    double distance = std::clamp(middle - eye_depth, kMinDistance, kMaxDistance);
    const double centre[3] = {eye[0], eye[1], -(eye_depth + distance)};
    // The rotation's transpose takes the centre back to world axes.
    for (int axis = 0; axis < 3; axis++)
        camera->center_target[axis] =
            rows[0][axis] * centre[0] + rows[1][axis] * centre[1] + rows[2][axis] * centre[2];
    camera->distance_target = distance;
}
