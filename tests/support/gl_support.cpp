#include "tests/support/gl_support.h"

#include <GL/gl.h>
#include <SDL/SDL.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"

namespace {
bool window_open;
}

void gl_open_window_once(void)
{
    if (window_open) return;
    // A loaded X server now and then refuses a connection; retry before brelm_init, which
    // would end the process. SDL keeps the video subsystem up, so brelm_init's own SDL_Init
    // is then a no-op. Pinning the driver stops SDL falling back to a text-mode one.
    setenv("SDL_VIDEODRIVER", "x11", 0);
    for (int attempt = 0; attempt < 10 && SDL_Init(SDL_INIT_VIDEO) < 0; attempt++) usleep(200 * 1000);
    char folder[] = "/tmp/savrel-gl-XXXXXX";
    if (!mkdtemp(folder)) std::abort();
    char* current = get_current_dir_name();
    std::string previous = current;
    std::free(current);
    if (chdir(folder) != 0) std::abort();
    std::fflush(stdout);
    std::fflush(stderr);
    int saved_out = dup(1), saved_err = dup(2);
    static char program[] = "savrel_tests";
    static char* argv[] = {program, nullptr};
    brelm_init(1, argv, 720, 566, 0, "Savrel test");
    // brelm_init points stdout/stderr at files; give the test runner its streams back.
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
    if (chdir(previous.c_str()) != 0) std::abort();
    window_open = true;
}

void gl_reset_state(void)
{
    brelm_reshape(720, 566);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glDisable(GL_BLEND);
    glBlendFunc(GL_ONE, GL_ZERO);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_TEXTURE_2D);
    glDisableClientState(GL_VERTEX_ARRAY);
    glDisableClientState(GL_COLOR_ARRAY);
    glDisableClientState(GL_NORMAL_ARRAY);
    glDisableClientState(GL_TEXTURE_COORD_ARRAY);
    glColor4f(1, 1, 1, 1);
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
    while (glGetError() != GL_NO_ERROR) {
    }
}

std::vector<uint8_t> gl_read_pixels(int x, int y, int width, int height)
{
    std::vector<uint8_t> pixels(size_t(width) * size_t(height) * 4);
    glFinish();
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(x, y, width, height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    return pixels;
}

void gl_read_pixel(int x, int y, uint8_t rgb[3])
{
    std::vector<uint8_t> pixel = gl_read_pixels(x, y, 1, 1);
    for (int i = 0; i < 3; i++) rgb[i] = pixel[size_t(i)];
}

void GlTest::SetUpTestSuite()
{
    gl_open_window_once();
}

void GlTest::SetUp()
{
    gl_open_window_once();
    gl_reset_state();
}

void gl_clip_point(const double* modelview, const double* projection, const double point[3], double clip[4])
{
    double eye[4];
    for (int row = 0; row < 4; row++)
        eye[row] = modelview[row] * point[0] + modelview[4 + row] * point[1] + modelview[8 + row] * point[2] +
                   modelview[12 + row];
    for (int row = 0; row < 4; row++)
        clip[row] = projection[row] * eye[0] + projection[4 + row] * eye[1] + projection[8 + row] * eye[2] +
                    projection[12 + row] * eye[3];
}
