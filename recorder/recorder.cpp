// recorder: the public functions, from opening a recording to its scopes. How the recorder
// works, its threads and its lock order are told in recorder/internal.h.
#include "recorder/recorder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "recorder/internal.h"

namespace recorder_internal {

Recorder state;
thread_local RecorderStatus last_status = RECORDER_OK;
thread_local int open_scopes = 0;

bool refuse(RecorderStatus status, const char* detail)
{
    last_status = status;
    if (status != RECORDER_NOT_OPEN && status != RECORDER_UNRESOLVED_SECTION)
        std::fprintf(stderr, "savrel recorder: %s%s%s\n", recorder_status_text(status), detail[0] ? ": " : "",
                     detail);
    return false;
}

bool accept(void)
{
    last_status = RECORDER_OK;
    return true;
}

}  // namespace recorder_internal

namespace {

using namespace recorder_internal;

const char* const kSelfGroup = "Savrel";
const char* const kSelfItem = "frame end";
const char* const kSideSuffix = ".rewrite";

std::atomic<bool> self_time{true};

// A frame end or close on the frame thread of a recording that a failed write stopped.
bool on_stopped_frame_thread(void)
{
    return state.stopped && state.frame_thread.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

// The frame thread's calls: refused from another thread while a recording is open.
bool on_frame_thread(const char* call)
{
    if (state.current.load(std::memory_order_acquire) == 0) return refuse(RECORDER_NOT_OPEN, "");
    if (state.frame_thread.load(std::memory_order_relaxed) != std::this_thread::get_id())
        return refuse(RECORDER_NOT_FRAME_THREAD, call);
    return true;
}

// Stops the recording, saying once why; frames_ended counts the frame that failed, if any.
bool write_failed(uint32_t frames_ended)
{
    int error = state.write_error ? state.write_error : errno;
    std::string detail = state.path + ": " + (error == EFBIG ? "the file size limit (RLIMIT_FSIZE)" : std::strerror(error)) +
                         "; the file keeps its " + std::to_string(state.frames_on_disk) + " frames";
    state.frames_not_written = frames_ended - state.frames_on_disk;
    state.stopped = true;
    drop_recording();
    return refuse(RECORDER_WRITE_FAILED, detail.c_str());
}

void warn_open_scope(void)
{
    if (open_scopes == 0 || state.warned_open_scope) return;
    state.warned_open_scope = true;
    std::fprintf(stderr,
                 "savrel recorder: a scope was still open at recorder_frame_end; its time counts in the next "
                 "frame (end scopes before the frame ends)\n");
}

// The recorder's own time in the last frame end goes into this one: as its own item, and
// into a measured total, so that no time the recorder takes is hidden between frames.
bool end_frame(bool measured, float given_total_milliseconds)
{
    std::chrono::steady_clock::time_point entered = std::chrono::steady_clock::now();
    double total_milliseconds = given_total_milliseconds;
    if (measured)
        total_milliseconds = std::chrono::duration<double, std::milli>(entered - state.frame_start).count() +
                             state.self_milliseconds;
    warn_open_scope();
    std::lock_guard<std::mutex> hold(state.mutex);
    collect_buffers();
    refine_clock();
    if (state.self_item >= 0) state.items[state.self_item].fixed += to_fixed(float(state.self_milliseconds));
    settle_item_values();
    if (!write_frame(to_seconds(total_milliseconds))) return write_failed(state.frames_written + 1);
    state.frames_written++;
    clear_frame();
    state.frame_start = std::chrono::steady_clock::now();
    state.self_milliseconds = std::chrono::duration<double, std::milli>(state.frame_start - entered).count();
    return accept();
}

// A side file whose writer's lock nobody holds was left by a writer that died.
void remove_stale_side_file(const std::string& path)
{
    std::string side_path = path + kSideSuffix;
    int fd = open(side_path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    if (hold_writer_lock(fd)) unlink(side_path.c_str());
    close(fd);
}

// The file at path, held against other writers; -1 with the status set when refused.
int open_held(const char* path)
{
    // Not truncated by O_TRUNC: a file that another recorder writes stays untouched.
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        refuse(RECORDER_CANNOT_OPEN, path);
        return -1;
    }
    if (hold_writer_lock(fd)) return fd;
    int error = errno;
    close(fd);
    refuse(error == EAGAIN || error == EACCES ? RECORDER_IN_USE : RECORDER_CANNOT_OPEN, path);
    return -1;
}

void start_sections(void)
{
    reset_sections();
    state.self_item = self_time.load(std::memory_order_relaxed) ? find_or_add_item(kSelfGroup, kSelfItem) : -1;
    state.self_milliseconds = 0;
    encode_structure();
}

}  // namespace

// Recording.

bool recorder_open(const char* path)
{
    std::lock_guard<std::mutex> once(state.lifecycle);
    if (state.current.load(std::memory_order_relaxed) != 0) return refuse(RECORDER_ALREADY_OPEN, path);
    int fd = open_held(path);
    if (fd < 0) return false;
    remove_stale_side_file(path);
    calibrate_clock();
    std::lock_guard<std::mutex> hold(state.mutex);
    state.fd = fd;
    state.path = path;
    state.warned_open_scope = false;
    state.stopped = false;
    state.frames_not_written = 0;
    state.write_error = 0;
    state.frame_bytes.resize(kMaxFrameBytes);
    start_sections();
    state.frame_thread.store(std::this_thread::get_id(), std::memory_order_relaxed);
    if (!write_first(fd)) return write_failed(0);
    state.current.store(++state.recordings, std::memory_order_release);
    state.frame_start = std::chrono::steady_clock::now();
    return accept();
}

bool recorder_close(void)
{
    if (state.current.load(std::memory_order_acquire) == 0 && on_stopped_frame_thread()) {
        state.stopped = false;
        std::string detail = state.path + ": " + std::to_string(state.frames_not_written) + " frames were not written";
        return refuse(RECORDER_WRITE_FAILED, detail.c_str());
    }
    if (!on_frame_thread("recorder_close")) return false;
    std::lock_guard<std::mutex> once(state.lifecycle);
    std::lock_guard<std::mutex> hold(state.mutex);
    // Sections named after the last frame still appear, reading 0 in every frame.
    if (!finish_file()) return write_failed(state.frames_written);
    drop_recording();
    return accept();
}

void recorder_set_self_time(bool on)
{
    self_time.store(on, std::memory_order_relaxed);
}

uint32_t recorder_frames_not_written(void)
{
    return state.frames_not_written;
}

bool recorder_is_open(void)
{
    return state.current.load(std::memory_order_acquire) != 0;
}

// Frames.

void recorder_frame_begin(void)
{
    if (on_frame_thread("recorder_frame_begin")) state.frame_start = std::chrono::steady_clock::now();
}

bool recorder_frame_end(void)
{
    if (on_stopped_frame_thread()) state.frames_not_written++;
    if (!on_frame_thread("recorder_frame_end")) return false;
    return end_frame(true, 0.0f);
}

bool recorder_frame_end_total(float total_milliseconds)
{
    if (on_stopped_frame_thread()) state.frames_not_written++;
    if (!on_frame_thread("recorder_frame_end_total")) return false;
    return end_frame(false, total_milliseconds);
}

// Sections, notes and outcomes.

RecorderSection recorder_section(const char* group, const char* item)
{
    uint32_t recording = state.current.load(std::memory_order_acquire);
    if (recording == 0) {
        refuse(RECORDER_NOT_OPEN, "");
        return RecorderSection{-1, 0};
    }
    RecorderSection section{-1, recording};
    if (!name_fits(group) || !name_fits(item)) {
        refuse(RECORDER_BAD_NAME, name_fits(group) ? item : group);
        return section;
    }
    section.index = hash_entry(group, item);
    if (section.index < 0) {
        std::lock_guard<std::mutex> hold(state.mutex);
        if (state.current.load(std::memory_order_relaxed) != recording) {
            refuse(RECORDER_NOT_OPEN, "");
            return section;
        }
        section.index = find_or_add_item(group, item);
    }
    if (section.index >= 0) accept();
    return section;
}

bool recorder_add(RecorderSection section, float milliseconds)
{
    uint32_t recording = state.current.load(std::memory_order_acquire);
    if (recording == 0) return refuse(RECORDER_NOT_OPEN, "");
    if (section.recording != recording || section.index < 0 || section.index >= SAVREL_MAX_SECTIONS)
        return refuse(RECORDER_UNRESOLVED_SECTION, "");
    add_to_totals(recording, section.index, 0, to_fixed(milliseconds));
    return accept();
}

bool recorder_add_named(const char* group, const char* item, float milliseconds)
{
    RecorderSection section = recorder_section(group, item);
    return section.index >= 0 && recorder_add(section, milliseconds);
}

bool recorder_group_add(const char* group, float milliseconds)
{
    uint32_t recording = state.current.load(std::memory_order_acquire);
    if (recording == 0) return refuse(RECORDER_NOT_OPEN, "");
    if (!name_fits(group)) return refuse(RECORDER_BAD_NAME, group);
    int32_t entry = hash_entry(group, "");
    int32_t index = entry < kEmptySlot ? -entry - 2 : -1;
    if (index < 0) {
        std::lock_guard<std::mutex> hold(state.mutex);
        if (state.current.load(std::memory_order_relaxed) != recording) return refuse(RECORDER_NOT_OPEN, "");
        index = find_or_add_group(group);
    }
    if (index < 0) return false;
    add_to_totals(recording, group_slot(index), 1, to_fixed(milliseconds));
    return accept();
}

bool recorder_note(const char* text)
{
    uint32_t recording = state.current.load(std::memory_order_acquire);
    if (recording == 0) return refuse(RECORDER_NOT_OPEN, "");
    if (strnlen(text, kNoteLength + 1) > kNoteLength) return refuse(RECORDER_NOTE_TOO_LONG, "");
    std::lock_guard<std::mutex> hold(state.mutex);
    if (state.current.load(std::memory_order_relaxed) != recording) return refuse(RECORDER_NOT_OPEN, "");
    if (state.note_count >= SAVREL_MAX_NOTES) return refuse(RECORDER_TOO_MANY_NOTES, text);
    std::memcpy(state.notes[state.note_count++], text, std::strlen(text) + 1);
    return accept();
}

RecorderStatus recorder_last_status(void)
{
    return last_status;
}

const char* recorder_status_text(RecorderStatus status)
{
    switch (status) {
    case RECORDER_OK: return "ok";
    case RECORDER_NOT_OPEN: return "no recording is open";
    case RECORDER_ALREADY_OPEN: return "a recording is already open";
    case RECORDER_CANNOT_OPEN: return "cannot create the recording file";
    case RECORDER_WRITE_FAILED: return "writing the recording failed; it was stopped";
    case RECORDER_BAD_NAME: return "a section name must have 1 to 31 characters";
    case RECORDER_TOO_MANY_SECTIONS: return "too many sections (at most 4096 with groups and the root)";
    case RECORDER_NOTE_TOO_LONG: return "a note has at most 255 characters";
    case RECORDER_TOO_MANY_NOTES: return "too many notes in one frame (at most 16)";
    case RECORDER_UNRESOLVED_SECTION: return "the section was not resolved in this recording";
    case RECORDER_NOT_FRAME_THREAD: return "only the thread that opened the recording may call this";
    case RECORDER_IN_USE: return "another recorder is writing this file; it was left as it is";
    }
    return "unknown recorder status";
}

// Scopes.

RecorderToken recorder_scope_begin(RecorderSection* site, const char* group, const char* item)
{
    RecorderToken token = {-1, state.current.load(std::memory_order_acquire), 0};
    if (token.recording == 0) {
        last_status = RECORDER_NOT_OPEN;
        return token;
    }
    // Many threads may pass one call site: its section is published recording last.
    std::atomic_ref<uint32_t> site_recording(site->recording);
    std::atomic_ref<int32_t> site_index(site->index);
    int32_t index;
    if (site_recording.load(std::memory_order_acquire) == token.recording) {
        index = site_index.load(std::memory_order_relaxed);
    } else {
        RecorderSection section = recorder_section(group, item);
        if (section.recording != token.recording) return token;
        site_index.store(section.index, std::memory_order_relaxed);
        site_recording.store(section.recording, std::memory_order_release);
        index = section.index;
    }
    if (index < 0 || index >= SAVREL_MAX_SECTIONS) return token;
    token.index = index;
    open_scopes++;
    token.start = clock_ticks();
    return token;
}

void recorder_scope_end(RecorderToken token)
{
    if (token.index < 0) return;
    uint64_t end = clock_ticks();
    open_scopes--;
    if (token.recording == state.current.load(std::memory_order_relaxed))
        add_to_totals(token.recording, token.index, end - token.start, 0);
}

RecorderScope::RecorderScope(RecorderSection* site, const char* group, const char* item)
    : token(recorder_scope_begin(site, group, item))
{
}

RecorderScope::~RecorderScope()
{
    recorder_scope_end(token);
}
