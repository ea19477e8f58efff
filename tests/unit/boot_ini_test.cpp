// Boot.ini replacement: the template choice, attributes on both sides, the
// compression request, and the failures that must leave Boot.ini as it was.
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

}  // namespace
}  // namespace morlit::test
