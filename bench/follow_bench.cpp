// Reloads while following: the file read under the lock and parsed into a new table.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "profile/encoder.h"
#include "profile/profile.h"
#include "viewer/viewer.h"

namespace {

constexpr size_t kLargeBytes = size_t(100) << 20;

std::string scratch_path(const char* name)
{
    return "/tmp/savrel-bench-" + std::to_string(getpid()) + "-" + name;
}

// 256 sections (15 groups of 16 items), frames until the file holds 100 MB.
std::string write_large_recording()
{
    std::string path = scratch_path("large.bin");
    std::vector<EncodedGroupValues> groups(15, EncodedGroupValues{0, std::vector<float>(16)});
    std::vector<EncodedGroupNames> names(15);
    for (int g = 0; g < 15; g++) {
        names[size_t(g)].name = "group " + std::to_string(g);
        for (int k = 0; k < 16; k++) names[size_t(g)].items.push_back("item " + std::to_string(k));
    }
    std::FILE* out = std::fopen(path.c_str(), "wb");
    ProfileBytes bytes;
    size_t written = 0;
    for (uint32_t frame = 0; written + bytes.size() < kLargeBytes; frame++) {
        for (size_t g = 0; g < groups.size(); g++)
            for (size_t k = 0; k < 16; k++) groups[g].items[k] = float((frame + k * g) % 13) * 0.001f;
        profile_encode_frame(&bytes, 16.0f + float(frame % 7), groups, {});
        if (bytes.size() >= (size_t(8) << 20)) {
            written += std::fwrite(bytes.data(), 1, bytes.size(), out);
            bytes.clear();
        }
    }
    profile_encode_structure(&bytes, names);
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);
    return path;
}

std::string write_demo_recording()
{
    std::string path = scratch_path("demo.bin");
    std::string command = std::string(SAVREL_DEMO_PATH) + " " + path + " > /dev/null";
    return std::system(command.c_str()) == 0 ? path : "";
}

void press_f()
{
    InputState input{};
    input.keys[0] = KeyEvent{'f', 'f', 1};
    input.key_count = 1;
    viewer_follow_input(&input);
}

// Argument 0: the demo recording; 1: the 100 MB one. In follow mode, which keeps the read buffer.
void BM_Reload(benchmark::State& state)
{
    std::string path = state.range(0) == 0 ? write_demo_recording() : write_large_recording();
    press_f();
    for (auto _ : state)
        if (!viewer_reload_profile(path.c_str())) state.SkipWithError(viewer_reload_reason());
    press_f();
    state.counters["frames"] = double(profile_table()->frame_count);
    state.counters["sections"] = double(profile_table()->section_count);
    std::FILE* file = std::fopen(path.c_str(), "rb");
    std::fseek(file, 0, SEEK_END);
    state.counters["file_MB"] = double(std::ftell(file)) / 1e6;
    std::fclose(file);
    std::remove(path.c_str());
}

}  // namespace

BENCHMARK(BM_Reload)->ArgName("large")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinWarmUpTime(0.5)->MinTime(2);
