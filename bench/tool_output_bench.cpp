// savrel-inspect's outputs timed as a user runs them: the whole process, on a recording shaped
// like a program's, output thrown away in /dev/null. Each run reports its wall time, the
// child's processor time (cpu_s, user and system: steadier than wall time on a busy machine)
// and its peak resident memory (peak_MiB). SAVREL_INSPECT names another savrel-inspect to time, so
// an older build can be measured beside this one.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "profile/encoder.h"

namespace {

const uint32_t kFrames = 20322;
const uint32_t kGroups = 15;
const char* const kFormats[] = {"", "--csv", "--json"};

// Root, kGroups groups and their items: `sections` in all. Items add up to their group,
// groups to 95% of the frame, notes every 97th frame.
ProfileBytes realistic_recording(uint32_t sections)
{
    uint32_t items = sections - 1 - kGroups;
    std::vector<EncodedGroupNames> names(kGroups);
    for (uint32_t group = 0; group < kGroups; group++) names[group].name = "Group " + std::to_string(group);
    for (uint32_t item = 0; item < items; item++)
        names[item % kGroups].items.push_back("item " + std::to_string(item));
    ProfileBytes bytes;
    uint32_t seed = 1;
    for (uint32_t frame = 0; frame < kFrames; frame++) {
        std::vector<EncodedGroupValues> groups(kGroups);
        float sum = 0;
        for (uint32_t group = 0; group < kGroups; group++) {
            for (size_t item = 0; item < names[group].items.size(); item++) {
                seed = seed * 1664525u + 1013904223u;
                groups[group].items.push_back(float(seed >> 8) * 1e-12f + 1e-6f);
                groups[group].value += groups[group].items.back();
            }
            sum += groups[group].value;
        }
        std::vector<std::string> notes;
        if (frame % 97 == 0) notes.push_back("frame " + std::to_string(frame));
        profile_encode_frame(&bytes, sum / 0.95f, groups, notes);
    }
    profile_encode_structure(&bytes, names);
    return bytes;
}

// One file per section count, written once per run of the benchmarks.
std::string recording_path(uint32_t sections)
{
    static std::map<uint32_t, std::string> paths;
    if (paths.count(sections)) return paths[sections];
    std::string path = "/tmp/savrel-inspect-bench-" + std::to_string(getpid()) + "-" + std::to_string(sections);
    ProfileBytes bytes = realistic_recording(sections);
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return "";
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
    std::atexit([] {
        for (const auto& entry : paths) std::remove(entry.second.c_str());
    });
    return paths[sections] = path;
}

std::string inspect_path()
{
    if (const char* chosen = std::getenv("SAVREL_INSPECT")) return chosen;
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) < 0) return "";
    std::string folder(self);
    return folder.substr(0, folder.rfind('/')) + "/../tools/savrel-inspect";
}

struct InspectRun {
    double seconds;
    double processor_seconds;
    double peak_mib;
};

double seconds_of(const timeval& time)
{
    return double(time.tv_sec) + double(time.tv_usec) * 1e-6;
}

// Runs savrel-inspect to /dev/null; false when it cannot start or fails.
bool run_inspect(const std::string& format, const std::string& path, InspectRun* run)
{
    std::string program = inspect_path();
    auto start = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child == 0) {
        if (!std::freopen("/dev/null", "w", stdout)) _exit(127);
        if (format.empty())
            execl(program.c_str(), program.c_str(), path.c_str(), static_cast<char*>(nullptr));
        else
            execl(program.c_str(), program.c_str(), format.c_str(), path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    struct rusage usage = {};
    if (child < 0 || wait4(child, &status, 0, &usage) != child) return false;
    run->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run->processor_seconds = seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
    run->peak_mib = double(usage.ru_maxrss) / 1024.0;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Arguments: section count, then 0 report, 1 CSV, 2 JSON.
void BM_InspectOutput(benchmark::State& state)
{
    std::string path = recording_path(uint32_t(state.range(0)));
    InspectRun run{};
    for (auto _ : state) {
        if (path.empty() || !run_inspect(kFormats[state.range(1)], path, &run)) {
            state.SkipWithError("savrel-inspect did not run");
            return;
        }
        state.SetIterationTime(run.seconds);
    }
    state.counters["cpu_s"] = run.processor_seconds;
    state.counters["peak_MiB"] = run.peak_mib;
}
BENCHMARK(BM_InspectOutput)
    ->ArgNames({"sections", "format"})
    ->ArgsProduct({{1011, 4096}, {0, 1, 2}})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
