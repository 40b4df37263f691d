// recorder: writes frame records and keeps a fresh structure record after the last one.
//
// The file is [frame records][structure record]. Each frame end writes the new frame over
// the old structure record and a new structure record after it, in one pwritev: the
// structure only grows, so the file never ends in stale bytes. Values are stored in seconds.
//
// Threads: each thread that records gets a buffer of its own, registered here, holding a
// running total per section that only its thread writes. recorder_frame_end takes from every
// buffer what its totals grew by since the last frame end; totals never reset, so a value
// is taken exactly once, and a thread that exits leaves its buffer to be taken one last time.
// Names resolve without a lock when known; adding one, notes, and the frame end take a mutex.
//
// Late sections: values are matched to sections by position, so a new item in a group that
// frames on disk already have later groups after would shift those frames. Then a thread of
// the recorder's own copies the frames written so far, padded with zeros, into a side file,
// while the frame thread keeps writing each new frame twice: to the old file in its old
// shape (without the new sections, so the old file stays a complete recording), and to a
// queue that the copying thread appends to the side file. Once the copy has caught up, the
// frame thread writes its frame and the new structure record into the side file and renames
// it over the recording. The frame thread's cost is the extra encoding, a thread start and
// the rename. A crash before the rename keeps the old file with every completed frame, but
// without the new sections' values of the frames written during the copy. A small file is
// copied on the frame thread right away.
//
// Readers that follow the file while it grows: every write that changes the file at the
// recording's path (the first write, each frame's pwritev) happens under an exclusive
// flock(2) on it, released right after. A reader that opens the path and reads under a
// shared flock therefore always sees a complete recording whose frames are a prefix of the
// final one. A side file is complete, frames and structure record, before it is renamed
// over the recording, and the replaced file is never written again.
#include "recorder/recorder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace {

const size_t kNameLength = RECORDER_NAME_SIZE - 1;
const size_t kNoteLength = RECORDER_NOTE_SIZE - 1;
// Open addressing over (group, item) names; twice the section limit keeps probes short.
const uint32_t kHashSize = 2 * RECORDER_MAX_SECTIONS;
const int32_t kEmptySlot = -1;
const uint8_t kFrameTag = 1;
const uint8_t kStructureTag = 0;
// Tag, total, group count and note count.
const size_t kFrameFixedBytes = 13;
const size_t kNoteBytes = RECORDER_MAX_NOTES * RECORDER_NOTE_SIZE;
const size_t kMaxFrameBytes = kFrameFixedBytes + 12 * size_t(RECORDER_MAX_SECTIONS) + kNoteBytes;
const size_t kCopyChunk = 1 << 20;
// Copies this small take the frame thread well under a millisecond, and then the file is
// never without a section's values, not even during the copy.
const uint64_t kInlineRewriteBytes = 16 << 10;
const char* const kRewriteSuffix = ".rewrite";
const double kCalibrationMilliseconds = 2.0;
// Added milliseconds are summed as integers of 2^-32 ms, so sums are exact in any order.
const double kFixedPerMillisecond = 4294967296.0;
const double kMaxFixed = 4.0e18;

struct Group {
    char name[RECORDER_NAME_SIZE];
    uint32_t first_frame;  // the first frame record that carries the group
    uint32_t item_count;
    uint64_t own_calls;  // recorder_group_add calls in the frame in progress
    uint64_t own_fixed;  // their milliseconds, fixed point
};

struct Item {
    char name[RECORDER_NAME_SIZE];
    int32_t group;
    uint64_t ticks;  // scope time in the frame in progress
    uint64_t fixed;  // milliseconds added by value in the frame in progress, fixed point
    float seconds;  // the value written for the frame just encoded
};

// A thread's running totals. Items count in the slot of their index, groups from the top
// down (group g in slot RECORDER_MAX_SECTIONS - 1 - g): there are never more than
// RECORDER_MAX_SECTIONS of both together, so the two never meet.
struct Totals {
    std::atomic<uint64_t> first;  // an item's clock ticks, a group's recorder_group_add calls
    std::atomic<uint64_t> second;  // milliseconds added, fixed point
};

struct ThreadBuffer {
    // Written by the owning thread.
    std::atomic<uint32_t> recording;  // whose sections the totals count
    std::atomic<uint32_t> restarts;  // bumped each time the totals start again from zero
    std::atomic<uint32_t> touched_count;
    std::atomic<int32_t> touched[RECORDER_MAX_SECTIONS];  // slots in first-touch order
    Totals totals[RECORDER_MAX_SECTIONS];
    bool known[RECORDER_MAX_SECTIONS];
    // The frame thread's, under the recorder's mutex.
    bool exited;
    uint32_t taken_recording;
    uint32_t taken_restarts;
    uint32_t taken_count;
    uint64_t taken[RECORDER_MAX_SECTIONS][2];
};

// Reads the records this recorder wrote; never past the end.
struct Cursor {
    const uint8_t* at;
    const uint8_t* end;
};

// A copy of a file's frames, padded to `shape`, into a side file, then the queued frames.
struct RewriteJob {
    int source_fd;
    uint64_t source_end;
    uint32_t source_frames;
    std::vector<uint32_t> shape;  // items per group
    std::string side_path;
    int side_fd;
    std::mutex mutex;
    std::condition_variable finished;
    // Under the mutex while the job runs; the frame thread's once `done` is set.
    std::vector<uint8_t> queue;
    uint32_t queued_frames;
    uint64_t side_end;
    uint32_t side_frames;
    bool done;
    bool failed;
    bool threaded;  // run on a thread of its own, which then waits for `released`
    // Closing a replaced file frees its pages, which for a large one takes a while: the
    // job's thread closes these once the frame thread is done with the job.
    std::vector<int> closing;
    bool released;
};

struct Recorder {
    // Read by every thread.
    std::atomic<uint32_t> current;  // the open recording's number; 0 when none is open
    std::atomic<std::thread::id> frame_thread;
    std::atomic<int32_t> hash[kHashSize];  // item index, or -(group + 2) for a group's own entry
    Group groups[RECORDER_MAX_SECTIONS];
    Item items[RECORDER_MAX_SECTIONS];
    // Under the mutex.
    std::mutex mutex;
    uint32_t group_count;
    uint32_t item_count;
    int32_t layout[RECORDER_MAX_SECTIONS];  // item indices in file order: by group, then by arrival
    bool structure_changed;
    bool rewrite_needed;
    char notes[RECORDER_MAX_NOTES][RECORDER_NOTE_SIZE];
    uint32_t note_count;
    std::vector<ThreadBuffer*> buffers;
    uint32_t frames_written;  // read by resolving threads to tell whether a rewrite is needed
    // The frame thread's.
    std::mutex lifecycle;  // serialises recorder_open against itself
    uint32_t recordings;  // counts recorder_open calls; 0 is never a recording
    int fd;
    std::string path;
    uint64_t frames_end;  // file offset of the structure record
    std::vector<uint32_t> disk_shape;  // items per group in the file's structure record
    std::vector<uint8_t> frame_bytes;
    size_t frame_size;
    std::vector<uint8_t> structure_bytes;
    std::shared_ptr<RewriteJob> job;  // the copy in progress, if any
    bool warned_open_scope;
    std::chrono::steady_clock::time_point frame_start;
    double milliseconds_per_tick;  // 0 until calibrated
};

Recorder state;
thread_local RecorderStatus last_status = RECORDER_OK;
thread_local ThreadBuffer* thread_buffer = nullptr;
thread_local int open_scopes = 0;

void leave_recorder(ThreadBuffer* buffer);

// Hands the thread's buffer back when the thread exits.
struct ThreadExit {
    ~ThreadExit()
    {
        if (thread_buffer) leave_recorder(thread_buffer);
        thread_buffer = nullptr;
    }
};
thread_local ThreadExit thread_exit;

uint64_t clock_ticks(void)
{
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    return uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
#endif
}

double milliseconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Scopes read the time-stamp counter, which is several times cheaper than the system clock;
// its rate is measured once against the steady clock.
void calibrate_clock(void)
{
    if (state.milliseconds_per_tick > 0) return;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    uint64_t first = clock_ticks();
    double elapsed = 0;
    while (elapsed < kCalibrationMilliseconds) elapsed = milliseconds_since(start);
    uint64_t ticks = clock_ticks() - first;
    state.milliseconds_per_tick = ticks > 0 ? elapsed / double(ticks) : 1e-6;
}

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

// The frame thread's calls: refused from another thread while a recording is open.
bool on_frame_thread(const char* call)
{
    if (state.current.load(std::memory_order_acquire) == 0) return refuse(RECORDER_NOT_OPEN, "");
    if (state.frame_thread.load(std::memory_order_relaxed) != std::this_thread::get_id())
        return refuse(RECORDER_NOT_FRAME_THREAD, call);
    return true;
}

uint64_t to_fixed(float milliseconds)
{
    double scaled = double(milliseconds) * kFixedPerMillisecond;
    if (!(std::fabs(scaled) < kMaxFixed)) scaled = std::isnan(scaled) ? 0.0 : std::copysign(kMaxFixed, scaled);
    return uint64_t(int64_t(std::llround(scaled)));
}

double fixed_milliseconds(uint64_t fixed)
{
    return double(int64_t(fixed)) / kFixedPerMillisecond;
}

bool name_fits(const char* name)
{
    size_t length = strnlen(name, kNameLength + 1);
    return length >= 1 && length <= kNameLength;
}

int32_t group_slot(int32_t group)
{
    return RECORDER_MAX_SECTIONS - 1 - group;
}

// Sections: found without the lock, added under it.

uint32_t section_count(void)
{
    return 1 + state.group_count + state.item_count;
}

// FNV-1a over "group\x1Fitem"; a group's own entry has an empty item.
uint32_t hash_names(const char* group, const char* item)
{
    uint32_t hash = 2166136261u;
    for (const char* at = group; *at; at++) hash = (hash ^ uint8_t(*at)) * 16777619u;
    hash = (hash ^ 0x1Fu) * 16777619u;
    for (const char* at = item; *at; at++) hash = (hash ^ uint8_t(*at)) * 16777619u;
    return hash;
}

bool entry_matches(int32_t entry, const char* group, const char* item)
{
    if (entry < kEmptySlot) return item[0] == '\0' && std::strcmp(state.groups[-entry - 2].name, group) == 0;
    const Item& found = state.items[entry];
    return item[0] != '\0' && std::strcmp(found.name, item) == 0 &&
           std::strcmp(state.groups[found.group].name, group) == 0;
}

// The hash position holding (group, item), or the empty one where it belongs. Entries are
// published after their names, so a reader without the lock finds whole names or nothing.
uint32_t hash_position(const char* group, const char* item)
{
    uint32_t position = hash_names(group, item) & (kHashSize - 1);
    for (;;) {
        int32_t entry = state.hash[position].load(std::memory_order_acquire);
        if (entry == kEmptySlot || entry_matches(entry, group, item)) return position;
        position = (position + 1) & (kHashSize - 1);
    }
}

int32_t hash_entry(const char* group, const char* item)
{
    return state.hash[hash_position(group, item)].load(std::memory_order_acquire);
}

// A group's index, added when new; -1 when refused. Under the lock.
int32_t find_or_add_group(const char* name)
{
    uint32_t position = hash_position(name, "");
    int32_t entry = state.hash[position].load(std::memory_order_relaxed);
    if (entry != kEmptySlot) return -entry - 2;
    if (section_count() >= RECORDER_MAX_SECTIONS) {
        refuse(RECORDER_TOO_MANY_SECTIONS, name);
        return -1;
    }
    Group& group = state.groups[state.group_count];
    std::memcpy(group.name, name, std::strlen(name) + 1);
    group.first_frame = state.frames_written;
    group.item_count = 0;
    group.own_calls = 0;
    group.own_fixed = 0;
    int32_t index = int32_t(state.group_count++);
    state.hash[position].store(-index - 2, std::memory_order_release);
    state.structure_changed = true;
    return index;
}

// Where the group's items end in the layout; they are contiguous and groups keep their order.
uint32_t layout_end_of(int32_t group)
{
    uint32_t end = 0;
    for (int32_t g = 0; g <= group; g++) end += state.groups[g].item_count;
    return end;
}

// Under the lock.
int32_t add_item(int32_t group, const char* name, uint32_t position)
{
    int32_t index = int32_t(state.item_count);
    Item& item = state.items[index];
    std::memcpy(item.name, name, std::strlen(name) + 1);
    item.group = group;
    item.ticks = 0;
    item.fixed = 0;
    item.seconds = 0;
    state.item_count++;
    uint32_t end = layout_end_of(group);
    std::memmove(state.layout + end + 1, state.layout + end, (state.item_count - 1 - end) * sizeof(int32_t));
    state.layout[end] = index;
    state.groups[group].item_count++;
    state.structure_changed = true;
    // Frames on disk that carry a later group would read their values one place off.
    uint32_t next = uint32_t(group) + 1;
    if (next < state.group_count && state.groups[next].first_frame < state.frames_written)
        state.rewrite_needed = true;
    state.hash[position].store(index, std::memory_order_release);
    return index;
}

// An item's index, added with its group when new; -1 when refused. Under the lock.
int32_t find_or_add_item(const char* group, const char* item)
{
    uint32_t position = hash_position(group, item);
    int32_t entry = state.hash[position].load(std::memory_order_relaxed);
    if (entry != kEmptySlot) return entry;
    bool new_group = hash_entry(group, "") == kEmptySlot;
    if (section_count() + (new_group ? 2 : 1) > RECORDER_MAX_SECTIONS) {
        refuse(RECORDER_TOO_MANY_SECTIONS, item);
        return -1;
    }
    int32_t group_index = find_or_add_group(group);
    // Adding the group may have taken the position the item probed.
    return add_item(group_index, item, hash_position(group, item));
}

void reset_sections(void)
{
    for (std::atomic<int32_t>& entry : state.hash) entry.store(kEmptySlot, std::memory_order_relaxed);
    state.group_count = 0;
    state.item_count = 0;
    state.note_count = 0;
    state.structure_changed = false;
    state.rewrite_needed = false;
    state.frames_written = 0;
}

// Thread buffers.

// The calling thread's buffer, registered on its first use; null when memory runs out.
ThreadBuffer* own_buffer(void)
{
    if (thread_buffer) return thread_buffer;
    ThreadBuffer* buffer = new (std::nothrow) ThreadBuffer();
    if (!buffer) return nullptr;
    std::lock_guard<std::mutex> hold(state.mutex);
    state.buffers.push_back(buffer);
    thread_buffer = buffer;
    // Touching the exit hook makes this thread run its destructor.
    (void)&thread_exit;
    return buffer;
}

// Zeroes the totals for another recording; only the owning thread does this.
void restart_buffer(ThreadBuffer* buffer, uint32_t recording)
{
    uint32_t count = buffer->touched_count.load(std::memory_order_relaxed);
    for (uint32_t k = 0; k < count; k++) {
        int32_t slot = buffer->touched[k].load(std::memory_order_relaxed);
        buffer->known[slot] = false;
        buffer->totals[slot].first.store(0, std::memory_order_relaxed);
        buffer->totals[slot].second.store(0, std::memory_order_relaxed);
    }
    buffer->touched_count.store(0, std::memory_order_relaxed);
    buffer->restarts.fetch_add(1, std::memory_order_relaxed);
    buffer->recording.store(recording, std::memory_order_release);
}

void count(uint32_t recording, int32_t slot, uint64_t first, uint64_t second)
{
    ThreadBuffer* buffer = own_buffer();
    if (!buffer) return;
    if (buffer->recording.load(std::memory_order_relaxed) != recording) restart_buffer(buffer, recording);
    if (!buffer->known[slot]) {
        buffer->known[slot] = true;
        uint32_t count = buffer->touched_count.load(std::memory_order_relaxed);
        buffer->touched[count].store(slot, std::memory_order_relaxed);
        buffer->touched_count.store(count + 1, std::memory_order_release);
    }
    Totals& totals = buffer->totals[slot];
    totals.first.store(totals.first.load(std::memory_order_relaxed) + first, std::memory_order_relaxed);
    if (second) totals.second.store(totals.second.load(std::memory_order_relaxed) + second, std::memory_order_relaxed);
}

// Books what the buffer's totals grew by since they were last taken. Under the lock.
void take_buffer(ThreadBuffer* buffer, uint32_t recording)
{
    if (buffer->recording.load(std::memory_order_acquire) != recording) return;
    uint32_t restarts = buffer->restarts.load(std::memory_order_relaxed);
    if (buffer->taken_recording != recording || buffer->taken_restarts != restarts) {
        buffer->taken_recording = recording;
        buffer->taken_restarts = restarts;
        buffer->taken_count = 0;
    }
    uint32_t count = buffer->touched_count.load(std::memory_order_acquire);
    for (; buffer->taken_count < count; buffer->taken_count++) {
        buffer->taken[buffer->taken_count][0] = 0;
        buffer->taken[buffer->taken_count][1] = 0;
    }
    for (uint32_t k = 0; k < count; k++) {
        int32_t slot = buffer->touched[k].load(std::memory_order_relaxed);
        uint64_t first = buffer->totals[slot].first.load(std::memory_order_relaxed);
        uint64_t second = buffer->totals[slot].second.load(std::memory_order_relaxed);
        uint64_t first_grown = first - buffer->taken[k][0];
        uint64_t second_grown = second - buffer->taken[k][1];
        buffer->taken[k][0] = first;
        buffer->taken[k][1] = second;
        if (slot < int32_t(state.item_count)) {
            state.items[slot].ticks += first_grown;
            state.items[slot].fixed += second_grown;
        } else {
            Group& group = state.groups[group_slot(slot)];
            group.own_calls += first_grown;
            group.own_fixed += second_grown;
        }
    }
}

// Takes every buffer; those of exited threads for the last time. Under the lock.
void take_buffers(void)
{
    uint32_t recording = state.current.load(std::memory_order_relaxed);
    size_t kept = 0;
    for (ThreadBuffer* buffer : state.buffers) {
        take_buffer(buffer, recording);
        if (buffer->exited)
            delete buffer;
        else
            state.buffers[kept++] = buffer;
    }
    state.buffers.resize(kept);
}

void leave_recorder(ThreadBuffer* buffer)
{
    std::lock_guard<std::mutex> hold(state.mutex);
    uint32_t recording = state.current.load(std::memory_order_relaxed);
    if (recording != 0 && buffer->recording.load(std::memory_order_relaxed) == recording) {
        buffer->exited = true;
        return;
    }
    for (ThreadBuffer*& listed : state.buffers)
        if (listed == buffer) {
            listed = state.buffers.back();
            state.buffers.pop_back();
            break;
        }
    delete buffer;
}

// Encoding.

uint8_t* put_u32(uint8_t* at, uint32_t value)
{
    at[0] = uint8_t(value >> 24);
    at[1] = uint8_t(value >> 16);
    at[2] = uint8_t(value >> 8);
    at[3] = uint8_t(value);
    return at + 4;
}

uint8_t* put_float(uint8_t* at, float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return put_u32(at, bits);
}

uint8_t* put_string(uint8_t* at, const char* text)
{
    size_t size = std::strlen(text) + 1;
    std::memcpy(at, text, size);
    return at + size;
}

// The structure record of every section known now. Under the lock.
void encode_structure(void)
{
    size_t item_bytes = state.group_count * (4 + RECORDER_NAME_SIZE) + state.item_count * RECORDER_NAME_SIZE;
    state.structure_bytes.resize(9 + item_bytes);
    uint8_t* at = state.structure_bytes.data();
    *at++ = kStructureTag;
    at = put_u32(at, section_count());
    at = put_u32(at, state.group_count);
    const int32_t* item = state.layout;
    state.disk_shape.resize(state.group_count);
    for (uint32_t g = 0; g < state.group_count; g++) {
        const Group& group = state.groups[g];
        at = put_string(at, group.name);
        at = put_u32(at, group.item_count);
        for (uint32_t k = 0; k < group.item_count; k++) at = put_string(at, state.items[*item++].name);
        state.disk_shape[g] = group.item_count;
    }
    state.structure_bytes.resize(size_t(at - state.structure_bytes.data()));
    state.structure_changed = false;
}

// Seconds, converted once here from the milliseconds the API takes.
float to_seconds(double milliseconds)
{
    return float(milliseconds / 1000.0);
}

void settle_item_values(void)
{
    for (uint32_t n = 0; n < state.item_count; n++) {
        Item& item = state.items[n];
        item.seconds = to_seconds(fixed_milliseconds(item.fixed) + double(item.ticks) * state.milliseconds_per_tick);
    }
}

float group_value(const Group& group, const int32_t* items)
{
    if (group.own_calls > 0) return to_seconds(fixed_milliseconds(group.own_fixed));
    double sum = 0;
    for (uint32_t k = 0; k < group.item_count; k++) sum += state.items[items[k]].seconds;
    return float(sum);
}

// One frame record into frame_bytes: the first shape[g] items of each of the first
// `groups` groups, or every section when shape is null. Under the lock.
void encode_frame(float total, const uint32_t* shape, uint32_t groups)
{
    uint8_t* at = state.frame_bytes.data();
    *at++ = kFrameTag;
    at = put_float(at, total);
    at = put_u32(at, groups);
    const int32_t* item = state.layout;
    for (uint32_t g = 0; g < groups; g++) {
        const Group& group = state.groups[g];
        uint32_t count = shape ? shape[g] : group.item_count;
        at = put_float(at, group_value(group, item));
        at = put_u32(at, count);
        for (uint32_t k = 0; k < count; k++) at = put_float(at, state.items[item[k]].seconds);
        item += group.item_count;
    }
    at = put_u32(at, state.note_count);
    for (uint32_t n = 0; n < state.note_count; n++) at = put_string(at, state.notes[n]);
    state.frame_size = size_t(at - state.frame_bytes.data());
}

void clear_frame(void)
{
    for (uint32_t n = 0; n < state.item_count; n++) {
        state.items[n].ticks = 0;
        state.items[n].fixed = 0;
    }
    for (uint32_t g = 0; g < state.group_count; g++) {
        state.groups[g].own_calls = 0;
        state.groups[g].own_fixed = 0;
    }
    state.note_count = 0;
}

// Writing.

bool write_parts(int fd, iovec* parts, int part_count, uint64_t offset)
{
    for (;;) {
        while (part_count > 0 && parts->iov_len == 0) parts++, part_count--;
        if (part_count == 0) return true;
        ssize_t written = pwritev(fd, parts, part_count, off_t(offset));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        offset += uint64_t(written);
        // A short write leaves the rest for the next call.
        for (size_t left = size_t(written); left > 0; parts++, part_count--) {
            size_t step = left < parts->iov_len ? left : parts->iov_len;
            parts->iov_base = static_cast<uint8_t*>(parts->iov_base) + step;
            parts->iov_len -= step;
            left -= step;
            if (parts->iov_len > 0) break;
        }
    }
}

// Frame record and structure record from offset on, in one call.
bool write_tail(int fd, uint64_t offset, bool with_frame)
{
    iovec parts[2] = {{state.frame_bytes.data(), with_frame ? state.frame_size : 0},
                      {state.structure_bytes.data(), state.structure_bytes.size()}};
    return write_parts(fd, parts, 2, offset);
}

bool lock_file(int fd)
{
    while (flock(fd, LOCK_EX) != 0)
        if (errno != EINTR) return false;
    return true;
}

// A write to the file at the recording's path, under the lock that followers read under.
bool write_tail_locked(int fd, uint64_t offset, bool with_frame)
{
    if (!lock_file(fd)) return false;
    bool written = write_tail(fd, offset, with_frame);
    flock(fd, LOCK_UN);
    return written;
}

// An empty recording in place of whatever the file held, in one locked step.
bool write_first(int fd)
{
    if (!lock_file(fd)) return false;
    bool written = ftruncate(fd, 0) == 0 && write_tail(fd, 0, false);
    flock(fd, LOCK_UN);
    return written;
}

bool write_fully(int fd, const uint8_t* bytes, size_t size, uint64_t offset)
{
    iovec part = {const_cast<uint8_t*>(bytes), size};
    return write_parts(fd, &part, 1, offset);
}

bool read_fully(int fd, uint8_t* bytes, size_t size, uint64_t offset)
{
    for (size_t done = 0; done < size;) {
        ssize_t got = pread(fd, bytes + done, size - done, off_t(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += size_t(got);
    }
    return true;
}

// The rewrite, on the recorder's own thread.

bool take(Cursor* cursor, size_t size, std::vector<uint8_t>* out)
{
    if (size_t(cursor->end - cursor->at) < size) return false;
    out->insert(out->end(), cursor->at, cursor->at + size);
    cursor->at += size;
    return true;
}

bool take_u32(Cursor* cursor, uint32_t* value, std::vector<uint8_t>* out)
{
    if (cursor->end - cursor->at < 4) return false;
    const uint8_t* b = cursor->at;
    *value = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    return take(cursor, 4, out);
}

bool take_strings(Cursor* cursor, uint32_t count, std::vector<uint8_t>* out)
{
    for (uint32_t n = 0; n < count; n++) {
        const void* zero = std::memchr(cursor->at, 0, size_t(cursor->end - cursor->at));
        if (!zero) return false;
        take(cursor, size_t(static_cast<const uint8_t*>(zero) - cursor->at) + 1, out);
    }
    return true;
}

// Copies one frame record, giving every group but its last the items of `shape`.
bool pad_frame(Cursor* cursor, const std::vector<uint32_t>& shape, std::vector<uint8_t>* out)
{
    uint32_t group_count = 0, item_count = 0, note_count = 0;
    if (!take(cursor, 5, out) || !take_u32(cursor, &group_count, out)) return false;
    if (group_count > shape.size()) return false;
    for (uint32_t g = 0; g < group_count; g++) {
        if (!take(cursor, 4, out) || !take_u32(cursor, &item_count, out)) return false;
        size_t count_offset = out->size() - 4;
        uint32_t wanted = g + 1 < group_count ? shape[g] : item_count;
        if (item_count > wanted || !take(cursor, 4 * size_t(item_count), out)) return false;
        put_u32(out->data() + count_offset, wanted);
        out->resize(out->size() + 4 * size_t(wanted - item_count), 0);
    }
    return take_u32(cursor, &note_count, out) && take_strings(cursor, note_count, out);
}

// Streams the source's frames through pad_frame into the side file, a chunk at a time.
bool pad_source(RewriteJob* job)
{
    std::vector<uint8_t> in(size_t(std::min<uint64_t>(kCopyChunk, job->source_end)) + kMaxFrameBytes);
    std::vector<uint8_t> out;
    out.reserve(in.size() + in.size() / 2);
    uint64_t read_at = 0;
    size_t held = 0;
    uint32_t frames = 0;
    for (;;) {
        size_t wanted = size_t(std::min<uint64_t>(in.size() - held, job->source_end - read_at));
        if (!read_fully(job->source_fd, in.data() + held, wanted, read_at)) return false;
        read_at += wanted;
        held += wanted;
        bool last = read_at == job->source_end;
        Cursor cursor{in.data(), in.data() + held};
        // A frame is never longer than kMaxFrameBytes, so one that far from the end is whole.
        while (frames < job->source_frames && (last || size_t(cursor.end - cursor.at) >= kMaxFrameBytes)) {
            if (!pad_frame(&cursor, job->shape, &out)) return false;
            frames++;
        }
        if (!write_fully(job->side_fd, out.data(), out.size(), job->side_end)) return false;
        job->side_end += out.size();
        job->side_frames = frames;
        out.clear();
        if (frames == job->source_frames) return last && cursor.at == cursor.end;
        if (last) return false;
        held = size_t(cursor.end - cursor.at);
        std::memmove(in.data(), cursor.at, held);
    }
}

// Pads the source, then appends queued frames until none is waiting.
void run_rewrite(std::shared_ptr<RewriteJob> job)
{
    // ext4 writes out a file renamed over another during the rename, on the frame thread:
    // written out here first, the rename has only the queued frames left to write.
    bool padded = pad_source(job.get()) && (!job->threaded || fdatasync(job->side_fd) == 0);
    std::vector<uint8_t> batch;
    std::unique_lock<std::mutex> hold(job->mutex);
    job->failed = !padded;
    while (!job->failed && !job->queue.empty()) {
        batch.swap(job->queue);
        uint32_t frames = job->queued_frames;
        job->queued_frames = 0;
        uint64_t offset = job->side_end;
        size_t size = batch.size();
        hold.unlock();
        bool written = write_fully(job->side_fd, batch.data(), size, offset);
        batch.clear();
        hold.lock();
        job->failed = !written;
        job->side_end = offset + size;
        job->side_frames += frames;
    }
    job->done = true;
    job->finished.notify_all();
    if (!job->threaded) return;
    job->finished.wait(hold, [&job] { return job->released; });
    for (int fd : job->closing) close(fd);
}

// Starts copying the frames of source, padded to the sections known now, into a new side
// file; the frame thread queues what comes after. Under the lock.
bool start_rewrite(int source_fd, uint64_t source_end, uint32_t source_frames)
{
    std::shared_ptr<RewriteJob> job = std::make_shared<RewriteJob>();
    job->source_fd = source_fd;
    job->source_end = source_end;
    job->source_frames = source_frames;
    job->shape.resize(state.group_count);
    for (uint32_t g = 0; g < state.group_count; g++) job->shape[g] = state.groups[g].item_count;
    job->side_path = state.path + kRewriteSuffix;
    // The source may be the last side file: its name goes, its open descriptor stays readable.
    unlink(job->side_path.c_str());
    job->side_fd = open(job->side_path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (job->side_fd < 0) return false;
    state.job = job;
    state.rewrite_needed = false;
    job->threaded = source_end > kInlineRewriteBytes;
    if (!job->threaded) {
        run_rewrite(job);
        return true;
    }
    try {
        std::thread(run_rewrite, job).detach();
    } catch (const std::system_error&) {
        state.job.reset();
        close(job->side_fd);
        unlink(job->side_path.c_str());
        return false;
    }
    return true;
}

void wait_for(RewriteJob* job)
{
    std::unique_lock<std::mutex> hold(job->mutex);
    job->finished.wait(hold, [job] { return job->done; });
}

// The source of a job started from the last side file is that file, no one else's.
bool source_is_side(const RewriteJob* job)
{
    return job->source_fd != state.fd;
}

// Lets a finished job's thread go, closing the given descriptors (-1 for none) on its way.
void release_job(RewriteJob* job, int first, int second)
{
    if (!job->threaded) {
        if (first >= 0) close(first);
        if (second >= 0) close(second);
        return;
    }
    std::lock_guard<std::mutex> hold(job->mutex);
    for (int fd : {first, second})
        if (fd >= 0) job->closing.push_back(fd);
    job->released = true;
    job->finished.notify_all();
}

// Waits for the copy and drops it with its side file. Under the lock.
void abandon_rewrite(void)
{
    if (!state.job) return;
    RewriteJob* job = state.job.get();
    wait_for(job);
    unlink(job->side_path.c_str());
    release_job(job, job->side_fd, source_is_side(job) ? job->source_fd : -1);
    state.job.reset();
}

// The finished copy, with frame_bytes when with_frame, replaces the recording. Under the lock.
bool swap_in_rewrite(bool with_frame)
{
    RewriteJob* job = state.job.get();
    encode_structure();
    if (!write_tail(job->side_fd, job->side_end, with_frame) || rename(job->side_path.c_str(), state.path.c_str()) != 0)
        return false;
    release_job(job, state.fd, source_is_side(job) ? job->source_fd : -1);
    state.fd = job->side_fd;
    state.frames_end = job->side_end + (with_frame ? state.frame_size : 0);
    state.job.reset();
    return true;
}

// Sections that arrived during a finished copy call for another, from its side file.
bool restart_rewrite(void)
{
    std::shared_ptr<RewriteJob> finished = state.job;
    state.job.reset();
    release_job(finished.get(), source_is_side(finished.get()) ? finished->source_fd : -1, -1);
    if (start_rewrite(finished->side_fd, finished->side_end, finished->side_frames)) return true;
    close(finished->side_fd);
    return false;
}

// One frame while a copy runs: to the old file in its old shape and to the copy's queue,
// or, once the copy has caught up, into the side file that then replaces the recording.
bool write_frame_during_rewrite(float total)
{
    for (;;) {
        RewriteJob* job = state.job.get();
        encode_frame(total, nullptr, state.group_count);
        std::unique_lock<std::mutex> hold(job->mutex);
        if (job->done) {
            hold.unlock();
            if (job->failed) return false;
            if (!state.rewrite_needed) return swap_in_rewrite(true);
            if (!restart_rewrite()) return false;
            continue;
        }
        job->queue.insert(job->queue.end(), state.frame_bytes.data(), state.frame_bytes.data() + state.frame_size);
        job->queued_frames++;
        hold.unlock();
        encode_frame(total, state.disk_shape.data(), uint32_t(state.disk_shape.size()));
        if (!write_tail_locked(state.fd, state.frames_end, true)) return false;
        state.frames_end += state.frame_size;
        return true;
    }
}

bool write_frame(float total)
{
    if (!state.job && state.rewrite_needed && !start_rewrite(state.fd, state.frames_end, state.frames_written))
        return false;
    if (state.job) return write_frame_during_rewrite(total);
    encode_frame(total, nullptr, state.group_count);
    if (state.structure_changed) encode_structure();
    if (!write_tail_locked(state.fd, state.frames_end, true)) return false;
    state.frames_end += state.frame_size;
    return true;
}

// The structure record of every section named, after the last frame. Under the lock.
bool finish_file(void)
{
    if (!state.job && state.rewrite_needed && !start_rewrite(state.fd, state.frames_end, state.frames_written))
        return false;
    while (state.job) {
        wait_for(state.job.get());
        if (state.job->failed) return false;
        if (state.rewrite_needed) {
            if (!restart_rewrite()) return false;
            continue;
        }
        return swap_in_rewrite(false);
    }
    if (!state.structure_changed) return true;
    encode_structure();
    return write_tail_locked(state.fd, state.frames_end, false);
}

// Under the lock.
void drop_recording(void)
{
    abandon_rewrite();
    if (state.fd >= 0) close(state.fd);
    state.fd = -1;
    state.current.store(0, std::memory_order_release);
    take_buffers();
    reset_sections();
}

bool write_failed(void)
{
    std::string path = state.path;
    drop_recording();
    return refuse(RECORDER_WRITE_FAILED, path.c_str());
}

void warn_open_scope(void)
{
    if (open_scopes == 0 || state.warned_open_scope) return;
    state.warned_open_scope = true;
    std::fprintf(stderr,
                 "savrel recorder: a scope was still open at recorder_frame_end; its time counts in the next "
                 "frame (end scopes before the frame ends)\n");
}

bool end_frame(float total_milliseconds)
{
    warn_open_scope();
    std::lock_guard<std::mutex> hold(state.mutex);
    take_buffers();
    settle_item_values();
    if (!write_frame(to_seconds(double(total_milliseconds)))) return write_failed();
    state.frames_written++;
    clear_frame();
    state.frame_start = std::chrono::steady_clock::now();
    return accept();
}

}  // namespace

bool recorder_open(const char* path)
{
    std::lock_guard<std::mutex> once(state.lifecycle);
    if (state.current.load(std::memory_order_relaxed) != 0) return refuse(RECORDER_ALREADY_OPEN, path);
    // Truncated under the lock, not by O_TRUNC, so a follower never reads an emptied file.
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return refuse(RECORDER_CANNOT_OPEN, path);
    calibrate_clock();
    std::lock_guard<std::mutex> hold(state.mutex);
    state.fd = fd;
    state.path = path;
    state.frames_end = 0;
    state.warned_open_scope = false;
    state.frame_bytes.resize(kMaxFrameBytes);
    reset_sections();
    encode_structure();
    if (!write_first(fd)) return write_failed();
    state.frame_thread.store(std::this_thread::get_id(), std::memory_order_relaxed);
    state.current.store(++state.recordings, std::memory_order_release);
    state.frame_start = std::chrono::steady_clock::now();
    return accept();
}

bool recorder_close(void)
{
    if (!on_frame_thread("recorder_close")) return false;
    std::lock_guard<std::mutex> once(state.lifecycle);
    std::lock_guard<std::mutex> hold(state.mutex);
    // Sections named after the last frame still appear, reading 0 in every frame.
    if (!finish_file()) return write_failed();
    drop_recording();
    return accept();
}

bool recorder_is_open(void)
{
    return state.current.load(std::memory_order_acquire) != 0;
}

void recorder_frame_begin(void)
{
    if (on_frame_thread("recorder_frame_begin")) state.frame_start = std::chrono::steady_clock::now();
}

bool recorder_frame_end(void)
{
    if (!on_frame_thread("recorder_frame_end")) return false;
    return end_frame(float(milliseconds_since(state.frame_start)));
}

bool recorder_frame_end_total(float total_milliseconds)
{
    if (!on_frame_thread("recorder_frame_end_total")) return false;
    return end_frame(total_milliseconds);
}

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
    if (section.recording != recording || section.index < 0 || section.index >= RECORDER_MAX_SECTIONS)
        return refuse(RECORDER_UNRESOLVED_SECTION, "");
    count(recording, section.index, 0, to_fixed(milliseconds));
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
    count(recording, group_slot(index), 1, to_fixed(milliseconds));
    return accept();
}

bool recorder_note(const char* text)
{
    uint32_t recording = state.current.load(std::memory_order_acquire);
    if (recording == 0) return refuse(RECORDER_NOT_OPEN, "");
    if (strnlen(text, kNoteLength + 1) > kNoteLength) return refuse(RECORDER_NOTE_TOO_LONG, "");
    std::lock_guard<std::mutex> hold(state.mutex);
    if (state.current.load(std::memory_order_relaxed) != recording) return refuse(RECORDER_NOT_OPEN, "");
    if (state.note_count >= RECORDER_MAX_NOTES) return refuse(RECORDER_TOO_MANY_NOTES, text);
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
    case RECORDER_WRITE_FAILED: return "writing the recording failed; it was closed";
    case RECORDER_BAD_NAME: return "a section name must have 1 to 31 characters";
    case RECORDER_TOO_MANY_SECTIONS: return "too many sections (at most 4096 with groups and the root)";
    case RECORDER_NOTE_TOO_LONG: return "a note has at most 255 characters";
    case RECORDER_TOO_MANY_NOTES: return "too many notes in one frame (at most 16)";
    case RECORDER_UNRESOLVED_SECTION: return "the section was not resolved in this recording";
    case RECORDER_NOT_FRAME_THREAD: return "only the thread that opened the recording may call this";
    }
    return "unknown recorder status";
}

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
    if (index < 0 || index >= RECORDER_MAX_SECTIONS) return token;
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
        count(token.recording, token.index, end - token.start, 0);
}

RecorderScope::RecorderScope(RecorderSection* site, const char* group, const char* item)
    : token(recorder_scope_begin(site, group, item))
{
}

RecorderScope::~RecorderScope()
{
    recorder_scope_end(token);
}
