// settings_fuzz: libFuzzer target feeding arbitrary text to the settings loader.
//
// The loader reads a path, so each input is written to one in-memory file and loaded
// through its /proc/self/fd path, the same buffered reading start-up does, without disk
// traffic. The store is emptied before each input, so an input that fails fails again on
// its own and every line is compared only with the names that input brought; an input
// with more than 128 names reaches the full-store path.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/settings_oracle.h"
#include "settings/settings.h"

namespace {

struct MemoryFile {
    int descriptor;
    std::string path;
};

MemoryFile open_memory_file()
{
    int descriptor = memfd_create("settings_fuzz", MFD_CLOEXEC);
    if (descriptor < 0) {
        std::perror("settings_fuzz: memfd_create");
        std::abort();
    }
    return {descriptor, "/proc/self/fd/" + std::to_string(descriptor)};
}

void replace_contents(const MemoryFile& file, const uint8_t* data, size_t size)
{
    if (ftruncate(file.descriptor, 0) != 0 || pwrite(file.descriptor, data, size, 0) != ssize_t(size)) {
        std::perror("settings_fuzz: writing the input");
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const MemoryFile file = open_memory_file();
    settings_reset();
    OracleSettings model = oracle_settings_snapshot();
    replace_contents(file, data, size);
    settings_load(file.path.c_str());
    oracle_settings_apply(&model, std::string(reinterpret_cast<const char*>(data), size));
    std::string fault = oracle_settings_fault(model);
    if (!fault.empty()) {
        std::fprintf(stderr, "settings_fuzz: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}
