// The expand stand-in on real cabinet and SZDD files made by
// tools/make-driver-sources.sh, checked against cabextract, and the driver
// replacement run in-process through it.
#include "platform/posix/programs/expand_tool.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "tests/support/script_host.h"
#include "tests/posix/programs/expand_fixture.h"
#include "ui/MorlitDlg.h"

namespace morlit::posix {
namespace {

namespace fs = std::filesystem;

// What cabextract, an independent decoder, makes of one member.
std::string Cabextract(const fs::path& cabinet, const std::string& member) {
    const std::string command =
        "cabextract -q -p -F " + Quote(member) + " " + Quote(cabinet.string()) + " 2>/dev/null";
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buffer[65536];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
        pclose(p);
    }
    return out;
}

// Every regular file below `root` with its content.
std::map<std::string, std::string> Tree(const fs::path& root) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (e.is_regular_file()) out[fs::relative(e.path(), root).string()] = Slurp(e.path());
    }
    return out;
}

class ExpandToolTest : public ExpandFixture {
  protected:
    // The sources are made once per version of the scripts; test processes
    // that run side by side each make their own copy and the first to finish
    // puts it in place.
    static void SetUpTestSuite() {
        const std::string tools = std::string(MORLIT_SOURCE_DIR) + "/tools/";
        const std::string scripts =
            Slurp(tools + "make-driver-sources.sh") + Slurp(tools + "make_cab.py");
        const fs::path base = fs::path(MORLIT_BINARY_DIR) / "test-data";
        sources_ = base / ("driver-sources-" + std::to_string(std::hash<std::string>()(scripts)));
        if (fs::exists(sources_ / "paths.cab")) return;
        fs::create_directories(base);
        const fs::path mine = sources_.string() + ".tmp" + std::to_string(getpid());
        const std::string command =
            Quote(tools + "make-driver-sources.sh") + " " + Quote(mine.string()) + " >/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0);
        std::error_code ignored;
        fs::rename(mine, sources_, ignored);
        fs::remove_all(mine, ignored);
        ASSERT_TRUE(fs::exists(sources_ / "paths.cab"));
    }

    void SetUp() override {
        ExpandFixture::SetUp();
        fs::copy(sources_ / "volume", root_ / "D", fs::copy_options::recursive);
        fs::copy(sources_ / "paths.cab", root_ / "D" / "paths.cab");
        files_.Map(L'D', (root_ / "D").string());
    }

    u32 Expand(const std::wstring& parameters) {
        reason_.clear();
        return RunExpandTool(files_, parameters, &reason_);
    }
    fs::path Host(const std::string& relative) const { return root_ / "D" / relative; }
    std::string Content(const std::string& name) const {
        return Slurp(sources_ / "content" / name);
    }
    std::string OnVolume(const std::string& relative) const { return Slurp(Host(relative)); }

    static fs::path sources_;
};

fs::path ExpandToolTest::sources_;

const char* const kDrivers[] = {"hal.dll", "ntoskrnl.exe", "intelide.sys"};

TEST(SplitCommandLineTest, FollowsTheWindowsRules) {
    using V = std::vector<std::wstring>;
    EXPECT_EQ(SplitCommandLine(LR"("D:\Driver Cache\sp3.cab" -F:hal.dll "D:\system32")"),
              (V{LR"(D:\Driver Cache\sp3.cab)", L"-F:hal.dll", LR"(D:\system32)"}));
    EXPECT_EQ(SplitCommandLine(L"  a\tb  "), (V{L"a", L"b"}));
    EXPECT_EQ(SplitCommandLine(L""), V{});
    EXPECT_EQ(SplitCommandLine(L"\"\""), V{L""});
    // Backslashes are literal unless a quote follows them.
    EXPECT_EQ(SplitCommandLine(LR"(a\\b "c:\dir\\" x)"), (V{LR"(a\\b)", LR"(c:\dir\)", L"x"}));
    EXPECT_EQ(SplitCommandLine(LR"(a\"b "c\\\"d")"), (V{LR"(a"b)", LR"(c\"d)"}));
    // A quoted trailing backslash swallows the closing quote.
    EXPECT_EQ(SplitCommandLine(LR"("D:\i386\" "x")"), (V{LR"(D:\i386" x)"}));
    // Quotes in the middle of a word group, and a tripled quote is literal.
    EXPECT_EQ(SplitCommandLine(LR"(ab"c d"e """x""")"), (V{L"abc de", L"\"x\""}));
}

TEST_F(ExpandToolTest, EachCabinetFormMatchesCabextract) {
    for (const char* cab : {"sp3.cab", "sp2.cab", "sp1.cab"}) {  // MSZIP, stored, LZX
        const fs::path cabinet = Host(std::string("Windows/Driver Cache/i386/") + cab);
        for (const char* driver : kDrivers) {
            SCOPED_TRACE(std::string(cab) + " " + driver);
            const std::wstring folder = std::string(driver) == "intelide.sys"
                                            ? L"D:\\Windows\\system32\\drivers"
                                            : L"D:\\Windows\\system32";
            EXPECT_EQ(Expand(L"\"D:\\Windows\\Driver Cache\\i386\\" + FromUtf8(cab) + L"\" -F:" +
                             FromUtf8(driver) + L" \"" + folder + L"\""),
                      0u)
                << reason_;
            const std::string relative = std::string(driver) == "intelide.sys"
                                             ? "Windows/system32/drivers/intelide.sys"
                                             : std::string("Windows/system32/") + driver;
            const std::string expected = Cabextract(cabinet, driver);
            ASSERT_FALSE(expected.empty());
            EXPECT_EQ(OnVolume(relative), expected);
            EXPECT_EQ(OnVolume(relative), Content(driver));
        }
    }
}

TEST_F(ExpandToolTest, SingleCompressedFiles) {
    // One-member cabinets (MSZIP and LZX) and an SZDD file.
    const struct {
        const wchar_t* parameters;
        const char* destination;
        const char* original;
    } cases[] = {
        {LR"("D:\Windows\i386\hal.dl_" "D:\Windows\system32\hal.dll")", "Windows/system32/hal.dll",
         "hal.dll"},
        {LR"("D:\Windows\i386\ntoskrnl.ex_" "D:\Windows\system32\ntoskrnl.exe")",
         "Windows/system32/ntoskrnl.exe", "ntoskrnl.exe"},
        {LR"("D:\Windows\i386\intelide.sy_" "D:\Windows\system32\Drivers\intelide.sys")",
         "Windows/system32/drivers/intelide.sys", "intelide.sys"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.original);
        EXPECT_EQ(Expand(c.parameters), 0u) << reason_;
        EXPECT_EQ(OnVolume(c.destination), Content(c.original));
    }
    EXPECT_EQ(OnVolume("Windows/system32/hal.dll"),
              Cabextract(Host("Windows/i386/hal.dl_"), "hal.dll"));
    // The existing file was written in place, not created anew beside it.
    EXPECT_FALSE(fs::exists(Host("Windows/system32/Drivers")));
}

TEST_F(ExpandToolTest, DamagedCabinetsLeaveTheOldFileAndFail) {
    const fs::path sp3 = Host("Windows/Driver Cache/i386/sp3.cab");
    const std::string good = Slurp(sp3);
    const std::wstring cabStep =
        LR"("D:\Windows\Driver Cache\i386\sp3.cab" -F:ntoskrnl.exe "D:\Windows\system32")";
    const std::wstring fileStep = LR"("D:\Windows\i386\hal.dl_" "D:\Windows\system32\hal.dll")";
    const std::string halCab = Slurp(Host("Windows/i386/hal.dl_"));

    struct Damage {
        const char* what;
        std::string cabinet;
        std::string single;
    };
    std::string flipped = good;
    flipped[flipped.size() - 100] ^= 0x55;  // in the last data block
    std::string flippedHal = halCab;
    flippedHal[flippedHal.size() - 50] ^= 0x55;
    std::string badHeader = good;
    badHeader[0] = 'X';
    const Damage damages[] = {
        {"truncated", good.substr(0, good.size() / 2), halCab.substr(0, halCab.size() - 200)},
        {"header only", good.substr(0, 60), halCab.substr(0, 40)},
        {"flipped byte", flipped, flippedHal},
        {"not a cabinet", badHeader, "plain text, not compressed\r\n"},
        {"empty", "", ""},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.what);
        Spit(sp3, d.cabinet);
        Spit(Host("Windows/i386/hal.dl_"), d.single);
        EXPECT_NE(Expand(cabStep), 0u);
        EXPECT_FALSE(reason_.empty());
        EXPECT_NE(Expand(fileStep), 0u);
        EXPECT_FALSE(reason_.empty());
        EXPECT_EQ(OnVolume("Windows/system32/ntoskrnl.exe"), "OLD ntoskrnl.exe\r\n");
        EXPECT_EQ(OnVolume("Windows/system32/hal.dll"), "OLD hal.dll\r\n");
    }
}

TEST_F(ExpandToolTest, MissingPiecesFailWithTheirCodes) {
    const auto before = Tree(root_);
    EXPECT_EQ(Expand(LR"("D:\Windows\Driver Cache\i386\sp3.cab" -F:atapi.sys "D:\Windows")"),
              err::kFileNotFound);
    EXPECT_NE(reason_.find("atapi.sys"), std::string::npos);
    EXPECT_EQ(Expand(LR"("D:\Windows\Driver Cache\i386\sp9.cab" -F:hal.dll "D:\Windows")"),
              err::kFileNotFound);
    EXPECT_EQ(Expand(LR"("D:\Windows\i386\nothere.dl_" "D:\Windows\system32\hal.dll")"),
              err::kFileNotFound);
    EXPECT_EQ(Expand(LR"("D:\Windows\Driver Cache\i386\sp3.cab" -F:hal.dll "D:\Windows\nope")"),
              err::kPathNotFound);
    EXPECT_NE(Expand(LR"("D:\Windows\i386\hal.dl_" "D:\Windows\nope\hal.dll")"), 0u);
    EXPECT_NE(Expand(LR"("D:\Windows\i386\hal.dl_" "D:\Windows\system32")"), 0u);
    // A cabinet of several members is no single compressed file.
    EXPECT_EQ(Expand(LR"("D:\Windows\Driver Cache\i386\sp3.cab" "D:\Windows\system32\hal.dll")"),
              err::kInvalidData);
    EXPECT_EQ(Tree(root_), before);
}

TEST_F(ExpandToolTest, MemberNamesWithFolderPartsAreRefused) {
    const auto before = Tree(root_);
    for (const wchar_t* name : {L"hal.dll", L"ntoskrnl.exe", L"intelide.sys"}) {
        SCOPED_TRACE(test::Narrow(std::wstring(name)));
        EXPECT_EQ(Expand(LR"("D:\paths.cab" -F:)" + std::wstring(name) +
                         LR"( "D:\Windows\system32\drivers")"),
                  err::kInvalidName);
    }
    EXPECT_EQ(Tree(root_), before);
}

TEST_F(ExpandToolTest, OnlyTheTwoCommandFormsAreTaken) {
    const auto before = Tree(root_);
    const wchar_t* bad[] = {
        L"",
        LR"("D:\Windows\i386\hal.dl_")",
        LR"("D:\Windows\i386\hal.dl_" "D:\Windows\system32\hal.dll" "x")",
        LR"("D:\Windows\Driver Cache\i386\sp3.cab" -F:hal.dll)",
        LR"("D:\Windows\Driver Cache\i386\sp3.cab" -F: "D:\Windows\system32")",
        LR"("D:\Windows\Driver Cache\i386\sp3.cab" -F:*.dll "D:\Windows\system32")",
        LR"("D:\Windows\Driver Cache\i386\sp3.cab" -F:..\hal.dll "D:\Windows\system32")",
        LR"("D:\Windows\Driver Cache\i386\sp3.cab" -F:.. "D:\Windows\system32")",
        LR"("D:\Windows\Driver Cache\i386\sp3.cab" -R "D:\Windows\system32")",
        LR"(-F:hal.dll "D:\Windows\Driver Cache\i386\sp3.cab" "D:\Windows\system32")",
        LR"("D:\Windows\i386\hal.dl_" -r)",
        LR"("D:\Windows\Driver Cache\i386\sp3.cab" -F:hal.dll "D:\Windows\system32" x)",
    };
    for (const wchar_t* parameters : bad) {
        SCOPED_TRACE(test::Narrow(std::wstring(parameters)));
        EXPECT_EQ(Expand(parameters), err::kInvalidParameter);
        EXPECT_FALSE(reason_.empty());
    }
    EXPECT_EQ(Tree(root_), before);
}

TEST_F(ExpandToolTest, ARunDecodesTheSolidFolderOnce) {
    files_.SetSettleSeconds(0);
    const std::wstring cab = LR"("D:\Windows\Driver Cache\i386\sp3.cab")";
    ASSERT_EQ(Expand(cab + LR"( -F:hal.dll "D:\Windows\system32")"), 0u) << reason_;
    ASSERT_EQ(Expand(cab + LR"( -F:ntoskrnl.exe "D:\Windows\system32")"), 0u) << reason_;
    ASSERT_EQ(Expand(cab + LR"( -F:intelide.sys "D:\Windows\system32\drivers")"), 0u) << reason_;
    ExpandCacheStats stats = GetExpandCacheStats();
    EXPECT_EQ(stats.cabinetReads, 1u);
    EXPECT_EQ(stats.folderRestarts, 1u);
    EXPECT_EQ(stats.retainedHits, 1u);  // intelide.sys lies between the other two
    u64 folderSize = 0;
    for (const auto& e : fs::directory_iterator(sources_ / "content")) folderSize += e.file_size();
    EXPECT_EQ(stats.decodedBytes, folderSize);  // the members are last: one whole pass
    for (const char* d : kDrivers) {
        const std::string relative = std::string(d) == "intelide.sys"
                                         ? "Windows/system32/drivers/intelide.sys"
                                         : std::string("Windows/system32/") + d;
        EXPECT_EQ(OnVolume(relative), Content(d));
    }

    // Rewritten content gets a new stamp and is read again, even when the
    // size stays the same.
    const fs::path sp3 = Host("Windows/Driver Cache/i386/sp3.cab");
    std::string other = Slurp(Host("Windows/Driver Cache/i386/sp3.cab"));
    other[other.size() - 100] ^= 0x55;
    Spit(sp3, other);
    struct utimbuf old {};
    old.actime = old.modtime = 1000000000;
    utime(sp3.c_str(), &old);  // even with an old modification time
    EXPECT_NE(Expand(cab + LR"( -F:ntoskrnl.exe "D:\Windows")"), 0u);
    EXPECT_EQ(GetExpandCacheStats().cabinetReads, 2u);
    EXPECT_FALSE(fs::exists(Host("Windows/ntoskrnl.exe")));
}

TEST_F(ExpandToolTest, AFreshlyChangedCabinetIsNotKept) {
    // Just written by the fixture: its time stamps cannot vouch for it yet.
    const std::wstring cab = LR"("D:\Windows\Driver Cache\i386\sp1.cab")";
    for (const char* d : {"hal.dll", "ntoskrnl.exe"}) {
        ASSERT_EQ(Expand(cab + L" -F:" + FromUtf8(d) + LR"( "D:\Windows\system32")"), 0u);
    }
    EXPECT_EQ(GetExpandCacheStats().cabinetReads, 2u);
    EXPECT_EQ(OnVolume("Windows/system32/ntoskrnl.exe"), Content("ntoskrnl.exe"));
}

// Drive D: with its cabinet reads shaped: ranges cut short at odd sizes (so
// decoding crosses many window edges), no ranges at all, failing reads, or a
// stamp that moves while the cabinet is read.
class ShapedFiles : public FolderFileAccess {
  public:
    u32 ReadFile(const std::wstring& path, std::string* data) override {
        ++wholeReads;
        return FolderFileAccess::ReadFile(path, data);
    }
    u32 ReadRange(const std::wstring& path, u64 offset, size_t length, std::string* data) override {
        if (!ranges) return err::kNotSupported;
        if (rangesLeft >= 0 && rangesLeft-- == 0) return 30;  // ERROR_READ_FAULT
        ++rangeReads;
        return FolderFileAccess::ReadRange(path, offset, std::min<size_t>(length, 4093), data);
    }
    bool FileStamp(const std::wstring& path, std::string* stamp) override {
        if (!FolderFileAccess::FileStamp(path, stamp)) return false;
        if (moving) *stamp += std::to_string(++moves);
        return true;
    }
    bool ranges = true;
    int rangesLeft = -1;  // reads before they fail; -1: never
    bool moving = false;
    int moves = 0;
    int wholeReads = 0;
    int rangeReads = 0;
};

class ShapedReadsTest : public ExpandToolTest {
  protected:
    void SetUp() override {
        ExpandToolTest::SetUp();
        shaped.Map(L'D', (root_ / "D").string());
        shaped.SetSettleSeconds(0);
    }
    u32 ExpandShaped(const std::string& cab, const char* driver) {
        reason_.clear();
        return RunExpandTool(shaped,
                             L"\"D:\\Windows\\Driver Cache\\i386\\" + FromUtf8(cab) + L"\" -F:" +
                                 FromUtf8(driver) + L" \"D:\\Windows\"",
                             &reason_);
    }
    ShapedFiles shaped;
};

TEST_F(ShapedReadsTest, CabinetsReadInPiecesOrWholeDecodeTheSame) {
    for (bool ranges : {true, false}) {
        for (const char* cab : {"sp3.cab", "sp2.cab", "sp1.cab"}) {  // MSZIP, stored, LZX
            SCOPED_TRACE(std::string(cab) + (ranges ? " in pieces" : " whole"));
            ClearExpandCache();
            shaped.ranges = ranges;
            shaped.wholeReads = shaped.rangeReads = 0;
            for (const char* driver : kDrivers) {
                ASSERT_EQ(ExpandShaped(cab, driver), 0u) << reason_;
                EXPECT_EQ(OnVolume(std::string("Windows/") + driver), Content(driver));
            }
            EXPECT_EQ(GetExpandCacheStats().cabinetReads, 1u);
            EXPECT_EQ(GetExpandCacheStats().folderRestarts, 1u);
            EXPECT_EQ(shaped.wholeReads, ranges ? 0 : 1);
            if (ranges) {
                EXPECT_GT(shaped.rangeReads, 10);
            }
        }
    }
}

TEST_F(ShapedReadsTest, ACabinetThatFailsOrChangesWhileReadFailsTheStep) {
    shaped.rangesLeft = 20;
    EXPECT_EQ(ExpandShaped("sp3.cab", "ntoskrnl.exe"), 30u);
    EXPECT_NE(reason_.find("cannot read"), std::string::npos) << reason_;
    EXPECT_FALSE(fs::exists(Host("Windows/ntoskrnl.exe")));
    // Nothing of the failed read is kept: the next run reads afresh.
    shaped.rangesLeft = -1;
    ASSERT_EQ(ExpandShaped("sp3.cab", "ntoskrnl.exe"), 0u) << reason_;
    EXPECT_EQ(GetExpandCacheStats().cabinetReads, 2u);
    EXPECT_EQ(OnVolume("Windows/ntoskrnl.exe"), Content("ntoskrnl.exe"));

    // A stamp that moves while the cabinet is read: what was read may mix
    // two versions of the file.
    ClearExpandCache();
    shaped.moving = true;
    EXPECT_EQ(ExpandShaped("sp1.cab", "hal.dll"), err::kInvalidData);
    EXPECT_NE(reason_.find("changed while"), std::string::npos) << reason_;
    EXPECT_FALSE(fs::exists(Host("Windows/hal.dll")));
    EXPECT_EQ(ExpandShaped("sp1.cab", "intelide.sys"), err::kInvalidData);
    EXPECT_EQ(GetExpandCacheStats().cabinetReads, 2u);
}

TEST_F(ShapedReadsTest, ReleasingKeepsTheCountsAndDropsTheCabinet) {
    ASSERT_EQ(ExpandShaped("sp3.cab", "hal.dll"), 0u) << reason_;
    ASSERT_EQ(ExpandShaped("sp3.cab", "intelide.sys"), 0u) << reason_;
    EXPECT_EQ(GetExpandCacheStats().cabinetReads, 1u);
    ReleaseExpandCache();
    const ExpandCacheStats kept = GetExpandCacheStats();
    EXPECT_EQ(kept.cabinetReads, 1u);
    EXPECT_GT(kept.decodedBytes, 0u);
    ASSERT_EQ(ExpandShaped("sp3.cab", "ntoskrnl.exe"), 0u) << reason_;
    EXPECT_EQ(GetExpandCacheStats().cabinetReads, 2u);
    EXPECT_EQ(GetExpandCacheStats().folderRestarts, kept.folderRestarts + 1);
    EXPECT_EQ(OnVolume("Windows/ntoskrnl.exe"), Content("ntoskrnl.exe"));
}

TEST(FolderReadRange, ReadsWhatThereIs) {
    const fs::path dir = fs::path(MORLIT_BINARY_DIR) / "test-work" / "FolderReadRange";
    fs::remove_all(dir);
    fs::create_directories(dir / "sub");
    Spit(dir / "File.bin", "0123456789");
    FolderFileAccess files;
    files.Map(L'E', dir.string());
    std::string data = "left over";
    EXPECT_EQ(files.ReadRange(L"E:\\file.BIN", 2, 3, &data), 0u);
    EXPECT_EQ(data, "234");
    EXPECT_EQ(files.ReadRange(L"E:\\file.bin", 8, 100, &data), 0u);
    EXPECT_EQ(data, "89");
    EXPECT_EQ(files.ReadRange(L"E:\\file.bin", 10, 5, &data), 0u);
    EXPECT_EQ(data, "");
    EXPECT_EQ(files.ReadRange(L"E:\\file.bin", 1000, 5, &data), 0u);
    EXPECT_EQ(data, "");
    EXPECT_EQ(files.ReadRange(L"E:\\missing", 0, 5, &data), err::kFileNotFound);
    EXPECT_EQ(files.ReadRange(L"Q:\\file.bin", 0, 5, &data), err::kFileNotFound);
    EXPECT_EQ(files.ReadRange(L"E:\\sub", 0, 5, &data), err::kAccessDenied);
    fs::remove_all(dir);
}

// The driver replacement of the run, with its expand started in-process.
class ExpandDriversTest : public ExpandToolTest {
  protected:
    ExpandDriversTest() : dlg(sh.host) {
        sh.onProcess = [this](const ShellExecuteInfo& info) -> u32 {
            if (info.file != L"expand") return 1;
            return RunExpandTool(files_, info.parameters, &reason_);
        };
    }
    void ExpectDrivers(const char* hal, const char* kernel, const char* ide) {
        EXPECT_EQ(OnVolume("Windows/system32/hal.dll"), hal ? Content(hal) : "OLD hal.dll\r\n");
        EXPECT_EQ(OnVolume("Windows/system32/ntoskrnl.exe"),
                  kernel ? Content(kernel) : "OLD ntoskrnl.exe\r\n");
        EXPECT_EQ(OnVolume("Windows/system32/drivers/intelide.sys"),
                  ide ? Content(ide) : "OLD intelide.sys\r\n");
    }
    test::ScriptHost sh;
    CMorlitDlg dlg;
};

TEST_F(ExpandDriversTest, FromEachCabinet) {
    for (const wchar_t* cab : {L"sp1.cab", L"sp2.cab", L"sp3.cab"}) {
        SCOPED_TRACE(test::Narrow(std::wstring(cab)));
        fs::copy(sources_ / "volume" / "Windows" / "system32", Host("Windows/system32"),
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        EXPECT_EQ(
            dlg.ExpandDriversFromCabinet(L'D', L"D:\\Windows",
                                         L"D:\\Windows\\Driver Cache\\i386\\" + std::wstring(cab)),
            1)
            << reason_;
        ExpectDrivers("hal.dll", "ntoskrnl.exe", "intelide.sys");
    }
}

TEST_F(ExpandDriversTest, FromTheI386Folder) {
    EXPECT_EQ(dlg.ExpandDriversFromFolder(L'D', L"D:\\Windows", L"D:\\Windows\\i386"), 1)
        << reason_;
    ExpectDrivers("hal.dll", "ntoskrnl.exe", "intelide.sys");
}

TEST_F(ExpandDriversTest, AFailingStepStopsTheRest) {
    // The kernel's source is missing: the HAL is done, the rest untouched.
    fs::remove(Host("Windows/i386/ntoskrnl.ex_"));
    EXPECT_EQ(dlg.ExpandDriversFromFolder(L'D', L"D:\\Windows", L"D:\\Windows\\i386"), 0);
    ExpectDrivers("hal.dll", nullptr, nullptr);
    EXPECT_EQ(sh.processRuns.size(), 2u);

    // A cabinet whose names carry folder parts: nothing is written.
    fs::copy(sources_ / "volume" / "Windows" / "system32", Host("Windows/system32"),
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    EXPECT_EQ(dlg.ExpandDriversFromCabinet(L'D', L"D:\\Windows", L"D:\\paths.cab"), 0);
    ExpectDrivers(nullptr, nullptr, nullptr);

    // A truncated cabinet: the HAL comes before the cut, the kernel not.
    const fs::path sp3 = Host("Windows/Driver Cache/i386/sp3.cab");
    const std::string good = Slurp(sp3);
    Spit(sp3, good.substr(0, good.size() - 3000));
    EXPECT_EQ(dlg.ExpandDriversFromCabinet(L'D', L"D:\\Windows",
                                           L"D:\\Windows\\Driver Cache\\i386\\sp3.cab"),
              0);
    ExpectDrivers("hal.dll", nullptr, nullptr);
}

}  // namespace
}  // namespace morlit::posix
