// XP installation CD images made with tools/make-xp-cd.sh into a private
// folder of the build tree, one per test process.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace morlit::test {

class CdImages {
  public:
    CdImages() {
        std::string pattern = std::string(MORLIT_BINARY_DIR) + "/test-cd-XXXXXX";
        if (mkdtemp(&pattern[0]) != nullptr) dir_ = pattern;
    }
    ~CdImages() {
        if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
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
        std::system(("mkdir -p \"$(dirname '" + path + "')\"").c_str());
        std::ofstream(path, std::ios::binary) << data;
    }

  private:
    std::string dir_;
};

}  // namespace morlit::test
