// profile loader: the bounded readers and the section table built from recording bytes.
#include "profile/profile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A table may cost this much beyond kFileSizeFactor times the file's size; a normal
// recording needs about one table byte per file byte, so only a hostile file gets near it.
constexpr uint64_t kAllowanceBytes = uint64_t(64) << 20;
constexpr uint64_t kFileSizeFactor = 16;
// Mapped file pages behind the cursor are handed back in steps of this size, so a long
// recording is never resident beside its own table.
constexpr size_t kReleaseStep = size_t(16) << 20;
constexpr size_t kValueBytes = 4;
// Arrays a multiple of 4 KiB apart would put one frame's values in the same cache sets, so
// each array starts one cache line further along than its capacity alone would put it.
constexpr uint32_t kStridePadValues = 16;
constexpr uint32_t kDirectSections = 1024;  // their current cache lines fit in the second-level cache
constexpr uint32_t kBlockFrames = 16;  // one cache line of values
constexpr size_t kRowBlockBytes = size_t(4) << 20;
constexpr size_t kGroupEntryLeastBytes = 8;  // group value and item count
constexpr size_t kNameEntryLeastBytes = 5;  // empty group name and item count
constexpr size_t kStringLeastBytes = 1;  // the zero byte alone
constexpr uint32_t kMostFrames = UINT32_MAX - PROFILE_CHUNK_FRAMES + 1;
constexpr float kGroupHueStep = 0.16666667f;
constexpr double kEvenItemHueShift = 0.01;
constexpr float kEvenItemHigh = 0.7f;

// The byte cursor, plus the mapping whose passed pages may be handed back.
struct Walk {
    ProfileReader reader;
    const uint8_t* mapping;  // null when the bytes belong to the caller
    size_t released;  // bytes from the start already handed back
};

// Frames decoded one row each, then written to the table a whole cache line per section:
// with many sections, storing each value straight into its own array touches more cache
// lines per frame than the cache holds.
struct FrameRows {
    float* values;
    size_t row_stride;  // values from one row to the next
    uint32_t most_rows;
    uint32_t held;
    uint32_t first_frame;  // the frame of row 0
};

// What the first pass learns before anything is allocated.
struct Survey {
    uint32_t frame_count;
    uint64_t most_frame_values;  // the largest number of values in one frame record
    size_t structure_position;  // the structure record's first byte after its tag
    uint32_t stated_count;
    uint64_t listed_count;  // 1 + G + the sum of N
};

struct ProfileState {
    SectionTable table;
    void* value_block;  // every section's values, one mapping for the whole table
    size_t value_block_bytes;
    size_t value_stride;  // values from one section's array to the next
    ProfileStatus status;
    char detail[192];
};

ProfileState state;

uint32_t load_u32(const uint8_t* bytes)
{
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | uint32_t(bytes[3]);
}

float load_float(const uint8_t* bytes)
{
    uint32_t bits = load_u32(bytes);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// A cursor set past its end by a caller reads as exhausted rather than wrapping around.
size_t remaining(const ProfileReader* reader)
{
    return reader->position < reader->size ? reader->size - reader->position : 0;
}

// A count is believed only when the bytes left could hold that many entries of their least size.
bool count_fits(const ProfileReader* reader, uint64_t count, size_t least_bytes)
{
    return !reader->overrun && count <= remaining(reader) / least_bytes;
}

uint8_t read_tag(ProfileReader* reader)
{
    if (remaining(reader) == 0) return 0;
    return reader->data[reader->position++];
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
}

void release_behind(Walk* walk)
{
    if (!walk->mapping) return;
    static const size_t page = size_t(sysconf(_SC_PAGESIZE));
    size_t passed = walk->reader.position / page * page;
    if (passed - walk->released < kReleaseStep) return;
    madvise(const_cast<uint8_t*>(walk->mapping) + walk->released, passed - walk->released, MADV_DONTNEED);
    walk->released = passed;
}

bool skip_strings(ProfileReader* reader)
{
    uint32_t count = profile_read_u32(reader);
    if (!count_fits(reader, count, kStringLeastBytes)) return false;
    for (uint32_t index = 0; index < count && !reader->overrun; index++) profile_read_string(reader, nullptr, 0);
    return !reader->overrun;
}

// Reads past one frame record after its tag; false when the record does not fit in the bytes.
bool skip_frame(ProfileReader* reader, uint64_t* value_count)
{
    profile_read_u32(reader);
    uint32_t groups = profile_read_u32(reader);
    if (!count_fits(reader, groups, kGroupEntryLeastBytes)) return false;
    uint64_t values = 1 + uint64_t(groups);
    for (uint32_t group = 0; group < groups; group++) {
        profile_read_u32(reader);
        uint32_t items = profile_read_u32(reader);
        if (!count_fits(reader, items, kValueBytes)) return false;
        reader->position += size_t(items) * kValueBytes;
        values += items;
    }
    *value_count = values;
    return skip_strings(reader);
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
    return !reader.overrun;
}

bool survey_frames(Walk* walk, Survey* survey)
{
    ProfileReader* reader = &walk->reader;
    *survey = Survey{};
    while (remaining(reader) > 0) {
        size_t record_start = reader->position;
        if (read_tag(reader) == 0) {
            survey->structure_position = reader->position;
            if (survey_structure(*reader, survey)) return true;
            set_status(PROFILE_TRUNCATED, "the structure record at byte %zu", record_start);
            return false;
        }
        uint64_t values = 0;
        if (!skip_frame(reader, &values)) {
            set_status(PROFILE_TRUNCATED, "frame record %u at byte %zu", survey->frame_count, record_start);
            return false;
        }
        if (survey->frame_count == kMostFrames) {
            set_status(PROFILE_TOO_LARGE, "more than %u frame records", kMostFrames);
            return false;
        }
        if (values > survey->most_frame_values) survey->most_frame_values = values;
        survey->frame_count++;
        release_behind(walk);
    }
    set_status(PROFILE_NO_STRUCTURE, "%u frame records, %zu bytes", survey->frame_count, reader->size);
    return false;
}

uint32_t capacity_for(uint32_t frame_count)
{
    return uint32_t((uint64_t(frame_count) + PROFILE_CHUNK_FRAMES - 1) / PROFILE_CHUNK_FRAMES * PROFILE_CHUNK_FRAMES);
}

// Counts the table and the largest block of frame rows; group ordinals must fit their field too.
bool table_affordable(const Survey* survey, size_t file_size)
{
    uint64_t limit = kFileSizeFactor * uint64_t(file_size) + kAllowanceBytes;
    uint64_t per_section =
        sizeof(Section) + (uint64_t(capacity_for(survey->frame_count)) + kStridePadValues + kBlockFrames) * kValueBytes;
    if (survey->listed_count <= INT32_MAX && survey->listed_count <= limit / per_section) return true;
    set_status(PROFILE_TOO_LARGE, "%llu sections of %u frames for %zu bytes", (unsigned long long)survey->listed_count,
               survey->frame_count, file_size);
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

// Decodes a run of values to `out` at `index` onward, `stride` apart; values past the last
// section are read past.
void decode_run(ProfileReader* reader, float* out, size_t stride, uint64_t index, uint32_t run)
{
    uint64_t count = state.table.section_count;
    uint64_t kept = index >= count ? 0 : (count - index < run ? count - index : run);
    const uint8_t* bytes = reader->data + reader->position;
    for (uint64_t value = 0; value < kept; value++)
        out[(index + value) * stride] = load_float(bytes + value * kValueBytes);
    reader->position += size_t(run) * kValueBytes;
}

// Decodes one frame record by position; returns the number of values it holds, or 0 when it does not fit.
uint64_t decode_frame(ProfileReader* reader, float* out, size_t stride)
{
    if (!count_fits(reader, 2, kValueBytes)) return 0;
    decode_run(reader, out, stride, 0, 1);
    uint32_t groups = profile_read_u32(reader);
    uint64_t index = 1;
    for (uint32_t group = 0; group < groups; group++) {
        if (!count_fits(reader, 2, kValueBytes)) return 0;
        decode_run(reader, out, stride, index++, 1);
        uint32_t items = profile_read_u32(reader);
        if (!count_fits(reader, items, kValueBytes)) return 0;
        decode_run(reader, out, stride, index, items);
        index += items;
    }
    return skip_strings(reader) ? index : 0;
}

bool make_rows(FrameRows* rows)
{
    rows->row_stride = state.table.section_count + kStridePadValues;
    size_t fitting = kRowBlockBytes / (rows->row_stride * kValueBytes);
    rows->most_rows = fitting < 1 ? 1 : (fitting > kBlockFrames ? kBlockFrames : uint32_t(fitting));
    rows->held = 0;
    rows->first_frame = 0;
    rows->values = static_cast<float*>(std::malloc(rows->most_rows * rows->row_stride * kValueBytes));
    return rows->values != nullptr;
}

void write_rows(FrameRows* rows)
{
    float* out = static_cast<float*>(state.value_block) + rows->first_frame;
    for (uint32_t section = 0; section < state.table.section_count; section++, out += state.value_stride)
        for (uint32_t row = 0; row < rows->held; row++) out[row] = rows->values[row * rows->row_stride + section];
    rows->first_frame += rows->held;
    rows->held = 0;
}

// Few sections: each frame's values go straight to their arrays, whose current cache lines all fit.
void store_frames_direct(Walk* walk, uint32_t frame_count)
{
    float* column = static_cast<float*>(state.value_block);
    for (uint32_t frame = 0; frame < frame_count; frame++, column++) {
        if (read_tag(&walk->reader) == 0 || decode_frame(&walk->reader, column, state.value_stride) == 0) return;
        release_behind(walk);
    }
}

bool store_frames_in_rows(Walk* walk, uint32_t frame_count)
{
    FrameRows rows;
    if (!make_rows(&rows)) return false;
    uint32_t count = state.table.section_count;
    for (uint32_t frame = 0; frame < frame_count; frame++) {
        float* row = rows.values + rows.held * rows.row_stride;
        uint64_t reached = read_tag(&walk->reader) == 0 ? 0 : decode_frame(&walk->reader, row, 1);
        if (reached == 0) break;
        if (reached < count) std::memset(row + reached, 0, (count - reached) * kValueBytes);
        if (++rows.held == rows.most_rows) write_rows(&rows);
        release_behind(walk);
    }
    write_rows(&rows);
    std::free(rows.values);
    return true;
}

// The second pass: the same frame records again, now keeping their values.
bool store_frames(Walk* walk, uint32_t frame_count)
{
    walk->reader = ProfileReader{walk->reader.data, walk->reader.size, 0, false};
    walk->released = 0;
    if (state.table.section_count > kDirectSections) return store_frames_in_rows(walk, frame_count);
    store_frames_direct(walk, frame_count);
    return true;
}

void report_disagreement(const Survey* survey)
{
    if (survey->stated_count != survey->listed_count)
        set_status(PROFILE_COUNT_MISMATCH, "%u stated, %llu listed", survey->stated_count,
                   (unsigned long long)survey->listed_count);
    else if (survey->most_frame_values > survey->listed_count)
        set_status(PROFILE_EXTRA_VALUES, "up to %llu values for %llu sections",
                   (unsigned long long)survey->most_frame_values, (unsigned long long)survey->listed_count);
}

void load_bytes(const uint8_t* data, size_t size, const uint8_t* mapping)
{
    clear_table();
    Walk walk = {{data, size, 0, false}, mapping, 0};
    Survey survey;
    if (!survey_frames(&walk, &survey) || !table_affordable(&survey, size)) return;
    if (!allocate_table(uint32_t(survey.listed_count), capacity_for(survey.frame_count))) return;
    state.table.section_count = uint32_t(survey.listed_count);
    state.table.frame_count = survey.frame_count;
    ProfileReader structure = {data, size, survey.structure_position, false};
    fill_structure(structure);
    if (survey.frame_count > 0 && !store_frames(&walk, survey.frame_count)) {
        clear_table();
        set_status(PROFILE_TOO_LARGE, "cannot allocate the frame rows");
        return;
    }
    report_disagreement(&survey);
}

}  // namespace

SectionTable* profile_table(void)
{
    return &state.table;
}

void profile_load_memory(const uint8_t* data, size_t size)
{
    load_bytes(data, size, nullptr);
}

bool profile_reload_memory(const uint8_t* data, size_t size)
{
    ProfileState shown = state;
    state.table = SectionTable{};
    state.value_block = nullptr;
    load_bytes(data, size, nullptr);
    if (state.table.section_count > 0) {
        free_table(&shown);
        return true;
    }
    // Failed loads hold no memory, so the table on show simply comes back with the new reason.
    ProfileStatus status = state.status;
    std::memcpy(shown.detail, state.detail, sizeof shown.detail);
    state = shown;
    state.status = status;
    return false;
}

void profile_load(const char* path)
{
    // Non-blocking, so that a named pipe given as the path cannot hang the start-up.
    int file = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat info;
    const char* reason = nullptr;
    if (file < 0)
        reason = std::strerror(errno);
    else if (fstat(file, &info) != 0)
        reason = std::strerror(errno);
    else if (!S_ISREG(info.st_mode))
        reason = "not a regular file";
    void* mapping = MAP_FAILED;
    if (!reason && info.st_size > 0) {
        mapping = mmap(nullptr, size_t(info.st_size), PROT_READ, MAP_PRIVATE, file, 0);
        if (mapping == MAP_FAILED) reason = std::strerror(errno);
    }
    if (file >= 0) close(file);
    if (reason) {
        clear_table();
        set_status(PROFILE_CANNOT_OPEN, "%s", reason);
        return;
    }
    if (mapping == MAP_FAILED) {
        load_bytes(nullptr, 0, nullptr);
        return;
    }
    madvise(mapping, size_t(info.st_size), MADV_SEQUENTIAL);
    const uint8_t* bytes = static_cast<const uint8_t*>(mapping);
    load_bytes(bytes, size_t(info.st_size), bytes);
    munmap(mapping, size_t(info.st_size));
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

uint32_t profile_read_u32(ProfileReader* reader)
{
    if (reader->overrun || remaining(reader) < 4) {
        reader->position = reader->size;
        reader->overrun = true;
        return 0;
    }
    uint32_t value = load_u32(reader->data + reader->position);
    reader->position += 4;
    return value;
}

float profile_read_float(ProfileReader* reader)
{
    uint32_t bits = profile_read_u32(reader);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

size_t profile_read_string(ProfileReader* reader, char* destination, size_t destination_size)
{
    size_t available = remaining(reader);
    const uint8_t* start = available ? reader->data + reader->position : nullptr;
    const void* zero = available ? std::memchr(start, 0, available) : nullptr;
    size_t length = zero ? size_t(static_cast<const uint8_t*>(zero) - start) : available;
    size_t kept = 0;
    if (destination && destination_size > 0) {
        kept = length < destination_size - 1 ? length : destination_size - 1;
        if (kept > 0) std::memcpy(destination, start, kept);
        destination[kept] = 0;
    }
    if (zero) {
        reader->position += length + 1;
    } else {
        reader->position = reader->size;
        reader->overrun = true;
    }
    return kept;
}
