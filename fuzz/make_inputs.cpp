// make_inputs: writes the fuzzers' seed corpus and the soak test's recordings.
//
// Usage: make_inputs corpus DIR      seeds into DIR/profile and DIR/settings
//        make_inputs big PATH        256 sections, 20,000 frames
//        make_inputs damaged PATH    a recording that loads but is hostile throughout
// Built and run by scripts/fuzz.sh (seeds) and scripts/soak.sh (recordings). Every run
// writes the same bytes: values come from a seeded generator, never from a clock.
#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "profile/encoder.h"
#include "recorder/recorder.h"

namespace {

const uint64_t kSeed = 0x9E3779B97F4A7C15ull;
const int kBigGroups = 15;
const int kBigItemsPerGroup = 16;  // 1 + 15 + 240 = 256 sections
const int kBigFrames = 20000;
const int kDamagedFrames = 5000;
const float kInfinity = std::numeric_limits<float>::infinity();
const float kNan = std::numeric_limits<float>::quiet_NaN();

struct Random {
    uint64_t state;
};

// splitmix64: one multiply-xorshift step per value, the same on every platform.
uint64_t next_random(Random* random)
{
    uint64_t z = (random->state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

float uniform(Random* random)
{
    return float(double(next_random(random) >> 11) / 9007199254740992.0);
}

bool write_bytes(const std::string& path, const void* data, size_t size)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        std::perror(path.c_str());
        return false;
    }
    bool written = std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && written;
}

bool write_seed(const std::string& folder, const char* name, const ProfileBytes& bytes)
{
    return write_bytes(folder + "/" + name, bytes.data(), bytes.size());
}

bool write_text(const std::string& folder, const char* name, const std::string& text)
{
    return write_bytes(folder + "/" + name, text.data(), text.size());
}

// A small well-formed recording: two groups, three items, notes on every third frame.
std::vector<EncodedGroupNames> small_structure()
{
    return {{"Logic", {"AI", "Scripts"}}, {"Render", {"Opaque"}}};
}

void small_frames(ProfileBytes* out, int frames)
{
    for (int frame = 0; frame < frames; frame++) {
        float base = 1.0f + float(frame % 7);
        std::vector<std::string> notes;
        if (frame % 3 == 0) notes = {"ab", ""};
        profile_encode_frame(out, 16.0f + base, {{base, {0.5f, base - 0.5f}}, {2.0f, {2.0f}}}, notes);
    }
}

ProfileBytes small_recording(int frames)
{
    ProfileBytes bytes;
    small_frames(&bytes, frames);
    profile_encode_structure(&bytes, small_structure());
    return bytes;
}

// The recorder's own output, sections appearing late and notes included.
bool write_recorder_seed(const std::string& folder)
{
    std::string path = folder + "/recorder";
    recorder_set_self_time(false);  // its measured time would change the seed on every run
    if (!recorder_open(path.c_str())) return false;
    for (int frame = 0; frame < 40; frame++) {
        recorder_add_named("Logic", "AI", 1.5f + float(frame % 5) * 0.1f);
        recorder_add_named("Physics", "Solver", 0.75f);
        if (frame >= 20) recorder_add_named("Logic", "Late", 0.25f);
        if (frame % 9 == 0) recorder_note("checkpoint");
        recorder_frame_end_total(16.5f + float(frame % 3));
    }
    return recorder_close();
}

ProfileBytes cut(const ProfileBytes& bytes, size_t size)
{
    return ProfileBytes(bytes.begin(), bytes.begin() + long(size < bytes.size() ? size : bytes.size()));
}

// A frame record whose counts claim far more than follows.
ProfileBytes claiming_frame(uint32_t groups, uint32_t items, uint32_t strings)
{
    ProfileBytes bytes{1};
    profile_put_float(&bytes, 10.0f);
    profile_put_u32(&bytes, groups);
    profile_put_float(&bytes, 1.0f);
    profile_put_u32(&bytes, items);
    profile_put_float(&bytes, 2.0f);
    profile_put_u32(&bytes, strings);
    profile_put_string(&bytes, "x");
    profile_encode_structure(&bytes, small_structure());
    return bytes;
}

bool write_shape_seeds(const std::string& folder)
{
    ProfileBytes only_structure, no_structure, short_frame, high_tag, trailing, few_values, extra_values;
    profile_encode_structure(&only_structure, small_structure());
    small_frames(&no_structure, 5);
    profile_encode_frame(&short_frame, 12.0f, {}, {});
    profile_encode_structure(&short_frame, small_structure());
    profile_encode_frame(&high_tag, 9.0f, {{1.0f, {1.0f, 2.0f}}}, {}, 0xFF);
    profile_encode_structure(&high_tag, small_structure());
    trailing = small_recording(3);
    small_frames(&trailing, 2);
    profile_encode_structure(&trailing, {{"Other", {"x", "y", "z"}}});
    profile_encode_frame(&few_values, 5.0f, {{1.0f, {}}}, {});
    profile_encode_structure(&few_values, small_structure());
    profile_encode_frame(&extra_values, 5.0f, {{1.0f, {1, 2, 3, 4}}, {1.0f, {5}}, {7.0f, {8, 9}}}, {});
    profile_encode_structure(&extra_values, small_structure());
    return write_seed(folder, "empty", {}) && write_seed(folder, "structure-only", only_structure) &&
           write_seed(folder, "frames-without-structure", no_structure) &&
           write_seed(folder, "frame-without-groups", short_frame) && write_seed(folder, "tag-ff", high_tag) &&
           write_seed(folder, "bytes-after-structure", trailing) &&
           write_seed(folder, "fewer-values-than-sections", few_values) &&
           write_seed(folder, "more-values-than-sections", extra_values) &&
           write_seed(folder, "one-frame", small_recording(1)) &&
           write_seed(folder, "frames-1025", small_recording(1025));
}

bool write_count_seeds(const std::string& folder)
{
    ProfileBytes low, high, huge_groups, long_names, unnamed, many_items;
    small_frames(&low, 2);
    profile_encode_structure_stated(&low, 2, small_structure());
    small_frames(&high, 2);
    profile_encode_structure_stated(&high, 0xFFFFFFFFu, small_structure());
    ProfileBytes huge_structure{0};
    profile_put_u32(&huge_structure, 4);
    profile_put_u32(&huge_structure, 0xFFFFFFFFu);
    profile_put_string(&huge_structure, "g");
    std::string long_name(45, 'L');
    profile_encode_frame(&long_names, 3.0f, {{1.0f, {2.0f}}}, {std::string(300, 'n')});
    profile_encode_structure(&long_names, {{long_name, {long_name + "item"}}});
    profile_encode_frame(&unnamed, 1.0f, {{0.0f, {0.0f, 0.0f}}}, {});
    profile_encode_structure(&unnamed, {{"", {"", ""}}, {"", {}}});
    std::vector<std::string> items(600, "");
    profile_encode_frame(&many_items, 1.0f, {{1.0f, std::vector<float>(600, 0.5f)}}, {});
    profile_encode_structure(&many_items, {{"wide", items}});
    return write_seed(folder, "count-below-listed", low) && write_seed(folder, "count-above-listed", high) &&
           write_seed(folder, "huge-group-count", claiming_frame(0xFFFFFFFFu, 1, 0)) &&
           write_seed(folder, "huge-item-count", claiming_frame(1, 0x40000000u, 0)) &&
           write_seed(folder, "huge-string-count", claiming_frame(1, 1, 0xFFFFFFFFu)) &&
           write_seed(folder, "huge-structure-group-count", huge_structure) &&
           write_seed(folder, "names-over-31", long_names) && write_seed(folder, "empty-names", unnamed) &&
           write_seed(folder, "items-600", many_items);
}

bool write_value_seeds(const std::string& folder)
{
    ProfileBytes odd;
    float values[] = {kNan, kInfinity, -kInfinity, -0.0f, 1e-45f, 3.4e38f, -100.0f};
    for (float value : values) profile_encode_frame(&odd, value, {{value, {value, -value}}, {value, {value}}}, {});
    profile_encode_structure(&odd, small_structure());
    return write_seed(folder, "odd-values", odd);
}

// The same recording cut inside each kind of field, so every early end has a seed.
bool write_cut_seeds(const std::string& folder)
{
    ProfileBytes whole = small_recording(1);
    size_t structure = whole.size() - [] {
        ProfileBytes bytes;
        profile_encode_structure(&bytes, small_structure());
        return bytes.size();
    }();
    struct Cut {
        const char* name;
        size_t size;
    };
    const Cut cuts[] = {
        {"cut-in-total", 3},
        {"cut-in-group-count", 7},
        {"cut-in-item-values", 20},
        {"cut-in-string-count", 38},
        {"cut-in-note", 43},
        {"cut-after-frame", structure},
        {"cut-in-section-count", structure + 3},
        {"cut-in-group-name", structure + 11},
        {"cut-before-last-zero", whole.size() - 1},
    };
    for (const Cut& entry : cuts)
        if (!write_seed(folder, entry.name, cut(whole, entry.size))) return false;
    return true;
}

bool write_profile_seeds(const std::string& folder)
{
    return write_recorder_seed(folder) && write_shape_seeds(folder) && write_count_seeds(folder) &&
           write_value_seeds(folder) && write_cut_seeds(folder);
}

std::string many_names(int count)
{
    std::string text;
    for (int index = 0; index < count; index++) text += "name" + std::to_string(index) + " " + std::to_string(index) + "\n";
    return text;
}

bool write_settings_seeds(const std::string& folder)
{
    struct Seed {
        const char* name;
        std::string text;
    };
    const Seed seeds[] = {
        {"examples",
         "speed 2.5\nspeed 0.1\ncount 7\nbig 1e3\nneg -3.7\nhalf .5\ntitle hello\n"
         "mode 3 extra words\n# note\nsingle\n\nspeed fast\n"},
        {"two-lines", "a 1\nb x\n"},
        {"numbers",
         "hex 0x1p3\ninf inf\nnan nan\nminf -inf\nplus +5\nzero -0\nwrap 4294967296\n"
         "long 99999999999999999999\nover 1e39\nsaturate 3e9\nunder -3e9\ndot 5.\nexp 2e\n"},
        {"long-words", std::string(40, 'n') + " " + std::string(40, 'v') + "\n" + std::string(31, 'n') + " 1\n"},
        {"long-line", "first " + std::string(600, 'x') + "\nsecond 2\n" + std::string(1100, ' ') + "x y\n"},
        {"separators", "tab\t1\r\nvt\v2\nff\f3\n  lead  4  \nlast 5"},
        {"zero-byte", std::string("before 1\nzero\0 2\nafter 3\n", 26)},
        {"full-store", many_names(130)},
    };
    for (const Seed& seed : seeds)
        if (!write_text(folder, seed.name, seed.text)) return false;
    return true;
}

bool write_corpus(const std::string& folder)
{
    mkdir(folder.c_str(), 0755);
    mkdir((folder + "/profile").c_str(), 0755);
    mkdir((folder + "/settings").c_str(), 0755);
    return write_profile_seeds(folder + "/profile") && write_settings_seeds(folder + "/settings");
}

// 15 groups of 16 items; each item drifts around its own level with noise and rare spikes.
bool write_big(const std::string& path)
{
    std::vector<EncodedGroupNames> names(kBigGroups);
    std::vector<EncodedGroupValues> values(kBigGroups);
    std::vector<float> levels;
    Random random{kSeed};
    for (int group = 0; group < kBigGroups; group++) {
        names[group].name = "Group " + std::to_string(group);
        for (int item = 0; item < kBigItemsPerGroup; item++) {
            names[group].items.push_back("Item " + std::to_string(group) + "." + std::to_string(item));
            levels.push_back(0.05f + uniform(&random) * 0.5f);
        }
        values[group].items.resize(kBigItemsPerGroup);
    }
    ProfileBytes bytes;
    for (int frame = 0; frame < kBigFrames; frame++) {
        float total = 0.0f;
        for (int group = 0; group < kBigGroups; group++) {
            float sum = 0.0f;
            for (int item = 0; item < kBigItemsPerGroup; item++) {
                float level = levels[size_t(group * kBigItemsPerGroup + item)];
                float spike = uniform(&random) < 0.001f ? 20.0f * level : 0.0f;
                float value = level * (1.0f + 0.3f * std::sin(float(frame) / (50.0f + float(item) * 13.0f))) +
                              0.1f * level * uniform(&random) + spike;
                values[group].items[size_t(item)] = value;
                sum += value;
            }
            values[group].value = sum;
            total += sum;
        }
        std::vector<std::string> notes;
        if (frame % 500 == 0) notes.push_back("frame " + std::to_string(frame));
        profile_encode_frame(&bytes, total * 1.1f, values, notes);
    }
    profile_encode_structure(&bytes, names);
    return write_bytes(path, bytes.data(), bytes.size());
}

float hostile_value(Random* random)
{
    const float specials[] = {kNan, kInfinity, -kInfinity, -1.0f, 0.0f, 3.4e38f, 1e-40f, -5e37f};
    uint64_t pick = next_random(random) % 16;
    return pick < 8 ? specials[pick] : uniform(random) * 10.0f;
}

// Loads (with a section count that disagrees) but everything in it is hostile: unnamed,
// overlong and non-ASCII names, empty groups, values that are not finite or are huge, and
// frames that carry fewer or more values than there are sections.
bool write_damaged(const std::string& path)
{
    std::vector<EncodedGroupNames> names = {
        {"", {"", std::string(60, 'W')}},
        {std::string(31, 'G'), {}},
        {"\xC3\xA9t\xC3\xA9 \xFF\x01", {"tab\there", "\x7F"}},
        {"wide", std::vector<std::string>(40, "i")},
    };
    Random random{kSeed + 1};
    ProfileBytes bytes;
    for (int frame = 0; frame < kDamagedFrames; frame++) {
        size_t groups = next_random(&random) % (names.size() + 2);
        std::vector<EncodedGroupValues> values(groups);
        for (EncodedGroupValues& group : values) {
            group.value = hostile_value(&random);
            group.items.resize(next_random(&random) % 48);
            for (float& item : group.items) item = hostile_value(&random);
        }
        profile_encode_frame(&bytes, hostile_value(&random), values, {}, uint8_t(1 + frame % 255));
    }
    profile_encode_structure_stated(&bytes, 7, names);
    return write_bytes(path, bytes.data(), bytes.size());
}

int usage()
{
    std::fprintf(stderr, "usage: make_inputs corpus DIR | big PATH | damaged PATH\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) return usage();
    std::string what = argv[1];
    bool done = false;
    if (what == "corpus")
        done = write_corpus(argv[2]);
    else if (what == "big")
        done = write_big(argv[2]);
    else if (what == "damaged")
        done = write_damaged(argv[2]);
    else
        return usage();
    if (!done) std::fprintf(stderr, "make_inputs: writing %s failed\n", argv[2]);
    return done ? 0 : 1;
}
