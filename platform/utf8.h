// UTF-8 <-> wide strings (UTF-16 where wchar_t has 16 bits, UTF-32 where it
// has 32), for logs, diagnostics, terminal text and host paths.
//
// One strict decoder: a well-formed sequence gives its character; every byte
// of anything else (a stray continuation byte, an overlong form, an encoded
// surrogate, a value past U+10FFFF, a sequence cut short) is taken alone,
// one wide unit per byte, as the entry point says.
#pragma once

#include <string>

namespace morlit {

// Host file names and text of ours: each byte that is not UTF-8 becomes the
// lone surrogate U+DC80 + byte, so HostBytesFromWide gives the very bytes
// back and any file name the user gives opens that very file.
std::wstring WideFromUtf8(const std::string& text);
// UTF-8 as Windows reads it: each byte that is not UTF-8 becomes U+FFFD, so
// no invalid name turns into a NUL or a slash.
std::wstring WideFromUtf8Replacing(const std::string& text);

// Text for a user, a log or JSON: always well-formed UTF-8. A surrogate
// without its partner (such as a byte WideFromUtf8 kept) shows as U+FFFD.
std::string Utf8FromWide(const std::wstring& text);
// A host path: the inverse of WideFromUtf8, each lone U+DC80..U+DCFF its
// byte again. Other lone surrogates name no byte and become U+FFFD.
std::string HostBytesFromWide(const std::wstring& text);

// UTF-8 text with its ASCII letters in lower case, for names Windows
// compares without regard to case.
std::string AsciiLowered(std::string text);

}  // namespace morlit
