// Loads and stores of little- and big-endian integers at any byte address.
// On-disk formats fix their byte order and give no alignment, so every field
// is read and written a byte at a time whatever the host's own order is.
#pragma once

#include "platform/types.h"

namespace morlit::posix {

inline u16 LoadLe16(const void* at) {
    const auto* p = static_cast<const u8*>(at);
    return static_cast<u16>(p[0] | p[1] << 8);
}
inline u32 LoadLe32(const void* at) {
    const auto* p = static_cast<const u8*>(at);
    return u32{p[0]} | u32{p[1]} << 8 | u32{p[2]} << 16 | u32{p[3]} << 24;
}
inline u64 LoadLe64(const void* at) {
    const auto* p = static_cast<const u8*>(at);
    return u64{LoadLe32(p)} | u64{LoadLe32(p + 4)} << 32;
}
inline u16 LoadBe16(const void* at) {
    const auto* p = static_cast<const u8*>(at);
    return static_cast<u16>(p[0] << 8 | p[1]);
}
inline u32 LoadBe32(const void* at) {
    const auto* p = static_cast<const u8*>(at);
    return u32{p[0]} << 24 | u32{p[1]} << 16 | u32{p[2]} << 8 | u32{p[3]};
}
inline u64 LoadBe64(const void* at) {
    const auto* p = static_cast<const u8*>(at);
    return u64{LoadBe32(p)} << 32 | LoadBe32(p + 4);
}

inline void StoreLe16(void* at, u16 v) {
    auto* p = static_cast<u8*>(at);
    p[0] = static_cast<u8>(v);
    p[1] = static_cast<u8>(v >> 8);
}
inline void StoreLe32(void* at, u32 v) {
    auto* p = static_cast<u8*>(at);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<u8>(v >> (8 * i));
}
inline void StoreLe64(void* at, u64 v) {
    auto* p = static_cast<u8*>(at);
    for (int i = 0; i < 8; ++i) p[i] = static_cast<u8>(v >> (8 * i));
}
inline void StoreBe32(void* at, u32 v) {
    auto* p = static_cast<u8*>(at);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<u8>(v >> (8 * (3 - i)));
}

}  // namespace morlit::posix
