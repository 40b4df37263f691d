// savrel-import end to end: one committed trace per mapping rule with its exact values, the
// section limit, and damaged traces that must end with status 0 or 1 and a message.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "profile/profile.h"
#include "recorder/format.h"
#include "tests/support/process_support.h"

namespace {

const int kImportTimeoutMilliseconds = 60000;

struct ExpectedSection {
    SectionType type;
    const char* name;  // the root's is not checked
    std::vector<double> milliseconds;  // one per frame
};

struct RuleCase {
    const char* trace;
    std::vector<std::string> options;
    std::vector<const char*> says;  // parts of the output
    std::vector<ExpectedSection> sections;
};

std::string data_path(const std::string& name)
{
    return std::string(SAVREL_SOURCE_DIR) + "/tests/data/import/" + name;
}

class ImportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::string(SAVREL_IMPORT_PATH).empty()) GTEST_SKIP() << "savrel-import is not built";
        folder_ = make_scratch_folder();
        out_ = folder_ + "/out.bin";
    }

    void TearDown() override
    {
        if (!folder_.empty()) run_program("/bin/rm", {"-rf", folder_});
    }

    int import(std::vector<std::string> arguments, std::string* output)
    {
        return run_program(SAVREL_IMPORT_PATH, arguments, output, folder_, kImportTimeoutMilliseconds);
    }

    std::string folder_;
    std::string out_;
};

// The notes of every frame, read the way the format lays frame records out.
std::vector<std::vector<std::string>> frame_notes(const std::string& bytes)
{
    std::vector<std::vector<std::string>> frames;
    ProfileReader reader{reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 0, false};
    while (reader.position < reader.size && bytes[reader.position] != SAVREL_TAG_STRUCTURE && !reader.overrun) {
        reader.position += SAVREL_TAG_SIZE + SAVREL_F32_SIZE;
        uint32_t groups = profile_read_u32(&reader);
        for (uint32_t group = 0; group < groups && !reader.overrun; group++) {
            profile_read_float(&reader);
            uint32_t items = profile_read_u32(&reader);
            reader.position += size_t(items) * SAVREL_F32_SIZE;
        }
        frames.emplace_back();
        uint32_t notes = profile_read_u32(&reader);
        char note[SAVREL_NOTE_SIZE + 1];
        for (uint32_t index = 0; index < notes && !reader.overrun; index++) {
            profile_read_string(&reader, note, sizeof note);
            frames.back().push_back(note);
        }
    }
    return frames;
}

void expect_table(const std::vector<ExpectedSection>& expected)
{
    const SectionTable* table = profile_table();
    ASSERT_EQ(profile_last_status(), PROFILE_OK) << profile_last_detail();
    ASSERT_EQ(table->section_count, expected.size());
    ASSERT_EQ(table->frame_count, expected[0].milliseconds.size());
    for (size_t index = 0; index < expected.size(); index++) {
        const Section& section = table->sections[index];
        EXPECT_EQ(section.type, expected[index].type) << index;
        if (expected[index].type != SECTION_ROOT) {
            EXPECT_STREQ(section.name, expected[index].name) << index;
        }
        for (size_t frame = 0; frame < expected[index].milliseconds.size(); frame++) {
            EXPECT_FLOAT_EQ(section.values[frame], float(expected[index].milliseconds[frame] / 1000.0)) << section.name << " frame " << frame;
        }
    }
}

const SectionType R = SECTION_ROOT, G = SECTION_GROUP, I = SECTION_ITEM;

const std::vector<RuleCase> kRules = {
    // Object form with traceEvents between other members; X events out of order (the longer
    // first at equal starts); string pid; fractional times; a deeper event adds nothing; the
    // other kinds of events are read past.
    {"object_members.json", {"--frame", "frame"}, {"2 frames of \"frame\" on \"Main\" (pid renderer, tid 7), 5 sections", "1 E events without a B", "7 counter"}, {{R, "", {16, 12}}, {G, "paint", {4, 2}}, {I, "layout", {2.5, 0}}, {I, "(self)", {1.5, 2}}, {G, "script", {3, 0}}}},
    // A bare array never closed, cut after a comma; nested B/E pairs; pid or tid missing.
    {"bare_unclosed.json", {"--frame", "tick"}, {"2 frames of \"tick\" on \"thread 3\" (pid 3, tid 3), 4 sections", "1 E events without a B", "1 B events never ended"}, {{R, "", {10, 4}}, {G, "update", {4, 2.5}}, {I, "ai", {1, 0}}, {I, "(self)", {3, 2.5}}}},
    // No --frame: the loop body, not main (which holds the frames and so is no group).
    {"automatic.json", {}, {"frames are the 10 \"body\" events on \"thread 1\"", "nothing left out"}, {{R, "", {10, 10, 10, 10, 10, 10, 10, 10, 10, 8}}, {G, "work", {5, 5, 5, 5, 5, 5, 5, 5, 5, 5}}}},
    // Other threads by overlap; same names merge; same thread names kept apart.
    {"other_threads.json", {"--frame", "frame"}, {"3 frames", "7 sections"}, {{R, "", {10, 10, 8}}, {G, "Loader", {5, 10, 5}}, {I, "job", {5, 10, 5}}, {G, "Loader~2", {1, 0, 0}}, {I, "decode", {1, 0, 0}}, {G, "thread 9", {0, 1.5, 0}}, {I, "gc", {0, 1.5, 0}}}},
    // Instants mark frames; the last frame ends where its instant is.
    {"notes.json", {"--frame", "vsync", "--thread", "1:1"}, {"3 frames", "1 events outside every frame", "2 notes past 16 in a frame"}, {{R, "", {16, 16, 0}}, {G, "draw", {4, 0, 0}}}},
    // Names cut to 31 bytes on a character boundary; colliding cuts kept apart; control characters and empty names.
    {"long_names.json", {"--frame", "f"}, {"6 sections"}, {{R, "", {10, 10}}, {G, "AVeryLongFunctionNameThatGoesOn", {1, 0.5}}, {G, "AVeryLongFunctionNameThatGoes~2", {2, 0}}, {G, "tab here", {0.5, 0}}, {G, "(unnamed)", {0.25, 0}}, {G, "\xC3\x84\xC3\x84\xC3\x84\xC3\x84\xC3\x84\xC3\x84\xC3\x84\xC3\x84\xC3\x84\xC3\x84\xC3\x84\xC3\x84\xC3\x84\xC3\x84\xC3\x84", {0.125, 0}}}},
};

TEST_F(ImportTest, EachRuleGivesItsExactSections)
{
    for (const RuleCase& rule : kRules) {
        SCOPED_TRACE(rule.trace);
        std::vector<std::string> arguments = rule.options;
        arguments.push_back(data_path(rule.trace));
        arguments.push_back(out_);
        std::string output;
        ASSERT_EQ(import(arguments, &output), 0) << output;
        for (const char* part : rule.says) EXPECT_NE(output.find(part), std::string::npos) << part << " in " << output;
        profile_load(out_.c_str());
        expect_table(rule.sections);
    }
}

TEST_F(ImportTest, InstantsBecomeNotesAtMostSixteenAFrame)
{
    std::string output;
    ASSERT_EQ(import({"--frame", "vsync", data_path("notes.json"), out_}, &output), 0) << output;
    std::vector<std::vector<std::string>> notes = frame_notes(read_file(out_));
    ASSERT_EQ(notes.size(), 3u);
    ASSERT_EQ(notes[0].size(), 16u);
    for (int index = 0; index < 16; index++) EXPECT_EQ(notes[0][index], "note " + std::to_string(index + 1));
    ASSERT_EQ(notes[1].size(), 2u);
    EXPECT_EQ(notes[1][0], "late");
    EXPECT_EQ(notes[1][1], std::string(SAVREL_NOTE_SIZE - 1, 'x'));
    EXPECT_TRUE(notes[2].empty());
}

// A pipe is read whole rather than mapped; the recording is the same byte for byte.
TEST_F(ImportTest, APipeGivesTheSameRecordingAsTheFile)
{
    std::string output;
    ASSERT_EQ(import({"--frame", "frame", data_path("other_threads.json"), out_}, &output), 0) << output;
    std::string command = "cat '" + data_path("other_threads.json") + "' | '" + SAVREL_IMPORT_PATH + "' --frame frame /dev/stdin piped.bin";
    ASSERT_EQ(run_program("/bin/sh", {"-c", command}, &output, folder_, kImportTimeoutMilliseconds), 0) << output;
    std::string piped = read_file(folder_ + "/piped.bin");
    EXPECT_FALSE(piped.empty());
    EXPECT_EQ(piped, read_file(out_));
}

// 5000 items in one group: root, group, 5000 items and (self) make 5003 sections. Folding the
// 908 smallest (the first 908 items, 10 us each) into "(other)" leaves exactly 4096.
TEST_F(ImportTest, SmallestItemsFoldIntoOtherPastTheSectionLimit)
{
    std::string trace =
        "[{\"ph\":\"X\",\"name\":\"frame\",\"ts\":0,\"dur\":1000000,\"tid\":1},\n"
        "{\"ph\":\"X\",\"name\":\"big\",\"ts\":0,\"dur\":900000,\"tid\":1}";
    double start = 0;
    for (int item = 0; item < 5000; item++) {
        int duration = item < 1000 ? 10 : 100;
        trace += ",\n{\"ph\":\"X\",\"name\":\"c" + std::to_string(item) + "\",\"ts\":" + std::to_string(start) + ",\"dur\":" + std::to_string(duration) + ",\"tid\":1}";
        start += duration;
    }
    write_file(folder_ + "/wide.json", trace + "]");
    std::string output;
    ASSERT_EQ(import({"--frame", "frame", "wide.json", out_}, &output), 0) << output;
    EXPECT_NE(output.find("4096 sections; left out: 908 smallest sections folded into \"(other)\""), std::string::npos) << output;
    profile_load(out_.c_str());
    const SectionTable* table = profile_table();
    ASSERT_EQ(table->section_count, uint32_t(SAVREL_MAX_SECTIONS));
    EXPECT_STREQ(table->sections[1].name, "big");
    EXPECT_FLOAT_EQ(table->sections[1].values[0], 0.9f);
    EXPECT_STREQ(table->sections[2].name, "c908");
    EXPECT_FLOAT_EQ(table->sections[2].values[0], 10e-6f);
    EXPECT_STREQ(table->sections[3].name, "c909");
    EXPECT_STREQ(table->sections[4093].name, "c4999");
    EXPECT_FLOAT_EQ(table->sections[4093].values[0], 100e-6f);
    EXPECT_STREQ(table->sections[4094].name, "(self)");
    EXPECT_FLOAT_EQ(table->sections[4094].values[0], 0.49f);
    EXPECT_STREQ(table->sections[4095].name, "(other)");
    EXPECT_FLOAT_EQ(table->sections[4095].values[0], 908 * 10e-6f);
}

// Cuts of a bare array (every cut next to a brace or comma, and every fourth byte elsewhere,
// which keeps the run short on a busy machine): between two events it is still a trace;
// inside one it is malformed, named with its byte offset, and no recording is left behind.
TEST_F(ImportTest, BareArrayCutAnywhere)
{
    std::string whole = read_file(data_path("bare_unclosed.json"));
    ASSERT_FALSE(whole.empty());
    int depth = 0;
    for (size_t cut = 0; cut <= whole.size(); cut++) {
        if (cut > 0) depth += (whole[cut - 1] == '[' || whole[cut - 1] == '{') - (whole[cut - 1] == ']' || whole[cut - 1] == '}');
        bool near_boundary = (cut > 0 && std::strchr("{},", whole[cut - 1])) || (cut < whole.size() && std::strchr("{},", whole[cut]));
        if (!near_boundary && cut % 4 != 0) continue;
        write_file(folder_ + "/cut.json", whole.substr(0, cut));
        std::string output;
        int status = import({"--frame", "tick", "cut.json", out_}, &output);
        SCOPED_TRACE("cut at " + std::to_string(cut) + ": " + output);
        ASSERT_TRUE(status == 0 || status == 1);
        ASSERT_FALSE(output.empty());
        EXPECT_EQ(file_exists(out_), status == 0);
        bool malformed = output.find("malformed JSON at byte ") != std::string::npos;
        EXPECT_EQ(malformed, depth != 1);
        if (depth > 1) {
            EXPECT_NE(output.find("at byte " + std::to_string(cut) + ":"), std::string::npos);
        }
        unlink(out_.c_str());
    }
}

struct DamagedCase {
    const char* what;
    std::string text;
    int status;
    const char* says;
};

std::string repeated(const char* text, size_t count)
{
    std::string out;
    for (size_t index = 0; index < count; index++) out += text;
    return out;
}

TEST_F(ImportTest, DamagedTracesEndWithAStatusAndAMessage)
{
    const std::vector<DamagedCase> cases = {
        {"empty", "", 1, "malformed JSON at byte 0"},
        {"a number", "42", 1, "neither an array nor an object"},
        {"no traceEvents", "{\"events\": []}", 1, "no traceEvents array"},
        {"wrong types", "[{\"name\":5,\"ph\":\"X\",\"ts\":\"a\",\"dur\":[1],\"pid\":{},\"tid\":true}]", 1, "no events with a time"},
        {"huge numbers", "[{\"name\":\"f\",\"ph\":\"X\",\"ts\":1e308,\"dur\":1e308,\"tid\":1e300}]", 1, "no events with a time"},
        {"out of range", "[{\"name\":\"f\",\"ph\":\"X\",\"ts\":1e400}]", 1, "malformed JSON at byte"},
        {"deep nesting", repeated("[", 100000), 1, "nesting deeper than"},
        {"deep inside an event", "[{\"args\":" + repeated("{\"a\":", 100000), 1, "nesting deeper than"},
        {"a zero byte", std::string("[{\"name\":\"f\"}\0]", 15), 1, "a zero byte"},
        {"negative duration", "[{\"name\":\"f\",\"ph\":\"X\",\"ts\":1,\"dur\":-1,\"tid\":1},{\"name\":\"f\",\"ph\":\"X\",\"ts\":1,\"dur\":1,\"tid\":1}]", 0, "1 events with a missing or unusable field"},
        {"elements not events", "[1, \"x\", [2], null, {\"name\":\"f\",\"ph\":\"i\",\"ts\":5}]", 0, "4 events with a missing"},
    };
    for (const DamagedCase& damaged : cases) {
        SCOPED_TRACE(damaged.what);
        write_file(folder_ + "/damaged.json", damaged.text);
        std::string output;
        EXPECT_EQ(import({"--frame", "f", "damaged.json", out_}, &output), damaged.status) << output;
        EXPECT_NE(output.find(damaged.says), std::string::npos) << output;
        EXPECT_EQ(file_exists(out_), damaged.status == 0);
        unlink(out_.c_str());
    }
}

TEST_F(ImportTest, UsageUnreadableAndNoFrames)
{
    std::string output;
    EXPECT_EQ(import({data_path("automatic.json")}, &output), 2);
    EXPECT_NE(output.find("usage: savrel-import"), std::string::npos) << output;
    EXPECT_EQ(import({"--bogus", data_path("automatic.json"), out_}, &output), 2);
    EXPECT_EQ(import({"missing.json", out_}, &output), 1);
    EXPECT_NE(output.find("missing.json: cannot read"), std::string::npos) << output;
    EXPECT_EQ(import({"--frame", "nothing", data_path("automatic.json"), out_}, &output), 1);
    EXPECT_NE(output.find("no event named \"nothing\""), std::string::npos) << output;
    EXPECT_EQ(import({"--thread", "77", data_path("automatic.json"), out_}, &output), 1);
    EXPECT_NE(output.find("no thread matches \"77\""), std::string::npos) << output;
    // No name reaches ten at one level here.
    EXPECT_EQ(import({data_path("object_members.json"), out_}, &output), 1);
    EXPECT_NE(output.find("--frame"), std::string::npos) << output;
    EXPECT_FALSE(file_exists(out_));
    // A failed import leaves an existing recording as it was.
    write_file(out_, "old");
    EXPECT_EQ(import({"--frame", "f", data_path("bare_unclosed.json"), out_}, &output), 1);
    EXPECT_EQ(read_file(out_), "old");
    EXPECT_EQ(run_program("/bin/sh", {"-c", "ls " + folder_ + " | grep -c tmp"}, &output), 1) << output;
}

}  // namespace
