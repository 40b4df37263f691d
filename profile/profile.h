// profile: the section table the viewer draws from, built from a recording's bytes, and the
// one walk over its frame records.
//
// Does NOT draw or touch files; includes neither SDL nor GL. The byte layout is described
// once, in recorder/format.h. The bytes are parsed from memory through a bounded cursor, so
// tests and fuzzers feed them directly; profile/reader.h reads them from a file.
//
// Use: recording_load(path) (profile/reader.h) or profile_load_memory(bytes, size); then read
// profile_table()->sections. The table is empty (section_count 0) when the bytes are broken
// or refused, and profile_last_status() says why; the loader itself prints nothing. Bytes are
// refused when their table would need more than 16 times their size plus 64 MiB. Loading
// again frees the previous table, so pointers into it do not outlive the next load.
// Uses: recorder/format.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "recorder/format.h"

enum { PROFILE_NAME_SIZE = SAVREL_NAME_SIZE,
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
    PROFILE_TRAILING_BYTES,  // refused where the structure record must end the bytes: more follow it
};

// Byte-stream cursor that never reads past its end: a read beyond it yields 0 and sets overrun.
struct ProfileReader {
    const uint8_t* data;
    size_t size;
    size_t position;
    bool overrun;
};

// One frame record as the walker passed it. Its notes are note_count zero-terminated strings
// one after the other from notes_position on, all inside the bytes walked.
struct ProfileFrameRecord {
    size_t start;  // the byte of its tag
    uint64_t value_count;  // the root, the groups and the items
    uint32_t note_count;
    size_t notes_position;
};

enum ProfileRecordKind {
    PROFILE_RECORD_FRAME,  // a whole frame record; the cursor is left after it
    PROFILE_RECORD_STRUCTURE,  // the structure record; the cursor is left after its tag
    PROFILE_RECORD_END,  // no bytes remain
    PROFILE_RECORD_CUT,  // a frame record that the bytes end inside
};

// The table
SectionTable* profile_table(void);  // the one table
void profile_load_memory(const uint8_t* data, size_t size);  // replaces the table from bytes; empty on failure
// Replaces the table from bytes only when they load; otherwise keeps it and returns false, with
// profile_last_status() saying why. With must_end set, bytes after the structure record are refused.
bool profile_reload_memory(const uint8_t* data, size_t size, bool must_end = false);
// Keeps the table and appends the frames of `data`, the same recording's bytes from the table's
// structure record on (frames, then a structure record that ends the bytes), when that record
// lists the table's sections first. PROFILE_APPEND_DAMAGED leaves the reason in profile_last_status().
enum ProfileAppend { PROFILE_APPENDED,
                     PROFILE_APPEND_DAMAGED,
                     PROFILE_APPEND_NOT_CONTINUED };
ProfileAppend profile_append_memory(const uint8_t* data, size_t size, size_t file_size);
void profile_load_failed(ProfileStatus status, const char* reason);  // empties the table with this status and reason
size_t profile_structure_offset(void);  // the byte of the table's structure record tag in its bytes; 0 without a table
ProfileStatus profile_last_status(void);  // the outcome of the last load
const char* profile_status_text(ProfileStatus status);  // a short reason for a status
const char* profile_last_detail(void);  // the last load's reason with its particulars; "" after a clean load
uint32_t profile_capacity(const SectionTable* table);  // values per section: frame_count rounded up to 1024
void profile_hue_to_rgb(float colour[3], float hue, float low, float high);  // the item colour rule

// Walking the records (profile/walker.cpp)
ProfileRecordKind profile_walk_record(ProfileReader* reader, ProfileFrameRecord* frame);  // the record at the cursor
uint32_t profile_read_u32(ProfileReader* reader);  // big-endian; 0 past the end
float profile_read_float(ProfileReader* reader);  // big-endian IEEE single; 0 past the end
// Consumes through the zero byte and keeps at most size-1 characters (none when the destination
// is null); returns the characters kept. Without a zero byte it consumes the rest and sets overrun.
size_t profile_read_string(ProfileReader* reader, char* destination, size_t destination_size);
// True when count entries of at least least_bytes each could fit in the bytes left, and no read overran.
bool profile_reader_fits(const ProfileReader* reader, uint64_t count, size_t least_bytes);

// For tests and benchmarks
void profile_load(const char* path);  // recording_load() without its status: the table from a file
