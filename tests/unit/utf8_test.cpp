// UTF-8 conversion: what the logs, the terminal and host paths go through.
#include <gtest/gtest.h>

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
}

}  // namespace
}  // namespace morlit
