#include <vector>

#include "profile/profile.h"
#include "tests/support/gl_support.h"
#include "viewer/viewer.h"

namespace {

class FrameWindowTest : public GlTest {
protected:
    void SetUp() override
    {
        GlTest::SetUp();
        saved_window_ = *viewer_frame_window();
        saved_table_ = *profile_table();
        *profile_table() = SectionTable{0, 0, nullptr};
    }
    void TearDown() override
    {
        *viewer_frame_window() = saved_window_;
        *profile_table() = saved_table_;
    }
    static InputState drag(bool left, bool right, float click_y, float pointer_y, float delta_x)
    {
        InputState input{};
        input.button[0] = left;
        input.button[1] = right;
        input.click_y = click_y;
        input.pointer_y = pointer_y;
        input.delta_x = delta_x;
        input.pass = BRELM_PASS_INPUT;
        return input;
    }

    FrameWindow saved_window_;
    SectionTable saved_table_;
};

TEST_F(FrameWindowTest, ScrollStepMovesAndClampsToTheRecording)
{
    struct Case {
        uint32_t frames;
        float position, velocity, visible, expected;
    };
    const std::vector<Case> cases = {
        {0, 5, 3, 100, 8},
        {0, 2, -5, 100, 0},
        {0, 895, 10, 100, 898},
        {500, 895, 10, 100, 898},
        {5000, 4800, 200, 100, 4898},
        {0, 0, 5, 998, 0},
        {0, 980, 20, 10, 988},
        {1200, 0, 5000, 998, 200},
    };
    for (const Case& c : cases) {
        profile_table()->frame_count = c.frames;
        *viewer_frame_window() = FrameWindow{c.position, c.velocity, c.visible, c.visible};
        viewer_scroll_step();
        EXPECT_EQ(viewer_frame_window()->scroll_position, c.expected) << c.frames << " " << c.position;
        EXPECT_EQ(viewer_frame_window()->scroll_velocity, c.velocity);
    }
}

TEST_F(FrameWindowTest, LeftDragSetsVelocityAndZoomsFromTheCountAtItsStart)
{
    struct Case {
        bool left, right;
        float click_y, pointer_y, delta_x;
        FrameWindow expected;
    };
    // Starting from velocity 3, 150 frames shown, 100 when the drag began.
    const std::vector<Case> cases = {
        {true, false, 0.2f, -0.3f, 0.01f, {0, -1, 150, 100}},
        {true, false, 0.2f, 0.2f, -0.05f, {0, 5, 100, 100}},
        {true, false, 0.5f, -9.5f, 0, {0, 0, 998, 100}},
        {true, false, -0.4f, 0.6f, 0, {0, 0, 10, 100}},
        {true, true, 0.5f, -0.5f, 0.3f, {0, 3, 150, 150}},
        {false, true, 0.5f, -0.5f, 0.3f, {0, 3, 150, 150}},
        {false, false, 0.5f, -0.5f, 0.3f, {0, 3, 150, 150}},
    };
    for (const Case& c : cases) {
        *viewer_frame_window() = FrameWindow{0, 3, 150, 100};
        InputState input = drag(c.left, c.right, c.click_y, c.pointer_y, c.delta_x);
        viewer_frame_window_input(&input);
        const FrameWindow& w = *viewer_frame_window();
        SCOPED_TRACE(testing::Message() << c.left << c.right << " " << c.pointer_y);
        EXPECT_FLOAT_EQ(w.scroll_velocity, c.expected.scroll_velocity);
        EXPECT_FLOAT_EQ(w.visible_frames, c.expected.visible_frames);
        EXPECT_EQ(w.visible_frames_saved, c.expected.visible_frames_saved);
    }
}

TEST_F(FrameWindowTest, NextDragStartsFromTheBoundAndVelocityOutlivesTheDrag)
{
    *viewer_frame_window() = FrameWindow{0, 0, 600, 600};
    InputState widen = drag(true, false, 0, -1, -0.02f), release = drag(false, false, 0, -1, 0);
    viewer_frame_window_input(&widen);
    viewer_frame_window_input(&release);
    InputState narrow = drag(true, false, 0, 0.5f, 0);
    viewer_frame_window_input(&narrow);
    EXPECT_EQ(viewer_frame_window()->visible_frames, 499.0f);
    viewer_frame_window_input(&release);
    EXPECT_FLOAT_EQ(viewer_frame_window()->scroll_velocity, 0.0f);
    *viewer_frame_window() = FrameWindow{0, 0, 100, 100};
    viewer_frame_window_input(&widen);
    viewer_frame_window_input(&release);
    EXPECT_FLOAT_EQ(viewer_frame_window()->scroll_velocity, 2.0f);
}

TEST_F(FrameWindowTest, EachFrameStepsTwiceAndTheIdlePassChangesNothing)
{
    *viewer_frame_window() = FrameWindow{10, 1.5f, 100, 100};
    InputState input = drag(false, false, 0, 0, 0);
    for (int32_t pass : {BRELM_PASS_INPUT, BRELM_PASS_IDLE, BRELM_PASS_DRAW}) {
        input.pass = pass;
        FrameWindow before = *viewer_frame_window();
        viewer_action(&input, nullptr);
        if (pass == BRELM_PASS_IDLE) {
            EXPECT_EQ(viewer_frame_window()->scroll_position, before.scroll_position);
        }
    }
    EXPECT_EQ(viewer_frame_window()->scroll_position, 13.0f);
}

}  // namespace
