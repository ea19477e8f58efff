// The shipped Boot.ini templates: what they say, and that ReplaceBootIni
// puts each one on the volume byte for byte and writable.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/support/script_host.h"
#include "ui/MorlitDlg.h"

namespace morlit::test {
namespace {

std::string Template(const char* name) {
    std::ifstream in(std::string(MORLIT_SOURCE_DIR) + "/templates/" + name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(BootIniTemplatesTest, CompleteFilesWithCrLfLineEnds) {
    const std::string w2k = Template("Tolmarin.bin");
    const std::string xp = Template("Quessil.bin");
    const char* const systemPath[] = {"multi(0)disk(0)rdisk(0)partition(1)\\WINNT",
                                      "multi(0)disk(0)rdisk(0)partition(1)\\WINDOWS"};
    int i = 0;
    for (const std::string& text : {w2k, xp}) {
        ASSERT_FALSE(text.empty());
        // Every line ends in CR LF, the last one too, and no LF stands alone.
        ASSERT_EQ(text.substr(text.size() - 2), "\r\n");
        for (size_t p = text.find('\n'); p != std::string::npos; p = text.find('\n', p + 1)) {
            EXPECT_EQ(text[p - 1], '\r');
        }
        EXPECT_EQ(text.rfind("[boot loader]\r\ntimeout=30\r\ndefault=", 0), 0u);
        EXPECT_NE(text.find(std::string("default=") + systemPath[i] + "\r\n"), std::string::npos);
        EXPECT_NE(text.find(std::string("[operating systems]\r\n") + systemPath[i] + "=\""),
                  std::string::npos);
        EXPECT_NE(text.find(" /fastdetect\r\n"), std::string::npos);
        ++i;
    }
    EXPECT_EQ(w2k.find("/noexecute"), std::string::npos);
    EXPECT_NE(xp.find("/noexecute=optin /fastdetect"), std::string::npos);
}

TEST(BootIniTemplatesTest, ReplaceBootIniCopiesTheMatchingTemplate) {
    for (const wchar_t* windows : {L"D:\\WINNT", L"D:\\Windows"}) {
        ScriptHost sh;
        CMorlitDlg dlg(sh.host);
        dlg.m_nDiskNumber = 3;  // as the mount stage leaves it
        sh.AddFile(L"C:\\Tools\\Tolmarin.bin", Template("Tolmarin.bin"), kFileAttributeReadOnly);
        sh.AddFile(L"C:\\Tools\\Quessil.bin", Template("Quessil.bin"), kFileAttributeReadOnly);
        sh.AddDirectory(L"D:");
        sh.AddFile(L"D:\\Boot.ini", "[boot loader]\r\ntimeout=5\r\n",
                   kFileAttributeReadOnly | kFileAttributeHidden | kFileAttributeSystem);
        ASSERT_EQ(dlg.ReplaceBootIni(L'D', windows), 1);
        const FileEntry* bootIni = sh.FindEntry(L"D:\\Boot.ini");
        ASSERT_NE(bootIni, nullptr);
        EXPECT_EQ(bootIni->data,
                  Template(std::wstring(windows) == L"D:\\WINNT" ? "Tolmarin.bin" : "Quessil.bin"));
        EXPECT_EQ(bootIni->attributes & kFileAttributeReadOnly, 0);
    }
}

}  // namespace
}  // namespace morlit::test
