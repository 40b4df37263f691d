// A real SDL/GL window for tests, opened once per test process through the platform layer.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

// Opens the platform window on first use (in a scratch folder, with the test's own
// stdout/stderr kept) and resets the GL state that tests touch before each test.
class GlTest : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    void SetUp() override;
};

void gl_open_window_once(void);  // brelm_init at 720x566 without losing the test's output
void gl_reset_state(void);  // identity matrices, default projection, no blend, no arrays, white colour
std::vector<uint8_t> gl_read_pixels(int x, int y, int width, int height);  // RGBA rows from the back buffer, bottom row first
void gl_read_pixel(int x, int y, uint8_t rgb[3]);  // one pixel of the back buffer
// Clip coordinates of a point under these GL matrices (column-major, as glGetDoublev gives them).
void gl_clip_point(const double* modelview, const double* projection, const double point[3], double clip[4]);
