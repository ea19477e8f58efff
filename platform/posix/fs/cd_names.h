// Name rules shared by the CD drives of the Linux host.
#pragma once

#include <string>

namespace morlit::posix {

// True when two names are equal without regard to letter case, as Windows
// compares names (simple upper-casing of each character).
bool SameNameNoCase(const std::wstring& a, const std::wstring& b);

// True for a path component that names an entry inside its folder: not
// empty, not "." or "..", and without separators or NUL.
bool IsPlainComponent(const std::wstring& name);

}  // namespace morlit::posix
