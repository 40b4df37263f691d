#include "tools/import/trace_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// How much text is read between two returns of its pages to the system.
const size_t kDropBytes = size_t(32) << 20;

bool read_all(int descriptor, std::string* bytes)
{
    char buffer[1 << 16];
    for (;;) {
        ssize_t count = read(descriptor, buffer, sizeof buffer);
        if (count == 0) return true;
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return false;
        bytes->append(buffer, size_t(count));
    }
}

// Maps the file with a zero page reserved after it, so the text always ends in zero bytes
// (aligned reads past the end stay in its last page).
bool map_text(int descriptor, size_t size, TraceFile* file)
{
    size_t page = size_t(sysconf(_SC_PAGESIZE));
    size_t mapped_size = (size / page + 1) * page;
    void* reserved = mmap(nullptr, mapped_size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (reserved == MAP_FAILED) return false;
    void* mapped = mmap(reserved, size, PROT_READ, MAP_PRIVATE | MAP_FIXED, descriptor, 0);
    if (mapped == MAP_FAILED) {
        munmap(reserved, mapped_size);
        return false;
    }
    madvise(mapped, size, MADV_SEQUENTIAL);
    file->text = static_cast<const char*>(mapped);
    file->size = size;
    file->mapped_size = mapped_size;
    return true;
}

}  // namespace

bool trace_file_open(const char* path, TraceFile* file, std::string* problem)
{
    *file = TraceFile{};
    int descriptor = open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        *problem = std::strerror(errno);
        return false;
    }
    struct stat info;
    if (fstat(descriptor, &info) != 0 || S_ISDIR(info.st_mode)) {
        close(descriptor);
        *problem = "not a file";
        return false;
    }
    if (S_ISREG(info.st_mode) && info.st_size > 0 && map_text(descriptor, size_t(info.st_size), file)) {
        close(descriptor);
        return true;
    }
    bool read = read_all(descriptor, &file->heap);
    int read_error = errno;
    close(descriptor);
    if (!read) {
        *problem = std::strerror(read_error);
        return false;
    }
    file->size = file->heap.size();
    file->heap.append(TRACE_FILE_PADDING, '\0');
    file->text = file->heap.c_str();
    return true;
}

// Pages behind the parser are never read again; a private mapping gives them back for free.
void trace_file_drop(TraceFile* file, size_t position)
{
    if (file->mapped_size == 0) return;
    size_t page = size_t(sysconf(_SC_PAGESIZE));
    position = position / page * page;
    if (position < file->dropped + kDropBytes) return;
    madvise(const_cast<char*>(file->text) + file->dropped, position - file->dropped, MADV_DONTNEED);
    file->dropped = position;
}

void trace_file_close(TraceFile* file)
{
    if (file->mapped_size != 0) munmap(const_cast<char*>(file->text), file->mapped_size);
    *file = TraceFile{};
}
