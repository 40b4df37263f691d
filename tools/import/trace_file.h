// trace_file: a trace's text in memory for the reader, ending in zero bytes: mapped when the
// file is a regular file, read whole otherwise (a pipe, a process substitution).
//
// Does NOT parse. A mapped text gives the pages already parsed back to the system, so a large
// trace costs the memory of its events rather than of its text. Uses: mmap, madvise, read.
#pragma once

#include <cstddef>
#include <string>

// The reader scans 16 aligned bytes at a time, so it may look up to this far past the text.
enum { TRACE_FILE_PADDING = 16 };

struct TraceFile {
    const char* text;  // text[size] to text[size + TRACE_FILE_PADDING - 1] are zero
    size_t size;
    size_t mapped_size;  // 0 when the text was read into heap
    size_t dropped;  // bytes from the start already given back
    std::string heap;
};

// Opens the file at path; returns false with the reason in problem.
bool trace_file_open(const char* path, TraceFile* file, std::string* problem);
void trace_file_drop(TraceFile* file, size_t position);  // gives back whole pages before position when mapped
void trace_file_close(TraceFile* file);  // unmaps or frees the text
