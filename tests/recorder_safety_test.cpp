// The recorder beside a real program: a failed write, a second writer, a stuck reader and the
// recorder's own time.
#include "recorder/recorder.h"

#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "profile/profile.h"
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

// Frame f of every recording below: known totals and item values, multiples of 1/4.
float total_of(uint32_t frame)
{
    return 16.0f + float(frame % 9) * 0.25f;
}

float opaque_of(uint32_t frame)
{
    return 1.0f + float(frame % 40) * 0.25f;
}

bool record_frame(uint32_t frame, bool with_late)
{
    recorder_add_named("Render", "Opaque", opaque_of(frame));
    recorder_add_named("Audio", "Mixer", 0.5f);
    if (with_late) recorder_add_named("Render", "Late", 2.0f);
    if (frame % 7 == 0) recorder_note(("frame " + std::to_string(frame)).c_str());
    return recorder_frame_end_total(total_of(frame));
}

// The loaded table holds exactly frames 0 to frame_count - 1, in order.
void expect_frames(const std::string& path, uint32_t frame_count)
{
    profile_load(path.c_str());
    const SectionTable* table = profile_table();
    ASSERT_EQ(profile_last_status(), PROFILE_OK) << profile_status_text(profile_last_status());
    ASSERT_EQ(table->frame_count, frame_count);
    ASSERT_GE(table->section_count, 5u);
    ASSERT_STREQ(table->sections[2].name, "Opaque");
    ASSERT_STREQ(table->sections[table->section_count - 1].name, "Mixer");
    for (uint32_t f = 0; f < frame_count; f++) {
        ASSERT_EQ(table->sections[0].values[f], seconds(total_of(f))) << "frame " << f;
        ASSERT_EQ(table->sections[2].values[f], seconds(opaque_of(f))) << "frame " << f;
        ASSERT_EQ(table->sections[table->section_count - 1].values[f], seconds(0.5f)) << "frame " << f;
    }
}

struct LimitCase {
    const char* name;
    uint32_t frames_before;  // frames recorded before the limit
    uint64_t room;  // bytes the limit leaves beyond the file's size
    bool late_section;  // a late item of the first group starts a copy as the limit comes
};

struct LimitOutcome {
    uint32_t completed;  // frame ends that returned true
    uint32_t not_written;  // what the recorder counted after the failure
    int32_t status;
};

const uint32_t kFramesAfterFailure = 5;

// In a child: records, lowers the file size limit, records until a frame end fails, then a
// few more, and closes. Without the check before writing, SIGXFSZ would end the child.
LimitOutcome record_into_a_limit(const std::string& path, const LimitCase& test)
{
    LimitOutcome outcome = {0, 0, RECORDER_OK};
    recorder_set_self_time(false);
    if (!recorder_open(path.c_str())) return outcome;
    uint32_t frame = 0;
    for (; frame < test.frames_before && record_frame(frame, false); frame++) outcome.completed++;
    struct stat file;
    stat(path.c_str(), &file);
    rlimit limit = {rlim_t(file.st_size) + test.room, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &limit);
    for (; frame < 100000 && record_frame(frame, test.late_section); frame++) outcome.completed++;
    outcome.status = recorder_last_status();
    for (uint32_t n = 0; n < kFramesAfterFailure; n++) record_frame(frame + 1 + n, false);
    recorder_close();
    outcome.not_written = recorder_frames_not_written();
    return outcome;
}

TEST(RecorderSafety, AFileSizeLimitStopsTheRecordingAndKeepsEveryEarlierFrame)
{
    const LimitCase cases[] = {
        {"frames written in place", 50, 3000, false},
        {"a late-section copy that cannot fit", 600, 500, true},
    };
    for (const LimitCase& test : cases) {
        SCOPED_TRACE(test.name);
        std::string path = recording_path();
        int pipe_fds[2];
        ASSERT_EQ(pipe(pipe_fds), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            LimitOutcome outcome = record_into_a_limit(path, test);
            _exit(write(pipe_fds[1], &outcome, sizeof outcome) == sizeof outcome ? 0 : 1);
        }
        close(pipe_fds[1]);
        LimitOutcome outcome = {0, 0, -1};
        ssize_t got = read(pipe_fds[0], &outcome, sizeof outcome);
        close(pipe_fds[0]);
        ASSERT_EQ(wait_program(child, 60000), 0) << "the child did not end normally";
        ASSERT_EQ(got, ssize_t(sizeof outcome));
        EXPECT_EQ(outcome.status, RECORDER_WRITE_FAILED);
        EXPECT_GE(outcome.completed, test.frames_before);
        EXPECT_EQ(outcome.not_written, 1 + kFramesAfterFailure);
        ASSERT_NO_FATAL_FAILURE(expect_frames(path, outcome.completed));
        EXPECT_FALSE(file_exists(path + ".rewrite"));
    }
}

// A second writer, here savrel-demo, is refused under any name of the file, and says so.
void expect_second_writer_refused(const std::string& path, const std::string& name)
{
    std::string output;
    EXPECT_EQ(run_program(SAVREL_DEMO_PATH, {name, "--frames", "5"}, &output), 1) << name;
    EXPECT_NE(output.find("another recorder"), std::string::npos) << output;
    EXPECT_NE(output.find(name), std::string::npos) << output;
    (void)path;
}

ino_t inode_of(const std::string& path)
{
    struct stat file = {};
    stat(path.c_str(), &file);
    return file.st_ino;
}

TEST(RecorderSafety, ASecondWriterIsRefusedAndTheLiveRecordingGoesOn)
{
    ASSERT_STRNE(SAVREL_DEMO_PATH, "");
    recorder_set_self_time(false);
    std::string path = recording_path();
    write_file(path + ".rewrite", "left by a writer that died");
    ASSERT_TRUE(recorder_open(path.c_str()));
    EXPECT_FALSE(file_exists(path + ".rewrite"));
    ASSERT_EQ(link(path.c_str(), (path + ".link").c_str()), 0);
    ASSERT_EQ(symlink(path.c_str(), (path + ".symlink").c_str()), 0);
    uint32_t frame = 0;
    for (; frame < 600; frame++) ASSERT_TRUE(record_frame(frame, false));
    for (const std::string& name : {path, path + ".link", path + ".symlink"})
        ASSERT_NO_FATAL_FAILURE(expect_second_writer_refused(path, name));

    // A late item of the first group: the file is copied and the copy renamed over it.
    ino_t before = inode_of(path);
    for (uint32_t copying = 0; inode_of(path) == before && copying < 100000; copying++, frame++)
        ASSERT_TRUE(record_frame(frame, true));
    ASSERT_NE(inode_of(path), before);
    ASSERT_NO_FATAL_FAILURE(expect_second_writer_refused(path, path));
    ASSERT_TRUE(record_frame(frame++, true));
    ASSERT_TRUE(recorder_close());
    ASSERT_NO_FATAL_FAILURE(expect_frames(path, frame));
}

struct ReaderCase {
    const char* name;
    int hold_milliseconds;
    int frame_milliseconds;
};

// A reader that takes the shared lock and keeps it, as a stopped viewer would.
struct StuckReader {
    std::atomic<bool> holding{false};
    std::atomic<bool> done{false};
    std::atomic<uint32_t> frames_at_lock{0}, frames_at_unlock{0};
    off_t size_at_lock = 0, size_at_unlock = 0;
};

void hold_shared_lock(const std::string& path, int milliseconds, const std::atomic<uint32_t>* frames,
                      StuckReader* reader)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat file = {};
    if (fd >= 0 && flock(fd, LOCK_SH) == 0) {
        fstat(fd, &file);
        reader->size_at_lock = file.st_size;
        reader->frames_at_lock = frames->load();
        reader->holding = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        stat(path.c_str(), &file);
        reader->size_at_unlock = file.st_size;
        reader->frames_at_unlock = frames->load();
        flock(fd, LOCK_UN);
    }
    if (fd >= 0) close(fd);
    reader->done = true;
}

TEST(RecorderSafety, AReaderHoldingTheFileNeverStopsTheFramesAndLosesNone)
{
    const ReaderCase cases[] = {
        {"held 3 s beside 60 frames a second", 3000, 16},
        {"held 10 s beside 20 frames a second", 10000, 50},
    };
    for (const ReaderCase& test : cases) {
        SCOPED_TRACE(test.name);
        recorder_set_self_time(false);
        std::string path = recording_path();
        ASSERT_TRUE(recorder_open(path.c_str()));
        std::atomic<uint32_t> frames{0};
        StuckReader reader;
        std::thread holder;
        uint32_t frame = 0;
        for (; !reader.done || frame < 40; frame++) {
            if (frame == 20) holder = std::thread(hold_shared_lock, path, test.hold_milliseconds, &frames, &reader);
            ASSERT_TRUE(record_frame(frame, false));
            frames = frame + 1;
            std::this_thread::sleep_for(std::chrono::milliseconds(test.frame_milliseconds));
        }
        holder.join();
        ASSERT_TRUE(recorder_close());
        ASSERT_NO_FATAL_FAILURE(expect_frames(path, frame));
        // Frames ended while the lock was held: the frame thread did not wait for it.
        EXPECT_GT(reader.frames_at_unlock.load(), reader.frames_at_lock.load());
        // Past the longest wait the frames went to disk without the lock.
        EXPECT_GT(reader.size_at_unlock, reader.size_at_lock);
    }
}

struct SelfTimeCase {
    const char* name;
    bool measured;  // recorder_frame_end, or recorder_frame_end_total with a given total
};

TEST(RecorderSafety, TheRecordersOwnTimeIsAnItemOfItsOwnAndInTheMeasuredTotal)
{
    const SelfTimeCase cases[] = {{"measured totals", true}, {"given totals", false}};
    for (const SelfTimeCase& test : cases) {
        SCOPED_TRACE(test.name);
        recorder_set_self_time(true);
        std::string path = recording_path();
        ASSERT_TRUE(recorder_open(path.c_str()));
        const uint32_t kFrames = 50;
        for (uint32_t frame = 0; frame < kFrames; frame++) {
            recorder_add_named("Render", "Opaque", opaque_of(frame));
            ASSERT_TRUE(test.measured ? recorder_frame_end() : recorder_frame_end_total(total_of(frame)));
        }
        ASSERT_TRUE(recorder_close());
        recorder_set_self_time(false);

        profile_load(path.c_str());
        const SectionTable* table = profile_table();
        ASSERT_EQ(table->frame_count, kFrames);
        ASSERT_EQ(table->section_count, 5u);
        EXPECT_STREQ(table->sections[1].name, "Savrel");
        EXPECT_STREQ(table->sections[2].name, "frame end");
        EXPECT_STREQ(table->sections[4].name, "Opaque");
        const float* own = table->sections[2].values;
        EXPECT_EQ(own[0], 0.0f);
        float own_sum = 0;
        for (uint32_t f = 0; f < kFrames; f++) {
            EXPECT_GE(own[f], 0.0f) << "frame " << f;
            own_sum += own[f];
            EXPECT_EQ(table->sections[4].values[f], seconds(opaque_of(f))) << "frame " << f;
            // A measured total holds the recorder's own time; Opaque was added, not timed.
            if (test.measured)
                EXPECT_GE(table->sections[0].values[f], own[f]) << "frame " << f;
            else
                EXPECT_EQ(table->sections[0].values[f], seconds(total_of(f))) << "frame " << f;
        }
        EXPECT_GT(own_sum, 0.0f);
    }
}

}  // namespace
