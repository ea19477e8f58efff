// The Start command from the click to the final message.
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

// An XP target: drivers from a cabinet, the registry, then Boot.ini. A
// Boot.ini that cannot be replaced fails the whole run, as the volume may no
// longer start; with its template the same run succeeds.
TEST(RunControllerXpTest, BootIniThatCannotBeReplacedFailsTheRun) {
    for (bool template_there : {true, false}) {
        SCOPED_TRACE(template_there ? "template there" : "template missing");
        ScriptHost sh;
        sh.arcPartition = 2;
        sh.AddFile(L"E:\\Windows\\Driver Cache\\i386\\sp3.cab", "cabinet");
        sh.AddDirectory(L"E:\\Windows\\system32\\config");
        sh.AddFile(L"E:\\Windows\\system32\\config\\system", "hive");
        sh.AddFile(L"E:\\Boot.ini", "old boot.ini\r\n");
        sh.AddFile(L"C:\\Tools\\Dravmont.bin", "REGEDIT4\r\n");
        if (template_there) sh.AddFile(L"C:\\Tools\\Quessil.bin", "xp boot.ini\r\n");
        sh.registryValues[L"VirtualPC\\Select"][L"Default"] = RegValue{kRegDword, {1, 0, 0, 0}};
        CMorlitDlg dlg(sh.host);
        dlg.m_strVhdPath = L"C:\\Images\\xp.vhd";
        dlg.OnBnClickedOk();
        ASSERT_EQ(sh.messages.size(), 1u) << ::testing::PrintToString(sh.calls);
        EXPECT_EQ(sh.messages[0].text,
                  FindStringTableText(template_there ? IDS_ADJUST_DONE : IDS_ADJUST_FAILED));
        EXPECT_TRUE(sh.Called("RegUnLoadKey(0x80000002, VirtualPC)"));
        EXPECT_TRUE(sh.Called("DetachVirtualDisk(0x0, 0x0)"));
        ASSERT_NE(sh.FindEntry(L"E:\\Boot.ini"), nullptr);
        EXPECT_EQ(sh.FindEntry(L"E:\\Boot.ini")->data,
                  template_there ? "xp boot.ini\r\n" : "old boot.ini\r\n");
        // The attached disk's number reaches the partition lookup.
        EXPECT_EQ(sh.Called("QueryArcPartitionNumber(3, E)"), template_there);
    }
}

TEST(RunControllerXpTest, PartitionNumberNotFoundFailsBeforeBootIniChanges) {
    ScriptHost sh;
    sh.AddFile(L"E:\\Windows\\Driver Cache\\i386\\sp3.cab", "cabinet");
    sh.AddDirectory(L"E:\\Windows\\system32\\config");
    sh.AddFile(L"E:\\Windows\\system32\\config\\system", "hive");
    sh.AddFile(L"E:\\Boot.ini", "old boot.ini\r\n");
    sh.AddFile(L"C:\\Tools\\Dravmont.bin", "REGEDIT4\r\n");
    sh.AddFile(L"C:\\Tools\\Quessil.bin", "xp boot.ini\r\n");
    sh.registryValues[L"VirtualPC\\Select"][L"Default"] = RegValue{kRegDword, {1, 0, 0, 0}};
    sh.Fail("QueryArcPartitionNumber", err::kNotFound, err::kNotFound);
    CMorlitDlg dlg(sh.host);
    dlg.m_strVhdPath = L"C:\\Images\\xp.vhd";
    dlg.OnBnClickedOk();
    ASSERT_EQ(sh.messages.size(), 1u);
    EXPECT_EQ(sh.messages[0].text, FindStringTableText(IDS_ADJUST_FAILED));
    EXPECT_EQ(sh.FindEntry(L"E:\\Boot.ini")->data, "old boot.ini\r\n");
    EXPECT_TRUE(sh.Called("RegUnLoadKey(0x80000002, VirtualPC)"));
}

// HKLM\VirtualPC is one name for the whole machine: a run unloads it only
// when its own load succeeded, and a hive it cannot unload fails the run.
TEST_F(RunControllerTest, UnloadsOnlyWhatThisRunLoaded) {
    // Another run holds the mount point: this run's load fails (140, code 1)
    // and it leaves the other run's hive alone.
    sh.loadedMounts.insert(L"virtualpc");
    dlg.OnBnClickedOk();
    EXPECT_TRUE(sh.Called("RegLoadKey("));
    EXPECT_FALSE(sh.Called("RegUnLoadKey("));
    EXPECT_EQ(sh.loadedMounts.count(L"virtualpc"), 1u);
    EXPECT_EQ(sh.messages.front().text, Formatted(IDS_REGISTRY_FAILED, 1));
    EXPECT_EQ(sh.messages.back().text, FindStringTableText(IDS_ADJUST_FAILED));

    // Loaded by this run, but the unload fails: 140 with its own code while
    // the progress window is up, the image still detached, then 131.
    sh.loadedMounts.clear();
    sh.calls.clear();
    sh.messages.clear();
    sh.Fail("RegUnLoadKey", 0, err::kAccessDenied, 1);
    dlg.OnBnClickedOk();
    ASSERT_EQ(sh.messages.size(), 2u) << ::testing::PrintToString(sh.calls);
    EXPECT_EQ(sh.messages[0].text, Formatted(IDS_REGISTRY_FAILED, 5));
    EXPECT_EQ(sh.messages[0].style, 0u);
    EXPECT_LT(sh.IndexOf("MessageBox("), sh.IndexOf("dlg129.ShowWindow(0)"));
    EXPECT_TRUE(sh.Called("CloseHandle(disk)"));
    EXPECT_EQ(sh.messages[1].text, FindStringTableText(IDS_ADJUST_FAILED));
    EXPECT_EQ(sh.causes.back(), "the target's registry hive could not be unloaded (error 5)");

    // The next run loads again (the failed unload left it loaded here) and
    // does not unload a hive it did not load.
    sh.calls.clear();
    sh.messages.clear();
    dlg.OnBnClickedOk();
    EXPECT_FALSE(sh.Called("RegUnLoadKey("));
    EXPECT_EQ(sh.messages.back().text, FindStringTableText(IDS_ADJUST_FAILED));
}

TEST_F(RunControllerTest, StartNeverClosesTheMainWindow) {
    EXPECT_TRUE(dlg.OnCommand(kIdOk));
    EXPECT_FALSE(sh.Called("dlg102.EndDialog"));
    EXPECT_FALSE(dlg.OnCommand(kIdCancel));  // the framework's default ends it
}

}  // namespace
}  // namespace morlit::test
