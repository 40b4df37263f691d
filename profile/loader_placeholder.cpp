// Placeholder so the tree links until the loader lands; deleted by it.
#include "profile/profile.h"

namespace {
SectionTable table;
}
SectionTable* profile_table(void) { return &table; }
void profile_load(const char*) {}
void profile_load_memory(const uint8_t*, size_t) {}
ProfileStatus profile_last_status(void) { return PROFILE_CANNOT_OPEN; }
const char* profile_status_text(ProfileStatus) { return "not loaded"; }
uint32_t profile_capacity(const SectionTable*) { return 0; }
void profile_hue_to_rgb(float*, float, float, float) {}
uint32_t profile_read_u32(ProfileReader*) { return 0; }
float profile_read_float(ProfileReader*) { return 0; }
size_t profile_read_string(ProfileReader*, char*, size_t) { return 0; }
