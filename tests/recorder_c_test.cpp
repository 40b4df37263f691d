// The C scope calls: a call site's section follows each new recording, and a scope begun with
// nothing open times nothing.
#include "recorder/recorder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "profile/profile.h"
#include "tests/support/process_support.h"

namespace {

void timed(RecorderSection* site, const char* item)
{
    RecorderToken scope = recorder_scope_begin(site, "Work", item);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    recorder_scope_end(scope);
}

// Loads a recording of group "Work" and checks its items' order and which frames timed them.
void expect_timed(const std::string& path, const std::vector<std::string>& items,
                  const std::vector<std::vector<bool>>& timed_in_frame)
{
    profile_load(path.c_str());
    const SectionTable* table = profile_table();
    ASSERT_EQ(profile_last_status(), PROFILE_OK);
    ASSERT_EQ(table->section_count, 2 + items.size());
    ASSERT_EQ(table->frame_count, timed_in_frame.size());
    for (size_t k = 0; k < items.size(); k++) {
        const Section& section = table->sections[2 + k];
        EXPECT_EQ(std::string(section.name), items[k]);
        for (size_t f = 0; f < timed_in_frame.size(); f++) {
            if (timed_in_frame[f][k])
                EXPECT_GT(section.values[f], 0) << items[k] << " in frame " << f;
            else
                EXPECT_EQ(section.values[f], 0) << items[k] << " in frame " << f;
        }
    }
}

TEST(RecorderCScope, SitesFollowEachRecording)
{
    recorder_set_self_time(false);
    std::string folder = make_scratch_folder();
    RecorderSection a = {-1, 0};
    RecorderSection b = {-1, 0};
    RecorderToken before_open = recorder_scope_begin(&a, "Work", "A");

    ASSERT_TRUE(recorder_open((folder + "/first.bin").c_str()));
    recorder_scope_end(before_open);
    timed(&b, "B");
    ASSERT_TRUE(recorder_frame_end());
    timed(&a, "A");
    ASSERT_TRUE(recorder_frame_end());
    ASSERT_TRUE(recorder_close());

    // Both sites still hold the first recording's sections, in the other order.
    ASSERT_TRUE(recorder_open((folder + "/second.bin").c_str()));
    timed(&a, "A");
    ASSERT_TRUE(recorder_frame_end());
    timed(&b, "B");
    ASSERT_TRUE(recorder_frame_end());
    ASSERT_TRUE(recorder_close());

    expect_timed(folder + "/first.bin", {"B", "A"}, {{true, false}, {false, true}});
    expect_timed(folder + "/second.bin", {"A", "B"}, {{true, false}, {false, true}});
    std::filesystem::remove_all(folder);
}

}  // namespace
