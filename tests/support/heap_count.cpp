// savrel-heap-count: counts the heap memory the viewer's own code holds, apart from the GL
// driver's, for the soak's memory verdict.
//
// Loaded with LD_PRELOAD, it stands in for malloc, calloc, realloc, free and every form of
// operator new and delete, and passes each call on to the C library unchanged. A block counts
// as ours when the nearest caller outside the C and C++ runtime libraries is the program
// itself; so what the driver, SDL or X allocate inside our GL and SDL calls is never counted,
// while std::string growth or fopen on our behalf is. The blocks keep the C library's layout.
//
// With SAVREL_HEAP_COUNT=FILE in the environment the counts are kept in FILE, shared, as
// four unsigned 64-bit words: live bytes, live blocks, allocations so far, and 1 once more
// blocks were live than the table holds (the counts are then low).
// Not for a sanitized program: its runtime must be the first to stand in for malloc.
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* block);
}

namespace {

struct Counts {
    std::atomic<uint64_t> live_bytes;
    std::atomic<uint64_t> live_blocks;
    std::atomic<uint64_t> allocations;
    std::atomic<uint64_t> overflowed;
};

struct Range {
    uintptr_t low, high;
};

struct Entry {
    uintptr_t block;  // 0: empty
    uint64_t size;
};

const int kTableBits = 18;
const size_t kTableSize = size_t(1) << kTableBits;
const size_t kTableLimit = kTableSize / 10 * 7;  // linear probing slows past this load
const int kMaxRanges = 32;
const int kWalkDepth = 48;

enum class Origin { Ours,
                    Runtime,
                    Other };

struct HeapCount {
    bool ready;
    Counts* counts;
    Counts private_counts;
    Entry* table;
    size_t used;
    std::atomic_flag lock;
    // Addresses of our live blocks lie between these, so most frees of other threads'
    // blocks skip the lock.
    std::atomic<uintptr_t> lowest, highest;
    Range program[kMaxRanges], runtime[kMaxRanges];
    int program_count, runtime_count;
};
HeapCount heap;

// Initial-exec: the general model may allocate on a thread's first access, inside malloc.
__thread bool walking __attribute__((tls_model("initial-exec")));
__thread bool main_thread __attribute__((tls_model("initial-exec")));

bool in_ranges(uintptr_t address, const Range* ranges, int count)
{
    for (int i = 0; i < count; i++)
        if (address >= ranges[i].low && address < ranges[i].high) return true;
    return false;
}

Origin origin_of(uintptr_t address)
{
    if (in_ranges(address, heap.program, heap.program_count)) return Origin::Ours;
    if (in_ranges(address, heap.runtime, heap.runtime_count)) return Origin::Runtime;
    return Origin::Other;
}

// Allocations the runtime makes on a caller's behalf belong to that caller: walk up the
// stack past the runtime (and this library) to the first other code.
bool ours(void* caller)
{
    if (!heap.ready || walking || !main_thread) return false;
    Origin origin = origin_of(uintptr_t(caller));
    if (origin != Origin::Runtime) return origin == Origin::Ours;
    walking = true;
    void* frames[kWalkDepth];
    int depth = backtrace(frames, kWalkDepth);
    walking = false;
    for (int i = 0; i < depth; i++) {
        origin = origin_of(uintptr_t(frames[i]));
        if (origin != Origin::Runtime) return origin == Origin::Ours;
    }
    return false;
}

void lock()
{
    while (heap.lock.test_and_set(std::memory_order_acquire)) __builtin_ia32_pause();
}

void unlock()
{
    heap.lock.clear(std::memory_order_release);
}

size_t slot_of(uintptr_t block)
{
    return size_t(((block >> 4) * 0x9E3779B97F4A7C15ull) >> (64 - kTableBits));
}

void remember(void* block, size_t size)
{
    if (!block) return;
    uintptr_t key = uintptr_t(block);
    lock();
    if (heap.used >= kTableLimit) {
        heap.counts->overflowed.store(1, std::memory_order_relaxed);
        unlock();
        return;
    }
    size_t slot = slot_of(key);
    while (heap.table[slot].block) slot = (slot + 1) & (kTableSize - 1);
    heap.table[slot] = {key, size};
    heap.used++;
    if (key < heap.lowest.load(std::memory_order_relaxed)) heap.lowest.store(key, std::memory_order_relaxed);
    if (key >= heap.highest.load(std::memory_order_relaxed)) heap.highest.store(key + 1, std::memory_order_relaxed);
    heap.counts->live_bytes.fetch_add(size, std::memory_order_relaxed);
    heap.counts->live_blocks.fetch_add(1, std::memory_order_relaxed);
    heap.counts->allocations.fetch_add(1, std::memory_order_relaxed);
    unlock();
}

// Linear probing with backward-shift deletion, so the table needs no tombstones.
void forget(void* block)
{
    uintptr_t key = uintptr_t(block);
    if (!heap.ready || key < heap.lowest.load(std::memory_order_relaxed) ||
        key >= heap.highest.load(std::memory_order_relaxed))
        return;
    lock();
    size_t slot = slot_of(key);
    while (heap.table[slot].block && heap.table[slot].block != key) slot = (slot + 1) & (kTableSize - 1);
    if (heap.table[slot].block) {
        heap.counts->live_bytes.fetch_sub(heap.table[slot].size, std::memory_order_relaxed);
        heap.counts->live_blocks.fetch_sub(1, std::memory_order_relaxed);
        heap.used--;
        size_t hole = slot;
        for (size_t next = (hole + 1) & (kTableSize - 1); heap.table[next].block; next = (next + 1) & (kTableSize - 1)) {
            size_t home = slot_of(heap.table[next].block);
            // The entry may move into the hole unless its home lies cyclically in (hole, next].
            bool stays = hole <= next ? (home > hole && home <= next) : (home > hole || home <= next);
            if (stays) continue;
            heap.table[hole] = heap.table[next];
            hole = next;
        }
        heap.table[hole] = {0, 0};
    }
    unlock();
}

void* allocate(size_t size, void* caller)
{
    void* block = __libc_malloc(size);
    if (ours(caller)) remember(block, size);
    return block;
}

void* allocate_aligned(size_t size, size_t alignment, void* caller)
{
    void* block = __libc_memalign(alignment, size);
    if (ours(caller)) remember(block, size);
    return block;
}

void release(void* block)
{
    if (!block) return;
    forget(block);
    __libc_free(block);
}

int note_segments(dl_phdr_info* info, size_t, void*)
{
    const char* name = info->dlpi_name;
    const char* base = std::strrchr(name, '/');
    base = base ? base + 1 : name;
    Range* ranges = nullptr;
    int* count = nullptr;
    static const char* const kRuntime[] = {"libc.so", "libstdc++.so", "libgcc_s.so", "libm.so", "libsavrel-heap-count.so"};
    if (name[0] == '\0' && heap.program_count == 0) {
        ranges = heap.program;
        count = &heap.program_count;
    }
    for (const char* runtime : kRuntime)
        if (std::strncmp(base, runtime, std::strlen(runtime)) == 0) {
            ranges = heap.runtime;
            count = &heap.runtime_count;
        }
    if (!ranges) return 0;
    for (int i = 0; i < info->dlpi_phnum && *count < kMaxRanges; i++) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD || !(segment.p_flags & PF_X)) continue;
        uintptr_t low = info->dlpi_addr + segment.p_vaddr;
        ranges[(*count)++] = {low, low + segment.p_memsz};
    }
    return 0;
}

Counts* shared_counts()
{
    const char* path = std::getenv("SAVREL_HEAP_COUNT");
    if (!path) return &heap.private_counts;
    int file = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file < 0) return &heap.private_counts;
    void* mapped = MAP_FAILED;
    if (ftruncate(file, sizeof(Counts)) == 0)
        mapped = mmap(nullptr, sizeof(Counts), PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
    close(file);
    return mapped == MAP_FAILED ? &heap.private_counts : static_cast<Counts*>(mapped);
}

// Runs before the program's own initialisers; whatever is allocated before it is not counted.
__attribute__((constructor)) void start_counting()
{
    void* table = mmap(nullptr, kTableSize * sizeof(Entry), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (table == MAP_FAILED) return;
    heap.table = static_cast<Entry*>(table);
    heap.counts = shared_counts();
    heap.lowest.store(UINTPTR_MAX);
    heap.highest.store(0);
    dl_iterate_phdr(note_segments, nullptr);
    // backtrace loads the unwinder on its first call; that allocation must not walk.
    void* frame;
    walking = true;
    backtrace(&frame, 1);
    walking = false;
    main_thread = true;
    heap.ready = true;
}

}  // namespace

extern "C" {

void* malloc(size_t size)
{
    return allocate(size, __builtin_return_address(0));
}

void* calloc(size_t count, size_t size)
{
    void* block = __libc_calloc(count, size);
    if (ours(__builtin_return_address(0))) remember(block, count * size);
    return block;
}

void* realloc(void* block, size_t size)
{
    void* moved = __libc_realloc(block, size);
    // On failure the old block stands, counted as it was.
    if (!moved && size != 0) return nullptr;
    if (block) forget(block);
    if (ours(__builtin_return_address(0))) remember(moved, size);
    return moved;
}

void free(void* block)
{
    release(block);
}

}  // extern "C"

void* operator new(size_t size)
{
    void* block = allocate(size, __builtin_return_address(0));
    if (!block) throw std::bad_alloc();
    return block;
}

void* operator new[](size_t size)
{
    void* block = allocate(size, __builtin_return_address(0));
    if (!block) throw std::bad_alloc();
    return block;
}

void* operator new(size_t size, const std::nothrow_t&) noexcept
{
    return allocate(size, __builtin_return_address(0));
}

void* operator new[](size_t size, const std::nothrow_t&) noexcept
{
    return allocate(size, __builtin_return_address(0));
}

void* operator new(size_t size, std::align_val_t alignment)
{
    void* block = allocate_aligned(size, size_t(alignment), __builtin_return_address(0));
    if (!block) throw std::bad_alloc();
    return block;
}

void* operator new[](size_t size, std::align_val_t alignment)
{
    void* block = allocate_aligned(size, size_t(alignment), __builtin_return_address(0));
    if (!block) throw std::bad_alloc();
    return block;
}

void* operator new(size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return allocate_aligned(size, size_t(alignment), __builtin_return_address(0));
}

void* operator new[](size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return allocate_aligned(size, size_t(alignment), __builtin_return_address(0));
}

void operator delete(void* block) noexcept
{
    release(block);
}
void operator delete[](void* block) noexcept
{
    release(block);
}
void operator delete(void* block, size_t) noexcept
{
    release(block);
}
void operator delete[](void* block, size_t) noexcept
{
    release(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept
{
    release(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept
{
    release(block);
}
void operator delete(void* block, std::align_val_t) noexcept
{
    release(block);
}
void operator delete[](void* block, std::align_val_t) noexcept
{
    release(block);
}
void operator delete(void* block, size_t, std::align_val_t) noexcept
{
    release(block);
}
void operator delete[](void* block, size_t, std::align_val_t) noexcept
{
    release(block);
}
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept
{
    release(block);
}
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept
{
    release(block);
}
