// Shared pieces of the Linux host's integration tests: sample images made by
// tools/make-sample-image.sh in the build tree, the independent tools that
// check them, and a PosixHost with a virtual clock and a captured terminal.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/constants.h"
#include "platform/posix/fs/host_folder_volume.h"
#include "platform/posix/posix_host.h"
#include "platform/posix/disk/raw_image.h"
#include "tests/posix/temp_dir.h"

namespace morlit::posix::test {

inline std::string Quote(const std::string& s) { return "'" + s + "'"; }

// Runs a shell command; its output when `output` is given. The exit status.
inline int Shell(const std::string& command, std::string* output = nullptr) {
    FILE* p = ::popen(("( " + command + " ) 2>&1").c_str(), "r");
    if (!p) return -1;
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) text.append(buffer, n);
    const int status = ::pclose(p);
    if (output) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline bool FileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// A fresh, short-named folder for the running test (see temp_dir.h).
inline std::string TestDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string dir =
        TestRoot::Get().FolderFor(std::string(info->test_suite_name()) + "." + info->name());
    Shell("rm -rf " + Quote(dir) + " && mkdir -p " + Quote(dir));
    return dir;
}

inline std::string TreeFile(const std::string& name) {
    return std::string(MORLIT_SOURCE_DIR) + "/tools/trees/" + name;
}

// Builds an image with tools/make-sample-image.sh; `options` as it takes them.
inline std::string MakeImage(const std::string& dir, const std::string& name,
                             const std::string& options) {
    const std::string out = dir + "/" + name;
    std::string log;
    const int rc =
        Shell("bash " + Quote(std::string(MORLIT_SOURCE_DIR) + "/tools/make-sample-image.sh") +
                  " --mkimage " + Quote(std::string(MORLIT_BINARY_DIR) + "/mkimage") + " " +
                  options + " " + Quote(out),
              &log);
    EXPECT_EQ(rc, 0) << log;
    return out;
}

// The NTFS partition of an image, copied out for the ntfs-3g tools. Fixed
// VHDs and raw images hold the disk as it stands; others are converted.
inline std::string ExtractPartition(const std::string& image, u64 startSector = 2048) {
    const std::string raw = image + ".raw";
    const std::string part = image + ".part";
    std::string log;
    EXPECT_EQ(Shell("qemu-img convert -f vpc -O raw " + Quote(image) + " " + Quote(raw) +
                        " && dd if=" + Quote(raw) + " of=" + Quote(part) + " bs=512 skip=" +
                        std::to_string(startSector) + " status=none && rm -f " + Quote(raw),
                    &log),
              0)
        << log;
    return part;
}

// A clock that records pauses instead of sleeping.
class VirtualClock : public IClock {
  public:
    void Sleep(u32 milliseconds) override { pauses.push_back(milliseconds); }
    std::vector<u32> pauses;
};

// A PosixHost whose terminal writes into `out`, reads answers from `in`, and
// whose diagnostics are collected; on a virtual clock.
struct TestHost {
    explicit TestHost(const std::string& answers = "", ImageOpener opener = OpenDiskImage)
        : in(answers) {
        PosixHostOptions options;
        options.in = &in;
        options.out = &out;
        options.diagnostic = [this](const std::string& line) { diagnostics.push_back(line); };
        options.opener = std::move(opener);
        // Discs this machine happens to have mounted would shift the letters.
        options.mountInfoPath = "";
        // A program folder of this test's own, with the templates beside it,
        // as the command gives each run: tests run side by side, and each run
        // writes its import file and its copy of the hive there.
        programDir = MakeShortTempDir("p", TestRoot::Get().path());
        Shell("cp " MORLIT_SOURCE_DIR "/templates/*.bin " + Quote(programDir));
        options.modulePath = programDir + "/morlit";
        options.hiveCopyFolder = programDir;
        posix = std::make_unique<PosixHost>(options);
        host = posix->host;
        host.clock = &clock;
    }
    ~TestHost() {
        posix.reset();
        if (!programDir.empty()) Shell("rm -rf " + Quote(programDir));
    }
    Host host;
    std::string programDir;
    std::istringstream in;
    std::ostringstream out;
    std::vector<std::string> diagnostics;
    VirtualClock clock;
    std::unique_ptr<PosixHost> posix;

    std::string Diagnostics() const {
        std::string all;
        for (const auto& d : diagnostics) all += d + "\n";
        return all;
    }

    // Opens and attaches `image` (a host path): the disk handle, or null.
    Handle Attach(const std::string& image, u32* openError = nullptr) {
        VirtualStorageType type;
        type.deviceId = kVirtualStorageTypeDeviceVhd;
        for (int i = 0; i < 16; ++i) type.vendorId[i] = kVendorMicrosoft[i];
        Handle disk = nullptr;
        const u32 e = host.vdisk->OpenVirtualDisk(type, HostPathToWindows(image),
                                                  kVirtualDiskAccessAll, 0, &disk);
        if (openError) *openError = e;
        if (e) return nullptr;
        EXPECT_EQ(host.vdisk->AttachVirtualDisk(disk, 0, 0), 0u);
        return disk;
    }
    // The first letter of the attached disk, or 0.
    wchar_t Letter(Handle disk) {
        u32 size = 520;
        std::wstring path;
        if (host.vdisk->GetVirtualDiskPhysicalPath(disk, &size, path)) return 0;
        u8 letters[26] = {};
        const int number = std::stoi(path.substr(17));
        return host.letters->QueryLettersByDisk(static_cast<u8>(number), letters) == 1
                   ? static_cast<wchar_t>(letters[0])
                   : 0;
    }
    // Detaches and closes the disk and keeps its changes, as a run that ends
    // well keeps them; the image is unlocked.
    void Detach(Handle disk) {
        EXPECT_EQ(host.vdisk->DetachVirtualDisk(disk, 0, 0), 0u);
        EXPECT_TRUE(host.system->CloseHandle(disk));
        EXPECT_TRUE(posix->CommitClosed());
    }
};

// A raw disk image opened as the disk itself.
inline std::unique_ptr<BlockDevice> OpenRaw(const std::string& path, bool writable, u32* error,
                                            std::string* reason) {
    return RawImage::Open(path, writable, error, reason);
}

}  // namespace morlit::posix::test
