// encoder: writes recording bytes (frame records and the structure record), in the layout of
// recorder/format.h and through its byte helpers.
//
// Does NOT touch files; it appends to a byte vector. Used by tests, benchmarks and tools,
// including deliberately broken variants for tests (raw put_* calls). The recorder writes its
// own records in C. Uses: recorder/format.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "recorder/format.h"

typedef std::vector<uint8_t> ProfileBytes;

// One group of a frame record: its value and its items' values.
struct EncodedGroupValues {
    float value;
    std::vector<float> items;
};

// One group of the structure record: its name and its items' names.
struct EncodedGroupNames {
    std::string name;
    std::vector<std::string> items;
};

void profile_put_u32(ProfileBytes* out, uint32_t value);  // big-endian
void profile_put_float(ProfileBytes* out, float value);  // big-endian bit pattern
void profile_put_string(ProfileBytes* out, const char* text);  // the text and its zero byte
void profile_encode_frame(ProfileBytes* out, float total, const std::vector<EncodedGroupValues>& groups,
                          const std::vector<std::string>& notes, uint8_t tag = SAVREL_TAG_FRAME);  // one frame record
void profile_encode_structure(ProfileBytes* out, const std::vector<EncodedGroupNames>& groups);  // tag 0 with the true section count
void profile_encode_structure_stated(ProfileBytes* out, uint32_t section_count,
                                     const std::vector<EncodedGroupNames>& groups);  // with any stated count
uint32_t profile_section_count(const std::vector<EncodedGroupNames>& groups);  // 1 + G + sum of N
