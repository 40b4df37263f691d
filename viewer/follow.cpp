// viewer follow: reloads the recording while a program is still writing it (keys F and R).
//
// Nothing here runs until a key asks for it; until then the recording is read once at start-up.
// Our recorder holds an exclusive flock on the file while it writes and replaces the file only
// by renaming a complete side file over it, so whatever a reader sees under a shared lock is a
// complete recording. Reloads read the file instead of mapping it: a file that another writer
// shrinks meanwhile can only make the load fail, never fault the process.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "profile/profile.h"
#include "viewer/viewer.h"

namespace {

// SDL 1.2 key symbols of letters are their lower-case ASCII codes, shifted or not.
const int32_t kFollowKey = 'f';
const int32_t kReloadKey = 'r';
const double kCheckInterval = 0.25;
// The recorder holds its lock for one frame's write; a reload waits out a few of them at most.
const int kLockTries = 20;
const long kLockWaitNanoseconds = 500000;
const char* const kLockedReason = "its writer keeps it locked";

// What tells one state of the file from the next.
struct FileIdentity {
    bool known;
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified;
};

struct Follow {
    bool following;
    bool reload_asked;
    bool checked;  // a check ran since following began
    double last_check;
    FileIdentity loaded;  // the file as the last good reload read it
    uint8_t* bytes;  // kept between reloads while following
    size_t capacity;
    char reason[192];  // why the last reload failed
    char printed[192];  // the failure reason last printed, so a retry does not repeat it
};

Follow follow;

FileIdentity identity_of(const struct stat& info)
{
    return FileIdentity{true, info.st_dev, info.st_ino, info.st_size, info.st_mtim};
}

bool same_file(const FileIdentity& a, const FileIdentity& b)
{
    return a.known && b.known && a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec;
}

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

bool fail(const char* reason)
{
    std::snprintf(follow.reason, sizeof follow.reason, "%s", reason);
    return false;
}

void release_bytes()
{
    std::free(follow.bytes);
    follow.bytes = nullptr;
    follow.capacity = 0;
}

bool lock_shared(int file)
{
    for (int tries = 0; tries < kLockTries;) {
        if (flock(file, LOCK_SH | LOCK_NB) == 0) return true;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return fail(std::strerror(errno));
        timespec wait = {0, kLockWaitNanoseconds};
        nanosleep(&wait, nullptr);
        tries++;
    }
    return fail(kLockedReason);
}

bool hold_bytes(size_t size)
{
    if (size <= follow.capacity) return true;
    uint8_t* grown = static_cast<uint8_t*>(std::realloc(follow.bytes, size));
    if (!grown) {
        std::snprintf(follow.reason, sizeof follow.reason, "cannot hold its %zu bytes in memory", size);
        return false;
    }
    follow.bytes = grown;
    follow.capacity = size;
    return true;
}

// Reads up to the size seen under the lock; a file that shrank anyway yields what is left.
bool read_file(int file, size_t* size, FileIdentity* identity)
{
    struct stat info;
    if (fstat(file, &info) != 0) return fail(std::strerror(errno));
    if (!S_ISREG(info.st_mode)) return fail("not a regular file");
    *identity = identity_of(info);
    size_t wanted = size_t(info.st_size);
    if (!hold_bytes(wanted)) return false;
    size_t done = 0;
    while (done < wanted) {
        ssize_t got = read(file, follow.bytes + done, wanted - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return fail(std::strerror(errno));
        if (got == 0) break;
        done += size_t(got);
    }
    *size = done;
    return true;
}

// Non-blocking, so that a named pipe in the file's place cannot hang the viewer.
bool read_locked(const char* path, size_t* size, FileIdentity* identity)
{
    int file = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (file < 0) return fail(std::strerror(errno));
    bool done = lock_shared(file) && read_file(file, size, identity);
    close(file);
    return done;
}

bool reload(const char* path)
{
    size_t size = 0;
    FileIdentity identity{};
    bool loaded = read_locked(path, &size, &identity) && profile_reload_memory(follow.bytes, size);
    if (!follow.following) release_bytes();
    if (!loaded && follow.reason[0] == 0) fail(profile_last_detail());
    follow.loaded = loaded ? identity : FileIdentity{};
    return loaded;
}

void reload_and_report(const char* path, bool to_end)
{
    follow.reason[0] = 0;
    if (!reload(path)) {
        // The particulars in parentheses change as a file grows; the reason itself is said once.
        size_t general = std::strcspn(follow.reason, "(");
        if (general == std::strcspn(follow.printed, "(") && std::strncmp(follow.reason, follow.printed, general) == 0)
            return;
        std::memcpy(follow.printed, follow.reason, sizeof follow.printed);
        say("Reload of \"%s\" failed: %s; the table on show stays\n", path, follow.reason);
        return;
    }
    follow.printed[0] = 0;
    if (to_end)
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
        follow.printed[0] = 0;
        viewer_frame_window_to_end();
        say("Follow mode on: the recording is checked every 250 ms and reloaded when it changes\n");
    } else {
        release_bytes();
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
    struct stat info;
    if (stat(path, &info) == 0 && same_file(identity_of(info), follow.loaded)) return;
    reload_and_report(path, true);
}

bool viewer_reload_profile(const char* path)
{
    follow.reason[0] = 0;
    return reload(path);
}

const char* viewer_reload_reason(void)
{
    return follow.reason;
}

bool viewer_follow_busy(double now_seconds)
{
    // The main loop's wait polls every 10 ms, so a check this close is already due.
    const double lead = 0.010;
    if (follow.reload_asked) return true;
    if (!follow.following) return false;
    double since = now_seconds - follow.last_check;
    return !follow.checked || since < 0.0 || since >= kCheckInterval - lead;
}
