// Boot.ini replacement: the template choice, attributes on both sides, the
// compression request, and the failures that must leave Boot.ini as it was.
#include "platform/arc_partition.h"
#include "tests/unit/run_fixture.h"

namespace morlit::test {
namespace {

class BootIniTest : public RunTest {
  protected:
    BootIniTest() {
        sh.AddFile(L"C:\\Tools\\Tolmarin.bin", "w2k boot.ini\r\n");
        sh.AddFile(L"C:\\Tools\\Quessil.bin", "xp boot.ini\r\n");
        sh.AddDirectory(L"D:");
        sh.AddFile(L"D:\\Boot.ini", "old boot.ini\r\n",
                   kFileAttributeReadOnly | kFileAttributeHidden | kFileAttributeSystem);
        dlg.m_nDiskNumber = 3;  // as the mount stage leaves it
    }
    const FileEntry* BootIni() const { return sh.FindEntry(L"D:\\Boot.ini"); }
};

TEST_F(BootIniTest, TemplateFollowsTheWindowsDirectoryCaseSensitively) {
    const struct {
        const wchar_t* directory;
        const char* content;
    } cases[] = {
        {L"D:\\WINNT", "w2k boot.ini\r\n"},
        {L"D:\\Windows", "xp boot.ini\r\n"},
        {L"D:\\winnt", "xp boot.ini\r\n"},
        {L"D:\\Old\\WINNT.bak", "w2k boot.ini\r\n"},  // a match anywhere counts
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.directory));
        EXPECT_EQ(dlg.ReplaceBootIni(L'D', c.directory), 1);
        ASSERT_NE(BootIni(), nullptr);
        EXPECT_EQ(BootIni()->data, c.content);
    }
}

TEST_F(BootIniTest, ReadOnlyTargetIsReplacedAndTheResultIsWritableAndUncompressed) {
    EXPECT_EQ(dlg.ReplaceBootIni(L'D', L"D:\\Windows"), 1);
    EXPECT_EQ(BootIni()->data, "xp boot.ini\r\n");
    EXPECT_EQ(BootIni()->name, L"D:\\Boot.ini");
    EXPECT_EQ(BootIni()->attributes & kFileAttributeReadOnly, 0);

    // The old file's other bits were written back as read before the delete.
    EXPECT_TRUE(sh.Called("SetAttributes(D:\\Boot.ini, 0x6)"));
    EXPECT_LT(sh.IndexOf("SetAttributes(D:\\Boot.ini"), sh.IndexOf("DeleteFile(D:\\Boot.ini)"));
    EXPECT_TRUE(sh.Called("CopyFile(C:\\Tools\\Quessil.bin, D:\\Boot.ini, 0)"));
    EXPECT_TRUE(sh.Called("CreateFile(D:\\Boot.ini, 0xC0000000, 0x3, 0x3, 0x80)"));
    EXPECT_TRUE(sh.Called("DeviceIoControl(0x9C040, [0 0], 2, 0)"));
    EXPECT_GT(sh.IndexOf("CloseHandle(file)"), sh.IndexOf("DeviceIoControl("));
}

TEST_F(BootIniTest, ReadOnlyTemplateStillGivesAWritableBootIni) {
    sh.FindEntry(L"C:\\Tools\\Quessil.bin")->attributes = kFileAttributeReadOnly;
    EXPECT_EQ(dlg.ReplaceBootIni(L'D', L"D:\\Windows"), 1);
    EXPECT_EQ(BootIni()->attributes & kFileAttributeReadOnly, 0);
    // The template itself is left as it was.
    EXPECT_EQ(sh.FindEntry(L"C:\\Tools\\Quessil.bin")->attributes, kFileAttributeReadOnly);
}

TEST_F(BootIniTest, VolumeWithoutBootIniGetsOne) {
    sh.files.erase(L"d:\\boot.ini");
    EXPECT_EQ(dlg.ReplaceBootIni(L'D', L"D:\\WINNT"), 1);
    EXPECT_EQ(BootIni()->data, "w2k boot.ini\r\n");
    EXPECT_EQ(BootIni()->name, L"D:\\Boot.ini");
}

TEST_F(BootIniTest, MissingOrUnreadableTemplateLeavesBootIniAlone) {
    sh.files.erase(L"c:\\tools\\quessil.bin");
    EXPECT_EQ(dlg.ReplaceBootIni(L'D', L"D:\\Windows"), 0);
    EXPECT_EQ(BootIni()->data, "old boot.ini\r\n");
    EXPECT_NE(BootIni()->attributes & kFileAttributeReadOnly, 0);
    EXPECT_FALSE(sh.Called("DeleteFile("));
    EXPECT_FALSE(sh.Called("SetAttributes("));

    sh.Fail("OpenStream", err::kAccessDenied, 0, 1);
    EXPECT_EQ(dlg.ReplaceBootIni(L'D', L"D:\\WINNT"), 0);
    EXPECT_EQ(BootIni()->data, "old boot.ini\r\n");
    EXPECT_EQ(sh.openStreams, 0);
}

TEST_F(BootIniTest, FailedCopyReturnsZero) {
    sh.Fail("CopyFile", err::kDiskFull, 0, 1);
    EXPECT_EQ(dlg.ReplaceBootIni(L'D', L"D:\\Windows"), 0);
    EXPECT_FALSE(sh.Called("CreateFile("));
}

TEST_F(BootIniTest, OpenFailureLeavesTheCopyButSendsNoRequest) {
    sh.Fail("CreateFile", err::kSharingViolation, 0, 1);
    EXPECT_EQ(dlg.ReplaceBootIni(L'D', L"D:\\Windows"), 0);
    EXPECT_EQ(BootIni()->data, "xp boot.ini\r\n");
    EXPECT_EQ(BootIni()->attributes & kFileAttributeReadOnly, 0);
    EXPECT_FALSE(sh.Called("DeviceIoControl("));
    EXPECT_FALSE(sh.Called("CloseHandle("));
}

TEST_F(BootIniTest, FailedCompressionRequestIsStillSuccess) {
    sh.Fail("DeviceIoControl", err::kInvalidFunction, 0, 1);
    EXPECT_EQ(dlg.ReplaceBootIni(L'D', L"D:\\Windows"), 1);
    EXPECT_TRUE(sh.Called("CloseHandle(file)"));
}

TEST_F(BootIniTest, ModulePathWithoutBackslashTouchesNothing) {
    sh.calls.clear();
    for (const wchar_t* path : {L"Morlit.exe", L""}) {
        sh.modulePath = path;
        EXPECT_EQ(dlg.ReplaceBootIni(L'D', L"D:\\Windows"), 0);
    }
    sh.modulePath = L"C:\\Tools\\Morlit.exe";
    sh.Fail("GetModuleFileName", err::kInsufficientBuffer, 0, 1);
    EXPECT_EQ(dlg.ReplaceBootIni(L'D', L"D:\\Windows"), 0);
    EXPECT_TRUE(sh.calls.empty());
    EXPECT_EQ(BootIni()->data, "old boot.ini\r\n");
}

TEST_F(BootIniTest, TemplateComesFromTheExecutablesOwnFolder) {
    sh.modulePath = L"C:\\Program Files\\Morlit\\Morlit.exe";
    sh.AddFile(L"C:\\Program Files\\Morlit\\Quessil.bin", "beside the exe\r\n");
    EXPECT_EQ(dlg.ReplaceBootIni(L'D', L"D:\\Windows"), 1);
    EXPECT_EQ(BootIni()->data, "beside the exe\r\n");
}

const char kXpTemplate[] =
    "[boot loader]\r\ntimeout=30\r\ndefault=multi(0)disk(0)rdisk(0)partition(1)\\WINDOWS\r\n"
    "[operating systems]\r\nmulti(0)disk(0)rdisk(0)partition(1)\\WINDOWS=\"XP\" /fastdetect\r\n";

TEST(NameArcPartition, RewritesPartitionOneOfEveryArcPathAndNothingElse) {
    const struct {
        const char* in;
        u32 number;
        const char* out;
    } cases[] = {
        {"default=multi(0)disk(0)rdisk(0)partition(1)\\WINDOWS\r\n", 3,
         "default=multi(0)disk(0)rdisk(0)partition(3)\\WINDOWS\r\n"},
        // ARC names compare without case; what is there keeps its case.
        {"MULTI(0)DISK(0)RDISK(0)PARTITION(1)\\WINNT=x", 2,
         "MULTI(0)DISK(0)RDISK(0)PARTITION(2)\\WINNT=x"},
        {"signature(8b467c12)disk(1)rdisk(0)partition(1)\\WINDOWS", 12,
         "signature(8b467c12)disk(1)rdisk(0)partition(12)\\WINDOWS"},
        // scsi() too; 1 in plain decimal digits only: no space, sign or hex.
        {"Scsi(0)Disk(0)rDisk(0)Partition(01)\\A multi(0)disk(0)rdisk(0)partition(001)\\B", 3,
         "Scsi(0)Disk(0)rDisk(0)Partition(3)\\A multi(0)disk(0)rdisk(0)partition(3)\\B"},
        {"multi(0)partition( 1) scsi(0)partition(0x1) multi(0)partition(010)", 2,
         "multi(0)partition( 1) scsi(0)partition(0x1) multi(0)partition(010)"},
        // Only partition 1 is the template's; other numbers stay.
        {"multi(0)disk(0)rdisk(0)partition(10)\\A multi(0)disk(0)rdisk(1)partition(2)\\B", 5,
         "multi(0)disk(0)rdisk(0)partition(10)\\A multi(0)disk(0)rdisk(1)partition(2)\\B"},
        // Not an ARC path: plain text, a longer word, a broken component.
        {"; partition(1) is the first\r\nxmulti(0)disk(0)rdisk(0)partition(1)", 2,
         "; partition(1) is the first\r\nxmulti(0)disk(0)rdisk(0)partition(1)"},
        {"xscsi(0)disk(0)rdisk(0)partition(1)", 2, "xscsi(0)disk(0)rdisk(0)partition(1)"},
        {"multi(0)disk(0 rdisk(0)partition(1)", 2, "multi(0)disk(0 rdisk(0)partition(1)"},
        {"C:\\=\"DOS\"\r\nmulti(", 2, "C:\\=\"DOS\"\r\nmulti("},
        // Two paths in a row, the second right after the first.
        {"multi(0)disk(0)rdisk(0)partition(1)multi(0)disk(0)rdisk(0)partition(1)", 4,
         "multi(0)disk(0)rdisk(0)partition(4)multi(0)disk(0)rdisk(0)partition(4)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(CMorlitDlg::NameArcPartition(c.in, c.number), c.out);
    }
}

// The loader's number of the target's partition: 1 is the template as it
// is, 2 a primary partition behind a vendor's one, 3 a logical drive
// behind two primaries.
TEST_F(BootIniTest, TemplateNamesTheTargetsPartition) {
    sh.FindEntry(L"C:\\Tools\\Quessil.bin")->data = kXpTemplate;
    sh.FindEntry(L"C:\\Tools\\Quessil.bin")->attributes =
        kFileAttributeReadOnly | kFileAttributeHidden | kFileAttributeArchive;
    for (u32 number : {1u, 2u, 3u}) {
        SCOPED_TRACE(number);
        sh.arcPartition = number;
        sh.calls.clear();
        EXPECT_EQ(dlg.ReplaceBootIni(L'D', L"D:\\Windows"), 1);
        const std::string digit = std::to_string(number);
        EXPECT_EQ(BootIni()->data,
                  "[boot loader]\r\ntimeout=30\r\ndefault=multi(0)disk(0)rdisk(0)partition(" +
                      digit +
                      ")\\WINDOWS\r\n[operating systems]\r\nmulti(0)disk(0)rdisk(0)partition(" +
                      digit + ")\\WINDOWS=\"XP\" /fastdetect\r\n");
        EXPECT_EQ(BootIni()->name, L"D:\\Boot.ini");
        // The attributes a copy gives, without read-only; then the request
        // to store it uncompressed.
        EXPECT_EQ(BootIni()->attributes, kFileAttributeHidden | kFileAttributeArchive);
        EXPECT_TRUE(sh.Called("DeviceIoControl(0x9C040, [0 0], 2, 0)"));
        // Partition 1 is the template copied as it is.
        EXPECT_EQ(sh.Called("CopyFile(C:\\Tools\\Quessil.bin, D:\\Boot.ini, 0)"), number == 1);
        // The number is known before the old Boot.ini changes.
        EXPECT_LT(sh.IndexOf("QueryArcPartitionNumber(3, D)"), sh.IndexOf("SetAttributes(D:"));
    }
}

TEST_F(BootIniTest, UnknownPartitionNumberLeavesTheOldBootIni) {
    const auto expectUntouched = [&] {
        EXPECT_EQ(dlg.ReplaceBootIni(L'D', L"D:\\Windows"), 0);
        EXPECT_EQ(BootIni()->data, "old boot.ini\r\n");
        EXPECT_NE(BootIni()->attributes & kFileAttributeReadOnly, 0);
        EXPECT_FALSE(sh.Called("SetAttributes(")) << ::testing::PrintToString(sh.calls);
        EXPECT_FALSE(sh.Called("DeleteFile("));
        EXPECT_EQ(sh.openStreams, 0);
    };
    sh.Fail("QueryArcPartitionNumber", err::kNotFound, err::kNotFound, 1);
    expectUntouched();
    EXPECT_EQ(sh.causes.size(), 1u);
    // A disk the mount stage never named, and a host without the service.
    dlg.m_nDiskNumber = -1;
    expectUntouched();
    dlg.m_nDiskNumber = 3;
    sh.host.partitions = nullptr;
    expectUntouched();
}

TEST_F(BootIniTest, TemplateWithoutArcPathIsCopiedAsItIs) {
    sh.arcPartition = 2;
    sh.FindEntry(L"C:\\Tools\\Quessil.bin")->data = "[boot loader]\r\ntimeout=0\r\n";
    EXPECT_EQ(dlg.ReplaceBootIni(L'D', L"D:\\Windows"), 1);
    EXPECT_EQ(BootIni()->data, "[boot loader]\r\ntimeout=0\r\n");
    EXPECT_TRUE(sh.Called("CopyFile(C:\\Tools\\Quessil.bin, D:\\Boot.ini, 0)"));
}

TEST_F(BootIniTest, RewrittenTemplateThatCannotBeWrittenWholeFails) {
    sh.arcPartition = 2;
    // A NUL byte could not pass through the text stream: nothing changes.
    sh.FindEntry(L"C:\\Tools\\Quessil.bin")->data = std::string(kXpTemplate) + '\0' + "tail";
    EXPECT_EQ(dlg.ReplaceBootIni(L'D', L"D:\\Windows"), 0);
    EXPECT_EQ(BootIni()->data, "old boot.ini\r\n");
    EXPECT_FALSE(sh.Called("DeleteFile("));

    // The new file cannot be made (here: the volume's root is gone), or
    // cannot be opened for the compression request: failure, never success.
    sh.FindEntry(L"C:\\Tools\\Quessil.bin")->data = kXpTemplate;
    sh.Fail("CreateFile", err::kSharingViolation, 0, 1);
    EXPECT_EQ(dlg.ReplaceBootIni(L'D', L"D:\\Windows"), 0);
    EXPECT_FALSE(sh.Called("DeviceIoControl("));
    sh.files.erase(L"d:");
    EXPECT_EQ(dlg.ReplaceBootIni(L'D', L"D:\\Windows"), 0);
    EXPECT_EQ(BootIni(), nullptr);
}

}  // namespace
}  // namespace morlit::test
