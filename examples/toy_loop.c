// The toy game loop in C99: scopes through SAVREL_SCOPE (GCC and Clang) or a begin/end pair.
//
// Build with the recorder library, for instance
//   cc -std=c99 toy_loop.c $(pkg-config --cflags --libs savrel-recorder)
// Usage: savrel-example-c [PATH] (default advance_profile.bin)
#include <stdio.h>

#include <savrel/recorder.h>

enum { FRAMES = 120 };

// Stand-in work whose cost varies from frame to frame.
static unsigned churn(unsigned rounds)
{
    unsigned state = 2463534242u;
    for (unsigned n = 0; n < rounds; n++) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
    }
    return state;
}

static unsigned update_world(int frame)
{
    SAVREL_SCOPE("Update", "World");
    return churn(20000u + 5000u * (unsigned)(frame % 7));
}

static unsigned draw_scene(int frame)
{
    // Without the cleanup attribute: one site per call site, begun and ended by hand.
    static RecorderSection site = {-1, 0};
    RecorderToken scope = recorder_scope_begin(&site, "Draw", "Scene");
    unsigned sum = churn(12000u + 100u * (unsigned)(frame % 50));
    recorder_scope_end(scope);
    return sum;
}

int main(int argc, char** argv)
{
    const char* path = argc > 1 ? argv[1] : "advance_profile.bin";
    if (!recorder_open(path)) return 1;
    unsigned checksum = 0;
    for (int frame = 0; frame < FRAMES; frame++) {
        recorder_frame_begin();
        checksum += update_world(frame) + draw_scene(frame);
        // A time measured elsewhere is added by name: 0.25 to 1 ms here.
        recorder_add_named("Audio", "Mixer", 0.25f * (float)(1 + frame % 4));
        if (frame == FRAMES / 2) recorder_note("half-way");
        recorder_frame_end();
    }
    recorder_close();
    printf("recorded %d frames into %s (checksum %u)\n", FRAMES, path, checksum);
    return 0;
}
