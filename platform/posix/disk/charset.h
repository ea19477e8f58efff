// Text from one character set to another through iconv, for the wings that
// read and write what Windows keeps in its code pages: the ANSI code page
// service and the .reg importer. Host paths and our own text are UTF-8 and
// go through platform/utf8.h instead.
#pragma once

#include <iconv.h>

#include <cstddef>
#include <string>

namespace morlit::posix {

class CharsetConverter {
  public:
    // Character sets by iconv's names ("CP932", "UTF-16LE", "WCHAR_T").
    CharsetConverter(const char* to, const char* from);
    ~CharsetConverter();
    CharsetConverter(const CharsetConverter&) = delete;
    CharsetConverter& operator=(const CharsetConverter&) = delete;

    // Appends all of `length` bytes at `in`, converted, to `out`; false,
    // with `out` as it was, when any of it has no conversion or is cut short,
    // or the character sets are unknown. Each call starts afresh.
    bool Convert(const char* in, size_t length, std::string* out);
    bool Convert(const std::string& in, std::string* out) {
        return Convert(in.data(), in.size(), out);
    }

  private:
    iconv_t cd_;
};

}  // namespace morlit::posix
