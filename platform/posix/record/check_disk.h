// What a check finds on the image beneath its overlay: the image's format,
// the partitions as the run's attach left them, the Boot.ini a run would
// write, and where an XP or 2000 that a run adjusts may still not start.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/posix/disk/overlay_device.h"
#include "platform/posix/posix_virtual_disk.h"

namespace morlit::posix {

struct DiskFacts {
    std::string format;  // "raw", "VHD fixed", "VHD dynamic", "VHD differencing"
    u64 size = 0;
    std::optional<std::string> parent;  // a differencing image's parent, as opened
    std::vector<PosixVirtualDisk::AttachedPartition> partitions;
};

DiskFacts DiskFactsOf(OverlayDevice& overlay,
                      std::vector<PosixVirtualDisk::AttachedPartition> partitions);

// The partition the run's attach gave drive letter `letter` ("E:"); null
// when none got it.
const PosixVirtualDisk::AttachedPartition* TargetPartition(
    const std::vector<PosixVirtualDisk::AttachedPartition>& partitions, const std::string& letter);

// The Boot.ini the run left on the target's volume, read back from the
// overlay; empty when there is none to read.
std::optional<std::string> ReadBootIni(BlockDevice& disk,
                                       const PosixVirtualDisk::AttachedPartition& target);

// Where an XP or 2000 that a run adjusts may still not start: its boot
// sector's hidden sectors are not where its partition starts, or its disk
// geometry is not the one Windows Virtual PC gives the machine (the VHD
// footer's), or the hive gives C: to another disk or partition.
std::vector<std::string> StartWarnings(OverlayDevice& overlay,
                                       const PosixVirtualDisk::AttachedPartition& target,
                                       const std::string& mountedC);

}  // namespace morlit::posix
