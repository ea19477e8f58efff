// A temporary volume folder mapped as drive E: holding a SYSTEM hive made by
// the hive builder, with the Linux registry service over it.
#pragma once

#include <gtest/gtest.h>
#include <hivex.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "platform/posix/fs/file_access.h"
#include "platform/posix/registry/registry.h"
#include "tests/posix/temp_dir.h"
#include "tests/support/script_host.h"
#include "tools/hive/hive_builder.h"

namespace morlit::posix::test {

inline std::string ReadHostFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteHostFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

// Runs a shell command; its exit status and standard output.
inline int RunCommand(const std::string& command, std::string* out) {
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    size_t n;
    if (out) out->clear();
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
        if (out) out->append(buf, n);
    }
    const int status = ::pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string Utf16(const std::wstring& text, bool terminator = true) {
    std::string out;
    for (wchar_t c : text) {
        out.push_back(static_cast<char>(c & 0xFF));
        out.push_back(static_cast<char>((c >> 8) & 0xFF));
    }
    if (terminator) out.append(2, '\0');
    return out;
}

inline std::string Dword(u32 v) {
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                       static_cast<char>((v >> 16) & 0xFF), static_cast<char>(v >> 24)};
}

// A value read straight from a hive file with hivex.
struct HiveValue {
    bool found = false;
    u32 type = 0;
    std::string data;
};

// Opens a hive file read-only for inspection.
class HiveReader {
  public:
    explicit HiveReader(const std::string& path) : h_(hivex_open(path.c_str(), 0)) {}
    ~HiveReader() {
        if (h_) hivex_close(h_);
    }
    bool ok() const { return h_ != nullptr; }
    hive_node_h Node(const std::string& path) const {
        if (!h_) return 0;
        hive_node_h node = hivex_root(h_);
        std::stringstream parts(path);
        std::string part;
        while (node && std::getline(parts, part, '\\')) {
            if (!part.empty()) node = hivex_node_get_child(h_, node, part.c_str());
        }
        return node;
    }
    bool HasKey(const std::string& path) const { return Node(path) != 0; }
    HiveValue Value(const std::string& path, const std::string& name) const {
        HiveValue out;
        const hive_node_h node = Node(path);
        if (!node) return out;
        const hive_value_h v = hivex_node_get_value(h_, node, name.c_str());
        if (!v) return out;
        hive_type t;
        size_t len = 0;
        char* bytes = hivex_value_value(h_, v, &t, &len);
        if (!bytes) return out;
        out.found = true;
        out.type = static_cast<u32>(t);
        out.data.assign(bytes, len);
        std::free(bytes);
        return out;
    }
    size_t ChildCount(const std::string& path) const {
        const hive_node_h node = Node(path);
        return node ? hivex_node_nr_children(h_, node) : 0;
    }
    hive_h* handle() const { return h_; }

  private:
    hive_h* h_;
};

// A volume folder whose disk fails every read of the files ending with
// `failReadOf`.
class FailingReadFiles : public FolderFileAccess {
  public:
    u32 ReadFile(const std::wstring& path, std::string* data) override {
        const bool fails =
            !failReadOf.empty() && path.size() >= failReadOf.size() &&
            path.compare(path.size() - failReadOf.size(), std::wstring::npos, failReadOf) == 0;
        return fails ? err::kReadFault : FolderFileAccess::ReadFile(path, data);
    }
    std::wstring failReadOf;
};

class HiveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root = MakeShortTempDir("mlh");
        ASSERT_FALSE(root.empty());
        ASSERT_EQ(::mkdir((root + "/vol").c_str(), 0755), 0);
        ASSERT_EQ(::mkdir((root + "/tmp").c_str(), 0755), 0);
        std::string cmd = "mkdir -p '" + root + "/vol/Windows/system32/config'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        files.Map(L'E', root + "/vol");
        // The registry's private copies go here, so a test can see them go.
        oldTmp = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
        ::setenv("TMPDIR", (root + "/tmp").c_str(), 1);
        registry = std::make_unique<PosixRegistry>(files, errors);
    }
    void TearDown() override {
        registry.reset();
        if (oldTmp.empty())
            ::unsetenv("TMPDIR");
        else
            ::setenv("TMPDIR", oldTmp.c_str(), 1);
        const std::string cmd = "rm -rf '" + root + "'";
        if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot remove " << root;
    }

    // Builds the target's hive; returns its bytes.
    std::string MakeHive(const tools::SystemHiveSpec& spec) {
        std::string error;
        EXPECT_TRUE(tools::BuildSystemHive(HivePath(), spec, &error)) << error;
        return ReadHostFile(HivePath());
    }
    std::string HivePath() const { return root + "/vol/Windows/system32/config/system"; }
    u32 Load() {
        return registry->RegLoadKey(kHKeyLocalMachine, L"VirtualPC",
                                    L"E:\\Windows\\system32\\config\\system");
    }
    // Files left in the private temporary folder.
    int TempFiles() const {
        std::string out;
        RunCommand("ls -A '" + root + "/tmp' | wc -l", &out);
        return std::atoi(out.c_str());
    }

    std::string root;
    std::string oldTmp;
    FolderFileAccess files;
    morlit::test::ScriptHost errorsHost;
    IErrors& errors = errorsHost;
    std::unique_ptr<PosixRegistry> registry;
};

}  // namespace morlit::posix::test
