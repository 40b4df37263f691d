// viewer rest: tells when the picture can no longer change, so the main loop may wait for input.
#include "viewer/viewer.h"

#include "camera/camera.h"
#include "profile/profile.h"

namespace {

// Frames drawn unchanged before the loop may wait: both buffers then hold the same picture.
const uint32_t kSettleFrames = 2;

// What the draw pass's picture depends on, besides input and the table's values.
struct PictureState {
    double camera[6];  // pitch, yaw, distance, centre
    float scroll_position;
    float visible_frames;
    const Section* sections;
    uint32_t section_count;
    uint32_t frame_count;
};

struct Rest {
    PictureState drawn_state;  // as the last frame drew it
    uint32_t quiet_frames;  // frames drawn since the last change
    bool drawn;  // the first picture is a change of its own
};

Rest rest;

PictureState picture_state()
{
    const ViewCamera* camera = view_camera();
    const FrameWindow* window = viewer_frame_window();
    const SectionTable* table = profile_table();
    return PictureState{{camera->pitch, camera->yaw, camera->distance, camera->center[0], camera->center[1],
                         camera->center[2]},
                        window->scroll_position,
                        window->visible_frames,
                        table->sections,
                        table->section_count,
                        table->frame_count};
}

bool same_picture(const PictureState& a, const PictureState& b)
{
    for (int i = 0; i < 6; i++)
        if (a.camera[i] != b.camera[i]) return false;
    return a.scroll_position == b.scroll_position && a.visible_frames == b.visible_frames &&
           a.sections == b.sections && a.section_count == b.section_count && a.frame_count == b.frame_count;
}

}  // namespace

bool viewer_rest_changed(void)
{
    return !rest.drawn || !same_picture(rest.drawn_state, picture_state());
}

bool viewer_rest_frame_end(double now_seconds)
{
    bool changed = brelm_pumped_event_count() > 0 || viewer_rest_changed();
    rest.drawn = true;
    rest.drawn_state = picture_state();
    rest.quiet_frames = changed ? 0 : rest.quiet_frames + 1;
    return rest.quiet_frames >= kSettleFrames && view_settled(nullptr) && !viewer_follow_busy(now_seconds);
}
