#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "viewer/viewer.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
const bool kSanitized = true;  // the sanitizer's allocator ignores the C library's tuning
#else
const bool kSanitized = false;
#endif

const size_t kBlock = 64 * 1024;
const size_t kBlocks = 640;  // 40 MiB, under the kept amount

long resident_kb()
{
    long pages = 0, resident = 0;
    std::FILE* file = std::fopen("/proc/self/statm", "r");
    if (!file) return -1;
    if (std::fscanf(file, "%ld %ld", &pages, &resident) != 2) resident = -1;
    std::fclose(file);
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Blocks the size of the rasteriser's binning chunks, written so they are resident.
std::vector<char*> allocate_touched(size_t count, bool pinned, std::vector<char*>* pins)
{
    std::vector<char*> blocks;
    blocks.reserve(count);  // no vector growth between the blocks
    for (size_t i = 0; i < count; i++) {
        blocks.push_back(static_cast<char*>(std::malloc(kBlock)));
        std::memset(blocks.back(), int(i), kBlock);
        // A small block kept after each big one holds the heap's top above it.
        if (pinned) pins->push_back(static_cast<char*>(std::malloc(64)));
    }
    return blocks;
}

void free_all(std::vector<char*>* blocks)
{
    for (char* block : *blocks) std::free(block);
    blocks->clear();
}

int child_failures;

void child_check(bool ok, const char* what, long before, long after)
{
    if (ok) return;
    std::fprintf(stderr, "failed: %s (resident %ld kB before, %ld kB after)\n", what, before, after);
    child_failures++;
}

TEST(ViewerMemory, ReturnsFreePagesEveryTwoSecondsOfItsClock)
{
    // Far from any real clock reading, so earlier callers cannot shift the schedule.
    const double base = 1e9;
    viewer_return_free_memory(base);
    struct Step {
        double now;
        bool returned;
    } steps[] = {
        {base + 1.0, false},
        {base + 1.99, false},
        {base + 2.0, true},
        {base + 2.5, false},
        {base + 10.0, true},
        {base + 5.0, true},
        {base + 5.5, false},
        {base + 7.0, true},
    };
    for (const Step& step : steps) EXPECT_EQ(viewer_return_free_memory(step.now), step.returned) << step.now - base;
}

// In a fresh child, so the C library's thresholds are its defaults, not what earlier tests made them.
TEST(ViewerMemoryDeathTest, KeepsFreedMemoryUntilTheReturn)
{
    if (kSanitized) GTEST_SKIP() << "the sanitizer's allocator has its own ways";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            viewer_keep_freed_memory();
            const long freed_kb = long(kBlocks * kBlock / 1024);
            long before = resident_kb();
            std::vector<char*> pins;
            pins.reserve(kBlocks);
            std::vector<char*> blocks = allocate_touched(kBlocks, false, &pins);
            free_all(&blocks);
            long after = resident_kb();
            child_check(after - before > freed_kb * 3 / 4, "a freed top of heap is kept", before, after);
            viewer_return_free_memory(0.0);
            viewer_return_free_memory(2.0);
            long returned = resident_kb();
            child_check(after - returned > freed_kb * 3 / 4, "the return hands it back", after, returned);

            blocks = allocate_touched(kBlocks, true, &pins);
            free_all(&blocks);
            before = resident_kb();
            viewer_return_free_memory(4.0);
            after = resident_kb();
            child_check(before - after > freed_kb * 3 / 4, "pages between live blocks go back too", before, after);
            free_all(&pins);
            std::exit(child_failures == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
