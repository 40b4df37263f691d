// sections: maps a trace onto Savrel's groups and items, and gives each frame's values.
//
// On the frame's thread, an outermost event that starts in a frame's span (one directly
// inside a frame event counts as outermost) adds its duration to the group of its name; the
// events directly inside it add theirs to that group's items, and "(self)" holds what they
// leave uncovered. Every other thread is a group whose items are its outermost events,
// counted by their overlap with the span. Instants on the frame's thread are notes.
//
// Does NOT write files or choose frames. Values come out in seconds. Two passes walk the
// frames in order: sections_plan totals every section once to name and fold them, then
// sections_frame gives the frames one by one, so no frame-by-section table is ever held.
// Uses: tools/import/trace.h, tools/import/frames.h, recorder/format.h (the limits).
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tools/import/frames.h"
#include "tools/import/trace.h"

enum SlotKind : uint8_t { SLOT_FRAME_GROUP,
                          SLOT_FRAME_ITEM,
                          SLOT_THREAD_GROUP,
                          SLOT_THREAD_ITEM };

// One group or item as the trace has it, before naming and folding.
struct SectionSlot {
    SlotKind kind;
    uint32_t owner;  // an item's group slot; a group's own slot
    uint32_t key;  // a name id, or a thread index for a thread's group
    bool has_items;
    double total;  // seconds over all frames
    double self_total;  // seconds a frame-thread group's items leave uncovered
    int32_t position;  // where its value goes in a frame's values; -1 nowhere
    int32_t self_position;  // where a group's "(self)" goes; -1 nowhere
};

// An outermost event of a thread other than the frame's, in microseconds.
struct OtherSpan {
    double start;
    double end;
    uint32_t name;
    uint32_t thread;
};

// A group of the recording's structure.
struct SectionGroup {
    std::string name;
    std::vector<std::string> items;
};

// The frame being walked: values by slot, and the notes.
struct SectionScratch {
    std::vector<double> value;
    std::vector<double> covered;
    std::vector<uint32_t> touched;
    std::vector<uint8_t> is_touched;
    std::vector<uint32_t> notes;  // name ids, at most SAVREL_MAX_NOTES
    uint64_t notes_left_out;  // counted since the walk began
    uint64_t outside_frames;
};

struct SectionPlan {
    Trace* trace;
    FrameChoice choice;
    std::vector<FrameSpan> frames;
    std::vector<uint8_t> outermost;  // per span of the frame's thread
    std::vector<uint32_t> subtree_end;  // per span of the frame's thread: the index after its last descendant
    std::vector<OtherSpan> other_spans;  // the other threads' outermost events, by start
    std::vector<uint32_t> running;  // other_spans that may still overlap the next frame
    std::vector<SectionSlot> slots;
    std::unordered_map<uint64_t, uint32_t> slot_ids;
    SectionScratch scratch;
    size_t span_cursor;
    size_t instant_cursor;
    size_t other_cursor;
    // The structure, once laid out.
    std::vector<SectionGroup> groups;
    uint32_t section_count;  // root included
    uint32_t folded_sections;  // merged into "(other)" to keep within SAVREL_MAX_SECTIONS
    uint64_t notes_left_out;  // past SAVREL_MAX_NOTES in a frame
    uint64_t outside_frames;  // outermost events and instants of the frame's thread outside every frame
};

// Totals every section over every frame, then names and folds them. Moves the other threads'
// outermost events into the plan and frees the rest of their events.
void sections_plan(Trace* trace, const FrameChoice& choice, std::vector<FrameSpan> frames, SectionPlan* plan);
// Fills values (section_count - 1 entries: the groups and items, the root left out) and the
// plan's scratch.notes for frame `frame`. Frames must come in order, starting at 0.
void sections_frame(SectionPlan* plan, uint32_t frame, std::vector<double>* values);

// Names the sections, folds the smallest past the limit and sets every slot's position (layout.cpp).
void sections_layout(SectionPlan* plan);
// A name cut to what a recording keeps, unique among taken (which it joins): "~2", "~3" and so on
// replace its end when the cut collides (layout.cpp).
// The text without control characters, cut to at most length bytes on a character boundary;
// "(unnamed)" when empty (layout.cpp).
std::string sections_text(const std::string& text, size_t length);
std::string sections_unique_name(const std::string& name, std::unordered_set<std::string>* taken);
