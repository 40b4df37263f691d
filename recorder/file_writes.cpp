// File writes: every write at the recording's path. A write never waits for a reader, never
// passes the file size limit, and when it fails leaves the file as it was.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

#include "recorder/internal.h"

namespace recorder_internal {

namespace {

// Frames wait in memory for a reader at most this long or this much; then they are written
// without the readers' lock, and a reader sees that its read was crossed.
const size_t kMostWaitingBytes = 16u << 20;
const double kMostWaitingMilliseconds = 2000.0;
// The writer's lock: one byte far past the end of any real recording.
const off_t kWriterLockStart = off_t(1) << 62;
const uint64_t kReserveStep = 1u << 20;

bool try_lock(int fd)
{
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EINTR) return false;
    }
}

// The size limit, or 0 when there is none.
uint64_t size_limit(void)
{
    rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
    return limit.rlim_cur;
}

// A write that would pass RLIMIT_FSIZE is refused here: the kernel would stop the program.
bool within_size_limit(uint64_t end)
{
    uint64_t limit = size_limit();
    if (limit == 0 || end <= limit) return true;
    errno = EFBIG;
    return false;
}

// Blocks for the bytes before writing them, so that a full disk fails here, not half-way.
// They are taken a step ahead, which saves a call on most frames; close gives back the rest.
bool reserve(int fd, uint64_t offset, uint64_t size)
{
    if (!within_size_limit(offset + size)) return false;
    if (offset + size <= state.reserved_end) return true;
    uint64_t end = offset + std::max<uint64_t>(size, kReserveStep);
    uint64_t limit = size_limit();
    if (limit != 0) end = std::min(end, limit);
    if (fallocate(fd, FALLOC_FL_KEEP_SIZE, off_t(offset), off_t(end - offset)) == 0) {
        state.reserved_end = end;
        return true;
    }
    return errno == EOPNOTSUPP || errno == ENOSYS || errno == EINTR;
}

// After a failed write: the old structure record again, and the file cut to its old size.
void put_back(int fd)
{
    write_fully(fd, state.disk_structure.data(), state.disk_structure.size(), state.frames_end);
    if (ftruncate(fd, off_t(state.frames_end + state.disk_structure.size())) != 0) return;
}

// The waiting frames and the structure record over the old structure record.
bool write_waiting(int fd)
{
    iovec parts[2] = {{state.waiting.data(), state.waiting.size()},
                      {state.structure_bytes.data(), state.structure_bytes.size()}};
    if (!reserve(fd, state.frames_end, state.waiting.size() + state.structure_bytes.size())) {
        state.write_error = errno;
        return false;
    }
    if (!write_parts(fd, parts, 2, state.frames_end)) {
        state.write_error = errno ? errno : EIO;
        put_back(fd);
        return false;
    }
    state.frames_end += state.waiting.size();
    state.frames_on_disk += state.waiting_frames;
    state.disk_structure.assign(state.structure_bytes.begin(), state.structure_bytes.end());
    state.waiting.clear();
    state.waiting_frames = 0;
    return true;
}

bool waited_too_long(void)
{
    return state.waiting.size() >= kMostWaitingBytes ||
           milliseconds_since(state.waiting_since) >= kMostWaitingMilliseconds;
}

void queue_frame(void)
{
    if (state.waiting_frames == 0) state.waiting_since = std::chrono::steady_clock::now();
    state.waiting.insert(state.waiting.end(), state.frame_bytes.data(), state.frame_bytes.data() + state.frame_size);
    state.waiting_frames++;
}

}  // namespace

bool hold_writer_lock(int fd)
{
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = kWriterLockStart;
    lock.l_len = 1;
    return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

bool write_parts(int fd, iovec* parts, int part_count, uint64_t offset)
{
    uint64_t size = 0;
    for (int p = 0; p < part_count; p++) size += parts[p].iov_len;
    if (!within_size_limit(offset + size)) return false;
    for (;;) {
        while (part_count > 0 && parts->iov_len == 0) parts++, part_count--;
        if (part_count == 0) return true;
        ssize_t written = pwritev(fd, parts, part_count, off_t(offset));
        if (written < 0 && errno == EINTR) continue;
        if (written == 0) errno = ENOSPC;
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

// Not waiting for a reader either: a reader sees the file change under its read.
bool write_first(int fd)
{
    bool locked = try_lock(fd);
    state.frames_end = 0;
    state.reserved_end = 0;
    state.frames_on_disk = 0;
    state.disk_structure.clear();
    state.waiting.clear();
    state.waiting.reserve(kMaxFrameBytes);
    state.waiting_frames = 0;
    bool written = ftruncate(fd, 0) == 0 && write_waiting(fd);
    if (!written && state.write_error == 0) state.write_error = errno;
    if (locked) flock(fd, LOCK_UN);
    return written;
}

bool flush_waiting(bool without_lock)
{
    bool locked = try_lock(state.fd);
    if (!locked && !without_lock && !waited_too_long()) return true;
    bool written = write_waiting(state.fd);
    if (locked) flock(state.fd, LOCK_UN);
    return written;
}

bool write_frame(float total)
{
    if (!state.job && state.rewrite_needed && !start_rewrite(state.fd, state.frames_end, state.frames_on_disk, true))
        return false;
    if (state.job) return write_frame_during_rewrite(total);
    encode_frame(total, nullptr, state.group_count);
    if (state.structure_changed) encode_structure();
    return write_encoded_frame();
}

bool write_encoded_frame(void)
{
    queue_frame();
    return flush_waiting(false);
}

// The structure record of every section named, after the last frame. Under the lock.
bool finish_file(void)
{
    if (!state.job && state.rewrite_needed && !start_rewrite(state.fd, state.frames_end, state.frames_on_disk, true))
        return false;
    if (state.job) return finish_rewrite();
    if (state.structure_changed) encode_structure();
    if ((state.waiting_frames > 0 || state.disk_structure != state.structure_bytes) && !flush_waiting(true))
        return false;
    // The blocks reserved past the end go back.
    if (ftruncate(state.fd, off_t(state.frames_end + state.disk_structure.size())) != 0) state.write_error = errno;
    return true;
}

// Under the lock.
void drop_recording(void)
{
    abandon_rewrite();
    if (state.fd >= 0) close(state.fd);
    state.fd = -1;
    state.waiting.clear();
    state.waiting_frames = 0;
    state.current.store(0, std::memory_order_release);
    collect_buffers();
    reset_sections();
}

}  // namespace recorder_internal
