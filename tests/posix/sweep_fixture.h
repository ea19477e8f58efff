// What the sweeps over the image layer's steps share: a complete XP run in a
// forked child (so that a step made to fail or to die cannot leave the test
// process in a bad state), the reopen a next run would make, and what an
// uninterrupted run puts into the image as the independent tools read it.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/disk/image_file.h"
#include "platform/posix/disk/interrupt.h"
#include "platform/posix/disk/vhd.h"
#include "platform/posix/record/report.h"
#include "platform/posix/record/run_ending.h"
#include "tests/posix/e2e_fixture.h"

namespace morlit::posix::test {

constexpr int kRunFailed = 3;

// Lines sent back from a child in a fixed buffer, one after another, each
// ended by a newline (a line's own newlines become spaces); what does not
// fit is cut.
template <size_t N>
struct LineBuffer {
    char text[N] = {};
    void Set(const std::vector<std::string>& lines) {
        std::string all;
        for (std::string line : lines) {
            for (char& c : line)
                if (c == '\n') c = ' ';
            all += line + "\n";
        }
        all.resize(std::min(all.size(), N - 1));
        std::memcpy(text, all.c_str(), all.size() + 1);
    }
    std::vector<std::string> Get() const {
        std::vector<std::string> lines;
        std::string line;
        for (const char* c = text; *c; ++c) {
            if (*c != '\n') {
                line.push_back(*c);
                continue;
            }
            lines.push_back(line);
            line.clear();
        }
        return lines;
    }
};

// How a run in a child ended, as the command would tell it.
struct ChildRun {
    int exitCode = -1;             // 0: adjusted and committed; kRunFailed; or the hook's own
    bool reported = false;         // the child lived to the end and said how it went
    long steps = -1;               // the image layer's steps, counted by the hook
    long reads = -1;               // its reads, where the hook counts them apart
    bool adjustedMessage = false;  // the run ended with its success message
    PosixVirtualDisk::RunEnd end;
    LineBuffer<16384> said;   // every line the command would print on standard error
    LineBuffer<8192> causes;  // of them, those its report gives as the causes
};

// Runs `body` in a forked child, so that a step made to fail or to die
// cannot leave the test process in a bad state. The child sends *result
// back through a pipe and exits with the code `body` returns. Returns that
// exit code (-1 when the child did not exit normally); *result keeps what it
// held when the child died before sending it.
template <typename T>
int InForkedChild(const std::function<int(T*)>& body, T* result) {
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return -1;
    const pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
        ::close(pipe_fds[0]);
        T mine = *result;
        const int code = body(&mine);
        (void)!::write(pipe_fds[1], &mine, sizeof mine);
        _exit(code);
    }
    ::close(pipe_fds[1]);
    // A large result may come in more than one piece.
    auto sent = std::make_unique<T>();
    size_t got = 0;
    while (got < sizeof(T)) {
        const ssize_t n =
            ::read(pipe_fds[0], reinterpret_cast<char*>(sent.get()) + got, sizeof(T) - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    if (got == sizeof(T)) *result = *sent;
    ::close(pipe_fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs Start on `image` in a forked child and ends the run as the command
// does: `setup` installs the hook there, `steps` is the hook's step counter.
// The child exits 0 when the run said it adjusted the image and it was
// committed, kRunFailed otherwise (unless the hook ends it first). `reads`,
// where given, is the hook's count of reads.
inline ChildRun RunStartInChild(const std::string& image, const std::function<void()>& setup,
                                const long* steps, const long* reads = nullptr) {
    ChildRun result;
    const std::function<int(ChildRun*)> body = [&](ChildRun* run) {
        SetImageNoteSink([](const std::string&) {});
        setup();
        run->exitCode = kRunFailed;
        {
            TestHost t;
            // In front of the host's own services, which its layers say their
            // causes through.
            RunRecorder recorder(t.posix->host, RecordingOf(*t.posix, false));
            Host host = t.posix->host;
            host.clock = t.host.clock;
            CMorlitDlg dialog(host);
            dialog.Create(IDD_MORLIT_DIALOG);
            dialog.m_strVhdPath = HostPathToWindows(image);
            dialog.OnBnClickedOk();
            const RunClose close = CloseRun(*t.posix, recorder);
            run->adjustedMessage = close.adjusted;
            run->end = close.end;
            if (close.status == 0) run->exitCode = 0;
            run->said.Set(t.diagnostics);
            std::vector<std::string> causes;
            for (const RecordedCause& c : ReportedCauses(recorder.record()))
                causes.push_back(c.line);
            run->causes.Set(causes);
        }
        run->reported = true;
        run->steps = *steps;
        if (reads) run->reads = *reads;
        return run->exitCode;
    };
    result.exitCode = InForkedChild(body, &result);
    return result;
}

// Opens the image as the next run would (which plays a journal back) and
// closes it again.
inline bool Reopen(const std::string& image, std::vector<std::string>* notes) {
    SetImageNoteSink([&](const std::string& line) { notes->push_back(line); });
    u32 error = 0;
    std::string reason;
    const bool ok = VhdImage::Open(image, true, &error, &reason) != nullptr;
    SetImageNoteSink(nullptr);
    EXPECT_TRUE(ok) << reason;
    return ok;
}

// What a run puts into the image, as the independent tools read it: the
// ntfs-3g utilities for NTFS, fsck.fat and the mtools for FAT.
struct Adjusted {
    std::string hal, kernel, ide, bootIni;
    std::map<std::string, std::string> hive;
    bool sound = false;
};
template <typename Check>
Adjusted ReadWith(const Check& check, bool sound) {
    Adjusted a;
    a.sound = sound;
    a.hal = check.Cat("WINDOWS/system32/hal.dll");
    a.kernel = check.Cat("WINDOWS/system32/ntoskrnl.exe");
    a.ide = check.Cat("WINDOWS/system32/drivers/intelide.sys");
    a.bootIni = check.Cat("Boot.ini");
    a.hive = check.HiveKeys("WINDOWS/system32/config/system");
    return a;
}
inline Adjusted ReadAdjusted(const std::string& image, bool fat) {
    if (fat) {
        const FatImage check(image, 63);
        return ReadWith(check, check.FsckAccepts());
    }
    const ImageCheck check(image, 63);
    return ReadWith(check, check.QemuAccepts() && check.NtfsfixAccepts());
}

inline void ExpectSameAdjustment(const Adjusted& got, const Adjusted& want) {
    EXPECT_TRUE(got.sound);
    EXPECT_TRUE(got.hal == want.hal);
    EXPECT_TRUE(got.kernel == want.kernel);
    EXPECT_TRUE(got.ide == want.ide);
    EXPECT_EQ(got.bootIni, want.bootIni);
    EXPECT_TRUE(got.hive == want.hive);
}

enum class Sample { kFixed, kDynamic, kFat32, kSparseFixed };
inline const char* SampleName(Sample s) {
    return s == Sample::kFixed         ? "Fixed"
           : s == Sample::kDynamic     ? "Dynamic"
           : s == Sample::kSparseFixed ? "SparseFixed"
                                       : "Fat32";
}
inline void PrintTo(Sample s, std::ostream* os) { *os << SampleName(s); }

// The sample XP image (two cabinets, a real hive, an old Boot.ini) as a fixed
// or as a dynamic VHD. The dynamic one has small blocks and only those that
// hold data, so the run allocates new ones. The FAT32 sample is XP with its
// sp2.cab on a FAT32 volume of a fixed VHD. The sparse fixed one keeps its
// runs of zeros as holes, as a copy made with `cp --sparse` or a new image
// made by most tools does.
inline std::string MakeSample(const std::string& dir, Sample sample) {
    if (sample == Sample::kFat32) return CopyTarget(dir, "xp-fat32.vhd");
    const std::string fixed = CopyTarget(dir, "xp-cabinets.vhd");
    if (sample == Sample::kFixed) return fixed;
    if (sample == Sample::kSparseFixed) {
        EXPECT_EQ(Shell("fallocate --dig-holes " + Quote(fixed)), 0);
        return fixed;
    }
    const std::string dynamic = dir + "/xp-dynamic.vhd";
    const u64 disk = Slurp(fixed).size() - 512;
    EXPECT_EQ(Shell("python3 " + Quote(std::string(MORLIT_SOURCE_DIR) + "/tools/vhdtool.py") +
                    " dynamic " + Quote(dynamic) + " " + std::to_string(disk) +
                    " --block-size 65536 && qemu-img convert -n --target-is-zero -f vpc -O vpc " +
                    Quote(fixed) + " " + Quote(dynamic) + " && rm " + Quote(fixed)),
              0);
    return dynamic;
}

}  // namespace morlit::posix::test
