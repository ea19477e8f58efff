#include "tools/hive/hive_log_writer.h"

#include <algorithm>

namespace morlit::tools {

namespace {

constexpr size_t kBase = 4096;
constexpr size_t kSector = 512;
// The seed as the format description lists it, "hexadecimal bytes: 82 EF
// 4D 88 7A 4E 55 C5": a number written most significant byte first.
constexpr u8 kSeedAsListed[8] = {0x82, 0xEF, 0x4D, 0x88, 0x7A, 0x4E, 0x55, 0xC5};

constexpr u64 SeedFromList() {
    u64 seed = 0;
    for (u8 b : kSeedAsListed) seed = (seed << 8) | b;
    return seed;
}
constexpr u64 kSeed = SeedFromList();

u32 Get32(const std::string& b, size_t at) {
    u32 v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<u8>(b[at + i]);
    return v;
}
void Put32(std::string& b, size_t at, u32 v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
void Put64(std::string& b, size_t at, u64 v) {
    Put32(b, at, static_cast<u32>(v));
    Put32(b, at + 4, static_cast<u32>(v >> 32));
}
u32 Rotl(u32 v, int k) { return (v << k) | (v >> (32 - k)); }

// The first sector of a log: the hive's base block with the log's type and
// sequence numbers.
std::string LogBaseBlock(const std::string& hive, u32 type, u32 sequence) {
    std::string b = hive.substr(0, kSector);
    Put32(b, 4, sequence);
    Put32(b, 8, sequence);
    Put32(b, 28, type);
    FixChecksum(&b);
    return b;
}

std::string PadToSector(std::string s) {
    s.resize((s.size() + kSector - 1) / kSector * kSector, '\0');
    return s;
}

// The byte at `at`, or zero past the end (a hive that grew).
char At(const std::string& s, size_t at) { return at < s.size() ? s[at] : '\0'; }

bool SameRange(const std::string& a, const std::string& b, size_t at, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (At(a, at + i) != At(b, at + i)) return false;
    }
    return true;
}

}  // namespace

u32 PrimarySequence(const std::string& hive) { return Get32(hive, 4); }
u64 LastWritten(const std::string& hive) {
    return static_cast<u64>(Get32(hive, 12)) | (static_cast<u64>(Get32(hive, 16)) << 32);
}

void FixChecksum(std::string* hive) {
    u32 sum = 0;
    for (size_t i = 0; i < 508; i += 4) sum ^= Get32(*hive, i);
    Put32(*hive, 508, sum);
}

void SetSequences(std::string* hive, u32 primary, u32 secondary) {
    Put32(*hive, 4, primary);
    Put32(*hive, 8, secondary);
    FixChecksum(hive);
}

void SetLastWritten(std::string* hive, u64 filetime) {
    Put64(*hive, 12, filetime);
    FixChecksum(hive);
}

u64 LogEntrySeed() { return kSeed; }

u64 LogMarvin32(const std::string& data, u64 seed) {
    u32 lo = static_cast<u32>(seed), hi = static_cast<u32>(seed >> 32);
    auto block = [&] {
        hi ^= lo;
        lo = Rotl(lo, 20);
        lo += hi;
        hi = Rotl(hi, 9);
        hi ^= lo;
        lo = Rotl(lo, 27);
        lo += hi;
        hi = Rotl(hi, 19);
    };
    size_t i = 0;
    for (; i + 4 <= data.size(); i += 4) {
        lo += Get32(data, i);
        block();
    }
    u32 tail = 0x80;
    for (size_t j = data.size(); j > i; --j) tail = (tail << 8) | static_cast<u8>(data[j - 1]);
    lo += tail;
    block();
    block();
    return (static_cast<u64>(hi) << 32) | lo;
}

std::string OldFormatLog(const std::string& primary, const std::string& newest, u32 sequence) {
    const size_t binsSize = Get32(newest, 40);
    const size_t pages = binsSize / kSector;
    std::string bitmap((pages + 7) / 8, '\0');
    std::string dirty;
    for (size_t k = 0; k < pages; ++k) {
        const size_t at = kBase + k * kSector;
        if (SameRange(primary, newest, at, kSector)) continue;
        bitmap[k / 8] = static_cast<char>(bitmap[k / 8] | (1 << (k % 8)));
        dirty += newest.substr(at, kSector);
    }
    return LogBaseBlock(newest, 1, sequence) + PadToSector("DIRT" + bitmap) + dirty;
}

std::string NewFormatEntry(const std::string& from, const std::string& to, u32 sequence,
                           bool breakHash) {
    const u32 binsSize = Get32(to, 40);
    std::string refs, pages;
    u32 count = 0;
    for (size_t offset = 0; offset < binsSize; offset += 4096) {
        if (SameRange(from, to, kBase + offset, 4096)) continue;
        std::string ref(8, '\0');
        Put32(ref, 0, static_cast<u32>(offset));
        Put32(ref, 4, 4096);
        refs += ref;
        pages += to.substr(kBase + offset, 4096);
        ++count;
    }
    std::string entry(40, '\0');
    entry.replace(0, 4, "HvLE");
    Put32(entry, 12, sequence);
    Put32(entry, 16, binsSize);
    Put32(entry, 20, count);
    entry = PadToSector(entry + refs + pages);
    Put32(entry, 4, static_cast<u32>(entry.size()));
    Put64(entry, 24, LogMarvin32(entry.substr(40), kSeed) ^ (breakHash ? 1 : 0));
    Put64(entry, 32, LogMarvin32(entry.substr(0, 32), kSeed));
    return entry;
}

std::string NewFormatLog(const std::string& base, u32 sequence,
                         const std::vector<std::string>& entries) {
    std::string log = LogBaseBlock(base, 6, sequence);
    for (const std::string& e : entries) log += e;
    return log;
}

}  // namespace morlit::tools
