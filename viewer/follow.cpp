// viewer follow: reloads the recording while a program is still writing it (keys F and R).
//
// Nothing here runs until a key asks for it; until then the recording is read once at start-up.
// Reading goes through profile/reader.h, which takes the shared lock, never maps the file and
// never accepts a read that a write crossed: another writer can at worst make a reload fail.
#include <cstdarg>
#include <cstdio>

#include "profile/profile.h"
#include "profile/reader.h"
#include "viewer/viewer.h"

namespace {

// SDL 1.2 key symbols of letters are their lower-case ASCII codes, shifted or not.
const int32_t kFollowKey = 'f';
const int32_t kReloadKey = 'r';
const double kCheckInterval = 0.25;
// How early a check that falls due counts as work to do, so that an idle loop wakes for it.
const double kBusyLead = 0.010;

// A failure as its statuses name it, so that a retry failing the same way is not said again.
struct Failure {
    bool known;
    RecordingStatus reading;
    ProfileStatus loading;
};

struct Follow {
    bool following;
    bool reload_asked;
    bool checked;  // a check ran since following began
    double last_check;
    RecordingStatus last_read;
    Failure printed;  // the failure last printed
};

Follow follow;

void say(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The output goes to a file that a user or a test watches while the viewer runs.
void say(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fflush(stdout);
}

bool reload(const char* path)
{
    follow.last_read = recording_reload(path);
    bool loaded = follow.last_read == RECORDING_OK;
    // The bytes are kept between reloads only while following.
    if (!follow.following) recording_release();
    return loaded;
}

void reload_and_report(const char* path, bool to_end)
{
    if (!reload(path)) {
        // The particulars change as a file grows; the reason itself is said once.
        Failure failure = {true, follow.last_read, profile_last_status()};
        if (follow.printed.known && failure.reading == follow.printed.reading &&
            failure.loading == follow.printed.loading)
            return;
        follow.printed = failure;
        say("Reload of \"%s\" failed: %s; the table on show stays\n", path, recording_last_detail());
        return;
    }
    follow.printed = Failure{};
    // A window left past the recording's last frame (a shorter one replaced it) would show nothing.
    const FrameWindow* shown = viewer_frame_window();
    double last_shown = double(shown->scroll_position) + double(shown->visible_frames) - 1.0;
    if (to_end || last_shown > double(profile_table()->frame_count) - 1.0)
        viewer_frame_window_to_end();
    else
        viewer_frame_window_clamp();
    const SectionTable* table = profile_table();
    const FrameWindow* window = viewer_frame_window();
    uint32_t first = uint32_t(window->scroll_position);
    uint32_t last = first + uint32_t(window->visible_frames) - 1;
    const char* detail = profile_last_status() == PROFILE_OK ? "" : profile_last_detail();
    say("Reloaded \"%s\": %u frames, %u sections; frames %u to %u on show%s%s\n", path, table->frame_count,
        table->section_count, first, last, detail[0] ? "; " : "", detail);
}

void set_following(bool on, const char* why)
{
    if (on == follow.following) return;
    follow.following = on;
    if (on) {
        follow.checked = false;
        follow.printed = Failure{};
        viewer_frame_window_to_end();
        say("Follow mode on: the recording is checked every 250 ms and reloaded when it changes\n");
    } else {
        recording_release();
        say("Follow mode off%s\n", why);
    }
}

}  // namespace

void viewer_follow_input(const InputState* input)
{
    for (uint32_t k = 0; k < input->key_count && k < 16; k++) {
        const KeyEvent& key = input->keys[k];
        if (!key.down) continue;
        if (key.symbol == kFollowKey)
            set_following(!follow.following, "");
        else if (key.symbol == kReloadKey)
            follow.reload_asked = true;
    }
    if (input->button[0] && !input->button[1]) set_following(false, ": the left button took the frame window");
}

void viewer_follow_idle(const char* path, double now_seconds)
{
    if (follow.reload_asked) {
        follow.reload_asked = false;
        reload_and_report(path, false);
    }
    if (!follow.following) return;
    // A clock that went backwards counts as due, so a jump can never stop the checks.
    double since = now_seconds - follow.last_check;
    if (follow.checked && since >= 0.0 && since < kCheckInterval) return;
    follow.checked = true;
    follow.last_check = now_seconds;
    if (recording_changed(path)) reload_and_report(path, true);
}

bool viewer_follow_busy(double now_seconds)
{
    if (follow.reload_asked) return true;
    if (!follow.following || !follow.checked) return follow.following;
    double since = now_seconds - follow.last_check;
    return since < 0.0 || since >= kCheckInterval - kBusyLead;
}

bool viewer_reload_profile(const char* path)
{
    return reload(path);
}

const char* viewer_reload_reason(void)
{
    return recording_last_detail();
}
