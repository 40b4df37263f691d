// viewer memory: how the process holds the memory the GL driver frees every frame.
//
// The software rasteriser allocates and frees tens of megabytes of binned triangles each
// frame. Handed back to the system at once, every frame pays to fault them in again; kept,
// the heap fragments around them and resident memory creeps up over a long session. So
// freed memory is kept from frame to frame and all free pages go back every few seconds.
#include <malloc.h>

#include "viewer/viewer.h"

namespace {

const int kTrimThreshold = 64 << 20;
const double kReturnInterval = 2.0;

struct MemoryReturn {
    bool started;
    double last_seconds;
};
MemoryReturn memory_return;

}  // namespace

void viewer_keep_freed_memory(void)
{
    mallopt(M_TRIM_THRESHOLD, kTrimThreshold);
}

bool viewer_return_free_memory(double now_seconds)
{
    if (!memory_return.started) {
        memory_return = {true, now_seconds};
        return false;
    }
    // A clock that went backwards counts as due, so a jump can never stop the returns.
    double since = now_seconds - memory_return.last_seconds;
    if (since >= 0.0 && since < kReturnInterval) return false;
    memory_return.last_seconds = now_seconds;
    malloc_trim(0);
    return true;
}
