// Profile data: the readers, item colours, the section table, damaged files, and savrel-inspect.
#include "profile/profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "profile/encoder.h"
#include "tests/support/process_support.h"

namespace {

const std::vector<EncodedGroupNames> kTwoGroups = {{"A", {"a1", "a2"}}, {"B", {"b1"}}};

// An exact-size heap copy, so that a sanitizer build catches any read past the end.
const SectionTable* load(const ProfileBytes& bytes)
{
    std::vector<uint8_t> copy(bytes);
    profile_load_memory(copy.data(), copy.size());
    return profile_table();
}

std::string as_text(const ProfileBytes& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

// A frame whose values are base, base + 1, ... in section order for the two-group structure.
void frame_counting_from(ProfileBytes* out, float base, const std::vector<std::string>& notes = {})
{
    profile_encode_frame(out, base, {{base + 1, {base + 2, base + 3}}, {base + 4, {base + 5}}}, notes);
}

ProfileBytes valid_recording(uint32_t frames)
{
    ProfileBytes bytes;
    for (uint32_t frame = 0; frame < frames; frame++) frame_counting_from(&bytes, float(frame * 10));
    profile_encode_structure(&bytes, kTwoGroups);
    return bytes;
}

TEST(ProfileReader, DecodesBigEndianAndYieldsZeroPastTheEnd)
{
    struct Case {
        std::vector<uint8_t> bytes;
        uint32_t u32;
        float real;
        bool overrun;
    } cases[] = {
        {{0x00, 0x00, 0x01, 0x02}, 258, 3.6154e-43f, false},
        {{0x3F, 0x80, 0x00, 0x00}, 0x3F800000, 1.0f, false},
        {{0xC2, 0xC8, 0x00, 0x00}, 0xC2C80000, -100.0f, false},
        {{0xC2, 0xC8, 0x00}, 0, 0.0f, true},
        {{}, 0, 0.0f, true},
    };
    for (const Case& c : cases) {
        ProfileReader reader = {c.bytes.data(), c.bytes.size(), 0, false};
        EXPECT_EQ(profile_read_u32(&reader), c.u32);
        EXPECT_EQ(reader.overrun, c.overrun);
        EXPECT_EQ(reader.position, c.bytes.size());
        reader = {c.bytes.data(), c.bytes.size(), 0, false};
        EXPECT_FLOAT_EQ(profile_read_float(&reader), c.real);
    }
    // Once overrun, bytes further on are not trusted either.
    uint8_t bytes[] = {1, 2, 3, 4};
    ProfileReader reader = {bytes, sizeof bytes, 2, false};
    EXPECT_EQ(profile_read_u32(&reader), 0u);
    reader.position = 0;
    EXPECT_EQ(profile_read_u32(&reader), 0u);
    // A cursor placed past its end reads nothing.
    char name[8] = "kept";
    reader = {bytes, sizeof bytes, 9, false};
    EXPECT_EQ(profile_read_string(&reader, name, sizeof name), 0u);
    EXPECT_STREQ(name, "");
    EXPECT_TRUE(reader.overrun);
    EXPECT_EQ(profile_read_u32(&reader), 0u);
}

TEST(ProfileReader, StringsAreConsumedWholeAndKeptCut)
{
    struct Case {
        std::string bytes;
        size_t destination_size;
        std::string kept;
        size_t position;
        bool overrun;
    } cases[] = {
        {std::string("ab\0cd", 5), 32, "ab", 3, false},
        {std::string("\0\0", 2), 32, "", 1, false},
        {std::string(40, 'x') + '\0' + "next", 32, std::string(31, 'x'), 41, false},
        {std::string(31, 'y') + '\0', 32, std::string(31, 'y'), 32, false},
        {"abc", 32, "abc", 3, true},
        {std::string("abc\0", 4), 1, "", 4, false},
    };
    for (const Case& c : cases) {
        ProfileReader reader = {reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size(), 0, false};
        char destination[32];
        std::memset(destination, '#', sizeof destination);
        EXPECT_EQ(profile_read_string(&reader, destination, c.destination_size), c.kept.size());
        EXPECT_EQ(std::string(destination), c.kept);
        EXPECT_EQ(reader.position, c.position) << c.bytes;
        EXPECT_EQ(reader.overrun, c.overrun) << c.bytes;
    }
    std::string bytes("skip\0me", 7);
    ProfileReader reader = {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 0, false};
    EXPECT_EQ(profile_read_string(&reader, nullptr, 0), 0u);
    EXPECT_EQ(reader.position, 5u);
}

TEST(ProfileColour, HueToRgbFollowsTheSectors)
{
    struct Case {
        float hue, low, high;
        float rgb[3];
    } cases[] = {
        {0.0f, 0.0f, 1.0f, {1, 0, 0}},
        {0.25f, 0.5f, 1.0f, {0.75f, 1, 0.5f}},
        {0.4f, 0.0f, 1.0f, {0, 1, 0.4f}},
        {0.5f, 0.0f, 1.0f, {0, 1, 1}},
        {0.75f, 0.5f, 0.8f, {0.6f, 0.4f, 0.8f}},
        {0.9f, 0.0f, 1.0f, {1, 0, 0.6f}},
        // Whole turns are dropped; 1.0 itself stays and lands in the last row, like 0.
        {2.25f, 0.5f, 1.0f, {0.75f, 1, 0.5f}},
        {1.0f, 0.0f, 1.0f, {1, 0, 0}},
        // Negative hues keep their sign and fall in the last row (or in row 0 above -1/6).
        {-1.25f, 0.0f, 1.0f, {1, 0, 7.5f}},
        {-0.1f, 0.0f, 1.0f, {1, -0.6f, 0}},
        // Low and high are clamped; the smallest component is low * high.
        {0.0f, 2.0f, 0.5f, {0.5f, 0.5f, 0.5f}},
        {0.3f, 0.25f, -1.0f, {0, 0, 0}},
    };
    for (const Case& c : cases) {
        float rgb[3];
        profile_hue_to_rgb(rgb, c.hue, c.low, c.high);
        for (int channel = 0; channel < 3; channel++)
            EXPECT_NEAR(rgb[channel], c.rgb[channel], 2e-6) << "hue " << c.hue << " channel " << channel;
    }
}

TEST(ProfileLoad, ItemColoursStepAlongTheHueCircle)
{
    std::vector<EncodedGroupNames> groups(7);
    for (int item = 0; item < 18; item++) groups[0].items.push_back("i" + std::to_string(item));
    for (int group = 1; group < 7; group++) groups[size_t(group)].items = {"even", "odd"};
    ProfileBytes bytes;
    profile_encode_structure(&bytes, groups);
    const SectionTable* table = load(bytes);
    ASSERT_EQ(table->section_count, 1u + 19 + 6 * 3);
    auto colour = [&](int group, int item) {
        uint32_t index = 1;
        for (int before = 0; before < group; before++) index += 1 + uint32_t(groups[size_t(before)].items.size());
        const Section& section = table->sections[index + 1 + uint32_t(item)];
        EXPECT_EQ(section.type, SECTION_ITEM);
        return std::vector<float>(section.colour, section.colour + 3);
    };
    struct Case {
        int group, item;
        float rgb[3];
        double tolerance;
    } cases[] = {
        {0, 0, {0.7f, 0.371f, 0.35f}, 1e-3},
        {0, 1, {1.0f, 0.0625f, 0.0625f}, 1e-6},
        {1, 1, {1.0f, 1.0f, 0.0625f}, 1e-6},
        {2, 1, {0.0625f, 1.0f, 0.0625f}, 1e-6},
        {0, 17, {1.0f, 1.0f, 1.0f}, 1e-6},
        {0, 8, {0.7f, 0.042f, 0.0f}, 1e-3},
    };
    for (const Case& c : cases) {
        std::vector<float> rgb = colour(c.group, c.item);
        for (int channel = 0; channel < 3; channel++)
            EXPECT_NEAR(rgb[size_t(channel)], c.rgb[channel], c.tolerance) << c.group << "/" << c.item;
    }
    // Six groups make a full turn: exactly for odd items, up to rounding for the shifted even ones.
    EXPECT_EQ(colour(6, 1), colour(0, 1));
    for (size_t channel = 0; channel < 3; channel++) EXPECT_NEAR(colour(6, 0)[channel], colour(0, 0)[channel], 1e-6);
    for (uint32_t index : {0u, 1u, 20u}) {
        EXPECT_NE(table->sections[index].type, SECTION_ITEM);
        EXPECT_EQ(std::vector<float>(table->sections[index].colour, table->sections[index].colour + 3),
                  std::vector<float>({1, 1, 1}));
    }
}

TEST(ProfileLoad, StructureRecordGivesTheSectionsInOrder)
{
    ProfileBytes bytes;
    profile_encode_structure(&bytes, kTwoGroups);
    const SectionTable* table = load(bytes);
    EXPECT_EQ(profile_last_status(), PROFILE_OK);
    EXPECT_STREQ(profile_last_detail(), "");
    ASSERT_EQ(table->section_count, 6u);
    EXPECT_EQ(table->frame_count, 0u);
    EXPECT_EQ(profile_capacity(table), 0u);
    struct Expected {
        int32_t type, group_index;
        const char* name;
    } expected[] = {{0, -1, ""}, {1, 0, "A"}, {2, 0, "a1"}, {2, 0, "a2"}, {1, 1, "B"}, {2, 1, "b1"}};
    for (uint32_t index = 0; index < 6; index++) {
        const Section& section = table->sections[index];
        EXPECT_EQ(section.type, expected[index].type);
        EXPECT_EQ(section.group_index, expected[index].group_index);
        EXPECT_STREQ(section.name, expected[index].name);
        EXPECT_EQ(section.values, nullptr);
        EXPECT_EQ(section.sum + section.start + section.end, 0.0f);
    }
}

TEST(ProfileLoad, FrameValuesGoToSectionsByPosition)
{
    ProfileBytes bytes;
    frame_counting_from(&bytes, 10);
    profile_encode_frame(&bytes, 20, {}, {});
    profile_encode_frame(&bytes, 30, {{31, {32}}}, {});
    // Trailing strings, a 0xFF tag and a group of another shape change nothing about placement.
    profile_encode_frame(&bytes, 40, {{41, {}}, {42, {43, 44, 45}}}, {"ab", ""}, 0xFF);
    // Values past the last section are read past, so the next frame still starts in place.
    profile_encode_frame(&bytes, 50, {{51, {52, 53, 54}}, {55, {56, 57}}, {58, {}}}, {"x"});
    frame_counting_from(&bytes, 60, {"note"});
    profile_encode_structure(&bytes, kTwoGroups);
    const SectionTable* table = load(bytes);
    EXPECT_EQ(profile_last_status(), PROFILE_EXTRA_VALUES);
    EXPECT_NE(std::string(profile_last_detail()).find("up to 9 values for 6 sections"), std::string::npos)
        << profile_last_detail();
    ASSERT_EQ(table->section_count, 6u);
    ASSERT_EQ(table->frame_count, 6u);
    ASSERT_EQ(profile_capacity(table), 1024u);
    const float expected[6][6] = {
        {10, 11, 12, 13, 14, 15},
        {20, 0, 0, 0, 0, 0},
        {30, 31, 32, 0, 0, 0},
        {40, 41, 42, 43, 44, 45},
        {50, 51, 52, 53, 54, 55},
        {60, 61, 62, 63, 64, 65},
    };
    for (uint32_t section = 0; section < 6; section++) {
        for (uint32_t frame = 0; frame < 6; frame++)
            EXPECT_EQ(table->sections[section].values[frame], expected[frame][section]) << section << "/" << frame;
        for (uint32_t frame = 6; frame < 1024; frame++) ASSERT_EQ(table->sections[section].values[frame], 0.0f);
    }
}

TEST(ProfileLoad, StorageComesInChunksOf1024Frames)
{
    struct Case {
        uint32_t frames, capacity;
    } cases[] = {{1, 1024}, {1024, 1024}, {1025, 2048}, {2049, 3072}};
    for (const Case& c : cases) {
        const SectionTable* table = load(valid_recording(c.frames));
        ASSERT_EQ(table->frame_count, c.frames);
        ASSERT_EQ(profile_capacity(table), c.capacity);
        for (uint32_t section = 0; section < table->section_count; section++) {
            const float* values = table->sections[section].values;
            EXPECT_EQ(values[0], float(section));
            EXPECT_EQ(values[c.frames - 1], float((c.frames - 1) * 10 + section));
            for (uint32_t frame = c.frames; frame < c.capacity; frame++) ASSERT_EQ(values[frame], 0.0f);
        }
    }
}

TEST(ProfileLoad, NamesLongerThan31CharactersAreCutAndTheRestStaysInPlace)
{
    ProfileBytes bytes;
    profile_encode_structure(&bytes, {{std::string(45, 'g'), {std::string(32, 'i'), "short"}}, {"B", {"b1"}}});
    const SectionTable* table = load(bytes);
    EXPECT_EQ(profile_last_status(), PROFILE_OK);
    ASSERT_EQ(table->section_count, 6u);
    EXPECT_EQ(std::string(table->sections[1].name), std::string(31, 'g'));
    EXPECT_EQ(std::string(table->sections[2].name), std::string(31, 'i'));
    EXPECT_STREQ(table->sections[3].name, "short");
    EXPECT_STREQ(table->sections[4].name, "B");
    EXPECT_STREQ(table->sections[5].name, "b1");
}

TEST(ProfileLoad, NothingAfterTheStructureRecordIsRead)
{
    ProfileBytes clean = valid_recording(2);
    ProfileBytes tail = clean;
    frame_counting_from(&tail, 99);
    profile_encode_structure(&tail, {{"Other", {}}});
    tail.insert(tail.end(), {0x01, 0xFF, 0xFF});
    const SectionTable* table = load(tail);
    EXPECT_EQ(profile_last_status(), PROFILE_OK);
    ASSERT_EQ(table->section_count, 6u);
    ASSERT_EQ(table->frame_count, 2u);
    EXPECT_STREQ(table->sections[4].name, "B");
    EXPECT_EQ(table->sections[0].values[1], 10.0f);
}

// The walker yields every frame record with its notes, then the structure record; a frame cut
// short is CUT wherever the cut falls, and bytes that end before a structure record are END.
TEST(ProfileWalk, FramesComeWithTheirNotesThenTheStructureRecord)
{
    const std::vector<std::vector<std::string>> notes = {{}, {"loading level 2", ""}, {"x"}};
    ProfileBytes bytes;
    std::set<size_t> frame_ends;
    for (size_t frame = 0; frame < notes.size(); frame++) {
        frame_counting_from(&bytes, float(frame), notes[frame]);
        frame_ends.insert(bytes.size());
    }
    size_t frames_end = bytes.size();
    profile_encode_structure(&bytes, kTwoGroups);
    ProfileReader reader = {bytes.data(), bytes.size(), 0, false};
    ProfileFrameRecord frame;
    for (size_t n = 0; n < notes.size(); n++) {
        ASSERT_EQ(profile_walk_record(&reader, &frame), PROFILE_RECORD_FRAME) << n;
        EXPECT_EQ(frame.value_count, 6u);
        std::vector<std::string> found;
        const char* note = reinterpret_cast<const char*>(bytes.data() + frame.notes_position);
        for (uint32_t k = 0; k < frame.note_count; k++, note += found.back().size() + 1) found.emplace_back(note);
        EXPECT_EQ(found, notes[n]) << n;
    }
    EXPECT_EQ(reader.position, frames_end);
    EXPECT_EQ(profile_walk_record(&reader, &frame), PROFILE_RECORD_STRUCTURE);
    EXPECT_EQ(frame.start, frames_end);
    for (size_t cut = 1; cut < frames_end; cut++) {
        ProfileReader cut_reader = {bytes.data(), cut, 0, false};
        ProfileRecordKind kind;
        while ((kind = profile_walk_record(&cut_reader, &frame)) == PROFILE_RECORD_FRAME) {
        }
        EXPECT_EQ(kind, frame_ends.count(cut) ? PROFILE_RECORD_END : PROFILE_RECORD_CUT) << cut;
    }
}

// Damaged and hostile files: which outcome, what is left in the table, and what the one line says.
TEST(ProfileLoad, DamagedFilesEndAsNamedOutcomes)
{
    auto bytes_of = [](const std::function<void(ProfileBytes*)>& build) {
        ProfileBytes bytes;
        build(&bytes);
        return bytes;
    };
    auto many_items = [](int count) {
        return [count](ProfileBytes* out) {
            frame_counting_from(out, 1);
            profile_encode_structure(out, {{"G", std::vector<std::string>(size_t(count), "")}});
        };
    };
    struct Case {
        const char* name;
        ProfileBytes bytes;
        ProfileStatus status;
        uint32_t sections, frames;
        const char* detail;
    } cases[] = {
        {"empty file", {}, PROFILE_NO_STRUCTURE, 0, 0, "0 frame records"},
        {"frames only", bytes_of([](ProfileBytes* out) {
             frame_counting_from(out, 1);
             frame_counting_from(out, 2);
         }),
         PROFILE_NO_STRUCTURE, 0, 0, "2 frame records"},
        {"cut inside the values", bytes_of([](ProfileBytes* out) {
             frame_counting_from(out, 1);
             frame_counting_from(out, 2);
             out->resize(out->size() - 7);
         }),
         PROFILE_TRUNCATED, 0, 0, "frame record 1 at byte 41"},
        {"group count beyond the file", bytes_of([](ProfileBytes* out) {
             out->push_back(1);
             profile_put_float(out, 1);
             profile_put_u32(out, 0xFFFFFFFF);
             profile_encode_structure(out, kTwoGroups);
         }),
         PROFILE_TRUNCATED, 0, 0, "frame record 0"},
        {"item count beyond the file", bytes_of([](ProfileBytes* out) {
             out->push_back(1);
             profile_put_float(out, 1);
             profile_put_u32(out, 1);
             profile_put_float(out, 2);
             profile_put_u32(out, 0x40000000);
             profile_encode_structure(out, kTwoGroups);
         }),
         PROFILE_TRUNCATED, 0, 0, "frame record 0"},
        {"string count beyond the file", bytes_of([](ProfileBytes* out) {
             profile_encode_frame(out, 1, {}, {});
             out->resize(out->size() - 4);
             profile_put_u32(out, 0xFFFFFFF0);
             profile_encode_structure(out, kTwoGroups);
         }),
         PROFILE_TRUNCATED, 0, 0, "frame record 0"},
        {"trailing string without its zero", bytes_of([](ProfileBytes* out) {
             profile_encode_frame(out, 1, {}, {"abc"});
             out->pop_back();
         }),
         PROFILE_TRUNCATED, 0, 0, "frame record 0"},
        {"structure group count beyond the file", bytes_of([](ProfileBytes* out) {
             frame_counting_from(out, 1);
             profile_encode_structure_stated(out, 6, {});
             out->resize(out->size() - 4);
             profile_put_u32(out, 0x7FFFFFFF);
         }),
         PROFILE_TRUNCATED, 0, 0, "the structure record at byte 41"},
        {"structure item count beyond the file", bytes_of([](ProfileBytes* out) {
             profile_encode_structure(out, {{"A", {}}});
             out->resize(out->size() - 4);
             profile_put_u32(out, 100);
             profile_put_string(out, "a1");
         }),
         PROFILE_TRUNCATED, 0, 0, "the structure record"},
        {"structure name without its zero", bytes_of([](ProfileBytes* out) {
             profile_encode_structure(out, {{"A", {"a1"}}});
             out->pop_back();
         }),
         PROFILE_TRUNCATED, 0, 0, "the structure record"},
        {"stated count too high", bytes_of([](ProfileBytes* out) {
             frame_counting_from(out, 1);
             profile_encode_structure_stated(out, 1000000, kTwoGroups);
         }),
         PROFILE_COUNT_MISMATCH, 6, 1, "1000000 stated, 6 listed"},
        {"stated count too low", bytes_of([](ProfileBytes* out) {
             frame_counting_from(out, 1);
             profile_encode_structure_stated(out, 2, kTwoGroups);
         }),
         PROFILE_COUNT_MISMATCH, 6, 1, "2 stated, 6 listed"},
        // 16 times the file plus 64 MiB: 10000 empty names and a frame fit, 20000 do not.
        {"many sections within the allowance", bytes_of(many_items(10000)), PROFILE_OK, 10002, 1, ""},
        {"many sections beyond the allowance", bytes_of(many_items(20000)), PROFILE_TOO_LARGE, 0, 0,
         "20002 sections of 1 frames"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SectionTable* table = load(c.bytes);
        EXPECT_EQ(profile_last_status(), c.status);
        EXPECT_EQ(table->section_count, c.sections);
        EXPECT_EQ(table->frame_count, c.frames);
        EXPECT_EQ(table->sections == nullptr, c.sections == 0);
        std::string detail = profile_last_detail();
        if (c.status != PROFILE_OK) {
            EXPECT_EQ(detail.rfind(profile_status_text(c.status), 0), 0u) << detail;
        }
        EXPECT_NE(detail.find(c.detail), std::string::npos) << detail;
    }
}

TEST(ProfileLoad, EveryTruncationOfAValidFileLoadsEmpty)
{
    ProfileBytes bytes;
    std::vector<size_t> tag_positions = {0};
    frame_counting_from(&bytes, 1, {"ab", ""});
    tag_positions.push_back(bytes.size());
    profile_encode_frame(&bytes, 2, {}, {});
    tag_positions.push_back(bytes.size());
    profile_encode_frame(&bytes, 3, {{4, {}}}, {"x"}, 0xFF);
    tag_positions.push_back(bytes.size());
    profile_encode_structure(&bytes, {{"Alpha", {"a1", "a2"}}, {"Beta", {"b1"}}});
    for (size_t length = 0; length < bytes.size(); length++) {
        const SectionTable* table = load(ProfileBytes(bytes.begin(), bytes.begin() + long(length)));
        bool at_tag = std::find(tag_positions.begin(), tag_positions.end(), length) != tag_positions.end();
        ASSERT_EQ(profile_last_status(), at_tag ? PROFILE_NO_STRUCTURE : PROFILE_TRUNCATED) << length;
        ASSERT_EQ(table->section_count, 0u) << length;
        ASSERT_EQ(table->frame_count, 0u) << length;
        ASSERT_EQ(table->sections, nullptr) << length;
    }
    const SectionTable* table = load(bytes);
    EXPECT_EQ(profile_last_status(), PROFILE_OK);
    EXPECT_EQ(table->section_count, 6u);
    EXPECT_EQ(table->frame_count, 3u);
}

// What every loaded table must satisfy, whatever bytes it came from.
void expect_sound_table(const SectionTable* table, size_t file_size)
{
    ProfileStatus status = profile_last_status();
    bool loaded = status == PROFILE_OK || status == PROFILE_COUNT_MISMATCH || status == PROFILE_EXTRA_VALUES;
    ASSERT_EQ(table->section_count > 0, loaded);
    if (!loaded) {
        ASSERT_EQ(table->frame_count, 0u);
        ASSERT_EQ(table->sections, nullptr);
        return;
    }
    uint32_t capacity = profile_capacity(table);
    double table_bytes = double(table->section_count) * (sizeof(Section) + 4.0 * capacity);
    ASSERT_LE(table_bytes, 16.0 * double(file_size) + 64.0 * 1024 * 1024);
    ASSERT_EQ(table->sections[0].type, SECTION_ROOT);
    ASSERT_EQ(table->sections[0].group_index, -1);
    int32_t group = -1;
    for (uint32_t index = 0; index < table->section_count; index++) {
        const Section& section = table->sections[index];
        ASSERT_NE(std::memchr(section.name, 0, PROFILE_NAME_SIZE), nullptr);
        ASSERT_EQ(section.values == nullptr, table->frame_count == 0);
        if (index > 0) {
            ASSERT_TRUE(section.type == SECTION_GROUP || section.type == SECTION_ITEM) << section.type;
            if (section.type == SECTION_GROUP) group++;
            ASSERT_EQ(section.group_index, group);
        }
        for (uint32_t frame = table->frame_count; frame < capacity; frame += 97) ASSERT_EQ(section.values[frame], 0.0f);
        if (capacity > table->frame_count) {
            ASSERT_EQ(section.values[capacity - 1], 0.0f);
        }
    }
}

TEST(ProfileLoad, SurvivesRandomMutations)
{
    ProfileBytes base;
    for (int frame = 0; frame < 6; frame++) frame_counting_from(&base, float(frame), {frame % 2 ? "note" : ""});
    profile_encode_frame(&base, 7, {{8, {}}}, {});
    profile_encode_structure(&base, kTwoGroups);
    std::mt19937 random(20240607);
    auto below = [&](size_t limit) { return limit == 0 ? 0 : size_t(random() % limit); };
    const uint32_t hostile_words[] = {0xFFFFFFFF, 0x80000000, 0x7FFFFFFF, 0x00010000, 0, 1, 31, 32};
    int loaded = 0;
    for (int round = 0; round < 4000; round++) {
        ProfileBytes bytes = base;
        for (size_t edits = 1 + below(3); edits > 0 && !bytes.empty(); edits--) {
            size_t at = below(bytes.size());
            switch (below(5)) {
            case 0: bytes[at] = uint8_t(random()); break;
            case 1:
                for (size_t byte = 0; byte < 4 && at + byte < bytes.size(); byte++)
                    bytes[at + byte] = uint8_t(hostile_words[round % 8] >> (24 - 8 * byte));
                break;
            case 2:
                bytes.erase(bytes.begin() + long(at), bytes.begin() + long(std::min(bytes.size(), at + 1 + below(9))));
                break;
            case 3: {
                ProfileBytes copied(bytes.begin() + long(below(at + 1)), bytes.begin() + long(at));
                bytes.insert(bytes.begin() + long(at), copied.begin(), copied.end());
                break;
            }
            default: bytes.resize(at); break;
            }
        }
        const SectionTable* table = load(bytes);
        expect_sound_table(table, bytes.size());
        if (HasFatalFailure()) {
            ADD_FAILURE() << "round " << round;
            return;
        }
        loaded += table->section_count > 0;
    }
    // The mutations must leave a fair share loadable, or the sound-table checks prove little.
    EXPECT_GT(loaded, 400);
}

TEST(ProfileLoad, ManySectionsLoadLikeFewSections)
{
    // More than a thousand sections, frames of varying reach and a count that is not a whole block.
    std::vector<EncodedGroupNames> names(10);
    for (EncodedGroupNames& group : names) group.items.assign(110, "item");
    const uint32_t sections = 1 + 10 * 111, frames = 37;
    auto value = [](uint32_t frame, uint32_t section) { return float(frame * 10000 + section); };
    ProfileBytes bytes;
    for (uint32_t frame = 0; frame < frames; frame++) {
        uint32_t groups = frame % 5 == 3 ? 4 : 10;
        std::vector<EncodedGroupValues> values(groups);
        uint32_t section = 1;
        for (EncodedGroupValues& group : values) {
            group.value = value(frame, section++);
            for (int item = 0; item < 110; item++) group.items.push_back(value(frame, section++));
        }
        profile_encode_frame(&bytes, value(frame, 0), values, {});
    }
    profile_encode_structure(&bytes, names);
    const SectionTable* table = load(bytes);
    EXPECT_EQ(profile_last_status(), PROFILE_OK);
    ASSERT_EQ(table->section_count, sections);
    ASSERT_EQ(table->frame_count, frames);
    for (uint32_t section = 0; section < sections; section++) {
        for (uint32_t frame = 0; frame < frames; frame++) {
            bool reached = frame % 5 != 3 || section < 1 + 4 * 111;
            ASSERT_EQ(table->sections[section].values[frame], reached ? value(frame, section) : 0.0f)
                << section << "/" << frame;
        }
        ASSERT_EQ(table->sections[section].values[1023], 0.0f);
    }
}

TEST(ProfileLoad, FilesLoadAsTheirBytesDo)
{
    std::string folder = make_scratch_folder();
    std::string path = folder + "/advance_profile.bin";
    // Longer than the step in which mapped pages behind the reader are handed back.
    const uint32_t frames = 500000;
    write_file(path, as_text(valid_recording(frames)));
    profile_load(path.c_str());
    const SectionTable* table = profile_table();
    EXPECT_EQ(profile_last_status(), PROFILE_OK);
    ASSERT_EQ(table->section_count, 6u);
    ASSERT_EQ(table->frame_count, frames);
    for (uint32_t section = 0; section < 6; section++)
        for (uint32_t frame = 0; frame < frames; frame++)
            ASSERT_EQ(table->sections[section].values[frame], float(frame * 10 + section)) << section << "/" << frame;

    write_file(path, "");
    profile_load(path.c_str());
    EXPECT_EQ(profile_last_status(), PROFILE_NO_STRUCTURE);

    struct Case {
        std::string path;
        const char* detail;
    } cases[] = {{folder + "/missing.bin", "No such file or directory"}, {folder, "not a regular file"}};
    for (const Case& c : cases) {
        profile_load(c.path.c_str());
        EXPECT_EQ(profile_last_status(), PROFILE_CANNOT_OPEN);
        EXPECT_EQ(profile_table()->section_count, 0u);
        EXPECT_EQ(std::string(profile_last_detail()), std::string("cannot be opened (") + c.detail + ")");
    }
}

TEST(ProfileLoad, LoadingAgainReplacesTheTable)
{
    load(valid_recording(3));
    ProfileBytes other;
    profile_encode_frame(&other, 5, {{6, {}}}, {});
    profile_encode_structure(&other, {{"Only", {}}});
    const SectionTable* table = load(other);
    ASSERT_EQ(table->section_count, 2u);
    EXPECT_EQ(table->frame_count, 1u);
    EXPECT_STREQ(table->sections[1].name, "Only");
    EXPECT_EQ(table->sections[1].values[0], 6.0f);
    load({});
    EXPECT_EQ(table->section_count, 0u);
    EXPECT_EQ(table->sections, nullptr);
}

// savrel-inspect, run as a user would.
class InspectTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::string(SAVREL_INSPECT_PATH).empty()) GTEST_SKIP() << "savrel-inspect is not built";
        folder_ = make_scratch_folder();
    }

    std::string write(const char* name, const ProfileBytes& bytes)
    {
        std::string path = folder_ + "/" + name;
        write_file(path, as_text(bytes));
        return path;
    }

    int inspect(const std::vector<std::string>& arguments, std::string* output)
    {
        return run_program(SAVREL_INSPECT_PATH, arguments, output);
    }

    // Twenty frames with totals 1 to 20 in a shuffled order; the worst is frame 4.
    std::string twenty_frames()
    {
        ProfileBytes bytes;
        for (uint32_t frame = 0; frame < 20; frame++) {
            float total = float((frame * 7 + 11) % 20 + 1);
            profile_encode_frame(&bytes, total, {{total / 2, {0.25f, 0.5f}}, {1, {float(frame)}}}, {});
        }
        profile_encode_structure(&bytes, kTwoGroups);
        return write("twenty.bin", bytes);
    }

    // Thirty frames of 10 ms: a1 2, a2 3, b1 4 and Wait (a group without items) 1, with three
    // spikes in frames 7, 20 and 25 and notes on some frames.
    std::string spiky_recording()
    {
        ProfileBytes bytes;
        for (int frame = 0; frame < 30; frame++) {
            double a1 = 0.002, a2 = 0.003, b1 = 0.004, wait = 0.001;
            std::vector<std::string> notes;
            if (frame == 7) {
                b1 += 0.005;
                notes = {"gc", "", "x"};
            } else if (frame == 20) {
                a1 += 0.003;
                a2 += 0.001;
                wait += 0.0005;
                notes = {"level"};
            } else if (frame == 25) {
                a2 += 0.0001;
            } else if (frame == 28) {
                notes = {"last but one"};
            }
            std::vector<EncodedGroupValues> groups = {
                {float(a1 + a2), {float(a1), float(a2)}}, {float(b1), {float(b1)}}, {float(wait), {}}};
            profile_encode_frame(&bytes, float(a1 + a2 + b1 + wait), groups, notes);
        }
        profile_encode_structure(&bytes, {{"A", {"a1", "a2"}}, {"B", {"b1"}}, {"Wait", {}}});
        return write("spiky.bin", bytes);
    }

    std::string folder_;
};

std::vector<std::string> words_of_line_starting(const std::string& text, const std::string& start)
{
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        size_t first = line.find_first_not_of(' ');
        if (first != std::string::npos && line.compare(first, start.size(), start) == 0) {
            std::istringstream words(line);
            std::vector<std::string> result;
            for (std::string word; words >> word;) result.push_back(word);
            return result;
        }
    }
    return {};
}

TEST_F(InspectTest, ReportShowsTheTreeAndItsStatistics)
{
    std::string output;
    ASSERT_EQ(inspect({twenty_frames()}, &output), 0) << output;
    EXPECT_NE(output.find("Frames: 20 (capacity 1024 values per section)"), std::string::npos) << output;
    EXPECT_NE(output.find("Sections: 6"), std::string::npos);
    // Seconds on disk, milliseconds shown: index, name, mean, min, max, its frame, then the
    // 50th, 95th and 99th percentiles (nearest rank: the 10th, 19th and 20th of 20).
    EXPECT_NE(output.find("mean (ms)"), std::string::npos) << output;
    EXPECT_EQ(words_of_line_starting(output, "0  total"),
              std::vector<std::string>(
                  {"0", "total", "10500.000", "1000.000", "20000.000", "4", "10000.000", "19000.000", "20000.000"}));
    EXPECT_EQ(words_of_line_starting(output, "3    a2"),
              std::vector<std::string>(
                  {"3", "a2", "500.000", "500.000", "500.000", "0", "500.000", "500.000", "500.000"}));
    EXPECT_EQ(words_of_line_starting(output, "5    b1"),
              std::vector<std::string>(
                  {"5", "b1", "9500.000", "0.000", "19000.000", "19", "9000.000", "18000.000", "19000.000"}));
    EXPECT_NE(output.find("  4  B "), std::string::npos) << output;
    EXPECT_NE(output.find("Frame totals (ms): mean 10500.000, median 10000.000, worst 20000.000 (frame 4), "
                          "p95 19000.000, p99 20000.000"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("Diagnostics: none"), std::string::npos);
}

TEST_F(InspectTest, JsonHoldsTheWholeTable)
{
    std::string output;
    ASSERT_EQ(inspect({"--json", twenty_frames()}, &output), 0) << output;
    nlohmann::json document = nlohmann::json::parse(output);
    EXPECT_EQ(document["frame_count"], 20);
    EXPECT_EQ(document["capacity"], 1024);
    EXPECT_EQ(document["unit"], "seconds");
    EXPECT_EQ(document["sections"][0]["name"], "total");
    EXPECT_TRUE(document["diagnostics"].empty());
    ASSERT_EQ(document["sections"].size(), 6u);
    const nlohmann::json& a1 = document["sections"][2];
    EXPECT_EQ(a1["index"], 2);
    EXPECT_EQ(a1["type"], 2);
    EXPECT_EQ(a1["group_index"], 0);
    EXPECT_EQ(a1["name"], "a1");
    EXPECT_NEAR(a1["colour"][1].get<double>(), 0.371, 1e-3);
    EXPECT_EQ(a1["values"], std::vector<double>(20, 0.25));
    EXPECT_EQ(document["sections"][5]["values"][7], 7.0);
    EXPECT_EQ(document["sections"][0]["values"][4], 20.0);
    EXPECT_EQ(document["sections"][0]["values"][13], 3.0);
    const nlohmann::json& totals = document["sections"][0]["statistics"];
    EXPECT_EQ(totals,
              nlohmann::json::parse(R"({"mean":10.5,"min":1,"max":20,"max_frame":4,"p50":10,"p95":19,"p99":20})"));
}

TEST_F(InspectTest, JsonCarriesDiagnosticsAndSurvivesRawNames)
{
    ProfileBytes bytes;
    profile_encode_frame(&bytes, 0.1f, {}, {});
    profile_encode_structure_stated(&bytes, 9, {{"caf\xE9", {"\xFF\xFE"}}});
    std::string output;
    ASSERT_EQ(inspect({"--json", write("raw.bin", bytes)}, &output), 0) << output;
    nlohmann::json document = nlohmann::json::parse(output);
    ASSERT_EQ(document["diagnostics"].size(), 1u);
    EXPECT_NE(document["diagnostics"][0].get<std::string>().find("9 stated, 3 listed"), std::string::npos);
    EXPECT_EQ(document["sections"].size(), 3u);
    // Floats are written at their own precision.
    EXPECT_NE(output.find("\"values\":[0.1]"), std::string::npos) << output;
}

TEST_F(InspectTest, CsvHasOneRowPerFrameAndNamedColumns)
{
    ProfileBytes bytes;
    profile_encode_frame(&bytes, 2.5f, {{1, {0.5f}}, {1e-7f, {}}}, {});
    profile_encode_frame(&bytes, 3, {}, {});
    profile_encode_structure(&bytes, {{"Render", {"sky"}}, {"x,\"y\"", {}}});
    std::string output;
    ASSERT_EQ(inspect({"--csv", write("csv.bin", bytes)}, &output), 0) << output;
    EXPECT_EQ(output,
              "frame,total (ms),Render (ms),Render/sky (ms),\"x,\"\"y\"\" (ms)\"\n"
              "0,2500,1000,500,0.0001\n"
              "1,3000,0,0,0\n");
}

TEST_F(InspectTest, SpikesNameTheFramesAndTheSectionsAboveTheirMedians)
{
    std::string path = spiky_recording();
    std::string output;
    ASSERT_EQ(inspect({"--spikes", "3", path}, &output), 0) << output;
    // Groups with items are left out: their items already say it.
    EXPECT_NE(output.find("  frame 7: 15.000 ms, +5.000 over the median: B/b1 +5.000; notes: \"gc\", \"\", \"x\"\n"
                          "  frame 20: 14.500 ms, +4.500 over the median: A/a1 +3.000, A/a2 +1.000, Wait +0.500; "
                          "notes: \"level\"\n"
                          "  frame 25: 10.100 ms, +0.100 over the median: A/a2 +0.100\n\n"),
              std::string::npos)
        << output;

    // A range limits every output, spikes and medians included.
    ASSERT_EQ(inspect({"--json", "--frames", "10..29", path}, &output), 0) << output;
    nlohmann::json document = nlohmann::json::parse(output);
    EXPECT_EQ(document["first_frame"], 10);
    EXPECT_EQ(document["shown_frame_count"], 20);
    EXPECT_EQ(document["sections"][2]["values"].size(), 20u);
    ASSERT_EQ(document["spikes"].size(), 10u);
    const nlohmann::json& worst = document["spikes"][0];
    EXPECT_EQ(worst["frame"], 20);
    EXPECT_NEAR(worst["total"].get<double>(), 0.0145, 1e-7);
    EXPECT_NEAR(worst["excess"].get<double>(), 0.0045, 1e-7);
    EXPECT_EQ(worst["notes"], std::vector<std::string>{"level"});
    ASSERT_EQ(worst["sections"].size(), 3u);
    EXPECT_EQ(worst["sections"][0]["name"], "A/a1");
    EXPECT_EQ(worst["sections"][0]["index"], 2);
    EXPECT_NEAR(worst["sections"][0]["excess"].get<double>(), 0.003, 1e-7);
    EXPECT_EQ(document["spikes"][1]["frame"], 25);
    std::vector<std::vector<std::string>> notes(20);
    notes[10] = {"level"};
    notes[18] = {"last but one"};
    EXPECT_EQ(document["notes"], notes);

    ASSERT_EQ(inspect({"--csv", "--frames", "28..", path}, &output), 0) << output;
    EXPECT_EQ(output.substr(output.find('\n') + 1), "28,10,5,2,3,4,4,1\n29,10,5,2,3,4,4,1\n");
}

// The percentiles come from chained selections; a sorted copy must agree with them.
TEST_F(InspectTest, StatisticsAgreeWithASortedCopy)
{
    std::mt19937 random(7);
    std::vector<float> values(997);
    // Few distinct values, so ranks fall among repeats.
    for (float& value : values) value = float(random() % 50) * 0.25f;
    ProfileBytes bytes;
    for (float value : values) profile_encode_frame(&bytes, value, {{value, {}}}, {});
    profile_encode_structure(&bytes, {{"G", {}}});
    std::string path = write("random.bin", bytes);
    struct Case {
        uint32_t first, last;
    } cases[] = {{0, 996}, {100, 599}, {500, 500}};
    for (const Case& c : cases) {
        std::string output;
        std::string range = std::to_string(c.first) + ".." + std::to_string(c.last);
        ASSERT_EQ(inspect({"--json", "--frames", range, path}, &output), 0) << output;
        nlohmann::json statistics = nlohmann::json::parse(output)["sections"][1]["statistics"];
        std::vector<float> shown(values.begin() + c.first, values.begin() + c.last + 1);
        uint32_t highest = uint32_t(std::max_element(shown.begin(), shown.end()) - shown.begin());
        double sum = 0;
        for (float value : shown) sum += value;
        std::sort(shown.begin(), shown.end());
        auto rank = [&](double share) { return shown[size_t(std::ceil(share * double(shown.size()))) - 1]; };
        EXPECT_EQ(statistics["min"].get<float>(), shown.front()) << range;
        EXPECT_EQ(statistics["max"].get<float>(), shown.back()) << range;
        EXPECT_EQ(statistics["max_frame"], c.first + highest) << range;
        EXPECT_NEAR(statistics["mean"].get<double>(), sum / double(shown.size()), 1e-5) << range;
        EXPECT_EQ(statistics["p50"].get<float>(), rank(0.50)) << range;
        EXPECT_EQ(statistics["p95"].get<float>(), rank(0.95)) << range;
        EXPECT_EQ(statistics["p99"].get<float>(), rank(0.99)) << range;
    }
}

TEST_F(InspectTest, ExitStatusSaysWhatHappened)
{
    std::string good = twenty_frames();
    ProfileBytes cut = valid_recording(2);
    cut.resize(cut.size() - 3);
    std::string truncated = write("cut.bin", cut);
    struct Case {
        std::vector<std::string> arguments;
        int status;
        const char* says;
    } cases[] = {
        {{}, 2, "usage: savrel-inspect"},
        {{"--bogus", good}, 2, "usage: savrel-inspect"},
        {{good, good}, 2, "usage: savrel-inspect"},
        {{"--json", "--csv", good}, 2, "usage: savrel-inspect"},
        {{"--spikes", "-1", good}, 2, "--spikes needs a count (usage: savrel-inspect"},
        {{"--frames", "9..3", good}, 2, "--frames needs a range such as 100..199 (usage:"},
        {{"--frames", "20..", good}, 2, "--frames starts after the last frame, 19 (usage:"},
        {{"--help"}, 0, "Exit status: 0 when a table was loaded"},
        {{"--help"}, 0, "Values are read as seconds (recordings have no unit field)"},
        {{folder_ + "/missing.bin"}, 1, "missing.bin: cannot be opened (No such file or directory)"},
        {{"--csv", truncated}, 1, "cut.bin: ends inside a record (the structure record"},
        {{"--json", truncated}, 1, "\"diagnostics\":[\"ends inside a record"},
    };
    for (const Case& c : cases) {
        std::string output;
        EXPECT_EQ(inspect(c.arguments, &output), c.status) << output;
        EXPECT_NE(output.find(c.says), std::string::npos) << output;
    }
}

}  // namespace
