// What the volume holds, where the drivers come from, the CD search, and
// which adjustments run.
#include <gtest/gtest.h>

#include "run/TargetDiscovery.h"
#include "tests/support/script_host.h"
#include "tests/unit/run_fixture.h"
#include "ui/texts.h"

namespace morlit::test {
namespace {

using Kind = TargetInfo::SourceKind;

class DiscoveryTest : public ::testing::Test {
  protected:
    // Runs discovery on volume E: with a fresh probe object.
    bool Discover() {
        auto find = sh.NewFileFind();
        return DiscoverTarget(sh.host, *find, L'E', &target);
    }
    std::vector<std::string> Probes() const { return sh.CallsStartingWith("FindFile("); }
    // An XP installation CD in drive `letter`.
    void AddCd(wchar_t letter, bool win51 = true, bool i386 = true) {
        const std::wstring root = std::wstring(1, letter) + L":\\";
        if (win51) sh.AddFile(root + L"WIN51", "");
        if (i386) sh.AddDirectory(root + L"I386");
    }
    std::vector<u32> MessageIds() const {
        std::vector<u32> ids;
        for (const auto& m : sh.messages) ids.push_back(m.id);
        return ids;
    }

    ScriptHost sh;
    TargetInfo target;
};

TEST_F(DiscoveryTest, BootManagerNeedsBothFilesAndWinsOverAnXpInstallation) {
    // Case differs from the probe patterns: the names still match.
    sh.AddFile(L"E:\\BOOTMGR", "");
    sh.AddFile(L"e:\\boot\\bcd", "");
    sh.AddFile(L"E:\\Windows\\Driver Cache\\i386\\sp2.cab", "");
    ASSERT_TRUE(Discover());
    EXPECT_EQ(Probes(),
              (std::vector<std::string>{"FindFile(E:\\bootmgr)", "FindFile(E:\\Boot\\BCD)"}));
    EXPECT_EQ(target.letter, L'E');
    // Not probed: a boot-manager volume without \Windows still gets it.
    EXPECT_EQ(target.windowsDirectory, L"E:\\Windows");
    EXPECT_EQ(target.sourceKind, Kind::kNone);
    EXPECT_TRUE(target.driverSource.empty());
    EXPECT_TRUE(sh.messages.empty());
}

// A boot volume without a Windows of its own ("System Reserved") hands the
// registry adjustment to the first later volume of the disk holding a hive.
TEST_F(DiscoveryTest, BootManagerVolumeWithoutWindowsUsesTheFirstVolumeWithAHive) {
    struct Case {
        const char* name;
        std::vector<const wchar_t*> hives;  // volumes holding Windows\System32\config\system
        const wchar_t* others;
        wchar_t expected;
    };
    const Case cases[] = {
        {"own Windows first", {L"E", L"G"}, L"FG", L'E'},
        {"no volume with a hive", {}, L"FG", L'E'},
        {"first candidate in list order", {L"H", L"G"}, L"FGH", L'G'},
        {"hive without the whole path elsewhere", {L"H"}, L"FGH", L'H'},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sh.files.clear();
        sh.calls.clear();
        sh.AddFile(L"E:\\bootmgr", "");
        sh.AddFile(L"E:\\Boot\\BCD", "");
        // Another volume's own boot files change nothing.
        sh.AddFile(L"F:\\bootmgr", "");
        sh.AddDirectory(L"F:\\Windows\\System32\\config");
        for (const wchar_t* v : c.hives) {
            sh.AddFile(std::wstring(v) + L":\\WINDOWS\\system32\\CONFIG\\SYSTEM", "hive");
        }
        auto find = sh.NewFileFind();
        ASSERT_TRUE(DiscoverTarget(sh.host, *find, L'E', &target, c.others));
        EXPECT_EQ(target.letter, c.expected);
        EXPECT_EQ(target.windowsDirectory, std::wstring(1, c.expected) + L":\\Windows");
        EXPECT_EQ(target.sourceKind, Kind::kNone);
        EXPECT_TRUE(sh.messages.empty());
    }
}

TEST_F(DiscoveryTest, BootmgrWithoutStoreIsSearchedAsAnXpTarget) {
    sh.AddFile(L"E:\\bootmgr", "");
    sh.AddFile(L"E:\\Windows\\Driver Cache\\i386\\sp3.cab", "");
    ASSERT_TRUE(Discover());
    EXPECT_EQ(target.sourceKind, Kind::kCabinet);
    EXPECT_EQ(target.driverSource, L"E:\\Windows\\Driver Cache\\i386\\sp3.cab");
    const auto probes = Probes();
    EXPECT_EQ(probes[1], "FindFile(E:\\Boot\\BCD)");
    EXPECT_EQ(probes[2], "FindFile(E:\\Windows\\Driver Cache\\i386\\sp0.cab)");

    // Without bootmgr the store is not even looked at.
    sh.calls.clear();
    sh.files.clear();
    sh.AddFile(L"E:\\Boot\\BCD", "");
    sh.AddDirectory(L"E:\\Windows");
    sh.answers = {kIdCancel};
    Discover();
    EXPECT_FALSE(sh.Called("FindFile(E:\\Boot\\BCD)"));
}

struct CabinetCase {
    const char* name;
    std::vector<const wchar_t*> files;
    const wchar_t* source;
    const wchar_t* windowsDirectory;
};

class CabinetOrderTest : public DiscoveryTest, public ::testing::WithParamInterface<CabinetCase> {};

TEST_P(CabinetOrderTest, LowestNumberFirstThenWindowsBeforeWinnt) {
    for (const wchar_t* f : GetParam().files) sh.AddFile(f, "cab");
    ASSERT_TRUE(Discover());
    EXPECT_EQ(target.sourceKind, Kind::kCabinet);
    EXPECT_EQ(target.driverSource, GetParam().source);
    EXPECT_EQ(target.windowsDirectory, GetParam().windowsDirectory);
    EXPECT_EQ(target.letter, L'E');
    EXPECT_TRUE(sh.messages.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CabinetOrderTest,
    ::testing::Values(CabinetCase{"Sp2BeforeSp3",
                                  {L"E:\\Windows\\Driver Cache\\i386\\sp3.cab",
                                   L"E:\\Windows\\Driver Cache\\i386\\sp2.cab"},
                                  L"E:\\Windows\\Driver Cache\\i386\\sp2.cab",
                                  L"E:\\Windows"},
                      CabinetCase{"WindowsSp2BeforeWinntSp3",
                                  {L"E:\\WINNT\\Driver Cache\\i386\\sp3.cab",
                                   L"E:\\Windows\\Driver Cache\\i386\\sp2.cab"},
                                  L"E:\\Windows\\Driver Cache\\i386\\sp2.cab",
                                  L"E:\\Windows"},
                      CabinetCase{"WinntSp1BeforeWindowsSp2",
                                  {L"E:\\WINNT\\Driver Cache\\i386\\sp1.cab",
                                   L"E:\\Windows\\Driver Cache\\i386\\sp2.cab"},
                                  L"E:\\WINNT\\Driver Cache\\i386\\sp1.cab",
                                  L"E:\\WINNT"},
                      CabinetCase{"EqualNumbersWindowsFirst",
                                  {L"E:\\WINNT\\Driver Cache\\i386\\sp4.cab",
                                   L"E:\\WINDOWS\\DRIVER CACHE\\I386\\SP4.CAB"},
                                  L"E:\\Windows\\Driver Cache\\i386\\sp4.cab",
                                  L"E:\\Windows"},
                      CabinetCase{"Sp0AndSp9AreProbed",
                                  {L"E:\\WINNT\\Driver Cache\\i386\\sp9.cab",
                                   L"E:\\Windows\\Driver Cache\\i386\\sp10.cab"},
                                  L"E:\\WINNT\\Driver Cache\\i386\\sp9.cab",
                                  L"E:\\WINNT"},
                      CabinetCase{"CabinetBeforeI386Folder",
                                  {L"E:\\Windows\\i386", L"E:\\WINNT\\Driver Cache\\i386\\sp4.cab"},
                                  L"E:\\WINNT\\Driver Cache\\i386\\sp4.cab",
                                  L"E:\\WINNT"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DiscoveryTest, TwentyCabinetProbesInOrderThenTheI386Folders) {
    sh.AddFile(L"E:\\Windows\\Driver Cache\\i386\\sp10.cab", "never found");
    sh.AddDirectory(L"E:\\WINNT\\i386");
    sh.AddDirectory(L"E:\\WINNT");
    ASSERT_TRUE(Discover());
    EXPECT_EQ(target.sourceKind, Kind::kFolder);
    EXPECT_EQ(target.driverSource, L"E:\\WINNT\\i386");
    EXPECT_EQ(target.windowsDirectory, L"E:\\WINNT");

    std::vector<std::string> expected{"FindFile(E:\\bootmgr)"};
    for (int i = 0; i <= 9; ++i) {
        const std::string n = std::to_string(i);
        expected.push_back("FindFile(E:\\Windows\\Driver Cache\\i386\\sp" + n + ".cab)");
        expected.push_back("FindFile(E:\\WINNT\\Driver Cache\\i386\\sp" + n + ".cab)");
    }
    expected.push_back("FindFile(E:\\Windows\\i386)");
    expected.push_back("FindFile(E:\\WINNT\\i386)");
    expected.push_back("FindFile(E:\\WINNT\\System32\\winload.exe)");
    EXPECT_EQ(Probes(), expected);
}

// A Vista/7 installation found where an XP/2000 one was looked for (no boot
// manager on the volume) has only its registry adjusted: XP's drivers and
// Boot.ini would leave it unable to start. Only the chosen Windows
// directory's own winload.exe counts.
TEST_F(DiscoveryTest, WinloadInTheChosenWindowsDirectoryMakesARegistryOnlyTarget) {
    struct Case {
        const char* name;
        std::vector<const wchar_t*> files;
        const wchar_t* windowsDirectory;
        Kind kind;  // what discovery selects
    };
    const Case cases[] = {
        {"cabinet",
         {L"E:\\Windows\\Driver Cache\\i386\\sp3.cab", L"E:\\WINDOWS\\system32\\WINLOAD.EXE"},
         L"E:\\Windows",
         Kind::kNone},
        {"cabinet under WINNT",
         {L"E:\\WINNT\\Driver Cache\\i386\\sp1.cab", L"E:\\WINNT\\System32\\winload.exe"},
         L"E:\\WINNT",
         Kind::kNone},
        {"i386 folder",
         {L"E:\\Windows\\i386", L"E:\\Windows\\System32\\winload.exe"},
         L"E:\\Windows",
         Kind::kNone},
        {"CD path",
         {L"E:\\Windows", L"E:\\Windows\\System32\\winload.exe"},
         L"E:\\Windows",
         Kind::kNone},
        {"CD path, WINNT",
         {L"E:\\WINNT", L"E:\\WINNT\\System32\\winload.exe"},
         L"E:\\WINNT",
         Kind::kNone},
        {"winload beside the chosen directory",
         {L"E:\\WINNT\\Driver Cache\\i386\\sp4.cab", L"E:\\Windows\\System32\\winload.exe"},
         L"E:\\WINNT",
         Kind::kCabinet},
        {"winload elsewhere in the directory",
         {L"E:\\Windows\\i386", L"E:\\Windows\\i386\\winload.exe"},
         L"E:\\Windows",
         Kind::kFolder},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sh.files.clear();
        sh.calls.clear();
        sh.messages.clear();
        for (const wchar_t* f : c.files) sh.AddFile(f, "");
        sh.drives = {{L'D', kDriveCdrom}};
        AddCd(L'D');
        // Even a kernel that would refuse the CD is not looked at.
        sh.SetFileVersion(std::wstring(c.windowsDirectory) + L"\\system32\\ntoskrnl.exe",
                          6u << 16 | 1);
        ASSERT_TRUE(Discover());
        EXPECT_EQ(target.letter, L'E');
        EXPECT_EQ(target.windowsDirectory, c.windowsDirectory);
        EXPECT_EQ(target.sourceKind, c.kind);
        if (c.kind == Kind::kNone) {
            EXPECT_TRUE(target.driverSource.empty());
        }
        EXPECT_TRUE(sh.messages.empty());
        EXPECT_FALSE(sh.Called("GetLogicalDriveStrings("));
        EXPECT_FALSE(sh.Called("GetFileVersion("));
    }
}

// Where only the XP CD could give drivers, the installation's kernel says
// whether they fit: XP (5.1) is asked for the CD; any other Windows ends as
// if no target were there, with the reason; an unreadable version changes
// nothing. A source on the volume is used without looking at the kernel.
TEST_F(DiscoveryTest, KernelVersionDecidesWhetherTheXpCdIsAskedFor) {
    struct Case {
        const char* name;
        const wchar_t* windowsDirectory;
        int major, minor;   // -1: no version resource
        bool failCall;      // the version call fails outright
        const char* cause;  // null: the CD is asked for
    };
    const Case cases[] = {
        {"Windows 2000", L"E:\\WINNT", 5, 0, false,
         "the installation in E:\\WINNT is Windows 2000 (kernel 5.0); the Windows XP CD's drivers "
         "do not fit it"},
        {"XP in WINNT", L"E:\\WINNT", 5, 1, false, nullptr},
        {"XP", L"E:\\Windows", 5, 1, false, nullptr},
        {"Server 2003", L"E:\\Windows", 5, 2, false,
         "the installation in E:\\Windows is Windows Server 2003 or Windows XP x64 (kernel 5.2); "
         "the Windows XP CD's drivers do not fit it"},
        {"Windows 7 without winload", L"E:\\Windows", 6, 1, false,
         "the installation in E:\\Windows is Windows 7 (kernel 6.1); the Windows XP CD's drivers "
         "do "
         "not fit it"},
        {"unknown", L"E:\\Windows", 7, 9, false,
         "the installation in E:\\Windows is not Windows XP (kernel 7.9); the Windows XP CD's "
         "drivers do not fit it"},
        {"no version resource", L"E:\\WINNT", -1, 0, false, nullptr},
        {"version call fails", L"E:\\WINNT", 5, 0, true, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sh.files.clear();
        sh.fileVersions.clear();
        sh.calls.clear();
        sh.messages.clear();
        sh.causes.clear();
        sh.ClearFailures();
        const std::wstring kernel = std::wstring(c.windowsDirectory) + L"\\system32\\ntoskrnl.exe";
        sh.AddDirectory(c.windowsDirectory);
        sh.AddFile(kernel, "MZ");
        if (c.major >= 0) sh.SetFileVersion(kernel, u32(c.major) << 16 | u32(c.minor), 2600u << 16);
        if (c.failCall) sh.Fail("GetFileVersion", err::kSharingViolation);
        sh.drives = {{L'D', kDriveCdrom}};
        AddCd(L'D');
        sh.answers = {kIdOk};
        const bool found = Discover();
        EXPECT_EQ(sh.CallsStartingWith("GetFileVersion("),
                  (std::vector<std::string>{"GetFileVersion(" + Narrow(kernel) + ")"}));
        if (c.cause) {
            EXPECT_FALSE(found);
            EXPECT_EQ(MessageIds(), (std::vector<u32>{136}));
            EXPECT_EQ(sh.messages[0].style, kMbOk);
            EXPECT_EQ(sh.causes, (std::vector<std::string>{c.cause}));
            EXPECT_FALSE(sh.Called("GetLogicalDriveStrings("));
        } else {
            ASSERT_TRUE(found);
            EXPECT_EQ(MessageIds(), (std::vector<u32>{137}));
            EXPECT_EQ(target.windowsDirectory, c.windowsDirectory);
            EXPECT_EQ(target.driverSource, L"D:\\I386");
            EXPECT_TRUE(sh.causes.empty());
        }
    }

    // A Windows 2000 with its own cabinet gets its own drivers, as before.
    sh.files.clear();
    sh.calls.clear();
    sh.messages.clear();
    sh.ClearFailures();
    sh.AddFile(L"E:\\WINNT\\Driver Cache\\i386\\sp4.cab", "");
    sh.SetFileVersion(L"E:\\WINNT\\system32\\ntoskrnl.exe", 5u << 16);
    ASSERT_TRUE(Discover());
    EXPECT_EQ(target.sourceKind, Kind::kCabinet);
    EXPECT_FALSE(sh.Called("GetFileVersion("));
}

TEST_F(DiscoveryTest, WindowsI386FolderBeforeWinntAndBeforeAnyCd) {
    sh.AddDirectory(L"E:\\windows\\I386");
    sh.AddDirectory(L"E:\\WINNT\\i386");
    AddCd(L'D');
    sh.drives = {{L'D', kDriveCdrom}};
    ASSERT_TRUE(Discover());
    EXPECT_EQ(target.sourceKind, Kind::kFolder);
    EXPECT_EQ(target.driverSource, L"E:\\Windows\\i386");  // the probe path, not the disk's case
    EXPECT_EQ(target.windowsDirectory, L"E:\\Windows");
    EXPECT_FALSE(sh.Called("GetLogicalDriveStrings("));
    EXPECT_TRUE(sh.messages.empty());
}

TEST_F(DiscoveryTest, NoInstallationShows136AndNeverAsksForTheCd) {
    sh.AddFile(L"E:\\bootmgr", "");
    sh.AddDirectory(L"E:\\Program Files");
    sh.drives = {{L'D', kDriveCdrom}};
    AddCd(L'D');
    EXPECT_FALSE(Discover());
    ASSERT_EQ(sh.messages.size(), 1u);
    EXPECT_EQ(sh.messages[0].id, 136u);
    EXPECT_EQ(sh.messages[0].text, FindStringTableText(136));
    EXPECT_EQ(sh.messages[0].style, kMbOk);
    EXPECT_EQ(sh.messages[0].helpContext, kHelpContextDefault);
    const auto probes = Probes();
    EXPECT_EQ(probes[probes.size() - 2], "FindFile(E:\\Windows)");
    EXPECT_EQ(probes.back(), "FindFile(E:\\WINNT)");
    EXPECT_FALSE(sh.Called("GetLogicalDriveStrings("));
    EXPECT_TRUE(sh.sleeps.empty());
}

TEST_F(DiscoveryTest, CancelAtTheCdPromptEndsWithoutScanning) {
    sh.AddDirectory(L"E:\\Windows");
    sh.drives = {{L'D', kDriveCdrom}};
    AddCd(L'D');
    sh.answers = {kIdCancel};
    EXPECT_FALSE(Discover());
    ASSERT_EQ(sh.messages.size(), 1u);
    EXPECT_EQ(sh.messages[0].id, 137u);
    EXPECT_EQ(sh.messages[0].style, 0x41u);
    EXPECT_EQ(sh.messages[0].helpContext, kHelpContextDefault);
    EXPECT_FALSE(sh.Called("GetLogicalDriveStrings("));
    EXPECT_TRUE(sh.sleeps.empty());
}

TEST_F(DiscoveryTest, CdFolderSourceKeepsTheVolumesLetterAndWindowsDirectory) {
    // Only WINNT exists: it becomes the Windows directory for the CD source.
    sh.AddDirectory(L"E:\\WINNT");
    sh.drives = {
        {L'A', kDriveRemovable}, {L'C', kDriveFixed}, {L'E', kDriveFixed}, {L'F', kDriveCdrom}};
    AddCd(L'F');
    sh.AddFile(L"C:\\WIN51", "");  // not a CD drive: never probed
    sh.AddDirectory(L"C:\\I386");
    sh.answers = {kIdOk};
    ASSERT_TRUE(Discover());
    EXPECT_EQ(target.letter, L'E');
    EXPECT_EQ(target.windowsDirectory, L"E:\\WINNT");
    EXPECT_EQ(target.sourceKind, Kind::kFolder);
    EXPECT_EQ(target.driverSource, L"F:\\I386");
    EXPECT_EQ(MessageIds(), (std::vector<u32>{137}));

    // Read the list, pause, then walk it; each root's type is asked once.
    const int list = sh.IndexOf("GetLogicalDriveStrings(260)");
    const int pause = sh.IndexOf("Sleep(1000)");
    const int firstType = sh.IndexOf("GetDriveType(A:\\)");
    EXPECT_TRUE(list >= 0 && list < pause && pause < firstType);
    EXPECT_EQ(sh.CallsStartingWith("GetDriveType("),
              (std::vector<std::string>{"GetDriveType(A:\\)", "GetDriveType(C:\\)",
                                        "GetDriveType(E:\\)", "GetDriveType(F:\\)"}));
    EXPECT_FALSE(sh.Called("FindFile(C:\\WIN51)"));
    // The CD's ten cabinets are probed; its folder is not probed again.
    const auto probes = Probes();
    const int win51 = sh.IndexOf("FindFile(F:\\WIN51)");
    EXPECT_EQ(sh.calls[win51 + 1], "FindFile(F:\\I386)");
    EXPECT_EQ(probes.back(), "FindFile(F:\\I386\\sp9.cab)");
    EXPECT_EQ(sh.CallsStartingWith("FindFile(F:\\I386\\sp").size(), 10u);
    EXPECT_EQ(sh.CallsStartingWith("FindFile(F:\\I386)").size(), 1u);
    EXPECT_EQ(sh.sleeps, (std::vector<u32>{1000}));
}

TEST_F(DiscoveryTest, FirstCdDriveInListOrderHoldingBothWins) {
    sh.AddDirectory(L"E:\\Windows");
    sh.drives = {{L'D', kDriveCdrom},
                 {L'G', kDriveCdrom},
                 {L'H', kDriveCdrom},
                 {L'I', kDriveCdrom},
                 {L'J', kDriveCdrom}};
    AddCd(L'D', /*win51=*/false, /*i386=*/true);
    AddCd(L'G', /*win51=*/true, /*i386=*/false);
    AddCd(L'I');
    AddCd(L'J');
    sh.AddFile(L"J:\\I386\\sp1.cab", "");
    ASSERT_TRUE(Discover());
    EXPECT_EQ(target.driverSource, L"I:\\I386");
    EXPECT_EQ(target.sourceKind, Kind::kFolder);
    // WIN51 is asked first; I386 only after it hits.
    EXPECT_FALSE(sh.Called("FindFile(D:\\I386)"));
    EXPECT_TRUE(sh.Called("FindFile(G:\\I386)"));
    EXPECT_FALSE(sh.Called("GetDriveType(J:\\)"));
}

TEST_F(DiscoveryTest, CdCabinetBeforeItsFolderAndSp10NeverFound) {
    sh.AddDirectory(L"E:\\Windows");
    sh.drives = {{L'D', kDriveCdrom}};
    AddCd(L'D');
    sh.AddFile(L"D:\\i386\\SP3.CAB", "");
    sh.AddFile(L"D:\\I386\\sp2.cab", "");
    ASSERT_TRUE(Discover());
    EXPECT_EQ(target.sourceKind, Kind::kCabinet);
    EXPECT_EQ(target.driverSource, L"D:\\I386\\sp2.cab");
    EXPECT_EQ(target.letter, L'E');
    EXPECT_EQ(target.windowsDirectory, L"E:\\Windows");
    EXPECT_EQ(Probes().back(), "FindFile(D:\\I386\\sp2.cab)");

    sh.files.clear();
    sh.calls.clear();
    sh.AddDirectory(L"E:\\Windows");
    AddCd(L'D');
    sh.AddFile(L"D:\\I386\\sp10.cab", "");
    ASSERT_TRUE(Discover());
    EXPECT_EQ(target.sourceKind, Kind::kFolder);
    EXPECT_EQ(target.driverSource, L"D:\\I386");
}

TEST_F(DiscoveryTest, EachYesAt138RescansWithAFreshListAndPause) {
    sh.AddDirectory(L"E:\\Windows");
    sh.drives = {{L'C', kDriveFixed}};
    sh.answers = {kIdOk, kIdYes, kIdYes, kIdNo};
    EXPECT_FALSE(Discover());
    EXPECT_EQ(MessageIds(), (std::vector<u32>{137, 138, 138, 138}));
    EXPECT_EQ(sh.messages[1].style, kMbYesNo);
    EXPECT_EQ(sh.messages[1].helpContext, kHelpContextDefault);
    EXPECT_EQ(sh.messages[1].text,
              L"Windows XP のインストールCDが見つかりませんでした。\nもう一度、検索しますか？");
    EXPECT_EQ(sh.CallsStartingWith("GetLogicalDriveStrings(260)").size(), 3u);
    EXPECT_EQ(sh.sleeps, (std::vector<u32>{1000, 1000, 1000}));
    // Each pause lies between reading the list and walking it.
    int from = 0;
    for (int pass = 0; pass < 3; ++pass) {
        const int list = sh.IndexOf("GetLogicalDriveStrings(", from);
        const int pause = sh.IndexOf("Sleep(1000)", from);
        const int walk = sh.IndexOf("GetDriveType(C:\\)", from);
        const int ask = sh.IndexOf("MessageBoxById(138", from);
        EXPECT_TRUE(list < pause && pause < walk && walk < ask) << pass;
        from = ask + 1;
    }

    // Only Yes searches again: an OK (or anything else) ends the run.
    sh.calls.clear();
    sh.messages.clear();
    sh.answers = {kIdOk, kIdOk};
    EXPECT_FALSE(Discover());
    EXPECT_EQ(MessageIds(), (std::vector<u32>{137, 138}));
}

TEST_F(DiscoveryTest, CdInsertedBeforeASecondPassIsFound) {
    sh.AddDirectory(L"E:\\Windows");
    sh.drives = {{L'D', kDriveCdrom}};  // the drive is there, the disc is not
    sh.answers = {kIdOk, kIdYes};
    // A failed list read leaves an empty list: 138 comes at once.
    sh.Fail("GetLogicalDriveStrings", 21, 0, 1);
    ASSERT_FALSE(Discover());  // the second pass finds an empty drive, then No
    EXPECT_EQ(MessageIds(), (std::vector<u32>{137, 138, 138}));
    EXPECT_EQ(sh.CallsStartingWith("GetDriveType(").size(), 1u);  // second pass only
    EXPECT_EQ(sh.sleeps.size(), 2u);

    sh.calls.clear();
    sh.messages.clear();
    sh.answers = {kIdOk, kIdYes};
    sh.Fail("GetLogicalDriveStrings", 21, 0, 1);
    AddCd(L'D');
    ASSERT_TRUE(Discover());
    EXPECT_EQ(MessageIds(), (std::vector<u32>{137, 138}));
    EXPECT_EQ(target.driverSource, L"D:\\I386");
}

// A host whose drive list fills the whole buffer with no end marker.
class OverfullDriveList : public ScriptHost {
  public:
    u32 GetLogicalDriveStrings(u32 bufferChars, wchar_t* buffer) override {
        Record("GetLogicalDriveStrings(" + std::to_string(bufferChars) + ")");
        for (u32 i = 0; i < bufferChars; ++i) buffer[i] = (i % 4 == 3) ? L'\0' : L"Z:\\"[i % 4];
        return bufferChars;
    }
};

TEST(DriveListTest, WalkStopsAtTheEndOfTheBuffer) {
    OverfullDriveList sh;
    sh.AddDirectory(L"E:\\Windows");
    sh.answers = {kIdOk, kIdNo};
    auto find = sh.NewFileFind();
    TargetInfo target;
    EXPECT_FALSE(DiscoverTarget(sh.host, *find, L'E', &target));
    EXPECT_EQ(sh.CallsStartingWith("GetDriveType(Z:\\)").size(), 65u);
    EXPECT_EQ(sh.messages.back().id, 138u);
}

// Records the adjustments a dispatch calls, with their arguments.
struct FakeAdjustments {
    int inputs = 1, prepare = 1, drivers = 1, registry = 1, bootIni = 1;
    std::vector<std::wstring> calls;

    int CheckRegistryInputs() {
        calls.push_back(L"inputs");
        return inputs;
    }
    int PrepareBootIni(wchar_t l, const std::wstring& dir, BootIniPlan* plan) {
        calls.push_back(L"prepare " + std::wstring(1, l) + L" " + dir);
        plan->target = std::wstring(1, l) + L":\\Boot.ini";
        return prepare;
    }

    int ExpandDriversFromCabinet(wchar_t l, std::wstring dir, std::wstring cab) {
        calls.push_back(L"cabinet " + std::wstring(1, l) + L" " + dir + L" " + cab);
        return drivers;
    }
    int ExpandDriversFromFolder(wchar_t l, std::wstring dir, std::wstring folder) {
        calls.push_back(L"folder " + std::wstring(1, l) + L" " + dir + L" " + folder);
        return drivers;
    }
    int AdjustTargetRegistry(wchar_t l, std::wstring dir) {
        calls.push_back(L"registry " + std::wstring(1, l) + L" " + dir);
        return registry;
    }
    int WriteBootIni(const BootIniPlan& plan) {
        calls.push_back(L"bootini " + plan.target);
        return bootIni;
    }
};

TEST(DispatchTest, BootManagerRunsOnlyTheRegistryAndTakesItsResult) {
    const TargetInfo boot{L'E', L"E:\\Windows", Kind::kNone, L""};
    for (int result : {1, 0}) {
        FakeAdjustments ops;
        ops.registry = result;
        EXPECT_EQ(DispatchTarget(boot, ops), result);
        EXPECT_EQ(ops.calls, (std::vector<std::wstring>{L"registry E E:\\Windows"}));
    }
}

// Everything that can refuse the target is asked before the drivers are
// written; then drivers, registry and Boot.ini, stopping at the first
// failure.
TEST(DispatchTest, XpTargetDecidesFirstThenRunsDriversRegistryBootIni) {
    const TargetInfo cab{L'E', L"E:\\WINNT", Kind::kCabinet, L"D:\\I386\\sp2.cab"};
    const TargetInfo folder{L'E', L"E:\\Windows", Kind::kFolder, L"D:\\I386"};
    const std::vector<std::wstring> all{L"inputs", L"prepare E E:\\WINNT",
                                        L"cabinet E E:\\WINNT D:\\I386\\sp2.cab",
                                        L"registry E E:\\WINNT", L"bootini E:\\Boot.ini"};
    FakeAdjustments viaFolder;
    EXPECT_EQ(DispatchTarget(folder, viaFolder), 1);
    EXPECT_EQ(viaFolder.calls[2], L"folder E E:\\Windows D:\\I386");

    // The member that fails, and how many calls came before the run ended.
    const struct {
        int FakeAdjustments::*step;
        size_t calls;
    } rows[] = {{nullptr, 5},
                {&FakeAdjustments::inputs, 1},
                {&FakeAdjustments::prepare, 2},
                {&FakeAdjustments::drivers, 3},
                {&FakeAdjustments::registry, 4},
                // The old Boot.ini may already be gone: the run has failed.
                {&FakeAdjustments::bootIni, 5}};
    for (const auto& row : rows) {
        FakeAdjustments ops;
        if (row.step) ops.*row.step = 0;
        EXPECT_EQ(DispatchTarget(cab, ops), row.step ? 0 : 1) << row.calls;
        EXPECT_EQ(ops.calls, std::vector<std::wstring>(all.begin(), all.begin() + row.calls));
    }
}

// Counts the probe objects made.
class CountingHost : public ScriptHost {
  public:
    std::unique_ptr<IFileFind> NewFileFind() override {
        ++made;
        return ScriptHost::NewFileFind();
    }
    int made = 0;
};

TEST(DiscoverAndAdjustTest, OneProbeObjectReleasedOnEveryPath) {
    struct Path {
        const char* name;
        std::vector<const wchar_t*> dirs;
        std::deque<int> answers;
        bool cd;
    };
    const std::vector<Path> paths{
        {"NoTarget", {}, {}, false},
        {"CancelAtPrompt", {L"E:\\Windows"}, {kIdCancel}, false},
        {"NoAt138", {L"E:\\Windows"}, {kIdOk, kIdNo}, false},
        {"BootManager", {L"E:\\bootmgr", L"E:\\Boot\\BCD"}, {}, false},
        {"VolumeFolder", {L"E:\\Windows\\i386"}, {}, false},
        {"Windows7WithoutBootManager", {L"E:\\Windows\\System32\\winload.exe"}, {}, false},
        {"CdSource", {L"E:\\Windows"}, {kIdOk}, true},
    };
    for (const Path& p : paths) {
        CountingHost sh;
        for (const wchar_t* d : p.dirs) sh.AddDirectory(d);
        if (p.cd) {
            sh.drives = {{L'D', kDriveCdrom}};
            sh.AddFile(L"D:\\WIN51", "");
            sh.AddDirectory(L"D:\\I386");
        }
        sh.answers = p.answers;
        CMorlitDlg dlg(sh.host);
        dlg.DiscoverAndAdjust(L'E');
        EXPECT_EQ(sh.made, 1) << p.name;
        EXPECT_EQ(sh.liveFinds, 0) << p.name;
    }
}

}  // namespace
}  // namespace morlit::test
