// A folder of the test's own for the expand stand-in to work in, with the
// stand-in's cache of opened cabinets emptied around each test so that no
// test sees a cabinet another one left open.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/posix/fs/file_access.h"
#include "platform/posix/programs/expand_tool.h"
#include "tests/posix/test_files.h"

namespace morlit::posix {

using morlit::test::Slurp;
using morlit::test::Spit;
inline std::string Quote(const std::string& s) { return morlit::test::ShellQuote(s); }

class ExpandFixture : public ::testing::Test {
  protected:
    // root_ is made empty; a test maps the drives it needs below it. After a
    // failure it is kept for a look.
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        root_ = std::filesystem::path(MORLIT_BINARY_DIR) / "test-work" /
                (std::string(info->test_suite_name()) + "." + info->name());
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_);
        ClearExpandCache();
    }
    void TearDown() override {
        ClearExpandCache();
        if (!HasFailure()) std::filesystem::remove_all(root_);
    }

    std::filesystem::path root_;
    FolderFileAccess files_;
    std::string reason_;
};

}  // namespace morlit::posix
