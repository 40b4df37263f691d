// settings: a process-wide store of at most 128 named settings, each a text, a real and an integer.
//
// Does NOT interpret any setting; the viewer fills the store from "sv_config.cfg" and
// nothing consults it. Includes neither SDL nor GL.
//
// Use: settings_load(path) once; settings_find(name) to read one back.
#pragma once

#include <cstdint>

enum { SETTINGS_CAPACITY = 128, SETTINGS_NAME_SIZE = 32 };

struct Setting {
    char name[SETTINGS_NAME_SIZE];  // at most 31 characters, zero-terminated
    char* text;                     // owned; null until a text is set
    double real;
    int32_t integer;
};

struct SettingsStore {
    bool initialised;
    Setting* entries;  // room for SETTINGS_CAPACITY, in the order first set
    uint32_t count;
    int32_t change_count;  // 345 at initialisation, +1 per set operation
};

const SettingsStore* settings_store(void);  // read access for tests and tools; initialises the store
Setting* settings_find(const char* name);  // the setting of that name, or null
Setting* settings_add(const char* name);  // a new empty setting; null when the store is full
void settings_set_real(const char* name, double value);  // real = value, integer = value truncated (saturated)
void settings_set_int(const char* name, int32_t value);  // integer = value
void settings_set_text(const char* name, const char* text);  // text = an owned copy
void settings_load(const char* path);  // reads "name value" lines; an unreadable file changes nothing
