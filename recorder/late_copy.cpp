// Late-section copy: the frames on disk, padded for a section that arrived late, into a side
// file that then replaces the recording. The copy runs on a thread of its own.
#include <errno.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <system_error>

#include "recorder/internal.h"

namespace recorder_internal {

namespace {

const size_t kCopyChunk = 1 << 20;
const int kCopyNice = 10;
// Copies this small take the frame thread well under a millisecond, and then the file is
// never without a section's values, not even during the copy.
const uint64_t kInlineRewriteBytes = 16 << 10;
const char* const kRewriteSuffix = ".rewrite";
// A frame record's tag and total, copied as they are.
const size_t kFrameHeadSize = SAVREL_TAG_SIZE + SAVREL_F32_SIZE;

// Reading frames back.

// Reads the records this recorder wrote; never past the end.
struct Cursor {
    const uint8_t* at;
    const uint8_t* end;
};

bool copy_bytes(Cursor* cursor, size_t size, std::vector<uint8_t>* out)
{
    if (size_t(cursor->end - cursor->at) < size) return false;
    out->insert(out->end(), cursor->at, cursor->at + size);
    cursor->at += size;
    return true;
}

bool copy_u32(Cursor* cursor, uint32_t* value, std::vector<uint8_t>* out)
{
    if (size_t(cursor->end - cursor->at) < SAVREL_U32_SIZE) return false;
    *value = savrel_get_u32(cursor->at);
    return copy_bytes(cursor, SAVREL_U32_SIZE, out);
}

bool copy_strings(Cursor* cursor, uint32_t strings, std::vector<uint8_t>* out)
{
    for (uint32_t n = 0; n < strings; n++) {
        const void* zero = std::memchr(cursor->at, 0, size_t(cursor->end - cursor->at));
        if (!zero) return false;
        copy_bytes(cursor, size_t(static_cast<const uint8_t*>(zero) - cursor->at) + 1, out);
    }
    return true;
}

// Copies one frame record, giving every group but its last the items of `shape`.
bool pad_frame(Cursor* cursor, const std::vector<uint32_t>& shape, std::vector<uint8_t>* out)
{
    uint32_t group_count = 0, item_count = 0, note_count = 0;
    if (!copy_bytes(cursor, kFrameHeadSize, out) || !copy_u32(cursor, &group_count, out)) return false;
    if (group_count > shape.size()) return false;
    for (uint32_t g = 0; g < group_count; g++) {
        if (!copy_bytes(cursor, SAVREL_F32_SIZE, out) || !copy_u32(cursor, &item_count, out)) return false;
        size_t item_count_offset = out->size() - SAVREL_U32_SIZE;
        uint32_t wanted = g + 1 < group_count ? shape[g] : item_count;
        if (item_count > wanted || !copy_bytes(cursor, SAVREL_F32_SIZE * size_t(item_count), out)) return false;
        savrel_put_u32(out->data() + item_count_offset, wanted);
        out->resize(out->size() + SAVREL_F32_SIZE * size_t(wanted - item_count), 0);
    }
    return copy_u32(cursor, &note_count, out) && copy_strings(cursor, note_count, out);
}

// The copy's own thread.

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
        // Written out as it goes: a pile of dirty pages would slow the frame thread's writes.
        if (job->threaded) sync_file_range(job->side_fd, off_t(job->side_end), off_t(out.size()), SYNC_FILE_RANGE_WRITE);
        job->side_end += out.size();
        job->side_frames = frames;
        out.clear();
        if (frames == job->source_frames) return last && cursor.at == cursor.end;
        if (last) return false;
        held = size_t(cursor.end - cursor.at);
        std::memmove(in.data(), cursor.at, held);
    }
}

// The frames that waited in memory when the copy began, padded after the file's.
bool pad_source_tail(RewriteJob* job)
{
    std::vector<uint8_t> out;
    Cursor cursor{job->source_tail.data(), job->source_tail.data() + job->source_tail.size()};
    for (uint32_t frame = 0; frame < job->source_tail_frames; frame++)
        if (!pad_frame(&cursor, job->shape, &out)) return false;
    if (!write_fully(job->side_fd, out.data(), out.size(), job->side_end)) return false;
    job->side_end += out.size();
    job->side_frames += job->source_tail_frames;
    return true;
}

// A new side file, held against other writers: renamed over the recording, it keeps the lock.
bool open_side_file(RewriteJob* job)
{
    // The source may be the last side file: its name goes, its open descriptor stays readable.
    unlink(job->side_path.c_str());
    job->side_fd = open(job->side_path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (job->side_fd < 0) return false;
    if (hold_writer_lock(job->side_fd)) return true;
    close(job->side_fd);
    job->side_fd = -1;
    return false;
}

// Pads the source, then appends queued frames until none is waiting.
void run_rewrite(std::shared_ptr<RewriteJob> job)
{
    // Below the program's threads: on a busy machine the copy waits, not the frame thread.
    if (job->threaded) setpriority(PRIO_PROCESS, pid_t(gettid()), kCopyNice);
    // ext4 writes out a file renamed over another during the rename, on the frame thread:
    // written out here first, the rename has only the queued frames left to write.
    bool padded = pad_source(job.get()) && pad_source_tail(job.get()) && (!job->threaded || fdatasync(job->side_fd) == 0);
    std::vector<uint8_t> batch;
    std::unique_lock<std::mutex> hold(job->mutex);
    job->failed = !padded;
    if (!padded) job->error = errno;
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
        if (!written) job->error = errno;
        job->side_end = offset + size;
        job->side_frames += frames;
    }
    job->done = true;
    job->finished.notify_all();
    if (!job->threaded) return;
    job->finished.wait(hold, [&job] { return job->released; });
    for (int fd : job->closing) close(fd);
}

// The frame thread's side.

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

// Frame record and structure record into the side file, in one call.
bool write_side_tail(int fd, uint64_t offset, bool with_frame)
{
    iovec parts[2] = {{state.frame_bytes.data(), with_frame ? state.frame_size : 0},
                      {state.structure_bytes.data(), state.structure_bytes.size()}};
    return write_parts(fd, parts, 2, offset);
}

// The finished copy, with frame_bytes when with_frame, replaces the recording; frames that
// waited for the old file are in it already. Under the lock.
bool swap_in_rewrite(bool with_frame)
{
    RewriteJob* job = state.job.get();
    encode_structure();
    if (!write_side_tail(job->side_fd, job->side_end, with_frame) ||
        rename(job->side_path.c_str(), state.path.c_str()) != 0) {
        state.write_error = errno;
        return false;
    }
    release_job(job, state.fd, source_is_side(job) ? job->source_fd : -1);
    state.fd = job->side_fd;
    state.reserved_end = 0;
    state.frames_end = job->side_end + (with_frame ? state.frame_size : 0);
    state.frames_on_disk = job->side_frames + (with_frame ? 1 : 0);
    state.disk_structure.assign(state.structure_bytes.begin(), state.structure_bytes.end());
    state.waiting.clear();
    state.waiting_frames = 0;
    state.job.reset();
    return true;
}

bool copy_failed(const RewriteJob* job)
{
    state.write_error = job->error;
    return false;
}

// Sections that arrived during a finished copy call for another, from its side file.
bool restart_rewrite(void)
{
    std::shared_ptr<RewriteJob> finished = state.job;
    state.job.reset();
    release_job(finished.get(), source_is_side(finished.get()) ? finished->source_fd : -1, -1);
    if (start_rewrite(finished->side_fd, finished->side_end, finished->side_frames, false)) return true;
    close(finished->side_fd);
    return false;
}

}  // namespace

// Starts copying the frames of source, padded to the sections known now, into a new side
// file; the frame thread queues what comes after.
bool start_rewrite(int source_fd, uint64_t source_end, uint32_t source_frames, bool with_waiting)
{
    std::shared_ptr<RewriteJob> job = std::make_shared<RewriteJob>();
    job->source_fd = source_fd;
    job->source_end = source_end;
    job->source_frames = source_frames;
    // Usually empty: frames wait only while a reader holds the file.
    if (with_waiting) job->source_tail = state.waiting;
    job->source_tail_frames = with_waiting ? state.waiting_frames : 0;
    job->shape.resize(state.group_count);
    for (uint32_t g = 0; g < state.group_count; g++) job->shape[g] = state.groups[g].item_count;
    job->side_path = state.path + kRewriteSuffix;
    job->threaded = source_end + job->source_tail.size() > kInlineRewriteBytes;
    if (!open_side_file(job.get())) return false;
    state.job = job;
    state.rewrite_needed = false;
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
            if (job->failed) return copy_failed(job);
            if (!state.rewrite_needed) return swap_in_rewrite(true);
            if (!restart_rewrite()) return false;
            continue;
        }
        job->queue.insert(job->queue.end(), state.frame_bytes.data(), state.frame_bytes.data() + state.frame_size);
        job->queued_frames++;
        hold.unlock();
        encode_frame(total, state.disk_shape.data(), uint32_t(state.disk_shape.size()));
        return write_encoded_frame();
    }
}

bool finish_rewrite(void)
{
    while (state.job) {
        wait_for(state.job.get());
        if (state.job->failed) return copy_failed(state.job.get());
        if (state.rewrite_needed) {
            if (!restart_rewrite()) return false;
            continue;
        }
        return swap_in_rewrite(false);
    }
    return true;
}

// Under the lock.
void abandon_rewrite(void)
{
    if (!state.job) return;
    RewriteJob* job = state.job.get();
    wait_for(job);
    unlink(job->side_path.c_str());
    release_job(job, job->side_fd, source_is_side(job) ? job->source_fd : -1);
    state.job.reset();
}

}  // namespace recorder_internal
