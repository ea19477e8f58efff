#include "platform/posix/message_catalog.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/posix/disk/byte_order.h"
#include "platform/posix/disk/image_file.h"
#include "platform/posix/fs/file_access.h"

namespace morlit::posix {

namespace {

constexpr std::uint32_t kMoMagic = 0x950412DE;

// The language code of a locale name: "ja_JP.UTF-8@x" -> "ja".
std::string LanguageCode(const std::string& name) {
    return name.substr(0, name.find_first_of("_.@"));
}

bool FileReadable(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return in.good();
}

}  // namespace

std::string MessageLanguage(const char* lcAll, const char* lcMessages, const char* lang,
                            const char* language) {
    std::string locale = "C";
    for (const char* value : {lcAll, lcMessages, lang}) {
        if (value && *value) {
            locale = LanguageCode(value);
            break;
        }
    }
    // Under the C locale gettext leaves the texts as written and reads no
    // LANGUAGE; under any other, the list's first language wins. Only the
    // first counts: every language but Japanese falls back to English.
    if (locale == "C" || locale == "POSIX" || !language) return locale;
    std::istringstream list(language);
    for (std::string entry; std::getline(list, entry, ':');)
        if (!entry.empty()) return LanguageCode(entry);
    return locale;
}

std::string MessageLanguageFromEnvironment() {
    return MessageLanguage(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"),
                           std::getenv("LANGUAGE"));
}

std::unique_ptr<MessageCatalog> MessageCatalog::Load(const std::string& path, std::string* reason) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *reason = "cannot read " + path;
        return nullptr;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    auto catalog = Parse(bytes.str(), reason);
    if (!catalog) *reason = path + ": " + *reason;
    return catalog;
}

std::unique_ptr<MessageCatalog> MessageCatalog::Parse(const std::string& bytes,
                                                      std::string* reason) {
    // Every offset and length comes from the file: each is checked against
    // its size in 64-bit arithmetic before anything is read through it.
    const std::uint64_t size = bytes.size();
    if (size < 20) {
        *reason = "too short for a message catalogue";
        return nullptr;
    }
    // A .mo file is in the byte order of the machine that wrote it.
    auto word = [&](std::uint64_t at, bool big) {
        return big ? LoadBe32(bytes.data() + at) : LoadLe32(bytes.data() + at);
    };
    bool big = false;
    if (word(0, false) != kMoMagic) {
        big = true;
        if (word(0, true) != kMoMagic) {
            *reason = "not a message catalogue (no .mo magic number)";
            return nullptr;
        }
    }
    const std::uint32_t revision = word(4, big);
    if ((revision >> 16) > 1) {
        *reason = "a message catalogue of an unknown revision";
        return nullptr;
    }
    const std::uint64_t count = word(8, big);
    const std::uint64_t originals = word(12, big);
    const std::uint64_t translations = word(16, big);
    if (originals + count * 8 > size || translations + count * 8 > size) {
        *reason = "its string tables run past its end";
        return nullptr;
    }
    // A string up to its first NUL (a plural entry's first form); each ends
    // in a NUL inside the file, as gettext requires.
    auto text = [&](std::uint64_t table, std::uint64_t i, std::string* out) {
        const std::uint64_t length = word(table + i * 8, big);
        const std::uint64_t offset = word(table + i * 8 + 4, big);
        if (offset + length >= size || bytes[offset + length] != '\0') return false;
        const std::string whole = bytes.substr(offset, length);
        *out = whole.substr(0, whole.find('\0'));
        return true;
    };
    auto catalog = std::unique_ptr<MessageCatalog>(new MessageCatalog());
    for (std::uint64_t i = 0; i < count; ++i) {
        std::string original, translation;
        if (!text(originals, i, &original) || !text(translations, i, &translation)) {
            *reason = "string " + std::to_string(i) + " runs past its end";
            return nullptr;
        }
        // The empty original is the catalogue's header; an empty translation
        // means "not translated", as gettext takes it.
        if (original.empty() || translation.empty()) continue;
        catalog->entries_[original] = translation;
    }
    return catalog;
}

const std::string* MessageCatalog::Find(const std::string& original) const {
    auto it = entries_.find(original);
    return it == entries_.end() ? nullptr : &it->second;
}

std::wstring MessageCatalog::Translate(const std::wstring& original) const {
    const std::string* found = Find(ToUtf8(original));
    return found ? FromUtf8(*found) : original;
}

std::vector<std::string> LocaleFolders(const std::string& programFolder) {
    if (programFolder.empty()) return {};
    return {programFolder + "/locale", FolderOf(programFolder) + "/share/locale"};
}

std::unique_ptr<MessageCatalog> CatalogFor(const std::string& language,
                                           const std::vector<std::string>& folders,
                                           std::string* warning) {
    warning->clear();
    if (language == "ja") return nullptr;
    std::vector<std::string> languages;
    if (language != "en" && language != "C" && language != "POSIX" && !language.empty())
        languages.push_back(language);
    languages.push_back("en");
    std::string searched;
    for (const std::string& lang : languages) {
        for (const std::string& folder : folders) {
            const std::string path = folder + "/" + lang + "/LC_MESSAGES/morlit.mo";
            if (!FileReadable(path)) {
                searched += (searched.empty() ? "" : ", ") + path;
                continue;
            }
            std::string reason;
            auto catalog = MessageCatalog::Load(path, &reason);
            if (catalog) return catalog;
            *warning = "the message catalogue " + reason + "; the texts stay in Japanese";
            return nullptr;
        }
    }
    *warning = "no message catalogue (searched " +
               (searched.empty() ? std::string("nothing") : searched) +
               "); the texts stay in Japanese";
    return nullptr;
}

}  // namespace morlit::posix
