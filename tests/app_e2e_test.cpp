// End-to-end: the built viewer in a scratch folder, driven from outside.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process_support.h"

namespace {

// The viewer running in its own folder on its own display; closed through the window
// manager's protocol.
class Viewer {
public:
    explicit Viewer(const std::string& folder)
        : folder_(folder),
          process_(spawn_program(SAVREL_PATH, {}, folder, {display_.variable()}, folder + "/console.txt"))
    {
    }
    bool wait_window() { return !display_.variable().empty() && drive({"wait"}) == 0; }
    int drive(const std::vector<std::string>& commands, std::string* output = nullptr)
    {
        return x11_driver(commands, output, display_.variable());
    }
    int close()
    {
        drive({"close"});
        return process_.wait(20000);
    }
    int kill_now() { return process_.stop(SIGKILL); }
    std::string file(const char* name) const { return read_file(folder_ + "/" + name); }
    // Waits up to five seconds for the file to hold the text; returns what it last held.
    std::string wait_for(const char* name, const std::string& text) const
    {
        std::string content = file(name);
        for (int tries = 0; tries < 100 && content.find(text) == std::string::npos; tries++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            content = file(name);
        }
        return content;
    }

    // A window shot after the given commands; compared by content, never printed.
    std::string shot(const char* name, const std::vector<std::string>& before = {})
    {
        std::string path = folder_ + "/" + name + ".ppm";
        std::vector<std::string> commands = before;
        commands.insert(commands.end(), {"sleep", "300", "shot", path});
        std::string output;
        EXPECT_EQ(drive(commands, &output), 0) << output;
        return read_file(path);
    }

private:
    PrivateDisplay display_;
    std::string folder_;
    ChildProcess process_;  // after the display, so that it ends first
};

size_t differing_bytes(const std::string& a, const std::string& b)
{
    size_t count = a.size() > b.size() ? a.size() - b.size() : b.size() - a.size();
    for (size_t i = 0; i < a.size() && i < b.size(); i++) count += a[i] != b[i];
    return count;
}

TEST(AppEndToEnd, StartsRedirectsAndClosesWithStatusZero)
{
    std::string folder = make_scratch_folder();
    Viewer viewer(folder);
    ASSERT_TRUE(viewer.wait_window());
    std::string size;
    ASSERT_EQ(viewer.drive({"size"}, &size), 0);
    EXPECT_EQ(size, "720 566\n");
    EXPECT_EQ(viewer.close(), 0);
    std::string console = viewer.file("console.txt");
    EXPECT_NE(console.find("SDL_GetVideoInfo() desktop resolution 1280 1024 -  720 566\n"), std::string::npos)
        << console;
    std::string out = viewer.file("my_stdout.txt");
    EXPECT_EQ(out.find("SDL_GetVideoInfo()"), std::string::npos);
    EXPECT_EQ(out.rfind("window_size_x 720 window_size_y 566\n", 0), 0u) << out;
    // No recording in the folder: one line says so.
    EXPECT_NE(out.find("advance_profile.bin"), std::string::npos) << out;
    EXPECT_TRUE(file_exists(folder + "/my_stderr.txt"));
}

TEST(AppEndToEnd, EnlargingToTheDesktopGoesFullscreen)
{
    std::string folder = make_scratch_folder();
    Viewer viewer(folder);
    ASSERT_TRUE(viewer.wait_window());
    ASSERT_EQ(viewer.drive({"resize", "800", "600", "sleep", "500"}), 0);
    ASSERT_EQ(viewer.drive({"resize", "1250", "1000", "sleep", "800"}), 0);
    EXPECT_EQ(viewer.close(), 0);
    std::string out = viewer.file("my_stdout.txt");
    EXPECT_NE(out.find("Coming from Fullscreen 0\nFinaly setting from Fullscreen 0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Coming from Fullscreen 1\nFinaly setting from Fullscreen 1\n"), std::string::npos) << out;
}

TEST(AppEndToEnd, UnknownVideoDriverFailsWithStatusOne)
{
    std::string folder = make_scratch_folder();
    std::string output;
    int status = run_program(SAVREL_PATH, {}, &output, folder, 20000, {"SDL_VIDEODRIVER=nosuchdriver"});
    EXPECT_EQ(status, 1);
    EXPECT_EQ(output.rfind("Unable to initialize SDL: ", 0), 0u) << output;
}

TEST(AppEndToEnd, DriverWithoutOpenGlFailsWithStatusOneAndSaysWhy)
{
    std::string folder = make_scratch_folder();
    std::string output;
    int status = run_program(SAVREL_PATH, {}, &output, folder, 20000, {"SDL_VIDEODRIVER=dummy"});
    EXPECT_EQ(status, 1);
    // The retry at half size is the one named.
    EXPECT_NE(output.find("360x283"), std::string::npos) << output;
    EXPECT_FALSE(file_exists(folder + "/my_stdout.txt"));
}

TEST(AppEndToEnd, StreamLinesReachTheFileAsPrintedAndSurviveAKill)
{
    std::string folder = make_scratch_folder();
    Viewer viewer(folder);
    ASSERT_TRUE(viewer.wait_window());
    const std::string start =
        "window_size_x 720 window_size_y 566\n"
        "Profile \"advance_profile.bin\": cannot be opened (No such file or directory)\n";
    EXPECT_EQ(viewer.wait_for("my_stdout.txt", start), start);
    ASSERT_EQ(viewer.drive({"resize", "800", "600"}), 0);
    const std::string resized = start + "Coming from Fullscreen 0\nFinaly setting from Fullscreen 0\n";
    EXPECT_EQ(viewer.wait_for("my_stdout.txt", resized), resized);
    EXPECT_EQ(viewer.kill_now(), 128 + SIGKILL);
    EXPECT_EQ(viewer.file("my_stdout.txt"), resized);
}

TEST(AppEndToEnd, StreamThatCannotBeRedirectedIsNamedAndTheOtherStillIs)
{
    std::string folder = make_scratch_folder();
    ASSERT_EQ(mkdir((folder + "/my_stdout.txt").c_str(), 0755), 0);
    Viewer viewer(folder);
    ASSERT_TRUE(viewer.wait_window());
    EXPECT_EQ(viewer.close(), 0);
    std::string console = viewer.file("console.txt");
    const std::string note =
        "savrel: cannot write my_stdout.txt (Is a directory); standard output is not redirected\n";
    EXPECT_NE(console.find(note + "window_size_x 720 window_size_y 566\n"), std::string::npos) << console;
    EXPECT_EQ(console.find(note), console.rfind(note));
    EXPECT_TRUE(file_exists(folder + "/my_stderr.txt"));
}

TEST(AppEndToEnd, WithoutADisplayOneLineSaysSoAndTheStatusIsOne)
{
    std::string folder = make_scratch_folder();
    std::string output;
    // A bare name unsets the variable for the child.
    EXPECT_EQ(run_program(SAVREL_PATH, {}, &output, folder, 20000, {"DISPLAY", "SDL_VIDEODRIVER"}), 1);
    EXPECT_EQ(output, "savrel: no display (DISPLAY is not set); run it on a desktop or under Xvfb.\n");
    EXPECT_EQ(run_program(SAVREL_PATH, {}, &output, folder, 20000, {"DISPLAY=:9999", "SDL_VIDEODRIVER"}), 1);
    EXPECT_EQ(output, "savrel: no display (cannot open DISPLAY :9999); run it on a desktop or under Xvfb.\n");
    EXPECT_FALSE(file_exists(folder + "/my_stdout.txt"));
}

TEST(AppEndToEnd, RightDragTurnsTheSceneAndResetBringsItBack)
{
    std::string folder = make_scratch_folder();
    Viewer viewer(folder);
    ASSERT_TRUE(viewer.wait_window());
    std::string start = viewer.shot("start", {"move", "360", "283"});
    std::string turned = viewer.shot("turned", {"down", "3", "sleep", "100", "move", "420", "300", "sleep", "100",
                                                "move", "480", "320", "sleep", "100", "up", "3"});
    ASSERT_GT(start.size(), 720u * 566u * 3u);
    EXPECT_GT(differing_bytes(start, turned), 100u);
    // Right + middle + left together snap the camera back to its start values.
    std::string reset = viewer.shot("reset", {"down", "3", "sleep", "100", "down", "2", "down", "1", "sleep",
                                              "200", "up", "1", "up", "2", "up", "3", "sleep", "500"});
    EXPECT_EQ(differing_bytes(start, reset), 0u);
    EXPECT_EQ(viewer.close(), 0);
}

TEST(AppEndToEnd, SavrelViewPrintsTheKeysOnceBeforeTheViewerStarts)
{
    std::string folder = make_scratch_folder();
    write_file(folder + "/game.bin", "");
    std::string output;
    // Without a display the viewer it starts ends at once, after the keys are out.
    int status = run_program(SAVREL_VIEW_PATH, {folder + "/game.bin"}, &output, folder, 20000,
                             {"DISPLAY", "SDL_VIDEODRIVER", "XDG_CACHE_HOME=" + folder + "/cache"});
    EXPECT_EQ(status, 1);
    const std::string keys = "Keys: F follows the recording while it is written, R reloads it, Home frames the graph.\n";
    size_t at = output.find(keys);
    ASSERT_NE(at, std::string::npos) << output;
    EXPECT_EQ(output.find(keys, at + 1), std::string::npos);
    EXPECT_NE(output.find("Mouse: right drag turns"), std::string::npos) << output;
    EXPECT_LT(at, output.find("savrel: no display")) << output;
}

}  // namespace
