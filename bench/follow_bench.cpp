// Reloads while following: the whole file read under the lock and parsed into a new table,
// and a reload of a recording that grew in place, which reads only its new frames.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "profile/encoder.h"
#include "profile/profile.h"
#include "profile/reader.h"
#include "viewer/viewer.h"

namespace {

constexpr size_t kLargeBytes = size_t(100) << 20;

std::string scratch_path(const char* name)
{
    return "/tmp/savrel-bench-" + std::to_string(getpid()) + "-" + name;
}

// 256 sections (15 groups of 16 items).
std::vector<EncodedGroupNames> large_names()
{
    std::vector<EncodedGroupNames> names(15);
    for (int g = 0; g < 15; g++) {
        names[size_t(g)].name = "group " + std::to_string(g);
        for (int k = 0; k < 16; k++) names[size_t(g)].items.push_back("item " + std::to_string(k));
    }
    return names;
}

void encode_large_frame(ProfileBytes* bytes, uint32_t frame)
{
    static std::vector<EncodedGroupValues> groups(15, EncodedGroupValues{0, std::vector<float>(16)});
    for (size_t g = 0; g < groups.size(); g++)
        for (size_t k = 0; k < 16; k++) groups[g].items[k] = float((frame + k * g) % 13) * 0.001f;
    profile_encode_frame(bytes, 16.0f + float(frame % 7), groups, {});
}

// Frames until the file holds 100 MB; *frames and *structure_offset say where it ends.
std::string write_large_recording(uint32_t* frames = nullptr, size_t* structure_offset = nullptr)
{
    std::string path = scratch_path("large.bin");
    std::FILE* out = std::fopen(path.c_str(), "wb");
    ProfileBytes bytes;
    size_t written = 0;
    uint32_t frame = 0;
    for (; written + bytes.size() < kLargeBytes; frame++) {
        encode_large_frame(&bytes, frame);
        if (bytes.size() >= (size_t(8) << 20)) {
            written += std::fwrite(bytes.data(), 1, bytes.size(), out);
            bytes.clear();
        }
    }
    if (frames) *frames = frame;
    if (structure_offset) *structure_offset = written + bytes.size();
    profile_encode_structure(&bytes, large_names());
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

// Argument: frames appended before each reload, the way the recorder appends them (frames and
// a new structure record from the old structure record's offset on). Timed: the reload alone.
void BM_ReloadNewFrames(benchmark::State& state)
{
    uint32_t frames = 0;
    size_t structure_offset = 0;
    std::string path = write_large_recording(&frames, &structure_offset);
    ProfileBytes structure;
    profile_encode_structure(&structure, large_names());
    int file = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (recording_load(path.c_str()) != RECORDING_OK) state.SkipWithError(recording_last_detail());
    size_t bytes_read = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ProfileBytes added;
        for (int64_t n = 0; n < state.range(0); n++) encode_large_frame(&added, frames++);
        added.insert(added.end(), structure.begin(), structure.end());
        if (pwrite(file, added.data(), added.size(), off_t(structure_offset)) != ssize_t(added.size()))
            state.SkipWithError("cannot append");
        structure_offset += added.size() - structure.size();
        state.ResumeTiming();
        if (recording_reload(path.c_str()) != RECORDING_OK) state.SkipWithError(recording_last_detail());
        bytes_read += recording_last_bytes_read();
    }
    close(file);
    recording_release();
    state.counters["frames"] = double(profile_table()->frame_count);
    state.counters["read_KB_per_reload"] = double(bytes_read) / 1e3 / double(state.iterations());
    state.counters["file_MB"] = double(structure_offset + structure.size()) / 1e6;
    std::remove(path.c_str());
}

}  // namespace

BENCHMARK(BM_ReloadNewFrames)->ArgName("new_frames")->Arg(1)->Arg(60)->Iterations(300)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReloadNewFrames)->ArgName("new_frames")->Arg(6000)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Reload)->ArgName("large")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinWarmUpTime(0.5)->MinTime(2);
