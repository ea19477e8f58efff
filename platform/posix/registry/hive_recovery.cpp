#include "platform/posix/registry/hive_recovery.h"

#include <algorithm>
#include <utility>

#include "platform/posix/registry/hive_check.h"
#include "platform/posix/registry/hive_format.h"

namespace morlit::posix {

using namespace hive;

namespace {

constexpr size_t kEntryHeader = 40;

bool HasSignature(const std::string& data) {
    return data.size() >= kBaseBlockSize && data.compare(0, 4, "regf") == 0;
}

// Why a log's own base block makes it unusable, or empty. `type` gets its
// file type.
std::string LogBaseFault(const std::string& log, u32* type) {
    if (log.size() < kSector || log.compare(0, 4, "regf") != 0) return "not a hive log";
    if (!ChecksumValid(log)) return "its base block has a bad checksum";
    // A log whose write was cut short has unequal sequence numbers.
    if (Get32(log, kPrimarySequenceAt) != Get32(log, kSecondarySequenceAt)) {
        return "it was not completely written";
    }
    *type = Get32(log, kFileTypeAt);
    if (*type != kFileTypeOldLog && *type != kFileTypeNewLog) {
        return "unknown file type " + std::to_string(*type);
    }
    return "";
}

// Gives the recovered hive its base block (consistent, of the primary type,
// with the hive bins' size the pages were written for) and checks the bins
// it now holds, whichever log format they came from: empty, or why they
// cannot be used.
std::string Sealed(std::string& hive, u32 sequence, u32 binsSize, const std::string& from) {
    Put32(hive, kPrimarySequenceAt, sequence);
    Put32(hive, kSecondarySequenceAt, sequence);
    Put32(hive, kFileTypeAt, kFileTypePrimary);
    Put32(hive, kBinsSizeAt, binsSize);
    StoreChecksum(hive);
    const std::string fault = HiveBinsFault(hive, false);
    return fault.empty() ? fault
                         : "the hive bins recovered from " + from + " are not valid: " + fault;
}

// Takes the log's partial copy of the base block over the first sector.
void TakeBaseBlockFrom(std::string& hive, const std::string& log) {
    hive.replace(0, kSector, log, 0, kSector);
}

void GrowTo(std::string& hive, u64 size) {
    if (hive.size() < size) hive.resize(static_cast<size_t>(size), '\0');
}

// Old format: the log's base block, a "DIRT" bitmap of the 512-byte pages
// of the hive bins, and the dirty pages in bit order. The result, or a
// reason in `why`.
bool ReplayOldFormat(const std::string& primary, const HiveLog& log, std::string* out,
                     size_t* pages, std::string* why) {
    const std::string& data = log.data;
    u32 clustering = Get32(data, kClusteringAt);
    if (clustering == 0 || clustering > 8) clustering = 1;
    const size_t sector = kSector * clustering;
    const u64 binsSize = Get32(data, kBinsSizeAt);
    if (binsSize == 0 || binsSize % 4096 != 0 || binsSize > (u64{1} << 31)) {
        *why = log.name + " gives a bad hive bins size " + Hex(binsSize);
        return false;
    }
    const u64 bits = binsSize / kSector;
    const u64 bitmapBytes = (bits + 7) / 8;
    if (data.size() < sector + 4 + bitmapBytes || data.compare(sector, 4, "DIRT") != 0) {
        *why = log.name + " has no dirty page bitmap";
        return false;
    }
    const u64 firstPage = (sector + 4 + bitmapBytes + sector - 1) / sector * sector;

    std::string hive = primary;
    GrowTo(hive, kBaseBlockSize + binsSize);
    u64 from = firstPage;
    size_t count = 0;
    for (u64 bit = 0; bit < bits; ++bit) {
        const u8 byte = static_cast<u8>(data[sector + 4 + bit / 8]);
        if (!(byte & (1u << (bit % 8)))) continue;
        if (from + kSector > data.size()) {
            *why = log.name + " ends before its dirty pages do";
            return false;
        }
        hive.replace(kBaseBlockSize + bit * kSector, kSector, data, from, kSector);
        from += kSector;
        ++count;
    }
    // The log's base block was taken from memory with the dirty pages, so it
    // matches them (root cell, size) better than the primary's.
    TakeBaseBlockFrom(hive, data);
    *why = Sealed(hive, Get32(data, kPrimarySequenceAt), static_cast<u32>(binsSize), log.name);
    if (!why->empty()) return false;
    *out = std::move(hive);
    *pages = count;
    return true;
}

// One entry of a new-format log at `at`: false when it is not a whole,
// intact entry (which ends the replay).
struct Entry {
    u32 size = 0;
    u32 sequence = 0;
    u32 binsSize = 0;
    u32 pageCount = 0;
};

bool ReadEntry(const std::string& log, size_t at, Entry* e, std::string* why) {
    const auto where = [&] { return "the entry at " + Hex(at); };
    e->size = Get32(log, at + 4);
    if (e->size < kEntryHeader || e->size % kSector != 0 || at + e->size > log.size()) {
        *why = where() + " has a bad size " + Hex(e->size);
        return false;
    }
    e->sequence = Get32(log, at + 12);
    e->binsSize = Get32(log, at + 16);
    e->pageCount = Get32(log, at + 20);
    if (e->binsSize == 0 || e->binsSize % 4096 != 0) {
        *why = where() + " has a bad hive bins size " + Hex(e->binsSize);
        return false;
    }
    const u64 hash1 =
        Marvin32(log.data() + at + kEntryHeader, e->size - kEntryHeader, kLogEntrySeed);
    const u64 hash2 = Marvin32(log.data() + at, 32, kLogEntrySeed);
    if (hash1 != Get64(log, at + 24) || hash2 != Get64(log, at + 32)) {
        *why = where() + " has a bad hash";
        return false;
    }
    // The page references and the pages must lie within the entry and the
    // hive bins.
    u64 need = kEntryHeader + u64{8} * e->pageCount;
    if (need > e->size) {
        *why = where() + " lists more pages than it holds";
        return false;
    }
    for (u32 i = 0; i < e->pageCount; ++i) {
        const u64 offset = Get32(log, at + kEntryHeader + 8 * i);
        const u64 size = Get32(log, at + kEntryHeader + 8 * i + 4);
        need += size;
        if (offset + size > e->binsSize || need > e->size) {
            *why = where() + " has a page outside the hive bins or the entry";
            return false;
        }
    }
    return true;
}

void ApplyEntry(const std::string& log, size_t at, const Entry& e, std::string& hive) {
    GrowTo(hive, kBaseBlockSize + u64{e.binsSize});
    u64 from = at + kEntryHeader + u64{8} * e.pageCount;
    for (u32 i = 0; i < e.pageCount; ++i) {
        const u64 offset = Get32(log, at + kEntryHeader + 8 * i);
        const u64 size = Get32(log, at + kEntryHeader + 8 * i + 4);
        hive.replace(kBaseBlockSize + offset, size, log, from, size);
        from += size;
    }
    Put32(hive, kPrimarySequenceAt, e.sequence);
    Put32(hive, kSecondarySequenceAt, e.sequence);
    Put32(hive, kBinsSizeAt, e.binsSize);
}

// The entries of a new-format log's latest round. Its base block is written
// with the round's first entry, so that entry carries the base block's
// primary sequence number and each later one the next number; an entry
// after a gap or a bad one is left from an older round or was cut short.
struct Run {
    const HiveLog* log = nullptr;
    u32 first = 0;
    std::vector<std::pair<size_t, Entry>> entries;  // with their offsets
};

// Reads the run of `log`, or says why it holds none.
std::string ReadRun(const HiveLog& log, Run* run) {
    run->log = &log;
    run->first = Get32(log.data, kPrimarySequenceAt);
    u32 next = run->first;
    for (size_t at = kSector; at + kEntryHeader <= log.data.size();) {
        if (log.data.compare(at, 4, "HvLE") != 0) break;  // the entries end here
        Entry e;
        std::string bad;
        if (!ReadEntry(log.data, at, &e, &bad)) {
            if (run->entries.empty()) return log.name + ": " + bad;
            break;
        }
        if (e.sequence != next) {
            if (run->entries.empty()) {
                return log.name + ": its first entry has sequence number " +
                       std::to_string(e.sequence) + ", not its base block's " +
                       std::to_string(next);
            }
            break;
        }
        run->entries.emplace_back(at, e);
        ++next;
        at += e.size;
    }
    if (run->entries.empty()) return log.name + " holds no log entries";
    return "";
}

// New format: the log with the earlier round first, from its first entry
// on, which must not be below the hive's secondary sequence number (the
// last write known to be whole); then the other log when its round resumes
// right after the last entry applied. The entry numbered as the secondary
// may be the one whose write into the hive was cut short; its pages are
// whole pages of the newer state, so taking it again is harmless. The
// recovered hive bins are checked: entries that produce bins which do not
// hold together are not a state of this hive.
bool ReplayNewFormat(const std::string& primary, bool badBase,
                     const std::vector<const HiveLog*>& logs, std::string* out, size_t* applied,
                     std::string* names, std::vector<std::string>* why) {
    // A base block that fails its checksum gives no secondary: it is
    // rebuilt from the log with the earliest round, which then qualifies.
    const u32 secondary = badBase ? 0 : Get32(primary, kSecondarySequenceAt);
    std::vector<Run> runs;
    for (const HiveLog* log : logs) {
        Run run;
        const std::string fault = ReadRun(*log, &run);
        if (!fault.empty()) {
            why->push_back(fault);
        } else if (run.first < secondary) {
            why->push_back(
                log->name + ": its entries start at sequence number " + std::to_string(run.first) +
                ", below the hive's secondary sequence number " + std::to_string(secondary));
        } else {
            runs.push_back(std::move(run));
        }
    }
    if (runs.empty()) return false;
    // The logs are swapped as they fill: either name may hold the earlier round.
    std::stable_sort(runs.begin(), runs.end(),
                     [](const Run& a, const Run& b) { return a.first < b.first; });
    std::string hive = primary;
    if (badBase) TakeBaseBlockFrom(hive, runs.front().log->data);

    size_t count = 0;
    u32 last = 0;
    for (auto r = runs.begin(); r != runs.end() && (count == 0 || r->first == last + 1); ++r) {
        for (const auto& [at, e] : r->entries) ApplyEntry(r->log->data, at, e, hive);
        last = r->entries.back().second.sequence;
        count += r->entries.size();
        *names += (names->empty() ? "" : " and ") + r->log->name;
    }
    const std::string fault = Sealed(hive, last, Get32(hive, kBinsSizeAt), *names);
    if (!fault.empty()) {
        why->push_back(fault);
        return false;
    }
    *out = std::move(hive);
    *applied = count;
    return true;
}

}  // namespace

bool HiveIsDirty(const std::string& hive) {
    if (!HasSignature(hive)) return false;
    return !ChecksumValid(hive) ||
           Get32(hive, kPrimarySequenceAt) != Get32(hive, kSecondarySequenceAt);
}

HiveRecovery RecoverHive(const std::string& name, std::string* hive,
                         const std::vector<HiveLog>& logs) {
    HiveRecovery result;
    if (!HiveIsDirty(*hive)) return result;
    const bool badBase = !ChecksumValid(*hive);
    const std::string what = name + " hive";

    if (logs.empty()) {
        if (badBase) {
            result.state = HiveState::kRefused;
            result.line = what + ": bad base block checksum and no log to rebuild it from";
            return result;
        }
        result.state = HiveState::kDirtyWithoutLog;
        result.line = what + " is dirty (sequence numbers " +
                      std::to_string(Get32(*hive, kPrimarySequenceAt)) + " and " +
                      std::to_string(Get32(*hive, kSecondarySequenceAt)) +
                      ") and has no log beside it: used as it stands";
        return result;
    }

    std::vector<std::string> reasons;
    std::vector<const HiveLog*> newFormat, oldFormat;
    for (const HiveLog& log : logs) {
        u32 type = 0;
        const std::string fault = LogBaseFault(log.data, &type);
        if (!fault.empty()) {
            reasons.push_back(log.name + ": " + fault);
        } else if (type == kFileTypeNewLog) {
            newFormat.push_back(&log);
        } else {
            oldFormat.push_back(&log);
        }
    }

    if (!newFormat.empty()) {
        std::string recovered, names;
        size_t entries = 0;
        if (ReplayNewFormat(*hive, badBase, newFormat, &recovered, &entries, &names, &reasons)) {
            *hive = std::move(recovered);
            result.state = HiveState::kRecovered;
            result.line = what + ": recovered " + std::to_string(entries) + " log entr" +
                          (entries == 1 ? "y" : "ies") + " from " + names;
            return result;
        }
    }

    // An old-format log applies only to the hive it was written for: the
    // same last-written time. When the base block cannot be trusted, the
    // first hive bin's time stands in for it; that bin keeps the time it was
    // last written whole, which may be well before the log, so a log written
    // at that time or later qualifies, and the recovered bins are checked.
    const bool binStamp = badBase && hive->size() >= kBaseBlockSize + kBinHeaderSize &&
                          hive->compare(kBaseBlockSize, 4, "hbin") == 0;
    const u64 stamp = badBase ? (binStamp ? Get64(*hive, kBaseBlockSize + kBinTimestampAt) : 0)
                              : Get64(*hive, kTimestampAt);
    std::vector<const HiveLog*> applicable;
    for (const HiveLog* log : oldFormat) {
        const u64 logStamp = Get64(log->data, kTimestampAt);
        const bool fits = badBase ? binStamp && logStamp >= stamp : logStamp == stamp;
        if (!fits) {
            reasons.push_back(log->name + " was written for another state of the hive");
        } else {
            applicable.push_back(log);
        }
    }
    // The newest log first.
    std::stable_sort(applicable.begin(), applicable.end(), [](const HiveLog* a, const HiveLog* b) {
        return Get32(a->data, kPrimarySequenceAt) > Get32(b->data, kPrimarySequenceAt);
    });
    for (const HiveLog* log : applicable) {
        std::string recovered, why;
        size_t pages = 0;
        if (ReplayOldFormat(*hive, *log, &recovered, &pages, &why)) {
            *hive = std::move(recovered);
            result.state = HiveState::kRecovered;
            result.line = what + ": recovered " + std::to_string(pages) + " dirty page" +
                          (pages == 1 ? "" : "s") + " from " + log->name;
            return result;
        }
        reasons.push_back(why);
    }

    result.state = HiveState::kRefused;
    result.line = what + " is dirty and no log recovers it";
    if (badBase) result.line += " (bad base block checksum)";
    std::string all;
    for (const std::string& r : reasons) all += (all.empty() ? ": " : "; ") + r;
    result.line += all;
    return result;
}

}  // namespace morlit::posix
