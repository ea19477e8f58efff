// The command-line splitter: an input is UTF-16LE text (an odd last byte
// is dropped). Splitting never yields more arguments than characters, and
// nothing without white space, quotes or backslashes changes.
#include "platform/posix/programs/expand_tool.h"
#include "tests/fuzz/fuzz_util.h"

MORLIT_FUZZ_TARGET(command_line) {
    std::wstring text;
    for (size_t i = 0; i + 1 < size; i += 2) {
        const wchar_t c = static_cast<wchar_t>(data[i] | data[i + 1] << 8);
        if (c == 0) break;
        text.push_back(c);
    }
    const auto args = morlit::posix::SplitCommandLine(text);
    MORLIT_FUZZ_CHECK(args.size() <= text.size());
    if (!text.empty() && text.find_first_of(L" \t\"\\") == std::wstring::npos) {
        MORLIT_FUZZ_CHECK(args.size() == 1 && args[0] == text);
    }
    return 0;
}
