// UTF-8 <-> wide strings, for logs, diagnostics, terminal text and host paths.
#pragma once

#include <string>

namespace morlit {

std::string Utf8FromWide(const std::wstring& text);
// Malformed sequences are taken byte by byte rather than refused: these
// strings only ever come from our own output and host file names.
std::wstring WideFromUtf8(const std::string& text);

}  // namespace morlit
