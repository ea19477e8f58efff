#include "platform/utf8.h"

#include "platform/types.h"

namespace morlit {

namespace {

constexpr u32 kReplacement = 0xFFFD;
// A byte that is not UTF-8 is kept as U+DC80 + byte: a lone low surrogate,
// which well-formed UTF-8 never gives, so the way back is unambiguous.
constexpr u32 kKeptByteBase = 0xDC00;

enum class Invalid { kKeepByte, kReplace };

// The well-formed sequence at s[i]: its length and character, or 0.
size_t Sequence(const std::string& s, size_t i, u32* character) {
    const auto at = [&s](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = at(i);
    if (lead < 0x80) {
        *character = lead;
        return 1;
    }
    size_t extra = 0;
    u32 value = 0, least = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1, value = lead & 0x1Fu, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2, value = lead & 0x0Fu, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3, value = lead & 0x07u, least = 0x10000;
    } else {
        return 0;  // a continuation byte, or a lead that only starts an overlong or too large form
    }
    if (s.size() - i <= extra) return 0;
    for (size_t k = 1; k <= extra; ++k) {
        if ((at(i + k) & 0xC0u) != 0x80) return 0;
        value = (value << 6) | (at(i + k) & 0x3Fu);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *character = value;
    return extra + 1;
}

void AppendWide(std::wstring* out, u32 character) {
    if (character >= 0x10000 && sizeof(wchar_t) == 2) {
        out->push_back(static_cast<wchar_t>(0xD800 + ((character - 0x10000) >> 10)));
        out->push_back(static_cast<wchar_t>(0xDC00 + ((character - 0x10000) & 0x3FF)));
    } else {
        out->push_back(static_cast<wchar_t>(character));
    }
}

std::wstring Decode(const std::string& text, Invalid invalid) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        u32 character = 0;
        size_t length = Sequence(text, i, &character);
        if (length == 0) {
            // Only the first byte: what follows may start a sequence of its own.
            character = invalid == Invalid::kKeepByte
                            ? kKeptByteBase + static_cast<unsigned char>(text[i])
                            : kReplacement;
            length = 1;
        }
        AppendWide(&out, character);
        i += length;
    }
    return out;
}

std::string Encode(const std::wstring& text, bool keptBytes) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        u32 c = static_cast<u32>(text[i]);
        // A surrogate pair: UTF-16's form of a character past U+FFFF, which
        // names read from NTFS keep even where wchar_t has 32 bits.
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
            const u32 low = static_cast<u32>(text[i + 1]);
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (c >= 0xD800 && c <= 0xDFFF) {
            if (keptBytes && c >= kKeptByteBase + 0x80 && c <= kKeptByteBase + 0xFF) {
                out.push_back(static_cast<char>(c - kKeptByteBase));
                continue;
            }
            c = kReplacement;
        } else if (c > 0x10FFFF) {
            c = kReplacement;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

}  // namespace

std::wstring WideFromUtf8(const std::string& text) { return Decode(text, Invalid::kKeepByte); }

std::wstring WideFromUtf8Replacing(const std::string& text) {
    return Decode(text, Invalid::kReplace);
}

std::string Utf8FromWide(const std::wstring& text) { return Encode(text, false); }

std::string HostBytesFromWide(const std::wstring& text) { return Encode(text, true); }

std::string AsciiLowered(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

}  // namespace morlit
