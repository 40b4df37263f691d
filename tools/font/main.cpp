// savrel-font: reads the glyph designs and writes the font tables and/or the proof sheet.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "tools/font/font.h"

namespace {

const char* const usage = "usage: savrel-font --source glyphs.txt [--tables out.cpp] [--sheet out.png]\n";

bool read_file(const std::string& path, std::string* text)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    std::ostringstream bytes;
    bytes << file.rdbuf();
    *text = bytes.str();
    return true;
}

bool write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << bytes;
    return bool(file.flush());
}

}  // namespace

int main(int argc, char** argv)
{
    std::string source_path, tables_path, sheet_path;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--source")
            source_path = argv[i + 1];
        else if (option == "--tables")
            tables_path = argv[i + 1];
        else if (option == "--sheet")
            sheet_path = argv[i + 1];
        else
            source_path.clear();
    }
    if (source_path.empty() || argc % 2 == 0) {
        std::fputs(usage, stderr);
        return 2;
    }
    std::string text;
    if (!read_file(source_path, &text)) {
        std::fprintf(stderr, "savrel-font: cannot read %s\n", source_path.c_str());
        return 1;
    }
    Font font;
    std::string error;
    if (!font_build(font_read_source(text), &font, &error)) {
        std::fprintf(stderr, "savrel-font: %s: %s\n", source_path.c_str(), error.c_str());
        return 1;
    }
    if (!tables_path.empty() && !write_file(tables_path, font_write_tables(font))) {
        std::fprintf(stderr, "savrel-font: cannot write %s\n", tables_path.c_str());
        return 1;
    }
    if (!sheet_path.empty()) {
        const std::vector<uint8_t> png = font_write_sheet(font);
        if (!write_file(sheet_path, std::string(png.begin(), png.end()))) {
            std::fprintf(stderr, "savrel-font: cannot write %s\n", sheet_path.c_str());
            return 1;
        }
    }
    return 0;
}
