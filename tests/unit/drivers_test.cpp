// Driver replacement: the expand command lines, their order, the pause, and
// how a failed start or a failed tool stops the rest.
#include "tests/unit/run_fixture.h"

namespace morlit::test {
namespace {

class DriversTest : public RunTest {
  protected:
    // The parameters of each started program, in order.
    std::vector<std::wstring> Parameters() const {
        std::vector<std::wstring> out;
        for (const auto& run : sh.processRuns) out.push_back(run.info.parameters);
        return out;
    }
    int Expand(bool cabinet, const std::wstring& source) {
        return cabinet ? dlg.ExpandDriversFromCabinet(L'D', L"D:\\Windows", source)
                       : dlg.ExpandDriversFromFolder(L'D', L"D:\\Windows", source);
    }
    void WithProgressWindow() {
        progress = std::make_unique<CMessageDlg>(sh.host);
        ASSERT_TRUE(progress->Create(IDD_MESSAGE_DIALOG));
        dlg.m_pMessageDlg = progress.get();
    }
    ~DriversTest() override { dlg.m_pMessageDlg = nullptr; }

    std::unique_ptr<CMessageDlg> progress;
};

TEST_F(DriversTest, FolderCommandLinesInOrder) {
    EXPECT_EQ(Expand(false, L"D:\\Windows\\i386"), 1);
    EXPECT_EQ(Parameters(),
              (std::vector<std::wstring>{
                  LR"("D:\Windows\i386\hal.dl_" "D:\Windows\system32\hal.dll")",
                  LR"("D:\Windows\i386\ntoskrnl.ex_" "D:\Windows\system32\ntoskrnl.exe")",
                  LR"("D:\Windows\i386\intelide.sy_" "D:\Windows\system32\Drivers\intelide.sys")",
              }));
}

TEST_F(DriversTest, CabinetCommandLinesInOrder) {
    EXPECT_EQ(Expand(true, L"D:\\Windows\\Driver Cache\\i386\\sp3.cab"), 1);
    EXPECT_EQ(
        Parameters(),
        (std::vector<std::wstring>{
            LR"("D:\Windows\Driver Cache\i386\sp3.cab" -F:hal.dll "D:\Windows\system32")",
            LR"("D:\Windows\Driver Cache\i386\sp3.cab" -F:ntoskrnl.exe "D:\Windows\system32")",
            LR"("D:\Windows\Driver Cache\i386\sp3.cab" -F:intelide.sys "D:\Windows\system32\drivers")",
        }));
}

TEST_F(DriversTest, SourceIsJoinedUnchanged) {
    // A trailing backslash is kept, giving a doubled one before the name.
    EXPECT_EQ(Expand(false, L"E:\\I386\\"), 1);
    EXPECT_EQ(Parameters()[0], LR"("E:\I386\\hal.dl_" "D:\Windows\system32\hal.dll")");
}

TEST_F(DriversTest, EachStartIsAShellExecuteOfExpandThatIsWaitedForAndClosed) {
    EXPECT_EQ(Expand(true, L"D:\\sp3.cab"), 1);
    ASSERT_EQ(sh.processRuns.size(), 3u);
    for (const auto& run : sh.processRuns) {
        EXPECT_EQ(run.info.mask, kSeeMaskNoCloseProcess);
        EXPECT_EQ(run.info.verb, L"");
        EXPECT_EQ(run.info.file, L"expand");
        EXPECT_EQ(run.info.directory, L"");
        EXPECT_EQ(run.info.show, kSwShowNormal);
    }
    // Each tool ends and is released before the next one starts.
    std::vector<std::string> sequence;
    for (const auto& c : sh.calls) {
        if (c.rfind("ShellExecuteEx(", 0) == 0) sequence.push_back("start");
        if (c == "WaitForSingleObject(0xFFFFFFFF)") sequence.push_back("wait");
        if (c == "GetExitCodeProcess()") sequence.push_back("exit");
        if (c == "CloseHandle(process)") sequence.push_back("close");
    }
    std::vector<std::string> expected;
    for (int i = 0; i < 3; ++i) expected.insert(expected.end(), {"start", "wait", "exit", "close"});
    EXPECT_EQ(sequence, expected);
}

// A failed start, a tool that ends with a non-zero code, and an exit code
// that cannot be read all stop the variant at that step.
struct StepFailure {
    bool cabinet;
    int step;          // 0, 1, 2
    const char* kind;  // "start", "exit", "read"
};

class DriverStepFailureTest : public DriversTest,
                              public ::testing::WithParamInterface<StepFailure> {};

TEST_P(DriverStepFailureTest, StopsTheRestAndReturnsZero) {
    const StepFailure f = GetParam();
    const std::string kind = f.kind;
    int started = 0;
    if (kind == "start" && f.step == 0) sh.Fail("ShellExecuteEx", err::kFileNotFound, 0, 1);
    sh.onProcess = [&](const ShellExecuteInfo&) -> u32 {
        const int index = started++;
        if (kind == "start" && index + 1 == f.step) {
            sh.Fail("ShellExecuteEx", err::kFileNotFound, 0, 1);
        }
        if (kind == "read" && index == f.step)
            sh.Fail("GetExitCodeProcess", err::kAccessDenied, 0, 1);
        return kind == "exit" && index == f.step ? 1u : 0u;
    };

    EXPECT_EQ(Expand(f.cabinet, L"D:\\src"), 0);
    EXPECT_EQ(sh.CallsStartingWith("ShellExecuteEx(").size(), static_cast<size_t>(f.step + 1));
    // Every process that was started is released.
    EXPECT_EQ(sh.CallsStartingWith("CloseHandle(process)").size(), sh.processRuns.size());
}

std::vector<StepFailure> AllStepFailures() {
    std::vector<StepFailure> out;
    for (bool cabinet : {false, true}) {
        for (int step = 0; step < 3; ++step) {
            for (const char* kind : {"start", "exit", "read"}) out.push_back({cabinet, step, kind});
        }
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(EachStep, DriverStepFailureTest, ::testing::ValuesIn(AllStepFailures()),
                         [](const auto& info) {
                             return std::string(info.param.cabinet ? "Cabinet" : "Folder") +
                                    "Step" + std::to_string(info.param.step + 1) + "_" +
                                    info.param.kind;
                         });

TEST_F(DriversTest, AToolThatNeverEndsIsNotDone) {
    // The wait fails: the exit code still reads STILL_ACTIVE.
    sh.waitResult = kWaitTimeout;
    EXPECT_EQ(Expand(false, L"D:\\i386"), 0);
    EXPECT_EQ(sh.processRuns.size(), 1u);
}

TEST_F(DriversTest, StatusTextOnceAndOnePauseOnlyWithAProgressWindow) {
    EXPECT_EQ(Expand(true, L"D:\\sp3.cab"), 1);
    EXPECT_TRUE(sh.sleeps.empty());

    WithProgressWindow();
    sh.calls.clear();
    sh.sleeps.clear();
    EXPECT_EQ(Expand(false, L"D:\\i386"), 1);
    EXPECT_EQ(sh.sleeps, std::vector<u32>{1000});
    EXPECT_EQ(StatusTexts(), std::vector<std::string>{Narrow(status::kCopyingDrivers)});
    // The pause comes before the first tool starts.
    EXPECT_LT(sh.IndexOf("Sleep(1000)"), sh.IndexOf("ShellExecuteEx("));
}

}  // namespace
}  // namespace morlit::test
