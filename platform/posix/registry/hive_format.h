// The on-disk layout of registry hive files and their transaction logs that
// the checks and the recovery share: the base block's fields, its checksum,
// and the hash that guards new-format log entries.
#pragma once

#include <cstddef>
#include <string>

#include "platform/types.h"
#include "platform/posix/disk/byte_order.h"

namespace morlit::posix::hive {

constexpr size_t kBaseBlockSize = 4096;  // hive bins start here
constexpr size_t kSector = 512;
constexpr size_t kBinHeaderSize = 32;

// Base block fields.
constexpr size_t kPrimarySequenceAt = 4;
constexpr size_t kSecondarySequenceAt = 8;
constexpr size_t kTimestampAt = 12;
constexpr size_t kMajorVersionAt = 20;
constexpr size_t kFileTypeAt = 28;
constexpr size_t kRootCellAt = 36;
constexpr size_t kBinsSizeAt = 40;
constexpr size_t kClusteringAt = 44;
constexpr size_t kChecksumAt = 508;
// A hive bin's header.
constexpr size_t kBinOffsetAt = 4;
constexpr size_t kBinSizeAt = 8;
constexpr size_t kBinTimestampAt = 20;

constexpr u32 kFileTypePrimary = 0;
constexpr u32 kFileTypeOldLog = 1;
constexpr u32 kFileTypeNewLog = 6;

// The seed of the two hashes of a new-format log entry, as the 64-bit value
// Windows expands: its low half 0x7A4E55C5 starts the first state word. The
// same eight bytes taken in the other order match no log Windows writes.
constexpr u64 kLogEntrySeed = 0x82EF4D887A4E55C5ull;

inline u32 Get32(const std::string& b, size_t at) { return LoadLe32(b.data() + at); }
inline u64 Get64(const std::string& b, size_t at) { return LoadLe64(b.data() + at); }
inline void Put32(std::string& b, size_t at, u32 v) { StoreLe32(&b[at], v); }

// The XOR-32 checksum of the first 508 bytes of `block` (at least 512
// bytes).
u32 BaseBlockChecksum(const std::string& block);
// Whether the stored checksum matches. Windows writes 1 for a sum of 0 and
// 0xFFFFFFFE for 0xFFFFFFFF; other writers store the plain sum.
bool ChecksumValid(const std::string& block);
// Stores the checksum of the first 508 bytes.
void StoreChecksum(std::string& block);

// Marvin32 of `length` bytes: the high half is the second state word.
u64 Marvin32(const char* data, size_t length, u64 seed);

// "0x1a000", for messages.
std::string Hex(u64 value);

}  // namespace morlit::posix::hive
