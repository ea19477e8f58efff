// Writes registry transaction logs from the public description of their
// format, so that the recovery of dirty hives can be tested on logs that
// were not made by the code that reads them. A test builds a hive, changes
// it into a newer state, and keeps the older one as the primary file with
// the newer one only in logs, as a machine that crashed would leave it.
#pragma once

#include <string>
#include <vector>

#include "platform/types.h"

namespace morlit::tools {

u32 PrimarySequence(const std::string& hive);
u64 LastWritten(const std::string& hive);
// Set base block fields; each recomputes the checksum.
void SetSequences(std::string* hive, u32 primary, u32 secondary);
void SetLastWritten(std::string* hive, u64 filetime);
void FixChecksum(std::string* hive);

// Marvin32 as the new log format uses it, and the seed of its entries'
// hashes as the format description gives it.
u64 LogMarvin32(const std::string& data, u64 seed);
u64 LogEntrySeed();

// An old-format log (XP to 7) taking `primary` to `newest`: the base block
// of `newest` as a log's (type 1, both sequence numbers `sequence`), then
// "DIRT" with a bitmap of the 512-byte pages where they differ, then those
// pages of `newest`.
std::string OldFormatLog(const std::string& primary, const std::string& newest, u32 sequence);

// One new-format entry taking `from` to `to`: the 4096-byte pages of the
// hive bins that differ, with its two hashes. `breakHash` stores a wrong
// first hash.
std::string NewFormatEntry(const std::string& from, const std::string& to, u32 sequence,
                           bool breakHash = false);

// A new-format log (8.1 and later): the base block of `base` as a log's
// (type 6, both sequence numbers `sequence`), then the entries.
std::string NewFormatLog(const std::string& base, u32 sequence,
                         const std::vector<std::string>& entries);

}  // namespace morlit::tools
