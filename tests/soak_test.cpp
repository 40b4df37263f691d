// A short soak of the built viewer: random input for half a minute with each recording.
#include <gtest/gtest.h>

#include <string>

#include "profile/profile.h"
#include "tests/support/process_support.h"

namespace {

const char* const kSeconds = "30";

// The whole line of the output that begins with the given text, or "".
std::string line_starting(const std::string& output, const std::string& start)
{
    size_t at = output.find(start);
    if (at == std::string::npos) return "";
    return output.substr(at, output.find('\n', at) - at);
}

TEST(Soak, ViewerOutlastsRandomInputWithALargeAndADamagedRecording)
{
    ASSERT_STRNE(SAVREL_PATH, "");
    ASSERT_STRNE(SAVREL_X11_DRIVER_PATH, "");
    std::string script = std::string(SAVREL_SOURCE_DIR) + "/scripts/soak.sh";
    std::string output;
    int status = run_program("/bin/bash",
                             {script, "--seconds", kSeconds, "--viewer", SAVREL_PATH, "--driver", SAVREL_X11_DRIVER_PATH},
                             &output, "", 280000);
    EXPECT_EQ(status, 0) << output;
    // Each run reports itself; the damaged recording must really load, or the soak would
    // only show an empty graph.
    std::string large = line_starting(output, std::string("soak big: ") + kSeconds + " s");
    std::string damaged = line_starting(output, std::string("soak damaged: ") + kSeconds + " s");
    EXPECT_NE(large.find("Profile loaded"), std::string::npos) << output;
    EXPECT_NE(damaged.find(profile_status_text(PROFILE_COUNT_MISMATCH)), std::string::npos) << output;
    for (const std::string& line : {large, damaged}) EXPECT_NE(line.find("exit status 0"), std::string::npos) << output;
    EXPECT_NE(output.find("soak passed"), std::string::npos) << output;
}

}  // namespace
