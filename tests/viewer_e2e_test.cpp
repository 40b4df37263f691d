// End-to-end: left drags on the built viewer move and widen its frame window.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "profile/encoder.h"
#include "tests/support/process_support.h"

namespace {

// 1000 frames: the first 100 are short (lines 0.2 high), the rest ten times taller.
std::string recording()
{
    ProfileBytes bytes;
    for (int m = 0; m < 1000; m++) {
        float total = m < 100 ? 0.02f : 0.2f, wobble = float(m % 7) * 0.01f;
        profile_encode_frame(&bytes, total,
                             {{total * 0.6f, {total * (0.2f + wobble), total * (0.4f - wobble)}},
                              {total * 0.4f, {total * 0.3f, total * 0.1f}}},
                             {});
    }
    profile_encode_structure(&bytes, {{"update", {"physics", "scripts"}}, {"render", {"scene", "ui"}}});
    return std::string(bytes.begin(), bytes.end());
}

class ViewerEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(display_.variable().empty());
        folder_ = make_scratch_folder();
        write_file(folder_ + "/advance_profile.bin", recording());
        viewer_ = ChildProcess(spawn_program(SAVREL_PATH, {}, folder_, {display_.variable()}, folder_ + "/console.txt"));
        ASSERT_EQ(driver({"wait"}), 0);
    }
    void TearDown() override
    {
        if (viewer_.pid() <= 0) return;
        driver({"close"});
        EXPECT_EQ(viewer_.wait(20000), 0);
    }
    int driver(const std::vector<std::string>& commands)
    {
        return x11_driver(commands, nullptr, display_.variable());
    }
    // A left drag in pixel steps between two window points, then a window shot (RGB rows).
    std::string drag_and_shot(int x0, int y0, int x1, int y1, int steps)
    {
        std::vector<std::string> commands = {"move", std::to_string(x0), std::to_string(y0), "sleep", "100",
                                             "down", "1", "sleep", "100"};
        for (int s = 1; s <= steps; s++)
            commands.insert(commands.end(), {"move", std::to_string(x0 + (x1 - x0) * s / steps),
                                             std::to_string(y0 + (y1 - y0) * s / steps), "sleep", "60"});
        std::string path = folder_ + "/shot.ppm";
        commands.insert(commands.end(), {"up", "1", "sleep", "400", "shot", path});
        EXPECT_EQ(driver(commands), 0);
        std::string ppm = read_file(path);
        size_t header = 0;
        for (int lines = 0; lines < 3 && header != std::string::npos; lines++) header = ppm.find('\n', header) + 1;
        return ppm.size() >= header + 720 * 566 * 3 ? ppm.substr(header) : std::string();
    }
    // White pixels where only the tall frame-total lines reach: left of the groups, 0.65 to
    // 1.6 units up, under the start camera.
    static int tall_line_pixels(const std::string& rgb)
    {
        int count = 0;
        for (int y = 225; y <= 260; y++)
            for (int x = 295; x <= 330; x++) {
                const unsigned char* p = reinterpret_cast<const unsigned char*>(&rgb[size_t(y * 720 + x) * 3]);
                count += p[0] > 200 && p[1] > 200 && p[2] > 200;
            }
        return count;
    }
    static int coloured_pixels(const std::string& rgb)
    {
        int count = 0;
        for (size_t i = 0; i + 2 < rgb.size(); i += 3) {
            int r = uint8_t(rgb[i]), g = uint8_t(rgb[i + 1]), b = uint8_t(rgb[i + 2]);
            count += std::max({r, g, b}) - std::min({r, g, b}) > 60;
        }
        return count;
    }

    PrivateDisplay display_;
    std::string folder_;
    ChildProcess viewer_;  // after the display, so that it ends first
};

TEST_F(ViewerEndToEnd, LeftDragDownWidensAndUpNarrowsTheWindow)
{
    std::string start = drag_and_shot(500, 300, 500, 300, 1);
    ASSERT_FALSE(start.empty());
    EXPECT_GT(coloured_pixels(start), 200);
    EXPECT_EQ(tall_line_pixels(start), 0);
    // Up by 100 pixels: 72 frames, still all short.
    EXPECT_EQ(tall_line_pixels(drag_and_shot(500, 300, 500, 200, 2)), 0);
    // Down by 400 pixels from there: about 152 frames, the last 52 of them tall.
    EXPECT_GT(tall_line_pixels(drag_and_shot(500, 100, 500, 500, 4)), 20);
}

TEST_F(ViewerEndToEnd, SidewaysLeftDragScrollsTheWindow)
{
    // Rightward motion scrolls toward frame 0, where the window already is.
    EXPECT_EQ(tall_line_pixels(drag_and_shot(300, 450, 600, 450, 3)), 0);
    // Leftward motion scrolls toward the later, taller frames.
    EXPECT_GT(tall_line_pixels(drag_and_shot(600, 450, 100, 450, 5)), 20);
}

}  // namespace
