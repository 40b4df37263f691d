// Full draw passes of the profile graph at the widest frame window, in a real window.
#include <GL/gl.h>
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "camera/camera.h"
#include "draw/draw.h"
#include "draw/text.h"
#include "platform/platform.h"
#include "profile/profile.h"
#include "recorder/recorder.h"
#include "tests/support/recording_support.h"
#include "viewer/viewer.h"

namespace {

const uint32_t kRecordedFrames = 1000;
const uint32_t kWidestWindow = 998;
const uint32_t kProgramFrames = 2000;

// The window opens in a scratch folder; the benchmark keeps its own output streams.
void open_window_once()
{
    static bool open = false;
    if (open) return;
    viewer_keep_freed_memory();
    char folder[] = "/tmp/savrel-bench-XXXXXX";
    if (!mkdtemp(folder) || chdir(folder) != 0) std::abort();
    std::fflush(stdout);
    int saved_out = dup(1), saved_err = dup(2);
    static char program[] = "savrel_bench";
    static char* argv[] = {program, nullptr};
    brelm_init(1, argv, 720, 566, 0, "Savrel bench");
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    text_init();
    view_reset(nullptr);
    glEnable(GL_DEPTH_TEST);
    open = true;
}

double cpu_ms(const rusage& usage)
{
    return (double(usage.ru_utime.tv_sec) + double(usage.ru_stime.tv_sec)) * 1e3 +
           (double(usage.ru_utime.tv_usec) + double(usage.ru_stime.tv_usec)) / 1e3;
}

// What the viewer's draw pass does, finished before the clock stops.
void draw_pass(uint32_t start = 0)
{
    glClearColor(0.1f, 0.1f, 0.1f, 0.1f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glPushMatrix();
    view_apply(nullptr);
    draw_line(1, 0, 0, -1, 0, 0, 1, 0, 0, 0);
    draw_line(0, 1, 0, 0, -1, 0, 0, 1, 0, 0);
    draw_line(0, 0, 1, 0, 0, -1, 0, 0, 1, 0);
    profile_draw_graph(start, kWidestWindow);
    glPopMatrix();
    glFinish();
    viewer_return_free_memory(std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

// The start view shows the whole graph; the close one a stretch of a few groups' bands from
// above, with most bands out of sight and some partly in it.
void set_view(bool close)
{
    ViewCamera* camera = view_camera();
    view_reset(camera);
    if (!close) return;
    const double center[3] = {-0.2, 0.1, 0.3};
    camera->distance = camera->distance_target = 0.8;
    camera->pitch = camera->pitch_target = 35.0;
    camera->yaw = camera->yaw_target = 20.0;
    for (int axis = 0; axis < 3; axis++) camera->center[axis] = camera->center_target[axis] = center[axis];
}

// Arguments: groups, items per group (sections = 1 + groups * (1 + items)), whether draws
// that reach no pixel are skipped (1, as the viewer runs) or everything is drawn (0), and the
// view (0 start, 1 close).
void BM_GraphDrawPass(benchmark::State& state)
{
    open_window_once();
    load_wide_recording(int(state.range(0)), int(state.range(1)), kRecordedFrames);
    draw_set_culling(state.range(2) != 0);
    set_view(state.range(3) != 0);
    state.counters["sections"] = double(profile_table()->section_count);
    state.SetLabel(reinterpret_cast<const char*>(glGetString(GL_RENDERER)));
    draw_pass();
    rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    for (auto _ : state) draw_pass();
    getrusage(RUSAGE_SELF, &after);
    // The rasteriser's own threads count too, and page faults show the driver's memory churn.
    const double iterations = double(state.iterations());
    state.counters["process_cpu_ms"] = (cpu_ms(after) - cpu_ms(before)) / iterations;
    state.counters["page_faults"] = double(after.ru_minflt - before.ru_minflt) / iterations;
    state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    draw_set_culling(true);
    set_view(false);
}

BENCHMARK(BM_GraphDrawPass)
    ->ArgNames({"groups", "items", "culling", "view"})
    ->ArgsProduct({{3}, {4}, {1, 0}, {0, 1}})
    ->ArgsProduct({{7}, {8}, {1, 0}, {0, 1}})
    ->ArgsProduct({{15}, {16}, {1, 0}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Arguments: groups and items per group of a recording shaped like a program's (2,000 frames
// of 16 to 24 ms), and the motion: 0 the still start view; 1 a drag, the scene turning and the
// window scrolling by a frame every pass.
void BM_ProgramDrawPass(benchmark::State& state)
{
    open_window_once();
    load_program_recording(int(state.range(0)), int(state.range(1)), kProgramFrames);
    const bool moving = state.range(2) != 0;
    set_view(false);
    state.counters["sections"] = double(profile_table()->section_count);
    draw_pass();
    ViewCamera* camera = view_camera();
    uint32_t pass = 0;
    rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    for (auto _ : state) {
        if (moving) {
            pass++;
            camera->yaw = camera->yaw_target = std::fmod(1.5 * pass, 360.0);
            camera->pitch = camera->pitch_target = 30.0 * std::sin(0.02 * pass);
        }
        draw_pass(moving ? pass % (kProgramFrames - kWidestWindow - 2) : 0);
    }
    getrusage(RUSAGE_SELF, &after);
    state.counters["process_cpu_ms"] = (cpu_ms(after) - cpu_ms(before)) / double(state.iterations());
    state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    set_view(false);
}

BENCHMARK(BM_ProgramDrawPass)
    ->ArgNames({"groups", "items", "moving"})
    ->ArgsProduct({{3}, {4}, {0, 1}})
    ->ArgsProduct({{7}, {8}, {0, 1}})
    ->ArgsProduct({{15}, {16}, {0, 1}})
    ->ArgsProduct({{63}, {64}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(3);

}  // namespace

namespace {

// A program that records 256 sections (15 groups of 16 items) at 60 frames a second until killed.
pid_t start_recording_at_60_hz(const char* path)
{
    pid_t pid = fork();
    if (pid != 0) return pid;
    recorder_open(path);
    char names[16][8];
    for (int k = 0; k < 16; k++) std::snprintf(names[k], sizeof names[k], "item %d", k);
    char groups[15][9];
    for (int g = 0; g < 15; g++) std::snprintf(groups[g], sizeof groups[g], "group %d", g);
    auto next = std::chrono::steady_clock::now();
    for (uint32_t frame = 0;; frame++) {
        for (int g = 0; g < 15; g++)
            for (int k = 0; k < 16; k++) recorder_add_named(groups[g], names[k], float((frame + k * g) % 17) * 0.01f);
        recorder_frame_end_total(16.0f + float(frame % 5));
        next += std::chrono::microseconds(16667);
        std::this_thread::sleep_until(next);
    }
}

// The viewer's idle and draw passes beside that program, with the default 100-frame window at
// the end of the recording. Argument 1: following it (a reload whenever it changed, checked every
// 250 ms); 0: the same recording loaded once, for comparison.
void BM_FollowingDrawPass(benchmark::State& state)
{
    open_window_once();
    const char* path = "following.bin";
    pid_t writer = start_recording_at_60_hz(path);
    // 150 frames by then: both arms show a full window of 100, so they draw the same amount.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    InputState input{};
    input.keys[0] = KeyEvent{'f', 'f', 1};
    input.key_count = 1;
    bool following = state.range(0) != 0;
    if (following)
        viewer_follow_input(&input);
    else if (viewer_reload_profile(path))
        viewer_frame_window_to_end();
    auto seconds = [] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    };
    uint32_t first_frames = 0;
    double idle_seconds = 0.0;
    rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    for (auto _ : state) {
        const double idle_start = seconds();
        viewer_follow_idle(path, idle_start);
        idle_seconds += seconds() - idle_start;
        if (first_frames == 0) first_frames = profile_table()->frame_count;
        const FrameWindow* window = viewer_frame_window();
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        glPushMatrix();
        view_apply(nullptr);
        profile_draw_graph(uint32_t(window->scroll_position), uint32_t(window->visible_frames));
        glPopMatrix();
        glFinish();
    }
    getrusage(RUSAGE_SELF, &after);
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
    if (following) viewer_follow_input(&input);
    state.counters["sections"] = double(profile_table()->section_count);
    state.counters["frames_arrived"] = double(profile_table()->frame_count - first_frames);
    // The reloads' share of a pass, apart from the draw.
    state.counters["idle_ms"] = idle_seconds * 1e3 / double(state.iterations());
    state.counters["process_cpu_ms"] = (cpu_ms(after) - cpu_ms(before)) / double(state.iterations());
    state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_FollowingDrawPass)->ArgName("following")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5);

}  // namespace
