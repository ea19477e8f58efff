// The MBR partition table of a disk: its four primary entries and the
// logical drives chained through the extended partition, checked against the
// disk before any of them is trusted.
#pragma once

#include <string>
#include <vector>

#include "platform/posix/disk/block_device.h"

namespace morlit::posix {

struct Partition {
    // 1 to 4: the entry's place in the table; 5 on: logical drives in chain
    // order, as Linux numbers them (an unused entry with a size takes a number)
    int number = 0;
    u8 type = 0;  // 0x07 NTFS/exFAT/HPFS, 0x0B/0x0C FAT32, 0x05/0x0F extended...
    bool active = false;
    u64 offset = 0;  // bytes from the start of the disk
    u64 length = 0;  // bytes
};

constexpr u8 kPartitionTypeNtfs = 0x07;

// FAT12 (0x01), FAT16 (0x04, 0x06, 0x0E with LBA) and FAT32 (0x0B, 0x0C with
// LBA): the types Windows gives a FAT volume's letter to.
inline bool IsFatPartitionType(u8 type) {
    return type == 0x01 || type == 0x04 || type == 0x06 || type == 0x0B || type == 0x0C ||
           type == 0x0E;
}

// The container of logical drives: 0x05 (CHS) and 0x0F (LBA). Linux's own
// 0x85 is not one for Windows.
inline bool IsExtendedPartitionType(u8 type) { return type == 0x05 || type == 0x0F; }

// No real disk has more; a longer chain is taken as damage.
constexpr int kMaxLogicalDrives = 128;

// Reads the table in sector 0. Returns 0 with the partitions that can hold a
// volume in table order, the first extended partition replaced by its
// logical drives, or a Windows error code with one plain sentence in *reason:
// 1393 (disk corrupt) for a missing signature, an entry reaching past the
// disk, or overlapping entries; the device's own code for a failed read, of
// sector 0 or of a boot record of the chain of logical drives.
// A disk with a valid signature and no entries gives an empty list.
//
// An entry of type 0 is unused whatever else it holds, as Windows and its
// loader take it: it is never a partition, is not checked against the disk
// or the other entries, and ends a chain when it is a link; one that still
// has a size gets a sentence in *warnings, since Linux tools list it.
//
// A chain of logical drives that cannot be trusted (one that loops, leaves
// the extended partition or overlaps itself) gives none of
// its drives: the primary partitions stay usable, and *warnings gets one
// sentence saying why, as it does for a second extended partition, which is
// not followed.
u32 ReadPartitionTable(BlockDevice& disk, std::vector<Partition>* partitions, std::string* reason,
                       std::vector<std::string>* warnings = nullptr);

}  // namespace morlit::posix
