// profile: the recording file format and the section table the viewer draws from.
//
// Does NOT draw; includes neither SDL nor GL. The file is parsed from memory through a
// bounded cursor, so tests and fuzzers feed bytes directly.
//
// Use: profile_load("advance_profile.bin") once; then read profile_table()->sections.
// The table is empty (section_count 0) when the file is missing, broken or refused,
// and profile_last_status() says why; the loader itself prints nothing. A file is
// refused when its table would need more than 16 times its size plus 64 MiB. Loading
// again frees the previous table, so pointers into it do not outlive the next load.
#pragma once

#include <cstddef>
#include <cstdint>

enum { PROFILE_NAME_SIZE = 32,
       PROFILE_CHUNK_FRAMES = 1024 };

enum SectionType { SECTION_ROOT = 0,
                   SECTION_GROUP = 1,
                   SECTION_ITEM = 2 };

struct Section {
    int32_t type;  // SectionType
    float* values;  // one per frame, zero-filled up to profile_capacity(); null without frames
    float colour[3];  // red, green, blue
    float sum;  // written by the graph renderer: the window's sum
    float start;  // written by the graph renderer: left end on the x axis
    float end;  // written by the graph renderer: right end on the x axis
    int32_t group_index;  // -1 root; a group's ordinal; an item's group ordinal
    char name[PROFILE_NAME_SIZE];
};

struct SectionTable {
    uint32_t section_count;
    uint32_t frame_count;
    Section* sections;
};

// Why a load ended as it did; the viewer prints one line for anything but OK.
enum ProfileStatus {
    PROFILE_OK = 0,
    PROFILE_CANNOT_OPEN,  // the file could not be opened or read
    PROFILE_NO_STRUCTURE,  // the records end before a structure record
    PROFILE_TRUNCATED,  // the file ends inside a record
    PROFILE_TOO_LARGE,  // the table would need more memory than the file can justify
    PROFILE_COUNT_MISMATCH,  // loaded, but the stated section count disagrees with the groups
    PROFILE_EXTRA_VALUES,  // loaded, but frame records carry values past the last section
};

// Byte-stream cursor that never reads past its end: a read beyond it yields 0 and sets overrun.
struct ProfileReader {
    const uint8_t* data;
    size_t size;
    size_t position;
    bool overrun;
};

SectionTable* profile_table(void);  // the one table
void profile_load(const char* path);  // replaces the table from a file (mapped, never copied whole); empty on failure
void profile_load_memory(const uint8_t* data, size_t size);  // the same from bytes in memory
// Replaces the table from bytes only when they load; otherwise keeps it and returns false,
// with profile_last_status() saying why.
bool profile_reload_memory(const uint8_t* data, size_t size);
ProfileStatus profile_last_status(void);  // the outcome of the last load
const char* profile_status_text(ProfileStatus status);  // a short reason for a status
const char* profile_last_detail(void);  // the last load's reason with its particulars; "" after a clean load
uint32_t profile_capacity(const SectionTable* table);  // values per section: frame_count rounded up to 1024
void profile_hue_to_rgb(float colour[3], float hue, float low, float high);  // the item colour rule

uint32_t profile_read_u32(ProfileReader* reader);  // big-endian; 0 past the end
float profile_read_float(ProfileReader* reader);  // big-endian IEEE single; 0 past the end
// Consumes through the zero byte and keeps at most size-1 characters (none when the destination
// is null); returns the characters kept. Without a zero byte it consumes the rest and sets overrun.
size_t profile_read_string(ProfileReader* reader, char* destination, size_t destination_size);
