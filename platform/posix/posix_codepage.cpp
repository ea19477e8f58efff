#include "platform/posix/posix_codepage.h"

#include <cstring>

#include "platform/posix/disk/charset.h"

namespace morlit::posix {

namespace {

// iconv's name for the host's wchar_t (UTF-32 in host byte order).
constexpr const char* kWide = "WCHAR_T";

bool IsLeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

}  // namespace

std::wstring PosixCodePage::AnsiToWide(const std::string& text) {
    CharsetConverter conv(kWide, "CP932");
    std::wstring out;
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t length = IsLeadByte(c) && i + 1 < text.size() ? 2 : 1;
        std::string wide;
        if (conv.Convert(&text[i], length, &wide) && wide.size() == sizeof(wchar_t)) {
            wchar_t w;
            std::memcpy(&w, wide.data(), sizeof w);
            out.push_back(w);
        } else {
            out.push_back(c < 0x80 ? static_cast<wchar_t>(c) : L'\x30FB');
        }
        i += length;
    }
    return out;
}

bool PosixCodePage::WideToAnsi(const std::wstring& text, u32 capacity, std::string& out) {
    CharsetConverter conv("CP932", kWide);
    out.clear();
    for (wchar_t w : text) {
        if (!conv.Convert(reinterpret_cast<const char*>(&w), sizeof w, &out)) out.push_back('?');
    }
    if (out.size() > capacity) {
        out.clear();
        errors_.SetLastError(err::kInsufficientBuffer);
        return false;
    }
    return true;
}

}  // namespace morlit::posix
