// The Start command from the click to the final message.
#include <set>

#include "platform/arc_partition.h"
#include "tests/unit/run_fixture.h"

namespace morlit::test {
namespace {

// The volume holds a boot-manager target with a hive whose default control
// set can be read, so a run that mounts completes.
void AddBootManagerTarget(ScriptHost& host) {
    host.AddFile(L"E:\\bootmgr", "boot manager");
    host.AddDirectory(L"E:\\Boot");
    host.AddFile(L"E:\\Boot\\BCD", "store");
    host.AddDirectory(L"E:\\Windows\\system32\\config");
    host.AddFile(L"E:\\Windows\\system32\\config\\system", "hive");
    host.AddFile(L"C:\\Tools\\Dravmont.bin", "REGEDIT4\r\n");
    host.registryValues[L"VirtualPC\\Select"][L"Default"] = RegValue{kRegDword, {1, 0, 0, 0}};
}

class RunControllerTest : public RunTest {
  protected:
    RunControllerTest() { AddBootManagerTarget(sh); }
};

TEST_F(RunControllerTest, StartWithoutImageShowsOnlyTheSelectMessage) {
    dlg.m_strVhdPath.clear();
    sh.calls.clear();
    dlg.OnBnClickedOk();
    ASSERT_EQ(sh.calls.size(), 1u);
    ASSERT_EQ(sh.messages.size(), 1u);
    EXPECT_EQ(sh.messages[0].text, L"VHDファイルを選択してください。");
    EXPECT_EQ(sh.messages[0].style, 0u);
    EXPECT_EQ(sh.messages[0].helpContext, 0u);
    EXPECT_TRUE(sh.sleeps.empty());
}

TEST_F(RunControllerTest, SuccessfulRunShowsTextsInOrderAndEndsWithInformation) {
    dlg.OnBnClickedOk();
    EXPECT_EQ(StatusTexts(), (std::vector<std::string>{
                                 "処理を開始します...", "VHDをマウントしています...",
                                 "マウントしたドライブを検索しています...",
                                 "対象となるOSを調整しています...", "終了処理をしています..."}));
    // Buttons locked first, progress window made, styled and shown, then run.
    const int disableOk = sh.IndexOf("dlg102.EnableItem(1, 0)");
    const int disableCancel = sh.IndexOf("dlg102.EnableItem(2, 0)");
    const int create = sh.IndexOf("dlg129.Create(129)");
    const int style = sh.IndexOf("dlg129.ModifyStyleEx(0x0, 0x80, 0x1)");
    const int show = sh.IndexOf("dlg129.ShowWindow(5)");
    const int open = sh.IndexOf("OpenVirtualDisk(");
    EXPECT_TRUE(disableOk >= 0 && disableOk < disableCancel && disableCancel < create &&
                create < style && style < show && show < open);
    // Unload before detach, detach before close, then buttons, window, message.
    const int unload = sh.IndexOf("RegUnLoadKey(0x80000002, VirtualPC)");
    const int detach = sh.IndexOf("DetachVirtualDisk(0x0, 0x0)");
    const int close = sh.IndexOf("CloseHandle(disk)");
    const int enableOk = sh.IndexOf("dlg102.EnableItem(1, 1)");
    const int enableCancel = sh.IndexOf("dlg102.EnableItem(2, 1)");
    const int hide = sh.IndexOf("dlg129.ShowWindow(0)");
    const int destroy = sh.IndexOf("dlg129.DestroyWindow()");
    const int final = sh.IndexOf("MessageBox(");
    EXPECT_TRUE(open < unload && unload < detach && detach < close && close < enableOk &&
                enableOk < enableCancel && enableCancel < hide && hide < destroy && destroy < final)
        << ::testing::PrintToString(sh.calls);
    ASSERT_EQ(sh.messages.size(), 1u);
    EXPECT_EQ(sh.messages[0].text, L"VHDファイルの調整が完了しました。");
    EXPECT_EQ(sh.messages[0].style, 0x40u);
    EXPECT_EQ(sh.messages[0].helpContext, 0u);
    EXPECT_EQ(dlg.m_hVirtualDisk, nullptr);
    EXPECT_EQ(dlg.m_pMessageDlg, nullptr);
    EXPECT_EQ(sh.liveWindows, 0);
}

TEST_F(RunControllerTest, PausesTotalExactlyWithAndWithoutProgressWindow) {
    // Five status texts at 1000 ms, 3000 ms after attaching and 3000 ms
    // after starting the registry editor.
    dlg.OnBnClickedOk();
    EXPECT_EQ(sh.sleeps, (std::vector<u32>{1000, 1000, 3000, 1000, 1000, 3000, 1000}));
    EXPECT_EQ(sh.nowMs, 11000u);

    // A progress window that cannot be made: the run goes on without status
    // texts, and only the pauses after attaching and after the editor remain.
    ScriptHost quiet;
    quiet.createWindowFails = true;
    AddBootManagerTarget(quiet);
    CMorlitDlg other(quiet.host);
    other.m_strVhdPath = L"C:\\a.vhd";
    other.OnBnClickedOk();
    EXPECT_EQ(quiet.sleeps, (std::vector<u32>{3000, 3000}));
    EXPECT_EQ(quiet.messages.back().style, 0x40u);
    EXPECT_EQ(other.m_pMessageDlg, nullptr);
    EXPECT_FALSE(quiet.Called("dlg129.ShowWindow"));
}

TEST_F(RunControllerTest, FailedDetachKeepsHandleAndFailsTheRun) {
    sh.Fail("DetachVirtualDisk", /*lastError=*/1167, /*result=*/87, /*times=*/1);
    dlg.OnBnClickedOk();
    ASSERT_EQ(sh.messages.size(), 2u);
    EXPECT_EQ(sh.messages[0].text, Formatted(139, 1167));
    EXPECT_EQ(sh.messages[0].style, 0u);
    // The adjustments were made, but an image that is still attached is not
    // a finished run: 131, never 130 after 139.
    EXPECT_EQ(sh.messages[1].text, FindStringTableText(IDS_ADJUST_FAILED));
    EXPECT_EQ(sh.messages[1].style, 0u);
    EXPECT_NE(dlg.m_hVirtualDisk, nullptr);
    EXPECT_FALSE(sh.Called("CloseHandle(disk)"));
    // 139 comes while the progress window is still up.
    EXPECT_LT(sh.IndexOf("MessageBox("), sh.IndexOf("dlg129.ShowWindow(0)"));

    // The next run detaches and closes the old handle before opening again.
    sh.calls.clear();
    sh.messages.clear();
    dlg.OnBnClickedOk();
    const int detachOld = sh.IndexOf("DetachVirtualDisk(");
    const int closeOld = sh.IndexOf("CloseHandle(disk)");
    const int open = sh.IndexOf("OpenVirtualDisk(");
    EXPECT_TRUE(detachOld >= 0 && detachOld < closeOld && closeOld < open);
    EXPECT_EQ(dlg.m_hVirtualDisk, nullptr);
    ASSERT_EQ(sh.messages.size(), 1u);
    EXPECT_EQ(sh.messages[0].style, 0x40u);
}

// An XP run on the scripted host: drivers from the volume's cabinet (its
// partition is 2, so Boot.ini's template is read and renamed), or from the
// XP CD's I386 folder for an installation without a source (partition 1,
// the template copied).
struct XpRun {
    ScriptHost sh;
    CMorlitDlg dlg{sh.host};

    explicit XpRun(bool fromCd) {
        if (fromCd) {
            sh.AddDirectory(L"E:\\Windows");
            sh.AddDirectory(L"E:\\Windows\\system32");
            sh.SetFileVersion(L"E:\\Windows\\system32\\ntoskrnl.exe", 0x00050001);
            sh.drives = {{L'D', kDriveCdrom}, {L'E', kDriveFixed}};
            sh.AddFile(L"D:\\WIN51", "");
            sh.AddDirectory(L"D:\\I386");
        } else {
            sh.arcPartition = 2;
            sh.AddFile(L"E:\\Windows\\Driver Cache\\i386\\sp3.cab", "cabinet");
        }
        sh.AddDirectory(L"E:\\Windows\\system32\\config");
        sh.AddFile(L"E:\\Windows\\system32\\config\\system", "hive");
        sh.AddDirectory(L"E:");
        sh.AddFile(L"E:\\Boot.ini", "old boot.ini\r\n");
        sh.AddFile(L"C:\\Tools\\Dravmont.bin", "REGEDIT4\r\n");
        sh.AddFile(L"C:\\Tools\\Quessil.bin", "multi(0)disk(0)rdisk(0)partition(1)\\WINDOWS\r\n");
        sh.registryValues[L"VirtualPC\\Select"][L"Default"] = RegValue{kRegDword, {1, 0, 0, 0}};
        dlg.m_strVhdPath = L"C:\\Images\\xp.vhd";
    }
    bool Adjusted() const {
        return sh.messages.back().id == 0 &&
               sh.messages.back().text == FindStringTableText(IDS_ADJUST_DONE);
    }
    // The first call that changes a file (or starts a program that does),
    // or -1.
    int FirstChange() const {
        static const char* const kChanges[] = {"CopyFile(",   "DeleteFile(",      "SetAttributes(",
                                               "CreateFile(", "DeviceIoControl(", "ShellExecuteEx(",
                                               "RegLoadKey(", "OpenStream"};
        for (size_t i = 0; i < sh.calls.size(); ++i) {
            const std::string& c = sh.calls[i];
            for (const char* change : kChanges) {
                if (c.rfind(change, 0) != 0) continue;
                if (std::string(change) != "OpenStream" || c.find(", w") != std::string::npos)
                    return static_cast<int>(i);
            }
        }
        return -1;
    }
};

// The calls that only ask: what the run reads of the volume, the program's
// folder, the drives and the disk, and the hive once loaded.
bool IsQuery(const std::string& call) {
    static const char* const kQueries[] = {"FindFile(",
                                           "GetFileVersion(",
                                           "GetModuleFileName(",
                                           "GetWindowsDirectory(",
                                           "GetLogicalDriveStrings(",
                                           "GetDriveType(",
                                           "GetAttributes(",
                                           "QueryArcPartitionNumber(",
                                           "RegOpenKeyEx(",
                                           "RegQueryValueEx(",
                                           "GetVirtualDiskPhysicalPath("};
    for (const char* q : kQueries) {
        if (call.rfind(q, 0) == 0) return true;
    }
    return call.rfind("OpenStream(", 0) == 0 && call.find(", r") != std::string::npos;
}

// Every question an XP run asks fails in turn, from its first asking on (and
// every read of a stream): a run that then fails has changed nothing. Only
// the hive's own default control set is read after a change, as it can
// only be read from the loaded hive.
TEST(RunControllerXpTest, EveryQueryThatRefusesTheTargetComesBeforeTheFirstChange) {
    for (bool fromCd : {false, true}) {
        SCOPED_TRACE(fromCd ? "CD" : "cabinet");
        XpRun clean(fromCd);
        clean.dlg.OnBnClickedOk();
        ASSERT_TRUE(clean.Adjusted());
        EXPECT_EQ(clean.sh.FindEntry(L"E:\\Boot.ini")->data,
                  fromCd ? "multi(0)disk(0)rdisk(0)partition(1)\\WINDOWS\r\n"
                         : "multi(0)disk(0)rdisk(0)partition(2)\\WINDOWS\r\n");
        std::set<std::string> queries{"StreamRead"};
        for (const std::string& c : clean.sh.calls) {
            if (IsQuery(c)) queries.insert(c);
        }
        std::set<std::string> late;
        for (const std::string& query : queries) {
            SCOPED_TRACE(query);
            XpRun run(fromCd);
            if (query == "StreamRead") {
                run.sh.Fail("StreamRead", err::kReadFault);
            } else {
                run.sh.failCall = [&](const std::string& c) { return c == query; };
            }
            run.dlg.OnBnClickedOk();
            if (run.Adjusted()) continue;
            EXPECT_EQ(run.sh.messages.back().text, FindStringTableText(IDS_ADJUST_FAILED));
            const int change = run.FirstChange();
            if (change < 0) {
                EXPECT_EQ(run.sh.FindEntry(L"E:\\Boot.ini")->data, "old boot.ini\r\n");
                continue;
            }
            EXPECT_LT(change, run.sh.IndexOf(query)) << ::testing::PrintToString(run.sh.calls);
            late.insert(query);
        }
        EXPECT_EQ(late,
                  (std::set<std::string>{"RegOpenKeyEx(0x80000002, VirtualPC\\Select, 0, 0x20019)",
                                         "RegQueryValueEx(Default, 4)"}));
    }
}

// A partition number the disk cannot give (not found, a GPT disk, a volume
// over two disks) refuses the target before anything changes, with the
// mount stage's message for a disk it cannot read and the code.
TEST(RunControllerXpTest, PartitionNumberLookupThatFailsEndsBeforeTheFirstChange) {
    for (u32 code : {err::kNotFound, err::kNotSupported, err::kInvalidDrive}) {
        SCOPED_TRACE(code);
        XpRun run(false);
        run.sh.Fail("QueryArcPartitionNumber", code, code);
        run.dlg.OnBnClickedOk();
        ASSERT_EQ(run.sh.messages.size(), 2u);
        EXPECT_EQ(run.sh.messages[0].text,
                  FormatWithCode(FindStringTableText(IDS_DISK_NOT_FOUND), code));
        EXPECT_EQ(run.sh.messages[1].text, FindStringTableText(IDS_ADJUST_FAILED));
        EXPECT_EQ(run.FirstChange(), -1);
        EXPECT_EQ(run.sh.causes.size(), 1u);
        EXPECT_TRUE(run.sh.Called("DetachVirtualDisk(0x0, 0x0)"));
    }
}

// HKLM\VirtualPC is one name for the whole machine: a run unloads it only
// when its own load succeeded, tries again while Windows refuses, and a
// hive it cannot unload fails the run and is unloaded by the next run
// before it opens its image.
TEST_F(RunControllerTest, UnloadsOnlyWhatThisRunLoadedAndRetriesARefusedUnload) {
    // Another run holds the mount point: this run's load fails (140, code 1)
    // and it leaves the other run's hive alone.
    sh.loadedMounts.insert(L"virtualpc");
    dlg.OnBnClickedOk();
    EXPECT_TRUE(sh.Called("RegLoadKey("));
    EXPECT_FALSE(sh.Called("RegUnLoadKey("));
    EXPECT_EQ(sh.loadedMounts.count(L"virtualpc"), 1u);
    EXPECT_EQ(sh.messages.front().text, Formatted(IDS_REGISTRY_FAILED, 1));
    EXPECT_EQ(sh.messages.back().text, FindStringTableText(IDS_ADJUST_FAILED));

    // Refused once, then unloaded: the run is done.
    const auto again = [&] {
        sh.calls.clear();
        sh.messages.clear();
        dlg.OnBnClickedOk();
    };
    sh.loadedMounts.clear();
    sh.Fail("RegUnLoadKey", 0, err::kAccessDenied, 1);
    again();
    EXPECT_EQ(sh.CallsStartingWith("RegUnLoadKey(").size(), 2u);
    EXPECT_EQ(sh.messages.back().text, FindStringTableText(IDS_ADJUST_DONE));

    // Refused every time: 140 with its own code while the progress window
    // is up, the image still detached, then 131.
    sh.loadedMounts.clear();
    sh.Fail("RegUnLoadKey", 0, err::kAccessDenied);
    again();
    ASSERT_EQ(sh.messages.size(), 2u) << ::testing::PrintToString(sh.calls);
    EXPECT_EQ(sh.CallsStartingWith("RegUnLoadKey(").size(), 5u);
    EXPECT_EQ(sh.messages[0].text, Formatted(IDS_REGISTRY_FAILED, 5));
    EXPECT_EQ(sh.messages[0].style, 0u);
    EXPECT_LT(sh.IndexOf("MessageBox("), sh.IndexOf("dlg129.ShowWindow(0)"));
    EXPECT_TRUE(sh.Called("CloseHandle(disk)"));
    EXPECT_EQ(sh.messages[1].text, FindStringTableText(IDS_ADJUST_FAILED));
    EXPECT_EQ(sh.causes.back(), "the target's registry hive could not be unloaded (error 5)");

    // Still refused when the next run starts: it opens no image.
    again();
    EXPECT_FALSE(sh.Called("OpenVirtualDisk("));
    EXPECT_EQ(sh.messages.front().text, Formatted(IDS_REGISTRY_FAILED, 5));
    EXPECT_EQ(sh.messages.back().text, FindStringTableText(IDS_ADJUST_FAILED));

    // Once Windows lets go, the next run unloads the old hive first, then
    // does its own work.
    sh.ClearFailures();
    again();
    EXPECT_LT(sh.IndexOf("RegUnLoadKey("), sh.IndexOf("OpenVirtualDisk("));
    EXPECT_EQ(sh.messages.back().text, FindStringTableText(IDS_ADJUST_DONE));
}

TEST_F(RunControllerTest, StartNeverClosesTheMainWindow) {
    EXPECT_TRUE(dlg.OnCommand(kIdOk));
    EXPECT_FALSE(sh.Called("dlg102.EndDialog"));
    EXPECT_FALSE(dlg.OnCommand(kIdCancel));  // the framework's default ends it
}

}  // namespace
}  // namespace morlit::test
