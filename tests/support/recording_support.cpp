#include "tests/support/recording_support.h"

#include <cmath>
#include <string>
#include <vector>

#include "profile/encoder.h"
#include "profile/profile.h"

namespace {

// Deterministic noise in [0, 1) from two integers, the same on every platform.
double program_noise(uint32_t a, uint32_t b)
{
    uint32_t v = a * 2654435761u ^ (b + 0x9E3779B9u + (a << 6) + (a >> 2));
    v ^= v >> 15;
    v *= 2246822519u;
    v ^= v >> 13;
    v *= 3266489917u;
    v ^= v >> 16;
    return double(v) / 4294967296.0;
}

std::vector<EncodedGroupNames> program_names(int groups, int items)
{
    std::vector<EncodedGroupNames> names(static_cast<size_t>(groups));
    for (int g = 0; g < groups; g++) {
        names[size_t(g)].name = "Stage " + std::to_string(g);
        for (int k = 0; k < items; k++) names[size_t(g)].items.push_back("task " + std::to_string(g * items + k));
    }
    return names;
}

// Each entry's weight drifts slowly around its own base, with a little jitter per frame.
double program_weight(uint32_t id, uint32_t frame)
{
    double base = 1.0 + double(id * 7 % 11);
    double drift = 1.0 + 0.3 * std::sin(0.013 * double(frame) + double(id));
    return base * drift * (0.9 + 0.2 * program_noise(id, frame));
}

}  // namespace

void load_wide_recording(int groups, int items, uint32_t frames)
{
    ProfileBytes bytes;
    std::vector<EncodedGroupValues> values(size_t(groups), EncodedGroupValues{0, std::vector<float>(size_t(items))});
    for (uint32_t m = 0; m < frames; m++) {
        float total = 0;
        for (int g = 0; g < groups; g++) {
            values[size_t(g)].value = 0;
            for (int k = 0; k < items; k++) {
                float time = (m + k) % 37 == 0 ? 0.0f : 0.3f * (1.1f + std::sin(0.07f * float(m) + float(k * g)));
                values[size_t(g)].items[size_t(k)] = time;
                values[size_t(g)].value += time;
            }
            total += values[size_t(g)].value;
        }
        profile_encode_frame(&bytes, total, values, {});
    }
    std::vector<EncodedGroupNames> names(static_cast<size_t>(groups));
    for (int g = 0; g < groups; g++) {
        names[size_t(g)].name = "Group " + std::to_string(g);
        for (int k = 0; k < items; k++) names[size_t(g)].items.push_back("Item " + std::to_string(g * items + k));
    }
    profile_encode_structure(&bytes, names);
    profile_load_memory(bytes.data(), bytes.size());
}

void load_program_recording(int groups, int items, uint32_t frames)
{
    ProfileBytes bytes;
    std::vector<EncodedGroupValues> values(size_t(groups), EncodedGroupValues{0, std::vector<float>(size_t(items))});
    std::vector<double> group_weights(static_cast<size_t>(groups)), item_weights(static_cast<size_t>(items));
    for (uint32_t m = 0; m < frames; m++) {
        const double total = 0.016 + 0.008 * (0.5 + 0.35 * std::sin(0.021 * double(m)) + 0.15 * program_noise(0, m));
        double group_weight_sum = 0;
        for (int g = 0; g < groups; g++) group_weight_sum += group_weights[size_t(g)] = program_weight(uint32_t(g), m);
        for (int g = 0; g < groups; g++) {
            double item_weight_sum = 0;
            for (int k = 0; k < items; k++) {
                const uint32_t id = uint32_t(1000 + g * items + k);
                // About one item in twenty skips a given frame, as work that runs only sometimes does.
                const bool idle = program_noise(id, m / 8) < 0.05;
                item_weight_sum += item_weights[size_t(k)] = idle ? 0.0 : program_weight(id, m);
            }
            const double group_time = 0.95 * total * group_weights[size_t(g)] / group_weight_sum;
            float sum = 0;
            for (int k = 0; k < items; k++) {
                const double share = item_weight_sum > 0 ? item_weights[size_t(k)] / item_weight_sum : 0.0;
                sum += values[size_t(g)].items[size_t(k)] = float(group_time * share);
            }
            values[size_t(g)].value = sum;
        }
        profile_encode_frame(&bytes, float(total), values, {});
    }
    profile_encode_structure(&bytes, program_names(groups, items));
    profile_load_memory(bytes.data(), bytes.size());
}
