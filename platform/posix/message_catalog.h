// The language of the texts on the terminal. The texts are written once, in
// Japanese, in ui/texts.h; a Japanese locale shows them as they stand, any
// other one shows their translation from a GNU gettext catalogue (a .mo
// file) keyed by the Japanese text.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace morlit::posix {

// The language the locale variables ask for, as gettext reads them: the
// first of LC_ALL, LC_MESSAGES and LANG that is set and not empty, cut to
// its language code ("ja_JP.UTF-8" -> "ja"), "C" for none; unless that is C,
// the first language of the list in LANGUAGE ("en:ja" -> "en") comes before
// it. Only the names count, not whether the locale is installed: nothing
// here calls setlocale.
std::string MessageLanguage(const char* lcAll, const char* lcMessages, const char* lang,
                            const char* language = nullptr);
// The same from the process's environment.
std::string MessageLanguageFromEnvironment();

class MessageCatalog {
  public:
    // Reads a .mo file of either byte order. Null with a plain sentence in
    // `reason` when it cannot be read or is not a whole catalogue.
    static std::unique_ptr<MessageCatalog> Load(const std::string& path, std::string* reason);
    static std::unique_ptr<MessageCatalog> Parse(const std::string& bytes, std::string* reason);

    // The translation of `original` (UTF-8), or null when there is none.
    const std::string* Find(const std::string& original) const;
    // The translation of a text, or the text itself when there is none.
    std::wstring Translate(const std::wstring& original) const;
    size_t size() const { return entries_.size(); }

  private:
    std::unordered_map<std::string, std::string> entries_;
};

// The folders searched for `<language>/LC_MESSAGES/morlit.mo`: beside the
// program (a build tree), then the installed layout's share/locale.
std::vector<std::string> LocaleFolders(const std::string& programFolder);

// The catalogue for `language`: null for Japanese, the texts' own language.
// Any other language takes its own catalogue when there is one, else the
// English one. When none is found or readable, `warning` says so and the
// texts stay as written.
std::unique_ptr<MessageCatalog> CatalogFor(const std::string& language,
                                           const std::vector<std::string>& folders,
                                           std::string* warning);

}  // namespace morlit::posix
