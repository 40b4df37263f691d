#include "recorder/recorder.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "profile/profile.h"
#include "profile/reader.h"
#include "tests/support/process_support.h"

namespace {

// One scripted frame: values added by name, group values of their own, notes and the total.
struct Add {
    std::string group;
    std::string item;
    float value;
};

struct ScriptFrame {
    std::vector<Add> adds;
    std::vector<Add> group_adds;  // item unused
    std::vector<std::string> notes;
    float total;
};

// What the viewer should see: sections in first-named order, and every frame's values.
struct ExpectedSection {
    std::string name;
    int32_t type;
    int32_t group_index;
};

struct Expected {
    std::vector<ExpectedSection> sections;
    std::vector<std::vector<float>> values;  // [frame][section]
};

// What the file holds for a value given in milliseconds.
float seconds(float milliseconds)
{
    return float(double(milliseconds) / 1000.0);
}

std::string recording_path(void)
{
    return make_scratch_folder() + "/advance_profile.bin";
}

// Every value a script uses is a multiple of 1/4 and small, so sums are exact in any order.
Expected expect(const std::vector<ScriptFrame>& script)
{
    std::vector<std::string> group_order;
    std::map<std::string, std::vector<std::string>> items;
    auto name_group = [&](const std::string& group) {
        if (std::find(group_order.begin(), group_order.end(), group) == group_order.end())
            group_order.push_back(group);
    };
    std::vector<std::map<std::string, float>> sums(script.size());
    std::vector<std::map<std::string, float>> own(script.size());
    for (size_t f = 0; f < script.size(); f++) {
        for (const Add& add : script[f].adds) {
            name_group(add.group);
            std::vector<std::string>& list = items[add.group];
            if (std::find(list.begin(), list.end(), add.item) == list.end()) list.push_back(add.item);
            sums[f][add.group + "/" + add.item] += add.value;
            sums[f][add.group] += add.value;
        }
        for (const Add& add : script[f].group_adds) {
            name_group(add.group);
            own[f][add.group] += add.value;
        }
    }
    Expected expected;
    expected.sections.push_back({"", SECTION_ROOT, -1});
    for (size_t g = 0; g < group_order.size(); g++) {
        expected.sections.push_back({group_order[g], SECTION_GROUP, int32_t(g)});
        for (const std::string& item : items[group_order[g]]) expected.sections.push_back({item, SECTION_ITEM, int32_t(g)});
    }
    for (size_t f = 0; f < script.size(); f++) {
        std::vector<float> row{seconds(script[f].total)};
        for (const std::string& group : group_order) {
            // A group reads the sum of its items as stored, unless it was given a value.
            std::vector<float> item_values;
            double sum = 0;
            for (const std::string& item : items[group]) {
                item_values.push_back(seconds(sums[f][group + "/" + item]));
                sum += item_values.back();
            }
            row.push_back(own[f].count(group) ? seconds(own[f][group]) : float(sum));
            row.insert(row.end(), item_values.begin(), item_values.end());
        }
        expected.values.push_back(row);
    }
    return expected;
}

void play(const std::vector<ScriptFrame>& script)
{
    for (const ScriptFrame& frame : script) {
        for (const Add& add : frame.adds) ASSERT_TRUE(recorder_add_named(add.group.c_str(), add.item.c_str(), add.value));
        for (const Add& add : frame.group_adds) ASSERT_TRUE(recorder_group_add(add.group.c_str(), add.value));
        for (const std::string& note : frame.notes) ASSERT_TRUE(recorder_note(note.c_str()));
        ASSERT_TRUE(recorder_frame_end_total(frame.total));
    }
}

void expect_table(const Expected& expected, uint32_t frame_count)
{
    const SectionTable* table = profile_table();
    ASSERT_EQ(profile_last_status(), PROFILE_OK) << profile_status_text(profile_last_status());
    ASSERT_EQ(table->section_count, expected.sections.size());
    ASSERT_EQ(table->frame_count, frame_count);
    for (uint32_t s = 0; s < table->section_count; s++) {
        const Section& section = table->sections[s];
        EXPECT_EQ(section.name, expected.sections[s].name) << "section " << s;
        EXPECT_EQ(section.type, expected.sections[s].type) << "section " << s;
        EXPECT_EQ(section.group_index, expected.sections[s].group_index) << "section " << s;
        for (uint32_t f = 0; f < frame_count; f++)
            ASSERT_EQ(section.values[f], expected.values[f][s]) << section.name << " in frame " << f;
    }
}

// Random scripts: sections first named at random frames, in any group, early or late.
std::vector<ScriptFrame> random_script(uint32_t seed, int frames)
{
    std::mt19937 random(seed);
    const char* groups[] = {"Render", "Physics", "Audio", "Logic", "Streaming", "Network"};
    std::vector<ScriptFrame> script;
    script.resize(size_t(frames));
    for (ScriptFrame& frame : script) {
        frame.total = float(random() % 200) * 0.25f;
        for (int n = int(random() % 6); n > 0; n--) {
            const char* group = groups[random() % 6];
            std::string item = std::string(group).substr(0, 3) + std::to_string(random() % 5);
            frame.adds.push_back({group, item, float(random() % 64) * 0.25f});
        }
        if (random() % 7 == 0) frame.group_adds.push_back({groups[random() % 6], "", float(random() % 64) * 0.25f});
        if (random() % 5 == 0) frame.notes.push_back("note " + std::to_string(random() % 100));
    }
    return script;
}

class RecorderTest : public ::testing::Test {
protected:
    // These tests assert exact layouts, which the recorder's own item would shift.
    void SetUp() override { recorder_set_self_time(false); }
    void TearDown() override
    {
        if (recorder_is_open()) recorder_close();
    }
};

struct ScriptCase {
    const char* name;
    std::vector<ScriptFrame> script;
};

TEST_F(RecorderTest, LoaderReadsBackEverySectionAndValueInOrder)
{
    const std::vector<ScriptCase> cases = {
        {"sums, repeats and notes",
         {{{{"Render", "Shadows", 1.5f}, {"Render", "Opaque", 2.0f}, {"Render", "Shadows", 0.25f}}, {}, {"a", ""}, 9.0f},
          {{{"Render", "Opaque", 3.0f}, {"Audio", "Mixer", 0.5f}}, {}, {}, 16.0f}}},
        {"a group value of its own",
         {{{{"Logic", "AI", 1.0f}, {"Logic", "Scripts", 2.0f}}, {{"Logic", "", 7.5f}}, {}, 12.0f},
          {{{"Logic", "AI", 1.0f}}, {}, {}, 4.0f}}},
        {"items join the last group late",
         {{{{"A", "a1", 1.0f}, {"B", "b1", 2.0f}}, {}, {}, 3.0f},
          {{{"B", "b2", 4.0f}, {"B", "b1", 2.0f}}, {}, {}, 8.0f},
          {{{"B", "b3", 0.5f}, {"A", "a1", 1.0f}}, {}, {"late"}, 2.0f}}},
        {"an item joins an early group late",
         {{{{"A", "a1", 1.0f}, {"B", "b1", 2.0f}, {"C", "c1", 3.0f}}, {}, {}, 6.0f},
          {{{"A", "a1", 1.25f}, {"B", "b1", 2.25f}, {"C", "c1", 3.25f}}, {}, {"x"}, 7.0f},
          {{{"A", "a2", 5.0f}, {"B", "b1", 2.5f}, {"C", "c1", 3.5f}}, {}, {}, 11.0f},
          {{{"A", "a3", 0.75f}, {"C", "c2", 1.75f}}, {}, {}, 2.5f}}},
        {"a group and an early item named in the same frame",
         {{{{"A", "a1", 1.0f}}, {}, {}, 1.0f},
          {{{"B", "b1", 2.0f}, {"A", "a2", 3.0f}}, {}, {}, 5.0f}}},
        {"random appearances", random_script(7, 300)},
        {"more random appearances", random_script(1234, 120)},
    };
    for (const ScriptCase& test : cases) {
        SCOPED_TRACE(test.name);
        std::string path = recording_path();
        ASSERT_TRUE(recorder_open(path.c_str()));
        play(test.script);
        ASSERT_TRUE(recorder_close());
        profile_load(path.c_str());
        expect_table(expect(test.script), uint32_t(test.script.size()));
    }
}

TEST_F(RecorderTest, InspectReadsBackWhatWasRecorded)
{
    ASSERT_STRNE(SAVREL_INSPECT_PATH, "");
    std::vector<ScriptFrame> script = random_script(42, 150);
    std::string path = recording_path();
    ASSERT_TRUE(recorder_open(path.c_str()));
    play(script);
    ASSERT_TRUE(recorder_close());

    // Read in process as savrel-inspect reads it: the bytes once, to the loader and the frame walker.
    ASSERT_EQ(recording_load(path.c_str()), RECORDING_OK) << recording_last_detail();
    const SectionTable* table = profile_table();
    Expected expected = expect(script);
    ASSERT_EQ(table->frame_count, script.size());
    EXPECT_EQ(profile_last_status(), PROFILE_OK) << profile_last_detail();
    ASSERT_EQ(table->section_count, expected.sections.size());
    for (size_t s = 0; s < table->section_count; s++) {
        const Section& section = table->sections[s];
        EXPECT_EQ(section.name, s == 0 ? std::string("") : expected.sections[s].name);
        EXPECT_EQ(section.type, expected.sections[s].type);
        EXPECT_EQ(section.group_index, expected.sections[s].group_index);
        for (size_t f = 0; f < script.size(); f++)
            ASSERT_EQ(section.values[f], expected.values[f][s]) << expected.sections[s].name << " in frame " << f;
    }
    size_t size = 0;
    const uint8_t* bytes = recording_bytes(&size);
    ProfileReader cursor = {bytes, size, 0, false};
    ProfileFrameRecord frame;
    for (size_t f = 0; f < script.size(); f++) {
        ASSERT_EQ(profile_walk_record(&cursor, &frame), PROFILE_RECORD_FRAME) << f;
        std::vector<std::string> notes;
        const char* note = reinterpret_cast<const char*>(bytes + frame.notes_position);
        for (uint32_t n = 0; n < frame.note_count; n++, note += notes.back().size() + 1) notes.emplace_back(note);
        EXPECT_EQ(notes, script[f].notes) << "frame " << f;
    }
    EXPECT_EQ(profile_walk_record(&cursor, &frame), PROFILE_RECORD_STRUCTURE);
    recording_release();
}

TEST_F(RecorderTest, FileIsCompleteAfterEveryFrame)
{
    std::vector<ScriptFrame> script = random_script(99, 60);
    std::string path = recording_path();
    ASSERT_TRUE(recorder_open(path.c_str()));
    for (size_t done = 0; done < script.size(); done++) {
        play({script[done]});
        std::vector<ScriptFrame> so_far(script.begin(), script.begin() + std::ptrdiff_t(done + 1));
        profile_load(path.c_str());
        ASSERT_NO_FATAL_FAILURE(expect_table(expect(so_far), uint32_t(done + 1))) << "after frame " << done;
    }
}

// The child records frames and reports each completed one; then it starts another frame,
// with a new section, and waits to be killed.
void record_until_killed(const std::string& path, int frames, int report_fd)
{
    recorder_open(path.c_str());
    for (int frame = 0;; frame++) {
        recorder_add_named("Render", "Opaque", float(frame) + 0.5f);
        recorder_add_named("Audio", "Mixer", 0.25f);
        if (frame >= 3) recorder_add_named("Render", "Shadows", float(frame) * 2.0f);
        if (frame == frames) {
            recorder_add_named("Late", "Never", 1.0f);
            recorder_note("in progress");
            if (write(report_fd, "!", 1) != 1) _exit(1);
            pause();
        }
        recorder_frame_end_total(float(frame) * 4.0f);
        if (write(report_fd, ".", 1) != 1) _exit(1);
    }
}

TEST_F(RecorderTest, KilledRecordingKeepsEveryCompletedFrame)
{
    for (int frames : {0, 1, 3, 4, 250}) {
        SCOPED_TRACE(frames);
        std::string path = recording_path();
        int status = 0;
        std::string marks = report_then_kill([&](int report_fd) { record_until_killed(path, frames, report_fd); }, &status);
        ASSERT_EQ(status, 128 + SIGKILL);
        ASSERT_EQ(marks, std::string(size_t(frames), '.') + "!");

        profile_load(path.c_str());
        const SectionTable* table = profile_table();
        ASSERT_EQ(profile_last_status(), PROFILE_OK) << profile_status_text(profile_last_status());
        ASSERT_EQ(table->frame_count, uint32_t(frames));
        // Root; Render, Opaque, Shadows (from frame 3); Audio, Mixer. "Late" never completed a frame.
        ASSERT_EQ(table->section_count, frames == 0 ? 1u : frames <= 3 ? 5u
                                                                       : 6u);
        for (int f = 0; f < frames; f++) {
            ASSERT_EQ(table->sections[0].values[f], seconds(float(f) * 4.0f));
            ASSERT_EQ(table->sections[2].values[f], seconds(float(f) + 0.5f));
            float shadows = f >= 3 ? seconds(float(f) * 2.0f) : 0.0f;
            ASSERT_EQ(table->sections[table->section_count - 1].values[f], seconds(0.25f)) << "frame " << f;
            if (frames > 3) {
                ASSERT_EQ(table->sections[3].values[f], shadows) << "frame " << f;
            }
        }
    }
}

void busy_wait(double milliseconds)
{
    auto start = std::chrono::steady_clock::now();
    while (std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() < milliseconds) {
    }
}

void timed_step(double milliseconds)
{
    SAVREL_SCOPE("Work", "Step");
    busy_wait(milliseconds);
}

TEST_F(RecorderTest, ScopesAndFramesMeasureWallTimeInSeconds)
{
    std::string path = recording_path();
    ASSERT_TRUE(recorder_open(path.c_str()));
    recorder_frame_begin();
    timed_step(3.0);
    timed_step(2.0);
    {
        SAVREL_SCOPE("Work", "Sleep");
        std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
    ASSERT_TRUE(recorder_frame_end());
    recorder_frame_begin();
    ASSERT_TRUE(recorder_frame_end());
    ASSERT_TRUE(recorder_close());

    profile_load(path.c_str());
    const SectionTable* table = profile_table();
    ASSERT_EQ(table->section_count, 4u);
    ASSERT_EQ(table->frame_count, 2u);
    float step = table->sections[2].values[0];
    float sleep = table->sections[3].values[0];
    // Two scopes of one item add up; slack above covers a loaded machine, not a wrong unit.
    EXPECT_GE(step, 0.0049f);
    EXPECT_LT(step, 0.1f);
    EXPECT_GE(sleep, 0.0039f);
    EXPECT_LT(sleep, 0.1f);
    EXPECT_EQ(table->sections[1].values[0], float(double(step) + double(sleep)));
    EXPECT_GE(table->sections[0].values[0], table->sections[1].values[0]);
    EXPECT_LT(table->sections[0].values[1], 0.005f);
    EXPECT_EQ(table->sections[2].values[1], 0.0f);
}

TEST_F(RecorderTest, ScopeSitesResolveAgainInEachRecording)
{
    std::string first = recording_path();
    ASSERT_TRUE(recorder_open(first.c_str()));
    timed_step(0.1);
    ASSERT_TRUE(recorder_frame_end_total(1.0f));
    ASSERT_TRUE(recorder_close());

    std::string second = recording_path();
    ASSERT_TRUE(recorder_open(second.c_str()));
    ASSERT_TRUE(recorder_add_named("Other", "First", 0.5f));
    timed_step(0.1);
    ASSERT_TRUE(recorder_frame_end_total(1.0f));
    ASSERT_TRUE(recorder_close());

    profile_load(second.c_str());
    const SectionTable* table = profile_table();
    ASSERT_EQ(table->section_count, 5u);
    EXPECT_STREQ(table->sections[2].name, "First");
    EXPECT_EQ(table->sections[2].values[0], seconds(0.5f));
    EXPECT_STREQ(table->sections[4].name, "Step");
    EXPECT_GT(table->sections[4].values[0], 0.00005f);

    // Without a recording a scope times nothing and refuses nothing loudly.
    timed_step(0.0);
    EXPECT_EQ(recorder_last_status(), RECORDER_NOT_OPEN);
}

TEST_F(RecorderTest, CloseKeepsCompletedFramesAndLateNames)
{
    std::string path = recording_path();
    ASSERT_TRUE(recorder_open(path.c_str()));
    play({{{{"A", "a1", 1.0f}, {"B", "b1", 1.5f}}, {}, {}, 2.0f}, {{{"A", "a1", 3.0f}}, {}, {}, 4.0f}});
    // Named in the frame in progress: an item of an early group and a new group.
    ASSERT_TRUE(recorder_add_named("A", "a1", 50.0f));
    ASSERT_TRUE(recorder_add_named("A", "a2", 60.0f));
    ASSERT_TRUE(recorder_add_named("C", "c1", 70.0f));
    ASSERT_TRUE(recorder_close());
    EXPECT_FALSE(recorder_close());
    EXPECT_FALSE(recorder_frame_end());
    EXPECT_EQ(recorder_last_status(), RECORDER_NOT_OPEN);

    profile_load(path.c_str());
    Expected expected = expect({{{{"A", "a1", 1.0f}, {"A", "a2", 0.0f}, {"B", "b1", 1.5f}, {"C", "c1", 0.0f}}, {}, {}, 2.0f},
                                {{{"A", "a1", 3.0f}}, {}, {}, 4.0f}});
    expect_table(expected, 2);
}

struct Refusal {
    const char* name;
    bool (*call)(void);
    RecorderStatus status;
    const char* message;  // part of the line on stderr; null when the refusal is quiet
};

const std::string kLongName(32, 'n');
const std::string kLongestName(31, 'm');

TEST_F(RecorderTest, RefusedCallsReportAndLeaveTheFileIntact)
{
    std::string path = recording_path();
    ASSERT_TRUE(recorder_open(path.c_str()));
    static RecorderSection stale, refused;
    stale = recorder_section("Old", "old");
    ASSERT_TRUE(recorder_close());
    ASSERT_TRUE(recorder_open(path.c_str()));
    testing::internal::CaptureStderr();
    refused = recorder_section("Good", kLongName.c_str());
    testing::internal::GetCapturedStderr();
    ASSERT_TRUE(recorder_add_named("Good", kLongestName.c_str(), 1.0f));
    ASSERT_TRUE(recorder_add_named(kLongestName.c_str(), "good", 2.0f));
    ASSERT_TRUE(recorder_note(std::string(255, 'x').c_str()));

    const Refusal refusals[] = {
        {"long item", [] { return recorder_add_named("Good", kLongName.c_str(), 9.0f); }, RECORDER_BAD_NAME, "nnnnnn"},
        {"long group", [] { return recorder_add_named(kLongName.c_str(), "x", 9.0f); }, RECORDER_BAD_NAME, "nnnnnn"},
        {"empty item", [] { return recorder_add_named("Good", "", 9.0f); }, RECORDER_BAD_NAME, "1 to 31"},
        {"empty group", [] { return recorder_add_named("", "x", 9.0f); }, RECORDER_BAD_NAME, "1 to 31"},
        {"long group value", [] { return recorder_group_add(kLongName.c_str(), 9.0f); }, RECORDER_BAD_NAME, "nnnnnn"},
        {"long note", [] { return recorder_note(std::string(256, 'y').c_str()); }, RECORDER_NOTE_TOO_LONG, "255"},
        {"refused section", [] { return recorder_add(refused, 9.0f); }, RECORDER_UNRESOLVED_SECTION, nullptr},
        {"stale section", [] { return recorder_add(stale, 9.0f); }, RECORDER_UNRESOLVED_SECTION, nullptr},
        {"second open", [] { return recorder_open("/tmp/never-written.bin"); }, RECORDER_ALREADY_OPEN, "already"},
    };
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.name);
        testing::internal::CaptureStderr();
        EXPECT_FALSE(refusal.call());
        std::string printed = testing::internal::GetCapturedStderr();
        EXPECT_EQ(recorder_last_status(), refusal.status);
        if (refusal.message)
            EXPECT_NE(printed.find(refusal.message), std::string::npos) << printed;
        else
            EXPECT_EQ(printed, "");
    }
    ASSERT_TRUE(recorder_frame_end_total(3.0f));
    ASSERT_TRUE(recorder_close());
    EXPECT_FALSE(file_exists("/tmp/never-written.bin"));

    profile_load(path.c_str());
    expect_table(expect({{{{"Good", kLongestName, 1.0f}, {kLongestName, "good", 2.0f}}, {}, {}, 3.0f}}), 1);
}

TEST_F(RecorderTest, NotesAndSectionsStopAtTheirLimits)
{
    std::string path = recording_path();
    ASSERT_TRUE(recorder_open(path.c_str()));
    for (int n = 0; n < RECORDER_MAX_NOTES; n++) ASSERT_TRUE(recorder_note("n"));
    EXPECT_FALSE(recorder_note("one too many"));
    EXPECT_EQ(recorder_last_status(), RECORDER_TOO_MANY_NOTES);
    ASSERT_TRUE(recorder_frame_end_total(1.0f));
    ASSERT_TRUE(recorder_note("a new frame has room again"));

    // 63 groups of 64 items and the root fill the table exactly.
    testing::internal::CaptureStderr();
    for (int g = 0; g < 63; g++)
        for (int k = 0; k < 64; k++)
            ASSERT_GE(recorder_section(("g" + std::to_string(g)).c_str(), ("i" + std::to_string(k)).c_str()).index, 0);
    EXPECT_LT(recorder_section("g0", "one more").index, 0);
    EXPECT_EQ(recorder_last_status(), RECORDER_TOO_MANY_SECTIONS);
    EXPECT_FALSE(recorder_group_add("a new group", 1.0f));
    EXPECT_EQ(recorder_last_status(), RECORDER_TOO_MANY_SECTIONS);
    std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_NE(printed.find("4096"), std::string::npos) << printed;
    EXPECT_TRUE(recorder_add_named("g62", "i63", 2.5f));
    ASSERT_TRUE(recorder_frame_end_total(2.0f));
    ASSERT_TRUE(recorder_close());

    profile_load(path.c_str());
    const SectionTable* table = profile_table();
    ASSERT_EQ(table->section_count, uint32_t(RECORDER_MAX_SECTIONS));
    ASSERT_EQ(table->frame_count, 2u);
    EXPECT_STREQ(table->sections[RECORDER_MAX_SECTIONS - 1].name, "i63");
    EXPECT_EQ(table->sections[RECORDER_MAX_SECTIONS - 1].values[1], seconds(2.5f));
    EXPECT_EQ(table->sections[RECORDER_MAX_SECTIONS - 2].values[1], 0.0f);
    EXPECT_EQ(table->sections[0].values[0], seconds(1.0f));
}

TEST_F(RecorderTest, OpenRefusesAPathThatCannotBeCreated)
{
    EXPECT_FALSE(recorder_open("/nonexistent-folder/advance_profile.bin"));
    EXPECT_EQ(recorder_last_status(), RECORDER_CANNOT_OPEN);
    EXPECT_FALSE(recorder_is_open());
}

std::vector<float> frame_totals(const SectionTable* table)
{
    return std::vector<float>(table->sections[0].values, table->sections[0].values + table->frame_count);
}

float median(std::vector<float> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

TEST(DemoTest, WritesTheSameBelievableGameLoopEveryTime)
{
    ASSERT_STRNE(SAVREL_DEMO_PATH, "");
    std::string folder = make_scratch_folder();
    ASSERT_EQ(run_program(SAVREL_DEMO_PATH, {"a.bin", "--frames", "600"}, nullptr, folder), 0);
    ASSERT_EQ(run_program(SAVREL_DEMO_PATH, {"--frames", "600", "b.bin"}, nullptr, folder), 0);
    std::string bytes = read_file(folder + "/a.bin");
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes, read_file(folder + "/b.bin"));

    profile_load((folder + "/a.bin").c_str());
    const SectionTable* table = profile_table();
    ASSERT_EQ(profile_last_status(), PROFILE_OK);
    ASSERT_EQ(table->frame_count, 600u);
    std::map<int32_t, int> items_per_group;
    for (uint32_t s = 1; s < table->section_count; s++)
        if (table->sections[s].type == SECTION_ITEM) items_per_group[table->sections[s].group_index]++;
    EXPECT_GE(items_per_group.size(), 4u);
    EXPECT_LE(items_per_group.size(), 6u);
    for (const auto& [group, items] : items_per_group) {
        EXPECT_GE(items, 2) << "group " << group;
        EXPECT_LE(items, 6) << "group " << group;
    }

    std::vector<float> totals = frame_totals(table);
    float typical = median(totals);
    // Seconds: a 16 ms frame, so the frame-total lines stand about 0.16 high.
    EXPECT_GT(typical, 0.013f);
    EXPECT_LT(typical, 0.019f);
    EXPECT_GT(*std::max_element(totals.begin(), totals.end()), 3.0f * typical) << "no loading hitch";
    int noisy =
        int(std::count_if(totals.begin(), totals.end(), [&](float t) { return std::abs(t - typical) > 0.0002f; }));
    EXPECT_GT(noisy, 300) << "no noise";
    int spikes = int(std::count_if(totals.begin(), totals.end(), [&](float t) { return t > typical * 1.12f; }));
    EXPECT_GE(spikes, 600 / 90) << "no periodic spikes";

    // Exactly one section is silent for the first half and busy in the second.
    int late = 0;
    for (uint32_t s = 1; s < table->section_count; s++) {
        const float* values = table->sections[s].values;
        bool silent = std::all_of(values, values + 300, [](float v) { return v == 0.0f; });
        bool busy = std::all_of(values + 300, values + 600, [](float v) { return v > 0.0f; });
        if (silent && busy) late++;
    }
    EXPECT_EQ(late, 1);
}

TEST(DemoTest, RefusesBadArgumentsAndDefaultsToTheViewersFile)
{
    ASSERT_STRNE(SAVREL_DEMO_PATH, "");
    std::string folder = make_scratch_folder();
    for (std::vector<std::string> arguments : std::vector<std::vector<std::string>>{
             {"--frames"}, {"--frames", "0"}, {"--frames", "12x"}, {"--colour"}, {"a.bin", "b.bin"}}) {
        EXPECT_EQ(run_program(SAVREL_DEMO_PATH, arguments, nullptr, folder), 2) << arguments[0];
    }
    EXPECT_FALSE(file_exists(folder + "/advance_profile.bin"));
    ASSERT_EQ(run_program(SAVREL_DEMO_PATH, {"--frames", "5"}, nullptr, folder), 0);
    profile_load((folder + "/advance_profile.bin").c_str());
    EXPECT_EQ(profile_table()->frame_count, 5u);
}

// The run folder as `make run` prepares it: a build folder whose tools/ holds the demo.
std::string fake_build_folder(void)
{
    std::string build = make_scratch_folder();
    EXPECT_EQ(run_program("/bin/mkdir", {build + "/tools"}), 0);
    EXPECT_EQ(symlink(SAVREL_DEMO_PATH, (build + "/tools/savrel-demo").c_str()), 0);
    return build;
}

int prepare_run(const std::string& build)
{
    return run_program("/bin/bash", {std::string(SAVREL_SOURCE_DIR) + "/scripts/prepare-run.sh", build});
}

TEST(PrepareRunTest, WritesTheDemoOnlyWhereNoneIsAndNoExampleSettings)
{
    ASSERT_STRNE(SAVREL_DEMO_PATH, "");
    std::string build = fake_build_folder();
    ASSERT_EQ(prepare_run(build), 0);
    profile_load((build + "/run/advance_profile.bin").c_str());
    EXPECT_EQ(profile_last_status(), PROFILE_OK);
    EXPECT_EQ(profile_table()->frame_count, 3000u);
    EXPECT_FALSE(file_exists(build + "/run/sv_config.cfg"));
    EXPECT_FALSE(file_exists(build + "/run/advance_profile.bin.demo"));

    // The misleading example an earlier version wrote goes; nothing else does.
    write_file(build + "/run/sv_config.cfg",
               "profile_file advance_profile.bin\nstdout_file my_stdout.txt\nstderr_file my_stderr.txt\n");
    ASSERT_EQ(prepare_run(build), 0);
    EXPECT_FALSE(file_exists(build + "/run/sv_config.cfg"));

    // A user's own files stay as they are.
    write_file(build + "/run/advance_profile.bin", "mine");
    write_file(build + "/run/sv_config.cfg", "my settings\n");
    ASSERT_EQ(prepare_run(build), 0);
    EXPECT_EQ(read_file(build + "/run/advance_profile.bin"), "mine");
    EXPECT_EQ(read_file(build + "/run/sv_config.cfg"), "my settings\n");

    // Each file is looked at on its own.
    std::string other = fake_build_folder();
    ASSERT_EQ(run_program("/bin/mkdir", {other + "/run"}), 0);
    write_file(other + "/run/sv_config.cfg", "kept 1\n");
    ASSERT_EQ(prepare_run(other), 0);
    EXPECT_EQ(read_file(other + "/run/sv_config.cfg"), "kept 1\n");
    profile_load((other + "/run/advance_profile.bin").c_str());
    EXPECT_EQ(profile_table()->frame_count, 3000u);
}

}  // namespace
