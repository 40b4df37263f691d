// recorder scopes for C: a begin/end pair over the public calls, timed by the steady clock.
//
// A call site's section is shared by every thread that passes it, so its two fields are read
// and written atomically, the recording last: whoever sees a site's new recording also sees
// its new index, and a torn read at worst pairs a new index with an old recording, which
// recorder_add refuses and the end of the scope resolves again.
#include "recorder/recorder.h"

#include <atomic>
#include <chrono>

namespace {

// The recording of the latest section resolved here. A site from an earlier recording is
// resolved again at its next begin; relaxed, since a stale value costs one lookup more.
std::atomic<uint32_t> latest_recording{0};

int64_t now_nanoseconds(void)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

RecorderSection load_site(RecorderSection* site)
{
    RecorderSection section;
    section.recording = std::atomic_ref<uint32_t>(site->recording).load(std::memory_order_acquire);
    section.index = std::atomic_ref<int32_t>(site->index).load(std::memory_order_relaxed);
    return section;
}

RecorderSection resolve_site(RecorderSection* site, const char* group, const char* item)
{
    RecorderSection section = recorder_section(group, item);
    std::atomic_ref<int32_t>(site->index).store(section.index, std::memory_order_relaxed);
    std::atomic_ref<uint32_t>(site->recording).store(section.recording, std::memory_order_release);
    if (section.recording != 0) latest_recording.store(section.recording, std::memory_order_relaxed);
    return section;
}

}  // namespace

RecorderToken recorder_scope_begin(RecorderSection* site, const char* group, const char* item)
{
    RecorderToken token = {site, group, item, {-1, 0}, 0};
    if (!recorder_is_open()) return token;
    RecorderSection section = load_site(site);
    if (section.recording == 0 || section.recording != latest_recording.load(std::memory_order_relaxed))
        section = resolve_site(site, group, item);
    token.section = section;
    if (section.index >= 0) token.start = now_nanoseconds();
    return token;
}

void recorder_scope_end(RecorderToken token)
{
    if (token.section.index < 0) return;
    float milliseconds = float(double(now_nanoseconds() - token.start) * 1e-6);
    if (recorder_add(token.section, milliseconds) || !recorder_is_open()) return;
    // The site was resolved in an earlier recording that nothing here had seen end.
    RecorderSection section = resolve_site(token.site, token.group, token.item);
    if (section.index >= 0) recorder_add(section, milliseconds);
}
