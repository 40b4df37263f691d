#include "tools/import/recording_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "recorder/format.h"

namespace {

const size_t kFileBuffer = size_t(1) << 20;

uint8_t* reserve(RecordingWriter* writer, size_t size)
{
    size_t used = writer->bytes.size();
    writer->bytes.resize(used + size);
    return writer->bytes.data() + used;
}

void put_u32(RecordingWriter* writer, uint32_t value)
{
    savrel_put_u32(reserve(writer, SAVREL_U32_SIZE), value);
}

void put_f32(RecordingWriter* writer, double value)
{
    savrel_put_f32(reserve(writer, SAVREL_F32_SIZE), float(value));
}

void put_string(RecordingWriter* writer, const std::string& text)
{
    savrel_put_string(reserve(writer, text.size() + 1), text.c_str());
}

void put_u8(RecordingWriter* writer, uint8_t value)
{
    *reserve(writer, 1) = value;
}

void flush_record(RecordingWriter* writer)
{
    if (!writer->failed && std::fwrite(writer->bytes.data(), 1, writer->bytes.size(), writer->file) != writer->bytes.size()) writer->failed = true;
    writer->bytes.clear();
}

// The groups up to the last that holds a nonzero value; a reader takes the rest as zero.
size_t groups_with_values(const std::vector<SectionGroup>& groups, const std::vector<double>& values)
{
    size_t count = 0;
    size_t position = 0;
    for (size_t group = 0; group < groups.size(); group++) {
        size_t end = position + 1 + groups[group].items.size();
        for (; position < end; position++) {
            if (values[position] != 0.0) count = group + 1;
        }
    }
    return count;
}

}  // namespace

bool recording_writer_open(RecordingWriter* writer, const char* path, std::string* problem)
{
    writer->path = path;
    writer->side_path = writer->path + ".tmp-XXXXXX";
    writer->failed = false;
    int descriptor = mkstemp(writer->side_path.data());
    if (descriptor < 0) {
        *problem = std::string("cannot create a file beside it: ") + std::strerror(errno);
        return false;
    }
    // mkstemp makes the file private; a recording is as readable as any file the user writes.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(descriptor, 0666 & ~mask);
    writer->file = fdopen(descriptor, "wb");
    if (!writer->file) {
        *problem = std::string("cannot write: ") + std::strerror(errno);
        close(descriptor);
        unlink(writer->side_path.c_str());
        return false;
    }
    std::setvbuf(writer->file, nullptr, _IOFBF, kFileBuffer);
    return true;
}

void recording_writer_frame(RecordingWriter* writer, double total, const std::vector<SectionGroup>& groups,
                            const std::vector<double>& values, const std::vector<std::string>& notes)
{
    size_t group_count = groups_with_values(groups, values);
    put_u8(writer, SAVREL_TAG_FRAME);
    put_f32(writer, total);
    put_u32(writer, uint32_t(group_count));
    size_t position = 0;
    for (size_t group = 0; group < group_count; group++) {
        put_f32(writer, values[position++]);
        put_u32(writer, uint32_t(groups[group].items.size()));
        for (size_t item = 0; item < groups[group].items.size(); item++) put_f32(writer, values[position++]);
    }
    put_u32(writer, uint32_t(notes.size()));
    for (const std::string& note : notes) put_string(writer, note);
    flush_record(writer);
}

void recording_writer_structure(RecordingWriter* writer, const std::vector<SectionGroup>& groups)
{
    uint32_t sections = 1 + uint32_t(groups.size());
    for (const SectionGroup& group : groups) sections += uint32_t(group.items.size());
    put_u8(writer, SAVREL_TAG_STRUCTURE);
    put_u32(writer, sections);
    put_u32(writer, uint32_t(groups.size()));
    for (const SectionGroup& group : groups) {
        put_string(writer, group.name);
        put_u32(writer, uint32_t(group.items.size()));
        for (const std::string& item : group.items) put_string(writer, item);
    }
    flush_record(writer);
}

bool recording_writer_commit(RecordingWriter* writer, std::string* problem)
{
    bool written = !writer->failed && std::fflush(writer->file) == 0 && fsync(fileno(writer->file)) == 0;
    int write_error = errno;
    bool closed = std::fclose(writer->file) == 0;
    writer->file = nullptr;
    if (written && closed && std::rename(writer->side_path.c_str(), writer->path.c_str()) == 0) return true;
    *problem = "cannot write " + writer->path + ": " + std::strerror(written && closed ? errno : write_error);
    unlink(writer->side_path.c_str());
    return false;
}

void recording_writer_abandon(RecordingWriter* writer)
{
    if (writer->file) std::fclose(writer->file);
    writer->file = nullptr;
    unlink(writer->side_path.c_str());
}
