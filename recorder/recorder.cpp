// recorder: writes frame records and keeps a fresh structure record after the last one.
//
// The file is [frame records][structure record]. Each frame end writes the new frame over
// the old structure record and a new structure record after it, in one pwritev: the
// structure only grows, so the file never ends in stale bytes. Values are matched to
// sections by position, so a new item in a group that frames on disk already have later
// groups after would shift those frames; then the whole file is rebuilt with zero padding
// into a side file that replaces the recording by rename, which is atomic.
#include "recorder/recorder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace {

const size_t kNameLength = RECORDER_NAME_SIZE - 1;
const size_t kNoteLength = RECORDER_NOTE_SIZE - 1;
// Open addressing over (group, item) names; twice the section limit keeps probes short.
const uint32_t kHashSize = 2 * RECORDER_MAX_SECTIONS;
const int32_t kEmptySlot = -1;
const uint8_t kFrameTag = 1;
const uint8_t kStructureTag = 0;
// Tag, total, group count and note count.
const size_t kFrameFixedBytes = 13;
const size_t kNoteBytes = RECORDER_MAX_NOTES * RECORDER_NOTE_SIZE;
const char* const kRewriteSuffix = ".rewrite";
const double kCalibrationMilliseconds = 2.0;

struct Group {
    char name[RECORDER_NAME_SIZE];
    uint32_t first_frame;  // the first frame record that carries the group
    uint32_t item_count;
    double own_value;  // from recorder_group_add in the frame in progress
    bool has_own_value;
};

struct Item {
    char name[RECORDER_NAME_SIZE];
    int32_t group;
    uint64_t ticks;  // scope time in the frame in progress
    double added;    // milliseconds added by value in the frame in progress
    float value;     // the value written for the frame just encoded
};

// Reads the records this recorder wrote; never past the end.
struct Cursor {
    const uint8_t* at;
    const uint8_t* end;
};

struct Recorder {
    bool open;
    int fd;
    std::string path;
    uint32_t recording;  // counts recorder_open calls; 0 is never a recording
    RecorderStatus status;
    std::vector<Group> groups;
    std::vector<Item> items;
    std::vector<int32_t> layout;  // item indices in file order: by group, then by arrival
    std::vector<int32_t> hash;    // item index, or -(group + 2) for a group's own entry
    uint64_t frames_end;          // file offset of the structure record
    uint32_t frames_written;
    bool structure_changed;
    bool rewrite_needed;
    std::vector<uint8_t> frame_bytes;
    size_t frame_size;
    std::vector<uint8_t> structure_bytes;
    char notes[RECORDER_MAX_NOTES][RECORDER_NOTE_SIZE];
    uint32_t note_count;
    std::chrono::steady_clock::time_point frame_start;
    double milliseconds_per_tick;  // 0 until calibrated
};

Recorder state;

uint64_t clock_ticks(void)
{
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    return uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
#endif
}

double milliseconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Scopes read the time-stamp counter, which is several times cheaper than the system clock;
// its rate is measured once against the steady clock.
void calibrate_clock(void)
{
    if (state.milliseconds_per_tick > 0) return;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    uint64_t first = clock_ticks();
    double elapsed = 0;
    while (elapsed < kCalibrationMilliseconds) elapsed = milliseconds_since(start);
    uint64_t ticks = clock_ticks() - first;
    state.milliseconds_per_tick = ticks > 0 ? elapsed / double(ticks) : 1e-6;
}

bool refuse(RecorderStatus status, const char* detail)
{
    state.status = status;
    if (status != RECORDER_NOT_OPEN && status != RECORDER_UNRESOLVED_SECTION)
        std::fprintf(stderr, "savrel recorder: %s%s%s\n", recorder_status_text(status), detail[0] ? ": " : "",
                     detail);
    return false;
}

bool accept(void)
{
    state.status = RECORDER_OK;
    return true;
}

bool name_fits(const char* name)
{
    size_t length = strnlen(name, kNameLength + 1);
    return length >= 1 && length <= kNameLength;
}

uint32_t section_count(void)
{
    return 1 + uint32_t(state.groups.size() + state.items.size());
}

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
    return std::strcmp(found.name, item) == 0 && std::strcmp(state.groups[found.group].name, group) == 0;
}

// The hash position holding (group, item), or the empty one where it belongs.
uint32_t hash_position(const char* group, const char* item)
{
    uint32_t position = hash_names(group, item) & (kHashSize - 1);
    while (state.hash[position] != kEmptySlot && !entry_matches(state.hash[position], group, item))
        position = (position + 1) & (kHashSize - 1);
    return position;
}

// A group's index, added when new; -1 when refused.
int32_t find_or_add_group(const char* name)
{
    uint32_t position = hash_position(name, "");
    if (state.hash[position] != kEmptySlot) return -state.hash[position] - 2;
    if (section_count() >= RECORDER_MAX_SECTIONS) {
        refuse(RECORDER_TOO_MANY_SECTIONS, name);
        return -1;
    }
    Group group{};
    std::memcpy(group.name, name, std::strlen(name) + 1);
    group.first_frame = state.frames_written;
    state.groups.push_back(group);
    state.hash[position] = -int32_t(state.groups.size()) - 1;
    state.structure_changed = true;
    return int32_t(state.groups.size()) - 1;
}

// Where the group's items end in the layout; they are contiguous and groups keep their order.
size_t layout_end_of(int32_t group)
{
    size_t end = 0;
    for (int32_t g = 0; g <= group; g++) end += state.groups[g].item_count;
    return end;
}

int32_t add_item(int32_t group, const char* name, uint32_t position)
{
    Item item{};
    std::memcpy(item.name, name, std::strlen(name) + 1);
    item.group = group;
    int32_t index = int32_t(state.items.size());
    state.items.push_back(item);
    state.hash[position] = index;
    state.layout.insert(state.layout.begin() + std::ptrdiff_t(layout_end_of(group)), index);
    state.groups[group].item_count++;
    state.structure_changed = true;
    // Frames on disk that carry a later group would read their values one place off.
    size_t next = size_t(group) + 1;
    if (next < state.groups.size() && state.groups[next].first_frame < state.frames_written)
        state.rewrite_needed = true;
    return index;
}

// An item's index, added with its group when new; -1 when refused.
int32_t find_or_add_item(const char* group, const char* item)
{
    uint32_t position = hash_position(group, item);
    if (state.hash[position] != kEmptySlot) return state.hash[position];
    bool new_group = state.hash[hash_position(group, "")] == kEmptySlot;
    if (section_count() + (new_group ? 2 : 1) > RECORDER_MAX_SECTIONS) {
        refuse(RECORDER_TOO_MANY_SECTIONS, item);
        return -1;
    }
    int32_t group_index = find_or_add_group(group);
    // Adding the group may have taken the position the item probed.
    return add_item(group_index, item, hash_position(group, item));
}

uint8_t* put_u32(uint8_t* at, uint32_t value)
{
    at[0] = uint8_t(value >> 24);
    at[1] = uint8_t(value >> 16);
    at[2] = uint8_t(value >> 8);
    at[3] = uint8_t(value);
    return at + 4;
}

uint8_t* put_float(uint8_t* at, float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return put_u32(at, bits);
}

uint8_t* put_string(uint8_t* at, const char* text)
{
    size_t size = std::strlen(text) + 1;
    std::memcpy(at, text, size);
    return at + size;
}

void encode_structure(void)
{
    size_t item_bytes = state.groups.size() * (4 + RECORDER_NAME_SIZE) + state.items.size() * RECORDER_NAME_SIZE;
    state.structure_bytes.resize(9 + item_bytes);
    uint8_t* at = state.structure_bytes.data();
    *at++ = kStructureTag;
    at = put_u32(at, section_count());
    at = put_u32(at, uint32_t(state.groups.size()));
    const int32_t* item = state.layout.data();
    for (const Group& group : state.groups) {
        at = put_string(at, group.name);
        at = put_u32(at, group.item_count);
        for (uint32_t k = 0; k < group.item_count; k++) at = put_string(at, state.items[*item++].name);
    }
    state.structure_bytes.resize(size_t(at - state.structure_bytes.data()));
    state.structure_changed = false;
}

void settle_item_values(void)
{
    for (Item& item : state.items) item.value = float(item.added + double(item.ticks) * state.milliseconds_per_tick);
}

float group_value(const Group& group, const int32_t* items)
{
    if (group.has_own_value) return float(group.own_value);
    double sum = 0;
    for (uint32_t k = 0; k < group.item_count; k++) sum += state.items[items[k]].value;
    return float(sum);
}

void encode_frame(float total)
{
    size_t needed = kFrameFixedBytes + 8 * state.groups.size() + 4 * state.items.size() + kNoteBytes;
    if (state.frame_bytes.size() < needed) state.frame_bytes.resize(needed);
    settle_item_values();
    uint8_t* at = state.frame_bytes.data();
    *at++ = kFrameTag;
    at = put_float(at, total);
    at = put_u32(at, uint32_t(state.groups.size()));
    const int32_t* item = state.layout.data();
    for (const Group& group : state.groups) {
        at = put_float(at, group_value(group, item));
        at = put_u32(at, group.item_count);
        for (uint32_t k = 0; k < group.item_count; k++) at = put_float(at, state.items[*item++].value);
    }
    at = put_u32(at, state.note_count);
    for (uint32_t n = 0; n < state.note_count; n++) at = put_string(at, state.notes[n]);
    state.frame_size = size_t(at - state.frame_bytes.data());
}

void clear_frame(void)
{
    for (Item& item : state.items) {
        item.ticks = 0;
        item.added = 0;
    }
    for (Group& group : state.groups) {
        group.own_value = 0;
        group.has_own_value = false;
    }
    state.note_count = 0;
}

bool write_parts(int fd, iovec* parts, int part_count, uint64_t offset)
{
    for (;;) {
        while (part_count > 0 && parts->iov_len == 0) parts++, part_count--;
        if (part_count == 0) return true;
        ssize_t written = pwritev(fd, parts, part_count, off_t(offset));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        offset += uint64_t(written);
        // A short write leaves the rest for the next call.
        for (size_t left = size_t(written); left > 0; parts++, part_count--) {
            size_t step = left < parts->iov_len ? left : parts->iov_len;
            parts->iov_base = static_cast<uint8_t*>(parts->iov_base) + step;
            parts->iov_len -= step;
            left -= step;
            if (parts->iov_len > 0) break;
        }
    }
}

// Frame records and structure record from offset on, in one call.
bool write_tail(int fd, uint64_t offset, bool with_frame)
{
    iovec parts[2] = {{state.frame_bytes.data(), with_frame ? state.frame_size : 0},
                      {state.structure_bytes.data(), state.structure_bytes.size()}};
    // A viewer reads under a shared lock, so it never sees a frame half written over the structure record.
    flock(fd, LOCK_EX);
    bool written = write_parts(fd, parts, 2, offset);
    flock(fd, LOCK_UN);
    return written;
}

bool write_fully(int fd, uint8_t* bytes, size_t size, uint64_t offset)
{
    iovec part = {bytes, size};
    return write_parts(fd, &part, 1, offset);
}

bool read_fully(int fd, std::vector<uint8_t>* bytes)
{
    for (size_t done = 0; done < bytes->size();) {
        ssize_t got = pread(fd, bytes->data() + done, bytes->size() - done, off_t(done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += size_t(got);
    }
    return true;
}

bool take(Cursor* cursor, size_t size, std::vector<uint8_t>* out)
{
    if (size_t(cursor->end - cursor->at) < size) return false;
    out->insert(out->end(), cursor->at, cursor->at + size);
    cursor->at += size;
    return true;
}

bool take_u32(Cursor* cursor, uint32_t* value, std::vector<uint8_t>* out)
{
    if (cursor->end - cursor->at < 4) return false;
    const uint8_t* b = cursor->at;
    *value = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    return take(cursor, 4, out);
}

bool take_strings(Cursor* cursor, uint32_t count, std::vector<uint8_t>* out)
{
    for (uint32_t n = 0; n < count; n++) {
        const void* zero = std::memchr(cursor->at, 0, size_t(cursor->end - cursor->at));
        if (!zero) return false;
        take(cursor, size_t(static_cast<const uint8_t*>(zero) - cursor->at) + 1, out);
    }
    return true;
}

// Copies one frame record, giving every group but its last the items the group has now.
bool pad_frame(Cursor* cursor, std::vector<uint8_t>* out)
{
    uint32_t group_count = 0, item_count = 0, note_count = 0;
    if (!take(cursor, 5, out) || !take_u32(cursor, &group_count, out)) return false;
    if (group_count > state.groups.size()) return false;
    for (uint32_t g = 0; g < group_count; g++) {
        if (!take(cursor, 4, out) || !take_u32(cursor, &item_count, out)) return false;
        size_t count_offset = out->size() - 4;
        uint32_t wanted = g + 1 < group_count ? state.groups[g].item_count : item_count;
        if (item_count > wanted || !take(cursor, 4 * size_t(item_count), out)) return false;
        put_u32(out->data() + count_offset, wanted);
        out->resize(out->size() + 4 * size_t(wanted - item_count), 0);
    }
    return take_u32(cursor, &note_count, out) && take_strings(cursor, note_count, out);
}

bool build_padded(std::vector<uint8_t>* out)
{
    std::vector<uint8_t> old(state.frames_end);
    if (!read_fully(state.fd, &old)) return false;
    Cursor cursor{old.data(), old.data() + old.size()};
    out->reserve(old.size() + old.size() / 4);
    for (uint32_t frame = 0; frame < state.frames_written; frame++)
        if (!pad_frame(&cursor, out)) return false;
    return cursor.at == cursor.end;
}

// Rare: replaces the recording by a padded copy, with the new frame when there is one,
// through an atomic rename.
bool rewrite_file(bool with_frame)
{
    std::vector<uint8_t> padded;
    if (!build_padded(&padded)) return false;
    std::string side = state.path + kRewriteSuffix;
    int fd = open(side.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    if (!write_fully(fd, padded.data(), padded.size(), 0) || !write_tail(fd, padded.size(), with_frame) ||
        rename(side.c_str(), state.path.c_str()) != 0) {
        close(fd);
        unlink(side.c_str());
        return false;
    }
    close(state.fd);
    state.fd = fd;
    state.frames_end = padded.size();
    state.rewrite_needed = false;
    return true;
}

void reset_sections(void)
{
    state.groups.clear();
    state.items.clear();
    state.layout.clear();
    state.groups.reserve(RECORDER_MAX_SECTIONS);
    state.items.reserve(RECORDER_MAX_SECTIONS);
    state.layout.reserve(RECORDER_MAX_SECTIONS);
    state.hash.assign(kHashSize, kEmptySlot);
    state.note_count = 0;
}

void drop_recording(void)
{
    close(state.fd);
    state.fd = -1;
    state.open = false;
    reset_sections();
}

bool write_failed(void)
{
    std::string path = state.path;
    drop_recording();
    return refuse(RECORDER_WRITE_FAILED, path.c_str());
}

bool end_frame(float total)
{
    if (!state.open) return refuse(RECORDER_NOT_OPEN, "");
    encode_frame(total);
    if (state.structure_changed) encode_structure();
    bool written = state.rewrite_needed ? rewrite_file(true) : write_tail(state.fd, state.frames_end, true);
    if (!written) return write_failed();
    state.frames_end += state.frame_size;
    state.frames_written++;
    clear_frame();
    state.frame_start = std::chrono::steady_clock::now();
    return accept();
}

bool note_fits(const char* text)
{
    if (strnlen(text, kNoteLength + 1) > kNoteLength) return refuse(RECORDER_NOTE_TOO_LONG, "");
    if (state.note_count >= RECORDER_MAX_NOTES) return refuse(RECORDER_TOO_MANY_NOTES, text);
    return true;
}

}  // namespace

bool recorder_open(const char* path)
{
    if (state.open) return refuse(RECORDER_ALREADY_OPEN, path);
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return refuse(RECORDER_CANNOT_OPEN, path);
    calibrate_clock();
    state.fd = fd;
    state.path = path;
    state.open = true;
    state.recording++;
    state.frames_end = 0;
    state.frames_written = 0;
    state.rewrite_needed = false;
    reset_sections();
    clear_frame();
    encode_structure();
    if (!write_tail(fd, 0, false)) return write_failed();
    state.frame_start = std::chrono::steady_clock::now();
    return accept();
}

bool recorder_close(void)
{
    if (!state.open) return refuse(RECORDER_NOT_OPEN, "");
    // Sections named after the last frame still appear, reading 0 in every frame.
    if (state.structure_changed) {
        encode_structure();
        bool written = state.rewrite_needed ? rewrite_file(false) : write_tail(state.fd, state.frames_end, false);
        if (!written) return write_failed();
    }
    drop_recording();
    return accept();
}

bool recorder_is_open(void)
{
    return state.open;
}

void recorder_frame_begin(void)
{
    state.frame_start = std::chrono::steady_clock::now();
}

bool recorder_frame_end(void)
{
    return end_frame(float(milliseconds_since(state.frame_start)));
}

bool recorder_frame_end_total(float total_milliseconds)
{
    return end_frame(total_milliseconds);
}

RecorderSection recorder_section(const char* group, const char* item)
{
    if (!state.open) {
        refuse(RECORDER_NOT_OPEN, "");
        return RecorderSection{-1, 0};
    }
    RecorderSection section{-1, state.recording};
    if (!name_fits(group) || !name_fits(item)) {
        refuse(RECORDER_BAD_NAME, name_fits(group) ? item : group);
        return section;
    }
    section.index = find_or_add_item(group, item);
    if (section.index >= 0) accept();
    return section;
}

bool recorder_add(RecorderSection section, float milliseconds)
{
    if (!state.open) return refuse(RECORDER_NOT_OPEN, "");
    if (section.recording != state.recording || section.index < 0) return refuse(RECORDER_UNRESOLVED_SECTION, "");
    state.items[section.index].added += milliseconds;
    return accept();
}

bool recorder_add_named(const char* group, const char* item, float milliseconds)
{
    RecorderSection section = recorder_section(group, item);
    return section.index >= 0 && recorder_add(section, milliseconds);
}

bool recorder_group_add(const char* group, float milliseconds)
{
    if (!state.open) return refuse(RECORDER_NOT_OPEN, "");
    if (!name_fits(group)) return refuse(RECORDER_BAD_NAME, group);
    int32_t index = find_or_add_group(group);
    if (index < 0) return false;
    state.groups[index].own_value += milliseconds;
    state.groups[index].has_own_value = true;
    return accept();
}

bool recorder_note(const char* text)
{
    if (!state.open) return refuse(RECORDER_NOT_OPEN, "");
    if (!note_fits(text)) return false;
    std::memcpy(state.notes[state.note_count++], text, std::strlen(text) + 1);
    return accept();
}

RecorderStatus recorder_last_status(void)
{
    return state.status;
}

const char* recorder_status_text(RecorderStatus status)
{
    switch (status) {
    case RECORDER_OK: return "ok";
    case RECORDER_NOT_OPEN: return "no recording is open";
    case RECORDER_ALREADY_OPEN: return "a recording is already open";
    case RECORDER_CANNOT_OPEN: return "cannot create the recording file";
    case RECORDER_WRITE_FAILED: return "writing the recording failed; it was closed";
    case RECORDER_BAD_NAME: return "a section name must have 1 to 31 characters";
    case RECORDER_TOO_MANY_SECTIONS: return "too many sections (at most 4096 with groups and the root)";
    case RECORDER_NOTE_TOO_LONG: return "a note has at most 255 characters";
    case RECORDER_TOO_MANY_NOTES: return "too many notes in one frame (at most 16)";
    case RECORDER_UNRESOLVED_SECTION: return "the section was not resolved in this recording";
    }
    return "unknown recorder status";
}

RecorderScope::RecorderScope(RecorderSection* site, const char* group, const char* item)
{
    if (site->recording != state.recording || !state.open) *site = recorder_section(group, item);
    index = state.open ? site->index : -1;
    recording = state.recording;
    start = index >= 0 ? clock_ticks() : 0;
}

RecorderScope::~RecorderScope()
{
    if (index >= 0 && recording == state.recording && state.open) state.items[index].ticks += clock_ticks() - start;
}
