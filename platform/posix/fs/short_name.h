// DOS 8.3 names as Windows gives them to new files on NTFS.
#pragma once

#include <functional>
#include <string>

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

}  // namespace morlit::posix
