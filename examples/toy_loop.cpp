// A toy game loop instrumented with the recorder: the smallest way to record your own program.
//
// Build with the savrel_recorder library, run it, then start the viewer in the folder that
// holds the advance_profile.bin it wrote. Usage: savrel-example [PATH] (default advance_profile.bin)
// Times are given in milliseconds; the file holds them as seconds.
#include <cmath>
#include <cstdio>
#include <thread>

#include <savrel/recorder.h>

namespace {

const int kFrames = 600;

// Stand-in work whose cost varies from frame to frame.
double churn(int rounds)
{
    double sum = 0;
    for (int n = 1; n <= rounds; n++) sum += std::sqrt(double(n));
    return sum;
}

double update_world(int frame)
{
    SAVREL_SCOPE("Update", "World");
    return churn(20000 + 5000 * (frame % 7));
}

double update_enemies(int frame)
{
    SAVREL_SCOPE("Update", "Enemies");
    return churn(frame % 60 == 0 ? 200000 : 15000);
}

double draw_scene(int frame)
{
    double sum = 0;
    for (int pass = 0; pass < 3; pass++) {
        // Three passes of one item add up in the frame.
        SAVREL_SCOPE("Draw", "Scene");
        sum += churn(12000 + 100 * (frame % 50));
    }
    return sum;
}

// Work on another thread counts in the frame the frame thread ends next.
void simulate_particles(int frame, double* result)
{
    SAVREL_SCOPE("Jobs", "Particles");
    *result = churn(10000 + 300 * (frame % 20));
}

double draw_interface(void)
{
    SAVREL_SCOPE("Draw", "Interface");
    return churn(8000);
}

}  // namespace

int main(int argc, char** argv)
{
    const char* path = argc > 1 ? argv[1] : "advance_profile.bin";
    if (!recorder_open(path)) return 1;
    double checksum = 0;
    for (int frame = 0; frame < kFrames; frame++) {
        recorder_frame_begin();
        double particles = 0;
        std::thread job(simulate_particles, frame, &particles);
        checksum += update_world(frame) + update_enemies(frame) + draw_scene(frame) + draw_interface();
        job.join();
        checksum += particles;
        if (frame == kFrames / 2) recorder_note("half-way");
        // A time measured elsewhere, say reported by an audio thread, is added by name.
        float mixer_milliseconds = 0.05f + 0.01f * float(frame % 10);
        recorder_add_named("Audio", "Mixer", mixer_milliseconds);
        // Every scope above has ended: one still open here would count in the next frame.
        recorder_frame_end();
    }
    recorder_close();
    std::printf("recorded %d frames into %s (checksum %.0f)\n", kFrames, path, checksum);
    return 0;
}
