// The recording reader: a reload that reads only new bytes gives exactly the table a whole read
// gives, and a large recording being written always opens.
#include "profile/reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "profile/encoder.h"
#include "profile/profile.h"
#include "tests/support/process_support.h"

namespace {

const std::vector<EncodedGroupNames> kGroups = {{"render", {"scene", "ui"}}, {"update", {"physics"}}};

// Frames first..first+count-1 of a recording with these groups; `seed` tells recordings apart.
ProfileBytes frames_of(uint32_t first, uint32_t count, const std::vector<EncodedGroupNames>& groups, float seed)
{
    ProfileBytes bytes;
    for (uint32_t frame = first; frame < first + count; frame++) {
        std::vector<EncodedGroupValues> values;
        for (size_t g = 0; g < groups.size(); g++) {
            EncodedGroupValues group{seed + float(frame % 97) + float(g), {}};
            for (size_t k = 0; k < groups[g].items.size(); k++) group.items.push_back(seed + float((frame + k) % 13));
            values.push_back(group);
        }
        std::vector<std::string> notes;
        if (frame % 50 == 0) notes.push_back("frame " + std::to_string(frame));
        profile_encode_frame(&bytes, seed + float(frame % 1000), values, notes);
    }
    return bytes;
}

std::string as_string(const ProfileBytes& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

ProfileBytes recording(uint32_t frames, const std::vector<EncodedGroupNames>& groups, float seed)
{
    ProfileBytes bytes = frames_of(0, frames, groups, seed);
    profile_encode_structure(&bytes, groups);
    return bytes;
}

// Writes over the file in place, as the recorder does, from byte `from` on; the file keeps its inode.
void write_in_place(const std::string& path, const ProfileBytes& bytes, size_t from, bool truncate_first = false)
{
    int file = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(file, 0);
    if (truncate_first) {
        ASSERT_EQ(ftruncate(file, 0), 0);
    }
    ASSERT_EQ(pwrite(file, bytes.data() + from, bytes.size() - from, off_t(from)), ssize_t(bytes.size() - from));
    ASSERT_EQ(ftruncate(file, off_t(bytes.size())), 0);
    close(file);
}

// Everything a table holds, values up to its capacity included, as bytes to compare.
std::string table_image()
{
    const SectionTable* table = profile_table();
    uint32_t capacity = profile_capacity(table);
    std::string image = std::to_string(table->section_count) + " sections, " + std::to_string(table->frame_count) +
                        " frames, status " + std::to_string(profile_last_status()) + "\n";
    for (uint32_t s = 0; s < table->section_count; s++) {
        const Section& section = table->sections[s];
        image += std::to_string(section.type) + " " + std::to_string(section.group_index) + " " + section.name + "\n";
        image.append(reinterpret_cast<const char*>(section.colour), sizeof section.colour);
        if (section.values) image.append(reinterpret_cast<const char*>(section.values), capacity * sizeof(float));
    }
    return image;
}

// Where two images first differ, for a failure message that fits on a screen.
std::string first_difference(const std::string& a, const std::string& b)
{
    size_t at = 0;
    while (at < a.size() && at < b.size() && a[at] == b[at]) at++;
    return "sizes " + std::to_string(a.size()) + " and " + std::to_string(b.size()) + ", first difference at byte " +
           std::to_string(at) + " after \"" + a.substr(0, std::min<size_t>(a.find('\n'), 60)) + "\"";
}

struct ReloadCase {
    const char* what;
    std::function<void(const std::string& path)> change;
    bool appends;  // only the new bytes are read
};

TEST(RecordingReload, ReadingOnlyTheNewBytesGivesTheTableAWholeReadGives)
{
    std::string folder = make_scratch_folder();
    const uint32_t kFrames = 3000;
    const ProfileBytes first = recording(kFrames, kGroups, 1.0f);
    const size_t old_structure = frames_of(0, kFrames, kGroups, 1.0f).size();
    std::vector<EncodedGroupNames> with_late_group = kGroups, with_late_item = kGroups, with_early_item = kGroups;
    with_late_group.push_back({"audio", {"mixer", "streams"}});
    with_late_item[1].items.push_back("collisions");
    with_early_item[0].items.push_back("shadows");
    // Frames and a new structure record from the old structure record's offset on.
    auto append = [&](uint32_t more, const std::vector<EncodedGroupNames>& groups) {
        return [&, more, groups](const std::string& path) {
            ProfileBytes bytes = frames_of(0, kFrames, kGroups, 1.0f);
            ProfileBytes added = frames_of(kFrames, more, groups, 1.0f);
            bytes.insert(bytes.end(), added.begin(), added.end());
            profile_encode_structure(&bytes, groups);
            write_in_place(path, bytes, old_structure);
        };
    };
    const ReloadCase cases[] = {
        {"a few appended frames", append(10, kGroups), true},
        {"appended frames past the capacity", append(2500, kGroups), true},
        {"a late group after the last", append(60, with_late_group), true},
        {"a late item in the last group", append(60, with_late_item), true},
        {"a late item in an early group", append(60, with_early_item), false},
        {"a replacement",
         [&](const std::string& path) {
             write_file(path + ".new", as_string(recording(kFrames + 500, kGroups, 2.0f)));
             rename((path + ".new").c_str(), path.c_str());
         },
         false},
        {"a shrink", [&](const std::string& path) { write_in_place(path, recording(1000, kGroups, 1.0f), 0, true); },
         false},
        {"a restart in place that regrew past the old size",
         [&](const std::string& path) { write_in_place(path, recording(kFrames + 400, kGroups, 3.0f), 0, true); },
         false},
    };
    for (const ReloadCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::string path = folder + "/advance_profile.bin";
        unlink(path.c_str());
        write_in_place(path, first, 0);
        ASSERT_EQ(recording_load(path.c_str()), RECORDING_OK) << recording_last_detail();
        c.change(path);
        ASSERT_EQ(recording_reload(path.c_str()), RECORDING_OK) << recording_last_detail();
        std::string reloaded = table_image();
        size_t read = recording_last_bytes_read();
        struct stat info;
        ASSERT_EQ(stat(path.c_str(), &info), 0);
        // A structure record that does not continue the table is seen only after reading the new bytes.
        if (c.appends) {
            EXPECT_EQ(read, size_t(info.st_size) - old_structure);
        } else {
            EXPECT_GE(read, size_t(info.st_size));
        }
        ASSERT_EQ(recording_load(path.c_str()), RECORDING_OK) << recording_last_detail();
        std::string whole = table_image();
        EXPECT_TRUE(reloaded == whole) << first_difference(reloaded, whole);
        EXPECT_GT(profile_table()->frame_count, 0u);
        unlink(path.c_str());
    }
    recording_release();
    rmdir(folder.c_str());
}

// A large recording and a writer that goes on appending to it the way the recorder does.
const std::vector<EncodedGroupNames> kLiveGroups = [] {
    std::vector<EncodedGroupNames> groups(4);
    for (size_t g = 0; g < groups.size(); g++) {
        groups[g].name = "group " + std::to_string(g);
        for (int k = 0; k < 15; k++) groups[g].items.push_back("item " + std::to_string(k));
    }
    return groups;
}();
const size_t kLiveBytes = size_t(50) << 20;
const uint32_t kBatchFrames = 8;
// Frames that waited this long for the readers' lock are written without it, as the recorder does.
const auto kMostLockWait = std::chrono::seconds(2);

float live_total(uint32_t frame)
{
    return float(frame % 1000) * 0.001f;
}

ProfileBytes live_frames(uint32_t first, uint32_t count)
{
    ProfileBytes bytes;
    std::vector<EncodedGroupValues> values(kLiveGroups.size(), EncodedGroupValues{0.5f, std::vector<float>(15, 0.25f)});
    for (uint32_t frame = first; frame < first + count; frame++) profile_encode_frame(&bytes, live_total(frame), values, {});
    return bytes;
}

// Writes frames and a new structure record at the old structure record's offset, taking the
// exclusive lock when it can; frames wait in memory while readers hold it, for at most
// kMostLockWait. Runs until `stop` closes; returns the process status.
int write_live(const char* path, int stop)
{
    int file = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (file < 0) return 1;
    ProfileBytes structure;
    profile_encode_structure(&structure, kLiveGroups);
    off_t structure_at = 0;
    uint32_t frames = 0;
    ProfileBytes waiting;
    auto waiting_since = std::chrono::steady_clock::now();
    char byte;
    while (read(stop, &byte, 1) < 0) {
        uint32_t batch = structure_at < off_t(kLiveBytes) ? 4096 : kBatchFrames;
        ProfileBytes more = live_frames(frames, batch);
        if (waiting.empty()) waiting_since = std::chrono::steady_clock::now();
        waiting.insert(waiting.end(), more.begin(), more.end());
        frames += batch;
        bool locked = flock(file, LOCK_EX | LOCK_NB) == 0;
        if (locked || std::chrono::steady_clock::now() - waiting_since > kMostLockWait) {
            ProfileBytes out = waiting;
            out.insert(out.end(), structure.begin(), structure.end());
            if (pwrite(file, out.data(), out.size(), structure_at) != ssize_t(out.size())) return 1;
            structure_at += off_t(waiting.size());
            waiting.clear();
        }
        if (locked) flock(file, LOCK_UN);
        if (structure_at >= off_t(kLiveBytes)) usleep(10000);
    }
    close(file);
    return 0;
}

// The table holds a whole prefix of what the writer writes.
void expect_live_table(size_t least_frames)
{
    const SectionTable* table = profile_table();
    ASSERT_EQ(profile_last_status(), PROFILE_OK) << profile_last_detail();
    ASSERT_EQ(table->section_count, 1u + 4u * 16u);
    ASSERT_GE(table->frame_count, least_frames);
    for (uint32_t frame : {0u, table->frame_count / 2, table->frame_count - 1})
        ASSERT_EQ(table->sections[0].values[frame], live_total(frame)) << frame;
    ASSERT_EQ(table->sections[table->section_count - 1].values[table->frame_count - 1], 0.25f);
}

TEST(RecordingLive, ALargeRecordingBeingWrittenOpensInInspectAndAtStartUpEveryTime)
{
    ASSERT_STRNE(SAVREL_INSPECT_PATH, "");
    std::string folder = make_scratch_folder(), path = folder + "/advance_profile.bin";
    int stop[2];
    ASSERT_EQ(pipe2(stop, O_CLOEXEC), 0);
    pid_t pid = fork_child();
    if (pid == 0) {
        close(stop[1]);
        fcntl(stop[0], F_SETFL, O_NONBLOCK);
        _exit(write_live(path.c_str(), stop[0]));
    }
    ASSERT_GT(pid, 0);
    ChildProcess writer(pid);
    close(stop[0]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    struct stat info {};
    while (stat(path.c_str(), &info) != 0 || size_t(info.st_size) < kLiveBytes) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the writer did not reach 50 MB";
        usleep(20000);
    }
    const size_t least_frames = kLiveBytes / live_frames(0, 1).size();
    // Each savrel-inspect runs beside a start-up load in this process.
    for (int run = 0; run < 20; run++) {
        SCOPED_TRACE(run);
        std::string capture = folder + "/inspect.txt";
        pid_t inspect_pid = spawn_program(SAVREL_INSPECT_PATH, {"--spikes", "0", path}, folder, {}, capture);
        ASSERT_GT(inspect_pid, 0);
        ChildProcess inspect(inspect_pid);
        ASSERT_EQ(recording_load(path.c_str()), RECORDING_OK) << recording_last_detail();
        recording_release();
        ASSERT_NO_FATAL_FAILURE(expect_live_table(least_frames));
        int status = inspect.wait(120000);
        std::string output = read_file(capture);
        ASSERT_EQ(status, 0) << status << " " << output;
        unsigned frames = 0;
        size_t at = output.find("Frames: ");
        ASSERT_NE(at, std::string::npos) << output;
        ASSERT_EQ(std::sscanf(output.c_str() + at, "Frames: %u", &frames), 1) << output;
        EXPECT_GE(frames, least_frames);
        EXPECT_NE(output.find("Diagnostics: none"), std::string::npos) << output;
    }
    unlink((folder + "/inspect.txt").c_str());
    close(stop[1]);
    int status = writer.wait(60000);
    EXPECT_EQ(status, 0) << status;
    unlink(path.c_str());
    rmdir(folder.c_str());
}

}  // namespace
