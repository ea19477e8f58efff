// Where the Linux host's tests make their files. Some of the paths a test
// makes are limited in length: a Unix socket's to 107 bytes, an image or a
// program as the run sees it (a Windows path on Z:) to 259 characters, the
// import file to 254. Made in the build tree they would pass or fail by how
// long the checkout's own path is; short folders in the system's temporary
// folder fit wherever the checkout lies.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <string>

namespace morlit::posix::test {

// The system's temporary folder as the test process found it when it
// started: some tests point TMPDIR at folders of their own for a while.
inline const std::string kSystemTempDir = [] {
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp");
}();

// A new folder of mode 0700, `<parent>/<prefix>XXXXXX`; empty on failure.
inline std::string MakeShortTempDir(const std::string& prefix,
                                    const std::string& parent = kSystemTempDir) {
    std::string pattern = parent + "/" + prefix + "XXXXXX";
    return ::mkdtemp(&pattern[0]) ? pattern : std::string();
}

// The folder of this test process, holding one short-named folder per test.
// It goes when the process ends with its tests passed; after a failure it is
// kept and named, so what the failing test left can be looked at.
class TestRoot {
  public:
    static TestRoot& Get() {
        static TestRoot root;
        return root;
    }
    const std::string& path() const { return path_; }

    // The folder of the running test: the same one every time it asks.
    std::string FolderFor(const std::string& test) {
        auto it = tests_.find(test);
        if (it == tests_.end())
            it = tests_.emplace(test, path_ + "/" + std::to_string(tests_.size() + 1)).first;
        return it->second;
    }

  private:
    TestRoot() : owner_(::getpid()), path_(MakeShortTempDir("mlt")) {
        if (path_.empty()) {
            std::cerr << "cannot make a folder in " << kSystemTempDir << "\n";
            std::abort();
        }
        // Open to others as the build tree is: some tests run the command as
        // another user on an image in their folder.
        ::chmod(path_.c_str(), 0755);
    }
    ~TestRoot() {
        // Children forked by a test end without touching the parent's folder.
        if (::getpid() != owner_) return;
        if (::testing::UnitTest::GetInstance()->Passed()) {
            const std::string command = "rm -rf '" + path_ + "'";
            if (std::system(command.c_str()) == 0) return;
        }
        std::cerr << "test folders kept in " << path_ << ":\n";
        for (const auto& [test, folder] : tests_)
            std::cerr << "  " << folder << "  " << test << "\n";
    }
    pid_t owner_;
    std::string path_;
    std::map<std::string, std::string> tests_;
};

// The access and modification times of `path` (seconds), after giving them
// a moment in 2001 with `set`: no run can leave those on an image it changed.
inline std::string FileTimes(const std::string& path, bool set = false) {
    const timespec old[2] = {{978307200, 0}, {978307201, 0}};
    struct stat st {};
    if ((set && ::utimensat(AT_FDCWD, path.c_str(), old, 0) != 0) || ::stat(path.c_str(), &st))
        return "<not set>";
    return std::to_string(st.st_atime) + " " + std::to_string(st.st_mtime);
}

}  // namespace morlit::posix::test
