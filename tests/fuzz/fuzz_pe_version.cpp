// A PE file's version resource: the input is the whole file.
#include <cstring>

#include "platform/posix/fs/pe_version.h"
#include "tests/fuzz/fuzz_util.h"

MORLIT_FUZZ_TARGET(pe_version) {
    morlit::posix::PeFileVersion version;
    const morlit::u32 e = morlit::posix::ReadPeFileVersion(data, size, &version);
    if (e != 0) return 0;
    // A version is only ever read from a fixed file info that lies in the
    // input: its signature, the structure version, then the two halves.
    bool found = false;
    for (size_t at = 0; !found && at + 16 <= size; ++at) {
        found = Le32(data + at) == 0xFEEF04BD && Le32(data + at + 8) == version.ms &&
                Le32(data + at + 12) == version.ls;
    }
    MORLIT_FUZZ_CHECK(found);
    return 0;
}
