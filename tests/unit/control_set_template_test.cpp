// The import file made from the registry template, byte for byte.
#include "tests/unit/run_fixture.h"

namespace morlit::test {
namespace {

class TemplateTest : public RunTest {
  protected:
    TemplateTest() { sh.AddDirectory(L"C:\\Tools"); }

    // Rewrites `templateBytes` for `number`; returns the import file's bytes.
    std::string Rewrite(const std::string& templateBytes, u32 number, bool* written = nullptr) {
        sh.AddFile(L"C:\\Tools\\Dravmont.bin", templateBytes);
        bool ok = false;
        path = dlg.RewriteControlSetTemplate(number, &ok);
        if (written) *written = ok;
        const FileEntry* out = sh.FindEntry(L"C:\\Tools\\Morlit.reg");
        return out ? out->data : std::string("<missing>");
    }

    std::wstring path;
};

TEST_F(TemplateTest, WorkedExampleIsByteExact) {
    const std::string piece = "  [X\\controlset001\\Y]  \n";
    ASSERT_EQ(piece.size(), 24u);
    bool written = false;
    EXPECT_EQ(Rewrite(piece, 2, &written), "[X\\controlset002\\Y]\r\n");
    EXPECT_TRUE(written);
    EXPECT_EQ(path, L"C:\\Tools\\Morlit.reg");
    // Read as text, written as binary so that CR LF is the only line end.
    EXPECT_TRUE(sh.Called("OpenStream(C:\\Tools\\Dravmont.bin, r)"));
    EXPECT_TRUE(sh.Called("OpenStream(C:\\Tools\\Morlit.reg, wb)"));
    EXPECT_EQ(sh.openStreams, 0);
}

TEST_F(TemplateTest, LineEndsAndTrimming) {
    const std::string lf =
        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\VirtualPC\\ControlSet001\\A]\n\"v\"=\"x\"\n";
    std::string crlf;
    for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const std::string expected =
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\VirtualPC\\ControlSet003\\A]\r\n\"v\"=\"x\"\r\n";
    EXPECT_EQ(Rewrite(lf, 3), expected);
    EXPECT_EQ(Rewrite(crlf, 3), expected);
    // Blank lines of spaces and tabs become bare line ends; a lone CR inside a
    // line stays, at its ends it is white space; the last line gets its CR LF.
    EXPECT_EQ(Rewrite(" \t \n\t\n a\rb \r\nlast", 1), "\r\n\r\na\rb\r\nlast\r\n");
    EXPECT_EQ(Rewrite("\r\r\n", 1), "\r\n");
}

TEST_F(TemplateTest, PatternMatching) {
    // Case is ignored and kept; only the leftmost occurrence changes.
    EXPECT_EQ(Rewrite("CONTROLSET001\\controlset001\n", 2), "CONTROLSET002\\controlset001\r\n");
    EXPECT_EQ(Rewrite("x ControlSet0011 y\n", 2), "x ControlSet0021 y\r\n");
    EXPECT_EQ(Rewrite("tail ControlSet00\n", 2), "tail ControlSet00\r\n");
    EXPECT_EQ(Rewrite("tail ControlSet00", 2), "tail ControlSet00\r\n");
    EXPECT_EQ(Rewrite("ControlSet01 ControlSet001\n", 2), "ControlSet01 ControlSet002\r\n");
    EXPECT_EQ(Rewrite("[ControlSet001]\n", 1), "[ControlSet001]\r\n");
    EXPECT_EQ(Rewrite("ControlSet001\n", 0), "ControlSet000\r\n");
    EXPECT_EQ(Rewrite("ControlSet001\n", 7), "ControlSet007\r\n");
    EXPECT_EQ(Rewrite("ControlSet001\n", 999), "ControlSet999\r\n");
    EXPECT_EQ(Rewrite("ControlSet001\n", 42), "ControlSet042\r\n");
    // Bytes above 0x7F pass through unchanged.
    EXPECT_EQ(Rewrite("\x82\xA0 ControlSet001 \xFF\n", 5), "\x82\xA0 ControlSet005 \xFF\r\n");
}

TEST_F(TemplateTest, LongLinesStayWhole) {
    // A pattern straddling the old 255-byte read boundary is found, and the
    // line is not split.
    const std::string head(250, 'a');
    const std::string line = head + "ControlSet001" + std::string(400, 'b');
    std::string expected = line;
    expected.replace(250 + 10, 3, "004");
    EXPECT_EQ(Rewrite(line + "\nnext ControlSet001\n", 4), expected + "\r\nnext ControlSet004\r\n");
    // Exactly 254 and 255 bytes before the LF, and a line of 255 + LF only.
    const std::string l254(254, 'c'), l255(255, 'd');
    EXPECT_EQ(Rewrite(l254 + "\n" + l255 + "\n" + l255, 1),
              l254 + "\r\n" + l255 + "\r\n" + l255 + "\r\n");
    // Trailing white space beyond the first 255 bytes is still trimmed.
    EXPECT_EQ(Rewrite(l255 + "    \t\n", 1), l255 + "\r\n");
}

TEST_F(TemplateTest, NulEndsTheLinesTextCtrlZEndsTheTemplate) {
    EXPECT_EQ(Rewrite(std::string("ab\0cd\nef\n", 9), 1), "ab\r\nef\r\n");
    EXPECT_EQ(Rewrite(std::string("\0x\nControlSet001\n", 17), 2), "\r\nControlSet002\r\n");
    // A NUL in the second read piece of a long line drops the rest of it.
    const std::string l300(300, 'e');
    EXPECT_EQ(Rewrite(l300 + std::string("\0tail\nnext\n", 11), 1), l300 + "\r\nnext\r\n");
    EXPECT_EQ(Rewrite(std::string("a\nb\x1A"
                                  "c\nd\n"),
                      1),
              "a\r\nb\r\n");
    EXPECT_EQ(Rewrite("\x1A"
                      "ControlSet001\n",
                      2),
              "");
}

TEST_F(TemplateTest, EmptyAndMissingFiles) {
    bool written = false;
    EXPECT_EQ(Rewrite("", 2, &written), "");
    EXPECT_TRUE(written);

    // A missing template still truncates the import file, but says so.
    sh.files.erase(L"c:\\tools\\dravmont.bin");
    sh.AddFile(L"C:\\Tools\\Morlit.reg", "stale");
    EXPECT_EQ(dlg.RewriteControlSetTemplate(2, &written), L"C:\\Tools\\Morlit.reg");
    EXPECT_FALSE(written);
    EXPECT_EQ(sh.FindEntry(L"C:\\Tools\\Morlit.reg")->data, "");

    // A template that cannot be read is not an empty one.
    sh.Fail("StreamRead", 23, 0, 1);
    Rewrite("ControlSet001\n", 2, &written);
    EXPECT_FALSE(written);

    // An import file that cannot be made or written.
    sh.Fail("StreamWrite", 112, 0, 1);
    Rewrite("ControlSet001\n", 2, &written);
    EXPECT_FALSE(written);
    sh.files.erase(L"c:\\tools");
    Rewrite("ControlSet001\n", 2, &written);
    EXPECT_FALSE(written);
    EXPECT_EQ(sh.openStreams, 0);

    // No executable path: nothing is opened and no path comes back.
    sh.Fail("GetModuleFileName", 122);
    sh.modulePath = L"Morlit.exe";
    EXPECT_EQ(dlg.RewriteControlSetTemplate(2, &written), L"");
    EXPECT_FALSE(written);
    // The declared form still returns the path without a result.
    sh.modulePath = L"C:\\Tools\\Morlit.exe";
    sh.ClearFailures();
    EXPECT_EQ(dlg.RewriteControlSetTemplate(2), L"C:\\Tools\\Morlit.reg");
}

}  // namespace
}  // namespace morlit::test
