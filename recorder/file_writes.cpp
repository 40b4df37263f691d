// File writes: every write at the recording's path, under the lock that followers read under.
#include <errno.h>
#include <sys/file.h>
#include <unistd.h>

#include "recorder/internal.h"

namespace recorder_internal {

namespace {

bool lock_file(int fd)
{
    while (flock(fd, LOCK_EX) != 0)
        if (errno != EINTR) return false;
    return true;
}

}  // namespace

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

bool write_tail_locked(int fd, uint64_t offset, bool with_frame)
{
    if (!lock_file(fd)) return false;
    bool written = write_tail(fd, offset, with_frame);
    flock(fd, LOCK_UN);
    return written;
}

// In one locked step.
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
    if (state.job) return finish_rewrite();
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
    collect_buffers();
    reset_sections();
}

}  // namespace recorder_internal
