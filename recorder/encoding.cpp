// Encoding: frame records and the structure record, built in memory with the format's helpers.
#include <cmath>

#include "recorder/internal.h"

namespace recorder_internal {

namespace {

// Added milliseconds are summed as integers of 2^-32 ms, so sums are exact in any order.
const double kFixedPerMillisecond = 4294967296.0;
const double kMaxFixed = 4.0e18;

double fixed_milliseconds(uint64_t fixed)
{
    return double(int64_t(fixed)) / kFixedPerMillisecond;
}

float group_value(const Group& group, const int32_t* items)
{
    if (group.own_calls > 0) return to_seconds(fixed_milliseconds(group.own_fixed));
    double sum = 0;
    for (uint32_t k = 0; k < group.item_count; k++) sum += state.items[items[k]].seconds;
    return float(sum);
}

}  // namespace

uint64_t to_fixed(float milliseconds)
{
    double scaled = double(milliseconds) * kFixedPerMillisecond;
    if (!(std::fabs(scaled) < kMaxFixed)) scaled = std::isnan(scaled) ? 0.0 : std::copysign(kMaxFixed, scaled);
    return uint64_t(int64_t(std::llround(scaled)));
}

// Seconds, converted once here from the milliseconds the API takes.
float to_seconds(double milliseconds)
{
    return float(milliseconds / 1000.0);
}

// The structure record of every section known now. Under the lock.
void encode_structure(void)
{
    size_t name_bytes = state.group_count * (SAVREL_U32_SIZE + SAVREL_NAME_SIZE) + state.item_count * SAVREL_NAME_SIZE;
    state.structure_bytes.resize(SAVREL_STRUCTURE_FIXED_SIZE + name_bytes);
    uint8_t* at = state.structure_bytes.data();
    *at++ = SAVREL_TAG_STRUCTURE;
    at = savrel_put_u32(at, section_count());
    at = savrel_put_u32(at, state.group_count);
    const int32_t* item = state.layout;
    state.disk_shape.resize(state.group_count);
    for (uint32_t g = 0; g < state.group_count; g++) {
        const Group& group = state.groups[g];
        at = savrel_put_string(at, group.name);
        at = savrel_put_u32(at, group.item_count);
        for (uint32_t k = 0; k < group.item_count; k++) at = savrel_put_string(at, state.items[*item++].name);
        state.disk_shape[g] = group.item_count;
    }
    state.structure_bytes.resize(size_t(at - state.structure_bytes.data()));
    state.structure_changed = false;
}

void settle_item_values(void)
{
    for (uint32_t n = 0; n < state.item_count; n++) {
        Item& item = state.items[n];
        item.seconds = to_seconds(fixed_milliseconds(item.fixed) + double(item.ticks) * state.milliseconds_per_tick);
    }
}

// The first shape[g] items of each of the first `groups` groups. Under the lock.
void encode_frame(float total, const uint32_t* shape, uint32_t groups)
{
    uint8_t* at = state.frame_bytes.data();
    *at++ = SAVREL_TAG_FRAME;
    at = savrel_put_f32(at, total);
    at = savrel_put_u32(at, groups);
    const int32_t* item = state.layout;
    for (uint32_t g = 0; g < groups; g++) {
        const Group& group = state.groups[g];
        uint32_t written_items = shape ? shape[g] : group.item_count;
        at = savrel_put_f32(at, group_value(group, item));
        at = savrel_put_u32(at, written_items);
        for (uint32_t k = 0; k < written_items; k++) at = savrel_put_f32(at, state.items[item[k]].seconds);
        item += group.item_count;
    }
    at = savrel_put_u32(at, state.note_count);
    for (uint32_t n = 0; n < state.note_count; n++) at = savrel_put_string(at, state.notes[n]);
    state.frame_size = size_t(at - state.frame_bytes.data());
}

void clear_frame(void)
{
    for (uint32_t n = 0; n < state.item_count; n++) {
        state.items[n].ticks = 0;
        state.items[n].fixed = 0;
    }
    for (uint32_t g = 0; g < state.group_count; g++) {
        state.groups[g].own_calls = 0;
        state.groups[g].own_fixed = 0;
    }
    state.note_count = 0;
}

}  // namespace recorder_internal
