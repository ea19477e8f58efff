#include "platform/posix/posix_codepage.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>

namespace morlit::posix {

namespace {

// iconv's name for the host's wchar_t (UTF-32 in host byte order).
constexpr const char* kWide = "WCHAR_T";

class Converter {
  public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Converter() {
        if (ok()) iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    // Converts one unit of `length` bytes at `in`; false when it has no
    // conversion.
    bool One(const char* in, size_t length, std::string* out) {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        char buffer[16];
        char* src = const_cast<char*>(in);
        char* dst = buffer;
        size_t left = length;
        size_t room = sizeof buffer;
        if (iconv(cd_, &src, &left, &dst, &room) == static_cast<size_t>(-1) || left != 0)
            return false;
        out->append(buffer, static_cast<size_t>(dst - buffer));
        return true;
    }

  private:
    iconv_t cd_;
};

bool IsLeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

}  // namespace

std::wstring PosixCodePage::AnsiToWide(const std::string& text) {
    Converter conv(kWide, "CP932");
    std::wstring out;
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t length = IsLeadByte(c) && i + 1 < text.size() ? 2 : 1;
        std::string wide;
        if (conv.ok() && conv.One(&text[i], length, &wide) && wide.size() == sizeof(wchar_t)) {
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
    Converter conv("CP932", kWide);
    out.clear();
    for (wchar_t w : text) {
        if (!conv.ok() || !conv.One(reinterpret_cast<const char*>(&w), sizeof w, &out))
            out.push_back('?');
    }
    if (out.size() > capacity) {
        out.clear();
        errors_.SetLastError(err::kInsufficientBuffer);
        return false;
    }
    return true;
}

}  // namespace morlit::posix
