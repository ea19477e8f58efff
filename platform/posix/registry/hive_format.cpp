#include "platform/posix/registry/hive_format.h"

#include <cstdio>

namespace morlit::posix::hive {

namespace {

u32 Rotl(u32 v, int k) { return (v << k) | (v >> (32 - k)); }

void Mix(u32& lo, u32& hi) {
    hi ^= lo;
    lo = Rotl(lo, 20);
    lo += hi;
    hi = Rotl(hi, 9);
    hi ^= lo;
    lo = Rotl(lo, 27);
    lo += hi;
    hi = Rotl(hi, 19);
}

}  // namespace

u32 BaseBlockChecksum(const std::string& block) {
    u32 sum = 0;
    for (size_t at = 0; at < kChecksumAt; at += 4) sum ^= Get32(block, at);
    return sum;
}

bool ChecksumValid(const std::string& block) {
    if (block.size() < kSector) return false;
    const u32 sum = BaseBlockChecksum(block);
    const u32 stored = Get32(block, kChecksumAt);
    if (stored == sum) return true;
    return (sum == 0 && stored == 1) || (sum == 0xFFFFFFFF && stored == 0xFFFFFFFE);
}

void StoreChecksum(std::string& block) { Put32(block, kChecksumAt, BaseBlockChecksum(block)); }

u64 Marvin32(const char* data, size_t length, u64 seed) {
    u32 lo = static_cast<u32>(seed);
    u32 hi = static_cast<u32>(seed >> 32);
    while (length >= 4) {
        lo += LoadLe32(data);
        Mix(lo, hi);
        data += 4;
        length -= 4;
    }
    // The last 0 to 3 bytes, closed by a 0x80 byte.
    u32 last = 0x80;
    for (size_t i = length; i > 0; --i) last = (last << 8) | static_cast<u8>(data[i - 1]);
    lo += last;
    Mix(lo, hi);
    Mix(lo, hi);
    return (static_cast<u64>(hi) << 32) | lo;
}

std::string Hex(u64 value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace morlit::posix::hive
