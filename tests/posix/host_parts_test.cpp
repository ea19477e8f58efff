// The Linux host's smaller parts, each on its own: short names, the
// partition table, the code page, the terminal's questions, the stand-in
// programs and Windows paths.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <sstream>

#include "platform/constants.h"
#include "platform/posix/drive_namespace.h"
#include "platform/posix/disk/partition_table.h"
#include "platform/posix/posix_codepage.h"
#include "platform/posix/posix_processes.h"
#include "platform/posix/posix_system.h"
#include "platform/posix/fs/short_name.h"
#include "platform/posix/terminal_ui.h"
#include "ui/resource.h"

namespace morlit::posix {
namespace {

TEST(ShortName, LegalNamesAreKeptAndLongOnesGetTheWindowsForm) {
    EXPECT_TRUE(IsShortNameLegal(L"Boot.ini"));
    EXPECT_TRUE(IsShortNameLegal(L"NTDETECT.COM"));
    EXPECT_TRUE(IsShortNameLegal(L"system"));
    EXPECT_FALSE(IsShortNameLegal(L"system_back"));
    EXPECT_FALSE(IsShortNameLegal(L"Program Files"));
    EXPECT_FALSE(IsShortNameLegal(L"a.b.c"));
    EXPECT_FALSE(IsShortNameLegal(L"file."));
    EXPECT_FALSE(IsShortNameLegal(L"x.html"));

    std::set<std::wstring> taken;
    auto inFolder = [&](const std::wstring& n) { return taken.count(n) > 0; };
    EXPECT_EQ(MakeShortName(L"system_back", inFolder), L"SYSTEM~1");
    EXPECT_EQ(MakeShortName(L"Program Files", inFolder), L"PROGRA~1");
    EXPECT_EQ(MakeShortName(L"index.html", inFolder), L"INDEX~1.HTM");
    EXPECT_EQ(MakeShortName(L".config file", inFolder), L"CONFIG~1");
    EXPECT_EQ(MakeShortName(L"a+b;c=d.txt", inFolder), L"A_B_C_~1.TXT");
    EXPECT_EQ(MakeShortName(L"日本語のファイル.txt", inFolder), L"______~1.TXT");
    taken = {L"SYSTEM~1", L"SYSTEM~2"};
    EXPECT_EQ(MakeShortName(L"system_back", inFolder), L"SYSTEM~3");
    for (int i = 1; i <= 9; ++i) taken.insert(L"SYSTEM~" + std::to_wstring(i));
    EXPECT_EQ(MakeShortName(L"system_back", inFolder), L"SYSTE~10");
}

// A disk in memory.
class MemoryDisk : public BlockDevice {
  public:
    explicit MemoryDisk(u64 size) : data(size, '\0') {}
    u64 Size() const override { return data.size(); }
    u32 Read(u64 offset, void* buffer, std::size_t length) override {
        if (offset + length > data.size()) return err::kInvalidParameter;
        std::memcpy(buffer, data.data() + offset, length);
        return 0;
    }
    u32 Write(u64, const void*, std::size_t) override { return err::kWriteProtect; }
    u32 Flush() override { return 0; }
    void Entry(int index, u8 boot, u8 type, u32 start, u32 count) {
        char* e = &data[446 + 16 * index];
        e[0] = static_cast<char>(boot);
        e[4] = static_cast<char>(type);
        for (int i = 0; i < 4; ++i) {
            e[8 + i] = static_cast<char>(start >> (8 * i));
            e[12 + i] = static_cast<char>(count >> (8 * i));
        }
        data[510] = '\x55';
        data[511] = '\xAA';
    }
    std::string data;
};

TEST(PartitionTable, EntriesAreReadInTableOrderAndCheckedAgainstTheDisk) {
    MemoryDisk disk(8 << 20);  // 16384 sectors
    std::vector<Partition> parts;
    std::string reason;
    EXPECT_EQ(ReadPartitionTable(disk, &parts, &reason), err::kDiskCorrupt);  // no signature

    disk.Entry(1, 0x80, 0x07, 63, 8000);
    disk.Entry(3, 0x00, 0x0C, 8192, 8192);
    ASSERT_EQ(ReadPartitionTable(disk, &parts, &reason), 0u) << reason;
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].number, 2);
    EXPECT_TRUE(parts[0].active);
    EXPECT_EQ(parts[0].offset, 63u * 512);
    EXPECT_EQ(parts[0].length, 8000u * 512);
    EXPECT_EQ(parts[1].number, 4);
    EXPECT_EQ(parts[1].type, 0x0C);

    disk.Entry(3, 0x00, 0x0C, 8192, 8193);  // one sector past the end
    EXPECT_EQ(ReadPartitionTable(disk, &parts, &reason), err::kDiskCorrupt);
    EXPECT_NE(reason.find("partition 4 reaches past the end"), std::string::npos);
    EXPECT_TRUE(parts.empty());

    disk.Entry(3, 0x00, 0x0C, 0xFFFFFFFF, 0xFFFFFFFF);  // must not wrap around
    EXPECT_EQ(ReadPartitionTable(disk, &parts, &reason), err::kDiskCorrupt);

    disk.Entry(3, 0x00, 0x0C, 8000, 100);  // overlaps partition 2
    EXPECT_EQ(ReadPartitionTable(disk, &parts, &reason), err::kDiskCorrupt);
    EXPECT_NE(reason.find("overlap"), std::string::npos);

    disk.Entry(3, 0x7F, 0x0C, 9000, 100);  // not a boot flag
    EXPECT_EQ(ReadPartitionTable(disk, &parts, &reason), err::kDiskCorrupt);

    disk.Entry(3, 0x00, 0x00, 9000, 100);  // no type
    EXPECT_EQ(ReadPartitionTable(disk, &parts, &reason), err::kDiskCorrupt);
}

TEST(CodePage, JapaneseTextRoundTripsThroughCp932) {
    ThreadErrors errors;
    PosixCodePage cp(errors);
    const std::string sjis = "\x83\x52\x83\x93\x83\x67\x83\x8D\x81\x5B\x83\x8B ControlSet001";
    EXPECT_EQ(cp.AnsiToWide(sjis), L"コントロール ControlSet001");
    std::string back;
    ASSERT_TRUE(cp.WideToAnsi(L"コントロール ControlSet001", 64, back));
    EXPECT_EQ(back, sjis);
    // Characters CP932 lacks become "?"; bytes that are no character, U+30FB.
    ASSERT_TRUE(cp.WideToAnsi(L"a\u00E9b", 64, back));
    EXPECT_EQ(back, "a?b");
    EXPECT_EQ(cp.AnsiToWide(std::string("a\xA0", 2)), L"a\u30FB");
    EXPECT_EQ(cp.AnsiToWide("\x83"), L"\u30FB");  // a lead byte at the end
    EXPECT_FALSE(cp.WideToAnsi(L"コントロール", 5, back));
    EXPECT_EQ(errors.GetLastError(), err::kInsufficientBuffer);
}

TEST(TerminalUi, QuestionsReadAnswersAndTheEndOfInputSaysNo) {
    std::istringstream in("maybe\nはい\nCANCEL\n");
    std::ostringstream out;
    TerminalUi ui(in, out, false);
    EXPECT_EQ(ui.MessageBox(L"もう一度、検索しますか？", kMbYesNo, 0), kIdYes);
    EXPECT_EQ(ui.MessageBox(L"挿入してください。", kMbOkCancel, 0), kIdCancel);
    EXPECT_EQ(ui.MessageBox(L"again?", kMbYesNo, 0), kIdNo);
    EXPECT_EQ(ui.MessageBox(L"insert", kMbOkCancel, 0), kIdCancel);
    EXPECT_EQ(ui.MessageBoxById(130, kMbOk | kMbIconInformation, kHelpContextDefault), kIdOk);
    EXPECT_EQ(out.str(),
              "もう一度、検索しますか？\n挿入してください。\nagain?\ninsert\n"
              "VHDファイルの調整が完了しました。\n");

    // Only the progress window's status line is printed.
    struct Events : IDialogEvents {
    } events;
    std::ostringstream out2;
    std::istringstream none;
    TerminalUi ui2(none, out2, true);
    auto progress = ui2.NewWindow(events, IDD_MESSAGE_DIALOG);
    EXPECT_FALSE(progress->SetItemText(IDC_STATIC_MESSAGE, L"before the window"));
    ASSERT_TRUE(progress->Create(IDD_MESSAGE_DIALOG));
    progress->SetItemText(IDC_STATIC_MESSAGE, L"処理を開始します...");
    auto main = ui2.NewWindow(events, IDD_MORLIT_DIALOG);
    main->Create(IDD_MORLIT_DIALOG);
    main->SetItemText(IDC_EDIT_VHD_PATH, L"Z:\\x.vhd");
    EXPECT_EQ(main->GetItemText(IDC_EDIT_VHD_PATH), L"Z:\\x.vhd");
    EXPECT_EQ(ui2.MessageBox(L"q", kMbYesNo, 0), kIdNo);
    EXPECT_EQ(out2.str(), "処理を開始します...\nq\n[yes/no] ");
}

TEST(Processes, StandInsRunByShellNameAndOthersAreNotFound) {
    HandleTable handles;
    ThreadErrors errors;
    PosixProcesses processes(handles, errors);
    std::wstring seen;
    processes.Register(L"expand", [&](const std::wstring& p) {
        seen = p;
        return 7u;
    });
    processes.Register(L"C:\\Windows\\Regedit.exe", [](const std::wstring&) { return 0u; });

    ShellExecuteInfo info;
    info.mask = kSeeMaskNoCloseProcess;
    info.file = L"EXPAND";
    info.parameters = L"\"E:\\a.cab\" -F:hal.dll \"E:\\x\"";
    ASSERT_TRUE(processes.ShellExecuteEx(info));
    EXPECT_EQ(seen, info.parameters);
    ASSERT_NE(info.process, nullptr);
    EXPECT_EQ(processes.WaitForSingleObject(info.process, kInfinite), kWaitObject0);
    u32 code = 0;
    ASSERT_TRUE(processes.GetExitCodeProcess(info.process, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_TRUE(handles.Close(info.process));
    EXPECT_EQ(processes.WaitForSingleObject(info.process, 0), kWaitFailed);

    ShellExecuteInfo regedit;
    regedit.file = L"c:\\windows\\regedit.exe";
    EXPECT_TRUE(processes.ShellExecuteEx(regedit));
    EXPECT_EQ(regedit.process, nullptr);  // no handle was asked for

    ShellExecuteInfo other;
    other.file = L"notepad";
    EXPECT_FALSE(processes.ShellExecuteEx(other));
    EXPECT_EQ(errors.GetLastError(), err::kFileNotFound);
    other.file = L"Z:\\usr\\bin\\expand";  // the host's own program is not the tool
    EXPECT_FALSE(processes.ShellExecuteEx(other));
}

TEST(WindowsPaths, SplitAndHostPaths) {
    wchar_t letter = 0;
    PathParts parts;
    ASSERT_TRUE(DriveNamespace::Split(L"e:\\Windows\\.\\system32\\..\\system32\\config\\", &letter,
                                      &parts));
    EXPECT_EQ(letter, L'E');
    EXPECT_EQ(parts, (PathParts{L"Windows", L"system32", L"config"}));
    ASSERT_TRUE(DriveNamespace::Split(L"D:", &letter, &parts));
    EXPECT_TRUE(parts.empty());
    EXPECT_FALSE(DriveNamespace::Split(L"\\Windows", &letter, &parts));
    EXPECT_FALSE(DriveNamespace::Split(L"1:\\x", &letter, &parts));
    EXPECT_FALSE(DriveNamespace::Split(L"D:x", &letter, &parts));
    EXPECT_EQ(HostPathToWindows("/home/u/disk.vhd"), L"Z:\\home\\u\\disk.vhd");
    EXPECT_EQ(HostPathToWindows("/"), L"Z:\\");

    DriveNamespace drives;
    EXPECT_EQ(drives.NextFreeLetter(), L'D');
    Volume* volume = nullptr;
    EXPECT_EQ(drives.Resolve(L"Q:\\x", &volume, &parts), err::kPathNotFound);
}

}  // namespace
}  // namespace morlit::posix
