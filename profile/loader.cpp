// profile loader: the section table built from recording bytes, whole or appended to.
#include "profile/loader_parts.h"

#include <sys/mman.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace profile_loader {

ProfileState state;

// A count is believed only when the bytes left could hold that many entries of their least size.
bool count_fits(const ProfileReader* reader, uint64_t count, size_t least_bytes)
{
    return profile_reader_fits(reader, count, least_bytes);
}

void set_status(ProfileStatus status, const char* format, ...) __attribute__((format(printf, 2, 3)));

void set_status(ProfileStatus status, const char* format, ...)
{
    state.status = status;
    int length = std::snprintf(state.detail, sizeof state.detail, "%s (", profile_status_text(status));
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(state.detail + length, sizeof state.detail - size_t(length), format, arguments);
    va_end(arguments);
    size_t used = std::strlen(state.detail);
    if (used + 1 < sizeof state.detail) std::strcpy(state.detail + used, ")");
}

void free_table(ProfileState* held)
{
    std::free(held->table.sections);
    if (held->value_block) munmap(held->value_block, held->value_block_bytes);
}

void clear_table()
{
    free_table(&state);
    state.table = SectionTable{};
    state.value_block = nullptr;
    state.value_block_bytes = 0;
    state.value_stride = 0;
    state.status = PROFILE_OK;
    state.detail[0] = 0;
    state.structure_offset = 0;
    state.most_frame_values = 0;
}

// After a refused load or append: the table on show comes back with the new reason. Refusals
// hold no memory of their own.
void keep_shown(ProfileState* shown)
{
    ProfileStatus status = state.status;
    std::memcpy(shown->detail, state.detail, sizeof shown->detail);
    state = *shown;
    state.status = status;
}

// The notes after a frame's values, which the table does not keep.
bool skip_notes(ProfileReader* reader)
{
    uint32_t count = profile_read_u32(reader);
    if (!count_fits(reader, count, kStringLeastBytes)) return false;
    for (uint32_t index = 0; index < count && !reader->overrun; index++) profile_read_string(reader, nullptr, 0);
    return !reader->overrun;
}

// Counts the sections that the structure record lists; false when the record does not fit.
bool survey_structure(ProfileReader reader, Survey* survey)
{
    survey->stated_count = profile_read_u32(&reader);
    uint32_t groups = profile_read_u32(&reader);
    if (!count_fits(&reader, groups, kNameEntryLeastBytes)) return false;
    uint64_t listed = 1 + uint64_t(groups);
    for (uint32_t group = 0; group < groups; group++) {
        profile_read_string(&reader, nullptr, 0);
        uint32_t items = profile_read_u32(&reader);
        if (!count_fits(&reader, items, kStringLeastBytes)) return false;
        for (uint32_t item = 0; item < items && !reader.overrun; item++) profile_read_string(&reader, nullptr, 0);
        listed += items;
    }
    survey->listed_count = listed;
    survey->structure_end = reader.position;
    return !reader.overrun;
}

// The first pass. `base` is the bytes' offset in their file and `first_frame` the number of
// their first frame, for the particulars of a failure.
bool survey_frames(ProfileReader reader, Survey* survey, size_t base, uint32_t first_frame)
{
    *survey = Survey{};
    for (;;) {
        ProfileFrameRecord frame;
        ProfileRecordKind kind = profile_walk_record(&reader, &frame);
        if (kind == PROFILE_RECORD_STRUCTURE) {
            survey->structure_position = reader.position;
            if (survey_structure(reader, survey)) return true;
            set_status(PROFILE_TRUNCATED, "the structure record at byte %zu", base + frame.start);
            return false;
        }
        if (kind == PROFILE_RECORD_END) break;
        if (kind == PROFILE_RECORD_CUT) {
            set_status(PROFILE_TRUNCATED, "frame record %u at byte %zu", first_frame + survey->frame_count,
                       base + frame.start);
            return false;
        }
        if (survey->frame_count >= kMostFrames - first_frame) {
            set_status(PROFILE_TOO_LARGE, "more than %u frame records", kMostFrames);
            return false;
        }
        if (frame.value_count > survey->most_frame_values) survey->most_frame_values = frame.value_count;
        survey->frame_count++;
    }
    set_status(PROFILE_NO_STRUCTURE, "%u frame records, %zu bytes", first_frame + survey->frame_count,
               base + reader.size);
    return false;
}

uint32_t capacity_for(uint32_t frame_count)
{
    return uint32_t((uint64_t(frame_count) + PROFILE_CHUNK_FRAMES - 1) / PROFILE_CHUNK_FRAMES * PROFILE_CHUNK_FRAMES);
}

// Counts the table and the largest block of frame rows; group ordinals must fit their field too.
bool table_affordable(uint64_t section_count, uint32_t frame_count, size_t file_size)
{
    uint64_t limit = kFileSizeFactor * uint64_t(file_size) + kAllowanceBytes;
    uint64_t per_section =
        sizeof(Section) + (uint64_t(capacity_for(frame_count)) + kStridePadValues + kBlockFrames) * kValueBytes;
    if (section_count <= INT32_MAX && section_count <= limit / per_section) return true;
    set_status(PROFILE_TOO_LARGE, "%llu sections of %u frames for %zu bytes", (unsigned long long)section_count,
               frame_count, file_size);
    return false;
}

// Anonymous pages arrive zeroed, so the capacity past the last frame costs nothing to clear.
bool allocate_table(uint32_t section_count, uint32_t capacity)
{
    Section* sections = static_cast<Section*>(std::calloc(section_count, sizeof(Section)));
    size_t stride = capacity ? capacity + kStridePadValues : 0;
    size_t bytes = section_count * stride * kValueBytes;
    void* block = nullptr;
    if (sections && bytes > 0) {
        block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED) block = nullptr;
    }
    if (!sections || (bytes > 0 && !block)) {
        std::free(sections);
        set_status(PROFILE_TOO_LARGE, "cannot allocate %zu bytes", bytes);
        return false;
    }
    if (block) madvise(block, bytes, MADV_HUGEPAGE);
    state.table.sections = sections;
    state.value_block = block;
    state.value_block_bytes = bytes;
    state.value_stride = stride;
    return true;
}

void set_item_colour(Section* item, uint32_t group, uint32_t ordinal)
{
    double hue = double(group) * double(kGroupHueStep);
    if (ordinal % 2 == 1)
        profile_hue_to_rgb(item->colour, float(hue), float(ordinal / 16.0), 1.0f);
    else
        profile_hue_to_rgb(item->colour, float(hue + kEvenItemHueShift), float((1.0 - ordinal / 8.0) / 2.0),
                           kEvenItemHigh);
}

Section* fill_section(uint32_t index, SectionType type, int32_t group_index)
{
    Section* section = &state.table.sections[index];
    section->type = type;
    section->colour[0] = section->colour[1] = section->colour[2] = 1.0f;
    section->group_index = group_index;
    if (state.value_block)
        section->values = static_cast<float*>(state.value_block) + index * state.value_stride;
    return section;
}

void fill_structure(ProfileReader reader)
{
    uint32_t count = state.table.section_count;
    profile_read_u32(&reader);
    uint32_t groups = profile_read_u32(&reader);
    fill_section(0, SECTION_ROOT, -1);
    uint32_t index = 1;
    for (uint32_t group = 0; group < groups && index < count; group++) {
        Section* group_entry = fill_section(index++, SECTION_GROUP, int32_t(group));
        profile_read_string(&reader, group_entry->name, PROFILE_NAME_SIZE);
        uint32_t items = profile_read_u32(&reader);
        for (uint32_t item = 0; item < items && index < count; item++) {
            Section* item_entry = fill_section(index++, SECTION_ITEM, int32_t(group));
            profile_read_string(&reader, item_entry->name, PROFILE_NAME_SIZE);
            set_item_colour(item_entry, group, item);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Frame values: the second pass
// ---------------------------------------------------------------------------------------------

void report_disagreement(const Survey* survey)
{
    if (survey->stated_count != survey->listed_count)
        set_status(PROFILE_COUNT_MISMATCH, "%u stated, %llu listed", survey->stated_count,
                   (unsigned long long)survey->listed_count);
    else if (survey->most_frame_values > survey->listed_count)
        set_status(PROFILE_EXTRA_VALUES, "up to %llu values for %llu sections",
                   (unsigned long long)survey->most_frame_values, (unsigned long long)survey->listed_count);
}

// Where the structure record must end the bytes, anything after it is refused.
bool ends_at_structure(const Survey* survey, size_t size, size_t base)
{
    if (survey->structure_end == size) return true;
    set_status(PROFILE_TRAILING_BYTES, "%zu bytes after the structure record at byte %zu",
               size - survey->structure_end, base + survey->structure_position - SAVREL_TAG_SIZE);
    return false;
}

void load_bytes(const uint8_t* data, size_t size, bool must_end)
{
    clear_table();
    Survey survey;
    if (!survey_frames(ProfileReader{data, size, 0, false}, &survey, 0, 0)) return;
    if (must_end && !ends_at_structure(&survey, size, 0)) return;
    if (!table_affordable(survey.listed_count, survey.frame_count, size)) return;
    if (!allocate_table(uint32_t(survey.listed_count), capacity_for(survey.frame_count))) return;
    state.table.section_count = uint32_t(survey.listed_count);
    state.table.frame_count = survey.frame_count;
    fill_structure(ProfileReader{data, size, survey.structure_position, false});
    if (!store_frames(data, size, 0, survey.frame_count)) {
        clear_table();
        set_status(PROFILE_TOO_LARGE, "cannot allocate the frame rows");
        return;
    }
    state.structure_offset = survey.structure_position - SAVREL_TAG_SIZE;
    state.most_frame_values = survey.most_frame_values;
    report_disagreement(&survey);
}

}  // namespace profile_loader

using namespace profile_loader;

SectionTable* profile_table(void)
{
    return &state.table;
}

void profile_load_memory(const uint8_t* data, size_t size)
{
    load_bytes(data, size, false);
}

bool profile_reload_memory(const uint8_t* data, size_t size, bool must_end)
{
    ProfileState shown = state;
    state.table = SectionTable{};
    state.value_block = nullptr;
    load_bytes(data, size, must_end);
    if (state.table.section_count > 0) {
        free_table(&shown);
        return true;
    }
    keep_shown(&shown);
    return false;
}

void profile_load_failed(ProfileStatus status, const char* reason)
{
    clear_table();
    set_status(status, "%s", reason);
}

size_t profile_structure_offset(void)
{
    return state.structure_offset;
}

ProfileStatus profile_last_status(void)
{
    return state.status;
}

const char* profile_last_detail(void)
{
    return state.detail;
}

const char* profile_status_text(ProfileStatus status)
{
    switch (status) {
    case PROFILE_OK: return "loaded";
    case PROFILE_CANNOT_OPEN: return "cannot be opened";
    case PROFILE_NO_STRUCTURE: return "has no structure record";
    case PROFILE_TRUNCATED: return "ends inside a record";
    case PROFILE_TOO_LARGE: return "refused: it would need more memory than its size justifies";
    case PROFILE_COUNT_MISMATCH: return "its section count disagrees with its groups";
    case PROFILE_EXTRA_VALUES: return "its frame records hold more values than it has sections";
    case PROFILE_TRAILING_BYTES: return "bytes follow its structure record";
    }
    return "unknown status";
}

uint32_t profile_capacity(const SectionTable* table)
{
    return capacity_for(table->frame_count);
}

void profile_hue_to_rgb(float colour[3], float hue, float low, float high)
{
    if (hue > 1.0f || hue < 0.0f) hue -= std::trunc(hue);
    low = std::fmax(0.0f, std::fmin(1.0f, low));
    high = std::fmax(0.0f, std::fmin(1.0f, high));
    float h = float(double(hue) * 6.0);
    // Truncation toward zero; NaN and anything outside (-1, 6) fall in the last row.
    int sector = h > -1.0f && h < 6.0f ? int(h) : 6;
    double v = high;
    double m = double(low) * double(high);
    double red = v, green = m, blue = m;
    switch (sector) {
    case 0: green = m + (v - m) * h; break;
    case 1:
        red = m + (v - m) * (2.0 - h);
        green = v;
        break;
    case 2:
        red = m;
        green = v;
        blue = m + (v - m) * (h - 2.0);
        break;
    case 3:
        red = m;
        green = m + (v - m) * (4.0 - h);
        blue = v;
        break;
    case 4:
        red = m + (v - m) * (h - 4.0);
        blue = v;
        break;
    default: blue = m + (v - m) * (6.0 - h); break;
    }
    colour[0] = float(red);
    colour[1] = float(green);
    colour[2] = float(blue);
}
