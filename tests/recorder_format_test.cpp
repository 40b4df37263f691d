// The recorder and the profile encoder write the same bytes for the same frames.
#include "recorder/recorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "profile/encoder.h"
#include "tests/support/process_support.h"

namespace {

struct Value {
    const char* group;
    const char* item;  // null for a group's value of its own
    float milliseconds;
};

struct Frame {
    std::vector<Value> values;
    std::vector<std::string> notes;
    float total_milliseconds;
};

float seconds(float milliseconds)
{
    return float(double(milliseconds) / 1000.0);
}

// Groups and items in the order named; only items of the newest group arrive late, so the
// recorder never copies its file.
const std::vector<Frame> kFrames = {
    {{{"Render", "Opaque", 2.5f}, {"Render", "Shadows", 1.25f}}, {"start"}, 16.0f},
    {{{"Render", "Opaque", 3.0f}, {"Audio", "Mixer", 0.5f}}, {}, 17.25f},
    {{{"Audio", "Streams", 0.75f}, {"Audio", nullptr, 4.0f}, {"Render", "Shadows", 0.25f}}, {"a", "", "c"}, 15.5f},
    {{{"Logic", "AI", 1.0f}, {"Logic", "AI", 0.5f}}, {}, 20.0f},
};

// What the encoder writes for kFrames: each frame carries the sections named so far.
ProfileBytes encoder_bytes(void)
{
    std::vector<EncodedGroupNames> names;
    auto find_group = [&names](const std::string& name) -> EncodedGroupNames& {
        for (EncodedGroupNames& group : names)
            if (group.name == name) return group;
        names.push_back({name, {}});
        return names.back();
    };
    ProfileBytes bytes;
    for (const Frame& frame : kFrames) {
        std::map<std::string, float> item_sums, own;
        for (const Value& value : frame.values) {
            EncodedGroupNames& group = find_group(value.group);
            if (!value.item) {
                own[value.group] += value.milliseconds;
                continue;
            }
            if (std::find(group.items.begin(), group.items.end(), value.item) == group.items.end())
                group.items.push_back(value.item);
            item_sums[std::string(value.group) + "/" + value.item] += value.milliseconds;
        }
        std::vector<EncodedGroupValues> groups;
        for (const EncodedGroupNames& group : names) {
            EncodedGroupValues values{0.0f, {}};
            double sum = 0;
            for (const std::string& item : group.items) {
                values.items.push_back(seconds(item_sums[group.name + "/" + item]));
                sum += values.items.back();
            }
            values.value = own.count(group.name) ? seconds(own[group.name]) : float(sum);
            groups.push_back(values);
        }
        profile_encode_frame(&bytes, seconds(frame.total_milliseconds), groups, frame.notes);
    }
    profile_encode_structure(&bytes, names);
    return bytes;
}

TEST(RecorderFormat, RecorderAndEncoderWriteTheSameBytes)
{
    recorder_set_self_time(false);
    std::string path = make_scratch_folder() + "/advance_profile.bin";
    ASSERT_TRUE(recorder_open(path.c_str()));
    for (const Frame& frame : kFrames) {
        for (const Value& value : frame.values) {
            if (value.item)
                ASSERT_TRUE(recorder_add_named(value.group, value.item, value.milliseconds));
            else
                ASSERT_TRUE(recorder_group_add(value.group, value.milliseconds));
        }
        for (const std::string& note : frame.notes) ASSERT_TRUE(recorder_note(note.c_str()));
        ASSERT_TRUE(recorder_frame_end_total(frame.total_milliseconds));
    }
    ASSERT_TRUE(recorder_close());
    ProfileBytes expected = encoder_bytes();
    EXPECT_EQ(read_file(path), std::string(expected.begin(), expected.end()));
}

}  // namespace
