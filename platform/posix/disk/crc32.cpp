#include "platform/posix/disk/crc32.h"

#include <array>

#include "platform/posix/disk/byte_order.h"

namespace morlit::posix {

namespace {

// Eight tables, so eight bytes are folded in a step: every byte the journal
// saves passes through here, as much as a run rewrites.
using CrcTables = std::array<std::array<u32, 256>, 8>;

CrcTables MakeCrcTables() {
    CrcTables t{};
    for (u32 i = 0; i < 256; ++i) {
        u32 c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (u32 i = 0; i < 256; ++i) {
        for (std::size_t k = 1; k < 8; ++k) {
            t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
        }
    }
    return t;
}

}  // namespace

u32 Crc32(const void* data, std::size_t length, u32 crc) {
    static const CrcTables t = MakeCrcTables();
    const auto* p = static_cast<const u8*>(data);
    crc = ~crc;
    for (; length >= 8; p += 8, length -= 8) {
        const u32 lo = crc ^ LoadLe32(p);
        crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
              t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    }
    for (; length > 0; --length, ++p) crc = t[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

}  // namespace morlit::posix
