// recording_support: recordings built in memory for tests and benchmarks.
#pragma once

#include <cstdint>

// Loads into profile_table() a recording of named groups of named items whose times
// wander frame by frame, with a zero now and then (sections = 1 + groups * (1 + items)).
void load_wide_recording(int groups, int items, uint32_t frames);

// Loads a recording shaped like a program's: each frame's total wanders between 16 and 24 ms
// (stored in seconds), its groups take 95% of it and each group's items add up to the group,
// some of them idle now and then (sections = 1 + groups * (1 + items)).
void load_program_recording(int groups, int items, uint32_t frames);
