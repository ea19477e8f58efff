#include "platform/posix/registry/hive_check.h"

#include "platform/posix/registry/hive_format.h"

namespace morlit::posix {

using namespace hive;

std::string BaseBlockFault(const std::string& data) {
    // The smallest hive is its base block and one bin.
    if (data.size() < kBaseBlockSize + 4096) {
        return "the file is " + std::to_string(data.size()) + " bytes, too short for a hive";
    }
    if (data.compare(0, 4, "regf") != 0) return "no regf signature";
    if (Get32(data, kMajorVersionAt) != 1) {
        return "major version " + std::to_string(Get32(data, kMajorVersionAt)) + " (expected 1)";
    }
    if (!ChecksumValid(data)) return "bad base block checksum";
    return "";
}

std::string HiveBinsFault(const std::string& data, bool cells) {
    if (data.size() < kBaseBlockSize) return "the file ends inside the base block";
    const u64 binsSize = Get32(data, kBinsSizeAt);
    const u64 end = kBaseBlockSize + binsSize;
    if (binsSize == 0 || binsSize % 4096 != 0) {
        return "hive bins data size " + Hex(binsSize) + " is not a positive multiple of 4096";
    }
    if (end > data.size()) {
        return "hive bins end at " + Hex(end) + " past the end of the file (" + Hex(data.size()) +
               ")";
    }
    const u64 root = kBaseBlockSize + static_cast<u64>(Get32(data, kRootCellAt));
    bool rootSeen = false;
    for (u64 at = kBaseBlockSize; at < end;) {
        if (data.compare(at, 4, "hbin") != 0) {
            return "hive bins end at " + Hex(at) + " but the base block says " + Hex(end);
        }
        const u64 claimed = kBaseBlockSize + static_cast<u64>(Get32(data, at + kBinOffsetAt));
        if (claimed != at) return "hive bin at " + Hex(at) + " says it lies at " + Hex(claimed);
        const u64 size = Get32(data, at + kBinSizeAt);
        if (size <= kBinHeaderSize || size % 4096 != 0) {
            return "hive bin at " + Hex(at) + " has a bad size " + Hex(size);
        }
        if (at + size > end) {
            return "hive bin at " + Hex(at) + " runs past the hive bins' end " + Hex(end);
        }
        if (cells) {
            for (u64 cell = at + kBinHeaderSize; cell < at + size;) {
                const std::int32_t raw = static_cast<std::int32_t>(Get32(data, cell));
                const u64 length =
                    raw < 0 ? static_cast<u64>(-static_cast<std::int64_t>(raw)) : u64(raw);
                if (length <= 4 || length % 4 != 0 || cell + length > at + size) {
                    return "cell at " + Hex(cell) + " has a bad size " + std::to_string(raw);
                }
                if (cell == root) {
                    rootSeen = true;
                    if (raw >= 0 || data.compare(cell + 4, 2, "nk") != 0) {
                        return "the root cell at " + Hex(cell) + " is not a key";
                    }
                }
                cell += length;
            }
        }
        at += size;
    }
    if (cells && !rootSeen) return "no cell starts at the root cell offset " + Hex(root);
    return "";
}

std::string HiveFault(const std::string& data) {
    std::string fault = BaseBlockFault(data);
    if (fault.empty()) fault = HiveBinsFault(data, true);
    return fault;
}

}  // namespace morlit::posix
