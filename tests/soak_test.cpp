// A short soak of the built viewer: random input for half a minute with each recording, and
// the same soak's memory verdict against a viewer that leaks 4 KB a frame.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "profile/profile.h"
#include "tests/support/process_support.h"

namespace {

const char* const kSeconds = "30";
const long kLeakBytes = 4096;  // what savrel-leaking leaks in each draw pass

// The whole line of the output that begins with the given text, or "".
std::string line_starting(const std::string& output, const std::string& start)
{
    size_t at = output.find(start);
    if (at == std::string::npos) return "";
    return output.substr(at, output.find('\n', at) - at);
}

int soak(const char* viewer, const std::vector<std::string>& options, std::string* output)
{
    std::string script = std::string(SAVREL_SOURCE_DIR) + "/scripts/soak.sh";
    std::vector<std::string> arguments = {script, "--seconds", kSeconds, "--viewer", viewer,
                                          "--driver", SAVREL_X11_DRIVER_PATH, "--make-inputs",
                                          SAVREL_MAKE_INPUTS_PATH};
    if (SAVREL_HEAP_COUNT_PATH[0]) arguments.insert(arguments.end(), {"--heap-count", SAVREL_HEAP_COUNT_PATH});
    arguments.insert(arguments.end(), options.begin(), options.end());
    return run_program("/bin/bash", arguments, output, "", 280000);
}

// Our heap after the warm-up and at the end, from a run's summary line.
struct HeapReadings {
    long base_bytes, base_blocks, end_bytes, end_blocks;
};

bool heap_readings(const std::string& line, HeapReadings* readings)
{
    size_t at = line.find("our heap ");
    return at != std::string::npos &&
           std::sscanf(line.c_str() + at, "our heap %ld bytes in %ld blocks after warm-up, %ld bytes in %ld blocks at end",
                       &readings->base_bytes, &readings->base_blocks, &readings->end_bytes,
                       &readings->end_blocks) == 4;
}

TEST(Soak, ViewerOutlastsRandomInputWithALargeAndADamagedRecording)
{
    ASSERT_STRNE(SAVREL_PATH, "");
    ASSERT_STRNE(SAVREL_X11_DRIVER_PATH, "");
    std::string output;
    int status = soak(SAVREL_PATH, {}, &output);
    EXPECT_EQ(status, 0) << output;
    // Each run reports itself; the damaged recording must really load, or the soak would
    // only show an empty graph.
    std::string large = line_starting(output, std::string("soak big: ") + kSeconds + " s");
    std::string damaged = line_starting(output, std::string("soak damaged: ") + kSeconds + " s");
    EXPECT_NE(large.find("Profile loaded"), std::string::npos) << output;
    EXPECT_NE(damaged.find(profile_status_text(PROFILE_COUNT_MISMATCH)), std::string::npos) << output;
    for (const std::string& line : {large, damaged}) EXPECT_NE(line.find("exit status 0"), std::string::npos) << output;
    // The count sees our own blocks: at least the large recording's section records.
    HeapReadings heap = {};
    if (SAVREL_HEAP_COUNT_PATH[0]) {
        EXPECT_TRUE(heap_readings(large, &heap)) << output;
        EXPECT_GE(heap.base_bytes, 256 * long(sizeof(Section))) << large;
    }
    EXPECT_NE(output.find("soak passed"), std::string::npos) << output;
}

// The verdict's proof: a leak far smaller than the driver's spread in resident memory fails
// it within the soak's CI length, and the count holds nothing of the driver's, so the growth
// is the leak exactly.
TEST(Soak, LeakOfFourKilobytesAFrameFailsTheMemoryVerdict)
{
    if (!SAVREL_LEAKING_PATH[0] || !SAVREL_HEAP_COUNT_PATH[0]) GTEST_SKIP() << "a sanitized build counts no heap";
    std::string output;
    int status = soak(SAVREL_LEAKING_PATH, {"--only", "big"}, &output);
    EXPECT_NE(status, 0) << output;
    std::string line = line_starting(output, std::string("soak big: ") + kSeconds + " s");
    EXPECT_NE(line.find("GL errors 0; exit status 0"), std::string::npos) << output;
    EXPECT_NE(output.find("soak big: our heap grew "), std::string::npos) << output;
    HeapReadings heap;
    ASSERT_TRUE(heap_readings(line, &heap)) << output;
    long grown = heap.end_bytes - heap.base_bytes;
    EXPECT_GE(grown, 32768) << line;
    EXPECT_EQ(grown % kLeakBytes, 0) << line;
    EXPECT_EQ(heap.end_blocks - heap.base_blocks, grown / kLeakBytes) << line;
    EXPECT_EQ(output.find("soak passed"), std::string::npos) << output;
    // A failed soak keeps its run folders for a look; when it failed only as it should, they go.
    std::string folders = line_starting(output, "soak failed; the run folders are in /tmp/savrel-soak-");
    if (!HasFailure() && !folders.empty()) std::filesystem::remove_all(folders.substr(folders.find("/tmp/")));
}

}  // namespace
