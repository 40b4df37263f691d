// settings: a process-wide store of at most 128 named settings, each a text, a real and an integer.
//
// Does NOT interpret any setting; the viewer fills the store from "sv_config.cfg" and
// nothing consults it. Includes neither SDL nor GL.
//
// Use: settings_load(path) once; settings_find(name) to read one back.
//
// File lines are read 511 characters at a time (the rest of a longer line is a line of
// its own). The first word is the name, the second the value; both are cut to 31
// characters. A value word that begins with a number as strtof reads it (decimal, hex,
// inf, nan) sets the real in single precision, and the integer too when it begins with
// an optionally signed digit run (low 32 bits, minus as two's complement); any other
// word sets the text.
#pragma once

#include <cstdint>

enum { SETTINGS_CAPACITY = 128,
       SETTINGS_NAME_SIZE = 32 };

struct Setting {
    char name[SETTINGS_NAME_SIZE];  // at most 31 characters, zero-terminated
    char* text;  // owned; null until a text is set
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
Setting* settings_find(const char* name);  // the setting of that name (first 31 characters compared), or null
Setting* settings_add(const char* name);  // a new empty setting, name cut to 31; null when full or the name is taken
void settings_set_real(const char* name, double value);  // real = value, integer = value truncated (saturated)
void settings_set_int(const char* name, int32_t value);  // integer = value
void settings_set_text(const char* name, const char* text);  // text = an owned copy; no change if it cannot be copied
void settings_load(const char* path);  // reads "name value" lines; an unreadable file changes nothing
void settings_reset(void);  // empties the store, texts freed, change count back to its start; for tests and fuzzing
