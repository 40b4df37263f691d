// settings oracle: a model of the settings store that reads settings text by the file rules.
//
// Does NOT call the store's loader: it takes a snapshot of the store, applies the text to
// the snapshot line by line, and compares the store with it after the real load. The store
// lives for the whole process, so the model always starts from whatever the store holds.
// Header-only, because both the libFuzzer target and the corpus replay test include it.
//
// Use: model = oracle_settings_snapshot(); settings_load(path holding text);
//      oracle_settings_apply(&model, text); oracle_settings_fault(model) is "" when they agree.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "settings/settings.h"

struct OracleSetting {
    std::string name;
    bool has_text;
    std::string text;
    double real;
    int32_t integer;
};

struct OracleSettings {
    std::vector<OracleSetting> entries;
    int64_t change_count;
};

inline OracleSettings oracle_settings_snapshot()
{
    const SettingsStore* store = settings_store();
    OracleSettings model{{}, store->change_count};
    for (uint32_t i = 0; i < store->count; i++) {
        const Setting& entry = store->entries[i];
        model.entries.push_back({entry.name, entry.text != nullptr, entry.text ? entry.text : "", entry.real,
                                 entry.integer});
    }
    return model;
}

// The setting a set operation changes, or null when the store is full and the name is new.
inline OracleSetting* oracle_settings_target(OracleSettings* model, const std::string& name)
{
    for (OracleSetting& entry : model->entries)
        if (entry.name == name) return &entry;
    if (model->entries.size() == SETTINGS_CAPACITY) return nullptr;
    model->entries.push_back({name, false, "", 0.0, 0});
    return &model->entries.back();
}

inline bool oracle_is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The first words of a line, each cut to 31 characters.
inline std::vector<std::string> oracle_words(const std::string& line, size_t wanted)
{
    std::vector<std::string> words;
    size_t at = 0;
    while (words.size() < wanted) {
        while (at < line.size() && oracle_is_space(line[at])) at++;
        if (at == line.size()) break;
        size_t end = at;
        while (end < line.size() && !oracle_is_space(line[end])) end++;
        words.push_back(line.substr(at, end - at).substr(0, 31));
        at = end;
    }
    return words;
}

inline int32_t oracle_truncate(double value)
{
    if (std::isnan(value)) return 0;
    if (value >= 2147483648.0) return INT32_MAX;
    if (value <= -2147483649.0) return INT32_MIN;
    return int32_t(std::trunc(value));
}

inline void oracle_settings_line(OracleSettings* model, const std::string& line)
{
    std::vector<std::string> words = oracle_words(line, 2);
    if (words.size() < 2) return;
    const std::string& value = words[1];
    char* end = nullptr;
    float real = std::strtof(value.c_str(), &end);
    OracleSetting* target = oracle_settings_target(model, words[0]);
    if (!target) return;
    if (end == value.c_str()) {
        target->has_text = true;
        target->text = value;
        model->change_count++;
        return;
    }
    target->real = double(real);
    target->integer = oracle_truncate(double(real));
    model->change_count++;
    size_t digits = value[0] == '-' || value[0] == '+' ? 1 : 0;
    if (digits >= value.size() || value[digits] < '0' || value[digits] > '9') return;
    uint32_t integer = 0;
    for (; digits < value.size() && value[digits] >= '0' && value[digits] <= '9'; digits++)
        integer = integer * 10u + uint32_t(value[digits] - '0');
    target->integer = int32_t(value[0] == '-' ? 0u - integer : integer);
    model->change_count++;
}

// Lines come 511 bytes at a time, as a fixed line buffer reads them; a zero byte ends the
// line's text early, as it ends any C string.
inline void oracle_settings_apply(OracleSettings* model, const std::string& text)
{
    const size_t most = 511;
    for (size_t at = 0; at < text.size();) {
        size_t newline = text.find('\n', at);
        size_t end = newline == std::string::npos ? text.size() : newline + 1;
        if (end - at > most) end = at + most;
        std::string line = text.substr(at, end - at);
        oracle_settings_line(model, line.substr(0, line.find('\0')));
        at = end;
    }
}

inline bool oracle_same_real(double a, double b)
{
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

// The first way the entry differs from the model, or null.
inline const char* oracle_setting_difference(const Setting& entry, const OracleSetting& expected)
{
    if (std::memchr(entry.name, 0, SETTINGS_NAME_SIZE) == nullptr) return "name not terminated";
    if (entry.name != expected.name) return "name";
    if ((entry.text != nullptr) != expected.has_text || (entry.text && entry.text != expected.text)) return "text";
    if (!oracle_same_real(entry.real, expected.real)) return "real";
    if (entry.integer != expected.integer) return "integer";
    return nullptr;
}

inline std::string oracle_settings_fault(const OracleSettings& model)
{
    const SettingsStore* store = settings_store();
    if (store->count != model.entries.size()) return "count " + std::to_string(store->count);
    if (store->change_count != model.change_count) return "change count " + std::to_string(store->change_count);
    for (uint32_t i = 0; i < store->count; i++) {
        const char* difference = oracle_setting_difference(store->entries[i], model.entries[i]);
        if (difference) return "setting " + std::to_string(i) + ": " + difference;
    }
    return "";
}
