// The fuzzers' seed corpus replayed through the normal build, so CI covers it without libFuzzer.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "fuzz/profile_oracle.h"
#include "fuzz/settings_oracle.h"
#include "profile/profile.h"
#include "settings/settings.h"
#include "tests/support/process_support.h"

namespace {

std::vector<std::string> corpus_files(const char* target)
{
    std::vector<std::string> files;
    std::filesystem::path folder = std::filesystem::path(SAVREL_SOURCE_DIR) / "fuzz" / "corpus" / target;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        if (entry.is_regular_file()) files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

const uint8_t* bytes_of(const std::string& text)
{
    return reinterpret_cast<const uint8_t*>(text.data());
}

TEST(FuzzCorpus, ProfileSeedsLoadAsTheirBytesSayFromFileAndMemory)
{
    std::vector<std::string> files = corpus_files("profile");
    ASSERT_GE(files.size(), 20u);
    std::set<ProfileStatus> seen;
    for (const std::string& file : files) {
        std::string bytes = read_file(file);
        profile_load(file.c_str());
        EXPECT_EQ(oracle_profile_fault(bytes_of(bytes), bytes.size()), "") << file << " from the file";
        ProfileStatus from_file = profile_last_status();
        profile_load_memory(bytes_of(bytes), bytes.size());
        EXPECT_EQ(oracle_profile_fault(bytes_of(bytes), bytes.size()), "") << file << " from memory";
        EXPECT_EQ(profile_last_status(), from_file) << file;
        seen.insert(from_file);
    }
    // Seeds that no longer reach every outcome would leave the fuzzer a narrower start.
    for (ProfileStatus status : {PROFILE_OK, PROFILE_NO_STRUCTURE, PROFILE_TRUNCATED, PROFILE_COUNT_MISMATCH,
                                 PROFILE_EXTRA_VALUES})
        EXPECT_EQ(seen.count(status), 1u) << "no seed ends with status " << status;
}

// The oracle must notice each kind of damage to a loaded table, or a fuzzing run proves nothing.
TEST(FuzzCorpus, ProfileOracleNoticesEveryKindOfTableDamage)
{
    std::string bytes = read_file(std::string(SAVREL_SOURCE_DIR) + "/fuzz/corpus/profile/one-frame");
    ASSERT_FALSE(bytes.empty());
    struct Damage {
        const char* what;
        std::function<void(SectionTable*)> apply;
    };
    const Damage damages[] = {
        {"a frame value", [](SectionTable* table) { table->sections[2].values[0] += 1.0f; }},
        {"a value past the last frame", [](SectionTable* table) { table->sections[1].values[1023] = 1.0f; }},
        {"a name", [](SectionTable* table) { table->sections[3].name[0] ^= 1; }},
        {"a type", [](SectionTable* table) { table->sections[4].type = SECTION_ITEM; }},
        {"a group index", [](SectionTable* table) { table->sections[5].group_index = 0; }},
        {"a colour", [](SectionTable* table) { table->sections[2].colour[1] = 0.5f; }},
        {"a layout field", [](SectionTable* table) { table->sections[0].end = 1.0f; }},
        {"the frame count", [](SectionTable* table) { table->frame_count = 2; }},
        {"the section count", [](SectionTable* table) { table->section_count = 5; }},
    };
    for (const Damage& damage : damages) {
        profile_load_memory(bytes_of(bytes), bytes.size());
        ASSERT_EQ(profile_last_status(), PROFILE_OK);
        ASSERT_EQ(profile_table()->section_count, 6u);
        ASSERT_EQ(oracle_profile_fault(bytes_of(bytes), bytes.size()), "");
        damage.apply(profile_table());
        EXPECT_NE(oracle_profile_fault(bytes_of(bytes), bytes.size()), "") << damage.what;
    }
    // A different status is a fault too: these bytes are whole, so a refusal is wrong.
    profile_load_memory(bytes_of(bytes), bytes.size() - 1);
    EXPECT_NE(oracle_profile_fault(bytes_of(bytes), bytes.size()), "");
}

TEST(FuzzCorpus, SettingsModelNoticesEveryKindOfStoreDamage)
{
    struct Damage {
        const char* what;
        std::function<void()> apply;
    };
    const Damage damages[] = {
        {"an integer", [] { settings_find("oracle-count")->integer += 1; }},
        {"a real", [] { settings_find("oracle-count")->real = 0.5; }},
        {"a text", [] { settings_find("oracle-title")->text[0] = 'X'; }},
        {"a name", [] { settings_find("oracle-title")->name[0] = 'X'; }},
        {"an uncounted change", [] { settings_set_int("oracle-count", 7); }},
    };
    std::string text = "oracle-count 7\noracle-title hello\n";
    std::string path = make_scratch_folder() + "/sv_config.cfg";
    write_file(path, text);
    for (const Damage& damage : damages) {
        OracleSettings model = oracle_settings_snapshot();
        settings_load(path.c_str());
        oracle_settings_apply(&model, text);
        Setting* title = settings_find("oracle-title");
        ASSERT_NE(title, nullptr) << "the store is full before this test";
        ASSERT_EQ(oracle_settings_fault(model), "");
        damage.apply();
        EXPECT_NE(oracle_settings_fault(model), "") << damage.what;
        title->name[0] = 'o';
    }
}

// Each seed starts from an empty store, as it does under the fuzzer.
TEST(FuzzCorpus, SettingsSeedsLoadAsTheModelReadsThem)
{
    std::vector<std::string> files = corpus_files("settings");
    ASSERT_GE(files.size(), 5u);
    uint32_t most = 0;
    for (const std::string& file : files) {
        settings_reset();
        OracleSettings model = oracle_settings_snapshot();
        settings_load(file.c_str());
        oracle_settings_apply(&model, read_file(file));
        EXPECT_EQ(oracle_settings_fault(model), "") << file;
        most = std::max(most, settings_store()->count);
    }
    // The full-store seed alone brings more than 128 names.
    EXPECT_EQ(most, uint32_t(SETTINGS_CAPACITY));
    settings_reset();
}

}  // namespace
