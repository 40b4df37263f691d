// End-to-end: the viewer, started by savrel-view, follows a recording that a program is writing.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "profile/profile.h"
#include "recorder/recorder.h"
#include "tests/support/process_support.h"

namespace {

// A frame every 10 ms whose times climb, so that newer frames look different; a late item of
// the first group arrives at frame 150 and makes the recorder rename a rewritten file over it.
int record_slowly(const char* path, int stop)
{
    recorder_set_self_time(false);  // the counts below leave the recorder's own item out
    if (!recorder_open(path)) return 1;
    char byte;
    for (uint32_t frame = 0; read(stop, &byte, 1) < 0; frame++) {
        float step = float(frame % 200) * 0.05f;
        recorder_add_named("render", "scene", 2.0f + step);
        recorder_add_named("render", "ui", 1.0f);
        if (frame >= 150) recorder_add_named("render", "late", 0.5f + step);
        recorder_add_named("update", "physics", 3.0f + (frame % 3 == 0 ? step : 0.0f));
        if (!recorder_frame_end_total(8.0f + step * 2.0f)) return 1;
        if (frame >= 100) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return recorder_close() ? 0 : 1;
}

struct Reload {
    uint32_t frames, sections, first, last;
};

std::vector<Reload> reloads_in(const std::string& output)
{
    std::vector<Reload> found;
    std::istringstream lines(output);
    std::string line;
    Reload r;
    while (std::getline(lines, line))
        if (std::sscanf(line.c_str(),
                        "Reloaded \"advance_profile.bin\": %u frames, %u sections; frames %u to %u on show",
                        &r.frames, &r.sections, &r.first, &r.last) == 4)
            found.push_back(r);
    return found;
}

TEST(FollowEndToEnd, FollowsTheNewestFramesUntilALeftDragAndReloadsOnR)
{
    PrivateDisplay display;
    ASSERT_FALSE(display.variable().empty());
    std::string folder = make_scratch_folder(), recording = folder + "/game.bin";
    int stop[2];
    // Close-on-exec, so that the viewer and the driver do not hold the pipe open.
    ASSERT_EQ(pipe2(stop, O_CLOEXEC), 0);
    pid_t writer = fork_child();
    if (writer == 0) {
        close(stop[1]);
        fcntl(stop[0], F_SETFL, O_NONBLOCK);
        _exit(record_slowly(recording.c_str(), stop[0]));
    }
    ChildProcess writer_guard(writer);
    close(stop[0]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (read_file(recording).size() < 1000) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the writer wrote nothing";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    pid_t viewer = spawn_program(SAVREL_VIEW_PATH, {recording}, folder,
                                 {display.variable(), "XDG_CACHE_HOME=" + folder + "/cache"}, folder + "/console.txt");
    ChildProcess viewer_guard(viewer);
    auto drive = [&](const std::vector<std::string>& commands) {
        return x11_driver(commands, nullptr, display.variable());
    };
    ASSERT_EQ(drive({"wait"}), 0);
    std::string console = read_file(folder + "/console.txt");
    size_t at = console.find("output goes to ");
    ASSERT_NE(at, std::string::npos) << console;
    std::string run_folder = console.substr(at + 15, console.find("/my_stdout.txt") - at - 15);
    EXPECT_EQ(run_folder.rfind(folder + "/cache/savrel/game.bin-", 0), 0u) << run_folder;

    // Following: two shots a second apart differ, as the frames arrive.
    std::string first = folder + "/first.ppm", second = folder + "/second.ppm";
    // The pointer rests where the drag will start, so that the drag moves it only up.
    ASSERT_EQ(drive({"move", "500", "300", "sleep", "300", "key", "f", "sleep", "1500", "shot", first, "sleep",
                     "1000", "shot", second}),
              0);
    EXPECT_NE(read_file(first), read_file(second));

    // A left drag straight up narrows the window, so it ends following where it stands.
    ASSERT_EQ(drive({"down", "1", "sleep", "100", "move", "500", "260", "sleep",
                     "100", "up", "1", "sleep", "600"}),
              0);
    std::string out = read_file(run_folder + "/my_stdout.txt");
    size_t off = out.find("Follow mode off: the left button took the frame window\n");
    ASSERT_NE(off, std::string::npos) << out;
    EXPECT_NE(out.find("Follow mode on"), std::string::npos) << out;
    std::vector<Reload> following = reloads_in(out.substr(0, off));
    ASSERT_GE(following.size(), 3u) << out;
    for (size_t k = 0; k < following.size(); k++) {
        const Reload& r = following[k];
        // The window ends at the newest frames: at the scroll limit of the frames loaded.
        EXPECT_EQ(r.first, r.frames > 102 ? r.frames - 102 : 0) << k;
        EXPECT_EQ(r.last, r.first + 99) << k;
        if (k > 0) {
            EXPECT_GT(r.frames, following[k - 1].frames) << k;
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_EQ(reloads_in(read_file(run_folder + "/my_stdout.txt")).size(), following.size());

    // R reloads once, keeping the window where the drag left it.
    close(stop[1]);
    int status = writer_guard.wait(60000);
    ASSERT_EQ(status, 0) << status;
    profile_load(recording.c_str());
    ASSERT_EQ(profile_last_status(), PROFILE_OK);
    ASSERT_EQ(drive({"key", "r", "sleep", "800"}), 0);
    std::vector<Reload> all = reloads_in(read_file(run_folder + "/my_stdout.txt"));
    ASSERT_EQ(all.size(), following.size() + 1);
    EXPECT_EQ(all.back().frames, profile_table()->frame_count);
    EXPECT_EQ(all.back().sections, 7u);
    EXPECT_EQ(all.back().first, following.back().first);
    EXPECT_LT(all.back().last, following.back().last);

    drive({"close"});
    status = viewer_guard.wait(20000);
    EXPECT_EQ(status, 0) << status;
}

TEST(FollowLauncher, AMissingRecordingIsAnErrorWithStatusOne)
{
    std::string output;
    EXPECT_EQ(run_program(SAVREL_VIEW_PATH, {"/nonexistent/game.bin"}, &output), 1);
    EXPECT_EQ(output, "savrel-view: /nonexistent/game.bin: No such file or directory\n");
    EXPECT_EQ(run_program(SAVREL_VIEW_PATH, {}, &output), 2);
}

}  // namespace
