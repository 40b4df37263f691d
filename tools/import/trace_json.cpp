#include "tools/import/trace_json.h"

#include <cmath>
#include <cstring>

// Every x86-64 has SSE2; with it the reader scans strings and whitespace 16 bytes at a time.
#if defined(__SSE2__) && !defined(RAPIDJSON_SSE2)
#define RAPIDJSON_SSE2
#endif
#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

namespace {

// Deeper than any real trace's arguments, shallow enough for the parser's recursion.
const uint32_t kMaxDepth = 1000;
// Past this a time in microseconds (about 31 years) is damage, not a trace.
const double kLargestTime = 1e15;
// Events read between two chances to give parsed pages back.
const uint32_t kDropCheckEvents = 4096;

enum Field : uint8_t { FIELD_OTHER,
                       FIELD_NAME,
                       FIELD_PHASE,
                       FIELD_TS,
                       FIELD_DUR,
                       FIELD_PID,
                       FIELD_TID,
                       FIELD_ARGS };

enum Root : uint8_t { ROOT_NONE,
                      ROOT_ARRAY,
                      ROOT_OBJECT };

// The fields of the event being read; strings are copied, the parser reuses its buffer.
struct EventFields {
    std::string name;
    std::string pid_text;
    std::string tid_text;
    std::string args_name;
    TraceId pid;
    TraceId tid;
    double ts;
    double dur;
    char phase;
    bool has_ts;
    bool has_dur;
    bool has_phase;
    bool has_args_name;
    bool bad;
};

struct Handler : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Handler> {
    Trace* trace;
    const rapidjson::StringStream* stream;
    TraceFile* file;  // null for text in memory
    uint32_t depth;
    uint32_t events_depth;  // containers open inside the event array; 0 outside it
    Root root;
    bool next_is_events;
    bool in_event;
    bool in_args;
    bool args_key_is_name;
    bool too_deep;
    Field field;
    uint32_t events_since_check;
    EventFields event;
    TraceId last_pid;
    TraceId last_tid;
    uint32_t last_thread;

    bool at_event_level() const { return in_event && depth == events_depth + 1; }
    bool at_args_level() const { return in_args && depth == events_depth + 2; }

    bool Null() { return scalar_missing(); }
    bool Bool(bool) { return scalar_wrong(); }
    bool Int(int value) { return number(value); }
    bool Uint(unsigned value) { return number(value); }
    bool Int64(int64_t value) { return number(double(value)); }
    bool Uint64(uint64_t value) { return number(double(value)); }
    bool Double(double value) { return number(value); }
    bool String(const char* text, rapidjson::SizeType length, bool);
    bool Key(const char* text, rapidjson::SizeType length, bool);
    bool StartObject() { return open(true); }
    bool StartArray() { return open(false); }
    bool EndObject(rapidjson::SizeType);
    bool EndArray(rapidjson::SizeType);

    bool top_level_value();
    bool scalar_missing();
    bool scalar_wrong();
    bool number(double value);
    bool open(bool object);
    void finish_event();
    uint32_t event_thread();
};

Field field_of_key(const char* text, size_t length)
{
    switch (length) {
    case 2:
        if (std::memcmp(text, "ph", 2) == 0) return FIELD_PHASE;
        if (std::memcmp(text, "ts", 2) == 0) return FIELD_TS;
        return FIELD_OTHER;
    case 3:
        if (std::memcmp(text, "dur", 3) == 0) return FIELD_DUR;
        if (std::memcmp(text, "pid", 3) == 0) return FIELD_PID;
        if (std::memcmp(text, "tid", 3) == 0) return FIELD_TID;
        return FIELD_OTHER;
    case 4:
        if (std::memcmp(text, "name", 4) == 0) return FIELD_NAME;
        if (std::memcmp(text, "args", 4) == 0) return FIELD_ARGS;
        return FIELD_OTHER;
    default:
        return FIELD_OTHER;
    }
}

bool usable_time(double value)
{
    return std::isfinite(value) && std::fabs(value) <= kLargestTime;
}

bool same_id(TraceId left, TraceId right)
{
    return left.kind == right.kind && left.number == right.number && left.string == right.string;
}

// A value directly in the top-level object or in the event array.
bool Handler::top_level_value()
{
    if (depth == 1 && root == ROOT_OBJECT) next_is_events = false;
    if (events_depth != 0 && depth == events_depth) trace->skipped.unusable++;
    return true;
}

bool Handler::scalar_missing()
{
    if (at_event_level()) {
        if (field != FIELD_PID && field != FIELD_TID && field != FIELD_OTHER && field != FIELD_ARGS) event.bad = true;
        field = FIELD_OTHER;
        return true;
    }
    if (at_args_level()) args_key_is_name = false;
    return top_level_value();
}

bool Handler::scalar_wrong()
{
    if (at_event_level()) {
        if (field != FIELD_OTHER && field != FIELD_ARGS) event.bad = true;
        field = FIELD_OTHER;
        return true;
    }
    if (at_args_level()) args_key_is_name = false;
    return top_level_value();
}

bool Handler::number(double value)
{
    if (!at_event_level()) return scalar_wrong();
    switch (field) {
    case FIELD_TS: event.ts = value, event.has_ts = true; break;
    case FIELD_DUR: event.dur = value, event.has_dur = true; break;
    case FIELD_PID: event.pid = TraceId{TRACE_ID_NUMBER, value, 0}; break;
    case FIELD_TID: event.tid = TraceId{TRACE_ID_NUMBER, value, 0}; break;
    case FIELD_OTHER:
    case FIELD_ARGS: break;
    default: event.bad = true; break;
    }
    field = FIELD_OTHER;
    return true;
}

bool Handler::String(const char* text, rapidjson::SizeType length, bool)
{
    if (at_args_level() && args_key_is_name) {
        event.args_name.assign(text, length);
        event.has_args_name = true;
        args_key_is_name = false;
        return true;
    }
    if (!at_event_level()) return scalar_wrong();
    switch (field) {
    case FIELD_NAME: event.name.assign(text, length); break;
    case FIELD_PHASE:
        event.phase = length == 1 ? text[0] : '?';
        event.has_phase = true;
        break;
    case FIELD_PID: event.pid_text.assign(text, length), event.pid = TraceId{TRACE_ID_STRING, 0.0, 0}; break;
    case FIELD_TID: event.tid_text.assign(text, length), event.tid = TraceId{TRACE_ID_STRING, 0.0, 0}; break;
    case FIELD_OTHER: break;
    default: event.bad = true; break;
    }
    field = FIELD_OTHER;
    return true;
}

bool Handler::Key(const char* text, rapidjson::SizeType length, bool)
{
    if (at_event_level()) {
        field = field_of_key(text, length);
    } else if (at_args_level()) {
        args_key_is_name = length == 4 && std::memcmp(text, "name", 4) == 0;
    } else if (depth == 1 && root == ROOT_OBJECT) {
        next_is_events = length == 11 && std::memcmp(text, "traceEvents", 11) == 0;
    }
    return true;
}

bool Handler::open(bool object)
{
    if (depth >= kMaxDepth) {
        too_deep = true;
        return false;
    }
    if (depth == 0) root = object ? ROOT_OBJECT : ROOT_ARRAY;
    if (at_event_level()) {
        if (field == FIELD_ARGS && object)
            in_args = true;
        else if (field != FIELD_OTHER && field != FIELD_ARGS)
            event.bad = true;
        field = FIELD_OTHER;
    } else if (at_args_level()) {
        args_key_is_name = false;
    } else if (events_depth != 0 && depth == events_depth) {
        if (object) {
            event.name.clear();
            event.pid = event.tid = TraceId{TRACE_ID_MISSING, 0.0, 0};
            event.has_ts = event.has_dur = event.has_phase = event.has_args_name = event.bad = false;
            in_event = true;
            field = FIELD_OTHER;
        } else {
            trace->skipped.unusable++;
        }
    } else if (depth == 1 && root == ROOT_OBJECT) {
        if (next_is_events && !object) events_depth = 2;
        next_is_events = false;
    } else if (depth == 0 && !object) {
        events_depth = 1;
    }
    depth++;
    return true;
}

bool Handler::EndObject(rapidjson::SizeType)
{
    depth--;
    if (in_args && depth == events_depth + 1) in_args = false;
    if (in_event && depth == events_depth) {
        in_event = false;
        finish_event();
    }
    return true;
}

bool Handler::EndArray(rapidjson::SizeType)
{
    depth--;
    if (events_depth != 0 && depth == events_depth - 1) events_depth = 0;
    return true;
}

uint32_t Handler::event_thread()
{
    if (event.pid.kind == TRACE_ID_STRING) event.pid.string = trace_intern(trace, event.pid_text);
    if (event.tid.kind == TRACE_ID_STRING) event.tid.string = trace_intern(trace, event.tid_text);
    if (last_thread != UINT32_MAX && same_id(event.pid, last_pid) && same_id(event.tid, last_tid)) return last_thread;
    last_pid = event.pid;
    last_tid = event.tid;
    last_thread = trace_thread(trace, event.pid, event.tid);
    return last_thread;
}

void Handler::finish_event()
{
    trace->event_count++;
    if (++events_since_check >= kDropCheckEvents && file) {
        events_since_check = 0;
        trace_file_drop(file, stream->Tell());
    }
    bool timed = event.has_ts && usable_time(event.ts);
    if (event.bad || !event.has_phase) {
        trace->skipped.unusable++;
        return;
    }
    switch (event.phase) {
    case 'X':
        if (!timed || !event.has_dur || !usable_time(event.dur) || event.dur < 0) break;
        trace->threads[event_thread()].spans.push_back(TraceSpan{event.ts, event.ts + event.dur, trace_intern(trace, event.name), 0});
        return;
    case 'B':
        if (!timed) break;
        trace->threads[event_thread()].open.push_back(TraceOpen{event.ts, trace_intern(trace, event.name)});
        return;
    case 'E': {
        if (!timed) break;
        TraceThread& thread = trace->threads[event_thread()];
        if (thread.open.empty() || thread.open.back().start > event.ts) {
            trace->skipped.unmatched_ends++;
            return;
        }
        thread.spans.push_back(TraceSpan{thread.open.back().start, event.ts, thread.open.back().name, 0});
        thread.open.pop_back();
        return;
    }
    case 'i':
    case 'I':
        if (!timed) break;
        trace->threads[event_thread()].instants.push_back(TraceInstant{event.ts, trace_intern(trace, event.name)});
        return;
    case 'M':
        if (event.name != "thread_name" || !event.has_args_name) {
            trace->skipped.other++;
            return;
        }
        trace->threads[event_thread()].name = trace_intern(trace, event.args_name);
        return;
    default:
        trace->skipped.other++;
        return;
    }
    trace->skipped.unusable++;
}

bool only_whitespace(const char* text, size_t from, size_t size)
{
    for (size_t at = from; at < size; at++) {
        if (text[at] != ' ' && text[at] != '\t' && text[at] != '\n' && text[at] != '\r') return false;
    }
    return true;
}

TraceJsonResult failure(TraceJsonStatus status, size_t offset, std::string detail)
{
    return TraceJsonResult{status, offset, false, std::move(detail)};
}

TraceJsonResult parse(const char* text, size_t size, TraceFile* file, Trace* trace)
{
    size_t skip = size >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    rapidjson::StringStream stream(text + skip);
    Handler handler{};
    handler.trace = trace;
    handler.stream = &stream;
    handler.file = file;
    handler.last_thread = UINT32_MAX;
    rapidjson::Reader reader;
    rapidjson::ParseResult result = reader.Parse<rapidjson::kParseDefaultFlags>(stream, handler);
    size_t offset = result.Offset() + skip;
    if (result.IsError()) {
        if (handler.too_deep) return failure(TRACE_JSON_MALFORMED, offset, "nesting deeper than " + std::to_string(kMaxDepth) + " levels");
        bool at_end = offset >= size || only_whitespace(text, offset, size);
        bool between_events = handler.root == ROOT_ARRAY && handler.depth == 1;
        if (at_end && between_events) return TraceJsonResult{TRACE_JSON_OK, offset, true, ""};
        if (offset < size && text[offset] == '\0') return failure(TRACE_JSON_MALFORMED, offset, "a zero byte in the text");
        if (at_end && handler.root == ROOT_ARRAY) return failure(TRACE_JSON_MALFORMED, offset, "the trace ends inside an event");
        return failure(TRACE_JSON_MALFORMED, offset, rapidjson::GetParseError_En(result.Code()));
    }
    if (handler.root == ROOT_ARRAY || (handler.root == ROOT_OBJECT && trace->event_count > 0)) return TraceJsonResult{TRACE_JSON_OK, 0, false, ""};
    if (handler.root == ROOT_OBJECT) return failure(TRACE_JSON_NO_EVENTS, 0, "no traceEvents array in the top-level object");
    return failure(TRACE_JSON_NO_EVENTS, 0, "the top level is neither an array nor an object");
}

}  // namespace

TraceJsonResult trace_json_read_memory(const char* text, size_t size, Trace* trace)
{
    return parse(text, size, nullptr, trace);
}

TraceJsonResult trace_json_read(const char* path, Trace* trace)
{
    TraceFile file;
    std::string problem;
    if (!trace_file_open(path, &file, &problem)) return failure(TRACE_JSON_UNREADABLE, 0, problem);
    TraceJsonResult result = parse(file.text, file.size, file.mapped_size != 0 ? &file : nullptr, trace);
    trace_file_close(&file);
    return result;
}
