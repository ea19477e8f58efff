// The command's language: the texts as written under a Japanese locale,
// English from the catalogue under any other. This machine need not have any
// of the locales named here installed; the choice goes by the names alone.
#include <memory>
#include <set>
#include <sstream>

#include "platform/constants.h"
#include "platform/posix/message_catalog.h"
#include "platform/posix/terminal_ui.h"
#include "tests/posix/e2e_fixture.h"
#include "tests/posix/host_fixture.h"
#include "ui/texts.h"

namespace morlit::posix::test {
namespace {

std::string BuiltCatalogue() {
    return std::string(MORLIT_BINARY_DIR) + "/locale/en/LC_MESSAGES/morlit.mo";
}

std::unique_ptr<MessageCatalog> English() {
    std::string reason;
    auto catalog = MessageCatalog::Load(BuiltCatalogue(), &reason);
    EXPECT_TRUE(catalog) << reason;
    return catalog;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The msgids of the template the build makes from ui/texts.h.
std::vector<std::string> TemplateTexts() {
    std::istringstream pot(Slurp(std::string(MORLIT_BINARY_DIR) + "/po/morlit.pot"));
    std::vector<std::string> texts;
    std::string line;
    while (std::getline(pot, line)) {
        if (line.rfind("msgid \"", 0) != 0 || line == "msgid \"\"") continue;
        std::string text;
        for (size_t i = 7; i + 1 < line.size(); ++i) {
            if (line[i] == '\\' && i + 2 < line.size()) {
                ++i;
                text += line[i] == 'n' ? '\n' : line[i];
            } else {
                text += line[i];
            }
        }
        texts.push_back(text);
    }
    return texts;
}

void ExpectEnglishFor(const MessageCatalog& english, const std::string& text) {
    SCOPED_TRACE(text);
    const std::string* found = english.Find(text);
    ASSERT_TRUE(found) << "no English text";
    for (char c : *found) EXPECT_LT(static_cast<unsigned char>(c), 0x80) << *found;
    // FormatWithCode fills the one %ld; a line break is where the dialog has one.
    EXPECT_EQ(Count(*found, "%ld"), Count(text, "%ld")) << *found;
    EXPECT_EQ(Count(*found, "\n"), Count(text, "\n")) << *found;
}

TEST(MessageCatalogue, EveryTextOfTheTableAndTheStatusLinesHasItsEnglishText) {
    const auto english = English();
    ASSERT_TRUE(english);
    size_t ids = 0;
#define MORLIT_CHECK_TEXT(id, symbol, text)   \
    ExpectEnglishFor(*english, ToUtf8(text)); \
    ++ids;
    MORLIT_STRING_TABLE(MORLIT_CHECK_TEXT)
#undef MORLIT_CHECK_TEXT
    // Every text the template holds, the status lines among them.
    const std::vector<std::string> texts = TemplateTexts();
    EXPECT_GT(texts.size(), ids);
    const std::set<std::string> all(texts.begin(), texts.end());
    EXPECT_EQ(all.count(ToUtf8(status::kStarting)), 1u);
    EXPECT_EQ(all.count(ToUtf8(status::kFinishing)), 1u);
    EXPECT_EQ(all.count(ToUtf8(kWindows7Only)), 1u);
    for (const std::string& text : texts) ExpectEnglishFor(*english, text);
    EXPECT_EQ(english->size(), texts.size());
}

TEST(MessageCatalogue, ReadsEitherByteOrderAndRefusesEveryDamagedFile) {
    const std::string dir = TestDir();
    ASSERT_EQ(Shell("msgfmt --endianness=big -o " + Quote(dir + "/be.mo") + " " +
                    Quote(std::string(MORLIT_SOURCE_DIR) + "/po/en.po")),
              0);
    const auto little = English();
    std::string reason;
    const auto big = MessageCatalog::Load(dir + "/be.mo", &reason);
    ASSERT_TRUE(little && big) << reason;
    EXPECT_EQ(big->size(), little->size());
    EXPECT_EQ(big->Translate(FindStringTableText(IDS_OPEN_FAILED)),
              L"Could not open the VHD file. (%ld)");

    // The strings lie at the end: every shorter file runs past its end.
    const std::string bytes = Slurp(BuiltCatalogue());
    for (size_t n = 0; n < bytes.size(); ++n) {
        EXPECT_FALSE(MessageCatalog::Parse(bytes.substr(0, n), &reason)) << n;
    }
    auto patched = [&](size_t at, std::uint32_t value) {
        std::string b = bytes;
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(value >> (8 * i));
        return b;
    };
    const std::uint32_t originals =
        static_cast<unsigned char>(bytes[12]) | static_cast<unsigned char>(bytes[13]) << 8;
    // A count, a length or an offset that would wrap a 32-bit sum.
    EXPECT_FALSE(MessageCatalog::Parse(patched(8, 0x7FFFFFFF), &reason));
    EXPECT_FALSE(MessageCatalog::Parse(patched(originals + 8, 0xFFFFFFFF), &reason));
    EXPECT_FALSE(MessageCatalog::Parse(patched(originals + 12, 0xFFFFFFF0), &reason));
    EXPECT_FALSE(MessageCatalog::Parse(patched(12, 0xFFFFFFF8), &reason));
    EXPECT_FALSE(MessageCatalog::Parse(std::string(64, 'x'), &reason));
    EXPECT_EQ(reason, "not a message catalogue (no .mo magic number)");
}

TEST(MessageCatalogue, TheLanguageComesFromTheFirstVariableSetAndFallsBackToEnglish) {
    EXPECT_EQ(MessageLanguage(nullptr, nullptr, nullptr), "C");
    EXPECT_EQ(MessageLanguage(nullptr, nullptr, "ja_JP.UTF-8"), "ja");
    EXPECT_EQ(MessageLanguage(nullptr, nullptr, "ja_JP.eucJP@x"), "ja");
    EXPECT_EQ(MessageLanguage("C", "ja_JP", "ja"), "C");
    EXPECT_EQ(MessageLanguage("", "ja_JP", "C"), "ja");  // set but empty counts as unset
    EXPECT_EQ(MessageLanguage(nullptr, "", "de_DE.UTF-8"), "de");
    // LANGUAGE's first language comes before the locale, but not under C.
    EXPECT_EQ(MessageLanguage(nullptr, nullptr, "ja_JP.UTF-8", "en_GB:ja"), "en");
    EXPECT_EQ(MessageLanguage("de_DE", nullptr, nullptr, ":ja"), "ja");
    EXPECT_EQ(MessageLanguage(nullptr, nullptr, "ja_JP", ""), "ja");
    EXPECT_EQ(MessageLanguage("C", nullptr, "ja_JP", "ja"), "C");
    EXPECT_EQ(MessageLanguage(nullptr, nullptr, nullptr, "ja"), "C");

    const std::vector<std::string> folders = {std::string(MORLIT_BINARY_DIR) + "/locale"};
    std::string warning;
    EXPECT_FALSE(CatalogFor("ja", folders, &warning));
    EXPECT_EQ(warning, "");
    // A language without a catalogue of its own gets the English one.
    const auto german = CatalogFor("de", folders, &warning);
    ASSERT_TRUE(german) << warning;
    EXPECT_EQ(german->Translate(status::kFinishing), L"Finishing...");
    EXPECT_FALSE(CatalogFor("C", {"/nonexistent"}, &warning));
    EXPECT_EQ(warning,
              "no message catalogue (searched /nonexistent/en/LC_MESSAGES/morlit.mo); the "
              "texts stay in Japanese");
}

TEST(TerminalUi, WithTheCatalogueShowsEnglishAndTakesAnswersInEitherLanguage) {
    std::istringstream in("はい\nキャンセル\nno\nok\n");
    std::ostringstream out;
    TerminalUi ui(in, out, false);
    ui.SetCatalog(English());
    EXPECT_EQ(ui.LoadString(IDS_OPEN_FAILED), L"Could not open the VHD file. (%ld)");
    EXPECT_EQ(ui.MessageBoxById(IDS_CD_NOT_FOUND, kMbYesNo, 0), kIdYes);
    EXPECT_EQ(ui.MessageBoxById(IDS_INSERT_CD, kMbOkCancel, 0), kIdCancel);
    EXPECT_EQ(ui.MessageBoxById(IDS_CD_NOT_FOUND, kMbYesNo, 0), kIdNo);
    EXPECT_EQ(ui.MessageBoxById(IDS_INSERT_CD, kMbOkCancel, 0), kIdOk);
    // A text handed over as written is shown translated too.
    EXPECT_EQ(ui.MessageBox(kWindows7Only, kMbOk, 0), kIdOk);
    EXPECT_EQ(ui.LastMessage(), L"This application is for Windows 7 only.");
    EXPECT_EQ(out.str(),
              "The Windows XP installation CD was not found.\nSearch again?\n"
              "Insert the Windows XP installation CD into the CD drive.\n"
              "The Windows XP installation CD was not found.\nSearch again?\n"
              "Insert the Windows XP installation CD into the CD drive.\n"
              "This application is for Windows 7 only.\n");
}

const char kEnglish[] =
    "Starting...\nMounting the VHD...\nCould not open the VHD file. (2)\nFinishing...\n"
    "An error occurred, so\nthe VHD file could not be adjusted.\n";
const char kJapanese[] =
    "処理を開始します...\nVHDをマウントしています...\nVHDファイルのオープンに失敗しました。(2)\n"
    "終了処理をしています...\nエラーが発生したため、\nVHDファイルの調整が完了できませんでした。\n";

TEST(MorlitCommand, TextsFollowLanguageThenLcAllThenLcMessagesThenLang) {
    const std::string dir = TestDir();
    const std::string image = dir + "/none.vhd";
    // The cause lines are the same, in English, in every language.
    std::string cause;
    struct Case {
        const char* env;
        const char* texts;
    };
    const Case cases[] = {
        {"", kEnglish},
        {"LANG=C", kEnglish},
        {"LANG=POSIX", kEnglish},
        {"LANG=de_DE.UTF-8", kEnglish},
        {"LANG=ja_JP.UTF-8", kJapanese},
        {"LANG=ja_JP", kJapanese},
        {"LANG=ja", kJapanese},
        {"LANG=ja_JP.UTF-8 LC_ALL=C", kEnglish},
        {"LANG=C LC_ALL=ja_JP.UTF-8", kJapanese},
        {"LANG=C LC_MESSAGES=ja_JP.UTF-8", kJapanese},
        {"LANG=ja_JP.UTF-8 LC_MESSAGES=en_US.UTF-8", kEnglish},
        {"LC_ALL=ja_JP.UTF-8 LC_MESSAGES=C LANG=C", kJapanese},
        {"LC_ALL= LC_MESSAGES= LANG=ja_JP.UTF-8", kJapanese},
        {"LANG=de_DE.UTF-8 LANGUAGE=ja:de", kJapanese},
        {"LC_ALL=ja_JP.UTF-8 LANGUAGE=en_GB", kEnglish},
        {"LC_ALL=C LANGUAGE=ja", kEnglish},
        {"LANGUAGE=ja", kEnglish},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.env);
        std::string out;
        EXPECT_EQ(Shell("env -i " + std::string(c.env) + " " + Quote(Morlit()) + " " +
                            Quote(image) + " </dev/null 2>" + Quote(dir + "/err"),
                        &out),
                  1);
        EXPECT_EQ(out, c.texts);
        if (cause.empty()) cause = Slurp(dir + "/err");
        EXPECT_EQ(Slurp(dir + "/err"), cause);
    }

    EXPECT_NE(cause.find(image), std::string::npos) << cause;
    for (char ch : cause) EXPECT_LT(static_cast<unsigned char>(ch), 0x80) << cause;

    // Without a catalogue the texts stay as written, and the command says why.
    Shell("mkdir -p " + Quote(dir + "/bare") + " && cp " + Quote(Morlit()) + " " +
          Quote(dir + "/bare/"));
    std::string out;
    EXPECT_EQ(Shell("env -i LANG=C " + Quote(dir + "/bare/morlit") + " --templates " +
                        Quote(std::string(MORLIT_SOURCE_DIR) + "/templates") + " " + Quote(image) +
                        " </dev/null 2>" + Quote(dir + "/err"),
                    &out),
              1);
    EXPECT_EQ(out, kJapanese);
    EXPECT_EQ(Slurp(dir + "/err"), "morlit: " + image + ": no message catalogue (searched " + dir +
                                       "/bare/locale/en/LC_MESSAGES/morlit.mo, " + dir +
                                       "/share/locale/en/LC_MESSAGES/morlit.mo); the texts stay "
                                       "in Japanese\n" +
                                       cause);
}

// What is kept follows the run's result, never a text: with a catalogue in
// which the success and the failure message read the same, an adjusted image
// is kept and a failed one put back.
TEST(MessageCatalogue, ATranslationThatChangesTheFinalTextsChangesNothingKept) {
    const std::string dir = TestDir();
    const auto escaped = [](std::wstring text) {
        std::string out;
        for (char c : ToUtf8(text)) out += c == '\n' ? std::string("\\n") : std::string(1, c);
        return out;
    };
    std::ofstream(dir + "/same.po", std::ios::binary)
        << "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n"
        << "msgid \"" << escaped(FindStringTableText(IDS_ADJUST_DONE)) << "\"\nmsgstr \"Done.\"\n\n"
        << "msgid \"" << escaped(FindStringTableText(IDS_ADJUST_FAILED))
        << "\"\nmsgstr \"Done.\"\n";
    ASSERT_EQ(Shell("msgfmt -o " + Quote(dir + "/same.mo") + " " + Quote(dir + "/same.po")), 0);
    for (const char* target : {"xp-cabinets.vhd", "xp-nomember.vhd"}) {
        SCOPED_TRACE(target);
        const bool adjusts = std::string(target) == "xp-cabinets.vhd";
        const std::string image = CopyTarget(dir, target);
        const std::string before = Slurp(image);
        TestHost t;
        std::string reason;
        t.posix->terminal().SetCatalog(MessageCatalog::Load(dir + "/same.mo", &reason));
        const std::string out = RunStart(t, image);
        EXPECT_EQ(out.substr(out.size() - 6), "Done.\n") << out;
        EXPECT_EQ(Slurp(image) == before, !adjusts);
        EXPECT_FALSE(FileExists(image + "-journal"));
    }
}

}  // namespace
}  // namespace morlit::posix::test
