// Recorder costs: a scope, a frame of 64 sections, and the rare rebuild when an early group
// gains an item.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "recorder/recorder.h"

namespace {

// 8 groups of 7 items: with the groups, 64 sections under the root.
const int kGroups = 8;
const int kItemsPerGroup = 7;
// Long runs start a new recording now and then, so the file stays small.
const int64_t kFramesPerRecording = 20000;

std::string bench_path(void)
{
    return "/tmp/savrel-recorder-bench-" + std::to_string(getpid()) + ".bin";
}

void finish(const std::string& path)
{
    recorder_close();
    unlink(path.c_str());
}

std::vector<RecorderSection> open_sections(const std::string& path)
{
    recorder_open(path.c_str());
    std::vector<RecorderSection> sections;
    for (int g = 0; g < kGroups; g++)
        for (int k = 0; k < kItemsPerGroup; k++)
            sections.push_back(
                recorder_section(("Group" + std::to_string(g)).c_str(), ("Item" + std::to_string(k)).c_str()));
    return sections;
}

void record_frame(const std::vector<RecorderSection>& sections, float value)
{
    for (const RecorderSection& section : sections) recorder_add(section, value);
    recorder_frame_end_total(value * float(sections.size()));
}

void BM_RecorderScope(benchmark::State& state)
{
    std::string path = bench_path();
    recorder_open(path.c_str());
    for (auto _ : state) {
        SAVREL_SCOPE("Bench", "Scope");
    }
    recorder_frame_end_total(1.0f);
    finish(path);
}
BENCHMARK(BM_RecorderScope);

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

// A new item in the first group after `frames` frames rebuilds the whole file once.
void BM_RecorderEarlyItemRebuild(benchmark::State& state)
{
    std::string path = bench_path();
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<RecorderSection> sections = open_sections(path);
        for (int64_t frame = 0; frame < state.range(0); frame++) record_frame(sections, 0.25f);
        state.ResumeTiming();
        recorder_add_named("Group0", "Late", 1.0f);
        record_frame(sections, 0.25f);
        state.PauseTiming();
        recorder_close();
        state.ResumeTiming();
    }
    unlink(path.c_str());
}
BENCHMARK(BM_RecorderEarlyItemRebuild)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace
