// reader: a recording's file read under a shared lock, checked against crossing writes, into
// the profile table; whole, or only what a writer appended since the last read.
#include "profile/reader.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "profile/profile.h"

namespace {

const int kLockTries = 5;
const long kLockWaitNanoseconds = 200000;
// Retries wait 0.2 ms, then twice as long each time up to 3.2 ms: a writer's frame write is
// over in far less, while a file that keeps changing is not read back to back.
const long kFirstRetryWaitNanoseconds = 200000;
const int kRetryWaitDoublings = 4;
const double kPersistSeconds = 1.0;
const double kSettleSeconds = 0.005;
const int kAppendTries = 3;
const size_t kWindowBytes = 4096;  // compared at each end of the bytes before the structure record
const size_t kSmallStep = size_t(64) << 10;
const size_t kHugeStep = size_t(2) << 20;

// What tells one state of the file from the next.
struct Identity {
    bool known;
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified;
    timespec changed;
};

// The ends of the bytes before the table's structure record, to recognise the same recording.
struct Fingerprint {
    uint8_t head[kWindowBytes];
    size_t head_size;
    uint8_t tail[kWindowBytes];
    size_t tail_size;
};

// How one read went.
enum Outcome {
    READ_DONE,  // consistent bytes
    READ_CROSSED,  // a write crossed it
    READ_LOCKED,
    READ_NOT_CONTINUED,  // not the table's file grown in place
    READ_FAILED,  // status and detail say why
};

// A read that did not load cleanly, kept to see whether later ones find the file the same.
struct Suspect {
    Identity identity;
    ProfileStatus status;
    double time;
};

struct Reader {
    uint8_t* bytes;
    size_t capacity;
    size_t size;
    bool whole;  // bytes holds the whole file of the table on show
    Identity base;  // the file the table was read from
    Identity seen;  // the same, forgotten after a failed read so that the next check reloads
    Fingerprint print;
    size_t bytes_read;
    RecordingStatus status;
    char detail[192];
};

Reader reader;

double seconds_now()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

void pause_for(long nanoseconds)
{
    timespec wait = {0, nanoseconds};
    nanosleep(&wait, nullptr);
}

void pause_before_retry(int tries)
{
    int doublings = tries - 1 < kRetryWaitDoublings ? tries - 1 : kRetryWaitDoublings;
    pause_for(kFirstRetryWaitNanoseconds << doublings);
}

Identity identity_of(const struct stat& info)
{
    return Identity{true, info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
}

bool same_time(const timespec& a, const timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool same_identity(const Identity& a, const Identity& b)
{
    return a.known && b.known && a.device == b.device && a.inode == b.inode && a.size == b.size &&
           same_time(a.modified, b.modified) && same_time(a.changed, b.changed);
}

void set_detail(RecordingStatus status, const char* format, ...) __attribute__((format(printf, 2, 3)));

void set_detail(RecordingStatus status, const char* format, ...)
{
    reader.status = status;
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(reader.detail, sizeof reader.detail, format, arguments);
    va_end(arguments);
}

Outcome fail(RecordingStatus status, const char* reason)
{
    set_detail(status, "%s", reason);
    return READ_FAILED;
}

// A large recording goes in huge pages where the system allows: read into small pages, it
// spends much of its read time faulting them in.
bool hold(size_t size)
{
    if (size <= reader.capacity) return true;
    bool large = size >= kHugeStep;
    size_t step = large ? kHugeStep : kSmallStep;
    size_t capacity = (size + step - 1) / step * step;
    void* grown = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (grown == MAP_FAILED) return false;
    if (large) madvise(grown, capacity, MADV_HUGEPAGE);
    recording_release();
    reader.bytes = static_cast<uint8_t*>(grown);
    reader.capacity = capacity;
    return true;
}

// EINTR and short reads are read on; false on an error or when the file ends early.
bool read_fully(int file, uint8_t* into, size_t size, off_t at)
{
    size_t done = 0;
    while (done < size) {
        ssize_t got = pread(file, into + done, size - done, at + off_t(done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += size_t(got);
    }
    return true;
}

// The file ends where its size said: one more byte would be a write that crossed the read.
bool ends_at(int file, off_t size)
{
    uint8_t extra;
    ssize_t got;
    do got = pread(file, &extra, 1, size);
    while (got < 0 && errno == EINTR);
    return got == 0;
}

bool lock_shared(int file)
{
    for (int tries = 0; tries < kLockTries;) {
        if (flock(file, LOCK_SH | LOCK_NB) == 0) return true;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return false;
        pause_for(kLockWaitNanoseconds);
        tries++;
    }
    return false;
}

bool window_matches(int file, const uint8_t* expected, size_t size, off_t at)
{
    uint8_t found[kWindowBytes];
    return read_fully(file, found, size, at) && std::memcmp(found, expected, size) == 0;
}

// The open file is the table's file grown in place, with the same bytes at both ends of what
// came before the table's structure record.
bool continues_base(int file, const Identity& now)
{
    const Identity& base = reader.base;
    off_t structure = off_t(profile_structure_offset());
    return base.known && now.device == base.device && now.inode == base.inode && now.size > base.size &&
           window_matches(file, reader.print.head, reader.print.head_size, 0) &&
           window_matches(file, reader.print.tail, reader.print.tail_size, structure - off_t(reader.print.tail_size));
}

// Reads the open file from `from` to its end under the lock it holds.
Outcome read_locked(int file, off_t from, bool continuing, Identity* identity)
{
    struct stat info;
    if (fstat(file, &info) != 0) return fail(RECORDING_CANNOT_OPEN, std::strerror(errno));
    if (!S_ISREG(info.st_mode)) return fail(RECORDING_NOT_REGULAR, "not a regular file");
    *identity = identity_of(info);
    if (continuing && !continues_base(file, *identity)) return READ_NOT_CONTINUED;
    if (info.st_size < from) return READ_CROSSED;
    size_t wanted = size_t(info.st_size - from);
    if (!hold(wanted)) {
        set_detail(RECORDING_NO_MEMORY, "cannot hold its %zu bytes in memory", wanted);
        return READ_FAILED;
    }
    reader.bytes_read += wanted;
    if (!read_fully(file, reader.bytes, wanted, from) || !ends_at(file, info.st_size)) return READ_CROSSED;
    reader.size = wanted;
    struct stat after;
    if (fstat(file, &after) != 0 || !same_identity(identity_of(after), *identity)) return READ_CROSSED;
    return READ_DONE;
}

// Non-blocking, so that a named pipe in the file's place cannot hang the caller.
Outcome read_file(const char* path, off_t from, bool continuing, Identity* identity)
{
    int file = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (file < 0) return fail(RECORDING_CANNOT_OPEN, std::strerror(errno));
    Outcome outcome = lock_shared(file) ? read_locked(file, from, continuing, identity) : READ_LOCKED;
    close(file);
    return outcome;
}

void keep_window(uint8_t* window, size_t* size, const uint8_t* bytes, size_t count)
{
    *size = count < kWindowBytes ? count : kWindowBytes;
    std::memcpy(window, bytes + count - *size, *size);
}

// After a whole read: the ends of the bytes before the new structure record.
void fingerprint_whole(void)
{
    size_t before = profile_structure_offset();
    reader.print.head_size = before < kWindowBytes ? before : kWindowBytes;
    std::memcpy(reader.print.head, reader.bytes, reader.print.head_size);
    keep_window(reader.print.tail, &reader.print.tail_size, reader.bytes, before);
}

// After an append of `added` bytes of frames in front of the new structure record.
void fingerprint_appended(size_t added)
{
    Fingerprint* print = &reader.print;
    size_t head_more = added < kWindowBytes - print->head_size ? added : kWindowBytes - print->head_size;
    std::memcpy(print->head + print->head_size, reader.bytes, head_more);
    print->head_size += head_more;
    uint8_t joined[2 * kWindowBytes];
    size_t from_new = added < kWindowBytes ? added : kWindowBytes;
    std::memcpy(joined, print->tail, print->tail_size);
    std::memcpy(joined + print->tail_size, reader.bytes + added - from_new, from_new);
    keep_window(print->tail, &print->tail_size, joined, print->tail_size + from_new);
}

RecordingStatus accept(const Identity& identity)
{
    reader.base = identity;
    reader.seen = identity;
    reader.status = RECORDING_OK;
    reader.detail[0] = 0;
    return RECORDING_OK;
}

RecordingStatus refuse(void)
{
    reader.seen = Identity{};
    if (reader.status == RECORDING_DAMAGED) std::snprintf(reader.detail, sizeof reader.detail, "%s", profile_last_detail());
    return reader.status;
}

// The frames appended since the table was read, when the file is its file grown in place;
// false means read it whole.
bool append_new_bytes(const char* path)
{
    size_t old_structure = profile_structure_offset();
    for (int tries = 0; tries < kAppendTries; tries++) {
        if (tries > 0) pause_before_retry(tries);
        Identity identity;
        Outcome outcome = read_file(path, off_t(old_structure), true, &identity);
        if (outcome == READ_NOT_CONTINUED || outcome == READ_FAILED) return false;
        if (outcome != READ_DONE) continue;
        ProfileAppend appended = profile_append_memory(reader.bytes, reader.size, size_t(identity.size));
        if (appended == PROFILE_APPEND_NOT_CONTINUED) return false;
        if (appended == PROFILE_APPEND_DAMAGED) continue;
        fingerprint_appended(profile_structure_offset() - old_structure);
        reader.whole = false;
        accept(identity);
        return true;
    }
    return false;
}

// The file is simply like that: the same identity and outcome at least kSettleSeconds apart,
// longer than the file system's clock step, so that a write between them changes the times.
bool settles(Suspect* suspect, const Identity& identity, ProfileStatus status, double now)
{
    bool same = same_identity(suspect->identity, identity) && suspect->status == status;
    if (same && now - suspect->time >= kSettleSeconds) return true;
    if (!same) *suspect = Suspect{identity, status, now};
    return false;
}

RecordingStatus refuse_persisting(Outcome outcome)
{
    if (outcome == READ_LOCKED)
        set_detail(RECORDING_LOCKED, "its writer kept it locked for %.0f ms", kPersistSeconds * 1000.0);
    else
        set_detail(RECORDING_CHANGING, "a write crossed every read for %.0f ms", kPersistSeconds * 1000.0);
    return refuse();
}

// Whole reads until one loads cleanly, the file settles in a state that does not, or the
// crossing writes persist.
RecordingStatus read_whole(const char* path)
{
    double deadline = seconds_now() + kPersistSeconds;
    Suspect suspect{};
    reader.whole = false;
    for (int tries = 0;; tries++) {
        if (tries > 0) pause_before_retry(tries);
        Identity identity{};
        Outcome outcome = read_file(path, 0, false, &identity);
        if (outcome == READ_FAILED) return refuse();
        double now = seconds_now();
        if (outcome == READ_LOCKED || outcome == READ_CROSSED) {
            if (now > deadline) return refuse_persisting(outcome);
            continue;
        }
        bool loaded = profile_reload_memory(reader.bytes, reader.size, true);
        ProfileStatus status = profile_last_status();
        // A table with warnings is on show already; it is another file's until accepted.
        if (loaded) reader.base = Identity{};
        bool settled = status != PROFILE_OK && settles(&suspect, identity, status, now);
        if (settled && status == PROFILE_TRAILING_BYTES) loaded = profile_reload_memory(reader.bytes, reader.size);
        if (loaded && (status == PROFILE_OK || settled)) {
            reader.whole = true;
            fingerprint_whole();
            return accept(identity);
        }
        if (settled || now > deadline) {
            reader.status = RECORDING_DAMAGED;
            return refuse();
        }
    }
}

}  // namespace

RecordingStatus recording_load(const char* path)
{
    reader.bytes_read = 0;
    reader.base = Identity{};
    profile_load_memory(nullptr, 0);
    RecordingStatus status = read_whole(path);
    if (status != RECORDING_OK && status != RECORDING_DAMAGED) profile_load_failed(PROFILE_CANNOT_OPEN, reader.detail);
    return status;
}

RecordingStatus recording_reload(const char* path)
{
    reader.bytes_read = 0;
    if (append_new_bytes(path)) return RECORDING_OK;
    return read_whole(path);
}

bool recording_changed(const char* path)
{
    struct stat info;
    return stat(path, &info) != 0 || !same_identity(identity_of(info), reader.seen);
}

const char* recording_status_text(RecordingStatus status)
{
    switch (status) {
    case RECORDING_OK: return "read";
    case RECORDING_CANNOT_OPEN: return "cannot be opened";
    case RECORDING_NOT_REGULAR: return "not a regular file";
    case RECORDING_LOCKED: return "its writer kept it locked";
    case RECORDING_CHANGING: return "a write crossed every read";
    case RECORDING_NO_MEMORY: return "too large to hold in memory";
    case RECORDING_DAMAGED: return "does not load";
    }
    return "unknown status";
}

const char* recording_last_detail(void)
{
    return reader.detail;
}

const uint8_t* recording_bytes(size_t* size)
{
    *size = reader.whole ? reader.size : 0;
    return reader.whole ? reader.bytes : nullptr;
}

size_t recording_last_bytes_read(void)
{
    return reader.bytes_read;
}

void recording_release(void)
{
    if (reader.bytes) munmap(reader.bytes, reader.capacity);
    reader.bytes = nullptr;
    reader.capacity = 0;
    reader.size = 0;
    reader.whole = false;
}

void profile_load(const char* path)
{
    recording_load(path);
    recording_release();
}
