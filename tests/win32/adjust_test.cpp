// The adjustments and the discovery on the real Windows host (run under Wine
// by run-adjust-tests.sh): files, processes, registry and drives are the
// system's own, on a folder standing as the attached volume and one standing
// as the installation CD. Only the clock and the message boxes are scripted,
// so that pauses cost nothing and every question gets its answer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/win32_api.h"
#include "platform/win32/win32_host.h"
#include "tests/support/script_host.h"
#include "ui/MorlitDlg.h"
#include "ui/texts.h"

namespace morlit::win32 {
namespace {

using test::Narrow;
using test::ScriptHost;

std::wstring Env(const wchar_t* name) {
    const wchar_t* value = _wgetenv(name);
    return value ? value : L"";
}

std::string ReadAll(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return "<missing>";
    std::string out;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0) out.append(buffer, got);
    CloseHandle(h);
    return out;
}

void WriteAll(const std::wstring& path, const std::string& data) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << Narrow(path);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
    CloseHandle(h);
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

DWORD Attributes(const std::wstring& path) { return GetFileAttributesW(path.c_str()); }

// Creates every folder of `path` that is missing.
void MakeFolders(const std::wstring& path) {
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
    CreateDirectoryW(path.c_str(), nullptr);
}

// Empties a folder, read-only files included; the folder itself stays.
void EmptyFolder(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L"\\" + name;
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            EmptyFolder(path);
            RemoveDirectoryW(path.c_str());
        } else {
            DeleteFileW(path.c_str());
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

// The real system, except for where the program lies: the templates and the
// import file are looked for in a folder of the test's own.
class ProgramFolderSystem : public ISystem {
  public:
    bool GetVersionEx(OsVersion& out) override { return System().GetVersionEx(out); }
    bool GetModuleFileName(std::wstring& path) override {
        path = modulePath;
        return true;
    }
    bool GetWindowsDirectory(std::wstring& dir) override {
        return System().GetWindowsDirectory(dir);
    }
    bool CloseHandle(Handle handle) override { return System().CloseHandle(handle); }
    std::wstring modulePath;
};

// The real processes, with a record of what was started.
class RecordingProcesses : public IProcesses {
  public:
    bool ShellExecuteEx(ShellExecuteInfo& info) override {
        started.push_back(info.file + L" " + info.parameters);
        return Processes().ShellExecuteEx(info);
    }
    u32 WaitForSingleObject(Handle handle, u32 milliseconds) override {
        return Processes().WaitForSingleObject(handle, milliseconds);
    }
    bool GetExitCodeProcess(Handle process, u32* code) override {
        return Processes().GetExitCodeProcess(process, code);
    }
    std::vector<std::wstring> started;
};

class WineRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::wstring volume = Env(L"MORLIT_TEST_VOLUME");
        const std::wstring cd = Env(L"MORLIT_TEST_CD");
        fixtures_ = Env(L"MORLIT_TEST_FIXTURES");
        if (volume.empty() || cd.empty() || fixtures_.empty()) {
            GTEST_SKIP() << "needs the drives run-adjust-tests.sh sets up";
        }
        letter_ = static_cast<wchar_t>(towupper(volume[0]));
        cdLetter_ = static_cast<wchar_t>(towupper(cd[0]));
        root_ = std::wstring(1, letter_) + L":";
        EmptyFolder(root_);

        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        scratch_ = std::wstring(temp) + L"morlit-run-tests";
        MakeFolders(scratch_ + L"\\program");
        MakeFolders(scratch_ + L"\\cwd");
        EmptyFolder(scratch_ + L"\\program");
        EmptyFolder(scratch_ + L"\\cwd");
        program_ = scratch_ + L"\\program\\";
        cwd_ = scratch_ + L"\\cwd\\";
        // Started tools inherit this folder; Wine's expand writes there
        // when it takes an option for its output file.
        SetCurrentDirectoryW(cwd_.c_str());

        system_.modulePath = program_ + L"Morlit.exe";
        host_ = sh_.host;
        host_.errors = &Errors();
        host_.system = &system_;
        host_.vdisk = &VirtualDisk();
        host_.letters = &DriveLetters();
        host_.registry = &Registry();
        host_.security = &Security();
        host_.files = &Files();
        host_.processes = &processes_;
        host_.codepage = &CodePage();
        dlg_ = std::make_unique<CMorlitDlg>(host_);
        // As the mount stage leaves it; the partition number is scripted.
        dlg_->m_nDiskNumber = 0;
        // What a failed load under Wine leaves at the mount point; once
        // saved by an earlier Wine session it is a plain key, which only a
        // delete removes.
        Registry().RegUnLoadKey(kHKeyLocalMachine, L"VirtualPC");
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"VirtualPC");
    }
    void TearDown() override { Registry().RegUnLoadKey(kHKeyLocalMachine, L"VirtualPC"); }

    std::wstring OnVolume(const std::wstring& rest) const { return root_ + L"\\" + rest; }
    std::string Fixture(const wchar_t* name) const { return ReadAll(fixtures_ + L"\\" + name); }
    void CopyFixture(const wchar_t* name, const std::wstring& to) {
        ASSERT_TRUE(CopyFileW((fixtures_ + L"\\" + name).c_str(), to.c_str(), FALSE)) << Narrow(to);
    }
    // The templates beside the program: an XP or 2000 target's run reads
    // them before it writes anything.
    void Templates() {
        WriteAll(program_ + L"Dravmont.bin", "REGEDIT4\r\n");
        WriteAll(program_ + L"Quessil.bin", "[boot loader]\r\n");
    }
    // The volume's system32 with old drivers in place.
    void OldDrivers(const std::wstring& windows) {
        MakeFolders(OnVolume(windows + L"\\system32\\Drivers"));
        WriteAll(OnVolume(windows + L"\\system32\\hal.dll"), "old hal");
        WriteAll(OnVolume(windows + L"\\system32\\ntoskrnl.exe"), "old kernel");
        WriteAll(OnVolume(windows + L"\\system32\\Drivers\\intelide.sys"), "old ide");
    }
    // A binary SYSTEM hive as Windows writes it: Wine cannot load it.
    std::string BinaryHive(const std::wstring& windows) {
        std::string hive = "regf";
        hive.resize(8192, '\0');
        hive.replace(4096, 4, "hbin");
        MakeFolders(OnVolume(windows + L"\\system32\\config"));
        WriteAll(OnVolume(windows + L"\\system32\\config\\system"), hive);
        return hive;
    }
    std::wstring Formatted(u32 id, u32 code) const {
        return FormatWithCode(FindStringTableText(id), code);
    }
    // The messages shown, as their string-table texts with any code.
    std::vector<std::wstring> Messages() const {
        std::vector<std::wstring> texts;
        for (const auto& m : sh_.messages) texts.push_back(m.text);
        return texts;
    }
    static std::wstring Text(u32 id) { return FindStringTableText(id); }

    ScriptHost sh_;
    ProgramFolderSystem system_;
    RecordingProcesses processes_;
    Host host_;
    std::unique_ptr<CMorlitDlg> dlg_;
    wchar_t letter_ = 0;
    wchar_t cdLetter_ = 0;
    std::wstring root_, fixtures_, scratch_, program_, cwd_;
};

// --- drivers ------------------------------------------------------------------

TEST_F(WineRunTest, FolderFormExpandsSzddAndOneMemberCabinetsOverTheOldDrivers) {
    OldDrivers(L"WINDOWS");
    MakeFolders(OnVolume(L"WINDOWS\\i386"));
    for (const wchar_t* name : {L"hal.dl_", L"ntoskrnl.ex_", L"intelide.sy_"}) {
        CopyFixture(name, OnVolume(std::wstring(L"WINDOWS\\i386\\") + name));
    }
    const std::wstring windows = OnVolume(L"WINDOWS");
    EXPECT_EQ(dlg_->ExpandDriversFromFolder(letter_, windows, OnVolume(L"WINDOWS\\i386")), 1);

    EXPECT_EQ(ReadAll(windows + L"\\system32\\hal.dll"), Fixture(L"hal.dll"));
    EXPECT_EQ(ReadAll(windows + L"\\system32\\ntoskrnl.exe"), Fixture(L"ntoskrnl.exe"));
    EXPECT_EQ(ReadAll(windows + L"\\system32\\Drivers\\intelide.sys"), Fixture(L"intelide.sys"));
    ASSERT_EQ(processes_.started.size(), 3u);
    EXPECT_EQ(processes_.started[0], L"expand \"" + windows + L"\\i386\\hal.dl_\" \"" + windows +
                                         L"\\system32\\hal.dll\"");
}

TEST_F(WineRunTest, FolderFormStopsAtAMissingSourceThroughExpandsExitCode) {
    OldDrivers(L"WINDOWS");
    MakeFolders(OnVolume(L"WINDOWS\\i386"));
    CopyFixture(L"ntoskrnl.ex_", OnVolume(L"WINDOWS\\i386\\ntoskrnl.ex_"));
    CopyFixture(L"intelide.sy_", OnVolume(L"WINDOWS\\i386\\intelide.sy_"));

    // Wine's expand starts, cannot open hal.dl_ and ends with 1.
    EXPECT_EQ(
        dlg_->ExpandDriversFromFolder(letter_, OnVolume(L"WINDOWS"), OnVolume(L"WINDOWS\\i386")),
        0);
    EXPECT_EQ(processes_.started.size(), 1u);
    EXPECT_EQ(ReadAll(OnVolume(L"WINDOWS\\system32\\hal.dll")), "old hal");
    EXPECT_EQ(ReadAll(OnVolume(L"WINDOWS\\system32\\ntoskrnl.exe")), "old kernel");
}

TEST_F(WineRunTest, CabinetFormUnderWineEndsWithZeroAndLeavesTheDriversAsTheyWere) {
    OldDrivers(L"WINDOWS");
    MakeFolders(OnVolume(L"WINDOWS\\Driver Cache\\i386"));
    CopyFixture(L"sp3.cab", OnVolume(L"WINDOWS\\Driver Cache\\i386\\sp3.cab"));
    const std::wstring windows = OnVolume(L"WINDOWS");

    // Wine's expand knows no -F: it takes the option for its output file,
    // relative to the working folder, writes every member into it in turn
    // and ignores the destination folder; its exit code is 0, so the step
    // counts as done (Windows' expand extracts the member).
    EXPECT_EQ(dlg_->ExpandDriversFromCabinet(letter_, windows,
                                             windows + L"\\Driver Cache\\i386\\sp3.cab"),
              1);
    ASSERT_EQ(processes_.started.size(), 3u);
    EXPECT_EQ(processes_.started[2], L"expand \"" + windows +
                                         L"\\Driver Cache\\i386\\sp3.cab\" -F:intelide.sys \"" +
                                         windows + L"\\system32\\drivers\"");
    EXPECT_EQ(ReadAll(windows + L"\\system32\\hal.dll"), "old hal");
    EXPECT_EQ(ReadAll(windows + L"\\system32\\ntoskrnl.exe"), "old kernel");
    EXPECT_EQ(ReadAll(windows + L"\\system32\\Drivers\\intelide.sys"), "old ide");
    // The last member written wins.
    EXPECT_EQ(ReadAll(cwd_ + L"-F:hal.dll"), Fixture(L"intelide.sys"));
    EXPECT_EQ(ReadAll(cwd_ + L"-F:intelide.sys"), Fixture(L"intelide.sys"));

    // A cabinet that is not there fails the first step through exit code 1.
    processes_.started.clear();
    EXPECT_EQ(dlg_->ExpandDriversFromCabinet(letter_, windows, windows + L"\\no\\sp3.cab"), 0);
    EXPECT_EQ(processes_.started.size(), 1u);
}

TEST_F(WineRunTest, AProgramThatCannotStartFailsTheStepAfterTheShellsErrorBox) {
    // Without SEE_MASK_FLAG_NO_UI the shell reports the failure in a box
    // before it returns; a watcher answers it so that the test goes on.
    std::atomic<DWORD> runner{0};
    std::atomic<bool> done{false};
    std::atomic<int> result{-1};
    std::thread run([&] {
        runner = GetCurrentThreadId();
        result = dlg_->RunAndWait(L"morlit-no-such-tool.exe", L"\"a\" \"b\"");
        done = true;
    });
    std::wstring boxText;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (runner == 0) continue;
        EnumThreadWindows(
            runner,
            [](HWND window, LPARAM param) -> BOOL {
                auto* texts = reinterpret_cast<std::wstring*>(param);
                wchar_t text[512] = {};
                GetWindowTextW(window, text, 512);
                *texts += std::wstring(L"[") + text + L"]";
                EnumChildWindows(
                    window,
                    [](HWND child, LPARAM p) -> BOOL {
                        wchar_t t[512] = {};
                        GetWindowTextW(child, t, 512);
                        *reinterpret_cast<std::wstring*>(p) += std::wstring(L" ") + t;
                        return TRUE;
                    },
                    param);
                PostMessageW(window, WM_COMMAND, IDOK, 0);
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&boxText));
    }
    if (!done) {
        run.detach();  // the process ends with the failure
        FAIL() << "RunAndWait did not return";
    }
    run.join();
    EXPECT_EQ(result, 0);
    // The box clobbers the shell's last error (0 after it, 1400 when no
    // display lets it open), so only the result tells.
    if (!Env(L"DISPLAY").empty()) {
        EXPECT_NE(boxText.find(L"File not found"), std::wstring::npos) << Narrow(boxText);
    }
}

// --- Boot.ini -------------------------------------------------------------------

TEST_F(WineRunTest, BootIniIsReplacedFromReadOnlyTemplatesOverAReadOnlyOne) {
    WriteAll(program_ + L"Quessil.bin", "[boot loader]\r\ntimeout=30\r\n; XP\r\n");
    WriteAll(program_ + L"Tolmarin.bin", "[boot loader]\r\ntimeout=30\r\n; 2000\r\n");
    SetFileAttributesW((program_ + L"Quessil.bin").c_str(), FILE_ATTRIBUTE_READONLY);
    const std::wstring bootIni = OnVolume(L"Boot.ini");
    WriteAll(bootIni, "[boot loader]\r\nold\r\n");
    SetFileAttributesW(bootIni.c_str(),
                       FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);

    EXPECT_EQ(dlg_->ReplaceBootIni(letter_, OnVolume(L"WINDOWS")), 1);
    EXPECT_EQ(ReadAll(bootIni), ReadAll(program_ + L"Quessil.bin"));
    EXPECT_FALSE(Attributes(bootIni) & FILE_ATTRIBUTE_READONLY);
    // The template itself is left as it was.
    EXPECT_TRUE(Attributes(program_ + L"Quessil.bin") & FILE_ATTRIBUTE_READONLY);

    // A Windows 2000 directory takes the other template; no Boot.ini at all
    // is no obstacle.
    SetFileAttributesW(bootIni.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(bootIni.c_str());
    EXPECT_EQ(dlg_->ReplaceBootIni(letter_, OnVolume(L"WINNT")), 1);
    EXPECT_EQ(ReadAll(bootIni), ReadAll(program_ + L"Tolmarin.bin"));
}

// On partition 2 the template's ARC paths are rewritten: the new file is
// written through the runtime's streams and takes the template's hidden and
// system bits, never its read-only one.
TEST_F(WineRunTest, BootIniOnASecondPartitionNamesIt) {
    sh_.arcPartition = 2;
    const std::string xp =
        "[boot loader]\r\ndefault=multi(0)disk(0)rdisk(0)partition(1)\\WINDOWS\r\n";
    WriteAll(program_ + L"Quessil.bin", xp);
    SetFileAttributesW((program_ + L"Quessil.bin").c_str(),
                       FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    const std::wstring bootIni = OnVolume(L"Boot.ini");
    WriteAll(bootIni, "[boot loader]\r\nold\r\n");
    SetFileAttributesW(bootIni.c_str(),
                       FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);

    EXPECT_EQ(dlg_->ReplaceBootIni(letter_, OnVolume(L"WINDOWS")), 1);
    EXPECT_EQ(ReadAll(bootIni),
              "[boot loader]\r\ndefault=multi(0)disk(0)rdisk(0)partition(2)\\WINDOWS\r\n");
    const DWORD attributes = Attributes(bootIni);
    EXPECT_FALSE(attributes & FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_HIDDEN);
    SetFileAttributesW((program_ + L"Quessil.bin").c_str(), FILE_ATTRIBUTE_NORMAL);
    SetFileAttributesW(bootIni.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(WineRunTest, BootIniStaysWhenTheTemplateIsMissing) {
    const std::wstring bootIni = OnVolume(L"Boot.ini");
    WriteAll(bootIni, "[boot loader]\r\nold\r\n");
    SetFileAttributesW(bootIni.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    const DWORD before = Attributes(bootIni);

    EXPECT_EQ(dlg_->ReplaceBootIni(letter_, OnVolume(L"WINDOWS")), 0);
    EXPECT_EQ(ReadAll(bootIni), "[boot loader]\r\nold\r\n");
    EXPECT_EQ(Attributes(bootIni), before);
}

TEST_F(WineRunTest, UncompressingBootIniIsNotSupportedByWine) {
    // ReplaceBootIni does not look at this result; Wine refuses the request.
    const std::wstring bootIni = OnVolume(L"Boot.ini");
    WriteAll(bootIni, "x");
    Handle file =
        Files().CreateFile(bootIni, kGenericRead | kGenericWrite, kFileShareRead | kFileShareWrite,
                           kOpenExisting, kFileAttributeNormal);
    ASSERT_NE(file, InvalidHandle());
    const u16 format = kCompressionFormatNone;
    u32 returned = 0;
    EXPECT_FALSE(Files().DeviceIoControl(file, kFsctlSetCompression, &format, sizeof format,
                                         nullptr, 0, &returned));
    EXPECT_EQ(Errors().GetLastError(), static_cast<u32>(ERROR_NOT_SUPPORTED));
    System().CloseHandle(file);
}

// --- registry -------------------------------------------------------------------

TEST_F(WineRunTest, BinaryHivesCannotBeLoadedUnderWine) {
    const std::string hive = BinaryHive(L"WINDOWS");
    const std::wstring config = OnVolume(L"WINDOWS\\system32\\config\\");

    EXPECT_EQ(dlg_->EnableBackupRestorePrivileges(), 1);
    EXPECT_EQ(Registry().RegLoadKey(kHKeyLocalMachine, L"VirtualPC", config + L"system"),
              static_cast<u32>(ERROR_NOT_REGISTRY_FILE));  // 1017

    EXPECT_EQ(dlg_->AdjustTargetRegistry(letter_, OnVolume(L"WINDOWS")), 0);
    ASSERT_EQ(sh_.messages.size(), 1u);
    EXPECT_EQ(sh_.messages[0].text, Formatted(IDS_REGISTRY_FAILED, 1));
    // The backup this run made of a hive that would not load is gone again;
    // the hive is as it was.
    EXPECT_FALSE(Exists(config + L"system_back"));
    EXPECT_EQ(ReadAll(config + L"system"), hive);
    EXPECT_FALSE(Exists(program_ + L"Morlit.reg"));
    // Wine's refused load leaves an empty key at the mount point: a second
    // load meets it (183), and only an unload removes it. The run
    // controller unloads after every run, so each run sees 1017 again.
    RegKey key = 0;
    ASSERT_EQ(Registry().RegOpenKeyEx(kHKeyLocalMachine, L"VirtualPC", 0, kKeyRead, &key), 0u);
    wchar_t name[64] = {};
    DWORD nameChars = 64;
    EXPECT_EQ(RegEnumKeyExW(reinterpret_cast<HKEY>(key), 0, name, &nameChars, nullptr, nullptr,
                            nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    Registry().RegCloseKey(key);
    EXPECT_EQ(Registry().RegLoadKey(kHKeyLocalMachine, L"VirtualPC", config + L"system"),
              static_cast<u32>(ERROR_ALREADY_EXISTS));

    // A backup from an earlier run is neither overwritten nor deleted.
    WriteAll(config + L"system_back", hive);
    WriteAll(config + L"system", "regf changed");
    EXPECT_EQ(dlg_->AdjustTargetRegistry(letter_, OnVolume(L"WINDOWS")), 0);
    EXPECT_EQ(ReadAll(config + L"system_back"), hive);
    EXPECT_EQ(sh_.messages.back().text, Formatted(IDS_REGISTRY_FAILED, 1));

    EXPECT_EQ(Registry().RegUnLoadKey(kHKeyLocalMachine, L"VirtualPC"), 0u);
    EXPECT_EQ(Registry().RegOpenKeyEx(kHKeyLocalMachine, L"VirtualPC", 0, kKeyRead, &key),
              static_cast<u32>(ERROR_FILE_NOT_FOUND));
}

TEST_F(WineRunTest, TemplateRewritingThroughTheRuntimeEndsEachLineInOneCrLf) {
    // Text-mode reading (CR LF reads as LF, a lone CR stays, Ctrl-Z ends the
    // template) and an import file whose only line ends are the ones written.
    const std::string longValue(300, 'x');
    WriteAll(program_ + L"Dravmont.bin",
             "REGEDIT4\r\n\r\n  [HKEY_LOCAL_MACHINE\\VirtualPC\\controlset001\\x]\t\r\n"
             "\"a\"=\"" +
                 longValue +
                 "\"\nb\rc\r\n"
                 "[HKEY_LOCAL_MACHINE\\VirtualPC\\ControlSet001\\y]\x1A[after]\r\n");
    bool written = false;
    EXPECT_EQ(dlg_->RewriteControlSetTemplate(2, &written), program_ + L"Morlit.reg");
    EXPECT_TRUE(written);
    EXPECT_EQ(ReadAll(program_ + L"Morlit.reg"),
              "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\VirtualPC\\controlset002\\x]\r\n"
              "\"a\"=\"" +
                  longValue +
                  "\"\r\nb\rc\r\n"
                  "[HKEY_LOCAL_MACHINE\\VirtualPC\\ControlSet002\\y]\r\n");
}

// --- discovery ------------------------------------------------------------------

TEST_F(WineRunTest, DiscoveryFindsTheServicePackCabinetWhateverTheCaseOfItsNames) {
    Templates();
    MakeFolders(OnVolume(L"windows\\driver cache\\i386"));
    CopyFixture(L"sp3.cab", OnVolume(L"windows\\driver cache\\i386\\SP3.CAB"));
    OldDrivers(L"windows");
    BinaryHive(L"windows");
    WriteAll(OnVolume(L"Boot.ini"), "old");

    // The cabinet steps "succeed" under Wine; the registry then fails.
    EXPECT_EQ(dlg_->DiscoverAndAdjust(letter_), 0);
    ASSERT_EQ(processes_.started.size(), 3u);
    EXPECT_EQ(processes_.started[0], L"expand \"" + root_ +
                                         L"\\Windows\\Driver Cache\\i386\\sp3.cab\" -F:hal.dll \"" +
                                         root_ + L"\\Windows\\system32\"");
    EXPECT_EQ(Messages(), std::vector<std::wstring>{Formatted(IDS_REGISTRY_FAILED, 1)});
    EXPECT_FALSE(Exists(OnVolume(L"windows\\system32\\config\\system_back")));
    EXPECT_EQ(ReadAll(OnVolume(L"Boot.ini")), "old");
}

TEST_F(WineRunTest, DiscoveryOfABootManagerVolumeOrOfNothing) {
    WriteAll(OnVolume(L"BOOTMGR"), "bootmgr");
    MakeFolders(OnVolume(L"boot"));
    WriteAll(OnVolume(L"boot\\bcd"), "bcd");
    BinaryHive(L"Windows");
    // The registry only, which Wine cannot load.
    EXPECT_EQ(dlg_->DiscoverAndAdjust(letter_), 0);
    EXPECT_TRUE(processes_.started.empty());
    EXPECT_EQ(Messages(), std::vector<std::wstring>{Formatted(IDS_REGISTRY_FAILED, 1)});

    EmptyFolder(root_);
    sh_.messages.clear();
    EXPECT_EQ(dlg_->DiscoverAndAdjust(letter_), 0);
    EXPECT_EQ(Messages(), std::vector<std::wstring>{Text(IDS_NO_TARGET_OS)});
}

TEST_F(WineRunTest, DiscoveryTakesTheDriversFromTheInstallationCdDrive) {
    Templates();
    // Wine lists the folder configured as a CD-ROM drive with that type.
    wchar_t drives[260] = {};
    ASSERT_GT(Files().GetLogicalDriveStrings(260, drives), 0u);
    bool listed = false;
    for (const wchar_t* p = drives; *p; p += wcslen(p) + 1) {
        const std::wstring rootPath = p;
        if (towupper(p[0]) == cdLetter_) {
            listed = true;
            EXPECT_EQ(Files().GetDriveType(rootPath), kDriveCdrom);
        } else if (towupper(p[0]) == letter_) {
            EXPECT_EQ(Files().GetDriveType(rootPath), kDriveFixed);
        }
    }
    ASSERT_TRUE(listed) << "the CD drive is not in the drive list";

    OldDrivers(L"WINDOWS");
    BinaryHive(L"WINDOWS");
    sh_.answers = {kIdOk};  // the installation CD is in its drive

    EXPECT_EQ(dlg_->DiscoverAndAdjust(letter_), 0);
    EXPECT_EQ(Messages(),
              (std::vector<std::wstring>{Text(IDS_INSERT_CD), Formatted(IDS_REGISTRY_FAILED, 1)}));
    EXPECT_EQ(sh_.sleeps, std::vector<u32>{1000});  // one pass of the scan
    ASSERT_EQ(processes_.started.size(), 3u);
    const std::wstring cdRoot = std::wstring(1, cdLetter_) + L":";
    // The Windows directory is the probe's spelling, not the volume's.
    EXPECT_EQ(processes_.started[0], L"expand \"" + cdRoot + L"\\I386\\hal.dl_\" \"" + root_ +
                                         L"\\Windows\\system32\\hal.dll\"");
    EXPECT_EQ(ReadAll(OnVolume(L"WINDOWS\\system32\\hal.dll")), Fixture(L"hal.dll"));
    EXPECT_EQ(ReadAll(OnVolume(L"WINDOWS\\system32\\ntoskrnl.exe")), Fixture(L"ntoskrnl.exe"));
    EXPECT_EQ(ReadAll(OnVolume(L"WINDOWS\\system32\\Drivers\\intelide.sys")),
              Fixture(L"intelide.sys"));
}

TEST_F(WineRunTest, TheCdsOwnCabinetComesBeforeItsFolderAndAMissingTagAsksAgain) {
    Templates();
    BinaryHive(L"WINDOWS");
    OldDrivers(L"WINDOWS");
    const std::wstring cd = std::wstring(1, cdLetter_) + L":";
    // Wine lets a program write to a folder it presents as a CD-ROM drive.
    ASSERT_TRUE(
        CopyFileW((fixtures_ + L"\\sp3.cab").c_str(), (cd + L"\\i386\\SP3.CAB").c_str(), FALSE));
    sh_.answers = {kIdOk};
    const int withCabinet = dlg_->DiscoverAndAdjust(letter_);
    DeleteFileW((cd + L"\\I386\\sp3.cab").c_str());
    EXPECT_EQ(withCabinet, 0);  // the registry, as always under Wine
    ASSERT_EQ(processes_.started.size(), 3u);
    EXPECT_EQ(processes_.started[0], L"expand \"" + cd + L"\\I386\\sp3.cab\" -F:hal.dll \"" +
                                         root_ + L"\\Windows\\system32\"");

    // Without WIN51 the drive is no installation CD: the scan asks whether
    // to search again, and a No ends the run.
    ASSERT_TRUE(MoveFileW((cd + L"\\win51").c_str(), (cd + L"\\win51.off").c_str()));
    sh_.messages.clear();
    sh_.sleeps.clear();
    processes_.started.clear();
    sh_.answers = {kIdOk, kIdYes, kIdNo};
    const int withoutTag = dlg_->DiscoverAndAdjust(letter_);
    MoveFileW((cd + L"\\win51.off").c_str(), (cd + L"\\win51").c_str());
    EXPECT_EQ(withoutTag, 0);
    EXPECT_EQ(Messages(), (std::vector<std::wstring>{Text(IDS_INSERT_CD), Text(IDS_CD_NOT_FOUND),
                                                     Text(IDS_CD_NOT_FOUND)}));
    EXPECT_EQ(sh_.sleeps, (std::vector<u32>{1000, 1000}));
    EXPECT_TRUE(processes_.started.empty());
}

}  // namespace
}  // namespace morlit::win32
