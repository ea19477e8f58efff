// The partition number the boot loader gives a volume, as Boot.ini's ARC
// paths name it ("multi(0)disk(0)rdisk(0)partition(N)"). The loader counts
// from 1 over the primary partitions in table order, then over the logical
// drives in the order of their chain, and skips unused entries and extended
// partitions (the containers of logical drives). A vendor's utility or
// recovery partition is counted like any other: the number is not the
// position among the volumes that get a drive letter.
#pragma once

#include <vector>

#include "platform/types.h"

namespace morlit {

// One entry of a disk's partition layout, in the order the table and the
// chain of extended boot records hold them.
struct LayoutEntry {
    u8 type = 0;           // the MBR partition type; 0 is an unused entry
    bool logical = false;  // from an extended boot record, not from the MBR
    u64 offset = 0;        // bytes from the start of the disk
};

// 0x05 (CHS) and 0x0F (LBA) hold logical drives; Linux's own 0x85 is not a
// container for Windows.
inline bool IsContainerPartitionType(u8 type) { return type == 0x05 || type == 0x0F; }

// The loader's number of the partition that starts at `offset`, or 0 when
// no counted entry starts there.
u32 ArcPartitionNumber(const std::vector<LayoutEntry>& layout, u64 offset);

}  // namespace morlit
