// The Linux host's smaller parts, each on its own: short names, the
// partition table, the code page, the terminal's questions, the stand-in
// programs and Windows paths.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
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
        if (offset <= badSector * 512 && badSector * 512 < offset + length) return err::kReadFault;
        std::memcpy(buffer, data.data() + offset, length);
        return 0;
    }
    u32 Write(u64, const void*, std::size_t) override { return err::kWriteProtect; }
    u32 Flush() override { return 0; }
    void Entry(int index, u8 boot, u8 type, u32 start, u32 count) {
        Record(0, index, boot, type, start, count);
    }
    // An entry of the table in sector `lba`: an extended boot record's.
    void Record(u64 lba, int index, u8 boot, u8 type, u32 start, u32 count) {
        char* sector = &data[lba * 512];
        char* e = sector + 446 + 16 * index;
        e[0] = static_cast<char>(boot);
        e[4] = static_cast<char>(type);
        for (int i = 0; i < 4; ++i) {
            e[8 + i] = static_cast<char>(start >> (8 * i));
            e[12 + i] = static_cast<char>(count >> (8 * i));
        }
        sector[510] = '\x55';
        sector[511] = '\xAA';
    }
    std::string data;
    u64 badSector = ~u64{0} / 512;  // a read that reaches it fails
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

    disk.Entry(3, 0x80, 0x00, 100, 9000);  // unused, though over partition 2: a note
    std::vector<std::string> warnings;
    EXPECT_EQ(ReadPartitionTable(disk, &parts, &reason, &warnings), 0u);
    EXPECT_EQ(parts.size(), 1u);
    EXPECT_NE(warnings.at(0).find("partition 4 has type 0"), std::string::npos);
}

// Primary 1 (NTFS), extended 2 holding logical drives 5 (NTFS) and 6 (FAT32),
// primary 3 (FAT32) after it.
constexpr u32 kExtended = 4096;
void LayOutLogicalDrives(MemoryDisk& disk) {
    disk.Entry(0, 0x80, 0x07, 63, 2000);
    disk.Entry(1, 0x00, 0x0F, kExtended, 8192);
    disk.Entry(2, 0x00, 0x0C, 12288, 4096);
    disk.Record(kExtended, 0, 0x00, 0x07, 63, 1000);
    disk.Record(kExtended, 1, 0x00, 0x05, 2048, 4000);
    disk.Record(kExtended + 2048, 0, 0x00, 0x0B, 63, 3000);
}

TEST(PartitionTable, LogicalDrivesTakeTheirExtendedPartitionsPlace) {
    MemoryDisk disk(8 << 20);
    LayOutLogicalDrives(disk);
    std::vector<Partition> parts;
    std::string reason;
    std::vector<std::string> warnings;
    ASSERT_EQ(ReadPartitionTable(disk, &parts, &reason, &warnings), 0u) << reason;
    EXPECT_TRUE(warnings.empty());
    ASSERT_EQ(parts.size(), 4u);
    const int numbers[] = {1, 5, 6, 3};
    const u64 offsets[] = {63, kExtended + 63, kExtended + 2048 + 63, 12288};
    for (size_t i = 0; i < parts.size(); ++i) {
        EXPECT_EQ(parts[i].number, numbers[i]);
        EXPECT_EQ(parts[i].offset, offsets[i] * 512);
    }
    EXPECT_EQ(parts[2].type, 0x0B);
    EXPECT_EQ(parts[2].length, 3000u * 512);
}

// A chain that cannot be trusted gives no logical drive at all, never a
// part of one; the primary partitions stay usable.
TEST(PartitionTable, ABrokenChainOfLogicalDrivesGivesNoneOfThem) {
    const u64 second = kExtended + 2048;
    struct Case {
        const char* name;
        std::function<void(MemoryDisk&)> damage;
        const char* warning;
    };
    const Case cases[] = {
        {"link of nothing", [&](MemoryDisk& d) { d.Record(second, 1, 0, 0x05, 0, 0); },
         "malformed"},
        {"loop back", [&](MemoryDisk& d) { d.Record(second, 1, 0, 0x05, 2048, 10); }, "loops"},
        {"link outside", [&](MemoryDisk& d) { d.Record(kExtended, 1, 0, 0x05, 8192, 10); },
         "points outside"},
        {"link not extended", [&](MemoryDisk& d) { d.Record(kExtended, 1, 0, 0x07, 2048, 10); },
         "malformed"},
        {"no signature", [&](MemoryDisk& d) { d.data[second * 512 + 511] = 0; }, "no signature"},
        {"past the end", [&](MemoryDisk& d) { d.Record(second, 0, 0, 0x0B, 63, 7000); },
         "reaches past its end"},
        {"bad boot flag", [&](MemoryDisk& d) { d.Record(second, 0, 0x01, 0x0B, 63, 10); },
         "invalid boot flag"},
        {"nested extended", [&](MemoryDisk& d) { d.Record(second, 0, 0, 0x0F, 63, 10); },
         "itself an extended partition"},
        {"covers the next record",
         [&](MemoryDisk& d) { d.Record(kExtended, 0, 0, 0x07, 63, 3000); }, "covers a boot record"},
        {"drives overlap",
         [&](MemoryDisk& d) {
             // The second record before the first drive, its drive over it.
             d.Record(kExtended, 0, 0, 0x07, 2048, 1000);
             d.Record(kExtended, 1, 0, 0x05, 100, 10);
             d.Record(kExtended + 100, 0, 0, 0x0B, 63, 2500);
         },
         "overlap"},
        {"endless chain",
         [&](MemoryDisk& d) {
             for (u32 i = 0; i <= kMaxLogicalDrives; ++i) {
                 d.Record(kExtended + i * 8, 0, 0, 0x07, 1, 1);
                 d.Record(kExtended + i * 8, 1, 0, 0x05, (i + 1) * 8, 8);
             }
         },
         "more than 128"},
        {"second extended", [&](MemoryDisk& d) { d.Entry(3, 0, 0x05, 2100, 100); }, "a second one"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryDisk disk(8 << 20);
        LayOutLogicalDrives(disk);
        c.damage(disk);
        std::vector<Partition> parts;
        std::string reason;
        std::vector<std::string> warnings;
        ASSERT_EQ(ReadPartitionTable(disk, &parts, &reason, &warnings), 0u) << reason;
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_NE(warnings[0].find(c.warning), std::string::npos) << warnings[0];
        std::vector<int> numbers;
        for (const Partition& p : parts) numbers.push_back(p.number);
        if (std::string(c.name) == "second extended")
            EXPECT_EQ(numbers, (std::vector<int>{1, 5, 6, 3}));
        else
            EXPECT_EQ(numbers, (std::vector<int>{1, 3}));
    }
}

// A boot record of the chain the disk cannot give says nothing about the
// chain: the read's own error, not a disk attached without those drives.
TEST(PartitionTable, ABootRecordTheDiskCannotReadFailsTheRead) {
    MemoryDisk disk(8 << 20);
    LayOutLogicalDrives(disk);
    disk.badSector = kExtended + 2048;
    std::vector<Partition> parts;
    std::string reason;
    EXPECT_EQ(ReadPartitionTable(disk, &parts, &reason), err::kReadFault);
    EXPECT_EQ(reason, "extended partition 2: the boot record of a logical drive cannot be read");
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
