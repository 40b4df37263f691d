// settings: the store and its loader. The loader reads words itself instead of
// through sscanf, so no word can overrun its buffer and every conversion is defined.
#include "settings/settings.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const int32_t kInitialChangeCount = 345;
const size_t kNameLength = SETTINGS_NAME_SIZE - 1;
const size_t kWordLength = 31;
// A line is read 511 characters at a time; the rest comes as a line of its own.
const int kLineSize = 512;

// The entries live in module storage, so initialising the store cannot fail.
Setting entry_storage[SETTINGS_CAPACITY];
SettingsStore store;

void settings_init()
{
    if (store.initialised) return;
    store.initialised = true;
    store.entries = entry_storage;
    store.count = 0;
    store.change_count = kInitialChangeCount;
}

// Setting for a set operation: the existing one, a new one, or null when the store is full.
Setting* find_or_add(const char* name)
{
    Setting* setting = settings_find(name);
    return setting ? setting : settings_add(name);
}

// Truncation toward zero, saturated to the 32-bit range; NaN gives 0.
int32_t real_to_integer(double value)
{
    if (std::isnan(value)) return 0;
    if (value >= 2147483648.0) return INT32_MAX;
    if (value <= -2147483649.0) return INT32_MIN;
    return int32_t(value);
}

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Copies the next word after *cursor into word, cut to kWordLength characters;
// the rest of a longer word is skipped. False when the line holds no more words.
bool next_word(const char** cursor, char (&word)[kWordLength + 1])
{
    const char* at = *cursor;
    while (is_space(*at)) at++;
    if (*at == '\0') return false;
    size_t length = 0;
    for (; *at != '\0' && !is_space(*at); at++)
        if (length < kWordLength) word[length++] = *at;
    word[length] = '\0';
    *cursor = at;
    return true;
}

// What "%u" reads: an optional sign and decimal digits, kept to the low 32 bits;
// a minus sign gives the two's complement. False when no digit follows the sign.
bool read_unsigned(const char* word, int32_t* value)
{
    bool negative = *word == '-';
    if (*word == '-' || *word == '+') word++;
    if (*word < '0' || *word > '9') return false;
    uint32_t result = 0;
    for (; *word >= '0' && *word <= '9'; word++) result = result * 10u + uint32_t(*word - '0');
    *value = int32_t(negative ? 0u - result : result);
    return true;
}

void load_line(const char* line)
{
    char name[kWordLength + 1];
    char value[kWordLength + 1];
    if (!next_word(&line, name) || !next_word(&line, value)) return;
    // "%f" in single precision: strtof reads the longest number the word begins with.
    char* end = nullptr;
    float real = std::strtof(value, &end);
    if (end == value) {
        settings_set_text(name, value);
        return;
    }
    settings_set_real(name, double(real));
    int32_t integer = 0;
    if (read_unsigned(value, &integer)) settings_set_int(name, integer);
}

}  // namespace

const SettingsStore* settings_store(void)
{
    settings_init();
    return &store;
}

Setting* settings_find(const char* name)
{
    settings_init();
    // Names are kept to 31 characters, so only those are compared.
    for (uint32_t i = 0; i < store.count; i++)
        if (std::strncmp(store.entries[i].name, name, kNameLength) == 0) return &store.entries[i];
    return nullptr;
}

Setting* settings_add(const char* name)
{
    settings_init();
    if (store.count == SETTINGS_CAPACITY || settings_find(name)) return nullptr;
    Setting* setting = &store.entries[store.count++];
    size_t length = strnlen(name, kNameLength);
    std::memcpy(setting->name, name, length);
    setting->name[length] = '\0';
    setting->text = nullptr;
    setting->real = 0.0;
    setting->integer = 0;
    return setting;
}

void settings_set_real(const char* name, double value)
{
    Setting* setting = find_or_add(name);
    if (!setting) return;
    setting->real = value;
    setting->integer = real_to_integer(value);
    store.change_count++;
}

void settings_set_int(const char* name, int32_t value)
{
    Setting* setting = find_or_add(name);
    if (!setting) return;
    setting->integer = value;
    store.change_count++;
}

void settings_set_text(const char* name, const char* text)
{
    settings_init();
    // Copy first: a text that cannot be copied changes nothing, not even the count.
    size_t size = std::strlen(text) + 1;
    char* copy = static_cast<char*>(std::malloc(size));
    if (!copy) return;
    std::memcpy(copy, text, size);
    Setting* setting = find_or_add(name);
    if (!setting) {
        std::free(copy);
        return;
    }
    std::free(setting->text);
    setting->text = copy;
    store.change_count++;
}

void settings_load(const char* path)
{
    settings_init();
    std::FILE* file = std::fopen(path, "r");
    if (!file) return;
    char line[kLineSize];
    while (std::fgets(line, kLineSize, file)) load_line(line);
    std::fclose(file);
}

void settings_reset(void)
{
    for (uint32_t i = 0; i < store.count; i++) std::free(store.entries[i].text);
    store.initialised = false;
    settings_init();
}
