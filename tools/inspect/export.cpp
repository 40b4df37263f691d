// savrel-inspect exports: JSON and CSV, written value by value as they are produced. Memory
// stays at one output buffer and two blocks of values whatever the recording's size; the
// values' text, nearly all of the work, is made two blocks at a time, one on a helper thread.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <functional>
#include <string_view>
#include <system_error>
#include <thread>

#include <nlohmann/json.hpp>

#include "tools/inspect/inspect.h"

namespace {

const size_t kBufferSize = 1 << 16;
// One number and the comma before it.
const size_t kRoom = kInspectNumberSize + 1;

// Values per block of text, and the fewest values worth a helper thread.
const uint64_t kBlockValues = 1 << 15;
const uint64_t kParallelValues = 1 << 12;
// A frame number, its row's values and the line's end.
const size_t kRowRoom = kInspectNumberSize + 1;

// Keeps floats at their own precision; only used to escape text, as earlier exports did.
using Json = nlohmann::basic_json<std::map, std::vector, std::string, bool, std::int64_t, std::uint64_t, float>;

// Filled, then written out whenever less than kRoom is left.
struct ExportBuffer {
    char bytes[kBufferSize];
    size_t used = 0;
};

// Writes the text of items [first, last) from `out` on; returns its end.
using FormatItems = std::function<char*(uint64_t first, uint64_t last, char* out)>;

// Kept from block to block, so their pages are touched once.
std::vector<char> block_texts[2];

void flush(ExportBuffer* buffer)
{
    std::fwrite(buffer->bytes, 1, buffer->used, stdout);
    buffer->used = 0;
}

char* room(ExportBuffer* buffer)
{
    if (kBufferSize - buffer->used < kRoom) flush(buffer);
    return buffer->bytes + buffer->used;
}

void put(ExportBuffer* buffer, std::string_view text)
{
    if (kBufferSize - buffer->used < text.size()) flush(buffer);
    if (text.size() > kBufferSize) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        return;
    }
    std::copy(text.begin(), text.end(), buffer->bytes + buffer->used);
    buffer->used += text.size();
}

void put_float(ExportBuffer* buffer, float value)
{
    buffer->used = size_t(inspect_json_float(room(buffer), value) - buffer->bytes);
}

template <typename Integer>
void put_integer(ExportBuffer* buffer, Integer value)
{
    char* start = room(buffer);
    buffer->used = size_t(std::to_chars(start, start + kInspectNumberSize, value).ptr - buffer->bytes);
}

// Runs `task` on a helper thread, or here when no thread can be had.
std::thread start_helper(const std::function<void()>& task)
{
    try {
        return std::thread(task);
    } catch (const std::system_error&) {
        task();
        return std::thread();
    }
}

// `count` items of `values_per_item` values each, at most `item_room` bytes of text each, in
// blocks of about kBlockValues values formatted in pairs: the first here, the second beside it.
void put_items(ExportBuffer* buffer, uint64_t count, uint64_t values_per_item, size_t item_room, const FormatItems& format)
{
    values_per_item = std::max<uint64_t>(1, values_per_item);
    uint64_t most = std::max<uint64_t>(1, kBlockValues / values_per_item);
    uint64_t blocks = count * values_per_item < kParallelValues ? 1 : std::max<uint64_t>(2, (count + most - 1) / most);
    blocks += blocks % 2 && blocks > 1;
    uint64_t per_block = (count + blocks - 1) / blocks;
    for (std::vector<char>& text : block_texts) text.resize(std::max(text.size(), per_block * item_room));
    for (uint64_t first = 0; first < count; first += 2 * per_block) {
        uint64_t middle = std::min(count, first + per_block), last = std::min(count, middle + per_block);
        char* second_end = block_texts[1].data();
        std::thread helper;
        if (middle < last) helper = start_helper([&] { second_end = format(middle, last, block_texts[1].data()); });
        char* first_end = format(first, middle, block_texts[0].data());
        put(buffer, std::string_view(block_texts[0].data(), size_t(first_end - block_texts[0].data())));
        if (helper.joinable()) helper.join();
        put(buffer, std::string_view(block_texts[1].data(), size_t(second_end - block_texts[1].data())));
    }
}

// Names and notes are raw bytes from the file: nlohmann escapes them and replaces invalid
// UTF-8, byte for byte as the exports always have.
void put_string(ExportBuffer* buffer, const std::string& text)
{
    put(buffer, Json(text).dump(-1, ' ', false, Json::error_handler_t::replace));
}

void put_strings(ExportBuffer* buffer, const std::vector<std::string>& texts)
{
    put(buffer, "[");
    for (size_t n = 0; n < texts.size(); n++) {
        if (n) put(buffer, ",");
        put_string(buffer, texts[n]);
    }
    put(buffer, "]");
}

// Keys come in sorted order, as the tree the exports were once built from kept them.
void put_statistics(ExportBuffer* buffer, const InspectStatistics& stats)
{
    put(buffer, ",\"statistics\":{\"max\":");
    put_float(buffer, stats.maximum);
    put(buffer, ",\"max_frame\":");
    put_integer(buffer, stats.maximum_frame);
    put(buffer, ",\"mean\":");
    put_float(buffer, float(stats.mean));
    put(buffer, ",\"min\":");
    put_float(buffer, stats.minimum);
    put(buffer, ",\"p50\":");
    put_float(buffer, stats.p50);
    put(buffer, ",\"p95\":");
    put_float(buffer, stats.p95);
    put(buffer, ",\"p99\":");
    put_float(buffer, stats.p99);
    put(buffer, "}");
}

void put_section(ExportBuffer* buffer, const Inspection& inspection, uint32_t index)
{
    const Section& section = inspection.table->sections[index];
    put(buffer, "{\"colour\":[");
    for (int channel = 0; channel < 3; channel++) {
        if (channel) put(buffer, ",");
        put_float(buffer, section.colour[channel]);
    }
    put(buffer, "],\"group_index\":");
    put_integer(buffer, section.group_index);
    put(buffer, ",\"index\":");
    put_integer(buffer, index);
    put(buffer, ",\"name\":");
    put_string(buffer, section.type == SECTION_ROOT ? inspection.labels[0] : std::string(section.name));
    if (inspection.range.count > 0) {
        inspect_wait_analysis(index + 1);
        put_statistics(buffer, inspection.statistics[index]);
    }
    put(buffer, ",\"type\":");
    put_integer(buffer, section.type);
    put(buffer, ",\"values\":[");
    const float* values = section.values ? section.values + inspection.range.first : nullptr;
    put_items(buffer, values ? inspection.range.count : 0, 1, kRoom, [values](uint64_t first, uint64_t last, char* out) {
        for (uint64_t frame = first; frame < last; frame++) {
            if (frame) *out++ = ',';
            out = inspect_json_float(out, values[frame]);
        }
        return out;
    });
    put(buffer, "]}");
}

void put_spike(ExportBuffer* buffer, const Inspection& inspection, const InspectSpike& spike)
{
    put(buffer, "{\"excess\":");
    put_float(buffer, float(spike.excess));
    put(buffer, ",\"frame\":");
    put_integer(buffer, spike.frame);
    put(buffer, ",\"notes\":");
    put_strings(buffer, inspection.notes[spike.frame]);
    put(buffer, ",\"sections\":[");
    for (size_t n = 0; n < spike.causes.size(); n++) {
        put(buffer, n ? ",{\"excess\":" : "{\"excess\":");
        put_float(buffer, float(spike.causes[n].excess));
        put(buffer, ",\"index\":");
        put_integer(buffer, spike.causes[n].section);
        put(buffer, ",\"name\":");
        put_string(buffer, inspection.labels[spike.causes[n].section]);
        put(buffer, "}");
    }
    put(buffer, "],\"total\":");
    put_float(buffer, inspection.table->sections[0].values[spike.frame]);
    put(buffer, "}");
}

// The body of the document after "frame_count": the notes, sections and spikes.
void put_frames(ExportBuffer* buffer, const Inspection& inspection)
{
    InspectRange range = inspection.range;
    put(buffer, ",\"notes\":[");
    uint32_t first_note = range.count > 0 ? range.first : 0;
    for (uint32_t n = 0; n < range.count; n++) {
        if (n) put(buffer, ",");
        put_strings(buffer, inspection.notes[first_note + n]);
    }
    put(buffer, "],\"sections\":[");
    for (uint32_t index = 0; index < inspection.table->section_count; index++) {
        if (index) put(buffer, ",");
        put_section(buffer, inspection, index);
    }
    put(buffer, "],\"shown_frame_count\":");
    put_integer(buffer, range.count);
    inspect_wait_analysis(kInspectAllAnalysed);
    put(buffer, ",\"spikes\":[");
    for (size_t n = 0; n < inspection.spikes.size(); n++) {
        if (n) put(buffer, ",");
        put_spike(buffer, inspection, inspection.spikes[n]);
    }
    put(buffer, "]");
}

// Rows of frames [first, first + count). The block's values are gathered section by section
// first: a row alone would touch one page per section.
char* csv_rows(const SectionTable* table, uint32_t first, uint32_t count, char* out)
{
    thread_local std::vector<float> gathered;
    uint32_t sections = table->section_count;
    gathered.resize(size_t(sections) * count);
    for (uint32_t index = 0; index < sections; index++)
        for (uint32_t row = 0; row < count; row++) gathered[size_t(row) * sections + index] = table->sections[index].values[first + row];
    for (uint32_t row = 0; row < count; row++) {
        out = std::to_chars(out, out + kInspectNumberSize, first + row).ptr;
        const float* values = gathered.data() + size_t(row) * sections;
        for (uint32_t index = 0; index < sections; index++) {
            *out++ = ',';
            out = inspect_csv_milliseconds(out, values[index]);
        }
        *out++ = '\n';
    }
    return out;
}

std::string csv_field(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char character : text) quoted += character == '"' ? std::string("\"\"") : std::string(1, character);
    return quoted + "\"";
}

}  // namespace

void inspect_print_json(const Inspection& inspection)
{
    static ExportBuffer buffer;
    std::vector<std::string> diagnostics;
    if (profile_last_status() != PROFILE_OK) diagnostics.push_back(profile_last_detail());
    put(&buffer, "{\"capacity\":");
    put_integer(&buffer, profile_capacity(inspection.table));
    put(&buffer, ",\"diagnostics\":");
    put_strings(&buffer, diagnostics);
    put(&buffer, ",\"first_frame\":");
    put_integer(&buffer, inspection.range.first);
    put(&buffer, ",\"frame_count\":");
    put_integer(&buffer, inspection.table->frame_count);
    put_frames(&buffer, inspection);
    put(&buffer, ",\"unit\":\"seconds\"}\n");
    flush(&buffer);
}

void inspect_print_csv(const Inspection& inspection)
{
    static ExportBuffer buffer;
    put(&buffer, "frame");
    for (const std::string& label : inspection.labels) {
        put(&buffer, ",");
        put(&buffer, csv_field(label + " (ms)"));
    }
    put(&buffer, "\n");
    InspectRange range = inspection.range;
    const SectionTable* table = inspection.table;
    size_t row_room = kRowRoom + table->section_count * kRoom;
    put_items(&buffer, range.count, table->section_count, row_room, [table, range](uint64_t first, uint64_t last, char* out) {
        return csv_rows(table, range.first + uint32_t(first), uint32_t(last - first), out);
    });
    flush(&buffer);
}
