// A whole run in this process on an XP image shaped like a real one: a solid
// MSZIP sp3.cab of more than 100 MB whose drivers are its last members, and
// a SYSTEM hive of about 10 MB. Prints how long the driver step (the three
// expand runs) and the registry step (Regedit's import and the write-back)
// took, from the status texts' times, on a clock that does not sleep, and
// the process's peak memory.
//
// The run goes three times with the rollback journal (as the command runs, commit
// included) and three times without it, alternating, on fresh copies of the
// image; the summary sets the best of each side by side, with the journal's
// cost as a share of the run's own work and the journal's peak size.
//
//   morlit_run_bench [--keep] [IMAGE]
// Without IMAGE, builds one in the build tree (bench-data/run) and deletes
// it and its sources at the end unless --keep is given.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_help.h"
#include "bench/bench_content.h"
#include "platform/posix/disk/image_file.h"
#include "platform/posix/disk/vhd.h"
#include "platform/posix/programs/expand_tool.h"
#include "platform/posix/posix_host.h"
#include "platform/posix/posix_system.h"
#include "ui/MorlitDlg.h"

namespace fs = std::filesystem;
using morlit::bench::WriteContent;

namespace {

const fs::path kDir = fs::path(MORLIT_BINARY_DIR) / "bench-data" / "run";
constexpr int kFillers = 60;
constexpr size_t kFillerSize = 2u << 20;  // 120 MB of folder data before the drivers

using Clock = std::chrono::steady_clock;

std::string Quote(const std::string& s) { return "'" + s + "'"; }

void Run(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

std::string MakeImage() {
    fs::remove_all(kDir);
    fs::create_directories(kDir / "content");
    std::string names;
    for (int i = 0; i < kFillers; ++i) {
        const std::string name = "filler" + std::to_string(100 + i) + ".dat";
        WriteContent(kDir / "content" / name, kFillerSize, 100 + i);
        names += " " + name;
    }
    const char* drivers[] = {"hal.dll", "intelide.sys", "ntoskrnl.exe"};
    const size_t sizes[] = {134400, 7040, 2150400};  // like XP SP3's
    for (int i = 0; i < 3; ++i) {
        WriteContent(kDir / "content" / drivers[i], sizes[i], 7 + i);
        names += std::string(" ") + drivers[i];
    }
    const std::string bin = MORLIT_BINARY_DIR, src = MORLIT_SOURCE_DIR;
    Run("cd " + Quote((kDir / "content").string()) + " && gcab -c -n -z ../sp3.cab" + names);
    fs::remove_all(kDir / "content");
    Run(Quote(bin + "/tools/hive/morlit_make_hive") + " " + Quote((kDir / "system").string()) +
        " --default 2 --sets 1,2,3 --filler 40000 >/dev/null");
    std::ofstream(kDir / "xp-big.tree")
        << "include " << src << "/tools/trees/xp.tree\n"
        << "copy WINDOWS\\system32\\config\\system " << (kDir / "system").string() << "\n"
        << "copy \"WINDOWS\\Driver Cache\\i386\\sp3.cab\" " << (kDir / "sp3.cab").string() << "\n";
    const std::string image = (kDir / "xp-big.vhd").string();
    Run("bash " + Quote(src + "/tools/make-sample-image.sh") + " --mkimage " +
        Quote(bin + "/mkimage") + " --start 63 --size 400 --tree " +
        Quote((kDir / "xp-big.tree").string()) + " " + Quote(image));
    std::printf("sp3.cab %.1f MB, SYSTEM hive %.1f MB\n", fs::file_size(kDir / "sp3.cab") / 1e6,
                fs::file_size(kDir / "system") / 1e6);
    fs::remove(kDir / "sp3.cab");
    return image;
}

// Bytes this process has read and written through system calls so far.
struct Io {
    double read = 0, written = 0;
};
Io ProcessIo() {
    Io io;
    std::ifstream in("/proc/self/io");
    std::string key;
    double value = 0;
    while (in >> key >> value) {
        if (key == "rchar:") io.read = value;
        if (key == "wchar:") io.written = value;
    }
    return io;
}

class NoSleep : public morlit::IClock {
  public:
    void Sleep(morlit::u32) override {}
};

// Notes the time at which each status line starts.
class StampedBuffer : public std::stringbuf {
  public:
    struct Line {
        std::string text;
        Clock::time_point time;
        Io io;
    };
    std::vector<Line> lines;

  protected:
    int sync() override { return 0; }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        for (std::streamsize i = 0; i < n; ++i) Put(s[i]);
        return n;
    }
    int_type overflow(int_type c) override {
        if (c != traits_type::eof()) Put(static_cast<char>(c));
        return c;
    }

  private:
    void Put(char c) {
        if (atStart_) lines.push_back({std::string(), Clock::now(), ProcessIo()});
        atStart_ = c == '\n';
        if (!atStart_) lines.back().text.push_back(c);
    }
    bool atStart_ = true;
};

double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

}  // namespace

// One whole run on a fresh copy of `image`; prints its steps and returns
// its seconds.
double RunOnce(const std::string& image, bool journalled) {
    const std::string copy = (kDir / "run.vhd").string();
    fs::create_directories(kDir);
    Run("cp " + Quote(image) + " " + Quote(copy) + " && sync");

    std::istringstream in;
    StampedBuffer buffer;
    std::ostream out(&buffer);
    morlit::posix::PosixHostOptions options;
    options.in = &in;
    options.out = &out;
    options.mountInfoPath = "";
    options.diagnostic = [](const std::string& line) {
        std::fprintf(stderr, "%s\n", line.c_str());
    };
    options.opener = [journalled](const std::string& path, bool writable, morlit::u32* error,
                                  std::string* reason) {
        return std::unique_ptr<morlit::posix::BlockDevice>(
            morlit::posix::VhdImage::Open(path, writable, error, reason,
                                          journalled ? morlit::posix::ImageWrites::kJournalled
                                                     : morlit::posix::ImageWrites::kDirect));
    };
    NoSleep clock;
    const Clock::time_point start = Clock::now();
    {
        morlit::posix::PosixHost posix(options);
        posix.host.clock = &clock;
        morlit::CMorlitDlg dialog(posix.host);
        dialog.Create(IDD_MORLIT_DIALOG);
        dialog.m_strVhdPath = morlit::posix::HostPathToWindows(copy);
        dialog.OnBnClickedOk();
        if (!posix.FinishRun(true).committed) std::fprintf(stderr, "the run did not commit\n");
    }
    const Clock::time_point end = Clock::now();
    const Io endIo = ProcessIo();
    morlit::posix::ClearExpandCache();

    // Each step lasts until the next status line.
    std::printf("\n%s the journal\n", journalled ? "with" : "without");
    std::printf("%-40s %9s %9s %9s\n", "step (from its status text)", "seconds", "MB read",
                "MB written");
    for (size_t i = 0; i < buffer.lines.size(); ++i) {
        const bool last = i + 1 == buffer.lines.size();
        const auto& line = buffer.lines[i];
        const auto next = last ? end : buffer.lines[i + 1].time;
        const Io nextIo = last ? endIo : buffer.lines[i + 1].io;
        std::printf("%-40s %9.3f %9.1f %9.1f\n", line.text.c_str(), Seconds(line.time, next),
                    (nextIo.read - line.io.read) / 1e6, (nextIo.written - line.io.written) / 1e6);
    }
    std::printf("%-40s %9.3f\n", "whole run", Seconds(start, end));
    fs::remove(copy);
    return Seconds(start, end);
}

int main(int argc, char** argv) {
    if (morlit::bench::AnsweredHelp(
            argc, argv,
            "usage: morlit_run_bench [--keep] [IMAGE]\n"
            "A whole run in this process on a large XP image, three times with the\n"
            "rollback journal and three without. Without IMAGE one is made in the\n"
            "build tree and deleted at the end, unless --keep is given.\n"))
        return 0;
    bool keep = false;
    std::string image;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--keep")
            keep = true;
        else
            image = arg;
    }
    const bool made = image.empty();
    if (made) image = MakeImage();
    double with = 1e30, without = 1e30;
    for (int round = 0; round < 3; ++round) {
        without = std::min(without, RunOnce(image, false));
        with = std::min(with, RunOnce(image, true));
    }
    std::printf("\nwhole run, best of three: without the journal %.3f s, with it %.3f s\n", without,
                with);
    std::printf("the journal's cost: %.1f %% of the run (with/without %.3f)\n",
                (with - without) / without * 100, with / without);
    std::printf("the journal's peak size: %.1f MB\n",
                morlit::posix::ImageFile::PeakJournalBytes() / 1e6);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak resident memory: %.0f MB\n", usage.ru_maxrss / 1024.0);
    if (made && !keep) fs::remove_all(kDir);
    return 0;
}
