// The disk number in a physical disk path such as \\.\PhysicalDrive3.
#pragma once

#include <string>

#include "platform/types.h"

namespace morlit {

// True for "\\.\PhysicalDrive" followed by decimal digits only, giving a
// number from 0 to 255 (the lookup takes an 8-bit disk number).
bool ParsePhysicalDriveNumber(const std::wstring& path, int* number);

inline bool IsAsciiLetter(u8 c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace morlit
