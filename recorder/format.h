/* format: the byte layout of a Savrel recording, the one definition that every reader and
 * writer shares (the recorder, the profile encoder and loader, savrel-inspect, savrel-import,
 * savrel-compare).
 *
 * Does NOT read or write files and allocates nothing: constants and inline byte helpers only,
 * in C99 so that the recorder builds alone. Installed as <savrel/format.h>. Uses: <stdint.h>,
 * <string.h> (memcpy for the float's bit pattern).
 *
 * A recording has no header or signature: it is frame records, one per frame in frame order,
 * then one structure record. Every number is big-endian. A string is its characters and a
 * zero byte, with no length before it.
 *
 *   frame record                                 structure record
 *   field          encoding  meaning             field          encoding  meaning
 *   tag            u8        nonzero             tag            u8        0
 *   total          f32       the frame's total   section count  u32       1 + G + sum of all N
 *   G              u32       group entries       G              u32       group entries
 *   G times:                                     G times:
 *     value        f32       the group's value     name         string    1 to 31 characters
 *     N            u32       item values           N            u32       item names
 *     N times f32            the items' values     N times string         the items' names
 *   S              u32       notes
 *   S times string           the frame's notes
 *
 * Sections, in order, are the root (the frame total), group 1, its items, group 2, its items
 * and so on, as the structure record lists them; frame values belong to them by position, so
 * a frame may carry fewer values than there are sections (the rest read 0). Values are
 * seconds. A reader stops at the first structure record and reads nothing after it.
 */
#ifndef SAVREL_FORMAT_H
#define SAVREL_FORMAT_H

#include <stdint.h>
#include <string.h>

enum {
    SAVREL_TAG_STRUCTURE = 0, /* opens the structure record */
    SAVREL_TAG_FRAME = 1, /* what writers put before a frame record; readers take any nonzero tag */
    SAVREL_TAG_SIZE = 1,
    SAVREL_U32_SIZE = 4,
    SAVREL_F32_SIZE = 4,
    /* A frame record with no groups and no notes: tag, total, G and S. */
    SAVREL_FRAME_FIXED_SIZE = SAVREL_TAG_SIZE + SAVREL_F32_SIZE + 2 * SAVREL_U32_SIZE,
    /* A structure record with no groups: tag, section count and G. */
    SAVREL_STRUCTURE_FIXED_SIZE = SAVREL_TAG_SIZE + 2 * SAVREL_U32_SIZE,
    /* A name holds at most 31 characters; with its zero byte it fits in 32. */
    SAVREL_NAME_SIZE = 32,
    SAVREL_NAME_LENGTH = SAVREL_NAME_SIZE - 1,
};

/* Limits that writers keep, so that every recording loads in the viewer's table. */
enum {
    SAVREL_MAX_SECTIONS = 4096, /* root + groups + items */
    SAVREL_MAX_NOTES = 16, /* notes per frame */
    SAVREL_NOTE_SIZE = 256, /* a note holds at most 255 characters and its zero byte */
};

/* Writes value big-endian at `at`; returns the byte after it. */
static inline uint8_t* savrel_put_u32(uint8_t* at, uint32_t value)
{
    at[0] = (uint8_t)(value >> 24);
    at[1] = (uint8_t)(value >> 16);
    at[2] = (uint8_t)(value >> 8);
    at[3] = (uint8_t)value;
    return at + SAVREL_U32_SIZE;
}

/* Writes the float's bit pattern big-endian at `at`; returns the byte after it. */
static inline uint8_t* savrel_put_f32(uint8_t* at, float value)
{
    uint32_t bits;
    memcpy(&bits, &value, sizeof bits);
    return savrel_put_u32(at, bits);
}

/* Writes the text and its zero byte at `at`; returns the byte after it. */
static inline uint8_t* savrel_put_string(uint8_t* at, const char* text)
{
    size_t length = strlen(text) + 1;
    memcpy(at, text, length);
    return at + length;
}

/* Reads a big-endian u32 from four bytes at `at`. */
static inline uint32_t savrel_get_u32(const uint8_t* at)
{
    return ((uint32_t)at[0] << 24) | ((uint32_t)at[1] << 16) | ((uint32_t)at[2] << 8) | (uint32_t)at[3];
}

/* Reads the float whose big-endian bit pattern is the four bytes at `at`. */
static inline float savrel_get_f32(const uint8_t* at)
{
    uint32_t bits = savrel_get_u32(at);
    float value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

#endif
