// Following a recording: reloads beside a recorder that writes as fast as it can, and reloads of
// files that no recorder of ours wrote.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "profile/encoder.h"
#include "profile/profile.h"
#include "profile/reader.h"
#include "recorder/recorder.h"
#include "tests/support/process_support.h"
#include "viewer/viewer.h"

namespace {

// What the writer records. The late items of group G0 arrive after frames that already carry
// G1 and G2, so each arrival rewrites the file and renames it over the recording.
struct WriterItem {
    const char* group;
    const char* item;
    uint32_t first_frame;
};
const WriterItem kItems[] = {{"G0", "a0", 0}, {"G1", "b0", 0}, {"G1", "b1", 0}, {"G2", "c0", 0}, {"G0", "a1", 100}, {"G0", "a2", 1000}, {"G0", "a3", 3000}, {"G0", "a4", 5000}};
const char* const kGroups[] = {"G0", "G1", "G2"};

// Multiples of 1/8 below 125, so every sum the recorder forms is exact.
float item_value(uint32_t frame, size_t item)
{
    return frame < kItems[item].first_frame ? 0.0f : float((frame * 7 + uint32_t(item) * 131) % 1000) * 0.125f;
}

float frame_total(uint32_t frame)
{
    return float(frame % 500) * 0.25f + 1.0f;
}

const uint32_t kWriterFrames = 6000;

float seconds(float milliseconds)
{
    return float(double(milliseconds) / 1000.0);
}

// Records kWriterFrames frames as fast as it can; returns the process status.
int record(const char* path)
{
    recorder_set_self_time(false);  // prefix_mismatch knows the program's sections only
    if (!recorder_open(path)) return 1;
    for (uint32_t frame = 0; frame < kWriterFrames; frame++) {
        for (size_t k = 0; k < std::size(kItems); k++)
            if (frame >= kItems[k].first_frame)
                recorder_add_named(kItems[k].group, kItems[k].item, item_value(frame, k));
        if (!recorder_frame_end_total(frame_total(frame))) return 1;
    }
    return recorder_close() ? 0 : 1;
}

// "" when the table is the first frame_count frames of what the writer records; else the first
// difference. While a late item is copied into a new file, the old one goes on in its old shape:
// such an item may be missing, but never a group, and every value present is exact.
std::string prefix_mismatch(const SectionTable* table)
{
    uint32_t frames = table->frame_count;
    std::vector<int> expected;  // -1 root, -2 - g for group g, else the item
    expected.push_back(-1);
    for (int g = 0; g < 3; g++) {
        std::vector<int> items;
        for (size_t k = 0; k < std::size(kItems); k++)
            if (kItems[k].first_frame < frames && std::string(kItems[k].group) == kGroups[g]) items.push_back(int(k));
        if (items.empty()) continue;
        expected.push_back(-2 - g);
        expected.insert(expected.end(), items.begin(), items.end());
    }
    uint32_t s = 0;
    for (size_t i = 0; i < expected.size(); i++) {
        int want = expected[i];
        const char* name = want == -1 ? "" : want < -1 ? kGroups[-2 - want]
                                                       : kItems[want].item;
        bool present = s < table->section_count && std::string(table->sections[s].name) == name;
        if (!present && want >= 0 && kItems[want].first_frame > 0) continue;
        if (!present) return std::to_string(frames) + " frames: section " + std::to_string(s) + " is not " + name;
        const Section& section = table->sections[s++];
        for (uint32_t f = 0; f < frames; f++) {
            // Added in milliseconds, stored in seconds; a group holds the sum of its items as stored.
            double value = want == -1 ? seconds(frame_total(f)) : 0.0;
            if (want >= 0) value = seconds(item_value(f, size_t(want)));
            for (size_t j = i + 1; want < -1 && j < expected.size() && expected[j] >= 0; j++)
                value += seconds(item_value(f, size_t(expected[j])));
            if (section.values[f] != float(value))
                return "section " + std::string(name) + " frame " + std::to_string(f) + " of " +
                       std::to_string(frames) + ": " + std::to_string(section.values[f]);
        }
    }
    if (s != table->section_count)
        return std::to_string(frames) + " frames but " + std::to_string(table->section_count) + " sections";
    return "";
}

// One writer at a time, each into a new file, until enough reloads have run beside a writer.
// What the recorder guarantees a reader under the shared lock: a complete recording whose
// frames are a prefix of the final one. Whether a reload lands before, between or after the
// late items' arrivals is up to the scheduler, so nothing here counts on it.
TEST(FollowReload, EveryTableAcceptedBesideAWritingRecorderIsAPrefixOfTheFinalOne)
{
    const int kReloads = 4000, kMostWriters = 100;
    const auto kWriterTimeLimit = std::chrono::seconds(120);
    int accepted = 0, failed = 0, writers = 0;
    std::set<std::pair<RecordingStatus, ProfileStatus>> failures;
    std::string folder = make_scratch_folder();
    for (; accepted < kReloads && writers < kMostWriters; writers++) {
        std::string path = folder + "/advance_profile.bin." + std::to_string(writers);
        pid_t pid = fork_child();
        if (pid == 0) _exit(record(path.c_str()));
        ASSERT_GT(pid, 0);
        ChildProcess writer(pid);
        auto deadline = std::chrono::steady_clock::now() + kWriterTimeLimit;
        int status = -1;
        uint32_t most_frames = 0;
        while (writer.running(&status)) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the writer did not finish";
            RecordingStatus read = recording_reload(path.c_str());
            if (read != RECORDING_OK) {
                failed++;
                failures.insert({read, profile_last_status()});
                usleep(100);
                continue;
            }
            accepted++;
            const SectionTable* table = profile_table();
            ASSERT_EQ(prefix_mismatch(table), "") << "reload " << accepted;
            most_frames = std::max(most_frames, table->frame_count);
        }
        ASSERT_EQ(status, 0) << status;
        // The final recording, through the start-up reader: the writer's whole output.
        ASSERT_EQ(recording_load(path.c_str()), RECORDING_OK) << recording_last_detail();
        ASSERT_EQ(profile_last_status(), PROFILE_OK) << profile_last_detail();
        EXPECT_EQ(profile_table()->frame_count, kWriterFrames);
        EXPECT_EQ(prefix_mismatch(profile_table()), "");
        EXPECT_LE(most_frames, kWriterFrames);
        unlink(path.c_str());
    }
    recording_release();
    std::printf("%d reloads accepted, %d failed, beside %d writers\n", accepted, failed, writers);
    EXPECT_GT(accepted, 0);
    // A reload fails only before the file exists, while it is still empty, or while the writer
    // never lets go of the lock; a torn read is retried, never shown.
    for (const auto& failure : failures) {
        bool allowed = failure.first == RECORDING_CANNOT_OPEN || failure.first == RECORDING_LOCKED ||
                       (failure.first == RECORDING_DAMAGED && failure.second == PROFILE_NO_STRUCTURE);
        EXPECT_TRUE(allowed) << recording_status_text(failure.first) << ", "
                             << profile_status_text(failure.second);
    }
    rmdir(folder.c_str());
}

// A small recording made by hand: `frames` frames of one group with two items.
std::string small_recording(uint32_t frames)
{
    ProfileBytes bytes;
    for (uint32_t f = 0; f < frames; f++) profile_encode_frame(&bytes, 16.0f + float(f), {{3.0f, {1.0f, 2.0f}}}, {});
    profile_encode_structure(&bytes, {{"update", {"physics", "scripts"}}});
    return std::string(bytes.begin(), bytes.end());
}

// Files that no recorder of ours wrote: a failed reload keeps the table on show, whatever is there.
TEST(FollowReload, AFailedReloadKeepsTheTableAndSaysWhy)
{
    std::string folder = make_scratch_folder(), path = folder + "/advance_profile.bin";
    write_file(path, small_recording(40));
    ASSERT_TRUE(viewer_reload_profile(path.c_str()));
    EXPECT_STREQ(viewer_reload_reason(), "");
    std::string cut = small_recording(40).substr(0, 300);
    struct Case {
        const char* what;
        std::function<void()> make;
        std::string reason;
    } cases[] = {
        {"missing", [&] { unlink(path.c_str()); }, std::strerror(ENOENT)},
        {"cut inside a frame", [&] { write_file(path, cut); }, "ends inside a record"},
        {"a named pipe", [&] { unlink(path.c_str()), mkfifo(path.c_str(), 0600); }, "not a regular file"},
        {"a folder", [&] { unlink(path.c_str()), mkdir(path.c_str(), 0700); }, "not a regular file"},
    };
    for (const Case& c : cases) {
        c.make();
        EXPECT_FALSE(viewer_reload_profile(path.c_str())) << c.what;
        EXPECT_EQ(std::string(viewer_reload_reason()).find(c.reason), 0u) << c.what << ": " << viewer_reload_reason();
        EXPECT_EQ(profile_table()->frame_count, 40u) << c.what;
        EXPECT_EQ(profile_table()->sections[2].values[39], 1.0f) << c.what;
    }
    rmdir(path.c_str());
    write_file(path, small_recording(70));
    EXPECT_TRUE(viewer_reload_profile(path.c_str()));
    EXPECT_EQ(profile_table()->frame_count, 70u);
    unlink(path.c_str());
    rmdir(folder.c_str());
}

// A writer without the lock that cuts the file short and writes it again, over and over: every
// reload either fails or shows the whole recording, and none reads past what the file holds.
TEST(FollowReload, AFileThatShrinksUnderAnotherWriterNeverFaultsAReload)
{
    std::string folder = make_scratch_folder(), path = folder + "/advance_profile.bin";
    const std::string whole = small_recording(3000);
    write_file(path, whole);
    pid_t pid = fork_child();
    if (pid == 0) {
        int file = open(path.c_str(), O_WRONLY);
        for (size_t round = 0;; round++) {
            if (ftruncate(file, off_t(round % 3 == 0 ? 0 : whole.size() / (round % 7 + 1))) != 0) _exit(1);
            if (pwrite(file, whole.data(), whole.size(), 0) != ssize_t(whole.size())) _exit(1);
        }
    }
    ASSERT_GT(pid, 0);
    ChildProcess writer(pid);
    // Reloads beside this writer retry until a read is clean, so they are bounded in time too.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int accepted = 0, reload = 0;
    for (; reload < 3000 && std::chrono::steady_clock::now() < deadline; reload++) {
        if (!viewer_reload_profile(path.c_str())) continue;
        accepted++;
        ASSERT_EQ(profile_table()->frame_count, 3000u);
        ASSERT_EQ(profile_table()->sections[0].values[2999], 3015.0f);
    }
    writer.stop();
    std::printf("%d of %d reloads accepted\n", accepted, reload);
    // Killed at any point, the writer may leave the file cut short; whole again, it loads.
    write_file(path, whole);
    EXPECT_TRUE(viewer_reload_profile(path.c_str()));
    unlink(path.c_str());
    rmdir(folder.c_str());
}

void press(int32_t key)
{
    InputState input{};
    input.keys[0] = KeyEvent{key, uint32_t(key), 1};
    input.key_count = 1;
    viewer_follow_input(&input);
}

// Checks every 250 ms of the given clock: a missing file is said once, and a change reloads.
TEST(FollowReload, FollowModeSaysAFailureOnceAndReloadsWhenTheFileChanges)
{
    std::string folder = make_scratch_folder(), path = folder + "/advance_profile.bin";
    testing::internal::CaptureStdout();
    press('f');
    for (double now : {0.0, 0.3, 0.6}) viewer_follow_idle(path.c_str(), now);
    // 0.1 s after a check none is due, so the 40-frame state is never read.
    write_file(path, small_recording(40));
    viewer_follow_idle(path.c_str(), 0.7);
    write_file(path, small_recording(45));
    for (double now : {0.9, 1.2}) viewer_follow_idle(path.c_str(), now);
    write_file(path, small_recording(50));
    viewer_follow_idle(path.c_str(), 1.5);
    press('f');
    std::string out = testing::internal::GetCapturedStdout();
    const std::string quoted = "\"" + path + "\"";
    EXPECT_EQ(out,
              "Follow mode on: the recording is checked every 250 ms and reloaded when it changes\n"
              "Reload of " +
                  quoted +
                  " failed: No such file or directory; the table on show stays\n"
                  "Reloaded " +
                  quoted +
                  ": 45 frames, 4 sections; frames 0 to 99 on show\n"
                  "Reloaded " +
                  quoted +
                  ": 50 frames, 4 sections; frames 0 to 99 on show\n"
                  "Follow mode off\n");
    unlink(path.c_str());
    rmdir(folder.c_str());
}

}  // namespace

namespace {

// After following a long recording, R on a shorter one that replaced it moves the window onto
// its frames instead of leaving it past their end.
TEST(FollowReload, ROnAReplacedShorterRecordingShowsItsFrames)
{
    std::string folder = make_scratch_folder(), path = folder + "/advance_profile.bin";
    write_file(path, small_recording(2000));
    testing::internal::CaptureStdout();
    press('f');
    viewer_follow_idle(path.c_str(), 100.0);
    press('f');
    write_file(path + ".new", small_recording(300));
    ASSERT_EQ(rename((path + ".new").c_str(), path.c_str()), 0);
    press('r');
    viewer_follow_idle(path.c_str(), 100.1);
    std::string out = testing::internal::GetCapturedStdout();
    const std::string quoted = "\"" + path + "\"";
    EXPECT_NE(out.find("Reloaded " + quoted + ": 2000 frames, 4 sections; frames 1898 to 1997 on show\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Reloaded " + quoted + ": 300 frames, 4 sections; frames 198 to 297 on show\n"),
              std::string::npos)
        << out;
    unlink(path.c_str());
    rmdir(folder.c_str());
}

// Busy while a reload is pending, or while following when a check falls due within 10 ms.
TEST(FollowReload, BusyWhileAReloadIsPendingOrACheckFallsDue)
{
    std::string folder = make_scratch_folder(), path = folder + "/advance_profile.bin";
    write_file(path, small_recording(40));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(viewer_follow_busy(50.0));
    press('r');
    EXPECT_TRUE(viewer_follow_busy(50.0));
    viewer_follow_idle(path.c_str(), 50.0);
    EXPECT_FALSE(viewer_follow_busy(50.0));
    press('f');
    EXPECT_TRUE(viewer_follow_busy(50.0));  // the first check is due at once
    viewer_follow_idle(path.c_str(), 50.0);
    const struct {
        double now;
        bool busy;
    } cases[] = {{50.0, false}, {50.2, false}, {50.245, true}, {50.25, true}, {51.0, true}, {49.0, true}};
    for (const auto& c : cases) EXPECT_EQ(viewer_follow_busy(c.now), c.busy) << c.now;
    press('f');
    EXPECT_FALSE(viewer_follow_busy(51.0));
    testing::internal::GetCapturedStdout();
    unlink(path.c_str());
    rmdir(folder.c_str());
}

}  // namespace
