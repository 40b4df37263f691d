// recorder: lets a game or real-time program record its own frames into "advance_profile.bin".
//
// Does NOT draw or read recordings; includes neither SDL nor GL. The API speaks milliseconds;
// the file holds seconds, converted once when a frame is written. Uses: format.h (<savrel/format.h>) for
// the limits on names, sections and notes.
//
// Threads: the thread that calls recorder_open is the recording's frame thread; only it may
// call recorder_frame_begin, recorder_frame_end*, recorder_close (and recorder_open again).
// From any other thread those are refused with RECORDER_NOT_FRAME_THREAD. Scopes, adds, group
// values and notes work from any thread while a recording is open. A value counts in the
// frame whose recorder_frame_end collects it: one made before that call starts counts in the
// ending frame, one made after it returns in the next, one racing with it in exactly one of
// the two. A scope counts when it ends, so a scope running across a frame end lands in the next
// frame. A thread that exits keeps what it added. recorder_last_status is per thread.
//
// Use, in order:
//   recorder_open("advance_profile.bin");            // holds the file, truncates it, writes an empty recording
//   each frame:
//     recorder_frame_begin();                        // optional: a frame otherwise starts where the last ended
//     { SAVREL_SCOPE("Render", "Shadows"); ... }     // times a block; repeated scopes of an item add up
//     recorder_add_named("Audio", "Mixer", 0.4f);    // or add a value measured elsewhere, in milliseconds
//     recorder_note("level loaded");                 // short notes carried with the frame
//     recorder_frame_end();                          // total = wall time since the frame began
//   recorder_close();
//
// A scope of the frame thread still open when recorder_frame_end runs (one at the top of the
// loop body) is booked to the next frame; the recorder says so once per recording on stderr.
//
// After every recorder_frame_end the file on disk is a complete recording that the viewer
// loads, or will be once no reader holds it (frames wait in memory up to 16 MiB or 2 s), so a
// crash loses only the frame in progress and the frames still waiting. A failed write leaves
// the file as it was and stops the recording (RECORDER_WRITE_FAILED); a second writer of the
// same file is refused (RECORDER_IN_USE). Group "Savrel", item "frame end", first in the file,
// holds each frame end's own time, booked in the next frame and in its measured total.
// Sections may first appear in any frame; earlier frames read 0 for them. A group's value is
// the sum of its items unless recorder_group_add gives one. Refused calls change nothing in
// the file, return false (or an unresolved section) and, except for the quiet
// RECORDER_NOT_OPEN and RECORDER_UNRESOLVED_SECTION, print one line to stderr.
#pragma once

#include <stdbool.h>
#include <stdint.h>

// Beside this header in the source tree, the build tree and an installation alike.
#include "format.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    RECORDER_NAME_SIZE = SAVREL_NAME_SIZE,  // a group or item name holds 1 to 31 characters
    RECORDER_MAX_SECTIONS = SAVREL_MAX_SECTIONS,  // root + groups + items, as the viewer's table counts them
    RECORDER_MAX_NOTES = SAVREL_MAX_NOTES,  // notes per frame
    RECORDER_NOTE_SIZE = SAVREL_NOTE_SIZE,  // a note holds at most 255 characters
};

// Why a call was refused; recorder_last_status() keeps the latest outcome.
typedef enum RecorderStatus {
    RECORDER_OK = 0,
    RECORDER_NOT_OPEN,  // no recording is open; the call is a quiet no-op
    RECORDER_ALREADY_OPEN,  // recorder_open while a recording is open
    RECORDER_CANNOT_OPEN,  // the file could not be created
    RECORDER_WRITE_FAILED,  // writing failed; the file keeps every frame before it and the recording stops
    RECORDER_BAD_NAME,  // a name is empty or longer than 31 characters
    RECORDER_TOO_MANY_SECTIONS,  // a new section would exceed RECORDER_MAX_SECTIONS
    RECORDER_NOTE_TOO_LONG,  // a note longer than 255 characters
    RECORDER_TOO_MANY_NOTES,  // more than RECORDER_MAX_NOTES notes in one frame
    RECORDER_UNRESOLVED_SECTION,  // recorder_add with a refused section or one from another recording; quiet
    RECORDER_NOT_FRAME_THREAD,  // a frame-thread call from another thread; nothing changes
    RECORDER_IN_USE,  // recorder_open of a file that another live recording writes; the file is untouched
} RecorderStatus;

// A resolved group/item pair. Keep one per call site; it stays valid for one recording and is
// resolved again, by name, in the next.
typedef struct RecorderSection {
    int32_t index;  // -1 when unresolved or refused
    uint32_t recording;  // the recording it was resolved in; 0 never resolved
} RecorderSection;

// Recording (frame thread)
bool recorder_open(const char* path);  // false when already open or the file cannot be created
bool recorder_close(void);  // keeps completed frames, drops the frame in progress; false when not open
bool recorder_is_open(void);  // any thread
void recorder_set_self_time(bool on);  // recordings opened afterwards carry "Savrel/frame end" (on by default)
uint32_t recorder_frames_not_written(void);  // frames the last recording lost to a failed write

// Frames (frame thread)
void recorder_frame_begin(void);  // marks the wall-clock start of the frame in progress
bool recorder_frame_end(void);  // writes the frame; its total is the wall time since it began
bool recorder_frame_end_total(float total_milliseconds);  // writes the frame with the given total in milliseconds

// Sections and notes (any thread)
RecorderSection recorder_section(const char* group, const char* item);  // finds or adds the item
bool recorder_add(RecorderSection section, float milliseconds);  // adds milliseconds to the item in this frame
bool recorder_add_named(const char* group, const char* item, float milliseconds);  // the same by name
bool recorder_group_add(const char* group, float milliseconds);  // gives the group milliseconds of its own this frame
bool recorder_note(const char* text);  // a trailing string of the frame in progress

// Outcome
RecorderStatus recorder_last_status(void);  // the calling thread's latest outcome
const char* recorder_status_text(RecorderStatus status);

// A scope in progress: what recorder_scope_begin returns and recorder_scope_end takes.
typedef struct RecorderToken {
    int32_t index;  // -1 when nothing is timed
    uint32_t recording;  // the recording the scope began in; a scope never lands in another
    uint64_t start;  // clock ticks
} RecorderToken;

// Scopes from C, on any thread (C++ has RecorderScope). Keep one static site per call site,
// starting {-1, 0}; it is resolved by name once per recording.
RecorderToken recorder_scope_begin(RecorderSection* site, const char* group, const char* item);  // starts timing
void recorder_scope_end(RecorderToken token);  // adds the time since begin to the item

#ifdef __cplusplus
}

// Times its own lifetime into a section, on any thread; what SAVREL_SCOPE expands to.
class RecorderScope {
public:
    RecorderScope(RecorderSection* site, const char* group, const char* item);
    ~RecorderScope();
    RecorderScope(const RecorderScope&) = delete;
    RecorderScope& operator=(const RecorderScope&) = delete;

private:
    RecorderToken token;
};
#endif

#define SAVREL_CONCAT_INNER(a, b) a##b
#define SAVREL_CONCAT(a, b) SAVREL_CONCAT_INNER(a, b)
#ifdef __cplusplus
#define SAVREL_SCOPE_AT(group, item, id)                           \
    static RecorderSection SAVREL_CONCAT(savrel_site_, id){-1, 0}; \
    RecorderScope SAVREL_CONCAT(savrel_scope_, id)(&SAVREL_CONCAT(savrel_site_, id), group, item)
#elif defined(__GNUC__)
// C has no destructors: GCC and Clang end the scope through the cleanup attribute.
static inline void recorder_scope_cleanup(RecorderToken* token)
{
    recorder_scope_end(*token);
}
#define SAVREL_SCOPE_AT(group, item, id)                                                                      \
    static RecorderSection SAVREL_CONCAT(savrel_site_, id) = {-1, 0};                                         \
    RecorderToken SAVREL_CONCAT(savrel_scope_, id) __attribute__((cleanup(recorder_scope_cleanup), unused)) = \
        recorder_scope_begin(&SAVREL_CONCAT(savrel_site_, id), group, item)
#endif
#ifdef SAVREL_SCOPE_AT
// Times the rest of the enclosing block into item `item` of group `group`.
#define SAVREL_SCOPE(group, item) SAVREL_SCOPE_AT(group, item, __COUNTER__)
#endif
