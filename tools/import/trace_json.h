// trace_json: reads a trace event JSON file (an object with traceEvents, or a bare array,
// possibly never closed) into a Trace, as a stream of parser events rather than a tree.
//
// Does NOT pick frames or sections. The file is mapped and read once; pages already read are
// dropped so that a large trace costs the memory of its events, not of its text.
// Uses: RapidJSON's SAX Reader, mmap, tools/import/trace.h.
#pragma once

#include <cstddef>
#include <string>

#include "tools/import/trace.h"

enum TraceJsonStatus {
    TRACE_JSON_OK = 0,
    TRACE_JSON_UNREADABLE,  // the file could not be opened, mapped or read
    TRACE_JSON_MALFORMED,  // not valid JSON, or cut inside an event; offset says where
    TRACE_JSON_NO_EVENTS,  // valid JSON, but neither an event array nor an object with one
};

struct TraceJsonResult {
    TraceJsonStatus status;
    size_t offset;  // byte of the problem when malformed
    bool cut;  // a bare array that ends between two events
    std::string detail;  // one line naming the problem, "" when OK
};

// The reader scans 16 aligned bytes at a time, so it may look up to this far past the text.
enum { TRACE_JSON_PADDING = 16 };

// Reads the file at path into trace (which starts empty); never throws.
TraceJsonResult trace_json_read(const char* path, Trace* trace);
// The same from bytes in memory; text[size] to text[size + TRACE_JSON_PADDING - 1] must be zero bytes.
TraceJsonResult trace_json_read_memory(const char* text, size_t size, Trace* trace);
