// Runs that cannot finish, and images other programs hold: either way the
// image ends exactly as it was.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>

#include "platform/posix/disk/image_file.h"
#include "platform/posix/disk/vhd.h"
#include "tests/posix/e2e_fixture.h"

namespace morlit::posix::test {
namespace {

const std::string kFailed = "エラーが発生したため、\nVHDファイルの調整が完了できませんでした。\n";

// The messages are compared with the string table's own texts.
const std::string kJapanese = "LC_ALL=ja_JP.UTF-8 ";

// Fills the image's volume until a write fails for want of space, as a user
// with a full disk has it; the image is final afterwards.
void FillVolume(const std::string& image) {
    TestHost t;
    Handle disk = t.Attach(image);
    ASSERT_TRUE(disk);
    u64 chunk = 4 << 20;
    for (int i = 0; chunk >= 4096 && i < 400; ++i) {
        const std::wstring name = L"D:\\filler" + std::to_wstring(i) + L".bin";
        if (t.posix->drives().WriteFile(name, std::string(chunk, 'f')) != 0) {
            t.host.files->DeleteFile(name);
            chunk /= 2;
        }
    }
    t.Detach(disk);
}

struct FailingRun {
    const char* name;
    const char* target;
    // Makes the run fail: breaks the program folder or the image.
    std::function<void(TestHost& t, const std::string& image)> arrange;
    // The start of the run's last line when it is refused before it changes
    // anything; null when it fails after changing the volume and is put back.
    const char* refusal = nullptr;
};

class UndoneRun : public ::testing::TestWithParam<FailingRun> {};

int g_journals = 0;
int CountJournals(const IoEvent& e) {
    if (e.step == IoStep::kJournalCreate) ++g_journals;
    return 0;
}

// A failure after the run changed the volume (the drivers at least) has
// everything it changed undone, its times too, and one line says so; what
// the run can know beforehand refuses the target before anything changes,
// so that not even a journal is made in the image's folder.
TEST_P(UndoneRun, LeavesTheImageByteIdentical) {
    const FailingRun& c = GetParam();
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, c.target);
    TestHost t;
    if (c.arrange) c.arrange(t, image);
    const std::string before = Slurp(image);
    const std::string times = FileTimes(image, true);
    FileTimes(dir, true);  // old times, which a journal made and deleted would change
    const std::string folderTime = ModificationTime(dir);
    g_journals = 0;
    SetIoHook(CountJournals);
    const std::string out = RunStart(t, image);
    SetIoHook(nullptr);
    EXPECT_EQ(FileTimes(image), times);  // before a read sets the access time
    EXPECT_EQ(out.substr(out.size() - kFailed.size()), kFailed) << out;
    EXPECT_TRUE(Slurp(image) == before);
    EXPECT_FALSE(FileExists(image + "-journal"));
    EXPECT_EQ(g_journals, c.refusal ? 0 : 1);
    if (c.refusal) {
        EXPECT_EQ(ModificationTime(dir), folderTime);
    }
    const std::string last = t.diagnostics.empty() ? "" : t.diagnostics.back();
    EXPECT_EQ(last.substr(0, c.refusal ? std::strlen(c.refusal) : std::string::npos),
              c.refusal ? std::string(c.refusal) : image + " was put back as it was before the run")
        << t.Diagnostics();
}

INSTANTIATE_TEST_SUITE_P(
    Xp, UndoneRun,
    ::testing::Values(
        FailingRun{"HiveUnreadable", "xp-badhive.vhd", nullptr},
        FailingRun{"KernelMissingFromTheCabinet", "xp-nomember.vhd", nullptr},
        FailingRun{"RegistryTemplateMissing", "xp-cabinets.vhd",
                   [](TestHost& t, const std::string&) {
                       std::remove((t.programDir + "/Dravmont.bin").c_str());
                   },
                   "the registry template Dravmont.bin beside the program cannot be "
                   "read"},
        FailingRun{"ImportRefused", "xp-cabinets.vhd",
                   [](TestHost& t, const std::string&) {
                       // A key outside the loaded hive: the editor refuses the
                       // import.
                       std::ofstream(t.programDir + "/Dravmont.bin", std::ios::binary)
                           << "Windows Registry Editor Version 5.00\r\n\r\n"
                              "[HKEY_LOCAL_MACHINE\\Elsewhere\\ControlSet001\\X]\r\n"
                              "\"A\"=dword:00000001\r\n";
                   }},
        FailingRun{"BootIniTemplateUnreadable", "xp-cabinets.vhd",
                   [](TestHost& t, const std::string&) {
                       std::remove((t.programDir + "/Quessil.bin").c_str());
                   },
                   "the Boot.ini template Quessil.bin beside the program cannot be read (error 2)"},
        // The CD question meets the end of the input.
        FailingRun{"NoDriverSource", "xp-nosource.vhd", nullptr,
                   "this installation has no driver source"},
        FailingRun{"NoWindows", "none.vhd", nullptr, "no Windows installation found"},
        FailingRun{"VolumeFull", "xp-cabinets.vhd",
                   [](TestHost&, const std::string& image) { FillVolume(image); }}),
    [](const ::testing::TestParamInfo<FailingRun>& info) { return std::string(info.param.name); });

// qemu marks the images it has open with locks on single bytes; a run must
// see them (message 132 with code 32) and write nothing, and qemu must see
// the run's lock.
TEST(ImageInUse, QemuHoldingTheImageStopsTheRunAndTheRunStopsQemu) {
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, "xp-cabinets.vhd");
    const std::string before = Slurp(image);
    const std::string inUse =
        ToUtf8(FormatWithCode(FindStringTableText(IDS_OPEN_FAILED), err::kSharingViolation));

    // qemu-nbd serving the image (read-write, as a VM would use it).
    const std::string pid = dir + "/nbd.pid", sock = dir + "/nbd.sock";
    ASSERT_EQ(Shell("qemu-nbd --fork --pid-file=" + Quote(pid) + " -k " + Quote(sock) + " -f vpc " +
                    Quote(image)),
              0);
    std::string out;
    EXPECT_EQ(Shell(kJapanese + Quote(Morlit()) + " " + Quote(image) + " </dev/null", &out), 1);
    EXPECT_NE(out.find(inUse), std::string::npos) << out;
    EXPECT_NE(out.find("in use"), std::string::npos) << out;
    Shell("kill $(cat " + Quote(pid) + ") && while kill -0 $(cat " + Quote(pid) +
          ") 2>/dev/null; do sleep 0.05; done");
    EXPECT_TRUE(Slurp(image) == before);
    EXPECT_FALSE(FileExists(image + "-journal"));

    // qemu-io with the image open read-only still refuses a writer.
    const std::string fifo = dir + "/qemu-io.in";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    FILE* qemu = ::popen(("qemu-io -r -f vpc " + Quote(image) + " < " + Quote(fifo) + " > " +
                          Quote(dir + "/qemu-io.out") + " 2>&1")
                             .c_str(),
                         "r");
    ASSERT_TRUE(qemu);
    const int feed = ::open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(feed, 0);
    // Once it answers a command, it has the image open.
    ASSERT_EQ(::write(feed, "info\n", 5), 5);
    for (int i = 0; i < 200 && Slurp(dir + "/qemu-io.out").find("format name") == std::string::npos;
         ++i)
        ::usleep(20000);
    {
        TestHost t;
        u32 error = 0;
        EXPECT_EQ(t.Attach(image, &error), nullptr);
        EXPECT_EQ(error, err::kSharingViolation);
    }
    ::close(feed);
    ::pclose(qemu);
    EXPECT_TRUE(Slurp(image) == before);

    // While a run holds the image, qemu-img refuses it.
    {
        TestHost t;
        Handle disk = t.Attach(image);
        ASSERT_TRUE(disk);
        EXPECT_NE(Shell("qemu-img info -f vpc " + Quote(image), &out), 0);
        EXPECT_NE(out.find("lock"), std::string::npos) << out;
        t.Detach(disk);
        EXPECT_EQ(Shell("qemu-img info -f vpc " + Quote(image), &out), 0) << out;
    }
}

// The partition starting at `start` (sectors), as this layer reads the disk.
bool PartitionOf(const std::string& image, u64 start, const std::string& out) {
    u32 error = 0;
    std::string reason;
    auto disk = VhdImage::Open(image, false, &error, &reason);
    if (!disk) return false;
    std::string bytes(disk->Size() - start * 512, '\0');
    if (disk->Read(start * 512, &bytes[0], bytes.size()) != 0) return false;
    std::ofstream(out, std::ios::binary) << bytes;
    return true;
}

// A folder the journal cannot be made in: the run fails to open the image
// (132) before anything is written, and says why.
TEST(ImageInUse, AFolderThatCannotHoldTheJournalFailsTheOpen) {
    // An account that may write the image but not its folder: root may write
    // anywhere, so as root the command runs as nobody, who must reach the
    // program, the image and a folder for the run. The caller's TMPDIR may
    // let no one else in, so those folders are made in /tmp.
    const bool asNobody = ::geteuid() == 0;
    const std::string as = asNobody ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    std::string base = TestDir();
    if (asNobody) {
        base = MakeShortTempDir("mlj", "/tmp");
        if (base.empty() || ::chmod(base.c_str(), 0755) != 0)
            GTEST_SKIP() << "cannot make a folder in /tmp that another account may enter";
        if (Shell(as + "test -x " + Quote(Morlit())) != 0) {
            Shell("rm -rf " + Quote(base));
            GTEST_SKIP() << "the account 65534 cannot run " << Morlit();
        }
    }
    const std::string dir = base + "/locked", runs = base + "/runs";
    ASSERT_EQ(Shell("mkdir -p " + Quote(dir) + " " + Quote(runs)), 0);
    ASSERT_EQ(::chmod(runs.c_str(), 01777), 0);
    const std::string image = CopyTarget(dir, "xp-cabinets.vhd");
    const std::string before = Slurp(image);
    ASSERT_EQ(::chmod(image.c_str(), 0666), 0);
    ASSERT_EQ(::chmod(dir.c_str(), asNobody ? 0755 : 0555), 0);
    std::string out;
    EXPECT_EQ(Shell(as + "env TMPDIR=" + Quote(runs) + " " + kJapanese + Quote(Morlit()) + " " +
                        Quote(image) + " </dev/null",
                    &out),
              1);
    ::chmod(dir.c_str(), 0755);
    EXPECT_NE(
        out.find(ToUtf8(FormatWithCode(FindStringTableText(IDS_OPEN_FAILED), err::kAccessDenied))),
        std::string::npos)
        << out;
    EXPECT_NE(out.find("cannot hold the journal"), std::string::npos) << out;
    EXPECT_TRUE(Slurp(image) == before);
    EXPECT_FALSE(FileExists(image + "-journal"));
    if (asNobody && !HasFailure()) Shell("rm -rf " + Quote(base));
}

int g_paused[2] = {-1, -1};  // to the test: "holding"; from the test: "go on"

int PauseAtFirstWrite(const IoEvent& e) {
    if (e.step != IoStep::kImageWrite || g_paused[0] < 0) return 0;
    char byte = 'h';
    (void)!::write(g_paused[0], &byte, 1);
    (void)!::read(g_paused[1], &byte, 1);
    g_paused[0] = -1;
    return 0;
}

// Two runs on two differencing images of one parent: while one is in the
// middle of its run (both images and the parent open), the other runs from
// start to end. Both adjust their own image; the parent stays as it was.
TEST(ImageInUse, TwoRunsSharingAParentBothSucceed) {
    const std::string dir = TestDir();
    const std::string parent = CopyTarget(dir, "xp-cabinets.vhd");
    const std::string tool =
        "python3 " + Quote(std::string(MORLIT_SOURCE_DIR) + "/tools/vhdtool.py");
    for (const char* child : {"a.vhd", "b.vhd"}) {
        ASSERT_EQ(Shell(tool + " diff " + Quote(parent) + " " + Quote(dir + "/" + child)), 0);
    }
    const std::string before = Slurp(parent);
    int holding[2], go[2];
    ASSERT_EQ(::pipe(holding), 0);
    ASSERT_EQ(::pipe(go), 0);
    const pid_t first = ::fork();
    ASSERT_GE(first, 0);
    if (first == 0) {
        g_paused[0] = holding[1];
        g_paused[1] = go[0];
        SetIoHook(PauseAtFirstWrite);
        TestHost t;
        const std::string out = RunStart(t, dir + "/a.vhd");
        _exit(out.find(kFailed) == std::string::npos ? 0 : 1);
    }
    char byte = 0;
    ASSERT_EQ(::read(holding[0], &byte, 1), 1);
    std::string out;
    EXPECT_EQ(Shell(Quote(Morlit()) + " " + Quote(dir + "/b.vhd") + " </dev/null", &out), 0) << out;
    ASSERT_EQ(::write(go[1], "g", 1), 1);
    int status = 0;
    ::waitpid(first, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (const char* child : {"a", "b"}) {
        SCOPED_TRACE(child);
        // qemu reads a differencing image without its parent: read it here.
        const std::string part = dir + "/" + child + ".part";
        ASSERT_TRUE(PartitionOf(dir + "/" + child + ".vhd", 63, part));
        EXPECT_EQ(Shell("ntfsfix -n " + Quote(part), &out), 0) << out;
        std::string boot;
        EXPECT_EQ(Shell("ntfscat " + Quote(part) + " Boot.ini", &boot), 0);
        EXPECT_EQ(boot, Slurp(std::string(MORLIT_SOURCE_DIR) + "/templates/Quessil.bin"));
    }
    EXPECT_TRUE(Slurp(parent) == before);
    EXPECT_FALSE(FileExists(parent + "-journal"));
}

}  // namespace
}  // namespace morlit::posix::test
