// Placeholder so the tree links until the settings store lands; deleted by it.
#include "settings/settings.h"

const SettingsStore* settings_store(void) { return nullptr; }
Setting* settings_find(const char*) { return nullptr; }
Setting* settings_add(const char*) { return nullptr; }
void settings_set_real(const char*, double) {}
void settings_set_int(const char*, int32_t) {}
void settings_set_text(const char*, const char*) {}
void settings_load(const char*) {}
