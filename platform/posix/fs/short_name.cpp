#include "platform/posix/fs/short_name.h"

#include <algorithm>
#include <cwchar>

namespace morlit::posix {

namespace {

bool IsShortChar(wchar_t c) {
    if (c >= L'A' && c <= L'Z') return true;
    if (c >= L'a' && c <= L'z') return true;
    if (c >= L'0' && c <= L'9') return true;
    return std::wcschr(L"!#$%&'()-@^_`{}~", c) != nullptr && c != 0;
}

wchar_t Upper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c; }

// Characters FAT cannot hold become "_"; spaces and dots are dropped.
std::wstring Squeeze(const std::wstring& part, size_t limit) {
    std::wstring out;
    for (wchar_t c : part) {
        if (out.size() == limit) break;
        if (c == L' ' || c == L'.') continue;
        out.push_back(IsShortChar(c) ? Upper(c) : L'_');
    }
    return out;
}

}  // namespace

bool IsShortNameLegal(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L"..") return false;
    const size_t dot = name.find(L'.');
    const std::wstring base = name.substr(0, dot);
    const std::wstring ext = dot == std::wstring::npos ? L"" : name.substr(dot + 1);
    if (base.empty() || base.size() > 8 || ext.size() > 3) return false;
    if (dot != std::wstring::npos && ext.empty()) return false;
    for (wchar_t c : base + ext) {
        if (!IsShortChar(c)) return false;
    }
    return true;
}

std::wstring MakeShortName(const std::wstring& longName,
                           const std::function<bool(const std::wstring&)>& taken) {
    size_t start = 0;
    while (start < longName.size() && longName[start] == L'.') ++start;
    const std::wstring trimmed = longName.substr(start);
    const size_t dot = trimmed.rfind(L'.');
    std::wstring base = Squeeze(trimmed.substr(0, dot), 8);
    const std::wstring ext = dot == std::wstring::npos ? L"" : Squeeze(trimmed.substr(dot + 1), 3);
    if (base.empty()) base = L"_";
    for (int n = 1; n < 1000000; ++n) {
        const std::wstring tail = L"~" + std::to_wstring(n);
        const std::wstring head = base.substr(0, std::min<size_t>(base.size(), 8 - tail.size()));
        const std::wstring candidate = head + tail + (ext.empty() ? L"" : L"." + ext);
        if (!taken(candidate)) return candidate;
    }
    return {};
}

}  // namespace morlit::posix
