// CRC-32 with the polynomial of zlib and Ethernet (reflected 0xEDB88320,
// initial and final value inverted), the check every journal record carries.
#pragma once

#include <cstddef>

#include "platform/types.h"

namespace morlit::posix {

// The CRC of `length` bytes at `data`, continuing from `crc`, the result of
// an earlier call on the bytes before them (0 to start).
u32 Crc32(const void* data, std::size_t length, u32 crc = 0);

}  // namespace morlit::posix
