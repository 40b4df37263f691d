// savrel-inspect analysis: statistics, spikes and notes, worked out once for every output.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <system_error>
#include <thread>

#include "tools/inspect/inspect.h"

namespace {

const uint32_t kCausesPerSpike = 3;

// The statistics and spikes being worked out beside an output that has already started: how
// many sections have their statistics, kInspectAllAnalysed once the spikes are in too.
std::thread analysis_thread;
std::atomic<uint32_t> sections_analysed{0};

// NaN sorts after every number, so a damaged value cannot break the ordering.
bool before(float left, float right)
{
    return !std::isnan(left) && (std::isnan(right) || left < right);
}

// Nearest rank: the smallest value that at least that share of the frames reach. The
// highest share is selected first; each selection leaves the lower ranks in front of it,
// so the next one only searches there.
void select_percentiles(std::vector<float>* values, InspectStatistics* result)
{
    const double shares[] = {0.99, 0.95, 0.50};
    float* targets[] = {&result->p99, &result->p95, &result->p50};
    auto end = values->end();
    for (int n = 0; n < 3; n++) {
        auto nth = values->begin() + long(std::ceil(shares[n] * double(values->size()))) - 1;
        std::nth_element(values->begin(), nth, end, before);
        *targets[n] = *nth;
        end = nth + 1;
    }
}

InspectStatistics statistics_of(const float* values, InspectRange range, std::vector<float>* scratch)
{
    InspectStatistics result{};
    if (range.count == 0) return result;
    const float* first = values + range.first;
    double sum = 0;
    uint32_t lowest = 0, highest = 0;
    for (uint32_t frame = 0; frame < range.count; frame++) {
        sum += first[frame];
        if (before(first[frame], first[lowest])) lowest = frame;
        if (before(first[highest], first[frame])) highest = frame;
    }
    result.mean = sum / range.count;
    result.minimum = first[lowest];
    result.maximum = first[highest];
    result.maximum_frame = range.first + highest;
    scratch->assign(first, first + range.count);
    select_percentiles(scratch, &result);
    return result;
}

// Items, and groups with no items of their own: the sections whose time no other section repeats.
bool is_leaf(const SectionTable* table, uint32_t index)
{
    int32_t type = table->sections[index].type;
    bool items_follow = index + 1 < table->section_count && table->sections[index + 1].type == SECTION_ITEM;
    return type == SECTION_ITEM || (type == SECTION_GROUP && !items_follow);
}

// The sections most above their own medians in one frame, largest first.
std::vector<InspectCause> causes_of(const Inspection& inspection, uint32_t frame)
{
    std::vector<InspectCause> causes;
    for (uint32_t index = 1; index < inspection.table->section_count; index++) {
        double excess = double(inspection.table->sections[index].values[frame]) - inspection.statistics[index].p50;
        if (excess > 0 && is_leaf(inspection.table, index)) causes.push_back({index, excess});
    }
    size_t kept = std::min<size_t>(causes.size(), kCausesPerSpike);
    std::partial_sort(causes.begin(), causes.begin() + long(kept), causes.end(),
                      [](const InspectCause& a, const InspectCause& b) { return a.excess > b.excess; });
    causes.resize(kept);
    return causes;
}

std::vector<InspectSpike> spikes_of(const Inspection& inspection, uint32_t wanted)
{
    const float* totals = inspection.table->sections[0].values;
    std::vector<uint32_t> frames(inspection.range.count);
    for (uint32_t n = 0; n < inspection.range.count; n++) frames[n] = inspection.range.first + n;
    size_t kept = std::min<size_t>(frames.size(), wanted);
    std::partial_sort(frames.begin(), frames.begin() + long(kept), frames.end(),
                      [totals](uint32_t a, uint32_t b) { return before(totals[b], totals[a]); });
    std::vector<InspectSpike> spikes;
    for (size_t n = 0; n < kept; n++) {
        double excess = double(totals[frames[n]]) - inspection.statistics[0].p50;
        spikes.push_back({frames[n], excess, causes_of(inspection, frames[n])});
    }
    return spikes;
}

// The root as "total", items as "Group/Item".
std::vector<std::string> labels_of(const SectionTable* table)
{
    std::vector<std::string> labels;
    std::string group;
    for (uint32_t index = 0; index < table->section_count; index++) {
        const Section& section = table->sections[index];
        if (section.type == SECTION_GROUP) group = section.name;
        if (section.type == SECTION_ROOT)
            labels.push_back("total");
        else
            labels.push_back(section.type == SECTION_ITEM ? group + "/" + section.name : section.name);
    }
    return labels;
}

// The frames' notes, which the loader reads past: the walker goes over the same bytes. Frames
// it cannot read have no notes.
std::vector<std::vector<std::string>> notes_of(const uint8_t* bytes, size_t size, uint32_t frame_count)
{
    ProfileReader reader{bytes, size, 0, false};
    std::vector<std::vector<std::string>> notes;
    ProfileFrameRecord frame;
    while (notes.size() < frame_count && profile_walk_record(&reader, &frame) == PROFILE_RECORD_FRAME) {
        std::vector<std::string>& kept = notes.emplace_back();
        const char* note = reinterpret_cast<const char*>(bytes + frame.notes_position);
        for (uint32_t n = 0; n < frame.note_count; n++, note += kept.back().size() + 1) kept.emplace_back(note);
    }
    notes.resize(frame_count);
    return notes;
}

void analyse(Inspection* inspection, uint32_t spikes)
{
    std::vector<float> scratch;
    for (uint32_t index = 0; index < inspection->table->section_count; index++) {
        inspection->statistics[index] =
            statistics_of(inspection->table->sections[index].values, inspection->range, &scratch);
        sections_analysed.store(index + 1, std::memory_order_release);
        sections_analysed.notify_all();
    }
    if (inspection->range.count > 0) inspection->spikes = spikes_of(*inspection, spikes);
    sections_analysed.store(kInspectAllAnalysed, std::memory_order_release);
    sections_analysed.notify_all();
}

}  // namespace

Inspection inspect_describe(const SectionTable* table, InspectRange range, const uint8_t* bytes, size_t size)
{
    return Inspection{table, range, labels_of(table), {}, {}, notes_of(bytes, size, table->frame_count)};
}

// The statistics go to a vector sized here, so the thread never moves what the output reads.
// Without a thread to be had, the work is done before returning.
void inspect_start_analysis(Inspection* inspection, uint32_t spikes)
{
    inspection->statistics.assign(inspection->table->section_count, InspectStatistics{});
    sections_analysed.store(0);
    try {
        analysis_thread = std::thread(analyse, inspection, spikes);
    } catch (const std::system_error&) {
        analyse(inspection, spikes);
    }
}

void inspect_wait_analysis(uint32_t count)
{
    for (uint32_t done = sections_analysed.load(std::memory_order_acquire); done < count;
         done = sections_analysed.load(std::memory_order_acquire))
        sections_analysed.wait(done, std::memory_order_acquire);
    if (count == kInspectAllAnalysed && analysis_thread.joinable()) analysis_thread.join();
}
