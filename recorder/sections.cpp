// Sections: names found without the lock, added under it.
#include <cstring>

#include "recorder/internal.h"

namespace recorder_internal {

namespace {

// FNV-1a over "group\x1Fitem"; a group's own entry has an empty item.
uint32_t hash_names(const char* group, const char* item)
{
    uint32_t hash = 2166136261u;
    for (const char* at = group; *at; at++) hash = (hash ^ uint8_t(*at)) * 16777619u;
    hash = (hash ^ 0x1Fu) * 16777619u;
    for (const char* at = item; *at; at++) hash = (hash ^ uint8_t(*at)) * 16777619u;
    return hash;
}

bool entry_matches(int32_t entry, const char* group, const char* item)
{
    if (entry < kEmptySlot) return item[0] == '\0' && std::strcmp(state.groups[-entry - 2].name, group) == 0;
    const Item& found = state.items[entry];
    return item[0] != '\0' && std::strcmp(found.name, item) == 0 &&
           std::strcmp(state.groups[found.group].name, group) == 0;
}

// The hash position holding (group, item), or the empty one where it belongs. Entries are
// published after their names, so a reader without the lock finds whole names or nothing.
uint32_t hash_position(const char* group, const char* item)
{
    uint32_t position = hash_names(group, item) & (kHashSize - 1);
    for (;;) {
        int32_t entry = state.hash[position].load(std::memory_order_acquire);
        if (entry == kEmptySlot || entry_matches(entry, group, item)) return position;
        position = (position + 1) & (kHashSize - 1);
    }
}

// Where the group's items end in the layout; they are contiguous and groups keep their order.
uint32_t layout_end_of(int32_t group)
{
    uint32_t end = 0;
    for (int32_t g = 0; g <= group; g++) end += state.groups[g].item_count;
    return end;
}

// Under the lock.
int32_t add_item(int32_t group, const char* name, uint32_t position)
{
    int32_t index = int32_t(state.item_count);
    Item& item = state.items[index];
    std::memcpy(item.name, name, std::strlen(name) + 1);
    item.group = group;
    item.ticks = 0;
    item.fixed = 0;
    item.seconds = 0;
    state.item_count++;
    uint32_t end = layout_end_of(group);
    std::memmove(state.layout + end + 1, state.layout + end, (state.item_count - 1 - end) * sizeof(int32_t));
    state.layout[end] = index;
    state.groups[group].item_count++;
    state.structure_changed = true;
    // Frames on disk that carry a later group would read their values one place off.
    uint32_t next = uint32_t(group) + 1;
    if (next < state.group_count && state.groups[next].first_frame < state.frames_written)
        state.rewrite_needed = true;
    state.hash[position].store(index, std::memory_order_release);
    return index;
}

}  // namespace

bool name_fits(const char* name)
{
    size_t length = strnlen(name, SAVREL_NAME_LENGTH + 1);
    return length >= 1 && length <= SAVREL_NAME_LENGTH;
}

int32_t group_slot(int32_t group)
{
    return SAVREL_MAX_SECTIONS - 1 - group;
}

uint32_t section_count(void)
{
    return 1 + state.group_count + state.item_count;
}

int32_t hash_entry(const char* group, const char* item)
{
    return state.hash[hash_position(group, item)].load(std::memory_order_acquire);
}

int32_t find_or_add_group(const char* name)
{
    uint32_t position = hash_position(name, "");
    int32_t entry = state.hash[position].load(std::memory_order_relaxed);
    if (entry != kEmptySlot) return -entry - 2;
    if (section_count() >= SAVREL_MAX_SECTIONS) {
        refuse(RECORDER_TOO_MANY_SECTIONS, name);
        return -1;
    }
    Group& group = state.groups[state.group_count];
    std::memcpy(group.name, name, std::strlen(name) + 1);
    group.first_frame = state.frames_written;
    group.item_count = 0;
    group.own_calls = 0;
    group.own_fixed = 0;
    int32_t index = int32_t(state.group_count++);
    state.hash[position].store(-index - 2, std::memory_order_release);
    state.structure_changed = true;
    return index;
}

int32_t find_or_add_item(const char* group, const char* item)
{
    uint32_t position = hash_position(group, item);
    int32_t entry = state.hash[position].load(std::memory_order_relaxed);
    if (entry != kEmptySlot) return entry;
    bool new_group = hash_entry(group, "") == kEmptySlot;
    if (section_count() + (new_group ? 2 : 1) > SAVREL_MAX_SECTIONS) {
        refuse(RECORDER_TOO_MANY_SECTIONS, item);
        return -1;
    }
    int32_t group_index = find_or_add_group(group);
    // Adding the group may have taken the position the item probed.
    return add_item(group_index, item, hash_position(group, item));
}

void reset_sections(void)
{
    for (std::atomic<int32_t>& entry : state.hash) entry.store(kEmptySlot, std::memory_order_relaxed);
    state.group_count = 0;
    state.item_count = 0;
    state.note_count = 0;
    state.structure_changed = false;
    state.rewrite_needed = false;
    state.frames_written = 0;
}

}  // namespace recorder_internal
