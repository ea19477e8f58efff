// The mounted file systems of this process, from /proc/self/mountinfo, and
// among them the optical discs that become CD drives.
#pragma once

#include <string>
#include <vector>

namespace morlit::posix {

struct MountEntry {
    std::string mountPoint;  // unescaped
    std::string root;        // the mounted part of the file system, unescaped
    std::string fsType;      // e.g. "iso9660", "udf", or "fuse.xyz"
    std::string source;      // unescaped
};

// Parses mountinfo text, in its order (the order of mounting). Lines that do
// not have the documented shape are skipped.
std::vector<MountEntry> ParseMountInfo(const std::string& text);

// The iso9660 and udf mounts, in mount order. A mount point mounted over
// again shows only its last mount, so earlier mounts there are left out.
std::vector<MountEntry> OpticalMounts(const std::vector<MountEntry>& mounts);

// OpticalMounts of /proc/self/mountinfo; empty when it cannot be read.
std::vector<MountEntry> ListOpticalMounts(
    const std::string& mountInfoPath = "/proc/self/mountinfo");

}  // namespace morlit::posix
