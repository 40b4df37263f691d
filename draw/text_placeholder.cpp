// Placeholder so the tree links until the font and text module lands; deleted by it.
#include "draw/text.h"

const float glyph_vertices[] = {0, 0};
const uint32_t glyph_vertex_count = 0;
const uint32_t glyph_indices[] = {0};
const uint32_t glyph_index_total = 0;
const uint32_t glyph_index_counts[256] = {};
const GlyphProfile glyph_profiles[256] = {};
namespace {
TextView view = {1500, 1100, 1.0, 0.0005, 10.0};
}
const TextView* text_get_view(void) { return &view; }
const uint32_t* text_glyph_list(uint8_t) { return nullptr; }
bool text_glyphs_ready(void) { return false; }
void text_init(void) {}
void text_refresh_view(void) {}
void text_draw(float, float, float, float, const char*, float, float, float, float) {}
float text_measure(float, float, const char*, int32_t) { return 0; }
void text_draw_multisample(float, float, const char*, int32_t, uint32_t) {}
void text_draw_run(float, float, const char*, int32_t) {}
float text_measure_run(float, const char*, float, float, int32_t) { return 0; }
double text_noise(int32_t) { return 0; }
float glyph_advance(uint8_t, uint8_t) { return 0; }
void text_glyphs_init(void) {}
