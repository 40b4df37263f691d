#include "tools/import/trace.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

uint64_t id_bits(TraceId id)
{
    if (id.kind == TRACE_ID_STRING) return id.string;
    uint64_t bits;
    double number = id.number + 0.0;  // -0 and 0 are one thread
    std::memcpy(&bits, &number, sizeof bits);
    return bits;
}

bool span_before(const TraceSpan& left, const TraceSpan& right)
{
    if (left.start != right.start) return left.start < right.start;
    if (left.end != right.end) return left.end > right.end;
    return left.name < right.name;
}

// A duration is inside the one before it while it starts before that one ends.
void set_depths(std::vector<TraceSpan>* spans)
{
    std::vector<double> open_ends;
    for (TraceSpan& span : *spans) {
        while (!open_ends.empty() && open_ends.back() <= span.start) open_ends.pop_back();
        span.depth = uint32_t(open_ends.size());
        open_ends.push_back(span.end);
    }
}

}  // namespace

uint32_t trace_intern(Trace* trace, std::string_view text)
{
    auto found = trace->name_ids.find(text);
    if (found != trace->name_ids.end()) return found->second;
    uint32_t id = uint32_t(trace->names.size());
    auto added = trace->name_ids.emplace(std::string(text), id).first;
    trace->names.push_back(&added->first);
    return id;
}

const std::string& trace_name(const Trace& trace, uint32_t name)
{
    return *trace.names[name];
}

uint32_t trace_thread(Trace* trace, TraceId pid, TraceId tid)
{
    if (pid.kind == TRACE_ID_MISSING && tid.kind == TRACE_ID_MISSING) pid = tid = TraceId{TRACE_ID_NUMBER, 0.0, 0};
    if (tid.kind == TRACE_ID_MISSING) tid = pid;
    if (pid.kind == TRACE_ID_MISSING) pid = tid;
    TraceThreadKey key{id_bits(pid), id_bits(tid), pid.kind, tid.kind};
    auto [entry, added] = trace->thread_ids.emplace(key, uint32_t(trace->threads.size()));
    if (added) {
        trace->threads.push_back(TraceThread{});
        trace->threads.back().pid = pid;
        trace->threads.back().tid = tid;
        trace->threads.back().name = TRACE_NO_NAME;
    }
    return entry->second;
}

std::string trace_id_text(const Trace& trace, TraceId id)
{
    if (id.kind == TRACE_ID_STRING) return trace_name(trace, id.string);
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", id.number);
    return text;
}

std::string trace_thread_label(const Trace& trace, uint32_t thread)
{
    const TraceThread& entry = trace.threads[thread];
    if (entry.name != TRACE_NO_NAME && !trace_name(trace, entry.name).empty()) return trace_name(trace, entry.name);
    return "thread " + trace_id_text(trace, entry.tid);
}

void trace_sort(Trace* trace)
{
    for (TraceThread& thread : trace->threads) {
        trace->skipped.unclosed_begins += thread.open.size();
        std::vector<TraceOpen>().swap(thread.open);
        std::sort(thread.spans.begin(), thread.spans.end(), span_before);
        set_depths(&thread.spans);
        std::sort(thread.instants.begin(), thread.instants.end(), [](const TraceInstant& left, const TraceInstant& right) {
            return left.time < right.time;
        });
    }
}
