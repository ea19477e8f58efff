// The Win32 services against the real system (run under Wine): results and
// last-error values as the Windows calls give them, the CRT's text mode, and
// the string table and icon compiled into the program's resources.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/constants.h"
#include "platform/win32/dialog_rules.h"
#include "platform/win32/win32_host.h"
#include "platform/win32/win32_api.h"
#include "ui/texts.h"

namespace morlit::win32 {
namespace {

class FilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        wchar_t tmp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, tmp);
        dir_ = std::wstring(tmp) + L"morlit-test-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(dir_.c_str(), nullptr);
    }
    void TearDown() override {
        for (const wchar_t* name : {L"\\a.txt", L"\\b.txt", L"\\c.bin"}) {
            SetFileAttributesW((dir_ + name).c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW((dir_ + name).c_str());
        }
        RemoveDirectoryW(dir_.c_str());
    }
    std::wstring Path(const wchar_t* name) const { return dir_ + L"\\" + name; }
    std::string ReadBinary(const std::wstring& path) {
        auto s = Files().OpenStream(path, "rb");
        std::string out;
        char buf[256];
        while (s && s->Gets(buf, sizeof buf)) out += buf;
        return out;
    }
    std::wstring dir_;
};

TEST_F(FilesTest, TextModeWritesCrLfAndReadsLfBinaryModeKeepsBytes) {
    auto w = Files().OpenStream(Path(L"a.txt"), "w");
    ASSERT_TRUE(w);
    EXPECT_TRUE(w->Puts("[HKEY_LOCAL_MACHINE\\VirtualPC]\n\"Start\"=dword:0\n"));
    EXPECT_TRUE(w->Close());
    EXPECT_EQ(ReadBinary(Path(L"a.txt")),
              "[HKEY_LOCAL_MACHINE\\VirtualPC]\r\n\"Start\"=dword:0\r\n");

    auto r = Files().OpenStream(Path(L"a.txt"), "r");
    ASSERT_TRUE(r);
    char line[64];
    ASSERT_TRUE(r->Gets(line, sizeof line));
    EXPECT_STREQ(line, "[HKEY_LOCAL_MACHINE\\VirtualPC]\n");
    ASSERT_TRUE(r->Gets(line, 8));  // count-1 bytes at most
    EXPECT_STREQ(line, "\"Start\"");
    ASSERT_TRUE(r->Gets(line, sizeof line));
    EXPECT_FALSE(r->Gets(line, sizeof line));
    EXPECT_TRUE(r->Eof());

    EXPECT_EQ(Files().OpenStream(Path(L"missing.txt"), "r"), nullptr);
}

TEST_F(FilesTest, CopyDeleteAttributesAndProbesKeepWindowsResults) {
    auto w = Files().OpenStream(Path(L"a.txt"), "wb");
    ASSERT_TRUE(w);
    w->Puts("hive");
    w->Close();

    EXPECT_TRUE(Files().CopyFile(Path(L"a.txt"), Path(L"b.txt"), true));
    EXPECT_FALSE(Files().CopyFile(Path(L"a.txt"), Path(L"b.txt"), true));
    EXPECT_EQ(Errors().GetLastError(), err::kFileExists);
    EXPECT_TRUE(Files().CopyFile(Path(L"a.txt"), Path(L"b.txt"), false));

    u8 attributes = 0;
    ASSERT_TRUE(Files().GetAttributes(Path(L"b.txt"), &attributes));
    EXPECT_TRUE(Files().SetAttributes(Path(L"b.txt"), attributes | kFileAttributeReadOnly));
    ASSERT_TRUE(Files().GetAttributes(Path(L"b.txt"), &attributes));
    EXPECT_TRUE(attributes & kFileAttributeReadOnly);
    EXPECT_FALSE(Files().GetAttributes(Path(L"none.txt"), &attributes));

    auto find = Files().NewFileFind();
    EXPECT_TRUE(find->FindFile(Path(L"A.TXT")));  // names compare without case
    EXPECT_TRUE(find->FindFile(dir_));            // a folder too
    EXPECT_FALSE(find->FindFile(Path(L"none.txt")));
    EXPECT_EQ(Errors().GetLastError(), err::kFileNotFound);
    find->Close();

    EXPECT_TRUE(Files().DeleteFile(Path(L"a.txt")));
    EXPECT_FALSE(Files().DeleteFile(Path(L"a.txt")));
    EXPECT_EQ(Errors().GetLastError(), err::kFileNotFound);

    EXPECT_EQ(Files().CreateFile(Path(L"none.txt"), kGenericRead, kFileShareRead, kOpenExisting,
                                 kFileAttributeNormal),
              InvalidHandle());
    Handle h = Files().CreateFile(Path(L"b.txt"), kGenericRead, kFileShareRead, kOpenExisting,
                                  kFileAttributeNormal);
    ASSERT_NE(h, InvalidHandle());
    EXPECT_TRUE(System().CloseHandle(h));
}

// The version calls on the system's own kernel (6.1 on the Windows Wine
// stands for), on a file without a version and on a missing one.
TEST_F(FilesTest, FileVersionOfTheSystemsKernelAndFailuresWithTheirCodes) {
    std::wstring windows;
    ASSERT_TRUE(System().GetWindowsDirectory(windows));
    u32 ms = 0, ls = 0;
    ASSERT_TRUE(Files().GetFileVersion(windows + L"\\system32\\ntoskrnl.exe", &ms, &ls))
        << ::GetLastError();
    EXPECT_EQ(ms, 6u << 16 | 1);
    EXPECT_NE(ls, 0u);

    auto w = Files().OpenStream(Path(L"a.txt"), "wb");
    ASSERT_TRUE(w && w->Puts("no version here") && w->Close());
    ::SetLastError(0);
    EXPECT_FALSE(Files().GetFileVersion(Path(L"a.txt"), &ms, &ls));
    EXPECT_NE(::GetLastError(), 0u);
    EXPECT_FALSE(Files().GetFileVersion(Path(L"missing.exe"), &ms, &ls));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(DrivesTest, DriveListHasTheSystemDriveAsFixed) {
    wchar_t buffer[128] = {};
    const u32 n = Files().GetLogicalDriveStrings(128, buffer);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(std::wstring(buffer, 3), L"C:\\");
    EXPECT_EQ(Files().GetDriveType(L"C:\\"), kDriveFixed);
    // A too-small buffer gets the size needed, and nothing.
    EXPECT_EQ(Files().GetLogicalDriveStrings(2, buffer), n + 1);
    // No volume lies on a disk that does not exist.
    u8 letters[26] = {};
    EXPECT_NE(DriveLetters().QueryLettersByDisk(200, letters), 1);
    EXPECT_EQ(letters[0], 0);
}

// Wine has no virtual disks, so the lookup itself is seen only failing;
// the order it gives a disk's letters is checked on the volumes it would
// find.
TEST(DrivesTest, LettersComeInPartitionOrder) {
    u8 letters[26] = {};
    // Enumerated with the boot partition last, a letterless volume, a volume
    // with two letters, one whose offset was unreadable, and a stray byte.
    const int n = LettersInPartitionOrder({{1048576 * 101, {L'G'}},
                                           {~u64{0}, {L'K'}},
                                           {1048576, {L'f'}},
                                           {1048576 * 50, {}},
                                           {1048576 * 200, {L'H', L'I', L'1'}}},
                                          letters);
    EXPECT_EQ(n, 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(letters), 6), std::string("FGHIK\0", 6));

    // Never past the 26 bytes.
    std::vector<DiskVolume> many(30, DiskVolume{0, {L'Z'}});
    u8 full[27] = {};
    EXPECT_EQ(LettersInPartitionOrder(many, full), 26);
    EXPECT_EQ(full[26], 0);
}

// The loader's partition numbers from a disk's layout. Wine has no disk
// layouts of its own, so the answer is built as Windows gives it: the MBR's
// four entries, then four per extended boot record in chain order.
TEST(DrivesTest, LayoutAnswerGivesTheLoadersPartitionNumbers) {
    std::vector<unsigned char> answer(sizeof(DRIVE_LAYOUT_INFORMATION_EX) +
                                      7 * sizeof(PARTITION_INFORMATION_EX));
    auto* info = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(answer.data());
    info->PartitionStyle = PARTITION_STYLE_MBR;
    info->PartitionCount = 8;
    const struct {
        BYTE type;
        LONGLONG offset;
    } entries[8] = {{0x0F, 100}, {0xDE, 1},   {0, 0}, {0x07, 50},  // MBR
                    {0x07, 101}, {0x05, 200}, {0, 0}, {0, 0}};     // first EBR
    for (int i = 0; i < 8; ++i) {
        info->PartitionEntry[i].PartitionStyle = PARTITION_STYLE_MBR;
        info->PartitionEntry[i].Mbr.PartitionType = entries[i].type;
        info->PartitionEntry[i].StartingOffset.QuadPart = entries[i].offset * 1048576;
    }
    std::vector<LayoutEntry> layout;
    ASSERT_EQ(LayoutFromDriveLayout(answer.data(), answer.size(), &layout), 0u);
    ASSERT_EQ(layout.size(), 8u);
    EXPECT_EQ(ArcPartitionNumber(layout, 1 * 1048576ull), 1u);
    EXPECT_EQ(ArcPartitionNumber(layout, 50 * 1048576ull), 2u);
    EXPECT_EQ(ArcPartitionNumber(layout, 101 * 1048576ull), 3u);  // the logical drive
    EXPECT_EQ(ArcPartitionNumber(layout, 100 * 1048576ull), 0u);

    // An answer shorter than its count says, and a GPT disk, give none.
    EXPECT_EQ(LayoutFromDriveLayout(answer.data(), answer.size() - 1, &layout),
              static_cast<u32>(ERROR_INVALID_DATA));
    EXPECT_TRUE(layout.empty());
    EXPECT_EQ(LayoutFromDriveLayout(answer.data(), 4, &layout),
              static_cast<u32>(ERROR_INVALID_DATA));
    info->PartitionStyle = PARTITION_STYLE_GPT;
    EXPECT_EQ(LayoutFromDriveLayout(answer.data(), answer.size(), &layout),
              static_cast<u32>(ERROR_NOT_SUPPORTED));

    // A letter that is not on the disk asked about has no number there.
    u32 number = 77;
    EXPECT_NE(Partitions().QueryArcPartitionNumber(200, L'C', &number), 0u);
    EXPECT_EQ(number, 77u);
}

TEST(SystemTest, VersionModuleAndWindowsDirectory) {
    OsVersion v;
    ASSERT_TRUE(System().GetVersionEx(v));
    EXPECT_EQ(v.platformId, 2u);
    EXPECT_GE(v.major, 5u);
    std::wstring path;
    ASSERT_TRUE(System().GetModuleFileName(path));
    EXPECT_NE(path.find(L".exe"), std::wstring::npos);
    std::wstring windows;
    ASSERT_TRUE(System().GetWindowsDirectory(windows));
    EXPECT_EQ(windows.substr(1), L":\\windows");

    Errors().SetLastError(1234);
    EXPECT_EQ(Errors().GetLastError(), 1234u);
}

TEST(RegistryTest, OpenQueryAndTooSmallBuffer) {
    // The root the run names must reach the registry as the process's own
    // HKEY_LOCAL_MACHINE (sign-extended in a 64-bit process); Wine looks at
    // its low 32 bits only, so the calls below could not tell.
    EXPECT_EQ(ToHKey(kHKeyLocalMachine), HKEY_LOCAL_MACHINE);
    const HKEY opened = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x1A4));
    EXPECT_EQ(ToHKey(reinterpret_cast<RegKey>(opened)), opened);

    RegKey key = 0;
    ASSERT_EQ(Registry().RegOpenKeyEx(kHKeyLocalMachine,
                                      L"Software\\Microsoft\\Windows NT\\CurrentVersion", 0,
                                      kKeyRead, &key),
              0u);
    u32 type = 0, size = 0;
    ASSERT_EQ(Registry().RegQueryValueEx(key, L"CurrentVersion", &type, nullptr, &size), 0u);
    EXPECT_EQ(type, kRegSz);
    EXPECT_GT(size, 2u);
    u8 small[2];
    u32 smallSize = sizeof small;
    EXPECT_EQ(Registry().RegQueryValueEx(key, L"CurrentVersion", &type, small, &smallSize),
              err::kMoreData);
    EXPECT_EQ(smallSize, size);
    EXPECT_EQ(Registry().RegCloseKey(key), 0u);

    EXPECT_EQ(
        Registry().RegOpenKeyEx(kHKeyLocalMachine, L"Software\\NoSuchMorlitKey", 0, kKeyRead, &key),
        err::kFileNotFound);
    // Nothing is loaded there: the unload fails and changes nothing.
    EXPECT_NE(Registry().RegUnLoadKey(kHKeyLocalMachine, L"VirtualPC"), 0u);
}

TEST(SecurityTest, BackupPrivilegeCanBeEnabledAndUnknownNamesFail) {
    Handle token = nullptr;
    ASSERT_TRUE(Security().OpenProcessToken(kTokenAdjustPrivileges | kTokenQuery, &token));
    Luid luid;
    ASSERT_TRUE(Security().LookupPrivilegeValue(L"SeBackupPrivilege", &luid));
    EXPECT_TRUE(Security().AdjustTokenPrivilege(token, luid, kSePrivilegeEnabled));
    EXPECT_FALSE(Security().LookupPrivilegeValue(L"SeNoSuchPrivilege", &luid));
    EXPECT_EQ(Errors().GetLastError(), err::kNoSuchPrivilege);
    EXPECT_TRUE(System().CloseHandle(token));
}

TEST(ProcessesTest, StartsWaitsAndReadsTheExitCode) {
    ShellExecuteInfo info;
    info.mask = kSeeMaskNoCloseProcess;
    info.file = L"cmd.exe";
    info.parameters = L"/c exit 3";
    info.show = kSwHide;
    ASSERT_TRUE(Processes().ShellExecuteEx(info));
    ASSERT_NE(info.process, nullptr);
    EXPECT_EQ(Processes().WaitForSingleObject(info.process, 30000), kWaitObject0);
    u32 code = 0;
    EXPECT_TRUE(Processes().GetExitCodeProcess(info.process, &code));
    EXPECT_EQ(code, 3u);
    EXPECT_TRUE(System().CloseHandle(info.process));

    ShellExecuteInfo missing;
    // SEE_MASK_FLAG_NO_UI: without it the shell reports the failure in a box.
    missing.mask = kSeeMaskNoCloseProcess | 0x400;
    missing.file = L"no-such-morlit-tool.exe";
    EXPECT_FALSE(Processes().ShellExecuteEx(missing));
    EXPECT_EQ(missing.process, nullptr);
}

TEST(CodePageTest, RoundTripAndCapacity) {
    EXPECT_EQ(CodePage().AnsiToWide("ControlSet001"), L"ControlSet001");
    std::string out;
    EXPECT_TRUE(CodePage().WideToAnsi(L"ControlSet002", 13, out));
    EXPECT_EQ(out, "ControlSet002");
    EXPECT_FALSE(CodePage().WideToAnsi(L"ControlSet002", 12, out));
    EXPECT_TRUE(CodePage().WideToAnsi(L"", 0, out));
    EXPECT_EQ(out, "");
}

TEST(VirtualDiskTest, FailedOpenLeavesNoHandle) {
    VirtualStorageType type;
    type.deviceId = kVirtualStorageTypeDeviceVhd;
    std::memcpy(type.vendorId, kVendorMicrosoft, 16);
    Handle h = reinterpret_cast<Handle>(1);
    // Missing file (or, under Wine, the stub): a Windows error code.
    EXPECT_NE(VirtualDisk().OpenVirtualDisk(type, L"C:\\no-such.vhd", kVirtualDiskAccessAll, 0, &h),
              0u);
    EXPECT_EQ(h, nullptr);
}

TEST(ResourcesTest, StringTableAndIconMatchTheSourceOfTexts) {
    auto ui = NewUi(GetModuleHandleW(nullptr));
#define MORLIT_CHECK_STRING(id, symbol, text) EXPECT_EQ(ui->LoadString(id), text) << id;
    MORLIT_STRING_TABLE(MORLIT_CHECK_STRING)
#undef MORLIT_CHECK_STRING
    EXPECT_EQ(ui->LoadString(9999), L"");
    EXPECT_NE(ui->LoadAppIcon(128), nullptr);
    EXPECT_TRUE(ui->InitCommonControls(0xFF));
}

TEST(MessageRulesTest, HelpContexts) {
    EXPECT_EQ(FrameworkHelpContext(135, kHelpContextDefault), 0x30000u + 135);
    EXPECT_EQ(FrameworkHelpContext(135, 0), 0u);
    EXPECT_EQ(FrameworkHelpContext(0, 7), 0x30007u);
}

}  // namespace
}  // namespace morlit::win32
