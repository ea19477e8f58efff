// UTF-8 conversion: what the logs, the terminal and host paths go through.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/utf8.h"

namespace morlit {
namespace {

TEST(Utf8Test, RoundTripsJapaneseAndCharactersBeyondTheBasicPlane) {
    const std::wstring text = L"VHDファイル\u00e9" + WideFromUtf8("\xF0\x9F\x92\xBE");
    const std::string utf8 = Utf8FromWide(text);
    EXPECT_EQ(utf8, "VHD\xE3\x83\x95\xE3\x82\xA1\xE3\x82\xA4\xE3\x83\xAB\xC3\xA9\xF0\x9F\x92\xBE");
    EXPECT_EQ(WideFromUtf8(utf8), text);
    // One character on Linux, a surrogate pair where wchar_t has 16 bits.
    EXPECT_EQ(WideFromUtf8("\xF0\x9F\x92\xBE").size(), sizeof(wchar_t) == 2 ? 2u : 1u);
    EXPECT_EQ(HostBytesFromWide(WideFromUtf8("\xF0\x9F\x92\xBE")), "\xF0\x9F\x92\xBE");
}

// Bytes that are not UTF-8, each kept alone as U+DC80 + byte: a host path
// comes back byte for byte, what follows a bad byte is read on its own, and
// text made of them is well-formed, as is Windows' reading (U+FFFD a byte).
TEST(Utf8Test, BytesThatAreNotUtf8SurviveTheRoundTripAndShowAsReplacements) {
    const struct {
        const char* name;
        std::string bytes;
        std::wstring kept;
    } cases[] = {
        {"Latin-1 name", "caf\xE9.vhd", L"caf\xDCE9.vhd"},
        {"stray continuation", "\x80\x41", L"\xDC80\x41"},
        {"overlong slash", "\xC0\xAF/", L"\xDCC0\xDCAF/"},
        {"overlong in three bytes", "\xE0\x80\xAF", L"\xDCE0\xDC80\xDCAF"},
        {"surrogate encoded in UTF-8", "\xED\xB3\xA9", L"\xDCED\xDCB3\xDCA9"},
        {"cut short", "\xE3\x81\x41\xF0\x9F\x92", L"\xDCE3\xDC81\x41\xDCF0\xDC9F\xDC92"},
        {"past U+10FFFF", "\xF4\x90\x80\x80", L"\xDCF4\xDC90\xDC80\xDC80"},
        {"never a lead byte", "\xFF\xF5\xC1\xBF", L"\xDCFF\xDCF5\xDCC1\xDCBF"},
        {"valid around invalid", "\xC3\xA9\xE9\xE2\x82\xAC", L"\u00e9\xDCE9\u20ac"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(WideFromUtf8(c.bytes), c.kept);
        EXPECT_EQ(HostBytesFromWide(c.kept), c.bytes);
        std::wstring replaced = c.kept;
        std::replace_if(
            replaced.begin(), replaced.end(), [](wchar_t w) { return w >= 0xDC80 && w <= 0xDCFF; },
            L'\xFFFD');
        EXPECT_EQ(WideFromUtf8Replacing(c.bytes), replaced);
        EXPECT_EQ(Utf8FromWide(c.kept), Utf8FromWide(replaced));
    }
}

// A surrogate with no partner names no byte unless it is one a host name
// kept: anywhere else it becomes U+FFFD, never bytes that are not UTF-8.
TEST(Utf8Test, LoneSurrogatesBecomeReplacementsButPairsAreJoined) {
    const std::string replacement = "\xEF\xBF\xBD";
    for (const wchar_t* lone : {L"\xD800", L"\xDC41", L"\xDBFF\x41"}) {
        EXPECT_EQ(Utf8FromWide(lone).substr(0, 3), replacement);
        EXPECT_EQ(HostBytesFromWide(lone).substr(0, 3), replacement);
    }
    // NTFS names keep pairs as two units even where wchar_t has 32 bits.
    EXPECT_EQ(Utf8FromWide(L"\xD83D\xDCBE"), "\xF0\x9F\x92\xBE");
    EXPECT_EQ(HostBytesFromWide(L"\xD83D\xDCBE"), "\xF0\x9F\x92\xBE");
}

}  // namespace
}  // namespace morlit
