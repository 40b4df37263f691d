// recording_support: recordings built in memory for tests and benchmarks.
#pragma once

#include <cstdint>

// Loads into profile_table() a recording of named groups of named items whose times
// wander frame by frame, with a zero now and then (sections = 1 + groups * (1 + items)).
void load_wide_recording(int groups, int items, uint32_t frames);
