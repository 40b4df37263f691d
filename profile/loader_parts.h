// profile loader, internal: the table's state and the loading steps that loader.cpp,
// frames.cpp (the frame values) and append.cpp (frames appended to the table on show) share.
//
// Does NOT belong to the public interface; only profile/ includes it. Uses: profile/profile.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "profile/profile.h"

namespace profile_loader {

// A table may cost this much beyond kFileSizeFactor times the file's size; a normal
// recording needs about one table byte per file byte, so only a hostile file gets near it.
constexpr uint64_t kAllowanceBytes = uint64_t(64) << 20;
constexpr uint64_t kFileSizeFactor = 16;
constexpr size_t kValueBytes = SAVREL_F32_SIZE;
// Arrays a multiple of 4 KiB apart would put one frame's values in the same cache sets, so
// each array starts one cache line further along than its capacity alone would put it.
constexpr uint32_t kStridePadValues = 16;
constexpr uint32_t kDirectSections = 1024;  // their current cache lines fit in the second-level cache
constexpr uint32_t kBlockFrames = 16;  // one cache line of values
constexpr size_t kRowBlockBytes = size_t(4) << 20;
constexpr size_t kNameEntryLeastBytes = 1 + SAVREL_U32_SIZE;  // empty group name and item count
constexpr size_t kStringLeastBytes = 1;  // the zero byte alone
constexpr uint32_t kMostFrames = UINT32_MAX - PROFILE_CHUNK_FRAMES + 1;
constexpr float kGroupHueStep = 0.16666667f;
constexpr double kEvenItemHueShift = 0.01;
constexpr float kEvenItemHigh = 0.7f;

// What the first pass learns before anything is allocated.
struct Survey {
    uint32_t frame_count;
    uint64_t most_frame_values;  // the largest number of values in one frame record
    size_t structure_position;  // the structure record's first byte after its tag
    size_t structure_end;  // the byte after the structure record
    uint32_t stated_count;
    uint64_t listed_count;  // 1 + G + the sum of N
};

struct ProfileState {
    SectionTable table;
    void* value_block;  // every section's values, one mapping for the whole table
    size_t value_block_bytes;
    size_t value_stride;  // values from one section's array to the next
    size_t structure_offset;  // where the table's structure record starts in its bytes
    uint64_t most_frame_values;  // over every frame record loaded
    ProfileStatus status;
    char detail[192];
};

extern ProfileState state;  // the one table and its last outcome

bool count_fits(const ProfileReader* reader, uint64_t count, size_t least_bytes);  // count entries of least_bytes fit
void set_status(ProfileStatus status, const char* format, ...) __attribute__((format(printf, 2, 3)));
void free_table(ProfileState* held);  // frees a table's memory
void clear_table();  // empties the table; status OK
void keep_shown(ProfileState* shown);  // puts a table back after a refusal, keeping the refusal's status
bool skip_notes(ProfileReader* reader);  // past a frame's notes; false when they do not fit
// The first pass over frame records and the structure record; false with the status set.
bool survey_frames(ProfileReader reader, Survey* survey, size_t base, uint32_t first_frame);
uint32_t capacity_for(uint32_t frame_count);  // frame_count rounded up to the chunk
bool table_affordable(uint64_t section_count, uint32_t frame_count, size_t file_size);
bool allocate_table(uint32_t section_count, uint32_t capacity);  // a new table in state; false with the status set
void fill_structure(ProfileReader reader);  // names, types and colours from the structure record
bool ends_at_structure(const Survey* survey, size_t size, size_t base);  // else PROFILE_TRAILING_BYTES
void report_disagreement(const Survey* survey);  // the warnings a loaded table can carry
// The second pass (frames.cpp): the values of frame_count frame records from table frame first_frame on.
bool store_frames(const uint8_t* data, size_t size, uint32_t first_frame, uint32_t frame_count);
// Appending (append.cpp): the frames of `data` appended to the table on show.
ProfileAppend append_bytes(const uint8_t* data, size_t size, size_t file_size);

}  // namespace profile_loader
