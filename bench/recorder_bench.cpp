// Recorder costs: the clock a scope reads, a scope on one thread and on eight at once, a frame
// of 64 sections from the frame thread alone and after eight threads touched them, and the
// frame thread's share of a late section in a long recording.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

#include "recorder/recorder.h"

namespace {

// 8 groups of 7 items: with the groups, 64 sections under the root.
const int kGroups = 8;
const int kItemsPerGroup = 7;
// Long runs start a new recording now and then, so the file stays small.
const int64_t kFramesPerRecording = 20000;
const int kThreads = 8;

std::string bench_path(void)
{
    return "/tmp/savrel-recorder-bench-" + std::to_string(getpid()) + ".bin";
}

void finish(const std::string& path)
{
    recorder_close();
    unlink(path.c_str());
}

std::vector<RecorderSection> resolve_sections(int groups, int items)
{
    std::vector<RecorderSection> sections;
    for (int g = 0; g < groups; g++)
        for (int k = 0; k < items; k++)
            sections.push_back(
                recorder_section(("Group" + std::to_string(g)).c_str(), ("Item" + std::to_string(k)).c_str()));
    return sections;
}

std::vector<RecorderSection> open_sections(const std::string& path)
{
    recorder_open(path.c_str());
    return resolve_sections(kGroups, kItemsPerGroup);
}

void record_frame(const std::vector<RecorderSection>& sections, float value)
{
    for (const RecorderSection& section : sections) recorder_add(section, value);
    recorder_frame_end_total(value * float(sections.size()));
}

// The clock a scope reads twice.
void BM_ClockRead(benchmark::State& state)
{
    for (auto _ : state) {
#if defined(__x86_64__) || defined(__i386__)
        benchmark::DoNotOptimize(__rdtsc());
#else
        benchmark::DoNotOptimize(std::chrono::steady_clock::now());
#endif
    }
}
BENCHMARK(BM_ClockRead);

void BM_RecorderScope(benchmark::State& state)
{
    for (auto _ : state) {
        SAVREL_SCOPE("Bench", "Scope");
    }
}

void open_for_scopes(const benchmark::State&)
{
    recorder_open(bench_path().c_str());
}

void close_after_scopes(const benchmark::State&)
{
    recorder_frame_end_total(1.0f);
    finish(bench_path());
}
BENCHMARK(BM_RecorderScope)->Setup(open_for_scopes)->Teardown(close_after_scopes);
// Each thread's own buffer: eight threads scoping one site at once share nothing but the site.
BENCHMARK(BM_RecorderScope)->Setup(open_for_scopes)->Teardown(close_after_scopes)->Threads(kThreads);

// The begin/end pair C code calls.
void BM_RecorderCScope(benchmark::State& state)
{
    static RecorderSection site = {-1, 0};
    for (auto _ : state) recorder_scope_end(recorder_scope_begin(&site, "Bench", "CScope"));
}
BENCHMARK(BM_RecorderCScope)->Setup(open_for_scopes)->Teardown(close_after_scopes);

void BM_RecorderScopeWithoutRecording(benchmark::State& state)
{
    for (auto _ : state) {
        SAVREL_SCOPE("Bench", "Idle");
    }
}
BENCHMARK(BM_RecorderScopeWithoutRecording);

void BM_RecorderFrame64Sections(benchmark::State& state)
{
    std::string path = bench_path();
    std::vector<RecorderSection> sections = open_sections(path);
    int64_t frames = 0;
    for (auto _ : state) {
        record_frame(sections, 0.25f);
        if (++frames % kFramesPerRecording == 0) {
            state.PauseTiming();
            recorder_close();
            sections = open_sections(path);
            state.ResumeTiming();
        }
    }
    finish(path);
}
BENCHMARK(BM_RecorderFrame64Sections);

// Eight threads each add to the same 64 items every frame, outside the timing; the frame
// thread's recorder_frame_end then takes 512 running totals and writes the frame.
void BM_RecorderFrameEndAfter8Threads(benchmark::State& state)
{
    std::string path = bench_path();
    recorder_open(path.c_str());
    std::vector<RecorderSection> sections = resolve_sections(8, 8);
    std::barrier meet(kThreads + 1);
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int n = 0; n < kThreads; n++)
        workers.emplace_back([&] {
            for (;;) {
                meet.arrive_and_wait();
                if (stop.load()) return;
                for (const RecorderSection& section : sections) recorder_add(section, 0.25f);
                meet.arrive_and_wait();
            }
        });
    int64_t frames = 0;
    for (auto _ : state) {
        state.PauseTiming();
        meet.arrive_and_wait();
        meet.arrive_and_wait();
        if (++frames % kFramesPerRecording == 0) {
            recorder_close();
            recorder_open(path.c_str());
            sections = resolve_sections(8, 8);
        }
        state.ResumeTiming();
        recorder_frame_end_total(16.0f);
    }
    stop = true;
    meet.arrive_and_wait();
    for (std::thread& worker : workers) worker.join();
    finish(path);
}
BENCHMARK(BM_RecorderFrameEndAfter8Threads)->Unit(benchmark::kMicrosecond);

// The calling thread's processor time: on a shared machine the wall time of one call also
// holds every time the thread waited for a core.
double thread_microseconds(void)
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e6 + double(now.tv_nsec) / 1e3;
}

void record_late_frame(const std::vector<RecorderSection>& sections)
{
    recorder_add_named("Group0", "Late", 1.0f);
    for (const RecorderSection& section : sections) recorder_add(section, 0.25f);
    recorder_frame_end_total(16.0f);
}

// A new item in the first group after `frames` frames of 64 sections: the frame thread's
// time for that frame's recorder_frame_end (wall time as the benchmark's, processor time as
// a counter), and the most processor time of one frame end until the copy replaced the file.
void BM_RecorderLateItem(benchmark::State& state)
{
    std::string path = bench_path();
    std::string side = path + ".rewrite";
    double late_cpu = 0, worst_cpu = 0;
    int64_t frames_to_replace = 0;
    for (auto _ : state) {
        std::vector<RecorderSection> sections = open_sections(path);
        for (int64_t frame = 0; frame < state.range(0); frame++) record_frame(sections, 0.25f);
        auto start = std::chrono::steady_clock::now();
        double cpu_start = thread_microseconds();
        record_late_frame(sections);
        late_cpu += thread_microseconds() - cpu_start;
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        // The copy's side file is gone once it has replaced the recording.
        for (int frame = 0; frame < 100000 && access(side.c_str(), F_OK) == 0; frame++) {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
            double before = thread_microseconds();
            record_late_frame(sections);
            worst_cpu = std::max(worst_cpu, thread_microseconds() - before);
            frames_to_replace++;
        }
        recorder_close();
    }
    state.counters["late_frame_cpu_us"] = benchmark::Counter(late_cpu, benchmark::Counter::kAvgIterations);
    state.counters["worst_cpu_until_replaced_us"] = worst_cpu;
    state.counters["frames_until_replaced"] =
        benchmark::Counter(double(frames_to_replace), benchmark::Counter::kAvgIterations);
    unlink(path.c_str());
}
BENCHMARK(BM_RecorderLateItem)->Arg(50)->Arg(20000)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(10);

}  // namespace
