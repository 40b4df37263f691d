// profile loader, frame values: the second pass, which stores each frame's values in the table.
#include <cstdlib>
#include <cstring>

#include "profile/loader_parts.h"

namespace profile_loader {

namespace {

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

// Decodes a run of values to `out` at `index` onward, `stride` apart; values past the last
// section are read past.
void decode_run(ProfileReader* reader, float* out, size_t stride, uint64_t index, uint32_t run)
{
    uint64_t count = state.table.section_count;
    uint64_t kept = index >= count ? 0 : (count - index < run ? count - index : run);
    const uint8_t* bytes = reader->data + reader->position;
    for (uint64_t value = 0; value < kept; value++)
        out[(index + value) * stride] = savrel_get_f32(bytes + value * kValueBytes);
    reader->position += size_t(run) * kValueBytes;
}

// Decodes one frame record after its tag by position; returns the number of values it holds,
// or 0 when it does not fit.
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
    return skip_notes(reader) ? index : 0;
}

// The survey has walked these records, so each starts with a frame tag.
bool next_frame_tag(ProfileReader* reader)
{
    return reader->position < reader->size && reader->data[reader->position++] != SAVREL_TAG_STRUCTURE;
}

bool make_rows(FrameRows* rows, uint32_t first_frame)
{
    rows->row_stride = state.table.section_count + kStridePadValues;
    size_t fitting = kRowBlockBytes / (rows->row_stride * kValueBytes);
    rows->most_rows = fitting < 1 ? 1 : (fitting > kBlockFrames ? kBlockFrames : uint32_t(fitting));
    rows->held = 0;
    rows->first_frame = first_frame;
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
void store_frames_direct(ProfileReader* reader, uint32_t first_frame, uint32_t frame_count)
{
    float* column = static_cast<float*>(state.value_block) + first_frame;
    for (uint32_t frame = 0; frame < frame_count; frame++, column++)
        if (!next_frame_tag(reader) || decode_frame(reader, column, state.value_stride) == 0) return;
}

bool store_frames_in_rows(ProfileReader* reader, uint32_t first_frame, uint32_t frame_count)
{
    FrameRows rows;
    if (!make_rows(&rows, first_frame)) return false;
    uint32_t count = state.table.section_count;
    for (uint32_t frame = 0; frame < frame_count; frame++) {
        float* row = rows.values + rows.held * rows.row_stride;
        uint64_t reached = next_frame_tag(reader) ? decode_frame(reader, row, 1) : 0;
        if (reached == 0) break;
        if (reached < count) std::memset(row + reached, 0, (count - reached) * kValueBytes);
        if (++rows.held == rows.most_rows) write_rows(&rows);
    }
    write_rows(&rows);
    std::free(rows.values);
    return true;
}

}  // namespace

// The frame records of the bytes, now keeping their values from table frame first_frame on.
bool store_frames(const uint8_t* data, size_t size, uint32_t first_frame, uint32_t frame_count)
{
    ProfileReader reader = {data, size, 0, false};
    if (frame_count == 0) return true;
    if (state.table.section_count > kDirectSections) return store_frames_in_rows(&reader, first_frame, frame_count);
    store_frames_direct(&reader, first_frame, frame_count);
    return true;
}

}  // namespace profile_loader
