// The CD drives of the Linux host, before they get their letters: mounted
// optical discs first, in mount order, then the folders and ISO images given
// with --cdrom, in the order given.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/posix/fs/volume.h"

namespace morlit::posix {

// A CD for a --cdrom argument: a folder is read as it stands, a file as an
// ISO image. Null with *error set to a Windows code when neither works.
std::unique_ptr<Volume> OpenCdPath(const std::string& path, u32* error);
// Why OpenCdPath refused a path, in the few words a command line needs.
std::string CdPathProblem(u32 error);

// A CD for each mounted iso9660 or udf file system, in mount order.
std::vector<std::unique_ptr<Volume>> MountedCds(
    const std::string& mountInfoPath = "/proc/self/mountinfo");

}  // namespace morlit::posix
