#include "tools/import/sections.h"

#include <algorithm>

#include "recorder/format.h"

namespace {

const double kSecondsPerMicrosecond = 1e-6;

uint32_t find_slot(SectionPlan* plan, SlotKind kind, uint32_t owner, uint32_t key)
{
    uint64_t packed = uint64_t(kind) << 62 | uint64_t(owner & 0x3FFFFFFF) << 32 | key;
    auto [entry, added] = plan->slot_ids.emplace(packed, uint32_t(plan->slots.size()));
    if (!added) return entry->second;
    uint32_t slot = entry->second;
    plan->slots.push_back(SectionSlot{kind, kind == SLOT_FRAME_GROUP || kind == SLOT_THREAD_GROUP ? slot : owner, key, false, 0.0, 0.0, -1, -1});
    if (kind == SLOT_FRAME_ITEM) plan->slots[owner].has_items = true;
    SectionScratch& scratch = plan->scratch;
    scratch.value.push_back(0.0);
    scratch.covered.push_back(0.0);
    scratch.is_touched.push_back(0);
    return slot;
}

void add(SectionPlan* plan, uint32_t slot, double seconds)
{
    SectionScratch& scratch = plan->scratch;
    if (!scratch.is_touched[slot]) scratch.is_touched[slot] = 1, scratch.touched.push_back(slot);
    scratch.value[slot] += seconds;
}

// Outermost: not a frame event, and at the top or directly inside a frame event. An event that
// holds frame events is their context, not part of a frame.
void mark_outermost(SectionPlan* plan)
{
    const std::vector<TraceSpan>& spans = plan->trace->threads[plan->choice.thread].spans;
    uint32_t frame_name = plan->choice.name;
    plan->outermost.assign(spans.size(), 0);
    plan->subtree_end.assign(spans.size(), uint32_t(spans.size()));
    std::vector<uint32_t> open;
    size_t holding = 0;  // the open events below this many hold a frame event
    for (uint32_t index = 0; index < spans.size(); index++) {
        while (!open.empty() && spans[open.back()].end <= spans[index].start) {
            plan->subtree_end[open.back()] = index;
            open.pop_back();
        }
        holding = std::min(holding, open.size());
        bool frame = spans[index].name == frame_name;
        if (frame) {
            for (size_t below = holding; below < open.size(); below++) plan->outermost[open[below]] = 0;
            holding = open.size();
        }
        bool parent_is_frame = open.empty() || spans[open.back()].name == frame_name;
        plan->outermost[index] = !frame && parent_is_frame;
        open.push_back(index);
    }
}

// One list of every other thread's outermost events, so that a frame visits only the events
// that overlap it however many threads there are.
void gather_other_spans(SectionPlan* plan)
{
    Trace* trace = plan->trace;
    plan->other_spans.clear();
    for (uint32_t index = 0; index < trace->threads.size(); index++) {
        if (index == plan->choice.thread) continue;
        for (const TraceSpan& span : trace->threads[index].spans) {
            if (span.depth == 0) plan->other_spans.push_back(OtherSpan{span.start, span.end, span.name, index});
        }
        std::vector<TraceSpan>().swap(trace->threads[index].spans);
    }
    std::stable_sort(plan->other_spans.begin(), plan->other_spans.end(), [](const OtherSpan& left, const OtherSpan& right) {
        return left.start < right.start;
    });
}

void reset_walk(SectionPlan* plan)
{
    plan->span_cursor = 0;
    plan->instant_cursor = 0;
    plan->other_cursor = 0;
    plan->running.clear();
    plan->scratch.notes_left_out = 0;
    plan->scratch.outside_frames = 0;
}

double span_end(const SectionPlan* plan, uint32_t frame)
{
    return frame + 1 < plan->frames.size() ? plan->frames[frame + 1].start : plan->frames[frame].end;
}

// An outermost event of the frame's thread, and the events directly inside it.
void add_group_event(SectionPlan* plan, size_t index)
{
    const std::vector<TraceSpan>& spans = plan->trace->threads[plan->choice.thread].spans;
    const TraceSpan& event = spans[index];
    uint32_t group = find_slot(plan, SLOT_FRAME_GROUP, 0, event.name);
    add(plan, group, (event.end - event.start) * kSecondsPerMicrosecond);
    for (size_t inside = index + 1; inside < plan->subtree_end[index]; inside = plan->subtree_end[inside]) {
        double seconds = (spans[inside].end - spans[inside].start) * kSecondsPerMicrosecond;
        add(plan, find_slot(plan, SLOT_FRAME_ITEM, group, spans[inside].name), seconds);
        plan->scratch.covered[group] += seconds;
    }
}

void walk_frame_thread(SectionPlan* plan, uint32_t frame, double end)
{
    const TraceThread& thread = plan->trace->threads[plan->choice.thread];
    double start = plan->frames[frame].start;
    size_t& cursor = plan->span_cursor;
    for (; cursor < thread.spans.size() && thread.spans[cursor].start < end; cursor++) {
        if (!plan->outermost[cursor]) continue;
        if (thread.spans[cursor].start < start)
            plan->scratch.outside_frames++;
        else
            add_group_event(plan, cursor);
    }
    SectionScratch& scratch = plan->scratch;
    scratch.notes.clear();
    size_t& instant = plan->instant_cursor;
    for (; instant < thread.instants.size() && thread.instants[instant].time < end; instant++) {
        const TraceInstant& note = thread.instants[instant];
        if (note.name == plan->choice.name) continue;
        if (note.time < start)
            plan->scratch.outside_frames++;
        else if (scratch.notes.size() < SAVREL_MAX_NOTES)
            scratch.notes.push_back(note.name);
        else
            scratch.notes_left_out++;
    }
}

// The other threads' outermost events, each by its overlap with the span.
void walk_other_threads(SectionPlan* plan, double start, double end)
{
    const std::vector<OtherSpan>& spans = plan->other_spans;
    for (; plan->other_cursor < spans.size() && spans[plan->other_cursor].start < end; plan->other_cursor++) {
        plan->running.push_back(uint32_t(plan->other_cursor));
    }
    for (uint32_t index : plan->running) {
        double overlap = std::min(spans[index].end, end) - std::max(spans[index].start, start);
        if (overlap <= 0.0) continue;
        double seconds = overlap * kSecondsPerMicrosecond;
        uint32_t group = find_slot(plan, SLOT_THREAD_GROUP, 0, spans[index].thread);
        add(plan, group, seconds);
        add(plan, find_slot(plan, SLOT_THREAD_ITEM, group, spans[index].name), seconds);
    }
    // What ends by this span's end cannot overlap the frames after it.
    plan->running.erase(std::remove_if(plan->running.begin(), plan->running.end(), [&](uint32_t index) { return spans[index].end <= end; }), plan->running.end());
}

void walk_frame(SectionPlan* plan, uint32_t frame)
{
    double start = plan->frames[frame].start;
    double end = span_end(plan, frame);
    walk_frame_thread(plan, frame, end);
    walk_other_threads(plan, start, end);
}

double uncovered(const SectionPlan* plan, uint32_t slot)
{
    return std::max(0.0, plan->scratch.value[slot] - plan->scratch.covered[slot]);
}

void clear_frame(SectionPlan* plan)
{
    SectionScratch& scratch = plan->scratch;
    for (uint32_t slot : scratch.touched) scratch.value[slot] = scratch.covered[slot] = 0.0, scratch.is_touched[slot] = 0;
    scratch.touched.clear();
}

void total_frames(SectionPlan* plan)
{
    reset_walk(plan);
    for (uint32_t frame = 0; frame < plan->frames.size(); frame++) {
        walk_frame(plan, frame);
        for (uint32_t slot : plan->scratch.touched) {
            SectionSlot& entry = plan->slots[slot];
            entry.total += plan->scratch.value[slot];
            if (entry.kind == SLOT_FRAME_GROUP) entry.self_total += uncovered(plan, slot);
        }
        clear_frame(plan);
    }
    // What lies after the last frame is outside it too.
    const TraceThread& thread = plan->trace->threads[plan->choice.thread];
    plan->outside_frames = plan->scratch.outside_frames;
    for (size_t index = plan->instant_cursor; index < thread.instants.size(); index++) plan->outside_frames += thread.instants[index].name != plan->choice.name;
    for (size_t index = plan->span_cursor; index < thread.spans.size(); index++) plan->outside_frames += plan->outermost[index];
    plan->notes_left_out = plan->scratch.notes_left_out;
}

}  // namespace

void sections_plan(Trace* trace, const FrameChoice& choice, std::vector<FrameSpan> frames, SectionPlan* plan)
{
    plan->trace = trace;
    plan->choice = choice;
    plan->frames = std::move(frames);
    mark_outermost(plan);
    gather_other_spans(plan);
    total_frames(plan);
    sections_layout(plan);
    reset_walk(plan);
}

void sections_frame(SectionPlan* plan, uint32_t frame, std::vector<double>* values)
{
    values->assign(plan->section_count - 1, 0.0);
    walk_frame(plan, frame);
    for (uint32_t slot : plan->scratch.touched) {
        const SectionSlot& entry = plan->slots[slot];
        if (entry.position >= 0) (*values)[size_t(entry.position)] += plan->scratch.value[slot];
        if (entry.self_position >= 0) (*values)[size_t(entry.self_position)] += uncovered(plan, slot);
    }
    clear_frame(plan);
}
