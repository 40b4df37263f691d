#include "tools/import/frames.h"

#include <algorithm>
#include <unordered_map>

namespace {

uint64_t name_count(const TraceThread& thread, uint32_t name)
{
    uint64_t count = 0;
    for (const TraceSpan& span : thread.spans) count += span.name == name;
    for (const TraceInstant& instant : thread.instants) count += instant.name == name;
    return count;
}

uint64_t event_total(const TraceThread& thread)
{
    return thread.spans.size() + thread.instants.size();
}

bool thread_matches(const Trace& trace, uint32_t index, const std::string& wanted)
{
    const TraceThread& thread = trace.threads[index];
    std::string tid = trace_id_text(trace, thread.tid);
    if (wanted == tid || wanted == trace_id_text(trace, thread.pid) + ":" + tid) return true;
    return thread.name != TRACE_NO_NAME && wanted == trace_name(trace, thread.name);
}

// Among the candidate threads, the one with the most events of the name (or of any name).
uint32_t busiest(const Trace& trace, const std::vector<uint32_t>& candidates, uint32_t name)
{
    uint32_t best = candidates[0];
    uint64_t best_count = 0;
    for (uint32_t index : candidates) {
        const TraceThread& thread = trace.threads[index];
        uint64_t count = name == TRACE_NO_NAME ? event_total(thread) : name_count(thread, name);
        if (count > best_count) best = index, best_count = count;
    }
    return best;
}

// The most frequent name at the shallowest level where some name occurs often enough.
uint32_t automatic_name(const TraceThread& thread)
{
    std::unordered_map<uint64_t, uint64_t> counts;
    for (const TraceSpan& span : thread.spans) counts[uint64_t(span.depth) << 32 | span.name]++;
    uint64_t best_key = UINT64_MAX;
    uint64_t best_count = 0;
    for (const auto& [key, count] : counts) {
        if (count < FRAMES_AUTOMATIC_LEAST) continue;
        uint64_t depth = key >> 32;
        uint64_t best_depth = best_key >> 32;
        bool better = depth < best_depth || (depth == best_depth && (count > best_count || (count == best_count && key < best_key)));
        if (better) best_key = key, best_count = count;
    }
    return best_key == UINT64_MAX ? TRACE_NO_NAME : uint32_t(best_key);
}

}  // namespace

bool frames_choose(const Trace& trace, const char* name, const char* thread, FrameChoice* choice, std::string* problem)
{
    std::vector<uint32_t> candidates;
    for (uint32_t index = 0; index < trace.threads.size(); index++) {
        if (!thread || thread_matches(trace, index, thread)) candidates.push_back(index);
    }
    if (candidates.empty()) {
        *problem = trace.threads.empty() ? "no events with a time" : std::string("no thread matches \"") + thread + "\"";
        return false;
    }
    choice->automatic = name == nullptr;
    if (name) {
        auto found = trace.name_ids.find(std::string_view(name));
        choice->name = found == trace.name_ids.end() ? TRACE_NO_NAME : found->second;
        choice->thread = choice->name == TRACE_NO_NAME ? candidates[0] : busiest(trace, candidates, choice->name);
    } else {
        choice->thread = busiest(trace, candidates, TRACE_NO_NAME);
        choice->name = automatic_name(trace.threads[choice->thread]);
    }
    choice->events = choice->name == TRACE_NO_NAME ? 0 : name_count(trace.threads[choice->thread], choice->name);
    if (choice->events > 0) return true;
    std::string where = trace_thread_label(trace, choice->thread);
    if (name)
        *problem = std::string("no frames: no event named \"") + name + "\" on " + (thread ? "thread \"" + where + "\"" : "any thread");
    else
        *problem = "no frames: no name occurs " + std::to_string(FRAMES_AUTOMATIC_LEAST) + " times at one level on \"" + where + "\"; name the frame event with --frame";
    return false;
}

std::vector<FrameSpan> frames_spans(const Trace& trace, const FrameChoice& choice)
{
    const TraceThread& thread = trace.threads[choice.thread];
    std::vector<FrameSpan> marks;
    for (const TraceSpan& span : thread.spans) {
        if (span.name == choice.name) marks.push_back(FrameSpan{span.start, span.end});
    }
    for (const TraceInstant& instant : thread.instants) {
        if (instant.name == choice.name) marks.push_back(FrameSpan{instant.time, instant.time});
    }
    std::sort(marks.begin(), marks.end(), [](const FrameSpan& left, const FrameSpan& right) {
        return left.start != right.start ? left.start < right.start : left.end > right.end;
    });
    for (size_t index = 0; index + 1 < marks.size(); index++) marks[index].end = marks[index + 1].start;
    return marks;
}
