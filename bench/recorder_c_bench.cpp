// The C scope's cost, beside the steady-clock read it makes twice.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "recorder/recorder.h"

namespace {

void BM_RecorderCScope(benchmark::State& state)
{
    std::string path = "/tmp/savrel-recorder-c-bench-" + std::to_string(getpid()) + ".bin";
    recorder_open(path.c_str());
    static RecorderSection site = {-1, 0};
    for (auto _ : state) recorder_scope_end(recorder_scope_begin(&site, "Bench", "CScope"));
    recorder_frame_end_total(1.0f);
    recorder_close();
    unlink(path.c_str());
}
BENCHMARK(BM_RecorderCScope);

void BM_RecorderCScopeClockRead(benchmark::State& state)
{
    for (auto _ : state) benchmark::DoNotOptimize(std::chrono::steady_clock::now());
}
BENCHMARK(BM_RecorderCScopeClockRead);

}  // namespace
