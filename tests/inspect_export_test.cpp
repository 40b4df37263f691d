// savrel-inspect's JSON and CSV, compared byte for byte with what the exports wrote when they
// were built whole in memory (a JSON tree and printf). The golden files under
// tests/data/exports were captured from that build on these same recordings:
// SAVREL_INSPECT=<that savrel-inspect> SAVREL_WRITE_GOLDEN=1 savrel_tests --gtest_filter='InspectExport*'
// writes them again.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "profile/encoder.h"
#include "tests/support/process_support.h"

namespace {

const float kInfinity = std::numeric_limits<float>::infinity();
const float kNan = std::numeric_limits<float>::quiet_NaN();

float from_bits(uint32_t bits)
{
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Names and notes a program may well write: control characters, quotes, backslashes, commas,
// valid and invalid UTF-8 (a lone continuation byte, a cut sequence, an overlong form, an
// encoded surrogate, a byte that never starts one). Values at the edges of float text: ties
// between two shortest texts, integers, signed zero, the smallest and largest, and no number.
ProfileBytes odd_recording()
{
    std::vector<EncodedGroupNames> names = {
        {"Ctrl\x01\t\n\x1f\x7f", {"quote\"back\\slash", "comma,field", "caf\xc3\xa9 \xf0\x9f\x98\x80"}},
        {"bad \x80 byte", {"cut \xe2\x82", "over\xc0\xaf", "sur\xed\xa0\x80", "\xff\xfe end"}},
        {"Wait", {}}};
    const float values[] = {164.015625f, 0.016f, 1.0f, 3e-5f, -0.0f, 1e-45f, 3.4e38f, kNan, kInfinity, -kInfinity,
                            219772.875f, 123456.5f, 1e7f, 0.1f, 9.9999995e-5f, 1.17549435e-38f, 2.5f, 0.5e-3f};
    const size_t count = sizeof values / sizeof values[0];
    ProfileBytes bytes;
    for (size_t frame = 0; frame < 24; frame++) {
        auto value = [&](size_t offset) { return values[(frame + offset) % count]; };
        std::vector<std::string> notes;
        if (frame % 5 == 1) notes = {"note \"q\" \\ \x02", "half \xe2\x82", ""};
        profile_encode_frame(&bytes, value(0), {{value(1), {value(2), value(3), value(4)}}, {value(5), {value(6), value(7), value(8), value(9)}}, {value(10), {}}},
                             notes);
    }
    profile_encode_structure(&bytes, names);
    return bytes;
}

// Any float at all: raw bit patterns from a fixed seed.
ProfileBytes random_recording()
{
    std::mt19937 bits(26);
    std::vector<EncodedGroupNames> names = {{"G", {"a", "b", "c", "d"}}, {"H", {"e", "f", "g"}}};
    ProfileBytes bytes;
    for (int frame = 0; frame < 150; frame++) {
        std::vector<float> draws(10);
        for (float& draw : draws) draw = from_bits(uint32_t(bits()));
        profile_encode_frame(&bytes, draws[0], {{draws[1], {draws[2], draws[3], draws[4], draws[5]}}, {draws[6], {draws[7], draws[8], draws[9]}}}, {});
    }
    profile_encode_structure(&bytes, names);
    return bytes;
}

// Timings of the sizes programs record, in seconds, with notes here and there.
ProfileBytes timing_recording()
{
    std::mt19937 bits(7);
    std::vector<EncodedGroupNames> names = {{"Update", {"physics", "ai"}}, {"Render", {"scene", "ui", "present"}}, {"Idle", {}}};
    ProfileBytes bytes;
    for (int frame = 0; frame < 200; frame++) {
        std::vector<float> items(5);
        for (float& item : items) item = float(bits() % 4000000) * 1e-9f;
        float update = items[0] + items[1], render = items[2] + items[3] + items[4];
        std::vector<std::string> notes;
        if (frame % 17 == 0) notes = {"level " + std::to_string(frame)};
        profile_encode_frame(&bytes, (update + render) / 0.95f, {{update, {items[0], items[1]}}, {render, {items[2], items[3], items[4]}}, {0.0005f, {}}}, notes);
    }
    profile_encode_structure(&bytes, names);
    return bytes;
}

// The loader refuses it: frames but no structure record.
ProfileBytes broken_recording()
{
    ProfileBytes bytes;
    profile_encode_frame(&bytes, 0.016f, {{0.01f, {0.01f}}}, {"lost"});
    return bytes;
}

struct ExportCase {
    const char* golden;
    ProfileBytes (*recording)();
    std::vector<std::string> arguments;
    int status;
};

const ExportCase kCases[] = {
    {"odd.json", odd_recording, {"--json"}, 0},
    {"odd.csv", odd_recording, {"--csv"}, 0},
    {"odd_range.json", odd_recording, {"--json", "--frames", "5..17", "--spikes", "2"}, 0},
    {"odd_range.csv", odd_recording, {"--csv", "--frames", "20.."}, 0},
    {"random.json", random_recording, {"--json", "--spikes", "4"}, 0},
    {"random.csv", random_recording, {"--csv"}, 0},
    {"timing.json", timing_recording, {"--json"}, 0},
    {"timing.csv", timing_recording, {"--csv"}, 0},
    {"timing_one.json", timing_recording, {"--json", "--frames", "150..150", "--spikes", "0"}, 0},
    {"broken.json", broken_recording, {"--json"}, 1},
};

class InspectExportTest : public ::testing::TestWithParam<ExportCase> {};

TEST_P(InspectExportTest, MatchesTheTreeBuiltOutputByteForByte)
{
    const char* chosen = std::getenv("SAVREL_INSPECT");
    std::string program = chosen ? chosen : SAVREL_INSPECT_PATH;
    if (program.empty()) GTEST_SKIP() << "savrel-inspect is not built";
    const ExportCase& test = GetParam();
    std::string folder = make_scratch_folder();
    ProfileBytes bytes = test.recording();
    std::string path = folder + "/recording.bin";
    write_file(path, std::string(bytes.begin(), bytes.end()));
    std::vector<std::string> arguments = test.arguments;
    arguments.push_back(path);
    std::string output;
    EXPECT_EQ(run_program(program, arguments, &output), test.status) << output;
    std::string golden = std::string(SAVREL_SOURCE_DIR) + "/tests/data/exports/" + test.golden;
    if (std::getenv("SAVREL_WRITE_GOLDEN")) write_file(golden, output);
    std::string expected = read_file(golden);
    ASSERT_FALSE(expected.empty()) << golden;
    EXPECT_EQ(output, expected) << test.golden;
}

INSTANTIATE_TEST_SUITE_P(Recordings, InspectExportTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ExportCase>& info) {
                             std::string name = info.param.golden;
                             for (char& character : name)
                                 if (character == '.') character = '_';
                             return name;
                         });

}  // namespace
