// Recorder costs: the clock a scope reads, a scope on one thread and on eight at once, a frame
// of 64 sections from the frame thread alone, beside a reader that holds the file and after
// eight threads touched them, the recorder's own item beside the measured frame end, and the
// frame thread's share of a late section in a long recording and in a frame loop.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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

#include "profile/profile.h"
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

ino_t inode_of(const std::string& path)
{
    struct stat file = {};
    stat(path.c_str(), &file);
    return file.st_ino;
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

// A shared lock on the recording, as a reader takes it; -1 when none is wanted.
int hold_as_reader(const std::string& path, bool wanted)
{
    if (!wanted) return -1;
    int reader = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    flock(reader, LOCK_SH);
    return reader;
}

// Frames of 64 sections, a new recording every kFramesPerRecording, with or without a reader
// holding a shared lock on the file all along.
void record_64_sections(benchmark::State& state, bool reader_holds)
{
    std::string path = bench_path();
    std::vector<RecorderSection> sections = open_sections(path);
    int reader = hold_as_reader(path, reader_holds);
    int64_t frames = 0;
    for (auto _ : state) {
        record_frame(sections, 0.25f);
        if (++frames % kFramesPerRecording == 0) {
            state.PauseTiming();
            recorder_close();
            if (reader >= 0) close(reader);
            sections = open_sections(path);
            reader = hold_as_reader(path, reader_holds);
            state.ResumeTiming();
        }
    }
    if (reader >= 0) close(reader);
    finish(path);
}

void BM_RecorderFrame64Sections(benchmark::State& state)
{
    record_64_sections(state, false);
}
BENCHMARK(BM_RecorderFrame64Sections);

// The same frames while a reader holds a shared lock on the file all along: frames wait in
// memory and, every 2 s, go to disk without the lock.
void BM_RecorderFrame64SectionsReaderHolds(benchmark::State& state)
{
    record_64_sections(state, true);
}
BENCHMARK(BM_RecorderFrame64SectionsReaderHolds);

// recorder_frame_end of 64 sections timed from outside, beside what the recording's own item
// "Savrel/frame end" says the same calls cost (both in microseconds per frame).
void BM_RecorderOwnItem(benchmark::State& state)
{
    const int kFrames = 2000;
    std::string path = bench_path();
    double measured = 0, booked = 0;
    for (auto _ : state) {
        std::vector<RecorderSection> sections = open_sections(path);
        double frame_ends = 0;
        for (int frame = 0; frame < kFrames; frame++) {
            for (const RecorderSection& section : sections) recorder_add(section, 0.25f);
            auto start = std::chrono::steady_clock::now();
            recorder_frame_end();
            double call = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
            // The last frame end is booked in no frame of the file.
            if (frame + 1 < kFrames) frame_ends += call;
        }
        recorder_close();
        profile_load(path.c_str());
        const SectionTable* table = profile_table();
        double own = 0;
        for (uint32_t f = 1; f < table->frame_count; f++) own += double(table->sections[2].values[f]) * 1e6;
        measured += frame_ends / (kFrames - 1);
        booked += own / (kFrames - 1);
        state.SetIterationTime(frame_ends / 1e6);
    }
    state.counters["measured_frame_end_us"] = benchmark::Counter(measured, benchmark::Counter::kAvgIterations);
    state.counters["own_item_us"] = benchmark::Counter(booked, benchmark::Counter::kAvgIterations);
    unlink(path.c_str());
}
BENCHMARK(BM_RecorderOwnItem)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

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
    double late_cpu = 0, worst_cpu = 0;
    int64_t frames_to_replace = 0;
    for (auto _ : state) {
        std::vector<RecorderSection> sections = open_sections(path);
        for (int64_t frame = 0; frame < state.range(0); frame++) record_frame(sections, 0.25f);
        ino_t before = inode_of(path);
        auto start = std::chrono::steady_clock::now();
        double cpu_start = thread_microseconds();
        record_late_frame(sections);
        late_cpu += thread_microseconds() - cpu_start;
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        // The path names another file once the copy has replaced the recording.
        for (int frame = 0; frame < 100000 && inode_of(path) == before; frame++) {
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

// A recording of about `megabytes` MB: 64 sections and 16 notes of 255 characters a frame.
std::vector<RecorderSection> record_megabytes(const std::string& path, int64_t megabytes)
{
    std::vector<RecorderSection> sections = open_sections(path);
    const std::string note(255, 'n');
    const int64_t kFrameBytes = 16 * 256 + 64 * 4 + 2 * kGroups * 4 + 13;
    for (int64_t frame = 0; frame < (megabytes << 20) / kFrameBytes; frame++) {
        for (int n = 0; n < 16; n++) recorder_note(note.c_str());
        record_frame(sections, 0.25f);
    }
    return sections;
}

double frame_end_microseconds(const std::vector<RecorderSection>& sections, bool late)
{
    if (late) recorder_add_named("Group0", "Late", 1.0f);
    for (const RecorderSection& section : sections) recorder_add(section, 0.25f);
    auto start = std::chrono::steady_clock::now();
    recorder_frame_end_total(16.0f);
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

// The late-section copy of an `megabytes` MB recording in a 60-frames-a-second loop: the
// frame thread's wall time beyond a plain frame end, summed over the frames from the late
// item's first until the copy replaced the file (the iteration time), and the worst one frame
// end of them; counters hold the worst of all iterations.
void BM_RecorderLateCopyInFrameLoop(benchmark::State& state)
{
    std::string path = bench_path();
    double worst_extra = 0, worst_frame = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<RecorderSection> sections = record_megabytes(path, state.range(0));
        std::vector<double> plain;
        for (int frame = 0; frame < 9; frame++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(16));
            plain.push_back(frame_end_microseconds(sections, false));
        }
        std::sort(plain.begin(), plain.end());
        double baseline = plain[plain.size() / 2], extra = 0, worst = 0;
        // The copy has replaced the file when the path names another one.
        ino_t before = inode_of(path);
        for (int frame = 0; inode_of(path) == before && frame < 100000; frame++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(16));
            double call = frame_end_microseconds(sections, true);
            extra += std::max(0.0, call - baseline);
            worst = std::max(worst, call);
        }
        recorder_close();
        state.ResumeTiming();
        state.SetIterationTime(extra / 1e6);
        worst_extra = std::max(worst_extra, extra);
        worst_frame = std::max(worst_frame, worst);
    }
    state.counters["worst_extra_ms"] = worst_extra / 1000;
    state.counters["worst_frame_end_ms"] = worst_frame / 1000;
    unlink(path.c_str());
}
BENCHMARK(BM_RecorderLateCopyInFrameLoop)
    ->Arg(1)
    ->Arg(10)
    ->Arg(100)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(20);

}  // namespace
