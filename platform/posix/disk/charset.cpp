#include "platform/posix/disk/charset.h"

#include <cerrno>

namespace morlit::posix {

namespace {
const iconv_t kNotOpen = reinterpret_cast<iconv_t>(-1);
}  // namespace

CharsetConverter::CharsetConverter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}

CharsetConverter::~CharsetConverter() {
    if (cd_ != kNotOpen) iconv_close(cd_);
}

bool CharsetConverter::Convert(const char* in, size_t length, std::string* out) {
    if (cd_ == kNotOpen) return false;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    std::string converted;
    char buffer[256];
    char* src = const_cast<char*>(in);
    size_t left = length;
    while (left != 0) {
        char* dst = buffer;
        size_t room = sizeof buffer;
        const bool stopped = iconv(cd_, &src, &left, &dst, &room) == static_cast<size_t>(-1);
        if (stopped && errno != E2BIG) return false;
        converted.append(buffer, static_cast<size_t>(dst - buffer));
    }
    // A character set with shift states ends its last one here.
    char* dst = buffer;
    size_t room = sizeof buffer;
    if (iconv(cd_, nullptr, nullptr, &dst, &room) == static_cast<size_t>(-1)) return false;
    converted.append(buffer, static_cast<size_t>(dst - buffer));
    out->append(converted);
    return true;
}

}  // namespace morlit::posix
