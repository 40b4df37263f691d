// frames: which events mark a trace's frames, on which thread, and the frames' spans.
//
// Does NOT map sections or read JSON; it works on a Trace that trace_sort has ordered.
// Uses: tools/import/trace.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/import/trace.h"

// Frames are marked by the events of one name (durations or instants) on one thread.
struct FrameChoice {
    uint32_t thread;
    uint32_t name;
    uint64_t events;  // the marking events on that thread
    bool automatic;  // picked without --frame
};

// A frame runs from its event's start to the next frame's start; the last to its event's end.
struct FrameSpan {
    double start;
    double end;
};

// The least count a name needs at a nesting level to mark frames without --frame.
enum { FRAMES_AUTOMATIC_LEAST = 10 };

// Picks the frame events: the given name (or the automatic rule when name is null) on the
// given thread (pid:tid, tid or thread name; or null for the busiest). Returns false with
// one line in problem when nothing qualifies.
bool frames_choose(const Trace& trace, const char* name, const char* thread, FrameChoice* choice, std::string* problem);
std::vector<FrameSpan> frames_spans(const Trace& trace, const FrameChoice& choice);  // in time order
