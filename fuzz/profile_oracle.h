// profile oracle: a second, plain reading of recording bytes to hold the loader's table against.
//
// Does NOT share code with the loader: it walks the records field by field into vectors,
// slowly and without shortcuts, so a disagreement points at the loader. Header-only, because
// both the libFuzzer target and the corpus replay test include it.
//
// Use: profile_load_memory(data, size); then oracle_profile_fault(data, size) is "" when
// profile_table() and profile_last_status() are what the bytes call for, else the first difference.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "profile/profile.h"

struct OracleCursor {
    const uint8_t* data;
    size_t size;
    size_t position;
    bool ended;  // a read wanted bytes past the end
};

struct OracleSection {
    int32_t type;
    int32_t group_index;
    int32_t ordinal;  // an item's place in its group
    std::string_view name;  // within the bytes read
};

// What the bytes hold, read by the record rules.
struct OracleProfile {
    bool has_structure;
    bool truncated;  // the bytes end inside a frame or structure record
    uint32_t stated_count;
    std::vector<OracleSection> sections;
    std::vector<std::vector<float>> frames;  // each frame's values in file order, all of them
};

inline uint8_t oracle_byte(OracleCursor* cursor)
{
    if (cursor->position >= cursor->size) {
        cursor->ended = true;
        return 0;
    }
    return cursor->data[cursor->position++];
}

inline uint32_t oracle_u32(OracleCursor* cursor)
{
    uint32_t value = 0;
    for (int i = 0; i < 4; i++) value = value << 8 | oracle_byte(cursor);
    return value;
}

inline float oracle_float(OracleCursor* cursor)
{
    uint32_t bits = oracle_u32(cursor);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

inline std::string_view oracle_string(OracleCursor* cursor)
{
    const char* start = reinterpret_cast<const char*>(cursor->data + cursor->position);
    size_t length = 0;
    for (uint8_t c = oracle_byte(cursor); !cursor->ended && c != 0; c = oracle_byte(cursor)) length++;
    return std::string_view(start, length);
}

// Reads one frame record after its tag; counts are trusted only as far as the bytes go.
inline std::vector<float> oracle_frame(OracleCursor* cursor)
{
    std::vector<float> values{oracle_float(cursor)};
    uint32_t groups = oracle_u32(cursor);
    for (uint32_t group = 0; group < groups && !cursor->ended; group++) {
        values.push_back(oracle_float(cursor));
        uint32_t items = oracle_u32(cursor);
        for (uint32_t item = 0; item < items && !cursor->ended; item++) values.push_back(oracle_float(cursor));
    }
    uint32_t strings = oracle_u32(cursor);
    for (uint32_t string = 0; string < strings && !cursor->ended; string++) oracle_string(cursor);
    return values;
}

inline void oracle_structure(OracleCursor* cursor, OracleProfile* profile)
{
    profile->stated_count = oracle_u32(cursor);
    uint32_t groups = oracle_u32(cursor);
    profile->sections.push_back({SECTION_ROOT, -1, 0, std::string_view()});
    for (uint32_t group = 0; group < groups && !cursor->ended; group++) {
        profile->sections.push_back({SECTION_GROUP, int32_t(group), 0, oracle_string(cursor)});
        uint32_t items = oracle_u32(cursor);
        for (uint32_t item = 0; item < items && !cursor->ended; item++)
            profile->sections.push_back({SECTION_ITEM, int32_t(group), int32_t(item), oracle_string(cursor)});
    }
}

inline OracleProfile oracle_read_profile(const uint8_t* data, size_t size)
{
    OracleProfile profile{};
    OracleCursor cursor{data, size, 0, false};
    while (cursor.position < cursor.size && !cursor.ended) {
        if (oracle_byte(&cursor) == 0) {
            profile.has_structure = true;
            oracle_structure(&cursor, &profile);
            break;
        }
        std::vector<float> values = oracle_frame(&cursor);
        if (!cursor.ended) profile.frames.push_back(std::move(values));
    }
    profile.truncated = cursor.ended;
    return profile;
}

inline size_t oracle_most_values(const OracleProfile& profile)
{
    size_t most = 0;
    for (const std::vector<float>& frame : profile.frames) most = frame.size() > most ? frame.size() : most;
    return most;
}

inline ProfileStatus oracle_expected_status(const OracleProfile& profile)
{
    if (profile.truncated) return PROFILE_TRUNCATED;
    if (!profile.has_structure) return PROFILE_NO_STRUCTURE;
    if (profile.stated_count != profile.sections.size()) return PROFILE_COUNT_MISMATCH;
    if (oracle_most_values(profile) > profile.sections.size()) return PROFILE_EXTRA_VALUES;
    return PROFILE_OK;
}

inline uint32_t oracle_bits(float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// The first way the entry differs from what the structure record says, or null.
inline const char* oracle_section_difference(const Section& entry, const OracleSection& expected)
{
    if (entry.type != expected.type) return "type";
    if (entry.group_index != expected.group_index) return "group index";
    if (std::memchr(entry.name, 0, PROFILE_NAME_SIZE) == nullptr) return "name not terminated";
    if (expected.name.substr(0, PROFILE_NAME_SIZE - 1) != entry.name) return "name";
    if (entry.sum != 0.0f || entry.start != 0.0f || entry.end != 0.0f) return "layout fields not zero";
    float colour[3] = {1.0f, 1.0f, 1.0f};
    if (expected.type == SECTION_ITEM) {
        bool odd = expected.ordinal % 2 == 1;
        double hue = double(expected.group_index) * double(0.16666667f) + (odd ? 0.0 : 0.01);
        float low = odd ? float(expected.ordinal / 16.0) : float((1.0 - expected.ordinal / 8.0) / 2.0);
        profile_hue_to_rgb(colour, float(hue), low, odd ? 1.0f : 0.7f);
    }
    for (int c = 0; c < 3; c++)
        if (oracle_bits(entry.colour[c]) != oracle_bits(colour[c]) || !(colour[c] >= 0.0f && colour[c] <= 1.0f))
            return "colour";
    return nullptr;
}

// Where the padding past the last frame stops being zero bits, or count. The padding lies in
// mapped pages the sanitizers do not track, and a plain OR over it vectorises.
__attribute__((no_sanitize("address", "undefined"))) inline size_t oracle_first_nonzero(const float* values,
                                                                                        size_t count)
{
    uint32_t any = 0;
    for (size_t index = 0; index < count; index++) {
        uint32_t bits;
        __builtin_memcpy(&bits, values + index, sizeof bits);
        any |= bits;
    }
    if (any == 0) return count;
    size_t index = 0;
    while (values[index] == 0.0f && !std::signbit(values[index])) index++;
    return index;
}

// The first frame whose stored value differs from the file's (0.0 where the file gives none), or -1.
inline int64_t oracle_value_difference(const float* values, uint32_t capacity, const OracleProfile& profile,
                                       uint32_t index)
{
    size_t given = profile.frames.size() < capacity ? profile.frames.size() : capacity;
    for (size_t frame = 0; frame < given; frame++) {
        const std::vector<float>& frame_values = profile.frames[frame];
        float expected = index < frame_values.size() ? frame_values[index] : 0.0f;
        if (oracle_bits(values[frame]) != oracle_bits(expected)) return int64_t(frame);
    }
    size_t padding = capacity - given;
    size_t nonzero = oracle_first_nonzero(values + given, padding);
    return nonzero == padding ? -1 : int64_t(given + nonzero);
}

inline std::string oracle_values_fault(const SectionTable* table, const OracleProfile& profile)
{
    uint32_t capacity = profile_capacity(table);
    for (uint32_t index = 0; index < table->section_count; index++) {
        const float* values = table->sections[index].values;
        const char* difference = nullptr;
        int64_t frame = -1;
        if (table->frame_count == 0 && values != nullptr) difference = "value storage without frames";
        if (table->frame_count > 0 && values == nullptr) difference = "no value storage";
        if (table->frame_count > 0 && values != nullptr) frame = oracle_value_difference(values, capacity, profile, index);
        if (frame >= 0) difference = "value of frame ";
        if (difference)
            return "section " + std::to_string(index) + ": " + difference + (frame >= 0 ? std::to_string(frame) : "");
    }
    return "";
}

// A refusal for size is fair only when the table would outweigh the file many times over.
inline bool oracle_refusal_fair(const OracleProfile& profile, size_t size)
{
    uint64_t frames = profile.frames.size();
    uint64_t capacity = (frames + PROFILE_CHUNK_FRAMES - 1) / PROFILE_CHUNK_FRAMES * PROFILE_CHUNK_FRAMES;
    uint64_t table_bytes = profile.sections.size() * (sizeof(Section) + capacity * sizeof(float));
    return table_bytes > 16 * uint64_t(size);
}

inline std::string oracle_status_fault(const OracleProfile& profile, size_t size)
{
    ProfileStatus status = profile_last_status();
    ProfileStatus expected = oracle_expected_status(profile);
    const char* detail = profile_last_detail();
    if ((status == PROFILE_OK) != (detail[0] == 0)) return "detail text does not match the status";
    if (status == PROFILE_TOO_LARGE && (expected == PROFILE_TRUNCATED || expected == PROFILE_NO_STRUCTURE))
        return "refused for size although the bytes hold no whole structure";
    if (status == PROFILE_TOO_LARGE && !oracle_refusal_fair(profile, size)) return "refused a table of fair size";
    if (status != PROFILE_TOO_LARGE && status != expected)
        return "status " + std::to_string(status) + ", expected " + std::to_string(expected);
    return "";
}

inline std::string oracle_profile_fault(const uint8_t* data, size_t size)
{
    OracleProfile profile = oracle_read_profile(data, size);
    std::string fault = oracle_status_fault(profile, size);
    if (!fault.empty()) return fault;
    const SectionTable* table = profile_table();
    ProfileStatus status = profile_last_status();
    bool loaded = status == PROFILE_OK || status == PROFILE_COUNT_MISMATCH || status == PROFILE_EXTRA_VALUES;
    if (!loaded) {
        if (table->section_count != 0 || table->frame_count != 0) return "a refused load left a table";
        return "";
    }
    if (table->section_count != profile.sections.size()) return "section count";
    if (table->frame_count != profile.frames.size()) return "frame count";
    for (uint32_t index = 0; index < table->section_count; index++) {
        const char* difference = oracle_section_difference(table->sections[index], profile.sections[index]);
        if (difference) return "section " + std::to_string(index) + ": " + difference;
    }
    return oracle_values_fault(table, profile);
}
