// Complete runs on real images: discovery, drivers, registry and Boot.ini,
// in-process on the Linux host with a virtual clock, each result checked
// with independent tools.
#include "platform/posix/programs/expand_tool.h"
#include "tests/posix/e2e_fixture.h"

namespace morlit::posix::test {
namespace {

const std::string kStart =
    "処理を開始します...\nVHDをマウントしています...\nマウントしたドライブを検索しています...\n";
const std::string kDrivers = "必要なデバイスドライバをコピーしています...\n";
const std::string kRegistry = "対象となるOSを調整しています...\n";
const std::string kFinish = "終了処理をしています...\n";
const std::string kDone = "VHDファイルの調整が完了しました。\n";
const std::string kFailed = "エラーが発生したため、\nVHDファイルの調整が完了できませんでした。\n";

std::string Template(const std::string& name) {
    return Slurp(std::string(MORLIT_SOURCE_DIR) + "/templates/" + name);
}

struct Drivers {
    std::string hal, kernel, ide;
};

// The drivers a source put into its cabinets, as cabextract reads them back.
Drivers FromCabinet(const std::string& cabinet) {
    return {CabMember(cabinet, "hal.dll"), CabMember(cabinet, "ntoskrnl.exe"),
            CabMember(cabinet, "intelide.sys")};
}
// The drivers a source was made from (what its i386 files hold).
Drivers FromContent(const std::string& tag) {
    const std::string dir = Source(tag + "/content/");
    return {Slurp(dir + "hal.dll"), Slurp(dir + "ntoskrnl.exe"), Slurp(dir + "intelide.sys")};
}

void ExpectDrivers(const ImageCheck& image, const std::string& windows, const Drivers& want) {
    ASSERT_FALSE(want.hal.empty());
    EXPECT_TRUE(image.Cat(windows + "/system32/hal.dll") == want.hal);
    EXPECT_TRUE(image.Cat(windows + "/system32/ntoskrnl.exe") == want.kernel);
    EXPECT_TRUE(image.Cat(windows + "/system32/drivers/intelide.sys") == want.ide);
}

void ExpectOldDrivers(const ImageCheck& image, const std::string& windows, bool hal = true) {
    if (hal) {
        EXPECT_EQ(image.Cat(windows + "/system32/hal.dll"), "MZ (sample HAL)");
    }
    EXPECT_EQ(image.Cat(windows + "/system32/ntoskrnl.exe"), "MZ (sample kernel)");
    EXPECT_EQ(image.Cat(windows + "/system32/drivers/intelide.sys"), "MZ (sample IDE driver)");
}

// What every image must be after a run: readable by qemu-img and clean for
// ntfsfix.
void ExpectSound(const ImageCheck& image) {
    EXPECT_TRUE(image.QemuAccepts());
    EXPECT_TRUE(image.NtfsfixAccepts()) << image.NtfsfixLog();
}

// The registry adjusted in the default control set only, the backup equal to
// the hive as it was, Boot.ini the template's bytes and writable.
void ExpectAdjusted(const ImageCheck& image, const std::string& windows,
                    const std::string& originalHive, u32 defaultSet, const std::string& bootIni,
                    const std::string& hiveName = "system") {
    ExpectTemplateOnlyUnder(image.HiveKeys(windows + "/system32/config/" + hiveName), originalHive,
                            defaultSet);
    EXPECT_TRUE(image.Cat(windows + "/system32/config/system_back") == Slurp(originalHive));
    if (!bootIni.empty()) {
        EXPECT_EQ(image.Cat("Boot.ini"), Template(bootIni));
        EXPECT_FALSE(image.ReadOnly("Boot.ini"));
    }
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

const std::string kOldXpBootIni =
    "[boot loader]\r\ntimeout=30\r\ndefault=multi(0)disk(0)rdisk(0)partition(1)\\WINDOWS\r\n"
    "[operating systems]\r\nmulti(0)disk(0)rdisk(0)partition(1)\\WINDOWS=\"Microsoft Windows XP "
    "Professional\" /fastdetect\r\n";

TEST(EndToEnd, Windows7BootManagerVolumeGetsOnlyItsRegistryAdjusted) {
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, "win7.vhd");
    TestHost t;
    EXPECT_EQ(RunStart(t, image), kStart + kRegistry + kFinish + kDone);
    EXPECT_EQ(t.diagnostics.size(), 0u) << t.Diagnostics();
    // Status texts and the editor's fixed pause; nothing waits for real.
    EXPECT_EQ(t.clock.pauses, (std::vector<u32>{1000, 1000, 3000, 1000, 1000, 3000, 1000}));

    ImageCheck check(image, 2048);
    ExpectSound(check);
    ExpectAdjusted(check, "Windows", Source("system-7"), 2, "", "SYSTEM");
    EXPECT_EQ(check.Cat("Windows/system32/hal.dll"), "MZ (sample HAL)");
    EXPECT_EQ(check.Cat("Windows/system32/ntoskrnl.exe"), "MZ (sample kernel)");
    EXPECT_FALSE(check.Exists("Boot.ini"));
    EXPECT_EQ(t.posix->handles().Count(), 0u);
}

TEST(EndToEnd, Windows7WithSystemReservedAdjustsTheSecondVolume) {
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, "win7-reserved.vhd");
    const std::string pristine = dir + "/pristine.vhd";
    ASSERT_EQ(Shell("cp " + Quote(SampleTargets() + "/win7-reserved.vhd") + " " + Quote(pristine)),
              0);
    TestHost t;
    EXPECT_EQ(RunStart(t, image), kStart + kRegistry + kFinish + kDone);
    EXPECT_EQ(t.diagnostics.size(), 0u) << t.Diagnostics();

    {
        // The installation's volume follows the 8 MiB boot partition.
        ImageCheck check(image, 2048 + 8 * 2048);
        ExpectSound(check);
        ExpectAdjusted(check, "Windows", Source("system-7"), 2, "", "SYSTEM");
        EXPECT_FALSE(check.Exists("Boot.ini"));
    }
    // The boot partition is byte for byte as it was.
    const std::string after = ExtractPartition(image), before = ExtractPartition(pristine);
    EXPECT_EQ(
        Shell("cmp -n " + std::to_string(8 * 1048576) + " " + Quote(after) + " " + Quote(before)),
        0);
    Shell("rm -f " + Quote(after) + " " + Quote(before));
}

// Hives of machines that stopped mid-write: the logs' keys are recovered
// and kept beside the template's, and the hive goes back consistent.
TEST(EndToEnd, DirtyHivesAreRecoveredBeforeTheTemplateGoesIn) {
    struct Case {
        const char* image;
        u64 start;
        std::string windows, hive, source, log, output;
        std::vector<const char*> logs;
    };
    const Case cases[] = {
        {"xp-dirty.vhd",
         63,
         "WINDOWS",
         "system",
         "dirty-xp/system",
         "system.LOG",
         kStart + kDrivers + kRegistry + kFinish + kDone,
         {"system.LOG"}},
        {"win7-dirty.vhd",
         2048,
         "Windows",
         "SYSTEM",
         "dirty-7/SYSTEM",
         "system.LOG2",
         kStart + kRegistry + kFinish + kDone,
         {"SYSTEM.LOG1", "SYSTEM.LOG2"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.image);
        const std::string dir = TestDir();
        const std::string image = CopyTarget(dir, c.image);
        TestHost t;
        EXPECT_EQ(RunStart(t, image), c.output);
        ASSERT_EQ(t.diagnostics.size(), 1u) << t.Diagnostics();
        EXPECT_NE(t.diagnostics[0].find("recovered"), std::string::npos) << t.Diagnostics();
        EXPECT_NE(t.diagnostics[0].find("from " + c.log), std::string::npos) << t.Diagnostics();

        ImageCheck check(image, c.start);
        ExpectSound(check);
        const std::string config = c.windows + "/system32/config/";
        const auto keys = check.HiveKeys(config + c.hive);
        for (const auto& key : TemplateKeys()) EXPECT_TRUE(keys.count(ControlSet(2) + "\\" + key));
        for (const char* recovered : {"\\controlset001\\enum\\pci\\ven_8086&dev_7111\\recovered",
                                      "\\controlset001\\enum\\storage\\volume\\recovered"}) {
            ASSERT_TRUE(keys.count(recovered)) << recovered;
            EXPECT_NE(keys.at(recovered).find("\"Marker\"=dword:"), std::string::npos);
        }
        // Consistent, so Windows will not replay the old logs over it; the
        // logs and the backup of the file as found stay as they were.
        const std::string hive = check.Cat(config + c.hive);
        ASSERT_GE(hive.size(), 512u);
        EXPECT_EQ(hive.substr(4, 4), hive.substr(8, 4));
        EXPECT_TRUE(check.Cat(config + "system_back") == Slurp(Source(c.source)));
        for (const char* log : c.logs) {
            EXPECT_TRUE(check.Cat(config + log) ==
                        Slurp(Source(c.source.substr(0, c.source.rfind('/') + 1) + log)))
                << log;
        }
    }
}

TEST(EndToEnd, XpWithTwoCabinetsTakesTheLowestNumber) {
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, "xp-cabinets.vhd");
    TestHost t;
    EXPECT_EQ(RunStart(t, image), kStart + kDrivers + kRegistry + kFinish + kDone);
    EXPECT_EQ(t.diagnostics.size(), 0u) << t.Diagnostics();

    ImageCheck check(image, 63);
    ExpectSound(check);
    const Drivers sp2 = FromCabinet(Source("SP2/volume/Windows/Driver Cache/i386/sp2.cab"));
    EXPECT_TRUE(sp2.hal == FromContent("SP2").hal);  // the tools agree on the source
    ExpectDrivers(check, "WINDOWS", sp2);
    ExpectAdjusted(check, "WINDOWS", Source("system-xp"), 2, "Quessil.bin");
    // Both cabinets stay as they were.
    EXPECT_TRUE(check.Cat("WINDOWS/Driver Cache/i386/sp3.cab") ==
                Slurp(Source("SP3/volume/Windows/Driver Cache/i386/sp3.cab")));
    // The old Boot.ini is gone: one entry, under the template's name.
    const std::string root = check.List("/");
    EXPECT_NE(root.find("Boot.ini"), std::string::npos) << root;
    EXPECT_EQ(root.find("boot.ini"), std::string::npos) << root;
}

TEST(EndToEnd, Windows2000TakesItsWinntCabinetAndItsOwnBootIni) {
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, "win2000.vhd");
    TestHost t;
    EXPECT_EQ(RunStart(t, image), kStart + kDrivers + kRegistry + kFinish + kDone);

    ImageCheck check(image, 63);
    ExpectSound(check);
    // An LZX cabinet.
    ExpectDrivers(check, "WINNT",
                  FromCabinet(Source("SP4/volume/Windows/Driver Cache/i386/sp1.cab")));
    ExpectAdjusted(check, "WINNT", Source("system-2000"), 1, "Tolmarin.bin");
}

TEST(EndToEnd, XpWithAnI386FolderExpandsEachFile) {
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, "xp-i386.vhd");
    TestHost t;
    EXPECT_EQ(RunStart(t, image), kStart + kDrivers + kRegistry + kFinish + kDone);

    ImageCheck check(image, 63);
    ExpectSound(check);
    // hal.dl_ an MSZIP cabinet, ntoskrnl.ex_ LZX, intelide.sy_ SZDD.
    const std::string i386 = Source("I386/volume/Windows/i386/");
    const Drivers want = FromContent("I386");
    EXPECT_TRUE(CabMember(i386 + "hal.dl_", "hal.dll") == want.hal);
    EXPECT_TRUE(CabMember(i386 + "ntoskrnl.ex_", "ntoskrnl.exe") == want.kernel);
    ExpectDrivers(check, "WINDOWS", want);
    ExpectAdjusted(check, "WINDOWS", Source("system-xp"), 2, "Quessil.bin");
}

TEST(EndToEnd, XpWithoutSourceTakesTheCdsI386Folder) {
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, "xp-nosource.vhd");
    TestHost t("ok\n");
    std::string reason;
    ASSERT_TRUE(t.posix->AddCdPath(SampleTargets() + "/xp-cd.iso", &reason)) << reason;
    const std::string out = RunStart(t, image);
    const std::string prompt = ToUtf8(FindStringTableText(IDS_INSERT_CD));
    EXPECT_EQ(out.find(kStart), 0u) << out;
    EXPECT_NE(out.find(prompt), std::string::npos) << out;
    EXPECT_NE(out.find(kDrivers + kRegistry + kFinish + kDone), std::string::npos) << out;
    EXPECT_EQ(t.diagnostics.size(), 0u) << t.Diagnostics();

    ImageCheck check(image, 63);
    ExpectSound(check);
    ExpectDrivers(check, "WINDOWS", FromContent("CD"));
    ExpectAdjusted(check, "WINDOWS", Source("system-xp"), 2, "Quessil.bin");
}

// An image of a Windows 7 C: alone (no boot manager on it), run with the XP
// CD given: the CD is not asked for, its drivers and Boot.ini stay out, and
// only the registry is adjusted.
TEST(EndToEnd, Windows7WithoutItsBootManagerGetsOnlyItsRegistryAdjustedDespiteTheXpCd) {
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, "win7-nobootmgr.vhd");
    TestHost t("ok\n");
    std::string reason;
    ASSERT_TRUE(t.posix->AddCdPath(SampleTargets() + "/xp-cd.iso", &reason)) << reason;
    EXPECT_EQ(RunStart(t, image), kStart + kRegistry + kFinish + kDone);
    EXPECT_EQ(t.diagnostics.size(), 0u) << t.Diagnostics();

    ImageCheck check(image, 2048);
    ExpectSound(check);
    ExpectAdjusted(check, "Windows", Source("system-7"), 2, "", "SYSTEM");
    EXPECT_EQ(check.Cat("Windows/system32/hal.dll"), "MZ (sample HAL)");
    EXPECT_TRUE(check.Cat("Windows/system32/ntoskrnl.exe") == Slurp(Source("kernel-6.1.exe")));
    EXPECT_EQ(check.Cat("Windows/system32/drivers/intelide.sys"), "MZ (sample IDE driver)");
    EXPECT_FALSE(check.Exists("Boot.ini"));
}

// XP upgraded from 2000 keeps \WINNT; its 5.1 kernel takes the CD's drivers
// as any XP without a source of its own does.
TEST(EndToEnd, XpInWinntWithoutSourceTakesTheCdsDrivers) {
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, "xp-winnt.vhd");
    TestHost t("ok\n");
    std::string reason;
    ASSERT_TRUE(t.posix->AddCdPath(SampleTargets() + "/xp-cd.iso", &reason)) << reason;
    const std::string out = RunStart(t, image);
    EXPECT_NE(out.find(ToUtf8(FindStringTableText(IDS_INSERT_CD))), std::string::npos) << out;
    EXPECT_NE(out.find(kDrivers + kRegistry + kFinish + kDone), std::string::npos) << out;
    EXPECT_EQ(t.diagnostics.size(), 0u) << t.Diagnostics();

    ImageCheck check(image, 63);
    ExpectSound(check);
    ExpectDrivers(check, "WINNT", FromContent("CD"));
    ExpectAdjusted(check, "WINNT", Source("system-xp"), 2, "Tolmarin.bin");
}

TEST(EndToEnd, XpWithoutSourceTakesTheCdsCabinetBeforeItsFolder) {
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, "xp-nosource.vhd");
    const std::string iso = SampleTargets() + "/xp-cd-sp3.iso";
    const std::string cab = dir + "/SP3.CAB";
    ASSERT_EQ(Shell("isoinfo -R -i " + Quote(iso) + " -x /I386/SP3.CAB > " + Quote(cab)), 0);
    // A mounted disc first (D:) without the tag file, then the XP CD (E:):
    // the volume comes after both.
    const std::string other = dir + "/other-cd";
    Shell("mkdir -p " + Quote(other + "/I386"));
    TestHost t("ok\n");
    std::string reason;
    ASSERT_TRUE(t.posix->AddCdPath(other, &reason)) << reason;
    ASSERT_TRUE(t.posix->AddCdPath(iso, &reason)) << reason;
    EXPECT_FALSE(t.posix->AddCdPath(dir + "/missing.iso", &reason));
    const std::string out = RunStart(t, image);
    EXPECT_NE(out.find(kDrivers + kRegistry + kFinish + kDone), std::string::npos) << out;

    ImageCheck check(image, 63);
    ExpectSound(check);
    const Drivers want = FromCabinet(cab);
    EXPECT_EQ(want.hal, "CD SP3.CAB hal.dll placeholder\n");
    ExpectDrivers(check, "WINDOWS", want);
    ExpectAdjusted(check, "WINDOWS", Source("system-xp"), 2, "Quessil.bin");
}

TEST(EndToEnd, CdPromptCancelledOrNoCdLeavesTheImageAsItWas) {
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, "xp-nosource.vhd");
    const std::string before = Slurp(image);
    {
        TestHost t("cancel\n");
        EXPECT_EQ(RunStart(t, image),
                  kStart + ToUtf8(FindStringTableText(IDS_INSERT_CD)) + "\n" + kFinish + kFailed);
    }
    EXPECT_TRUE(Slurp(image) == before);
    {
        // No CD at all: the scan pauses a second per pass; No ends the run.
        TestHost t("ok\nyes\nno\n");
        const std::string out = RunStart(t, image);
        EXPECT_NE(out.find(ToUtf8(FindStringTableText(IDS_CD_NOT_FOUND))), std::string::npos)
            << out;
        EXPECT_NE(out.find(kFinish + kFailed), std::string::npos) << out;
    }
    EXPECT_TRUE(Slurp(image) == before);
}

TEST(EndToEnd, VolumeWithoutInstallationShowsMessage136AndStaysByteIdentical) {
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, "none.vhd");
    const std::string before = Slurp(image);
    TestHost t;
    EXPECT_EQ(RunStart(t, image),
              kStart + ToUtf8(FindStringTableText(IDS_NO_TARGET_OS)) + "\n" + kFinish + kFailed);
    EXPECT_TRUE(Slurp(image) == before);
    EXPECT_EQ(Shell("qemu-img compare -q -f vpc -F vpc " + Quote(image) + " " +
                    Quote(SampleTargets() + "/none.vhd")),
              0);
}

// Runs that fail after they changed the volume: everything they wrote is
// undone, and one diagnostic line says so.
TEST(EndToEnd, CabinetWithoutTheKernelStopsAfterTheHalAndIsUndone) {
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, "xp-nomember.vhd");
    const std::string before = Slurp(image);
    TestHost t;
    EXPECT_EQ(RunStart(t, image), kStart + kDrivers + kFinish + kFailed);
    ASSERT_EQ(t.diagnostics.size(), 2u) << t.Diagnostics();
    EXPECT_EQ(t.diagnostics[0].rfind("expand failed (", 0), 0u) << t.diagnostics[0];
    EXPECT_NE(t.diagnostics[0].find("ntoskrnl.exe"), std::string::npos) << t.diagnostics[0];
    EXPECT_EQ(t.diagnostics[1], image + " was put back as it was before the run");
    EXPECT_TRUE(Slurp(image) == before);
    EXPECT_FALSE(FileExists(image + "-journal"));
}

TEST(EndToEnd, BadDefaultControlSetUndoesTheDriversAndTheBackup) {
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, "xp-badhive.vhd");
    const std::string before = Slurp(image);
    TestHost t;
    EXPECT_EQ(RunStart(t, image), kStart + kDrivers + kRegistry +
                                      "対象となるOSのレジストリが読み込めませんでした。(2)\n" +
                                      kFinish + kFailed);
    EXPECT_TRUE(Slurp(image) == before);
    ImageCheck check(image, 63);
    ExpectSound(check);
    ExpectOldDrivers(check, "WINDOWS");
    EXPECT_FALSE(check.Exists("WINDOWS/system32/config/system_back"));
    EXPECT_EQ(check.Cat("boot.ini"), kOldXpBootIni);
}

TEST(EndToEnd, MountedDiscsTakeTheFirstLettersAndTheFirstXpCdInListOrderWins) {
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, "xp-nosource.vhd");
    // Two mounted discs: a data disc, then an XP CD (its I386 from the source
    // tagged I386); a --cdrom XP CD after them.
    const std::string data = dir + "/data disc", xp = dir + "/xp disc";
    ASSERT_EQ(Shell("mkdir -p " + Quote(data + "/I386") + " " + Quote(xp + "/i386") + " && touch " +
                    Quote(xp + "/WIN51") + " && cp " + Quote(Source("I386/volume/Windows/i386")) +
                    "/* " + Quote(xp + "/i386/")),
              0);
    const std::string mountinfo = dir + "/mountinfo";
    std::ofstream(mountinfo) << "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
                             << "40 22 11:0 / " << Replace(data, " ", "\\040")
                             << " ro - iso9660 /dev/sr0 ro\n"
                             << "41 22 11:1 / " << Replace(xp, " ", "\\040")
                             << " ro - udf /dev/sr1 ro\n";
    std::istringstream in("ok\n");
    std::ostringstream out;
    std::vector<std::string> diagnostics;
    PosixHostOptions options;
    options.in = &in;
    options.out = &out;
    options.diagnostic = [&](const std::string& line) { diagnostics.push_back(line); };
    options.mountInfoPath = mountinfo;
    PosixHost posix(options);
    std::string reason;
    ASSERT_TRUE(posix.AddCdPath(SampleTargets() + "/xp-cd.iso", &reason)) << reason;
    EXPECT_EQ(posix.drives().Letters(), (std::vector<wchar_t>{L'C', L'D', L'E', L'F', L'Z'}));
    for (wchar_t cd : {L'D', L'E', L'F'}) {
        EXPECT_EQ(posix.host.files->GetDriveType(std::wstring(1, cd) + L":\\"), kDriveCdrom);
    }
    VirtualClock clock;
    posix.host.clock = &clock;
    CMorlitDlg dialog(posix.host);
    dialog.Create(IDD_MORLIT_DIALOG);
    dialog.m_strVhdPath = HostPathToWindows(image);
    dialog.OnBnClickedOk();
    EXPECT_TRUE(posix.FinishRun(true).committed);
    EXPECT_NE(out.str().find(kDrivers + kRegistry + kFinish + kDone), std::string::npos)
        << out.str();
    EXPECT_TRUE(diagnostics.empty());

    ImageCheck check(image, 63);
    ExpectSound(check);
    ExpectDrivers(check, "WINDOWS", FromContent("I386"));
}

TEST(EndToEnd, ExpandKeepsADecodedCabinetOnlyWhileItIsUnchanged) {
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, "xp-cabinets.vhd");
    TestHost t;
    Handle disk = t.Attach(image);
    ASSERT_EQ(t.Letter(disk), L'D');
    DriveNamespace& d = t.posix->drives();
    const std::wstring cab = L"D:\\WINDOWS\\Driver Cache\\i386\\sp3.cab";
    std::string before, now, reason;
    ASSERT_TRUE(d.FileStamp(cab, &before));
    EXPECT_FALSE(d.FileStamp(L"D:\\WINDOWS", &now));
    EXPECT_FALSE(d.FileStamp(L"D:\\WINDOWS\\nothing.cab", &now));

    ClearExpandCache();
    for (const wchar_t* step :
         {L"-F:hal.dll \"D:\\WINDOWS\\system32\"", L"-F:ntoskrnl.exe \"D:\\WINDOWS\\system32\"",
          L"-F:intelide.sys \"D:\\WINDOWS\\system32\\drivers\""}) {
        EXPECT_EQ(RunExpandTool(d, L"\"" + cab + L"\" " + step, &reason), 0u) << reason;
    }
    // The destinations changed; the cabinet did not, and was read once.
    EXPECT_EQ(GetExpandCacheStats().cabinetReads, 1u);
    ASSERT_TRUE(d.FileStamp(cab, &now));
    EXPECT_EQ(now, before);

    // Rewritten in place (same MFT record), the cabinet is read anew.
    ASSERT_EQ(d.WriteFile(cab, Slurp(Source("SP2/volume/Windows/Driver Cache/i386/sp2.cab"))), 0u);
    ASSERT_TRUE(d.FileStamp(cab, &now));
    EXPECT_NE(now, before);
    EXPECT_EQ(RunExpandTool(d, L"\"" + cab + L"\" -F:hal.dll \"D:\\WINDOWS\\system32\"", &reason),
              0u)
        << reason;
    EXPECT_EQ(GetExpandCacheStats().cabinetReads, 2u);
    std::string hal;
    ASSERT_EQ(d.ReadFile(L"D:\\WINDOWS\\system32\\hal.dll", &hal), 0u);
    EXPECT_TRUE(hal == FromContent("SP2").hal);

    // Detaching releases what was kept.
    t.Detach(disk);
    EXPECT_EQ(GetExpandCacheStats().cabinetReads, 0u);
}

struct FatCase {
    const char* image;
    const char* windows;
    const char* hive;
    u32 defaultSet;
    const char* bootIni;
    const char* shortBack;  // the 8.3 name system_back gets
};

class EndToEndFat : public ::testing::TestWithParam<FatCase> {};

// XP on FAT32 with its sp2.cab (systemprofile holding SYSTEM~1 beside the
// hive), 2000 on FAT16 with its i386 folder.
TEST_P(EndToEndFat, RunAdjustsTheFatVolumeAsOnNtfs) {
    const FatCase& c = GetParam();
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, c.image);
    TestHost t;
    EXPECT_EQ(RunStart(t, image), kStart + kDrivers + kRegistry + kFinish + kDone);
    EXPECT_EQ(t.diagnostics.size(), 0u) << t.Diagnostics();

    FatImage fat(image, 63);
    EXPECT_TRUE(fat.FsckAccepts()) << fat.FsckLog();
    const std::string windows = c.windows;
    const Drivers want = windows == "WINDOWS"
                             ? FromCabinet(Source("SP2/volume/Windows/Driver Cache/i386/sp2.cab"))
                             : FromContent("I386");
    ASSERT_FALSE(want.hal.empty());
    EXPECT_TRUE(fat.Cat(windows + "/system32/hal.dll") == want.hal);
    EXPECT_TRUE(fat.Cat(windows + "/system32/ntoskrnl.exe") == want.kernel);
    EXPECT_TRUE(fat.Cat(windows + "/system32/drivers/intelide.sys") == want.ide);
    EXPECT_EQ(fat.Cat("Boot.ini"), Template(c.bootIni));
    EXPECT_EQ(fat.Attributes("Boot.ini").find('R'), std::string::npos);
    const std::string config = windows + "/system32/config";
    EXPECT_TRUE(fat.Cat(config + "/system_back") == Slurp(Source(c.hive)));
    // system_back: a long name and a valid 8.3 name.
    const std::string listing = fat.List(config);
    EXPECT_NE(listing.find(std::string(c.shortBack) + "         "), std::string::npos) << listing;
    EXPECT_NE(listing.find(" system_back"), std::string::npos) << listing;
    ExpectTemplateOnlyUnder(fat.HiveKeys(config + "/system"), Source(c.hive), c.defaultSet);
    // The old boot.ini is gone: one entry, under the template's name.
    const std::string root = fat.List("");
    EXPECT_NE(root.find("Boot.ini"), std::string::npos) << root;
    EXPECT_EQ(root.find("boot.ini"), std::string::npos) << root;
    EXPECT_EQ(t.posix->handles().Count(), 0u);

    // A second run over its own result: the first backup stays, once.
    TestHost again;
    EXPECT_EQ(RunStart(again, image), kStart + kDrivers + kRegistry + kFinish + kDone);
    FatImage second(image, 63);
    EXPECT_TRUE(second.FsckAccepts()) << second.FsckLog();
    EXPECT_TRUE(second.Cat(config + "/system_back") == Slurp(Source(c.hive)));
    const std::string relisted = second.List(config);
    EXPECT_EQ(relisted.find("system_back"), relisted.rfind("system_back")) << relisted;
    EXPECT_NE(relisted.find(std::string(c.shortBack) + "         "), std::string::npos) << relisted;
}

INSTANTIATE_TEST_SUITE_P(Samples, EndToEndFat,
                         ::testing::Values(FatCase{"xp-fat32.vhd", "WINDOWS", "system-xp", 2,
                                                   "Quessil.bin", "SYSTEM~2"},
                                           FatCase{"win2000-fat16.vhd", "WINNT", "system-2000", 1,
                                                   "Tolmarin.bin", "SYSTEM~1"}),
                         [](const auto& info) {
                             return std::string(info.param.windows) == "WINDOWS" ? "XpFat32"
                                                                                 : "Win2000Fat16";
                         });

// Real machines' layouts: the installation behind partitions that get no
// letter, so it is the first volume, but not the loader's partition 1.
struct LayoutCase {
    const char* image;
    u64 startSector;  // of the installation's partition
    u32 arcPartition;
    const char* windows;
    const char* hive;
    u32 defaultSet;
    const char* cabinet;  // the source the drivers come from
    const char* bootIni;
    std::string adapter = "multi";  // of the template's ARC paths
};

class EndToEndLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(EndToEndLayout, BootIniNamesTheInstallationsPartition) {
    const LayoutCase& c = GetParam();
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, c.image);
    TestHost t;
    const std::string shipped = Replace(Template(c.bootIni), "multi(", c.adapter + "(");
    std::ofstream(t.programDir + "/" + c.bootIni, std::ios::binary) << shipped;
    EXPECT_EQ(RunStart(t, image), kStart + kDrivers + kRegistry + kFinish + kDone)
        << t.Diagnostics();

    ImageCheck check(image, c.startSector);
    ExpectSound(check);
    ExpectDrivers(check, c.windows, FromCabinet(Source(c.cabinet)));
    ExpectAdjusted(check, c.windows, Source(c.hive), c.defaultSet, "");
    // The template byte for byte, but for the partition its ARC paths name.
    const std::string want =
        Replace(shipped, "partition(1)", "partition(" + std::to_string(c.arcPartition) + ")");
    EXPECT_NE(want, shipped);
    EXPECT_EQ(check.Cat("Boot.ini"), want);
    EXPECT_FALSE(check.ReadOnly("Boot.ini"));
    const std::string root = check.List("/");
    EXPECT_NE(root.find("Boot.ini"), std::string::npos) << root;
    EXPECT_EQ(root.find("boot.ini"), std::string::npos) << root;
}

INSTANTIATE_TEST_SUITE_P(
    Samples, EndToEndLayout,
    ::testing::Values(LayoutCase{"xp-vendor.vhd", 63 + 8192, 2, "WINDOWS", "system-xp", 2,
                                 "SP3/volume/Windows/Driver Cache/i386/sp3.cab", "Quessil.bin"},
                      LayoutCase{"xp-vendor.vhd", 63 + 8192, 2, "WINDOWS", "system-xp", 2,
                                 "SP3/volume/Windows/Driver Cache/i386/sp3.cab", "Quessil.bin",
                                 "scsi"},
                      LayoutCase{"xp-logical.vhd", 63 + 2 * 8192 + 63, 3, "WINDOWS", "system-xp", 2,
                                 "SP3/volume/Windows/Driver Cache/i386/sp3.cab", "Quessil.bin"},
                      LayoutCase{"win2000-third.vhd", 63 + 2 * 8192, 3, "WINNT", "system-2000", 1,
                                 "SP4/volume/Windows/Driver Cache/i386/sp1.cab", "Tolmarin.bin"}),
    [](const auto& info) {
        std::string name = info.param.image;
        name = name.substr(0, name.find('.'));
        if (info.param.adapter != "multi") name += "-" + info.param.adapter;
        std::string out;
        for (size_t i = 0; i < name.size(); ++i) {
            if (name[i] == '-') continue;
            out +=
                i == 0 || name[i - 1] == '-' ? static_cast<char>(std::toupper(name[i])) : name[i];
        }
        return out;
    });

}  // namespace
}  // namespace morlit::posix::test
