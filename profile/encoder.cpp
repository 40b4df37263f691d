// encoder: recording bytes for tests and tools, through the format's own byte helpers.
#include "profile/encoder.h"

#include <cstring>

#include "recorder/format.h"

namespace {

uint8_t* grow(ProfileBytes* out, size_t bytes)
{
    size_t at = out->size();
    out->resize(at + bytes);
    return out->data() + at;
}

}  // namespace

void profile_put_u32(ProfileBytes* out, uint32_t value)
{
    savrel_put_u32(grow(out, SAVREL_U32_SIZE), value);
}

void profile_put_float(ProfileBytes* out, float value)
{
    savrel_put_f32(grow(out, SAVREL_F32_SIZE), value);
}

void profile_put_string(ProfileBytes* out, const char* text)
{
    savrel_put_string(grow(out, std::strlen(text) + 1), text);
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
    out->push_back(SAVREL_TAG_STRUCTURE);
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
