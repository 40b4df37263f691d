// savrel-compare: the statistics against known answers, the two seeded experiments (false
// alarms on noise, detection of a real slowdown), and the program's exit statuses and JSON.
#include "tools/compare/analysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "profile/encoder.h"
#include "profile/profile.h"
#include "tests/support/process_support.h"

namespace {

// The noise model: 24 items in 4 groups, each item its mean times (1 + an AR(1) series of
// lag-1 correlation 0.9 and 8% standard deviation), and 0.5% of frames three times as long.
// The total is the items plus an untracked share that follows the same model.
constexpr int kGroups = 4;
constexpr int kItemsPerGroup = 6;
constexpr int kItems = kGroups * kItemsPerGroup;
constexpr double kItemStep = 0.00004;  // item i has a mean of (i + 1) * 40 microseconds
constexpr double kUntracked = 0.004;  // the frame's mean is then 16 ms
constexpr double kCorrelation = 0.9;
constexpr double kDeviation = 0.08;
constexpr double kSpikeShare = 0.005;
constexpr double kSpikeFactor = 3.0;
// Item 19 has a mean of 0.8 ms: 5% of the frame.
constexpr int kSlowedItem = 19;
constexpr uint32_t kExperimentFrames = 2000;
constexpr int kExperimentPairs = 200;

std::vector<EncodedGroupNames> model_names()
{
    std::vector<EncodedGroupNames> names(kGroups);
    for (int group = 0; group < kGroups; group++) {
        names[size_t(group)].name = "Group " + std::to_string(group);
        for (int item = 0; item < kItemsPerGroup; item++)
            names[size_t(group)].items.push_back("item " + std::to_string(group * kItemsPerGroup + item));
    }
    return names;
}

typedef std::function<void(float total, const std::vector<EncodedGroupValues>& groups)> FrameSink;

// The model's frames, one call each; slowed_item's mean is scaled by slowdown.
void model_frames(uint64_t seed, uint32_t frames, int slowed_item, double slowdown, const FrameSink& sink)
{
    std::mt19937_64 random(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::vector<double> noise(kItems + 1);
    for (double& value : noise) value = kDeviation * normal(random);
    double innovation = kDeviation * std::sqrt(1.0 - kCorrelation * kCorrelation);
    std::vector<EncodedGroupValues> groups(kGroups);
    for (uint32_t frame = 0; frame < frames; frame++) {
        double spike = uniform(random) < kSpikeShare ? kSpikeFactor : 1.0;
        for (double& value : noise) value = kCorrelation * value + innovation * normal(random);
        double total = kUntracked * (1.0 + noise[kItems]) * spike;
        for (int group = 0; group < kGroups; group++) {
            groups[size_t(group)].items.resize(kItemsPerGroup);
            double group_sum = 0.0;
            for (int item = 0; item < kItemsPerGroup; item++) {
                int index = group * kItemsPerGroup + item;
                double mean = kItemStep * (index + 1) * (index == slowed_item ? slowdown : 1.0);
                double value = mean * (1.0 + noise[size_t(index)]) * spike;
                groups[size_t(group)].items[size_t(item)] = float(value);
                group_sum += value;
            }
            groups[size_t(group)].value = float(group_sum);
            total += group_sum;
        }
        sink(float(total), groups);
    }
}

ProfileBytes model_recording(uint64_t seed, uint32_t frames, int slowed_item = -1, double slowdown = 1.0,
                             const std::vector<EncodedGroupNames>& names = model_names())
{
    ProfileBytes bytes;
    model_frames(seed, frames, slowed_item, slowdown, [&](float total, const std::vector<EncodedGroupValues>& groups) {
        profile_encode_frame(&bytes, total, groups, {});
    });
    profile_encode_structure(&bytes, names);
    return bytes;
}

RunSummary summarize(const ProfileBytes& bytes)
{
    profile_load_memory(bytes.data(), bytes.size());
    const SectionTable* table = profile_table();
    return compare_summarize_table(table, 0, table->frame_count);
}

// The same run summarised straight from the model's values, as savrel-compare would summarise
// its recording: for the 200-pair experiments, which need not go through files.
RunSummary model_run(uint64_t seed, uint32_t frames, int slowed_item = -1, double slowdown = 1.0)
{
    std::vector<EncodedGroupNames> names = model_names();
    std::vector<std::string> labels = {"total"};
    for (const EncodedGroupNames& group : names) {
        labels.push_back(group.name);
        for (const std::string& item : group.items) labels.push_back(group.name + "/" + item);
    }
    std::vector<std::vector<float>> series(labels.size());
    model_frames(seed, frames, slowed_item, slowdown, [&](float total, const std::vector<EncodedGroupValues>& groups) {
        size_t section = 0;
        series[section++].push_back(total);
        for (const EncodedGroupValues& group : groups) {
            series[section++].push_back(group.value);
            for (float item : group.items) series[section++].push_back(item);
        }
    });
    RunSummary run;
    for (size_t section = 0; section < labels.size(); section++) {
        run.push_back(compare_summarize_values(series[section].data(), frames));
        run.back().name = labels[section];
        run.back().type = section == 0 ? SECTION_ROOT : labels[section].find('/') == std::string::npos ? SECTION_GROUP
                                                                                                       : SECTION_ITEM;
    }
    return run;
}

const SectionComparison* find(const Comparison& comparison, const std::string& name)
{
    for (const SectionComparison& section : comparison.sections)
        if (section.name == name) return &section;
    return nullptr;
}

const CompareThresholds kFivePercentGate = {true, 5.0, false, 0.0};

TEST(CompareStatistics, QuantilesAreNearestRanksOfAnyOrder)
{
    // 1..1000 ms shuffled: nearest ranks 500, 950 and 990.
    std::vector<float> values(1000);
    for (size_t index = 0; index < values.size(); index++) values[index] = float(index + 1) * 0.001f;
    std::shuffle(values.begin(), values.end(), std::mt19937(7));
    SectionSummary summary = compare_summarize_values(values.data(), uint32_t(values.size()));
    EXPECT_FLOAT_EQ(summary.median, 0.5f);
    EXPECT_FLOAT_EQ(summary.p95, 0.95f);
    EXPECT_FLOAT_EQ(summary.p99, 0.99f);
    // Negative values and one value: the order holds across the sign.
    float mixed[] = {-2.0f, 3.0f, -1.0f, 0.0f, 1.0f};
    EXPECT_FLOAT_EQ(compare_summarize_values(mixed, 5).median, 0.0f);
    EXPECT_FLOAT_EQ(compare_summarize_values(mixed, 5).p95, 3.0f);
    EXPECT_TRUE(std::isinf(compare_summarize_values(mixed, 5).median_variance));
}

// The median's estimated variance against its true spread over many series, for independent
// frames and for strongly correlated ones: an estimate that ignored the correlation would be
// several times too small.
TEST(CompareStatistics, MedianVarianceFollowsTheCorrelation)
{
    for (double correlation : {0.0, 0.9}) {
        std::mt19937_64 random(11);
        std::normal_distribution<double> normal(0.0, 1.0);
        double innovation = std::sqrt(1.0 - correlation * correlation);
        std::vector<double> medians, estimates;
        std::vector<float> values(2000);
        for (int series = 0; series < 300; series++) {
            double noise = normal(random);
            for (float& value : values) value = float(1.0 + 0.1 * (noise = correlation * noise + innovation * normal(random)));
            SectionSummary summary = compare_summarize_values(values.data(), uint32_t(values.size()));
            medians.push_back(summary.median);
            estimates.push_back(summary.median_variance);
        }
        double mean = 0.0, spread = 0.0, estimate = 0.0;
        for (double median : medians) mean += median / double(medians.size());
        for (double median : medians) spread += (median - mean) * (median - mean) / double(medians.size() - 1);
        for (double value : estimates) estimate += value / double(estimates.size());
        SCOPED_TRACE(correlation);
        EXPECT_GT(estimate / spread, 0.7);
        EXPECT_LT(estimate / spread, 1.4);
    }
}

TEST(CompareStatistics, TQuantilesMatchTheTable)
{
    struct Case {
        double degrees, quantile;
    } cases[] = {{1, 12.706}, {10, 2.228}, {30.5, 2.042}, {60, 2.000}, {120, 1.980}, {1e9, 1.960}};
    for (const Case& item : cases) EXPECT_NEAR(compare_t_quantile(item.degrees), item.quantile, 0.002) << item.degrees;
    EXPECT_TRUE(std::isinf(compare_t_quantile(0.5)));
}

// Two recordings of the same seeded program that differ only in noise, 200 times: the
// 5% gate may fail at most 4 times.
TEST(CompareExperiment, NoiseRarelyFailsTheGate)
{
    int failures = 0;
    for (int pair = 0; pair < kExperimentPairs; pair++) {
        RunSummary base = model_run(2 * uint64_t(pair), kExperimentFrames);
        RunSummary latest = model_run(2 * uint64_t(pair) + 1, kExperimentFrames);
        failures += compare_runs({base}, {latest}, kFivePercentGate).failed;
    }
    std::printf("noise pairs failing --fail-above 5: %d of %d\n", failures, kExperimentPairs);
    EXPECT_LE(failures, 4);
}

// A 10% slowdown of an item that is 5% of the frame, 200 times: reported slower and failing
// the 5% gate at least 190 times.
TEST(CompareExperiment, TenPercentSlowdownIsCaught)
{
    int caught = 0;
    for (int pair = 0; pair < kExperimentPairs; pair++) {
        RunSummary base = model_run(1000 + 2 * uint64_t(pair), kExperimentFrames);
        RunSummary latest = model_run(1001 + 2 * uint64_t(pair), kExperimentFrames, kSlowedItem, 1.1);
        Comparison comparison = compare_runs({base}, {latest}, kFivePercentGate);
        const SectionComparison* slowed = find(comparison, "Group 3/item 19");
        ASSERT_NE(slowed, nullptr);
        caught += slowed->verdict == VERDICT_SLOWER && slowed->fails && comparison.failed;
    }
    std::printf("10%% slowdowns caught: %d of %d\n", caught, kExperimentPairs);
    EXPECT_GE(caught, 190);
}

// Sections are matched by name whatever their order; one-sided ones are listed, not compared.
TEST(CompareRuns, MatchesByNameAndListsNewAndGone)
{
    auto summary = [](const char* name, int32_t type, double median) {
        return SectionSummary{name, type, 100, median, median, median, 0.0, 50.0, 1.0};
    };
    RunSummary base = {summary("total", SECTION_ROOT, 0.010), summary("A", SECTION_GROUP, 0.004),
                       summary("A/x", SECTION_ITEM, 0.004), summary("Gone", SECTION_GROUP, 0.001)};
    RunSummary latest = {summary("total", SECTION_ROOT, 0.012), summary("B", SECTION_GROUP, 0.001),
                         summary("A", SECTION_GROUP, 0.005), summary("A/x", SECTION_ITEM, 0.0041)};
    Comparison comparison = compare_runs({base}, {latest}, kFivePercentGate);
    ASSERT_EQ(comparison.sections.size(), 3u);
    EXPECT_EQ(comparison.sections[0].name, "total");
    EXPECT_EQ(comparison.sections[1].name, "A");  // 1 ms changed, before A/x's 0.1 ms
    EXPECT_NEAR(comparison.sections[1].change, 0.001, 1e-12);
    EXPECT_EQ(comparison.sections[2].name, "A/x");
    EXPECT_EQ(comparison.sections[2].verdict, VERDICT_UNCHANGED);  // 2.5%, below the gate's 5%
    EXPECT_EQ(comparison.added, std::vector<std::string>{"B"});
    EXPECT_EQ(comparison.removed, std::vector<std::string>{"Gone"});
    EXPECT_TRUE(comparison.failed);
}

// Runs are replicates: when one run of each side sits 8% high, one run a side would call
// that a slowdown, but the two sides' runs together show the same spread and no change.
TEST(CompareRuns, RunToRunSpreadCountsInTheVerdict)
{
    auto run = [](uint64_t seed, double shift) {
        return summarize(model_recording(seed, kExperimentFrames, kSlowedItem, shift));
    };
    std::vector<RunSummary> base = {run(70, 1.0), run(71, 1.08)};
    std::vector<RunSummary> latest = {run(72, 1.08), run(73, 1.0)};
    Comparison one_run = compare_runs({base[0]}, {latest[0]}, kFivePercentGate);
    const SectionComparison* single = find(one_run, "Group 3/item 19");
    ASSERT_NE(single, nullptr);
    EXPECT_EQ(single->verdict, VERDICT_SLOWER);
    Comparison together = compare_runs(base, latest, kFivePercentGate);
    const SectionComparison* pooled = find(together, "Group 3/item 19");
    ASSERT_NE(pooled, nullptr);
    EXPECT_EQ(pooled->base.runs, 2u);
    EXPECT_NE(pooled->verdict, VERDICT_SLOWER);
    EXPECT_FALSE(together.failed);
    EXPECT_EQ(pooled->base.degrees, 1.0);  // the spread of the two run medians took over
}

// savrel-compare, run as a CI job would: exit statuses and the JSON.
class CompareProgramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::string(SAVREL_COMPARE_PATH).empty()) GTEST_SKIP() << "savrel-compare is not built";
        folder_ = make_scratch_folder();
    }

    std::string write(const char* name, const ProfileBytes& bytes)
    {
        std::string path = folder_ + "/" + name;
        write_file(path, std::string(bytes.begin(), bytes.end()));
        return path;
    }

    int compare(const std::vector<std::string>& arguments, std::string* output)
    {
        return run_program(SAVREL_COMPARE_PATH, arguments, output);
    }

    std::string folder_;
};

TEST_F(CompareProgramTest, ExitStatusesSayWhatHappened)
{
    std::string base = write("base.bin", model_recording(90, kExperimentFrames));
    std::string same = write("same.bin", model_recording(91, kExperimentFrames));
    std::string slower = write("slower.bin", model_recording(92, kExperimentFrames, kSlowedItem, 1.1));
    std::string broken = write("broken.bin", ProfileBytes{1, 0, 0});
    struct Case {
        std::vector<std::string> arguments;
        int status;
        const char* says;
    } cases[] = {
        {{base, same, "--fail-above", "5"}, 0, "Gate >5%: passed."},
        {{"--fail-above", "5", "--fail-above-ms", "0.05", base, slower}, 3, "Group 3/item 19"},
        {{base, slower, "--fail-above", "5", "--fail-above-ms", "0.2"}, 0, "Gate >5% and >0.2 ms: passed."},
        {{base, slower}, 0, "Group 3/item 19 +0.0"},
        {{base, folder_ + "/missing.bin", "--fail-above", "5"}, 1, "missing.bin did not load"},
        {{broken, base}, 1, "broken.bin did not load"},
        {{base, same, "--fail-above", "five"}, 2, "--fail-above needs a percentage"},
        {{base}, 2, "give BASE and NEW"},
        {{base, "--", same, "--", slower}, 2, "-- may appear once"},
        {{base, same, "--frames", "5000.."}, 2, "starts after the last frame"},
        {{base, same, "--colour"}, 2, "unknown option --colour"},
    };
    for (const Case& item : cases) {
        std::string output;
        EXPECT_EQ(compare(item.arguments, &output), item.status) << output;
        EXPECT_NE(output.find(item.says), std::string::npos) << output;
    }
}

// The JSON holds seconds; several runs a side; the recorder's own item and its group never
// fail the gate, even 50% slower.
TEST_F(CompareProgramTest, JsonInSecondsAndTheRecorderItemNeverGates)
{
    std::vector<EncodedGroupNames> names = model_names();
    names[3].name = "Savrel";
    names[3].items[1] = "frame end";
    std::string base1 = write("base1.bin", model_recording(93, kExperimentFrames, -1, 1.0, names));
    std::string base2 = write("base2.bin", model_recording(94, kExperimentFrames, -1, 1.0, names));
    std::string latest = write("new.bin", model_recording(95, kExperimentFrames, kSlowedItem, 1.5, names));
    std::string output;
    ASSERT_EQ(compare({"--json", "--fail-above", "5", "--base-frames", "100..", base1, base2, "--", latest}, &output), 0) << output;
    nlohmann::json document = nlohmann::json::parse(output);
    EXPECT_EQ(document["unit"], "seconds");
    EXPECT_EQ(document["base"]["first_frame"], 100);
    EXPECT_EQ(document["new"]["first_frame"], 0);
    EXPECT_EQ(document["fail_above_percent"], 5.0);
    EXPECT_FALSE(document["failed"]);
    EXPECT_EQ(document["sections"][0]["name"], "total");
    EXPECT_EQ(document["sections"][0]["base"]["frames"], 2 * (kExperimentFrames - 100));
    int exempt = 0;
    for (const nlohmann::json& section : document["sections"]) {
        if (!section["exempt"]) continue;
        exempt++;
        EXPECT_EQ(section["verdict"], "slower") << section["name"];
        EXPECT_FALSE(section["fails"]);
    }
    EXPECT_EQ(exempt, 2);
    nlohmann::json frame_end;
    for (const nlohmann::json& section : document["sections"])
        if (section["name"] == kCompareRecorderFrameEnd) frame_end = section;
    ASSERT_TRUE(frame_end.is_object());
    EXPECT_NEAR(frame_end["change"].get<double>(), 0.0004, 0.0001);  // half of 0.8 ms, in seconds
    EXPECT_LT(frame_end["interval"][0].get<double>(), frame_end["change"].get<double>());
}

}  // namespace
