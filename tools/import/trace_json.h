// trace_json: reads a trace event JSON file (an object with traceEvents, or a bare array,
// possibly never closed) into a Trace, as a stream of parser events rather than a tree.
//
// Does NOT pick frames or sections, and holds no tree of the document: each event's fields are
// gathered as the parser reports them and stored compactly when the event closes.
// Uses: RapidJSON's SAX Reader (recursive, its depth bounded here), tools/import/trace_file.h,
// tools/import/trace.h.
#pragma once

#include <cstddef>
#include <string>

#include "tools/import/trace.h"
#include "tools/import/trace_file.h"

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

// Reads the file at path into trace (which starts empty); never throws.
TraceJsonResult trace_json_read(const char* path, Trace* trace);
// The same from bytes in memory; text[size] to text[size + TRACE_FILE_PADDING - 1] must be zero bytes.
TraceJsonResult trace_json_read_memory(const char* text, size_t size, Trace* trace);
