// mountinfo text: parsed, and the optical mounts picked from it.
#include "platform/posix/mountinfo.h"
#include "tests/fuzz/fuzz_util.h"

MORLIT_FUZZ_TARGET(mountinfo) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto mounts = morlit::posix::ParseMountInfo(text);
    const auto optical = morlit::posix::OpticalMounts(mounts);
    MORLIT_FUZZ_CHECK(optical.size() <= mounts.size());
    return 0;
}
