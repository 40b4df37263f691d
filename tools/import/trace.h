// trace: the events of a trace held compactly per thread, with interned names, for savrel-import.
//
// Does NOT read JSON, pick frames or write recordings; it only stores what a reader found and
// sorts each thread's durations into a tree. Times stay in the trace's microseconds here.
// Uses: <string>, <unordered_map>, <vector>.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

enum { TRACE_NO_NAME = UINT32_MAX };

// A duration on one thread, in microseconds; depth is its nesting level once trace_sort has run.
struct TraceSpan {
    double start;
    double end;
    uint32_t name;
    uint32_t depth;
};

struct TraceInstant {
    double time;
    uint32_t name;
};

// A begin event still waiting for its end.
struct TraceOpen {
    double start;
    uint32_t name;
};

// pid or tid as written: a number, a string (an interned name id in bits) or absent.
enum TraceIdKind : uint8_t { TRACE_ID_MISSING = 0,
                             TRACE_ID_NUMBER = 1,
                             TRACE_ID_STRING = 2 };
struct TraceId {
    TraceIdKind kind;
    double number;
    uint32_t string;
};

struct TraceThread {
    TraceId pid;
    TraceId tid;
    uint32_t name;  // from thread_name metadata, or TRACE_NO_NAME
    std::vector<TraceSpan> spans;
    std::vector<TraceInstant> instants;
    std::vector<TraceOpen> open;
};

// Events read past, by reason, for the summary.
struct TraceSkipped {
    uint64_t other;  // counters, async, flow, samples, objects, other metadata
    uint64_t unmatched_ends;  // E without a B
    uint64_t unclosed_begins;  // B never ended
    uint64_t unusable;  // a required field missing, of the wrong type or out of range
};

struct TraceThreadKey {
    uint64_t pid;
    uint64_t tid;
    uint8_t pid_kind;
    uint8_t tid_kind;
    bool operator==(const TraceThreadKey&) const = default;
};

struct TraceThreadKeyHash {
    size_t operator()(const TraceThreadKey& key) const { return std::hash<uint64_t>{}(key.pid * 0x9E3779B97F4A7C15ull ^ key.tid ^ (uint64_t(key.pid_kind) << 8 | key.tid_kind)); }
};

struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

struct Trace {
    std::vector<TraceThread> threads;
    std::vector<const std::string*> names;  // by id; the strings live in name_ids' nodes
    std::unordered_map<std::string, uint32_t, NameHash, std::equal_to<>> name_ids;
    std::unordered_map<TraceThreadKey, uint32_t, TraceThreadKeyHash> thread_ids;
    TraceSkipped skipped;
    uint64_t event_count;
};

uint32_t trace_intern(Trace* trace, std::string_view text);  // the id of a name, added when new
const std::string& trace_name(const Trace& trace, uint32_t name);  // the text of a name id
uint32_t trace_thread(Trace* trace, TraceId pid, TraceId tid);  // the thread of a pid and tid, added when new
std::string trace_id_text(const Trace& trace, TraceId id);  // "1234" or the string as written
std::string trace_thread_label(const Trace& trace, uint32_t thread);  // its name, or "thread TID"
// Closes what can no longer be matched and sorts each thread's durations by start, the
// longer first at equal starts, with their nesting depths; instants by time.
void trace_sort(Trace* trace);
