#include "platform/posix/fs/short_name.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
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

namespace {

// The squeezed base (up to eight characters) and extension (up to three) of
// a long name: leading dots go, the last dot separates the extension.
void SplitForShortName(const std::wstring& longName, std::wstring* base, std::wstring* ext) {
    size_t start = 0;
    while (start < longName.size() && longName[start] == L'.') ++start;
    const std::wstring trimmed = longName.substr(start);
    const size_t dot = trimmed.rfind(L'.');
    *base = Squeeze(trimmed.substr(0, dot), 8);
    *ext = dot == std::wstring::npos ? L"" : Squeeze(trimmed.substr(dot + 1), 3);
    if (base->empty()) *base = L"_";
}

std::wstring Join(const std::wstring& head, const std::wstring& tail, const std::wstring& ext) {
    return head + tail + (ext.empty() ? L"" : L"." + ext);
}

}  // namespace

std::wstring MakeShortName(const std::wstring& longName,
                           const std::function<bool(const std::wstring&)>& taken) {
    std::wstring base, ext;
    SplitForShortName(longName, &base, &ext);
    for (int n = 1; n < 1000000; ++n) {
        const std::wstring tail = L"~" + std::to_wstring(n);
        const std::wstring candidate =
            Join(base.substr(0, std::min<size_t>(base.size(), 8 - tail.size())), tail, ext);
        if (!taken(candidate)) return candidate;
    }
    return {};
}

u16 ShortNameHash(const std::wstring& longName) {
    u16 sum = 0;
    for (wchar_t c : longName) sum = static_cast<u16>(sum * 0x25u + static_cast<u16>(c));
    // Spread the sum over 32 bits, fold it to its absolute value and reduce
    // it modulo 1000000007 the way the generator does (through a multiply by
    // an approximate inverse), keep 16 bits and reverse their nibbles.
    const auto spread = static_cast<std::int32_t>(static_cast<u32>(sum) * 314159269u);
    const std::int64_t t = spread < 0 ? -static_cast<std::int64_t>(spread) : spread;
    const std::uint64_t quotient = static_cast<std::uint64_t>(t * 1152921497LL) >> 60;
    // Only the low 16 bits are kept, so the width of the difference is moot.
    const auto reduced = static_cast<std::uint64_t>(t) - quotient * 1000000007ULL;
    const auto v = static_cast<u16>(reduced);
    return static_cast<u16>(((v & 0xF000) >> 12) | ((v & 0x0F00) >> 4) | ((v & 0x00F0) << 4) |
                            ((v & 0x000F) << 12));
}

std::wstring MakeHashedShortName(const std::wstring& longName,
                                 const std::function<bool(const std::wstring&)>& taken) {
    std::wstring base, ext;
    SplitForShortName(longName, &base, &ext);
    for (int n = 1; n <= 4; ++n) {
        const std::wstring candidate = Join(base.substr(0, 6), L"~" + std::to_wstring(n), ext);
        if (!taken(candidate)) return candidate;
    }
    wchar_t hex[8];
    std::swprintf(hex, 8, L"%04X", static_cast<unsigned>(ShortNameHash(longName)));
    const std::wstring head = base.substr(0, 2) + hex;
    for (int n = 1; n < 1000000; ++n) {
        const std::wstring tail = L"~" + std::to_wstring(n);
        const std::wstring candidate =
            Join(head.substr(0, std::min<size_t>(head.size(), 8 - tail.size())), tail, ext);
        if (!taken(candidate)) return candidate;
    }
    return {};
}

}  // namespace morlit::posix
