// profile loader, appending: the frames a writer added since the table was read, appended to
// the table on show when the new structure record continues it.
#include <cstring>

#include "profile/loader_parts.h"

namespace profile_loader {

namespace {

bool same_section(uint32_t index, SectionType type, uint32_t group, const char* name)
{
    const Section& section = state.table.sections[index];
    return section.type == type && section.group_index == int32_t(group) && std::strcmp(section.name, name) == 0;
}

// True when the structure record after the cursor lists the table's sections first, in order.
bool continues_table(ProfileReader reader)
{
    uint32_t count = state.table.section_count;
    char name[PROFILE_NAME_SIZE];
    profile_read_u32(&reader);
    uint32_t groups = profile_read_u32(&reader);
    uint32_t index = 1;
    for (uint32_t group = 0; group < groups && index < count; group++) {
        profile_read_string(&reader, name, sizeof name);
        if (!same_section(index++, SECTION_GROUP, group, name)) return false;
        uint32_t items = profile_read_u32(&reader);
        for (uint32_t item = 0; item < items && index < count; item++) {
            profile_read_string(&reader, name, sizeof name);
            if (!same_section(index++, SECTION_ITEM, group, name)) return false;
        }
    }
    return index == count;
}

// Room for section_count sections of frame_count frames, keeping the values. A new block holds
// a quarter more frames than needed, so that following a recording copies its values only
// now and then.
bool make_room(uint32_t section_count, uint32_t frame_count)
{
    size_t held = state.value_stride > kStridePadValues ? state.value_stride - kStridePadValues : 0;
    if (section_count == state.table.section_count && frame_count <= held) return true;
    ProfileState old = state;
    uint64_t roomy = uint64_t(frame_count) + frame_count / 4;
    uint32_t capacity = capacity_for(uint32_t(roomy < kMostFrames ? roomy : kMostFrames));
    if (!allocate_table(section_count, capacity)) return false;
    std::memcpy(state.table.sections, old.table.sections, old.table.section_count * sizeof(Section));
    for (uint32_t index = 0; index < old.table.section_count && old.table.frame_count > 0; index++) {
        float* values = static_cast<float*>(state.value_block) + index * state.value_stride;
        std::memcpy(values, old.table.sections[index].values, old.table.frame_count * kValueBytes);
    }
    free_table(&old);
    return true;
}

}  // namespace

ProfileAppend append_bytes(const uint8_t* data, size_t size, size_t file_size)
{
    uint32_t old_frames = state.table.frame_count;
    Survey survey;
    if (!survey_frames(ProfileReader{data, size, 0, false}, &survey, state.structure_offset, old_frames) ||
        !ends_at_structure(&survey, size, state.structure_offset))
        return PROFILE_APPEND_DAMAGED;
    ProfileReader structure = {data, size, survey.structure_position, false};
    uint32_t frames = old_frames + survey.frame_count;
    if (!continues_table(structure) || !table_affordable(survey.listed_count, frames, file_size) ||
        !make_room(uint32_t(survey.listed_count), frames))
        return PROFILE_APPEND_NOT_CONTINUED;
    state.table.section_count = uint32_t(survey.listed_count);
    state.table.frame_count = frames;
    fill_structure(structure);
    if (!store_frames(data, size, old_frames, survey.frame_count)) {
        clear_table();
        set_status(PROFILE_TOO_LARGE, "cannot allocate the frame rows");
        return PROFILE_APPEND_DAMAGED;
    }
    state.structure_offset += survey.structure_position - SAVREL_TAG_SIZE;
    if (survey.most_frame_values < state.most_frame_values) survey.most_frame_values = state.most_frame_values;
    state.most_frame_values = survey.most_frame_values;
    state.status = PROFILE_OK;
    state.detail[0] = 0;
    report_disagreement(&survey);
    return PROFILE_APPENDED;
}

}  // namespace profile_loader

using namespace profile_loader;

ProfileAppend profile_append_memory(const uint8_t* data, size_t size, size_t file_size)
{
    // Frames past the sections would belong to sections that a later structure record adds.
    if (state.table.section_count == 0 || state.most_frame_values > state.table.section_count)
        return PROFILE_APPEND_NOT_CONTINUED;
    ProfileState shown = state;
    ProfileAppend result = append_bytes(data, size, file_size);
    if (result == PROFILE_APPENDED) return result;
    if (state.table.sections == shown.table.sections) keep_shown(&shown);
    return result;
}
