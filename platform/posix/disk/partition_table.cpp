#include "platform/posix/disk/partition_table.h"

#include <algorithm>

namespace morlit::posix {

namespace {

u32 Le32(const unsigned char* p) {
    return static_cast<u32>(p[0]) | static_cast<u32>(p[1]) << 8 | static_cast<u32>(p[2]) << 16 |
           static_cast<u32>(p[3]) << 24;
}

}  // namespace

u32 ReadPartitionTable(BlockDevice& disk, std::vector<Partition>* partitions, std::string* reason) {
    partitions->clear();
    unsigned char sector[512];
    if (const u32 e = disk.Read(0, sector, sizeof sector)) {
        *reason = "the disk's first sector cannot be read";
        return e;
    }
    if (sector[510] != 0x55 || sector[511] != 0xAA) {
        *reason = "the disk has no partition table";
        return err::kDiskCorrupt;
    }
    const u64 sectors = disk.Size() / 512;
    std::vector<Partition> found;
    for (int i = 0; i < 4; ++i) {
        const unsigned char* entry = sector + 446 + 16 * i;
        Partition p;
        p.number = i + 1;
        p.type = entry[4];
        const u32 start = Le32(entry + 8);
        const u32 count = Le32(entry + 12);
        if (p.type == 0 && start == 0 && count == 0) continue;
        if (entry[0] != 0x00 && entry[0] != 0x80) {
            *reason = "partition " + std::to_string(p.number) + " has an invalid boot flag";
            return err::kDiskCorrupt;
        }
        if (p.type == 0 || count == 0 || start == 0) {
            *reason = "partition " + std::to_string(p.number) + " is malformed";
            return err::kDiskCorrupt;
        }
        if (static_cast<u64>(start) + count > sectors) {
            *reason = "partition " + std::to_string(p.number) + " reaches past the end of the disk";
            return err::kDiskCorrupt;
        }
        p.active = entry[0] == 0x80;
        p.offset = static_cast<u64>(start) * 512;
        p.length = static_cast<u64>(count) * 512;
        found.push_back(p);
    }
    std::vector<Partition> sorted = found;
    std::sort(sorted.begin(), sorted.end(),
              [](const Partition& a, const Partition& b) { return a.offset < b.offset; });
    for (size_t i = 1; i < sorted.size(); ++i) {
        if (sorted[i - 1].offset + sorted[i - 1].length > sorted[i].offset) {
            *reason = "partitions " + std::to_string(sorted[i - 1].number) + " and " +
                      std::to_string(sorted[i].number) + " overlap";
            return err::kDiskCorrupt;
        }
    }
    *partitions = found;
    return 0;
}

}  // namespace morlit::posix
