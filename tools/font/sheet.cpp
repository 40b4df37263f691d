// The proof sheet: every glyph rasterised on the CPU from the table triangles, written as a PNG.
#include <algorithm>
#include <cmath>
#include <string>

#include "tools/font/font.h"

namespace {

constexpr int columns = 16;
constexpr int first_row = 2;  // codes 32..255
constexpr int rows = 14;
constexpr double glyph_scale = 36.0;  // pixels per glyph unit: capitals 48 pixels tall
constexpr double label_scale = 10.0;
constexpr double sample_scale = 22.0;
constexpr int cell_width = 84;
constexpr int cell_height = 118;
constexpr int cell_origin_x = 14;
constexpr int cell_baseline = 92;
constexpr int sample_line_height = 62;
constexpr int sub = 4;  // subsamples per pixel each way
constexpr float sample_spacing = 0.3f;  // the graph's label spacing
const char* const sample_lines[] = {
    "AVATAR To Wa yo Ty LT Fa P. r, \"V\" (j) [g] {y}",
    "The quick brown fox jumps over the lazy dog.",
    "SPHINX OF BLACK QUARTZ, JUDGE MY VOW! 0123456789",
    "render() 12.5 ms [42%] x=3/4 @#$&*?~ <a|b> ^_`\\",
    "Caf\x82 na\x8bve \x84\x94\x81 \x8e\x99\x9a \xa4 \xa8Qu\x82? \xad! \x91 \xae\xab\xac\xaf 5\xf8 \xe0\xe1\xe2\xe3\xe4\xe6\xe7",
    "\xb3\xc4\xc5\xb0\xb1\xb2\xdb\xdc\xdd\xde\xdf \xe8\xe9\xea\xeb\xec\xed\xee\xef\xf0\xf1\xf2\xf3\xf6\xf7\xf9\xfa\xfb\xfc\xfd\xfe",
};
constexpr int sample_count = int(sizeof sample_lines / sizeof sample_lines[0]);

struct Canvas {
    int width, height;
    std::vector<uint8_t> hits;  // ink count per subsample
    std::vector<uint8_t> guide;  // 0 none, 1 metric line, 2 origin line
};

void put_guide(Canvas& canvas, int x0, int x1, int y, uint8_t kind)
{
    if (y < 0 || y >= canvas.height) return;
    for (int x = std::max(0, x0); x < std::min(canvas.width, x1); x++) {
        uint8_t& g = canvas.guide[size_t(y) * size_t(canvas.width) + size_t(x)];
        g = std::max(g, kind);
    }
}

// Fills the subsamples whose centres lie inside; shared edges go to exactly one side.
void fill_triangle(Canvas& canvas, FontPoint a, FontPoint b, FontPoint c)
{
    const double orientation = (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
    if (orientation == 0) return;
    if (orientation < 0) std::swap(b, c);
    const FontPoint corner[3] = {a, b, c};
    const double sx0 = std::min({a.x, b.x, c.x}) * sub, sx1 = std::max({a.x, b.x, c.x}) * sub;
    const double sy0 = std::min({a.y, b.y, c.y}) * sub, sy1 = std::max({a.y, b.y, c.y}) * sub;
    const int sub_width = canvas.width * sub, sub_height = canvas.height * sub;
    for (int sy = std::max(0, int(std::floor(sy0))); sy <= std::min(sub_height - 1, int(sy1)); sy++) {
        for (int sx = std::max(0, int(std::floor(sx0))); sx <= std::min(sub_width - 1, int(sx1)); sx++) {
            const double px = (sx + 0.5) / sub, py = (sy + 0.5) / sub;
            bool inside = true;
            for (int e = 0; e < 3 && inside; e++) {
                const FontPoint p = corner[e], q = corner[(e + 1) % 3];
                const double w = (q.x - p.x) * (py - p.y) - (q.y - p.y) * (px - p.x);
                const bool owner = (q.y - p.y) > 0 || ((q.y - p.y) == 0 && (q.x - p.x) < 0);
                inside = w > 0 || (w == 0 && owner);
            }
            if (inside) canvas.hits[size_t(sy) * size_t(sub_width) + size_t(sx)]++;
        }
    }
}

void draw_glyph(Canvas& canvas, const Font& font, int code, double x, double baseline, double scale)
{
    if (!font.present[size_t(code)]) return;
    const FontGlyph& glyph = font.glyphs[size_t(code)];
    auto place = [&](FontVertex v) { return FontPoint{x + v.x * scale, baseline - v.y * scale}; };
    for (size_t i = 0; i + 2 < glyph.indices.size(); i += 3) {
        fill_triangle(canvas, place(glyph.vertices[glyph.indices[i]]), place(glyph.vertices[glyph.indices[i + 1]]),
                      place(glyph.vertices[glyph.indices[i + 2]]));
    }
}

double advance(const Font& font, uint8_t current, uint8_t next)
{
    const std::array<float, 8>& a = font.glyphs[current].profile;
    const std::array<float, 8>& b = font.glyphs[next].profile;
    double best = double(a[4]) - double(b[0]);
    for (size_t band = 1; band < 4; band++) best = std::max(best, double(a[4 + band]) - double(b[band]));
    return float(best);
}

// Lays a text out with the profiles, the way the viewer spaces its labels.
void draw_text(Canvas& canvas, const Font& font, const std::string& text, double x, double baseline, double scale,
               float spacing)
{
    for (size_t i = 0; i < text.size(); i++) {
        const uint8_t code = uint8_t(text[i]);
        draw_glyph(canvas, font, code, x, baseline, scale);
        const uint8_t next = i + 1 < text.size() ? uint8_t(text[i + 1]) : 0;
        x += (advance(font, code, next) + double(spacing)) * scale;
    }
}

void draw_cell(Canvas& canvas, const Font& font, int code)
{
    const int left = (code % columns) * cell_width;
    const int top = (code / columns - first_row) * cell_height;
    const int origin = left + cell_origin_x;
    const int baseline = top + cell_baseline;
    draw_text(canvas, font, std::to_string(code), left + 3, top + 14, label_scale, 0.3f);
    for (double level : {0.0, 1.0, 4.0 / 3.0, 30.0 / 21.0, -8.0 / 21.0}) {
        put_guide(canvas, left + 4, left + cell_width - 4, baseline - int(std::lround(level * glyph_scale)), 1);
    }
    for (int y = top + 18; y < top + cell_height - 2; y++) put_guide(canvas, origin, origin + 1, y, 2);
    draw_glyph(canvas, font, code, origin, baseline, glyph_scale);
}

uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc = 0)
{
    crc = ~crc;
    for (size_t i = 0; i < size; i++) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; bit++) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void put_u32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(value >> shift));
}

void put_chunk(std::vector<uint8_t>& png, const char* type, const std::vector<uint8_t>& data)
{
    put_u32(png, uint32_t(data.size()));
    std::vector<uint8_t> body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    png.insert(png.end(), body.begin(), body.end());
    put_u32(png, crc32(body.data(), body.size()));
}

// A zlib stream of stored (uncompressed) deflate blocks: no compressor needed.
std::vector<uint8_t> zlib_stored(const std::vector<uint8_t>& raw)
{
    std::vector<uint8_t> out = {0x78, 0x01};
    size_t position = 0;
    do {
        const size_t size = std::min<size_t>(65535, raw.size() - position);
        const bool last = position + size == raw.size();
        out.push_back(last ? 1 : 0);
        out.push_back(uint8_t(size));
        out.push_back(uint8_t(size >> 8));
        out.push_back(uint8_t(~size));
        out.push_back(uint8_t(~size >> 8));
        out.insert(out.end(), raw.begin() + long(position), raw.begin() + long(position + size));
        position += size;
    } while (position < raw.size());
    uint32_t a = 1, b = 0;
    for (uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    put_u32(out, (b << 16) | a);
    return out;
}

std::vector<uint8_t> encode_png(int width, int height, const std::vector<uint8_t>& rgb)
{
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> header;
    put_u32(header, uint32_t(width));
    put_u32(header, uint32_t(height));
    header.insert(header.end(), {8, 2, 0, 0, 0});
    put_chunk(png, "IHDR", header);
    std::vector<uint8_t> raw;
    for (int y = 0; y < height; y++) {
        raw.push_back(0);
        raw.insert(raw.end(), rgb.begin() + long(y) * width * 3, rgb.begin() + long(y + 1) * width * 3);
    }
    put_chunk(png, "IDAT", zlib_stored(raw));
    put_chunk(png, "IEND", {});
    return png;
}

// Ink black on white; any subsample inked twice shows red, since labels add their triangles.
std::vector<uint8_t> shade(const Canvas& canvas)
{
    std::vector<uint8_t> rgb(size_t(canvas.width) * size_t(canvas.height) * 3);
    const size_t sub_width = size_t(canvas.width) * sub;
    for (int y = 0; y < canvas.height; y++) {
        for (int x = 0; x < canvas.width; x++) {
            int covered = 0, doubled = 0;
            for (int j = 0; j < sub; j++) {
                for (int i = 0; i < sub; i++) {
                    const uint8_t hits = canvas.hits[size_t(y * sub + j) * sub_width + size_t(x * sub + i)];
                    covered += hits > 0;
                    doubled += hits > 1;
                }
            }
            const uint8_t guide = canvas.guide[size_t(y) * size_t(canvas.width) + size_t(x)];
            const double paper[3] = {guide == 2 ? 255.0 : guide ? 200.0
                                                                : 255.0,
                                     guide == 2 ? 190.0 : guide ? 215.0
                                                                : 255.0,
                                     guide == 2 ? 190.0 : guide ? 240.0
                                                                : 255.0};
            const double ink = double(covered) / (sub * sub), red = double(doubled) / (sub * sub);
            uint8_t* out = &rgb[(size_t(y) * size_t(canvas.width) + size_t(x)) * 3];
            for (int k = 0; k < 3; k++) out[k] = uint8_t(std::lround(paper[k] * (1 - ink) + (k == 0 ? 255.0 * red : 0.0)));
        }
    }
    return rgb;
}

}  // namespace

std::vector<uint8_t> font_write_sheet(const Font& font)
{
    Canvas canvas;
    canvas.width = columns * cell_width;
    canvas.height = rows * cell_height + sample_count * sample_line_height + 20;
    canvas.hits.assign(size_t(canvas.width) * size_t(canvas.height) * sub * sub, 0);
    canvas.guide.assign(size_t(canvas.width) * size_t(canvas.height), 0);
    for (int code = first_row * columns; code < (first_row + rows) * columns; code++) draw_cell(canvas, font, code);
    for (int line = 0; line < sample_count; line++) {
        const int baseline = rows * cell_height + 50 + line * sample_line_height;
        draw_text(canvas, font, sample_lines[line], 12, baseline, sample_scale, sample_spacing);
    }
    return encode_png(canvas.width, canvas.height, shade(canvas));
}
