// savrel-demo: writes a recording of a simulated game loop through the recorder.
//
// Usage: savrel-demo [PATH] [--frames N]   (defaults: advance_profile.bin, 3000 frames)
// The times are simulated, not measured, and the generator is seeded, so every run writes
// the same bytes: frames around 16 ms with noise and drift, periodic spikes, a loading
// hitch, a section that starts half-way and notes on a few frames. The times below are in
// milliseconds, as the recorder takes them; the file holds seconds.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <savrel/recorder.h>

namespace {

const char* const kDefaultPath = "advance_profile.bin";
const long kDefaultFrames = 3000;
const long kMaxFrames = 10000000;
const uint64_t kSeed = 0x5A4E1D2C3B4A5968ull;
const double kTau = 6.283185307179586;
// Time of the frame that no section accounts for: present, waits, the loop itself.
const double kUnaccounted = 0.35;
const double kHitchTextures = 46.0;
const double kHitchMeshes = 21.0;
const int kHitchFrames = 3;

struct DemoItem {
    const char* group;
    const char* name;
    double mean;  // milliseconds
    double noise;  // relative standard deviation
    double period;  // frames of the slow drift
};

// Groups in the order they first appear; Render/Particles joins half-way.
const DemoItem kItems[] = {
    {"Logic", "AI", 1.6, 0.10, 420},
    {"Logic", "Scripts", 1.1, 0.08, 300},
    {"Logic", "Gameplay", 0.7, 0.06, 510},
    {"Logic", "Animation", 0.9, 0.05, 260},
    {"Physics", "Broadphase", 0.5, 0.06, 350},
    {"Physics", "Narrowphase", 0.9, 0.12, 350},
    {"Physics", "Solver", 1.3, 0.09, 350},
    {"Render", "Culling", 0.8, 0.05, 610},
    {"Render", "Shadows", 2.2, 0.07, 610},
    {"Render", "Opaque", 2.6, 0.06, 610},
    {"Render", "Transparent", 0.9, 0.10, 610},
    {"Render", "PostFX", 1.1, 0.03, 610},
    {"Audio", "Mixer", 0.45, 0.05, 200},
    {"Audio", "Streams", 0.25, 0.15, 200},
    {"Streaming", "Textures", 0.15, 0.30, 150},
    {"Streaming", "Meshes", 0.10, 0.30, 150},
};
const DemoItem kLateItem = {"Render", "Particles", 1.0, 0.15, 180};
const int kItemCount = int(sizeof kItems / sizeof kItems[0]);

struct Options {
    const char* path;
    long frames;
};

struct Random {
    uint64_t state;
};

// xorshift64*: the same sequence on every platform, unlike the standard distributions.
double uniform(Random* random)
{
    random->state ^= random->state >> 12;
    random->state ^= random->state << 25;
    random->state ^= random->state >> 27;
    return double((random->state * 0x2545F4914F6CDD1Dull) >> 11) / 9007199254740992.0;
}

// Roughly normal, mean 0 and deviation 1 (Irwin-Hall with twelve terms).
double gaussian(Random* random)
{
    double sum = 0;
    for (int n = 0; n < 12; n++) sum += uniform(random);
    return sum - 6.0;
}

bool parse_frames(const char* text, long* frames)
{
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 1 || value > kMaxFrames) return false;
    *frames = value;
    return true;
}

bool parse_options(int argc, char** argv, Options* options)
{
    options->path = kDefaultPath;
    options->frames = kDefaultFrames;
    bool have_path = false;
    for (int n = 1; n < argc; n++) {
        if (std::strcmp(argv[n], "--frames") == 0) {
            if (n + 1 >= argc || !parse_frames(argv[++n], &options->frames)) return false;
        } else if (argv[n][0] == '-' || have_path) {
            return false;
        } else {
            options->path = argv[n];
            have_path = true;
        }
    }
    return true;
}

double simulate(const DemoItem& item, long frame, Random* random)
{
    double drift = 0.12 * std::sin(kTau * double(frame) / item.period);
    double value = item.mean * (1.0 + drift + item.noise * gaussian(random));
    return value > 0.02 ? value : 0.02;
}

// Spikes on top of the steady cost: a garbage collection, collision bursts, shadow cascades.
double spike(const DemoItem& item, long frame)
{
    if (std::strcmp(item.name, "Scripts") == 0 && frame % 240 == 239) return 7.5;
    if (std::strcmp(item.name, "Solver") == 0 && frame % 90 >= 87) return 3.0;
    if (std::strcmp(item.name, "Shadows") == 0 && frame % 4 == 0) return 0.6;
    return 0.0;
}

double hitch(const DemoItem& item, long frame, long hitch_frame)
{
    if (frame < hitch_frame || frame >= hitch_frame + kHitchFrames) return 0.0;
    if (std::strcmp(item.name, "Textures") == 0) return kHitchTextures;
    if (std::strcmp(item.name, "Meshes") == 0) return kHitchMeshes;
    return 0.0;
}

void add_notes(long frame, long frames, long hitch_frame)
{
    if (frame == 0) recorder_note("recording started");
    if (frame == hitch_frame) recorder_note("loading level 2");
    if (frame == hitch_frame + kHitchFrames) recorder_note("level loaded");
    if (frame == frames / 2) recorder_note("particles enabled");
}

bool record_frame(RecorderSection* sections, long frame, const Options& options, Random* random)
{
    long hitch_frame = options.frames / 5 < 40 ? options.frames / 5 : 40;
    double total = kUnaccounted + 0.05 * gaussian(random);
    for (int n = 0; n <= kItemCount; n++) {
        bool late = n == kItemCount;
        if (late && frame < options.frames / 2) break;
        const DemoItem& item = late ? kLateItem : kItems[n];
        if (sections[n].index < 0) sections[n] = recorder_section(item.group, item.name);
        double value = simulate(item, frame, random) + spike(item, frame) + hitch(item, frame, hitch_frame);
        total += value;
        recorder_add(sections[n], float(value));
    }
    add_notes(frame, options.frames, hitch_frame);
    return recorder_frame_end_total(float(total));
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parse_options(argc, argv, &options)) {
        std::fprintf(stderr, "usage: savrel-demo [PATH] [--frames N]   (N from 1 to %ld)\n", kMaxFrames);
        return 2;
    }
    // The times are simulated: the recorder's own, measured time would make each run differ.
    recorder_set_self_time(false);
    if (!recorder_open(options.path)) return 1;
    RecorderSection sections[kItemCount + 1];
    for (RecorderSection& section : sections) section = RecorderSection{-1, 0};
    Random random{kSeed};
    for (long frame = 0; frame < options.frames; frame++)
        if (!record_frame(sections, frame, options, &random)) return 1;
    if (!recorder_close()) return 1;
    std::printf("savrel-demo: wrote %ld frames to %s\n", options.frames, options.path);
    return 0;
}
