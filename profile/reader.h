// reader: reads a recording from its file into the profile table, safely beside the program
// that is writing it; the one way start-up, R, follow and savrel-inspect read a recording.
//
// Does NOT map the file (a file cut short under a mapping would fault the process), never
// waits on the writer for long nor makes it wait, and prints nothing.
//
// What it relies on from the writer (the recorder; recorder/recorder.h): one writer per
// recording; in place the writer only truncates when it opens, appends frames and a new
// structure record from the old structure record's offset on, or puts back the last complete
// recording after a failed write; otherwise the file at the path is replaced whole by a rename.
// Writes take an exclusive flock for their duration, but a writer whose readers hold the lock
// too long writes without it.
//
// So every read takes a shared flock (a few short tries, never a blocking wait) and is checked
// as if a write could have crossed it: the file's identity (device, inode, size, modification
// and change times) must agree before and after, the read must get exactly that size, and the
// bytes must load with their structure record ending at the last byte. A read that fails these
// checks is tried again after a short wait (0.2 ms, growing to 3.2 ms). It is reported only
// when it persists: when reads at least 5 ms apart (longer than the file times' clock step)
// find the file unchanged and loading the same way (the file is simply like that; bytes after
// a structure record are then accepted, as the format allows), or after 1000 ms of reads that
// a write crossed or that found the lock taken. A torn table is never shown.
//
// When the file is the one the table was read from, larger, with the bytes before its old
// structure record unchanged (the first and the last 4 KiB before it are compared), a reload
// reads only from the old structure record on and appends to the table; anything else is
// read whole. A restart in place whose first and last 4 KiB before the old structure record's
// offset repeat the old recording's bytes exactly would be taken for a continuation.
//
// Use: recording_load(path) at start-up and in savrel-inspect (the table is empty on failure);
// recording_reload(path) for R and follow (the table stays on failure); recording_changed(path)
// to see whether a reload is due. Uses: profile/profile.h, POSIX open, pread, fstat, flock.
#pragma once

#include <cstddef>
#include <cstdint>

// How the last read ended; recording_status_text() words it for people.
enum RecordingStatus {
    RECORDING_OK = 0,
    RECORDING_CANNOT_OPEN,  // opening or reading failed; the detail is the system's reason
    RECORDING_NOT_REGULAR,  // a folder, a named pipe or a device
    RECORDING_LOCKED,  // its writer held the lock through every try for 1000 ms
    RECORDING_CHANGING,  // a write crossed every read for 1000 ms
    RECORDING_NO_MEMORY,  // its bytes do not fit in memory
    RECORDING_DAMAGED,  // its bytes do not load, the same way twice; profile_last_status() says why
};

RecordingStatus recording_load(const char* path);  // the table from the whole file; empty on failure
RecordingStatus recording_reload(const char* path);  // only new bytes when it can; keeps the table on failure
bool recording_changed(const char* path);  // the file at path is not the one last read well, or none was
const char* recording_status_text(RecordingStatus status);  // a short reason for a status
const char* recording_last_detail(void);  // the last read's reason with its particulars; "" after OK
const uint8_t* recording_bytes(size_t* size);  // the bytes the last load read whole; null after a reload that appended
size_t recording_last_bytes_read(void);  // bytes the last load or reload read from the file, retries included
void recording_release(void);  // frees the bytes kept between reads
