// Loading long recordings, against reading and decoding the same bytes without building a table.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>

#include "profile/encoder.h"
#include "profile/profile.h"

namespace {

constexpr size_t kRecordingBytes = size_t(256) << 20;
constexpr size_t kFlushBytes = size_t(8) << 20;
constexpr size_t kReadBlockBytes = size_t(1) << 20;
constexpr double kMebibyte = 1024.0 * 1024.0;

// Section counts and the group shapes that give them: 1 + groups * (1 + items per group).
struct Shape {
    int sections;
    int groups;
    int items;
};
const Shape kShapes[] = {{16, 3, 4}, {256, 15, 16}, {4096, 63, 64}};

// Recordings written to /tmp on first use and deleted when the run ends.
class Recordings {
public:
    ~Recordings()
    {
        for (const auto& entry : paths_) std::remove(entry.second.c_str());
    }

    const std::string& path(int sections)
    {
        auto found = paths_.find(sections);
        if (found != paths_.end()) return found->second;
        std::string path = "/tmp/savrel-bench-" + std::to_string(getpid()) + "-" + std::to_string(sections) + ".bin";
        write_recording(path, shape(sections));
        return paths_[sections] = path;
    }

private:
    static const Shape& shape(int sections)
    {
        for (const Shape& shape : kShapes)
            if (shape.sections == sections) return shape;
        std::abort();
    }

    static void write_recording(const std::string& path, const Shape& shape)
    {
        std::vector<EncodedGroupValues> groups(size_t(shape.groups));
        for (EncodedGroupValues& group : groups) group.items.resize(size_t(shape.items));
        std::vector<EncodedGroupNames> names(size_t(shape.groups));
        for (int group = 0; group < shape.groups; group++) {
            names[size_t(group)].name = "group " + std::to_string(group);
            for (int item = 0; item < shape.items; item++)
                names[size_t(group)].items.push_back("item " + std::to_string(item));
        }
        const std::vector<std::string> none, note = {"frame marker"};
        std::FILE* out = std::fopen(path.c_str(), "wb");
        ProfileBytes bytes;
        size_t written = 0;
        for (uint32_t frame = 0; written + bytes.size() < kRecordingBytes; frame++) {
            for (size_t group = 0; group < groups.size(); group++) {
                groups[group].value = float(frame % 97) * 0.01f + float(group);
                for (size_t item = 0; item < groups[group].items.size(); item++)
                    groups[group].items[item] = float((frame + item) % 13) * 0.001f;
            }
            profile_encode_frame(&bytes, 16.0f + float(frame % 7), groups, frame % 64 == 0 ? note : none);
            if (bytes.size() >= kFlushBytes) {
                written += std::fwrite(bytes.data(), 1, bytes.size(), out);
                bytes.clear();
            }
        }
        profile_encode_structure(&bytes, names);
        std::fwrite(bytes.data(), 1, bytes.size(), out);
        // Written back before timing starts, so that no load competes with the disk.
        std::fflush(out);
        fsync(fileno(out));
        std::fclose(out);
    }

    std::map<int, std::string> paths_;
};

Recordings recordings;

size_t file_size(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return size_t(in.tellg());
}

long status_kibibytes(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    return 0;
}

// Resident memory at the peak of one load, beyond what the process held before it and the table itself.
double peak_over_table_mebibytes(const std::string& path)
{
    profile_load_memory(nullptr, 0);
    std::ofstream("/proc/self/clear_refs") << "5";
    long before = status_kibibytes("VmRSS:");
    profile_load(path.c_str());
    long peak = status_kibibytes("VmHWM:");
    const SectionTable* table = profile_table();
    double table_bytes = double(table->section_count) * (sizeof(Section) + 4.0 * profile_capacity(table));
    return (double(peak - before) * 1024.0 - table_bytes) / kMebibyte;
}

void BM_ProfileLoad(benchmark::State& state)
{
    const std::string& path = recordings.path(int(state.range(0)));
    for (auto _ : state) {
        profile_load(path.c_str());
        if (profile_last_status() != PROFILE_OK) state.SkipWithError(profile_last_detail());
        benchmark::DoNotOptimize(profile_table()->sections);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(file_size(path)));
    state.counters["frames"] = profile_table()->frame_count;
    state.counters["peak_over_table_MiB"] = peak_over_table_mebibytes(path);
}

// The floor: the same bytes read once in blocks and every 32-bit word decoded, with nothing stored.
void BM_RawReadDecode(benchmark::State& state)
{
    const std::string& path = recordings.path(int(state.range(0)));
    std::vector<uint8_t> block(kReadBlockBytes);
    for (auto _ : state) {
        int file = open(path.c_str(), O_RDONLY);
        uint32_t sum = 0;
        ssize_t got;
        while ((got = read(file, block.data(), block.size())) > 0)
            for (ssize_t at = 0; at + 4 <= got; at += 4)
                sum += uint32_t(block[size_t(at)]) << 24 | uint32_t(block[size_t(at) + 1]) << 16 |
                       uint32_t(block[size_t(at) + 2]) << 8 | block[size_t(at) + 3];
        close(file);
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(file_size(path)));
}

}  // namespace

// Warm-up so that every run reads from a warm page cache, as a second start of the viewer would.
BENCHMARK(BM_ProfileLoad)->Arg(16)->Arg(256)->Arg(4096)->Unit(benchmark::kMillisecond)->MinWarmUpTime(0.5)->MinTime(2);
BENCHMARK(BM_RawReadDecode)->Arg(16)->Arg(256)->Arg(4096)->Unit(benchmark::kMillisecond)->MinWarmUpTime(0.5)->MinTime(2);
