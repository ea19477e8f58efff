// Opening and attaching the image and finding its drive letter.
#include <cstring>

#include "run/DiskNumber.h"
#include "tests/unit/run_fixture.h"

namespace morlit::test {
namespace {

using MountStageTest = RunTest;

struct MountFailure {
    const char* call;
    u32 messageId;
    bool handleKept;  // m_hVirtualDisk after the stage
    bool attached;    // whether the finishing steps detach
};

class MountFailureTest : public RunTest, public ::testing::WithParamInterface<MountFailure> {};

TEST_P(MountFailureTest, ShowsItsMessageWithTheLastErrorAndFinishes) {
    const MountFailure f = GetParam();
    // The returned code differs from the last error: the last error is shown.
    sh.Fail(f.call, /*lastError=*/1234, /*result=*/5);
    EXPECT_EQ(dlg.RunAdjustment(), 0);
    ASSERT_EQ(sh.messages.size(), 1u);
    EXPECT_EQ(sh.messages[0].text, Formatted(f.messageId, 1234));
    EXPECT_EQ(sh.messages[0].style, 0u);
    EXPECT_EQ(sh.messages[0].helpContext, 0u);
    EXPECT_EQ(dlg.m_hVirtualDisk != nullptr, f.handleKept);

    // The finishing steps: no unload (nothing was loaded), detach only a
    // handle, then 131.
    sh.calls.clear();
    sh.messages.clear();
    sh.ClearFailures();
    dlg.m_strVhdPath.clear();  // keep the next Start from running again
    dlg.m_strVhdPath = L"C:\\Images\\xp.vhd";
    sh.Fail("OpenVirtualDisk", 2);  // a second run that stops at once
    dlg.OnBnClickedOk();
    EXPECT_FALSE(sh.Called("RegUnLoadKey("));
    EXPECT_EQ(sh.messages.back().text, FindStringTableText(131));
    EXPECT_EQ(sh.messages.back().style, 0u);
}

INSTANTIATE_TEST_SUITE_P(EachStep, MountFailureTest,
                         ::testing::Values(MountFailure{"OpenVirtualDisk", 132, false, false},
                                           MountFailure{"AttachVirtualDisk", 133, true, false},
                                           MountFailure{"GetVirtualDiskPhysicalPath", 134, true,
                                                        true}),
                         [](const auto& info) { return std::string(info.param.call); });

TEST_F(MountStageTest, FinishingStepsAfterEachFailure) {
    // Open fails: nothing to unload or detach; the run reports 131.
    sh.Fail("OpenVirtualDisk", 2);
    dlg.OnBnClickedOk();
    EXPECT_FALSE(sh.Called("RegUnLoadKey("));
    EXPECT_FALSE(sh.Called("DetachVirtualDisk("));
    EXPECT_EQ(dlg.m_hVirtualDisk, nullptr);
    EXPECT_EQ(sh.messages.back().text, FindStringTableText(131));
    EXPECT_LT(sh.IndexOf("dlg129.DestroyWindow()"), sh.IndexOf("MessageBox(エラー"));

    // Attach fails: the open handle is detached and closed at the end.
    sh.calls.clear();
    sh.ClearFailures();
    sh.Fail("AttachVirtualDisk", 1, 1);
    dlg.OnBnClickedOk();
    EXPECT_TRUE(sh.Called("DetachVirtualDisk("));
    EXPECT_TRUE(sh.Called("CloseHandle(disk)"));
    EXPECT_EQ(dlg.m_hVirtualDisk, nullptr);

    // Attach fails and so does the detach: 139, and the handle stays.
    sh.calls.clear();
    sh.messages.clear();
    sh.Fail("AttachVirtualDisk", 1, 1);
    sh.Fail("DetachVirtualDisk", 21, 1, 1);
    dlg.OnBnClickedOk();
    ASSERT_EQ(sh.messages.size(), 3u);
    EXPECT_EQ(sh.messages[0].text, Formatted(133, 1));
    EXPECT_EQ(sh.messages[1].text, Formatted(139, 21));
    EXPECT_EQ(sh.messages[2].text, FindStringTableText(131));
    EXPECT_NE(dlg.m_hVirtualDisk, nullptr);
    EXPECT_EQ(sh.CallsStartingWith("dlg102.EnableItem(").size(), 4u);
}

TEST_F(MountStageTest, OpensTheImageAsAVhdWithAllAccessAndNoFlags) {
    dlg.RunAdjustment();
    EXPECT_TRUE(sh.Called("OpenVirtualDisk(C:\\Images\\xp.vhd, 0x3F0000, 0x0)"));
    EXPECT_TRUE(sh.Called("AttachVirtualDisk(0x0, 0x0)"));
    EXPECT_TRUE(sh.Called("GetVirtualDiskPhysicalPath(520)"));
    EXPECT_EQ(sh.lastStorageType.deviceId, 2u);
    const u8 microsoft[16] = {0xEC, 0x4A, 0x98, 0xEC, 0xF9, 0xA0, 0xE9, 0x47,
                              0x90, 0x1F, 0x71, 0x41, 0x5A, 0x66, 0x34, 0x5B};
    EXPECT_EQ(0, std::memcmp(sh.lastStorageType.vendorId, microsoft, 16));
    EXPECT_TRUE(sh.Called("QueryLettersByDisk(3, zeroed)"));
    EXPECT_TRUE(sh.Called("FindFile(E:\\bootmgr)"));  // discovery starts on that letter
    // The pause after attaching is there without a progress window too.
    EXPECT_EQ(sh.sleeps, (std::vector<u32>{3000}));
}

TEST_F(MountStageTest, PathThatDoesNotFitTheOpenBufferFailsTheOpenStep) {
    dlg.m_strVhdPath = L"C:\\" + std::wstring(253, L'a') + L".vhd";  // 260 characters
    EXPECT_EQ(dlg.RunAdjustment(), 0);
    EXPECT_FALSE(sh.Called("OpenVirtualDisk("));
    ASSERT_EQ(sh.messages.size(), 1u);
    EXPECT_EQ(sh.messages[0].text, Formatted(132, 206));
    EXPECT_EQ(dlg.m_hVirtualDisk, nullptr);

    sh.messages.clear();
    dlg.m_strVhdPath = L"C:\\" + std::wstring(252, L'a') + L".vhd";  // 259 fits
    dlg.RunAdjustment();
    EXPECT_TRUE(sh.Called("OpenVirtualDisk("));
    EXPECT_TRUE(sh.Called("FindFile(E:\\bootmgr)"));
}

TEST(DiskNumberTest, ParsesOnlyAPhysicalDrivePathWithAnEightBitNumber) {
    int n = -1;
    EXPECT_TRUE(ParsePhysicalDriveNumber(L"\\\\.\\PhysicalDrive3", &n));
    EXPECT_EQ(n, 3);
    EXPECT_TRUE(ParsePhysicalDriveNumber(L"\\\\.\\PhysicalDrive12", &n));
    EXPECT_EQ(n, 12);
    EXPECT_TRUE(ParsePhysicalDriveNumber(L"\\\\.\\PhysicalDrive255", &n));
    EXPECT_EQ(n, 255);
    EXPECT_TRUE(ParsePhysicalDriveNumber(L"\\\\.\\PhysicalDrive0", &n));
    EXPECT_EQ(n, 0);
    for (const wchar_t* bad :
         {L"\\\\.\\PhysicalDrive", L"\\\\.\\PhysicalDrive256", L"\\\\.\\PhysicalDrive300",
          L"\\\\.\\PhysicalDrive-1", L"\\\\.\\PhysicalDrive 3", L"\\\\.\\PhysicalDrive3x",
          L"\\\\.\\CdRom0", L"", L"\\\\.\\PhysicalDrive99999999999999999999"}) {
        EXPECT_FALSE(ParsePhysicalDriveNumber(bad, &n)) << test::Narrow(bad);
    }
}

struct LetterCase {
    const char* name;
    const wchar_t* physicalPath;
    int lookupResult;
    const char* bytes;
};

class LetterFailureTest : public RunTest, public ::testing::WithParamInterface<LetterCase> {};

TEST_P(LetterFailureTest, FailsWithMessage135ByNumber) {
    sh.physicalPath = GetParam().physicalPath;
    sh.letterResult = GetParam().lookupResult;
    sh.letterBytes = GetParam().bytes;
    EXPECT_EQ(dlg.RunAdjustment(), 0);
    ASSERT_EQ(sh.messages.size(), 1u);
    EXPECT_EQ(sh.messages[0].id, 135u);
    EXPECT_EQ(sh.messages[0].style, 0u);
    EXPECT_EQ(sh.messages[0].helpContext, 0xFFFFFFFFu);
    EXPECT_NE(dlg.m_hVirtualDisk, nullptr);  // attached; the finishing steps detach it
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LetterFailureTest,
    ::testing::Values(LetterCase{"Result0", L"\\\\.\\PhysicalDrive3", 0, "E"},
                      LetterCase{"Result2", L"\\\\.\\PhysicalDrive3", 2, "E"},
                      LetterCase{"ResultMinus1", L"\\\\.\\PhysicalDrive3", -1, "E"},
                      // A path that names no disk from 0 to 255, or a first
                      // byte that is no letter: never another disk's letter.
                      LetterCase{"NoDigits", L"\\\\.\\PhysicalDrive", 1, "C"},
                      LetterCase{"Disk300", L"\\\\.\\PhysicalDrive300", 1, "C"},
                      LetterCase{"NotALetter", L"\\\\.\\PhysicalDrive3", 1, "\x01"},
                      LetterCase{"EmptyBuffer", L"\\\\.\\PhysicalDrive3", 1, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MountStageTest, MalformedPathsNeverReachTheLookup) {
    sh.physicalPath = L"\\\\.\\PhysicalDrive300";
    EXPECT_EQ(dlg.RunAdjustment(), 0);
    EXPECT_FALSE(sh.Called("QueryLettersByDisk("));
}

TEST_F(MountStageTest, DiscoveryStartsFromByteZeroAndGetsTheWholeLetterList) {
    sh.letterBytes = "FGH";
    sh.physicalPath = L"\\\\.\\PhysicalDrive12";
    dlg.RunAdjustment();
    EXPECT_TRUE(sh.Called("QueryLettersByDisk(12, zeroed)"));
    EXPECT_EQ(sh.CallsStartingWith("FindFile(").front(), "FindFile(F:\\bootmgr)");

    // A System Reserved volume first: the hive is on the next volume with
    // one. The list ends at the first byte that is not a letter.
    sh.calls.clear();
    sh.letterBytes = std::string("FG\x01H", 4);
    sh.AddFile(L"F:\\bootmgr", "");
    sh.AddFile(L"F:\\Boot\\BCD", "");
    sh.AddFile(L"H:\\Windows\\System32\\config\\system", "hive");
    dlg.RunAdjustment();
    EXPECT_TRUE(sh.Called("FindFile(G:\\Windows\\System32\\config\\system)"));
    EXPECT_FALSE(sh.Called("FindFile(H:\\Windows\\System32\\config\\system)"));
    EXPECT_TRUE(
        sh.Called("RegLoadKey(0x80000002, VirtualPC, F:\\Windows\\system32\\config\\system)"));

    sh.calls.clear();
    sh.letterBytes = "FGH";
    dlg.RunAdjustment();
    EXPECT_TRUE(
        sh.Called("RegLoadKey(0x80000002, VirtualPC, H:\\Windows\\system32\\config\\system)"));
}

}  // namespace
}  // namespace morlit::test
