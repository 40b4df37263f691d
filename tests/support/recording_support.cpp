#include "tests/support/recording_support.h"

#include <cmath>
#include <string>
#include <vector>

#include "profile/encoder.h"
#include "profile/profile.h"

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
