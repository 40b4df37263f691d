// savrel-compare against loading: two 100 MB recordings compared, and the same two only loaded.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <string>
#include <utility>

#include "profile/encoder.h"
#include "profile/profile.h"
#include "tools/compare/analysis.h"

namespace {

constexpr size_t kRecordingBytes = size_t(100) << 20;
constexpr size_t kFlushBytes = size_t(8) << 20;
// Frame-to-frame wander like a game's: each value drifts with a lag-1 correlation of 0.9.
constexpr float kCorrelation = 0.9f;
constexpr float kInnovation = 0.035f;

// Section counts and the group shapes that give them: 1 + groups * (1 + items per group).
struct Shape {
    int sections;
    int groups;
    int items;
};
const Shape kShapes[] = {{16, 3, 4}, {256, 15, 16}, {4096, 63, 64}};

// A uniform number in [-1, 1) from a fixed-seed generator, cheap enough for 100 MB.
float next_noise(uint64_t* state)
{
    *state = *state * 6364136223846793005ull + 1442695040888963407ull;
    return float(int32_t(*state >> 32)) / 2147483648.0f;
}

double thread_seconds()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

void write_recording(const std::string& path, const Shape& shape, uint64_t seed)
{
    std::vector<EncodedGroupValues> groups(size_t(shape.groups));
    std::vector<EncodedGroupNames> names(size_t(shape.groups));
    for (int group = 0; group < shape.groups; group++) {
        groups[size_t(group)].items.resize(size_t(shape.items));
        names[size_t(group)].name = "group " + std::to_string(group);
        for (int item = 0; item < shape.items; item++) names[size_t(group)].items.push_back("item " + std::to_string(item));
    }
    std::vector<float> wander(size_t(shape.groups * shape.items), 0.0f);
    std::FILE* out = std::fopen(path.c_str(), "wb");
    ProfileBytes bytes;
    size_t written = 0;
    for (uint32_t frame = 0; written + bytes.size() < kRecordingBytes; frame++) {
        float total = 0.0f;
        for (size_t group = 0; group < groups.size(); group++) {
            groups[group].value = 0.0f;
            for (size_t item = 0; item < groups[group].items.size(); item++) {
                float& drift = wander[group * size_t(shape.items) + item];
                drift = kCorrelation * drift + kInnovation * next_noise(&seed);
                groups[group].items[item] = 0.0002f * float(item + 1) * (1.0f + drift);
                groups[group].value += groups[group].items[item];
            }
            total += groups[group].value;
        }
        profile_encode_frame(&bytes, total, groups, {});
        if (bytes.size() >= kFlushBytes) {
            written += std::fwrite(bytes.data(), 1, bytes.size(), out);
            bytes.clear();
        }
    }
    profile_encode_structure(&bytes, names);
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);
}

// Pairs of recordings written to /tmp on first use and deleted when the run ends.
class Pairs {
public:
    ~Pairs()
    {
        for (const auto& entry : paths_) {
            std::remove(entry.second.first.c_str());
            std::remove(entry.second.second.c_str());
        }
    }

    const std::pair<std::string, std::string>& paths(int sections)
    {
        auto found = paths_.find(sections);
        if (found != paths_.end()) return found->second;
        std::string stem = "/tmp/savrel-compare-bench-" + std::to_string(getpid()) + "-" + std::to_string(sections);
        std::pair<std::string, std::string> pair = {stem + "-base.bin", stem + "-new.bin"};
        for (const Shape& shape : kShapes) {
            if (shape.sections != sections) continue;
            write_recording(pair.first, shape, 1);
            write_recording(pair.second, shape, 2);
        }
        return paths_[sections] = pair;
    }

private:
    std::map<int, std::pair<std::string, std::string>> paths_;
};

Pairs pairs;

void BM_CompareLoadOnly(benchmark::State& state)
{
    const auto& paths = pairs.paths(int(state.range(0)));
    for (auto _ : state) {
        profile_load(paths.first.c_str());
        profile_load(paths.second.c_str());
        benchmark::DoNotOptimize(profile_table()->sections);
    }
    state.counters["frames"] = profile_table()->frame_count;
}

// What savrel-compare does: each recording loaded and summarised in turn, then compared.
void BM_CompareWhole(benchmark::State& state)
{
    const auto& paths = pairs.paths(int(state.range(0)));
    const CompareThresholds gate = {true, 5.0, false, 0.0};
    double loading = 0.0, total = 0.0;
    for (auto _ : state) {
        double start = thread_seconds();
        std::vector<RunSummary> runs[2];
        for (int side = 0; side < 2; side++) {
            double before = thread_seconds();
            profile_load(side ? paths.second.c_str() : paths.first.c_str());
            loading += thread_seconds() - before;
            const SectionTable* table = profile_table();
            runs[side].push_back(compare_summarize_table(table, 0, table->frame_count));
        }
        Comparison comparison = compare_runs(runs[0], runs[1], gate);
        benchmark::DoNotOptimize(comparison.failed);
        total += thread_seconds() - start;
    }
    state.counters["frames"] = profile_table()->frame_count;
    // Measured inside the same iterations, so a busy machine weighs on both parts alike.
    state.counters["whole_over_loading"] = total / loading;
}

}  // namespace

BENCHMARK(BM_CompareLoadOnly)->Arg(16)->Arg(256)->Arg(4096)->Unit(benchmark::kMillisecond)->MinWarmUpTime(0.5)->MinTime(2);
BENCHMARK(BM_CompareWhole)->Arg(16)->Arg(256)->Arg(4096)->Unit(benchmark::kMillisecond)->MinWarmUpTime(0.5)->MinTime(2);
