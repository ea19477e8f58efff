// The registry editor stand-in over a real hive: a catalogue of scripts, read
// back with hivex and with hivex's own command-line tools.
#include <fstream>
#include <iterator>

#include "platform/constants.h"
#include "platform/posix/programs/regedit_tool.h"
#include "tests/posix/hive_fixture.h"
#include "tests/posix/realdata.h"

namespace morlit::posix::test {
namespace {

const std::string kHeader5 = "Windows Registry Editor Version 5.00\r\n\r\n";
const std::string kKey = "[HKEY_LOCAL_MACHINE\\VirtualPC\\ControlSet001\\Services\\t]\r\n";

class RegImportTest : public HiveTest {
  protected:
    void SetUp() override {
        HiveTest::SetUp();
        tools::SystemHiveSpec spec;
        spec.controlSets = {1, 2};
        original = MakeHive(spec);
        ASSERT_EQ(Load(), 0u);
    }
    // Imports `script` through the editor stand-in; its exit code.
    u32 Import(const std::string& script) {
        WriteHostFile(root + "/vol/x.reg", script);
        reason.clear();
        return RunRegeditTool(*registry, files, L"/s \"E:\\x.reg\"", &reason);
    }
    HiveValue Value(const std::string& key, const std::string& name) {
        return HiveReader(HivePath()).Value(key, name);
    }

    std::string original;
    std::string reason;
};

TEST_F(RegImportTest, ValueTypesUnderVersion5) {
    const std::string script = kHeader5 + kKey +
                               "\"Str\"=\"a \\\"q\\\" \\\\ b\"\r\n"
                               "@=\"default\"\r\n"
                               "\"Dw\"=dword:0000002a\r\n"
                               "\"DwMax\" = dword:ffffffff ; a comment\r\n"
                               "\"Bin\"=hex:01,02,ff\r\n"
                               "\"Empty\"=hex:\r\n"
                               "\"Expand\"=hex(2):25,00,41,00,25,00,00,00\r\n"
                               "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
                               "\"Qword\"=hex(b):01,00,00,00,00,00,00,80\r\n"
                               "\"None\"=hex(0):\r\n"
                               "\"Odd\"=hex(100):7\r\n"
                               "\"Long\"=hex:01,02,\\\r\n"
                               "; a comment inside the data\r\n"
                               "    03,04,\\\r\n"
                               "  05\r\n";
    ASSERT_EQ(Import(script), 0u) << reason;
    const std::string k = "ControlSet001\\Services\\t";
    EXPECT_EQ(Value(k, "Str").type, kRegSz);
    EXPECT_EQ(Value(k, "Str").data, Utf16(L"a \"q\" \\ b"));
    EXPECT_EQ(Value(k, "").data, Utf16(L"default"));
    EXPECT_EQ(Value(k, "Dw").type, kRegDword);
    EXPECT_EQ(Value(k, "Dw").data, Dword(42));
    EXPECT_EQ(Value(k, "DwMax").data, Dword(0xFFFFFFFF));
    EXPECT_EQ(Value(k, "Bin").type, kRegBinary);
    EXPECT_EQ(Value(k, "Bin").data, std::string("\x01\x02\xFF", 3));
    EXPECT_TRUE(Value(k, "Empty").found);
    EXPECT_EQ(Value(k, "Empty").data, "");
    // Under 5.00 string bytes are UTF-16 already, even in an ANSI file.
    EXPECT_EQ(Value(k, "Expand").type, kRegExpandSz);
    EXPECT_EQ(Value(k, "Expand").data, Utf16(L"%A%"));
    EXPECT_EQ(Value(k, "Multi").type, kRegMultiSz);
    EXPECT_EQ(Value(k, "Multi").data, std::string("a\0\0\0b\0\0\0\0\0", 10));
    EXPECT_EQ(Value(k, "Qword").type, kRegQword);
    EXPECT_EQ(Value(k, "None").type, 0u);
    EXPECT_EQ(Value(k, "Odd").type, 0x100u);
    EXPECT_EQ(Value(k, "Odd").data, "\x07");
    EXPECT_EQ(Value(k, "Long").data, std::string("\x01\x02\x03\x04\x05", 5));

    // hivex's own tool reads what we wrote.
    std::string out;
    ASSERT_EQ(RunCommand("hivexget '" + HivePath() + "' 'ControlSet001\\Services\\t' Dw", &out), 0);
    EXPECT_EQ(out, "42\n");
    ASSERT_EQ(RunCommand("hivexget '" + HivePath() + "' 'ControlSet001\\Services\\t' Str", &out),
              0);
    EXPECT_EQ(out, "a \"q\" \\ b\n");
}

TEST_F(RegImportTest, Regedit4HexStringsAreAnsiAndConverted) {
    // Code page 932: "日本" is 93 FA 96 7B.
    const std::string script =
        "REGEDIT4\n\n" +
        std::string("[HKEY_LOCAL_MACHINE\\VirtualPC\\ControlSet001\\Services\\t]\n") +
        "\"Path\"=hex(2):73,79,73,5c,61,2e,73,79,73,00\n"
        "\"Multi\"=hex(7):61,00,62,00,00\n"
        "\"Bin\"=hex:61,00\n"
        "\"Jp\"=\"\x93\xFA\x96\x7B\"\n"
        "\"JpHex\"=hex(2):93,fa,96,7b,00\n";
    ASSERT_EQ(Import(script), 0u) << reason;
    const std::string k = "ControlSet001\\Services\\t";
    EXPECT_EQ(Value(k, "Path").type, kRegExpandSz);
    EXPECT_EQ(Value(k, "Path").data, Utf16(L"sys\\a.sys"));
    EXPECT_EQ(Value(k, "Multi").data, Utf16(L"a") + Utf16(L"b") + std::string(2, '\0'));
    EXPECT_EQ(Value(k, "Bin").data, std::string("a\0", 2));  // binary stays binary
    EXPECT_EQ(Value(k, "Jp").data, Utf16(L"\u65E5\u672C"));
    EXPECT_EQ(Value(k, "JpHex").data, Utf16(L"\u65E5\u672C"));
}

TEST_F(RegImportTest, Utf16FileWithByteOrderMark) {
    const std::wstring text =
        L"Windows Registry Editor Version 5.00\r\n\r\n"
        L"[HKEY_LOCAL_MACHINE\\VirtualPC\\ControlSet001\\Services\\\u65E5]\r\n"
        L"\"Name\"=\"\u672C\"\r\n"
        L"\"Path\"=hex(2):41,00,00,00\r\n";
    ASSERT_EQ(Import("\xFF\xFE" + Utf16(text, false)), 0u) << reason;
    HiveReader hive(HivePath());
    EXPECT_TRUE(hive.HasKey("ControlSet001\\Services\\\xE6\x97\xA5"));
    EXPECT_EQ(hive.Value("ControlSet001\\Services\\\xE6\x97\xA5", "Name").data, Utf16(L"\u672C"));
    EXPECT_EQ(hive.Value("ControlSet001\\Services\\\xE6\x97\xA5", "Path").data, Utf16(L"A"));
}

TEST_F(RegImportTest, LineEndsAreCrLfLfOrCr) {
    for (const std::string& eol : {std::string("\r\n"), std::string("\n"), std::string("\r")}) {
        SCOPED_TRACE(eol.size() == 2 ? "CR LF" : eol == "\n" ? "LF" : "CR");
        const std::string script = "REGEDIT4" + eol + eol +
                                   "[HKEY_LOCAL_MACHINE\\VirtualPC\\ControlSet002\\A\\B\\C]" + eol +
                                   "\"V\"=hex:01,\\" + eol + "  02" + eol + "\"W\"=\"w\"";
        ASSERT_EQ(Import(script), 0u) << reason;
        EXPECT_EQ(Value("ControlSet002\\A\\B\\C", "V").data, "\x01\x02");
        EXPECT_EQ(Value("ControlSet002\\A\\B\\C", "W").data, Utf16(L"w"));
    }
}

TEST_F(RegImportTest, KeysAndValuesAreCreatedReplacedAndDeleted) {
    // Missing parents are made; an existing key is found without regard to
    // case and not duplicated; a value is replaced whatever its name's case.
    ASSERT_EQ(
        Import(kHeader5 + "[HKEY_LOCAL_MACHINE\\VirtualPC\\CONTROLSET001\\SERVICES\\ATAPI]\r\n"
                          "\"start\"=dword:00000000\r\n"
                          "[HKEY_LOCAL_MACHINE\\VirtualPC\\ControlSet001\\New\\Deep\\Key]\r\n"
                          "\"Keep\"=\"1\"\r\n\"Drop\"=\"2\"\r\n"),
        0u)
        << reason;
    {
        HiveReader hive(HivePath());
        EXPECT_EQ(hive.Value("ControlSet001\\Services\\atapi", "Start").data, Dword(0));
        EXPECT_EQ(hive.Value("ControlSet001\\Services\\atapi", "Type").data, Dword(1));
        EXPECT_EQ(hive.ChildCount("ControlSet001\\Services"), 3u);
        EXPECT_TRUE(hive.HasKey("ControlSet001\\New\\Deep\\Key"));
    }
    ASSERT_EQ(
        Import(kHeader5 + "[HKEY_LOCAL_MACHINE\\VirtualPC\\ControlSet001\\New\\Deep\\Key]\r\n"
                          "\"drop\"=-\r\n\"Never\"=-\r\n"
                          "[-HKEY_LOCAL_MACHINE\\VirtualPC\\ControlSet001\\Services\\intelppm]\r\n"
                          "[-HKEY_LOCAL_MACHINE\\VirtualPC\\ControlSet001\\Not\\There]\r\n"),
        0u)
        << reason;
    HiveReader hive(HivePath());
    EXPECT_TRUE(hive.Value("ControlSet001\\New\\Deep\\Key", "Keep").found);
    EXPECT_FALSE(hive.Value("ControlSet001\\New\\Deep\\Key", "Drop").found);
    EXPECT_FALSE(hive.HasKey("ControlSet001\\Services\\intelppm"));
    EXPECT_TRUE(hive.HasKey("ControlSet002\\Services\\intelppm"));
    // [-key] removes the whole subtree.
    ASSERT_EQ(Import(kHeader5 + "[-HKEY_LOCAL_MACHINE\\VirtualPC\\ControlSet001\\New]\r\n"), 0u);
    EXPECT_FALSE(HiveReader(HivePath()).HasKey("ControlSet001\\New"));
    std::string out;
    EXPECT_EQ(RunCommand("printf 'ls\\n' | hivexsh '" + HivePath() + "' >/dev/null 2>&1", &out), 0);
}

TEST_F(RegImportTest, NothingChangedNothingWritten) {
    const std::string before = ReadHostFile(HivePath());
    ASSERT_EQ(Import(kHeader5 + "; only a comment\r\n"
                                "[-HKEY_LOCAL_MACHINE\\VirtualPC\\ControlSet009]\r\n"),
              0u)
        << reason;
    EXPECT_EQ(ReadHostFile(HivePath()), before);
    EXPECT_FALSE(registry->Changed());
}

TEST_F(RegImportTest, MalformedScriptsChangeNothing) {
    const std::string k = "[HKEY_LOCAL_MACHINE\\VirtualPC\\ControlSet001\\Bad]\r\n";
    struct Case {
        const char* what;
        std::string script;
    };
    const Case cases[] = {
        {"no header", "[HKEY_LOCAL_MACHINE\\VirtualPC\\X]\r\n"},
        {"wrong header", "REGEDIT5\r\n" + k},
        {"empty file", ""},
        {"another root", kHeader5 + k + "[HKEY_CURRENT_USER\\Software\\X]\r\n\"a\"=\"b\"\r\n"},
        {"the host's own hive", kHeader5 + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n"},
        {"a longer mount name", kHeader5 + "[HKEY_LOCAL_MACHINE\\VirtualPCX\\X]\r\n"},
        {"abbreviated root", kHeader5 + "[HKLM\\VirtualPC\\X]\r\n"},
        {"empty key component", kHeader5 + "[HKEY_LOCAL_MACHINE\\VirtualPC\\A\\\\B]\r\n"},
        {"deleting the mount", kHeader5 + k + "[-HKEY_LOCAL_MACHINE\\VirtualPC]\r\n"},
        {"value before a key", kHeader5 + "\"a\"=\"b\"\r\n" + k},
        {"unclosed string", kHeader5 + k + "\"a\"=\"b\r\n"},
        {"unclosed name", kHeader5 + k + "\"a=\"b\"\r\n"},
        {"no equals sign", kHeader5 + k + "\"a\" \"b\"\r\n"},
        {"text after a string", kHeader5 + k + "\"a\"=\"b\" c\r\n"},
        {"nine dword digits", kHeader5 + k + "\"a\"=dword:000000001\r\n"},
        {"dword not hex", kHeader5 + k + "\"a\"=dword:xyz\r\n"},
        {"empty dword", kHeader5 + k + "\"a\"=dword:\r\n"},
        {"three hex digits", kHeader5 + k + "\"a\"=hex:123\r\n"},
        {"a long run of hex digits", kHeader5 + k + "\"a\"=hex:" + std::string(40, 'f') + "\r\n"},
        {"bad hex separator", kHeader5 + k + "\"a\"=hex:01 02\r\n"},
        {"bad hex(N)", kHeader5 + k + "\"a\"=hex(z):01\r\n"},
        {"hex(N) too wide", kHeader5 + k + "\"a\"=hex(123456789):01\r\n"},
        {"unknown type", kHeader5 + k + "\"a\"=word:1\r\n"},
        {"continuation into a blank line", kHeader5 + k + "\"a\"=hex:01,\\\r\n\r\n\"b\"=\"c\"\r\n"},
        {"not code page 932", "REGEDIT4\r\n" + k + "\"a\"=\"\x81\x20\"\r\n"},
        {"ANSI hex string not code page 932", "REGEDIT4\r\n" + k + "\"a\"=hex(2):81,20,00\r\n"},
        {"key name too long",
         kHeader5 + "[HKEY_LOCAL_MACHINE\\VirtualPC\\" + std::string(256, 'k') + "]\r\n"},
    };
    const std::string before = ReadHostFile(HivePath());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_NE(Import(c.script), 0u);
        EXPECT_FALSE(reason.empty());
        EXPECT_EQ(ReadHostFile(HivePath()), before);
        EXPECT_FALSE(registry->Changed());
    }
    EXPECT_FALSE(HiveReader(HivePath()).HasKey("ControlSet001\\Bad"));
}

// Where Windows' regedit reads a line differently from a first guess: what
// it imports is imported the same, a line it passes over is passed over;
// a value it drops refuses the script, naming every line regedit drops
// with it.
TEST_F(RegImportTest, LinesAsWindowsReadsThem) {
    const std::string k = "[HKEY_LOCAL_MACHINE\\VirtualPC\\W]\r\n";
    ASSERT_EQ(Import("REGEDIT4\r\n" + k +
                     "\"Multi\"=hex(7):4c,69,6e,65\r\n"   // terminator added
                     "\"Expand\"=hex(2):25,50,25,\\\r\n"  // continued past a blank
                     "\r\n; and a comment\r\n"
                     "  41\r\n"
                     "  42,43\r\n"  // not continued: passed over
                     "junk\r\n"
                     "[ HKEY_LOCAL_MACHINE\\VirtualPC\\W\\Blank]\r\n"  // passed over, W stays open
                     "[HKEY_LOCAL_MACHINE\\VirtualPC\\W\\Unclosed\r\n"
                     "\"InW\"=\"w\"\r\n"
                     "\"Sz\"=hex(1):\r\n"                               // empty stays empty
                     "\"Dw\"=dword:  00000008\r\n"                      // blanks before the digits
                     "[HKEY_LOCAL_MACHINE\\VirtualPC\\W\\Sub\\\\]\r\n"  // trailing backslashes
                     "\"Last\"=hex:11,22,\\"),                          // continued at the end
              0u)
        << reason;
    EXPECT_EQ(Value("W", "Multi").data, Utf16(L"Line"));
    EXPECT_EQ(Value("W", "Expand").data, Utf16(L"%P%A"));
    EXPECT_EQ(Value("W", "InW").data, Utf16(L"w"));
    EXPECT_FALSE(HiveReader(HivePath()).HasKey("W\\Blank"));
    EXPECT_FALSE(HiveReader(HivePath()).HasKey("W\\Unclosed"));
    EXPECT_TRUE(Value("W", "Sz").found);
    EXPECT_EQ(Value("W", "Sz").data, "");
    EXPECT_EQ(Value("W", "Dw").data, Dword(8));
    EXPECT_EQ(Value("W\\Sub", "Last").data, "\x11\x22");
    ASSERT_EQ(Import(kHeader5 + k + "\"U\"=hex(2):41,00,42,00\r\n\"V\"=hex(1):41,00,00\r\n"), 0u);
    EXPECT_EQ(Value("W", "U").data, Utf16(L"AB"));
    EXPECT_EQ(Value("W", "V").data, Utf16(L"A"));

    struct Refused {
        const char* what;
        std::string body;
        const char* named;  // the first error's lines
    };
    const Refused refused[] = {
        {"no comma before the continuation", "\"A\"=hex:11,22\\\r\n  33\r\n", "line 4:"},
        {"the next value taken for data", "\"A\"=hex:11,\\\r\n\"B\"=\"x\"\r\n", "lines 4-5:"},
        {"a backslash alone inside the data", "\"A\"=hex:11,\\\r\n\\\r\n  22\r\n", "lines 4-5:"},
        {"a comment marked with #", "\"A\"=hex:11,\\\r\n#c\r\n  22\r\n", "lines 4-5:"},
        {"blanks before a comma", "\"A\"=hex:11 ,22\r\n", "line 4:"},
        {"NUL in a string", "\"A\"=\"Value1\\0\"\r\n", "line 4:"},
        {"NUL in a name", "\"A\\0\"=\"x\"\r\n", "line 4:"},
        {"a value of a refused key", "[HKEY_CURRENT_USER\\X]\r\n\"A\"=\"x\"\r\n", "line 4:"},
        // A deletion with a blank before the name deletes nothing and
        // closes the key: the value after it has no key.
        {"a value after a passed-over deletion",
         "[- HKEY_LOCAL_MACHINE\\VirtualPC\\W]\r\n\"A\"=\"x\"\r\n", "line 5:"},
        {"text after the header", "", "the file"},
    };
    const std::string before = ReadHostFile(HivePath());
    for (const Refused& c : refused) {
        SCOPED_TRACE(c.what);
        const std::string script =
            c.body.empty() ? "REGEDIT4 \r\n" + k : "REGEDIT4\r\n" + k + "\r\n" + c.body;
        EXPECT_EQ(Import(script), 3u);
        EXPECT_NE(reason.find(std::string("x.reg: ") + c.named), std::string::npos) << reason;
        EXPECT_EQ(ReadHostFile(HivePath()), before);
    }
    // Every value of a refused key is named with it.
    const RegScript script = ParseRegScript(
        kHeader5 + "[HKEY_CURRENT_USER\\X]\r\n\"A\"=\"x\"\r\n\"B\"=hex:1,\\\r\n 2\r\n",
        L"VirtualPC");
    ASSERT_EQ(script.errors.size(), 3u);
    EXPECT_EQ(script.errors[0].rfind("line 3: key outside HKEY_LOCAL_MACHINE\\VirtualPC", 0), 0u);
    EXPECT_EQ(script.errors[1].rfind("line 4:", 0), 0u);
    EXPECT_EQ(script.errors[2].rfind("lines 5-6:", 0), 0u);
}

// A run imports the same script into the same hive each time it is
// repeated: only the first import may change the hive.
TEST_F(RegImportTest, RerunsLeaveTheHiveAsTheFirstRunLeftIt) {
    std::ifstream in(std::string(MORLIT_SOURCE_DIR) + "/templates/Dravmont.bin", std::ios::binary);
    const std::string script((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
    ASSERT_NE(script.find("ControlSet001"), std::string::npos);
    std::vector<std::pair<std::string, std::string>> hives = {{"built", original}};
    if (!RealDataDir().empty()) {
        ASSERT_TRUE(UnpackRealData("hives/more/xp_system", root, "xp_system"));
        hives.emplace_back("Windows XP", ReadHostFile(root + "/xp_system"));
    }
    for (const auto& [name, bytes] : hives) {
        SCOPED_TRACE(name);
        registry->RegUnLoadKey(kHKeyLocalMachine, L"VirtualPC");
        WriteHostFile(HivePath(), bytes);
        std::string first;
        for (int run = 1; run <= 50; ++run) {
            ASSERT_EQ(Load(), 0u);
            ASSERT_EQ(Import(script), 0u) << reason;
            ASSERT_EQ(registry->RegUnLoadKey(kHKeyLocalMachine, L"VirtualPC"), 0u);
            if (run == 1) {
                first = ReadHostFile(HivePath());
                EXPECT_NE(first, bytes);
            } else {
                ASSERT_EQ(ReadHostFile(HivePath()), first) << "run " << run;
            }
        }
        std::printf("%s hive: %zu bytes before, %zu after 1 run, %zu after 50 runs\n", name.c_str(),
                    bytes.size(), first.size(), ReadHostFile(HivePath()).size());
        EXPECT_EQ(HiveReader(HivePath())
                      .Value("ControlSet001\\Control\\CriticalDeviceDatabase\\gendisk", "Service")
                      .data,
                  Utf16(L"disk"));
    }
}

TEST_F(RegImportTest, EditorCommandLine) {
    WriteHostFile(root + "/vol/x.reg", kHeader5 + kKey);
    std::string why;
    EXPECT_EQ(RunRegeditTool(*registry, files, L"\"E:\\x.reg\"", &why), 1u);  // no /s
    EXPECT_EQ(RunRegeditTool(*registry, files, L"/s", &why), 1u);
    EXPECT_EQ(RunRegeditTool(*registry, files, L"/s \"E:\\x.reg\" extra", &why), 1u);
    EXPECT_EQ(RunRegeditTool(*registry, files, L"/s \"E:\\missing.reg\"", &why), 2u);
    EXPECT_NE(why.find("missing.reg"), std::string::npos);
    EXPECT_EQ(RunRegeditTool(*registry, files, L"/S E:\\x.reg", &why), 0u) << why;
    EXPECT_TRUE(HiveReader(HivePath()).HasKey("ControlSet001\\Services\\t"));

    // Nothing loaded: nothing to import into.
    registry->RegUnLoadKey(kHKeyLocalMachine, L"VirtualPC");
    EXPECT_EQ(RunRegeditTool(*registry, files, L"/s \"E:\\x.reg\"", &why), 4u);
}

TEST_F(RegImportTest, AWriteBackFailureIsReported) {
    // The hive file's place on the volume is taken by a folder after loading,
    // so writing back fails; the editor must say so.
    ASSERT_EQ(::rename(HivePath().c_str(), (HivePath() + ".moved").c_str()), 0);
    ASSERT_EQ(::mkdir(HivePath().c_str(), 0755), 0);
    EXPECT_EQ(Import(kHeader5 + kKey), 6u);
    EXPECT_NE(reason.find("write"), std::string::npos);
}

}  // namespace
}  // namespace morlit::posix::test
