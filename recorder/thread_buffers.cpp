// Thread buffers: each recording thread's running totals, collected at every frame end; and
// the clock that scopes read.
#include <new>

#include "recorder/internal.h"

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace recorder_internal {

namespace {

const double kCalibrationMilliseconds = 2.0;
// Readings of the steady clock, each between two reads of the counter; the one read in the
// shortest time is kept, so that an interrupt between the two clocks does not skew the rate.
const int kClockPairTries = 3;

thread_local ThreadBuffer* thread_buffer = nullptr;

ClockPair read_clock_pair(void)
{
    ClockPair best{};
    uint64_t least_spread = UINT64_MAX;
    for (int attempt = 0; attempt < kClockPairTries; attempt++) {
        const uint64_t before = clock_ticks();
        const std::chrono::steady_clock::time_point time = std::chrono::steady_clock::now();
        const uint64_t spread = clock_ticks() - before;
        if (spread >= least_spread) continue;
        least_spread = spread;
        best = ClockPair{time, before + spread / 2};
    }
    return best;
}

void leave_recorder(ThreadBuffer* buffer)
{
    std::lock_guard<std::mutex> hold(state.mutex);
    uint32_t recording = state.current.load(std::memory_order_relaxed);
    if (recording != 0 && buffer->recording.load(std::memory_order_relaxed) == recording) {
        buffer->exited = true;
        return;
    }
    for (ThreadBuffer*& listed : state.buffers)
        if (listed == buffer) {
            listed = state.buffers.back();
            state.buffers.pop_back();
            break;
        }
    delete buffer;
}

// Hands the thread's buffer back when the thread exits.
struct ThreadExit {
    ~ThreadExit()
    {
        if (thread_buffer) leave_recorder(thread_buffer);
        thread_buffer = nullptr;
    }
};
thread_local ThreadExit thread_exit;

// The calling thread's buffer, registered on its first use; null when memory runs out.
ThreadBuffer* own_buffer(void)
{
    if (thread_buffer) return thread_buffer;
    ThreadBuffer* buffer = new (std::nothrow) ThreadBuffer();
    if (!buffer) return nullptr;
    std::lock_guard<std::mutex> hold(state.mutex);
    state.buffers.push_back(buffer);
    thread_buffer = buffer;
    // Touching the exit hook makes this thread run its destructor.
    (void)&thread_exit;
    return buffer;
}

// Zeroes the totals for another recording; only the owning thread does this.
void restart_buffer(ThreadBuffer* buffer, uint32_t recording)
{
    uint32_t touched_count = buffer->touched_count.load(std::memory_order_relaxed);
    for (uint32_t k = 0; k < touched_count; k++) {
        int32_t slot = buffer->touched[k].load(std::memory_order_relaxed);
        buffer->known[slot] = false;
        buffer->totals[slot].ticks_or_calls.store(0, std::memory_order_relaxed);
        buffer->totals[slot].added_fixed.store(0, std::memory_order_relaxed);
    }
    buffer->touched_count.store(0, std::memory_order_relaxed);
    buffer->restarts.fetch_add(1, std::memory_order_relaxed);
    buffer->recording.store(recording, std::memory_order_release);
}

// Books what the buffer's totals grew by since they were last collected. Under the lock.
void collect_buffer(ThreadBuffer* buffer, uint32_t recording)
{
    if (buffer->recording.load(std::memory_order_acquire) != recording) return;
    uint32_t restarts = buffer->restarts.load(std::memory_order_relaxed);
    if (buffer->collected_recording != recording || buffer->collected_restarts != restarts) {
        buffer->collected_recording = recording;
        buffer->collected_restarts = restarts;
        buffer->collected_count = 0;
    }
    uint32_t touched_count = buffer->touched_count.load(std::memory_order_acquire);
    for (; buffer->collected_count < touched_count; buffer->collected_count++)
        buffer->collected[buffer->collected_count] = Collected{0, 0};
    for (uint32_t k = 0; k < touched_count; k++) {
        int32_t slot = buffer->touched[k].load(std::memory_order_relaxed);
        uint64_t ticks_or_calls = buffer->totals[slot].ticks_or_calls.load(std::memory_order_relaxed);
        uint64_t added_fixed = buffer->totals[slot].added_fixed.load(std::memory_order_relaxed);
        uint64_t ticks_or_calls_grown = ticks_or_calls - buffer->collected[k].ticks_or_calls;
        uint64_t added_fixed_grown = added_fixed - buffer->collected[k].added_fixed;
        buffer->collected[k] = Collected{ticks_or_calls, added_fixed};
        if (slot < int32_t(state.item_count)) {
            state.items[slot].ticks += ticks_or_calls_grown;
            state.items[slot].fixed += added_fixed_grown;
        } else {
            Group& group = state.groups[group_slot(slot)];
            group.own_calls += ticks_or_calls_grown;
            group.own_fixed += added_fixed_grown;
        }
    }
}

}  // namespace

uint64_t clock_ticks(void)
{
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    return uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
#endif
}

double milliseconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Scopes read the time-stamp counter, which is several times cheaper than the system clock.
// Its rate is measured against the steady clock from a first reading at the first open to the
// latest frame end, so that it grows more exact the longer the program runs: a rate measured
// once over 2 ms was off by more than 1e-5 now and then, and a scope then outgrew its frame.
void calibrate_clock(void)
{
    if (state.clock_anchor.ticks != 0) return;
    state.clock_anchor = read_clock_pair();
    std::chrono::steady_clock::time_point start = state.clock_anchor.time;
    while (milliseconds_since(start) < kCalibrationMilliseconds) {
    }
    refine_clock();
}

void refine_clock(void)
{
    const ClockPair now = read_clock_pair();
    const ClockPair& anchor = state.clock_anchor;
    const double elapsed = std::chrono::duration<double, std::milli>(now.time - anchor.time).count();
    if (now.ticks > anchor.ticks && elapsed > 0.0) state.milliseconds_per_tick = elapsed / double(now.ticks - anchor.ticks);
    if (state.milliseconds_per_tick <= 0.0) state.milliseconds_per_tick = 1e-6;
}

void add_to_totals(uint32_t recording, int32_t slot, uint64_t ticks_or_calls, uint64_t added_fixed)
{
    ThreadBuffer* buffer = own_buffer();
    if (!buffer) return;
    if (buffer->recording.load(std::memory_order_relaxed) != recording) restart_buffer(buffer, recording);
    if (!buffer->known[slot]) {
        buffer->known[slot] = true;
        uint32_t touched_count = buffer->touched_count.load(std::memory_order_relaxed);
        buffer->touched[touched_count].store(slot, std::memory_order_relaxed);
        buffer->touched_count.store(touched_count + 1, std::memory_order_release);
    }
    Totals& totals = buffer->totals[slot];
    totals.ticks_or_calls.store(totals.ticks_or_calls.load(std::memory_order_relaxed) + ticks_or_calls,
                                std::memory_order_relaxed);
    if (added_fixed)
        totals.added_fixed.store(totals.added_fixed.load(std::memory_order_relaxed) + added_fixed,
                                 std::memory_order_relaxed);
}

// Exited threads' buffers are collected for the last time.
void collect_buffers(void)
{
    uint32_t recording = state.current.load(std::memory_order_relaxed);
    size_t kept = 0;
    for (ThreadBuffer* buffer : state.buffers) {
        collect_buffer(buffer, recording);
        if (buffer->exited)
            delete buffer;
        else
            state.buffers[kept++] = buffer;
    }
    state.buffers.resize(kept);
}

}  // namespace recorder_internal
