#include "platform/posix/fs/cd_names.h"

#include <locale.h>
#include <wctype.h>

namespace morlit::posix {
namespace {

// Upper-casing beyond ASCII needs a UTF-8 character table, whatever locale
// the process runs in.
locale_t UnicodeLocale() {
    static const locale_t locale = [] {
        locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
        return l;
    }();
    return locale;
}

wchar_t Upper(wchar_t c) {
    if (c < 0x80) return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c;
    const locale_t l = UnicodeLocale();
    return l ? static_cast<wchar_t>(towupper_l(static_cast<wint_t>(c), l)) : c;
}

}  // namespace

bool SameNameNoCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && Upper(a[i]) != Upper(b[i])) return false;
    }
    return true;
}

bool IsPlainComponent(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L"..") return false;
    for (wchar_t c : name) {
        if (c == L'/' || c == L'\\' || c == L'\0') return false;
    }
    return true;
}

}  // namespace morlit::posix
