#include "settings/settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace {

const double kInfinity = std::numeric_limits<double>::infinity();
const double kNan = std::numeric_limits<double>::quiet_NaN();

// Loads the text through a real file, as start-up does.
void load_text(const std::string& text)
{
    char path[] = "/tmp/savrel-settings-XXXXXX";
    int descriptor = mkstemp(path);
    if (descriptor < 0 || write(descriptor, text.data(), text.size()) != ssize_t(text.size())) std::abort();
    close(descriptor);
    settings_load(path);
    unlink(path);
}

bool same_real(double a, double b)
{
    return (std::isnan(a) && std::isnan(b)) || (a == b && std::signbit(a) == std::signbit(b));
}

// Checks in a child process end in its exit status; gtest shows what the child printed.
int child_failures;

void child_check(bool ok, const char* what)
{
    if (ok) return;
    std::fprintf(stderr, "failed: %s\n", what);
    child_failures++;
}

[[noreturn]] void child_finish()
{
    std::exit(child_failures == 0 ? 0 : 1);
}

// The store never shrinks, so a test that needs it fresh or fills it runs in a
// re-executed child of its own.
TEST(SettingsFreshDeathTest, StartsAt345AndCountsEverySet)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const SettingsStore* store = settings_store();
            child_check(store->initialised && store->count == 0 && store->change_count == 345, "initial values");
            load_text("a 1\nb x\n");
            child_check(store->count == 2 && store->change_count == 348, "a 1 / b x gives count 2, changes 348");
            child_check(std::strcmp(store->entries[0].name, "a") == 0, "first entry a");
            child_check(std::strcmp(store->entries[1].name, "b") == 0, "second entry b");
            child_finish();
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(SettingsFreshDeathTest, FullStoreIgnoresNewNamesButChangesOldOnes)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const SettingsStore* store = settings_store();
            char name[8];
            for (int i = 0; i < SETTINGS_CAPACITY; i++) {
                std::snprintf(name, sizeof name, "s%d", i);
                settings_set_int(name, i);
            }
            child_check(store->count == 128 && store->change_count == 345 + 128, "128 stored");
            settings_set_real("extra", 1.0);
            settings_set_int("extra", 1);
            settings_set_text("extra", "x");
            load_text("extra 5\ns7 70\n");
            child_check(settings_add("another") == nullptr, "add into a full store");
            child_check(settings_find("extra") == nullptr, "no extra setting");
            child_check(store->count == 128 && store->change_count == 345 + 128 + 2, "only s7 counted");
            child_check(settings_find("s7")->integer == 70 && settings_find("s7")->real == 70.0, "s7 changed");
            child_finish();
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(SettingsLoad, EachLineSetsFromItsFirstTwoWords)
{
    const int32_t max = INT32_MAX, min = INT32_MIN;
    struct Row {
        const char* line;
        const char* name;
        int changes;
        const char* text;
        double real;
        int32_t integer;
    } rows[] = {
        {"speed 2.5\n", "speed", 2, nullptr, 2.5, 2},
        {"tenth 0.1\n", "tenth", 2, nullptr, double(0.1f), 0},
        {"count 7\n", "count", 2, nullptr, 7.0, 7},
        {"big 1e3\n", "big", 2, nullptr, 1000.0, 1},
        {"neg -3.7\n", "neg", 2, nullptr, double(-3.7f), -3},
        {"half .5\n", "half", 1, nullptr, 0.5, 0},
        {"title hello\n", "title", 1, "hello", 0.0, 0},
        {"mode 3 extra words\n", "mode", 2, nullptr, 3.0, 3},
        {"# note\n", "#", 1, "note", 0.0, 0},
        {" \ttabbed\v\f 9\r\n", "tabbed", 2, nullptr, 9.0, 9},
        {"plus +2", "plus", 2, nullptr, 2.0, 2},
        {"point 5.\n", "point", 2, nullptr, 5.0, 5},
        {"minus -3\n", "minus", 2, nullptr, -3.0, -3},
        {"negative_zero -0\n", "negative_zero", 2, nullptr, -0.0, 0},
        {"bare_exponent 1e\n", "bare_exponent", 2, nullptr, 1.0, 1},
        {"suffix 3abc\n", "suffix", 2, nullptr, 3.0, 3},
        {"hex 0x1p3\n", "hex", 2, nullptr, 8.0, 0},
        {"infinite inf\n", "infinite", 1, nullptr, kInfinity, max},
        {"falling -Infinity\n", "falling", 1, nullptr, -kInfinity, min},
        {"undefined nan\n", "undefined", 1, nullptr, kNan, 0},
        {"overflow 1e39\n", "overflow", 2, nullptr, kInfinity, 1},
        {"wrap 4294967297\n", "wrap", 2, nullptr, double(4294967297.0f), 1},
        {"long_run 99999999999\n", "long_run", 2, nullptr, double(99999999999.0f), int32_t(uint32_t(99999999999ull))},
        {"sign_only -\n", "sign_only", 1, "-", 0.0, 0},
        {"dot_only .\n", "dot_only", 1, ".", 0.0, 0},
        {"two_signs +-3\n", "two_signs", 1, "+-3", 0.0, 0},
        {"exponent_only e5\n", "exponent_only", 1, "e5", 0.0, 0},
    };
    const SettingsStore* store = settings_store();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        uint32_t count = store->count;
        int32_t changes = store->change_count;
        load_text(row.line);
        EXPECT_EQ(store->count, count + 1);
        EXPECT_EQ(store->change_count, changes + row.changes);
        const Setting* setting = settings_find(row.name);
        ASSERT_NE(setting, nullptr);
        EXPECT_STREQ(setting->text, row.text);
        EXPECT_PRED2(same_real, setting->real, row.real);
        EXPECT_EQ(setting->integer, row.integer);
    }
}

TEST(SettingsLoad, LinesWithoutTwoWordsAndUnreadableFilesChangeNothing)
{
    const SettingsStore* store = settings_store();
    uint32_t count = store->count;
    int32_t changes = store->change_count;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    load_text("\n   \nlonely\n\t\r\n");
    settings_load("/nonexistent/sv_config.cfg");
    settings_load("/tmp");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(store->count, count);
    EXPECT_EQ(store->change_count, changes);
    EXPECT_EQ(settings_find("lonely"), nullptr);
}

TEST(SettingsLoad, LaterTextKeepsTheNumbers)
{
    uint32_t count = settings_store()->count;
    load_text("pace 2.5\npace fast\n");
    EXPECT_EQ(settings_store()->count, count + 1);
    const Setting* setting = settings_find("pace");
    ASSERT_NE(setting, nullptr);
    EXPECT_EQ(setting->real, 2.5);
    EXPECT_EQ(setting->integer, 2);
    EXPECT_STREQ(setting->text, "fast");
}

TEST(SettingsLoad, LongWordsAreCutAndLaterLinesReadNormally)
{
    std::string name(40, 'n'), text(40, 't'), digits(40, '9');
    load_text(name + " " + text + "\ndigits " + digits + "\nafter_words 4\n");
    const Setting* setting = settings_find(name.substr(0, 31).c_str());
    ASSERT_NE(setting, nullptr);
    EXPECT_EQ(std::string(setting->name), name.substr(0, 31));
    EXPECT_EQ(settings_find(name.c_str()), setting);
    EXPECT_EQ(std::string(setting->text), text.substr(0, 31));
    // 31 nines: the real rounds to the float nearest 1e31, the integer keeps the low 32 bits.
    unsigned __int128 nines = 1;
    for (int i = 0; i < 31; i++) nines *= 10;
    nines -= 1;
    ASSERT_NE(settings_find("digits"), nullptr);
    EXPECT_EQ(settings_find("digits")->real, double(1e31f));
    EXPECT_EQ(settings_find("digits")->integer, int32_t(uint32_t(nines)));
    ASSERT_NE(settings_find("after_words"), nullptr);
    EXPECT_EQ(settings_find("after_words")->integer, 4);
}

TEST(SettingsLoad, LongLinesContinueAsLinesOfTheirOwn)
{
    std::string first = "first 1";
    first.resize(511, ' ');
    // The 600 x's split after 511: the first part is a single word, the rest a cut name.
    load_text(first + "second 2\n" + std::string(600, 'x') + " 5\nthird 3\n");
    const char* names[] = {"first", "second", "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", "third"};
    const int32_t values[] = {1, 2, 5, 3};
    for (int i = 0; i < 4; i++) {
        const Setting* setting = settings_find(names[i]);
        ASSERT_NE(setting, nullptr) << names[i];
        EXPECT_EQ(setting->integer, values[i]) << names[i];
    }
}

TEST(SettingsSet, RealTruncatesTowardZeroAndSaturates)
{
    const int32_t max = INT32_MAX, min = INT32_MIN;
    struct Row {
        double real;
        int32_t integer;
    } rows[] = {
        {2.9, 2},
        {-2.9, -2},
        {-0.5, 0},
        {2147483647.9, max},
        {2147483648.0, max},
        {-2147483648.9, min},
        {-2147483649.0, min},
        {1e300, max},
        {-1e300, min},
        {kInfinity, max},
        {-kInfinity, min},
        {kNan, 0},
    };
    for (size_t i = 0; i < std::size(rows); i++) {
        char name[16];
        std::snprintf(name, sizeof name, "saturate%zu", i);
        settings_set_real(name, rows[i].real);
        const Setting* setting = settings_find(name);
        ASSERT_NE(setting, nullptr);
        EXPECT_PRED2(same_real, setting->real, rows[i].real);
        EXPECT_EQ(setting->integer, rows[i].integer) << rows[i].real;
    }
}

TEST(SettingsSet, EachSetChangesOnlyItsValuesAndAlwaysCounts)
{
    const SettingsStore* store = settings_store();
    int32_t changes = store->change_count;
    Setting* added = settings_add("Mixed");
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(settings_add("Mixed"), nullptr);
    EXPECT_EQ(settings_find("mixed"), nullptr);
    EXPECT_EQ(settings_find("Mixe"), nullptr);
    EXPECT_TRUE(added->text == nullptr && added->real == 0.0 && added->integer == 0);
    char text[] = "first";
    settings_set_text("Mixed", text);
    std::strcpy(text, "later");
    settings_set_real("Mixed", 0.1);
    settings_set_int("Mixed", -7);
    settings_set_int("Mixed", -7);
    EXPECT_STREQ(added->text, "first");
    EXPECT_EQ(added->real, 0.1);
    EXPECT_EQ(added->integer, -7);
    EXPECT_EQ(store->change_count, changes + 4);
    settings_set_text("Mixed", "replaced");
    EXPECT_STREQ(added->text, "replaced");
}

TEST(SettingsReset, EmptiesTheStoreSoItCanFillAgain)
{
    settings_set_text("before_reset", "kept text");
    settings_reset();
    const SettingsStore* store = settings_store();
    EXPECT_EQ(store->count, 0u);
    EXPECT_EQ(store->change_count, 345);
    EXPECT_EQ(settings_find("before_reset"), nullptr);
    // Refilling overwrites every entry; a text the reset did not free shows as a leak.
    char name[8];
    for (int i = 0; i < SETTINGS_CAPACITY; i++) {
        std::snprintf(name, sizeof name, "r%d", i);
        settings_set_text(name, "again");
    }
    EXPECT_EQ(store->count, uint32_t(SETTINGS_CAPACITY));
    EXPECT_EQ(settings_add("one_more"), nullptr);
    settings_reset();
    EXPECT_NE(settings_add("one_more"), nullptr);
    EXPECT_EQ(settings_find("r0"), nullptr);
    settings_reset();
}

}  // namespace
