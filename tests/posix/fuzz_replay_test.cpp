// Every input that once made a fuzz harness fail, kept under tests/data/ and
// replayed through the same harness, so that a fault found by fuzzing stays
// found without a fuzzing build.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/fuzz/fuzz_util.h"

void morlit::fuzz::CheckFailed(const char* condition, const char* file, int line) {
    ADD_FAILURE_AT(file, line) << "check failed: " << condition;
}

namespace morlit::fuzz {
namespace {

using Target = int (*)(const uint8_t*, size_t);

// Replays every file of tests/data/<folder>; the number replayed.
int Replay(const char* folder, Target target) {
    const std::filesystem::path dir =
        std::filesystem::path(MORLIT_SOURCE_DIR) / "tests/data" / folder;
    int count = 0;
    if (!std::filesystem::is_directory(dir)) return 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        SCOPED_TRACE(entry.path().string());
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        const std::string data = bytes.str();
        target(reinterpret_cast<const uint8_t*>(data.data()), data.size());
        ++count;
    }
    return count;
}

TEST(FuzzReplay, RegistryScripts) { EXPECT_GT(Replay("reg_import", Fuzz_reg_import), 0); }

TEST(FuzzReplay, FatVolumes) { EXPECT_GT(Replay("fat", Fuzz_fat), 0); }

}  // namespace
}  // namespace morlit::fuzz
