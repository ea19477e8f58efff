// The registry adjustment of a target: backup, load, control set, import.
#include <functional>

#include "tests/unit/run_fixture.h"

namespace morlit::test {
namespace {

const std::wstring kHive = L"E:\\Windows\\system32\\config\\system";
const std::wstring kBackup = L"E:\\Windows\\system32\\config\\system_back";
const std::wstring kImport = L"C:\\Tools\\Morlit.reg";

std::string Dword(u32 v) {
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                       static_cast<char>((v >> 16) & 0xFF), static_cast<char>(v >> 24)};
}

class RegistryAdjustTest : public RunTest {
  protected:
    RegistryAdjustTest() {
        sh.AddDirectory(L"C:\\Tools");
        sh.AddFile(
            L"C:\\Tools\\Dravmont.bin",
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\VirtualPC\\ControlSet001\\Services\\x]\r\n");
        sh.AddFile(kHive, "hive v1");
        SetDefault(kRegDword, Dword(2));
        sh.onProcess = [this](const ShellExecuteInfo& info) {
            const FileEntry* f = sh.FindEntry(kImport);
            importSeenByEditor = f ? f->data : "<missing>";
            (void)info;
            return editorExitCode;
        };
    }

    void SetDefault(u32 type, const std::string& data) {
        sh.registryValues[L"VirtualPC\\Select"][L"Default"] = RegValue{type, data};
    }
    int Adjust() { return dlg.AdjustTargetRegistry(L'E', L"E:\\Windows"); }
    // The only message, which must be 140 with `code`.
    void ExpectOnlyMessage140(u32 code) {
        ASSERT_EQ(sh.messages.size(), 1u);
        EXPECT_EQ(sh.messages[0].text, Formatted(140, code));
        EXPECT_EQ(sh.messages[0].style, 0u);
        EXPECT_EQ(sh.messages[0].helpContext, 0u);
    }

    std::string importSeenByEditor;
    u32 editorExitCode = 0;
};

TEST_F(RegistryAdjustTest, SuccessfulImportInOrder) {
    sh.calls.clear();
    EXPECT_EQ(Adjust(), 1);
    EXPECT_TRUE(sh.messages.empty());
    const std::vector<std::string> expected = {
        "OpenProcessToken(0x28)",
        "LookupPrivilegeValue(SeBackupPrivilege)",
        "AdjustTokenPrivilege(17, 0x2)",
        "LookupPrivilegeValue(SeRestorePrivilege)",
        "AdjustTokenPrivilege(18, 0x2)",
        "CloseHandle(token)",
        "CopyFile(E:\\Windows\\system32\\config\\system, "
        "E:\\Windows\\system32\\config\\system_back, 1)",
        "RegLoadKey(0x80000002, VirtualPC, E:\\Windows\\system32\\config\\system)",
        "RegOpenKeyEx(0x80000002, VirtualPC\\Select, 0, 0x20019)",
        "RegQueryValueEx(Default, 4)",
        "RegCloseKey()",
        "OpenStream(C:\\Tools\\Dravmont.bin, r)",
        "OpenStream(C:\\Tools\\Morlit.reg, wb)",
        "ShellExecuteEx(0x40, open, C:\\Windows\\Regedit.exe, /s \"C:\\Tools\\Morlit.reg\", , 5)",
        "Sleep(3000)",
        "WaitForSingleObject(0xEA60)",
        "GetExitCodeProcess()",
        "CloseHandle(process)",
        "DeleteFile(C:\\Tools\\Morlit.reg)",
    };
    EXPECT_EQ(sh.calls, expected);
    // The editor saw the rewritten file; the 3000 ms pause came before the wait.
    EXPECT_EQ(importSeenByEditor,
              "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\VirtualPC\\ControlSet002\\Services\\x]\r\n");
    EXPECT_EQ(sh.sleeps, (std::vector<u32>{3000}));
    EXPECT_FALSE(sh.Exists(kImport));
    EXPECT_EQ(sh.FindEntry(kBackup)->data, "hive v1");
    EXPECT_TRUE(sh.loadedMounts.count(L"virtualpc"));
}

TEST_F(RegistryAdjustTest, BackupIsNeverOverwritten) {
    ASSERT_EQ(Adjust(), 1);
    sh.FindEntry(kHive)->data = "hive v2";
    sh.loadedMounts.clear();
    ASSERT_EQ(Adjust(), 1);
    EXPECT_EQ(sh.FindEntry(kBackup)->data, "hive v1");
    EXPECT_TRUE(sh.warnings.empty());
    // A failed copy does not stop the adjustment, but it is said, as a
    // warning: it is no cause of a failure.
    sh.loadedMounts.clear();
    sh.Fail("CopyFile", 5);
    EXPECT_EQ(Adjust(), 1);
    EXPECT_TRUE(sh.causes.empty());
    ASSERT_EQ(sh.warnings.size(), 1u);
    EXPECT_NE(sh.warnings[0].find("error 5"), std::string::npos) << sh.warnings[0];
}

TEST_F(RegistryAdjustTest, HiveNotLoadableIsCode1) {
    sh.files.erase(L"e:\\windows\\system32\\config\\system");
    EXPECT_EQ(Adjust(), 0);
    ExpectOnlyMessage140(1);
    EXPECT_FALSE(sh.Called("RegOpenKeyEx"));
    EXPECT_FALSE(sh.Called("OpenStream"));
    EXPECT_FALSE(sh.Called("ShellExecuteEx"));

    // A mount point in use.
    sh.messages.clear();
    sh.AddFile(kHive, "hive");
    sh.loadedMounts.insert(L"virtualpc");
    EXPECT_EQ(Adjust(), 0);
    ExpectOnlyMessage140(1);
}

// A backup this run made goes again when the hive cannot be loaded; every
// other backup stays.
TEST_F(RegistryAdjustTest, BackupOfAnUnloadableHiveDoesNotOutliveTheRun) {
    // Copied now, load refused: deleted, and the next run backs up afresh.
    sh.loadedMounts.insert(L"virtualpc");
    EXPECT_EQ(Adjust(), 0);
    ExpectOnlyMessage140(1);
    EXPECT_FALSE(sh.Exists(kBackup));
    EXPECT_TRUE(sh.Exists(kHive));
    sh.loadedMounts.clear();
    sh.messages.clear();
    sh.FindEntry(kHive)->data = "hive v2";
    ASSERT_EQ(Adjust(), 1);
    EXPECT_EQ(sh.FindEntry(kBackup)->data, "hive v2");

    // A backup from an earlier run: the copy fails, and nothing deletes it.
    sh.loadedMounts.clear();
    sh.FindEntry(kHive)->data = "hive v3";
    sh.Fail("RegLoadKey", 0, err::kBadDb);
    sh.calls.clear();
    EXPECT_EQ(Adjust(), 0);
    EXPECT_EQ(sh.FindEntry(kBackup)->data, "hive v2");
    EXPECT_FALSE(sh.Called("DeleteFile"));

    // A copy that failed for another reason: nothing to delete either.
    sh.files.erase(L"e:\\windows\\system32\\config\\system_back");
    sh.Fail("CopyFile", 5);
    sh.calls.clear();
    EXPECT_EQ(Adjust(), 0);
    EXPECT_FALSE(sh.Called("DeleteFile"));
}

TEST_F(RegistryAdjustTest, BackupStaysWhenTheHiveLoadedButTheAdjustmentFailed) {
    // After a load Windows may write a recovered hive back at unload.
    struct Case {
        const char* what;
        std::function<void()> arrange;
        u32 code;
    };
    const Case cases[] = {
        {"no control set", [this] { SetDefault(kRegSz, "2"); }, 2},
        {"no template", [this] { sh.files.erase(L"c:\\tools\\dravmont.bin"); }, 3},
        {"editor failed", [this] { editorExitCode = 1; }, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sh.files.erase(L"e:\\windows\\system32\\config\\system_back");
        sh.loadedMounts.clear();
        sh.messages.clear();
        SetDefault(kRegDword, Dword(2));
        sh.AddFile(L"C:\\Tools\\Dravmont.bin", "REGEDIT4\r\n");
        editorExitCode = 0;
        c.arrange();
        EXPECT_EQ(Adjust(), 0);
        ExpectOnlyMessage140(c.code);
        ASSERT_TRUE(sh.Exists(kBackup));
        EXPECT_EQ(sh.FindEntry(kBackup)->data, "hive v1");
    }
}

TEST_F(RegistryAdjustTest, OnlyADwordFrom1To999NamesTheControlSet) {
    struct Case {
        const char* what;
        bool present;
        u32 type;
        std::string data;
    };
    const Case cases[] = {
        {"no Default value", false, kRegDword, ""},
        {"string \"2\"", true, kRegSz, std::string("2\0\0\0", 4)},
        {"binary 4 bytes", true, kRegBinary, Dword(2)},
        {"short DWORD", true, kRegDword, std::string("\x02\x00", 2)},
        {"8 bytes", true, kRegDword, Dword(2) + Dword(0)},
        {"zero", true, kRegDword, Dword(0)},
        {"1000", true, kRegDword, Dword(1000)},
        {"huge", true, kRegDword, Dword(0xFFFFFFFF)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sh.messages.clear();
        sh.calls.clear();
        sh.loadedMounts.clear();
        sh.registryValues.clear();
        if (c.present)
            SetDefault(c.type, c.data);
        else
            sh.registryValues[L"VirtualPC\\Select"][L"Current"] = RegValue{kRegDword, Dword(1)};
        EXPECT_EQ(Adjust(), 0);
        ExpectOnlyMessage140(2);
        EXPECT_TRUE(sh.Called("RegCloseKey()"));
        EXPECT_FALSE(sh.Called("OpenStream"));
        // The hive stays loaded for the run controller to unload.
        EXPECT_TRUE(sh.loadedMounts.count(L"virtualpc"));
    }
    // No Select key at all: nothing to close.
    sh.messages.clear();
    sh.calls.clear();
    sh.loadedMounts.clear();
    sh.registryValues.clear();
    EXPECT_EQ(Adjust(), 0);
    ExpectOnlyMessage140(2);
    EXPECT_FALSE(sh.Called("RegCloseKey"));

    // The bounds themselves are accepted.
    for (u32 n : {1u, 999u}) {
        sh.messages.clear();
        sh.loadedMounts.clear();
        SetDefault(kRegDword, Dword(n));
        EXPECT_EQ(Adjust(), 1);
        EXPECT_TRUE(sh.messages.empty());
    }
}

TEST_F(RegistryAdjustTest, TemplateOrImportFileProblemsAreCode3) {
    // Missing template: the empty import file is removed and no editor runs.
    sh.files.erase(L"c:\\tools\\dravmont.bin");
    EXPECT_EQ(Adjust(), 0);
    ExpectOnlyMessage140(3);
    EXPECT_FALSE(sh.Called("ShellExecuteEx"));
    EXPECT_TRUE(sh.Called("DeleteFile(C:\\Tools\\Morlit.reg)"));
    EXPECT_FALSE(sh.Exists(kImport));

    // The import file cannot be written.
    sh.AddFile(L"C:\\Tools\\Dravmont.bin", "REGEDIT4\r\n");
    sh.messages.clear();
    sh.loadedMounts.clear();
    sh.Fail("StreamWrite", 112, 0, 1);
    EXPECT_EQ(Adjust(), 0);
    ExpectOnlyMessage140(3);
    EXPECT_FALSE(sh.Exists(kImport));

    // The template cannot be read: nothing half-read is imported.
    sh.messages.clear();
    sh.calls.clear();
    sh.loadedMounts.clear();
    sh.Fail("StreamRead", 23, 0, 1);
    EXPECT_EQ(Adjust(), 0);
    ExpectOnlyMessage140(3);
    EXPECT_FALSE(sh.Called("ShellExecuteEx"));
    EXPECT_FALSE(sh.Exists(kImport));

    // An import path too long for the editor's parameters (254 characters).
    const std::wstring dir = L"C:\\" + std::wstring(241, L'd');  // + "\Morlit.reg" = 255
    sh.AddDirectory(dir);
    sh.AddFile(dir + L"\\Dravmont.bin", "REGEDIT4\r\n");
    sh.modulePath = dir + L"\\Morlit.exe";
    sh.messages.clear();
    sh.calls.clear();
    sh.loadedMounts.clear();
    EXPECT_EQ(Adjust(), 0);
    ExpectOnlyMessage140(3);
    EXPECT_FALSE(sh.Called("ShellExecuteEx"));
    EXPECT_FALSE(sh.Exists(dir + L"\\Morlit.reg"));

    // One character shorter fits.
    const std::wstring fits = L"C:\\" + std::wstring(240, L'd');
    sh.AddDirectory(fits);
    sh.AddFile(fits + L"\\Dravmont.bin", "REGEDIT4\r\n");
    sh.modulePath = fits + L"\\Morlit.exe";
    sh.messages.clear();
    sh.loadedMounts.clear();
    EXPECT_EQ(Adjust(), 1);
}

TEST_F(RegistryAdjustTest, EditorProblemsAreCode4AndTheFileStillGoes) {
    // Not started.
    sh.Fail("ShellExecuteEx", 2, 0, 1);
    EXPECT_EQ(Adjust(), 0);
    ExpectOnlyMessage140(4);
    EXPECT_FALSE(sh.Exists(kImport));
    EXPECT_FALSE(sh.Called("WaitForSingleObject"));

    // Still running after the pause and the bounded wait.
    sh.messages.clear();
    sh.calls.clear();
    sh.sleeps.clear();
    sh.loadedMounts.clear();
    sh.nowMs = 0;
    sh.waitResult = kWaitTimeout;
    EXPECT_EQ(Adjust(), 0);
    ExpectOnlyMessage140(4);
    EXPECT_EQ(sh.sleeps, (std::vector<u32>{3000}));
    EXPECT_EQ(sh.CallsStartingWith("WaitForSingleObject"),
              (std::vector<std::string>{"WaitForSingleObject(0xEA60)"}));
    EXPECT_EQ(sh.nowMs, 63000u);
    EXPECT_TRUE(sh.Called("CloseHandle(process)"));
    EXPECT_FALSE(sh.Exists(kImport));

    // Ended with a failure code.
    sh.waitResult = kWaitObject0;
    editorExitCode = 1;
    sh.messages.clear();
    sh.loadedMounts.clear();
    EXPECT_EQ(Adjust(), 0);
    ExpectOnlyMessage140(4);
    EXPECT_FALSE(sh.Exists(kImport));

    // The exit code cannot be read.
    editorExitCode = 0;
    sh.Fail("GetExitCodeProcess", 6, 0, 1);
    sh.messages.clear();
    sh.loadedMounts.clear();
    EXPECT_EQ(Adjust(), 0);
    ExpectOnlyMessage140(4);
}

TEST_F(RegistryAdjustTest, HostWindowsDirectoryLimit) {
    sh.windowsDirectory = L"C:\\" + std::wstring(245, L'w');  // 248 characters
    EXPECT_EQ(Adjust(), 0);
    ExpectOnlyMessage140(4);
    EXPECT_FALSE(sh.Called("ShellExecuteEx"));
    EXPECT_FALSE(sh.Exists(kImport));

    sh.windowsDirectory.pop_back();  // 247 characters: the editor path fits 259
    sh.messages.clear();
    sh.calls.clear();
    sh.loadedMounts.clear();
    EXPECT_EQ(Adjust(), 1);
    const auto runs = sh.CallsStartingWith("ShellExecuteEx");
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_NE(runs[0].find(Narrow(sh.windowsDirectory) + "\\Regedit.exe, "), std::string::npos);

    sh.Fail("GetWindowsDirectory", 5);
    sh.messages.clear();
    sh.loadedMounts.clear();
    EXPECT_EQ(Adjust(), 0);
    ExpectOnlyMessage140(4);
}

TEST_F(RegistryAdjustTest, PrivilegesAreBestEffort) {
    sh.Fail("LookupPrivilegeValue", 1313, 0, 1);
    EXPECT_EQ(dlg.EnableBackupRestorePrivileges(), 0);
    EXPECT_EQ(sh.CallsStartingWith("LookupPrivilegeValue"),
              (std::vector<std::string>{"LookupPrivilegeValue(SeBackupPrivilege)"}));
    EXPECT_TRUE(sh.Called("CloseHandle(token)"));

    sh.calls.clear();
    sh.Fail("AdjustTokenPrivilege", 1300, 0, 1);
    EXPECT_EQ(dlg.EnableBackupRestorePrivileges(), 0);
    EXPECT_TRUE(sh.Called("CloseHandle(token)"));

    sh.calls.clear();
    sh.Fail("OpenProcessToken", 5, 0, 1);
    EXPECT_EQ(dlg.EnableBackupRestorePrivileges(), 0);
    EXPECT_FALSE(sh.Called("CloseHandle"));

    // The adjustment goes on regardless.
    sh.Fail("OpenProcessToken", 5, 0, 1);
    EXPECT_EQ(Adjust(), 1);
}

TEST_F(RegistryAdjustTest, ProgressTextWhenTheWindowExists) {
    CMessageDlg progress(sh.host);
    ASSERT_TRUE(progress.Create(IDD_MESSAGE_DIALOG));
    dlg.m_pMessageDlg = &progress;
    sh.sleeps.clear();
    sh.loadedMounts.clear();
    EXPECT_EQ(Adjust(), 1);
    dlg.m_pMessageDlg = nullptr;
    EXPECT_EQ(sh.sleeps, (std::vector<u32>{1000, 3000}));
    EXPECT_EQ(StatusTexts().back(), "対象となるOSを調整しています...");
}

}  // namespace
}  // namespace morlit::test
