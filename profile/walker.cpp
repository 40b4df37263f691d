// profile walker: the bounded byte cursor and the one walk over a recording's frame records.
#include <cstring>

#include "profile/profile.h"
#include "recorder/format.h"

namespace {

// Least bytes of the entries a count announces, so that a count is believed only when the
// bytes left could hold it.
constexpr size_t kGroupEntryLeastBytes = SAVREL_F32_SIZE + SAVREL_U32_SIZE;  // group value and item count
constexpr size_t kStringLeastBytes = 1;  // the zero byte alone

// A cursor set past its end by a caller reads as exhausted rather than wrapping around.
size_t remaining(const ProfileReader* reader)
{
    return reader->position < reader->size ? reader->size - reader->position : 0;
}

bool skip_strings(ProfileReader* reader, uint32_t* count)
{
    *count = profile_read_u32(reader);
    if (!profile_reader_fits(reader, *count, kStringLeastBytes)) return false;
    for (uint32_t index = 0; index < *count && !reader->overrun; index++) profile_read_string(reader, nullptr, 0);
    return !reader->overrun;
}

// Reads past one frame record after its tag; false when the record does not fit in the bytes.
bool skip_frame(ProfileReader* reader, ProfileFrameRecord* frame)
{
    profile_read_u32(reader);
    uint32_t groups = profile_read_u32(reader);
    if (!profile_reader_fits(reader, groups, kGroupEntryLeastBytes)) return false;
    uint64_t values = 1 + uint64_t(groups);
    for (uint32_t group = 0; group < groups; group++) {
        profile_read_u32(reader);
        uint32_t items = profile_read_u32(reader);
        if (!profile_reader_fits(reader, items, SAVREL_F32_SIZE)) return false;
        reader->position += size_t(items) * SAVREL_F32_SIZE;
        values += items;
    }
    frame->value_count = values;
    frame->notes_position = reader->position + SAVREL_U32_SIZE;
    return skip_strings(reader, &frame->note_count);
}

}  // namespace

bool profile_reader_fits(const ProfileReader* reader, uint64_t count, size_t least_bytes)
{
    return !reader->overrun && count <= remaining(reader) / least_bytes;
}

ProfileRecordKind profile_walk_record(ProfileReader* reader, ProfileFrameRecord* frame)
{
    *frame = ProfileFrameRecord{};
    frame->start = reader->position;
    if (remaining(reader) == 0) return PROFILE_RECORD_END;
    if (reader->data[reader->position++] == SAVREL_TAG_STRUCTURE) return PROFILE_RECORD_STRUCTURE;
    return skip_frame(reader, frame) ? PROFILE_RECORD_FRAME : PROFILE_RECORD_CUT;
}

uint32_t profile_read_u32(ProfileReader* reader)
{
    if (reader->overrun || remaining(reader) < SAVREL_U32_SIZE) {
        reader->position = reader->size;
        reader->overrun = true;
        return 0;
    }
    uint32_t value = savrel_get_u32(reader->data + reader->position);
    reader->position += SAVREL_U32_SIZE;
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
