// recorder internals: the state and functions that the recorder's files share.
//
// Does NOT form part of the public API; only recorder/*.cpp include it. Uses: recorder.h,
// <savrel/format.h> for every tag, size and byte helper of the recording format.
//
// The file is [frame records][structure record]. A write puts the new frames over the old
// structure record and a new structure record after them, in one pwritev: the structure only
// grows, so the file never ends in stale bytes. Values are stored in seconds. Before writing,
// the bytes are reserved (fallocate) and checked against RLIMIT_FSIZE; a write that fails all
// the same puts the old structure record back and cuts the file to its old size, so a failed
// write never damages the recording, and the recording stops.
//
// Where things live:
//   sections.cpp        names to section indices: a lock-free hash, additions under the mutex
//   thread_buffers.cpp  per-thread running totals and their collection at frame end; the clock
//   encoding.cpp        frame and structure records built in memory
//   file_writes.cpp     writes at the recording's path: waiting frames, reserve, undo
//   late_copy.cpp       the copy into a side file that makes room for a late section
//   recorder.cpp        the public functions
//
// Threads: each thread that records gets a buffer of its own, registered here, holding a
// running total per section that only its thread writes. recorder_frame_end collects from
// every buffer what its totals grew by since the last frame end; totals never reset, so a
// value is collected exactly once, and a thread that exits leaves its buffer to be collected
// one last time. Names resolve without a lock when known; adding one, notes, and the frame
// end take the recorder's mutex.
//
// Lock order: state.lifecycle (recorder_open and recorder_close), then state.mutex (sections,
// notes, buffers, the frame end), then a copy job's mutex, then the flock on the recording,
// which is only ever tried, never waited for. No lock is ever taken in the other order; the
// copy's own thread takes only its job's mutex.
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
// Writer and readers of a live recording:
// 1. One writer per recording. For its whole life a recording holds an exclusive
//    open-file-description lock (F_OFD_SETLK, F_WRLCK) on one byte at offset 2^62 of the file
//    it writes; a side file takes the same lock when created, so after the rename the file at
//    the path is still held. OFD locks and readers' flocks never meet. recorder_open opens
//    without O_TRUNC, takes the lock (refused: RECORDER_IN_USE, the file untouched), and only
//    then truncates. A PATH.rewrite whose lock nobody holds was left by a dead writer: the next
//    recorder_open on PATH removes it.
// 2. In place, the writer only truncates at recorder_open, writes frames and a new structure
//    record from the old structure record's offset on (the file grows by a frame record or
//    more), and after a failed write puts the old structure record back and truncates to the
//    old size. Otherwise the file at the path is only replaced by the rename of a complete side
//    file, and a replaced file is never written again.
// 3. Writes at the path take flock(LOCK_EX | LOCK_NB), released right after. While a reader
//    holds a shared flock, finished frames wait in memory in order and the first frame end that
//    gets the lock writes them all; past 16 MiB or 2 s of waiting frames they are written
//    without the lock. A copy that starts meanwhile takes the waiting frames along.
// 4. Readers take flock(LOCK_SH | LOCK_NB), read (never map) and let go; because of 3 they check
//    that a write did not cross the read (fstat before and after agree, the structure record
//    ends at the end of the bytes read) and retry one that did.
#pragma once

#include <sys/uio.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "recorder/format.h"
#include "recorder/recorder.h"

namespace recorder_internal {

const size_t kNoteLength = SAVREL_NOTE_SIZE - 1;
// Open addressing over (group, item) names; twice the section limit keeps probes short.
const uint32_t kHashSize = 2 * SAVREL_MAX_SECTIONS;
const int32_t kEmptySlot = -1;
const size_t kNoteBytes = SAVREL_MAX_NOTES * SAVREL_NOTE_SIZE;
// Every section as a group (value and item count) is more than any frame can hold.
const size_t kMaxFrameBytes =
    SAVREL_FRAME_FIXED_SIZE + (SAVREL_F32_SIZE + SAVREL_U32_SIZE + SAVREL_F32_SIZE) * size_t(SAVREL_MAX_SECTIONS) + kNoteBytes;

struct Group {
    char name[SAVREL_NAME_SIZE];
    uint32_t first_frame;  // the first frame record that carries the group
    uint32_t item_count;
    uint64_t own_calls;  // recorder_group_add calls in the frame in progress
    uint64_t own_fixed;  // their milliseconds, fixed point
};

struct Item {
    char name[SAVREL_NAME_SIZE];
    int32_t group;
    uint64_t ticks;  // scope time in the frame in progress
    uint64_t fixed;  // milliseconds added by value in the frame in progress, fixed point
    float seconds;  // the value written for the frame just encoded
};

// A thread's running totals of one slot. Items count in the slot of their index, groups from
// the top down (group g in slot SAVREL_MAX_SECTIONS - 1 - g): there are never more than
// SAVREL_MAX_SECTIONS of both together, so the two never meet.
struct Totals {
    std::atomic<uint64_t> ticks_or_calls;  // an item's clock ticks, a group's recorder_group_add calls
    std::atomic<uint64_t> added_fixed;  // milliseconds added, fixed point
};

// What a slot's totals were when last collected.
struct Collected {
    uint64_t ticks_or_calls;
    uint64_t added_fixed;
};

struct ThreadBuffer {
    // Written by the owning thread.
    std::atomic<uint32_t> recording;  // whose sections the totals count
    std::atomic<uint32_t> restarts;  // bumped each time the totals start again from zero
    std::atomic<uint32_t> touched_count;
    std::atomic<int32_t> touched[SAVREL_MAX_SECTIONS];  // slots in first-touch order
    Totals totals[SAVREL_MAX_SECTIONS];
    bool known[SAVREL_MAX_SECTIONS];
    // The frame thread's, under the recorder's mutex.
    bool exited;
    uint32_t collected_recording;
    uint32_t collected_restarts;
    uint32_t collected_count;  // touched slots that have an entry in `collected`
    Collected collected[SAVREL_MAX_SECTIONS];  // by position in `touched`
};

// A copy of a file's frames, padded to `shape`, into a side file, then the queued frames.
struct RewriteJob {
    int source_fd;
    uint64_t source_end;
    uint32_t source_frames;
    std::vector<uint8_t> source_tail;  // frames after source_end that waited in memory for a reader
    uint32_t source_tail_frames;
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
    int error;  // errno of the failure
    bool threaded;  // run on a thread of its own, which then waits for `released`
    // Closing a replaced file frees its pages, which for a large one takes a while: the
    // job's thread closes these once the frame thread is done with the job.
    std::vector<int> closing;
    bool released;
};

// The steady clock and the time-stamp counter read at the same moment.
struct ClockPair {
    std::chrono::steady_clock::time_point time;
    uint64_t ticks;
};

struct Recorder {
    // Read by every thread.
    std::atomic<uint32_t> current;  // the open recording's number; 0 when none is open
    std::atomic<std::thread::id> frame_thread;
    std::atomic<int32_t> hash[kHashSize];  // item index, or -(group + 2) for a group's own entry
    Group groups[SAVREL_MAX_SECTIONS];
    Item items[SAVREL_MAX_SECTIONS];
    // Under the mutex.
    std::mutex mutex;
    uint32_t group_count;
    uint32_t item_count;
    int32_t layout[SAVREL_MAX_SECTIONS];  // item indices in file order: by group, then by arrival
    bool structure_changed;
    bool rewrite_needed;
    char notes[SAVREL_MAX_NOTES][SAVREL_NOTE_SIZE];
    uint32_t note_count;
    std::vector<ThreadBuffer*> buffers;
    uint32_t frames_written;  // read by resolving threads to tell whether a rewrite is needed
    // The frame thread's.
    std::mutex lifecycle;  // serialises recorder_open against itself
    uint32_t recordings;  // counts recorder_open calls; 0 is never a recording
    int fd;  // the file at the recording's path, holding the writer's lock
    std::string path;
    uint64_t frames_end;  // file offset of the structure record on disk
    uint64_t reserved_end;  // blocks are reserved up to here
    std::vector<uint8_t> disk_structure;  // the structure record on disk, put back after a failed write
    uint32_t frames_on_disk;  // frames that the file at the path holds
    std::vector<uint8_t> waiting;  // frame records that wait for a reader to let go
    uint32_t waiting_frames;
    std::chrono::steady_clock::time_point waiting_since;  // when the oldest of them ended
    std::vector<uint32_t> disk_shape;  // items per group in the file's structure record
    std::vector<uint8_t> frame_bytes;
    size_t frame_size;
    std::vector<uint8_t> structure_bytes;
    std::shared_ptr<RewriteJob> job;  // the copy in progress, if any
    bool warned_open_scope;
    std::chrono::steady_clock::time_point frame_start;
    double milliseconds_per_tick;  // 0 until calibrated
    ClockPair clock_anchor;  // the counter and the steady clock at the first open; ticks 0 until then
    int32_t self_item;  // "Savrel/frame end", or -1 when the recording leaves it out
    double self_milliseconds;  // the last frame end's own time, booked in the next frame
    int write_error;  // errno of the write that failed, or EFBIG for the file size limit
    // A recording stopped by a failed write, until recorder_close or recorder_open.
    std::atomic<bool> stopped;
    uint32_t frames_not_written;
};

extern Recorder state;
extern thread_local RecorderStatus last_status;
extern thread_local int open_scopes;

// Outcomes (recorder.cpp)
bool refuse(RecorderStatus status, const char* detail);  // sets the status, says why on stderr; false
bool accept(void);  // sets RECORDER_OK; true

// Sections (sections.cpp)
bool name_fits(const char* name);  // 1 to 31 characters
int32_t group_slot(int32_t group);  // the buffer slot of a group's own value
uint32_t section_count(void);  // root, groups and items known now
int32_t hash_entry(const char* group, const char* item);  // without the lock; kEmptySlot when unknown
int32_t find_or_add_group(const char* name);  // -1 when refused; under the mutex
int32_t find_or_add_item(const char* group, const char* item);  // -1 when refused; under the mutex
void reset_sections(void);  // forgets every section and note; under the mutex

// Thread buffers and the clock (thread_buffers.cpp)
uint64_t clock_ticks(void);
double milliseconds_since(std::chrono::steady_clock::time_point start);
void calibrate_clock(void);  // a first tick rate, once per process
void refine_clock(void);  // the tick rate from the first open to now; under the mutex
void add_to_totals(uint32_t recording, int32_t slot, uint64_t ticks_or_calls, uint64_t added_fixed);  // the calling thread's
void collect_buffers(void);  // books every buffer's growth into the frame in progress; under the mutex

// Encoding (encoding.cpp)
uint64_t to_fixed(float milliseconds);
float to_seconds(double milliseconds);
void encode_structure(void);  // into structure_bytes; under the mutex
void settle_item_values(void);  // each item's seconds for the frame in progress
void encode_frame(float total, const uint32_t* shape, uint32_t groups);  // into frame_bytes; null shape: every section
void clear_frame(void);  // zeroes the frame in progress

// File writes (file_writes.cpp)
bool hold_writer_lock(int fd);  // the lock that keeps a second writer out; false when another holds it
bool write_parts(int fd, iovec* parts, int part_count, uint64_t offset);  // whole parts or false; never past RLIMIT_FSIZE
bool write_fully(int fd, const uint8_t* bytes, size_t size, uint64_t offset);
bool read_fully(int fd, uint8_t* bytes, size_t size, uint64_t offset);
bool write_first(int fd);  // an empty recording in place of the file's contents
bool write_frame(float total);  // the frame in progress, now or once no reader holds the file
bool write_encoded_frame(void);  // frame_bytes, now or once no reader holds the file
bool flush_waiting(bool without_lock);  // writes the waiting frames now, with the lock when it is free
bool finish_file(void);  // the waiting frames and last structure record, the copy finished or abandoned
void drop_recording(void);  // closes everything without writing

// Late-section copy (late_copy.cpp)
// Copies source_frames frames up to source_end, then the frames waiting in memory.
bool start_rewrite(int source_fd, uint64_t source_end, uint32_t source_frames, bool with_waiting);  // under the mutex
bool write_frame_during_rewrite(float total);
bool finish_rewrite(void);  // waits for the copy and swaps it in
void abandon_rewrite(void);  // waits for the copy and drops its side file

}  // namespace recorder_internal
