// DOS 8.3 names as Windows gives them to new files on NTFS and FAT.
#pragma once

#include <functional>
#include <string>

#include "platform/types.h"

namespace morlit::posix {

// True when `name` is itself a valid 8.3 name (compared without case): such
// a name is stored once, as a Win32-and-DOS name, with no separate short name.
bool IsShortNameLegal(const std::wstring& name);

// The short name Windows would generate for a long name: up to six
// characters of the base, "~N", and up to three of the extension, upper
// case, with characters FAT cannot hold dropped or replaced by "_". `taken`
// tells whether a candidate is already used in the folder. Empty when no
// candidate is free.
std::wstring MakeShortName(const std::wstring& longName,
                           const std::function<bool(const std::wstring&)>& taken);

// The short name Windows NT gives a new file on FAT: six characters of the
// base with "~1" to "~4"; after the fourth collision two characters, four
// hex digits of ShortNameHash(longName) and "~1", "~2"... Empty when no
// candidate is free.
std::wstring MakeHashedShortName(const std::wstring& longName,
                                 const std::function<bool(const std::wstring&)>& taken);

// The 16-bit hash of a long name that the generator above puts in hex.
u16 ShortNameHash(const std::wstring& longName);

}  // namespace morlit::posix
