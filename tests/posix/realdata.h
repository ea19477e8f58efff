// Test data that other public projects publish (real hives, disk images,
// cabinets, regedit cases), kept read-only beside the checkout in
// ../shared/realdata. Tests decompress what they need into a folder of their
// own and never write there.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "platform/posix/disk/byte_order.h"

namespace morlit::posix::test {

// The folder, or empty when this checkout has none beside it.
inline std::string RealDataDir() {
    const std::string dir = std::string(MORLIT_SOURCE_DIR) + "/../shared/realdata";
    struct stat st {};
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? dir : std::string();
}

// Decompresses realdata/<relative>.xz to <folder>/<name>; false when the
// file is missing or xz fails.
inline bool UnpackRealData(const std::string& relative, const std::string& folder,
                           const std::string& name) {
    const std::string dir = RealDataDir();
    if (dir.empty()) return false;
    const std::string command =
        "xz -dc '" + dir + "/" + relative + ".xz' > '" + folder + "/" + name + "' 2>/dev/null";
    return std::system(command.c_str()) == 0;
}

// A hive file as Windows loads it without a log: equal sequence numbers and
// a base block whose checksum (the XOR of its first 127 dwords) holds.
inline bool WholeBaseBlock(const std::string& hive) {
    if (hive.size() < 4096 || hive.compare(0, 4, "regf") != 0) return false;
    const u8* block = reinterpret_cast<const u8*>(hive.data());
    u32 sum = 0;
    for (int i = 0; i < 127; ++i) sum ^= LoadLe32(block + 4 * i);
    return LoadLe32(block + 4) == LoadLe32(block + 8) && sum == LoadLe32(block + 508);
}

}  // namespace morlit::posix::test

// Skips a test on a checkout without the shared data, except in CI, where
// the data is always there and its absence is a fault of the set-up.
#define MORLIT_REQUIRE_REALDATA()                                              \
    do {                                                                       \
        if (::morlit::posix::test::RealDataDir().empty()) {                    \
            const char* ci = std::getenv("CI");                                \
            if (ci != nullptr && std::string(ci) == "true") {                  \
                FAIL() << "../shared/realdata is missing beside the checkout"; \
            }                                                                  \
            GTEST_SKIP() << "no ../shared/realdata beside the checkout";       \
        }                                                                      \
    } while (0)
