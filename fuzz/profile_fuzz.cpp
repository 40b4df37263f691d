// profile_fuzz: libFuzzer target feeding arbitrary bytes to the recording loader.
//
// Every input is loaded from memory, the way profile_load parses a mapped file, and the
// table is then held against the plain second reading of the same bytes; any difference
// aborts, so the fuzzer reports it like a crash.
#include <cstdio>
#include <cstdlib>

#include "fuzz/profile_oracle.h"
#include "profile/profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    profile_load_memory(data, size);
    std::string fault = oracle_profile_fault(data, size);
    if (!fault.empty()) {
        std::fprintf(stderr, "profile_fuzz: %s (status %d: %s)\n", fault.c_str(), int(profile_last_status()),
                     profile_last_detail());
        std::abort();
    }
    return 0;
}
