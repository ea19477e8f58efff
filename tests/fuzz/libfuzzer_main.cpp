// The libFuzzer entry of one harness; the build names it with
// MORLIT_FUZZ_ENTRY.
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/fuzz_util.h"

void morlit::fuzz::CheckFailed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return morlit::fuzz::MORLIT_FUZZ_ENTRY(data, size);
}
