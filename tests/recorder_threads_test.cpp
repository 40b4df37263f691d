// The recorder from many threads, and the copy that makes room for a late section.
#include "recorder/recorder.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <barrier>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "profile/profile.h"
#include "profile/reader.h"
#include "tests/support/process_support.h"

namespace {

float seconds(float milliseconds)
{
    return float(double(milliseconds) / 1000.0);
}

std::string recording_path(void)
{
    return make_scratch_folder() + "/advance_profile.bin";
}

class RecorderThreadsTest : public ::testing::Test {
protected:
    // These tests assert exact layouts, which the recorder's own item would shift.
    void SetUp() override { recorder_set_self_time(false); }
    void TearDown() override
    {
        if (recorder_is_open()) recorder_close();
    }
};

const int kWorkers = 4;
const int kLockstepFrames = 200;

// What worker `worker` adds to its own item in `frame`, in milliseconds; multiples of 1/4.
float own_value(int worker, int frame)
{
    return float((frame * 7 + worker * 3) % 40) * 0.25f + 0.25f;
}

// Four workers and the frame thread meet twice a frame: the workers add known values (one
// through a short-lived thread that exits before the frame ends, some to a shared item, one
// naming a late item in the first group) and the frame thread ends the frame in between.
void record_in_lockstep(const std::string& path)
{
    ASSERT_TRUE(recorder_open(path.c_str()));
    std::barrier meet(kWorkers + 1);
    std::vector<std::thread> workers;
    for (int worker = 0; worker < kWorkers; worker++) {
        workers.emplace_back([&meet, worker] {
            std::string item = "Worker" + std::to_string(worker);
            RecorderSection own = recorder_section("Jobs", item.c_str());
            for (int frame = 0; frame < kLockstepFrames; frame++) {
                recorder_add(own, own_value(worker, frame));
                recorder_add_named("Shared", "All", 0.5f);
                if (worker == 1 && frame % 10 == 3)
                    std::thread([frame] { recorder_add_named("Shared", "Brief", float(frame) * 0.25f); }).join();
                if (worker == 2 && frame >= kLockstepFrames / 2) recorder_add_named("Jobs", "Late", 1.25f);
                if (worker == 3 && frame % 4 == 0) recorder_group_add("Shared", 2.0f);
                meet.arrive_and_wait();
                meet.arrive_and_wait();
            }
        });
    }
    for (int frame = 0; frame < kLockstepFrames; frame++) {
        meet.arrive_and_wait();
        recorder_frame_end_total(16.0f + float(frame % 3));
        meet.arrive_and_wait();
    }
    for (std::thread& worker : workers) worker.join();
    ASSERT_TRUE(recorder_close());
}

// Sections as the file lists them: the root, Jobs with its workers (in the order they first
// named themselves) and Late, then Shared with All and Brief.
struct Lockstep {
    std::vector<std::string> names;
    std::vector<std::vector<float>> values;  // [section][frame]
};

// Read back in process, the way savrel-inspect reads it: the root's name is "total".
Lockstep read_inspect_json(const std::string& path)
{
    EXPECT_EQ(recording_load(path.c_str()), RECORDING_OK) << recording_last_detail();
    recording_release();
    const SectionTable* table = profile_table();
    Lockstep read;
    for (uint32_t s = 0; s < table->section_count; s++) {
        const Section& section = table->sections[s];
        read.names.push_back(s == 0 ? "total" : section.name);
        read.values.emplace_back(section.values, section.values + table->frame_count);
    }
    return read;
}

int section_named(const Lockstep& read, const std::string& name)
{
    for (size_t s = 0; s < read.names.size(); s++)
        if (read.names[s] == name) return int(s);
    return -1;
}

TEST_F(RecorderThreadsTest, FourThreadsAddingKnownMillisecondsReadBackAsSecondsThroughInspect)
{
    ASSERT_STRNE(SAVREL_INSPECT_PATH, "");
    std::string path = recording_path();
    ASSERT_NO_FATAL_FAILURE(record_in_lockstep(path));
    Lockstep read = read_inspect_json(path);
    ASSERT_EQ(read.names.size(), 1u + 1u + kWorkers + 1u + 3u);
    int jobs = section_named(read, "Jobs"), late = section_named(read, "Late"), shared = section_named(read, "Shared");
    int all = section_named(read, "All"), brief = section_named(read, "Brief");
    ASSERT_TRUE(jobs == 1 && late == jobs + kWorkers + 1 && shared == late + 1) << jobs << " " << late << " " << shared;
    for (int frame = 0; frame < kLockstepFrames; frame++) {
        SCOPED_TRACE(frame);
        ASSERT_EQ(read.values[0][size_t(frame)], seconds(16.0f + float(frame % 3)));
        double jobs_sum = 0;
        for (int worker = 0; worker < kWorkers; worker++) {
            int s = section_named(read, "Worker" + std::to_string(worker));
            ASSERT_EQ(read.values[size_t(s)][size_t(frame)], seconds(own_value(worker, frame)));
            jobs_sum += read.values[size_t(s)][size_t(frame)];
        }
        float late_value = frame >= kLockstepFrames / 2 ? seconds(1.25f) : 0.0f;
        ASSERT_EQ(read.values[size_t(late)][size_t(frame)], late_value);
        ASSERT_EQ(read.values[size_t(jobs)][size_t(frame)], float(jobs_sum + late_value));
        ASSERT_EQ(read.values[size_t(all)][size_t(frame)], seconds(0.5f * kWorkers));
        ASSERT_EQ(read.values[size_t(brief)][size_t(frame)], frame % 10 == 3 ? seconds(float(frame) * 0.25f) : 0.0f);
        float shared_value = frame % 4 == 0 ? seconds(2.0f)
                                            : float(double(read.values[size_t(all)][size_t(frame)]) +
                                                    double(read.values[size_t(brief)][size_t(frame)]));
        ASSERT_EQ(read.values[size_t(shared)][size_t(frame)], shared_value);
    }
}

// Free-running threads, some short-lived, add quarter milliseconds while the frame thread
// ends frames as fast as it can: every frame holds a whole number of quarters, and all the
// frames together hold every quarter added, once.
TEST_F(RecorderThreadsTest, NothingAddedIsLostOrCountedTwiceWhateverTheThreadsDo)
{
    std::string path = recording_path();
    ASSERT_TRUE(recorder_open(path.c_str()));
    std::atomic<bool> stop{false};
    std::atomic<int64_t> added{0};
    std::atomic<int64_t> progress{0};  // so that a loaded machine still overlaps adds and frame ends
    auto add_until_stopped = [&](int rounds) {
        RecorderSection section = recorder_section("Stress", "Quarter");
        int64_t mine = 0;
        for (int round = 0; round != rounds && !stop.load(); round++) {
            recorder_add(section, 0.25f);
            mine++;
            progress.fetch_add(1, std::memory_order_relaxed);
            if (round % 64 == 0) {
                SAVREL_SCOPE("Stress", "Scoped");
            }
        }
        added += mine;
    };
    std::vector<std::thread> threads;
    for (int n = 0; n < 3; n++) threads.emplace_back(add_until_stopped, -1);
    std::thread churn([&] {
        // Threads that start and exit throughout the recording.
        while (!stop.load()) std::thread(add_until_stopped, 500).join();
    });
    int frames = 0;
    for (; frames < 2000 || progress.load() < 20000; frames++) ASSERT_TRUE(recorder_frame_end_total(1.0f));
    stop = true;
    for (std::thread& thread : threads) thread.join();
    churn.join();
    ASSERT_TRUE(recorder_frame_end_total(1.0f));
    frames++;
    ASSERT_TRUE(recorder_close());

    profile_load(path.c_str());
    const SectionTable* table = profile_table();
    ASSERT_EQ(table->frame_count, uint32_t(frames));
    ASSERT_STREQ(table->sections[2].name, "Quarter");
    int64_t quarters = 0;
    for (int frame = 0; frame < frames; frame++) {
        float value = table->sections[2].values[frame];
        int64_t count = std::llround(double(value) * 4000.0);
        ASSERT_EQ(value, seconds(float(count) * 0.25f)) << "frame " << frame;
        quarters += count;
    }
    EXPECT_EQ(quarters, added.load());
    EXPECT_GT(added.load(), int64_t(frames));
}

struct FrameThreadCall {
    const char* name;
    bool (*call)(void);
    RecorderStatus status;
};

TEST_F(RecorderThreadsTest, FrameThreadCallsFromAnotherThreadAreRefused)
{
    std::string path = recording_path();
    ASSERT_TRUE(recorder_open(path.c_str()));
    ASSERT_TRUE(recorder_add_named("A", "a", 1.0f));
    const FrameThreadCall calls[] = {
        {"frame end", [] { return recorder_frame_end(); }, RECORDER_NOT_FRAME_THREAD},
        {"frame end with total", [] { return recorder_frame_end_total(5.0f); }, RECORDER_NOT_FRAME_THREAD},
        {"close", [] { return recorder_close(); }, RECORDER_NOT_FRAME_THREAD},
        {"frame begin", [] { recorder_frame_begin(); return recorder_last_status() == RECORDER_OK; },
         RECORDER_NOT_FRAME_THREAD},
        {"open", [] { return recorder_open("/tmp/never-written.bin"); }, RECORDER_ALREADY_OPEN},
    };
    for (const FrameThreadCall& call : calls) {
        SCOPED_TRACE(call.name);
        bool result = true;
        RecorderStatus status = RECORDER_OK;
        testing::internal::CaptureStderr();
        std::thread([&] {
            result = call.call();
            status = recorder_last_status();
        }).join();
        std::string printed = testing::internal::GetCapturedStderr();
        EXPECT_FALSE(result);
        EXPECT_EQ(status, call.status);
        EXPECT_NE(printed, "");
        EXPECT_TRUE(recorder_is_open());
    }
    // The refusals touched neither the frame in progress nor this thread's status.
    EXPECT_EQ(recorder_last_status(), RECORDER_OK);
    ASSERT_TRUE(recorder_frame_end_total(2.0f));
    ASSERT_TRUE(recorder_close());
    EXPECT_FALSE(file_exists("/tmp/never-written.bin"));
    profile_load(path.c_str());
    ASSERT_EQ(profile_table()->frame_count, 1u);
    EXPECT_EQ(profile_table()->sections[0].values[0], seconds(2.0f));
    EXPECT_EQ(profile_table()->sections[2].values[0], seconds(1.0f));
}

TEST_F(RecorderThreadsTest, AScopeOpenAtTheFrameEndIsBookedToTheNextFrameAndSaidOnce)
{
    std::string path = recording_path();
    ASSERT_TRUE(recorder_open(path.c_str()));
    testing::internal::CaptureStderr();
    {
        SAVREL_SCOPE("Loop", "Body");
        ASSERT_TRUE(recorder_frame_end_total(1.0f));
        ASSERT_TRUE(recorder_frame_end_total(1.0f));
    }
    ASSERT_TRUE(recorder_frame_end_total(1.0f));
    std::string printed = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(recorder_close());
    size_t first = printed.find("still open");
    ASSERT_NE(first, std::string::npos) << printed;
    EXPECT_EQ(printed.find("still open", first + 1), std::string::npos) << printed;

    profile_load(path.c_str());
    const SectionTable* table = profile_table();
    ASSERT_EQ(table->frame_count, 3u);
    EXPECT_EQ(table->sections[2].values[0], 0.0f);
    EXPECT_EQ(table->sections[2].values[1], 0.0f);
    EXPECT_GT(table->sections[2].values[2], 0.0f);
}

// Enough frames that the copy for a late section runs on the recorder's own thread.
const int kGroups = 4;
const int kItems = 6;
const int kLongFrames = 3000;

float long_value(int frame, int item)
{
    return float((frame + item * 5) % 32) * 0.25f;
}

void record_long_frame(int frame, bool late)
{
    for (int g = 0; g < kGroups; g++)
        for (int k = 0; k < kItems; k++) {
            std::string group = "G" + std::to_string(g), item = "i" + std::to_string(k);
            recorder_add_named(group.c_str(), item.c_str(), long_value(frame, g * kItems + k));
        }
    if (late) recorder_add_named("G0", "late", 0.75f);
    recorder_frame_end_total(float(frame % 50));
}

// Checks every frame of the loaded table against what record_long_frame added; the late
// item may be missing from the file, but when present it holds its value in every frame
// from late_from on.
void expect_long_table(int frames, int late_from)
{
    const SectionTable* table = profile_table();
    ASSERT_EQ(profile_last_status(), PROFILE_OK);
    ASSERT_EQ(table->frame_count, uint32_t(frames));
    bool has_late = table->section_count == 1 + kGroups * (kItems + 1) + 1;
    ASSERT_TRUE(has_late || table->section_count == 1 + kGroups * (kItems + 1)) << table->section_count;
    for (int frame = 0; frame < frames; frame++) {
        ASSERT_EQ(table->sections[0].values[frame], seconds(float(frame % 50))) << frame;
        uint32_t s = 1;
        for (int g = 0; g < kGroups; g++) {
            s++;
            for (int k = 0; k < kItems; k++, s++)
                ASSERT_EQ(table->sections[s].values[frame], seconds(long_value(frame, g * kItems + k)))
                    << table->sections[s].name << " in frame " << frame;
            if (g == 0 && has_late) {
                ASSERT_STREQ(table->sections[s].name, "late");
                ASSERT_EQ(table->sections[s].values[frame], frame >= late_from ? seconds(0.75f) : 0.0f) << frame;
                s++;
            }
        }
    }
}

TEST_F(RecorderThreadsTest, FileIsCompleteAfterEveryFrameWhileALateSectionIsCopiedIn)
{
    std::string path = recording_path();
    ASSERT_TRUE(recorder_open(path.c_str()));
    for (int frame = 0; frame < kLongFrames; frame++) record_long_frame(frame, false);
    int frame = kLongFrames;
    bool copied = false;
    for (; frame < kLongFrames + 400 && !copied; frame++) {
        record_long_frame(frame, true);
        profile_load(path.c_str());
        ASSERT_NO_FATAL_FAILURE(expect_long_table(frame + 1, kLongFrames)) << "after frame " << frame;
        copied = profile_table()->section_count == 1 + kGroups * (kItems + 1) + 1;
    }
    EXPECT_TRUE(copied) << "the late section never reached the file";
    ASSERT_TRUE(recorder_close());
    profile_load(path.c_str());
    ASSERT_EQ(profile_table()->section_count, uint32_t(1 + kGroups * (kItems + 1) + 1));
    expect_long_table(frame, kLongFrames);
    EXPECT_FALSE(file_exists(path + ".rewrite"));
}

TEST_F(RecorderThreadsTest, KilledDuringTheCopyKeepsEveryCompletedFrame)
{
    std::string path = recording_path();
    int status = 0;
    std::string marks = report_then_kill(
        [&](int report_fd) {
            recorder_open(path.c_str());
            for (int frame = 0; frame <= kLongFrames; frame++) record_long_frame(frame, frame == kLongFrames);
            // The copy's file replaces the recording only at a frame end, so this stays mid-copy.
            recorder_add_named("G1", "in progress", 1.0f);
            if (write(report_fd, "!", 1) != 1) _exit(1);
        },
        &status);
    ASSERT_EQ(marks, "!");
    // Killed mid-copy, the recorder never got to remove its copy's file.
    EXPECT_TRUE(file_exists(path + ".rewrite"));
    ASSERT_EQ(status, 128 + SIGKILL);

    profile_load(path.c_str());
    expect_long_table(kLongFrames + 1, kLongFrames);
    EXPECT_EQ(profile_table()->section_count, uint32_t(1 + kGroups * (kItems + 1)));
}

}  // namespace
