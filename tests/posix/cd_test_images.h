// XP installation CD images made with tools/make-xp-cd.sh into a private
// folder in the system's temporary folder, one per test process.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "tests/posix/temp_dir.h"

namespace morlit::test {

class CdImages {
  public:
    CdImages() : dir_(posix::test::MakeShortTempDir("mlc")) {}
    ~CdImages() {
        if (!dir_.empty() && std::system(("rm -rf '" + dir_ + "'").c_str()) != 0)
            std::fprintf(stderr, "cannot remove %s\n", dir_.c_str());
    }
    const std::string& Dir() const { return dir_; }

    // Runs the image maker with `options`; the image's path, or empty.
    std::string Make(const std::string& name, const std::string& options) {
        const std::string out = dir_ + "/" + name;
        const std::string command = "bash '" + std::string(MORLIT_SOURCE_DIR) +
                                    "/tools/make-xp-cd.sh' " + options + " '" + out + "'";
        return std::system(command.c_str()) == 0 ? out : std::string();
    }

    // Writes a file, making its folders.
    void Write(const std::string& relative, const std::string& data) {
        const std::string path = dir_ + "/" + relative;
        EXPECT_EQ(std::system(("mkdir -p \"$(dirname '" + path + "')\"").c_str()), 0) << path;
        std::ofstream(path, std::ios::binary) << data;
    }

  private:
    std::string dir_;
};

}  // namespace morlit::test
