// recording_writer: streams a recording into a side file beside its destination and renames it
// into place, so that a failure never leaves a partial recording under the destination's name.
//
// Does NOT decide sections or values: it encodes what it is given, values in seconds, through
// the shared format header. Uses: recorder/format.h, stdio, mkstemp and rename.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/import/sections.h"

struct RecordingWriter {
    std::string path;
    std::string side_path;
    FILE* file;
    std::vector<uint8_t> bytes;  // the record being encoded, reused
    bool failed;
};

// Creates the side file (PATH.tmp-XXXXXX); returns false with the reason in problem.
bool recording_writer_open(RecordingWriter* writer, const char* path, std::string* problem);
// One frame record: the total, the groups' and items' values in structure order (trailing
// zero groups left out), and the notes.
void recording_writer_frame(RecordingWriter* writer, double total, const std::vector<SectionGroup>& groups,
                            const std::vector<double>& values, const std::vector<std::string>& notes);
void recording_writer_structure(RecordingWriter* writer, const std::vector<SectionGroup>& groups);  // the closing record
// Flushes, syncs and renames the side file onto the path; on failure removes it and says why.
bool recording_writer_commit(RecordingWriter* writer, std::string* problem);
void recording_writer_abandon(RecordingWriter* writer);  // removes the side file
