#include "platform/posix/disk/crc32.h"

#include <gtest/gtest.h>

#include <string>

namespace morlit::posix {
namespace {

// A byte at a time, straight from the polynomial: slow but plainly right.
u32 BitwiseCrc(const unsigned char* p, size_t n, u32 crc = 0) {
    crc = ~crc;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    return ~crc;
}

// The check value every CRC-32 implementation publishes, and the table-driven
// path (eight bytes a step, then the tail) against the bitwise one at every
// alignment and length around the step, whole or continued from a split.
TEST(Crc32, MatchesTheBitwiseDefinitionAtEveryLengthAndSplit) {
    EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(Crc32("", 0), 0u);

    unsigned char bytes[64];
    for (size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(i * 37 + 11);
    for (size_t start = 0; start < 8; ++start) {
        for (size_t n = 0; start + n <= 40; ++n) {
            const u32 want = BitwiseCrc(bytes + start, n);
            ASSERT_EQ(Crc32(bytes + start, n), want) << start << "+" << n;
            for (size_t cut = 0; cut <= n; cut += 3) {
                ASSERT_EQ(Crc32(bytes + start + cut, n - cut, Crc32(bytes + start, cut)), want)
                    << start << "+" << n << " cut " << cut;
            }
        }
    }
}

}  // namespace
}  // namespace morlit::posix
