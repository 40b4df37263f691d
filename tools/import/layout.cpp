// The layout half of the sections module: names, folding past the section limit, positions.
#include <algorithm>

#include "recorder/format.h"
#include "tools/import/sections.h"

namespace {

const char* const kSelfName = "(self)";
const char* const kOtherName = "(other)";
const char* const kUnnamed = "(unnamed)";

struct LayoutItem {
    uint32_t slot;
    bool self;  // the group's "(self)", whose value is the group slot's self_total
    bool folded;
};

struct LayoutGroup {
    uint32_t slot;
    bool folded;
    uint32_t kept_items;
    uint32_t folded_items;
    std::vector<LayoutItem> items;
};

size_t group_sections(const LayoutGroup& group)
{
    return 1 + group.kept_items + (group.folded_items > 0 && group.kept_items > 0 ? 1 : 0);
}

double item_total(const SectionPlan& plan, const LayoutItem& item)
{
    return item.self ? plan.slots[item.slot].self_total : plan.slots[item.slot].total;
}

std::vector<LayoutGroup> collect_groups(const SectionPlan& plan)
{
    std::vector<LayoutGroup> groups;
    std::vector<uint32_t> group_of_slot(plan.slots.size(), UINT32_MAX);
    std::vector<uint32_t> thread_groups;
    for (uint32_t slot = 0; slot < plan.slots.size(); slot++) {
        if (plan.slots[slot].kind == SLOT_FRAME_GROUP) group_of_slot[slot] = uint32_t(groups.size()), groups.push_back(LayoutGroup{slot, false, 0, 0, {}});
        if (plan.slots[slot].kind == SLOT_THREAD_GROUP) thread_groups.push_back(slot);
    }
    // Other threads follow the frame's thread, in the order the trace first names them.
    std::sort(thread_groups.begin(), thread_groups.end(), [&](uint32_t left, uint32_t right) { return plan.slots[left].key < plan.slots[right].key; });
    for (uint32_t slot : thread_groups) group_of_slot[slot] = uint32_t(groups.size()), groups.push_back(LayoutGroup{slot, false, 0, 0, {}});
    for (uint32_t slot = 0; slot < plan.slots.size(); slot++) {
        SlotKind kind = plan.slots[slot].kind;
        if (kind == SLOT_FRAME_ITEM || kind == SLOT_THREAD_ITEM) groups[group_of_slot[plan.slots[slot].owner]].items.push_back(LayoutItem{slot, false, false});
    }
    for (LayoutGroup& group : groups) {
        if (plan.slots[group.slot].has_items) group.items.push_back(LayoutItem{group.slot, true, false});
        group.kept_items = uint32_t(group.items.size());
    }
    return groups;
}

// Past the limit even without items, all but the largest groups become one "(other)" group.
uint32_t fold_groups(const SectionPlan& plan, std::vector<LayoutGroup>* groups)
{
    size_t keep = SAVREL_MAX_SECTIONS - 2;
    if (1 + groups->size() <= SAVREL_MAX_SECTIONS) return 0;
    std::vector<uint32_t> order(groups->size());
    for (uint32_t index = 0; index < order.size(); index++) order[index] = index;
    std::stable_sort(order.begin(), order.end(), [&](uint32_t left, uint32_t right) {
        return plan.slots[(*groups)[left].slot].total > plan.slots[(*groups)[right].slot].total;
    });
    uint32_t folded = 0;
    for (size_t rank = keep; rank < order.size(); rank++) {
        LayoutGroup& group = (*groups)[order[rank]];
        group.folded = true;
        folded += 1 + uint32_t(group.items.size());
        group.kept_items = 0;
    }
    return folded;
}

// The smallest items fold first; a group's first folded item brings its "(other)".
uint32_t fold_items(const SectionPlan& plan, std::vector<LayoutGroup>* groups, bool other_group)
{
    size_t sections = 1 + (other_group ? 1 : 0);
    std::vector<std::pair<uint32_t, uint32_t>> candidates;
    for (uint32_t index = 0; index < groups->size(); index++) {
        LayoutGroup& group = (*groups)[index];
        if (group.folded) continue;
        sections += group_sections(group);
        for (uint32_t item = 0; item < group.items.size(); item++) candidates.push_back({index, item});
    }
    if (sections <= SAVREL_MAX_SECTIONS) return 0;
    std::stable_sort(candidates.begin(), candidates.end(), [&](const auto& left, const auto& right) {
        return item_total(plan, (*groups)[left.first].items[left.second]) < item_total(plan, (*groups)[right.first].items[right.second]);
    });
    uint32_t folded = 0;
    for (size_t index = 0; index < candidates.size() && sections > SAVREL_MAX_SECTIONS; index++) {
        LayoutGroup& group = (*groups)[candidates[index].first];
        sections -= group_sections(group);
        group.items[candidates[index].second].folded = true;
        group.kept_items--;
        group.folded_items++;
        sections += group_sections(group);
        folded++;
    }
    return folded;
}

std::string slot_name(const SectionPlan& plan, uint32_t slot)
{
    const SectionSlot& entry = plan.slots[slot];
    if (entry.kind == SLOT_THREAD_GROUP) return trace_thread_label(*plan.trace, entry.key);
    return trace_name(*plan.trace, entry.key);
}

void place_item(SectionPlan* plan, const LayoutItem& item, int32_t position)
{
    if (item.self)
        plan->slots[item.slot].self_position = position;
    else
        plan->slots[item.slot].position = position;
}

// Positions and names of one kept group and its items; returns the next free position.
int32_t place_group(SectionPlan* plan, const LayoutGroup& group, int32_t position)
{
    SectionGroup out;
    std::unordered_set<std::string> taken;
    bool other_item = group.folded_items > 0 && group.kept_items > 0;
    for (const LayoutItem& item : group.items) {
        if (item.self && !item.folded) taken.insert(kSelfName);
    }
    if (other_item) taken.insert(kOtherName);
    plan->slots[group.slot].position = position++;
    for (const LayoutItem& item : group.items) {
        if (item.folded) continue;
        out.items.push_back(item.self ? std::string(kSelfName) : sections_unique_name(slot_name(*plan, item.slot), &taken));
        place_item(plan, item, position++);
    }
    int32_t other = other_item ? position++ : -1;
    if (other_item) out.items.push_back(kOtherName);
    for (const LayoutItem& item : group.items) {
        if (item.folded) place_item(plan, item, other);
    }
    plan->groups.push_back(std::move(out));
    return position;
}

}  // namespace

std::string sections_text(const std::string& text, size_t length)
{
    std::string clean = text.empty() ? std::string(kUnnamed) : text;
    for (char& byte : clean) {
        if (uint8_t(byte) < 0x20 || byte == 0x7F) byte = ' ';
    }
    if (clean.size() <= length) return clean;
    size_t end = length;
    while (end > 0 && (uint8_t(clean[end]) & 0xC0) == 0x80) end--;
    return clean.substr(0, end);
}

std::string sections_unique_name(const std::string& name, std::unordered_set<std::string>* taken)
{
    std::string whole = sections_text(name, SAVREL_NAME_LENGTH);
    if (taken->insert(whole).second) return whole;
    for (uint32_t number = 2;; number++) {
        std::string suffix(1, '~');
        suffix += std::to_string(number);
        std::string candidate = sections_text(name, SAVREL_NAME_LENGTH - suffix.size()) + suffix;
        if (taken->insert(candidate).second) return candidate;
    }
}

void sections_layout(SectionPlan* plan)
{
    std::vector<LayoutGroup> groups = collect_groups(*plan);
    uint32_t folded_groups = fold_groups(*plan, &groups);
    plan->folded_sections = folded_groups + fold_items(*plan, &groups, folded_groups > 0);
    plan->groups.clear();
    std::unordered_set<std::string> group_names;
    if (folded_groups > 0) group_names.insert(kOtherName);
    int32_t position = 0;
    for (const LayoutGroup& group : groups) {
        if (group.folded) continue;
        std::string name = sections_unique_name(slot_name(*plan, group.slot), &group_names);
        position = place_group(plan, group, position);
        plan->groups.back().name = std::move(name);
    }
    if (folded_groups > 0) {
        for (const LayoutGroup& group : groups) {
            if (group.folded) plan->slots[group.slot].position = position;
        }
        plan->groups.push_back(SectionGroup{kOtherName, {}});
        position++;
    }
    plan->section_count = uint32_t(1 + position);
}
