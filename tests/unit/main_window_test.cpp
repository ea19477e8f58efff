// The main window's own handlers and the progress window's placement.
#include <gtest/gtest.h>

#include "tests/support/script_host.h"
#include "ui/MorlitDlg.h"
#include "ui/texts.h"

namespace morlit::test {
namespace {

class MainWindowTest : public ::testing::Test {
  protected:
    MainWindowTest() : dlg(sh.host) {}
    ScriptHost sh;
    CMorlitDlg dlg;
};

TEST_F(MainWindowTest, SetupAddsTheAboutEntrySetsBothIconsAndForgetsTheRunState) {
    dlg.m_strVhdPath = L"C:\\old.vhd";
    dlg.m_hVirtualDisk = reinterpret_cast<Handle>(static_cast<std::uintptr_t>(7));
    sh.calls.clear();
    dlg.DoModal();
    const int about = sh.IndexOf("dlg102.AppendSystemMenuItem(0x10, バージョン情報 Morlit(&A)...)");
    const int big = sh.IndexOf("dlg102.SetIcon(1)");
    const int small = sh.IndexOf("dlg102.SetIcon(0)");
    EXPECT_TRUE(about >= 0 && about < big && big < small) << ::testing::PrintToString(sh.calls);
    EXPECT_TRUE(dlg.m_strVhdPath.empty());
    EXPECT_EQ(dlg.m_hVirtualDisk, nullptr);
}

TEST_F(MainWindowTest, BrowseAsksForOneVhdAndCancelKeepsTheChoice) {
    sh.openFileAnswers = {L"D:\\Images\\xp.vhd", L""};
    dlg.OnBnClickedBrowse();
    const OpenFileRequest& r = sh.lastOpenFileRequest;
    EXPECT_EQ(r.constructorFlags, 0x6u);
    EXPECT_EQ(r.flags, 0x821007u);
    EXPECT_EQ(r.filterIndex, 1u);
    EXPECT_EQ(r.defaultExtension, L"vhd");
    // The filter's name and pattern, each ended by a null, then the list's end.
    EXPECT_EQ(r.filter, std::wstring(L"Virtual Harddisk Image(*.vhd)\0*.vhd\0\0\0", 38));
    EXPECT_EQ(r.title, L"VHDファイルを開く");
    EXPECT_EQ(r.fileBufferChars, 260u);
    EXPECT_EQ(dlg.m_strVhdPath, L"D:\\Images\\xp.vhd");
    EXPECT_TRUE(sh.Called("dlg102.SetItemText(1000, D:\\Images\\xp.vhd)"));

    sh.calls.clear();
    dlg.OnBnClickedBrowse();  // cancelled
    EXPECT_EQ(dlg.m_strVhdPath, L"D:\\Images\\xp.vhd");
    EXPECT_FALSE(sh.Called("dlg102.SetItemText"));
}

TEST_F(MainWindowTest, SystemCommandsTenToOneFOpenAboutOthersGoToTheDefault) {
    for (u32 id = 0x10; id <= 0x1F; ++id) EXPECT_TRUE(dlg.OnSysCommand(id, 0));
    EXPECT_EQ(sh.CallsStartingWith("dlg100.DoModal(100)").size(), 16u);
    EXPECT_FALSE(sh.Called("dlg102.DefaultSysCommand"));

    for (u32 id : {0x20u, 0xF060u /* close */, 0xF020u /* minimise */}) dlg.OnSysCommand(id, 0);
    EXPECT_EQ(sh.CallsStartingWith("dlg100.DoModal").size(), 16u);
    EXPECT_EQ(sh.CallsStartingWith("dlg102.DefaultSysCommand").size(), 3u);
    EXPECT_EQ(sh.liveWindows, 0);
}

TEST(ProgressWindowTest, LeavesTheTopmostBandIsCentredAndEnds16PixelsShorter) {
    ScriptHost sh;
    CMessageDlg progress(sh.host);
    ASSERT_TRUE(progress.Create(IDD_MESSAGE_DIALOG));
    const int pos = sh.IndexOf("dlg129.SetWindowPosNoTopMost(0, 0, 0, 0, 0x1)");
    const int centre = sh.IndexOf("dlg129.CenterWindow()");
    // The scripted window rectangle is (100, 200)-(380, 300).
    const int move = sh.IndexOf("dlg129.MoveWindow(100, 200, 280, 84, 1)");
    EXPECT_TRUE(pos >= 0 && pos < centre && centre < move) << ::testing::PrintToString(sh.calls);
}

}  // namespace
}  // namespace morlit::test
