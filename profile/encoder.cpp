// encoder: recording bytes for tests, tools and the recorder.
#include "profile/encoder.h"

#include <cstring>

void profile_put_u32(ProfileBytes* out, uint32_t value)
{
    out->push_back(uint8_t(value >> 24));
    out->push_back(uint8_t(value >> 16));
    out->push_back(uint8_t(value >> 8));
    out->push_back(uint8_t(value));
}

void profile_put_float(ProfileBytes* out, float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    profile_put_u32(out, bits);
}

void profile_put_string(ProfileBytes* out, const char* text)
{
    out->insert(out->end(), text, text + std::strlen(text) + 1);
}

void profile_encode_frame(ProfileBytes* out, float total, const std::vector<EncodedGroupValues>& groups,
                          const std::vector<std::string>& notes, uint8_t tag)
{
    out->push_back(tag);
    profile_put_float(out, total);
    profile_put_u32(out, uint32_t(groups.size()));
    for (const EncodedGroupValues& group : groups) {
        profile_put_float(out, group.value);
        profile_put_u32(out, uint32_t(group.items.size()));
        for (float item : group.items) profile_put_float(out, item);
    }
    profile_put_u32(out, uint32_t(notes.size()));
    for (const std::string& note : notes) profile_put_string(out, note.c_str());
}

uint32_t profile_section_count(const std::vector<EncodedGroupNames>& groups)
{
    uint32_t count = 1;
    for (const EncodedGroupNames& group : groups) count += 1 + uint32_t(group.items.size());
    return count;
}

void profile_encode_structure_stated(ProfileBytes* out, uint32_t section_count,
                                     const std::vector<EncodedGroupNames>& groups)
{
    out->push_back(0);
    profile_put_u32(out, section_count);
    profile_put_u32(out, uint32_t(groups.size()));
    for (const EncodedGroupNames& group : groups) {
        profile_put_string(out, group.name.c_str());
        profile_put_u32(out, uint32_t(group.items.size()));
        for (const std::string& item : group.items) profile_put_string(out, item.c_str());
    }
}

void profile_encode_structure(ProfileBytes* out, const std::vector<EncodedGroupNames>& groups)
{
    profile_encode_structure_stated(out, profile_section_count(groups), groups);
}
