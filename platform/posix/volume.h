// A file system behind a drive letter of the Linux host's drive namespace:
// an NTFS volume of an attached image, a CD, or a host folder. Paths are the
// components below the volume's root; names compare without regard to case
// as Windows compares them.
#pragma once

#include <string>
#include <vector>

#include "platform/types.h"

namespace morlit::posix {

using PathParts = std::vector<std::wstring>;

struct NodeInfo {
    bool directory = false;
    u64 size = 0;
    u32 attributes = 0;  // FILE_ATTRIBUTE_* bits
};

class Volume {
  public:
    virtual ~Volume() = default;
    // GetDriveTypeW's answer for this volume (DRIVE_FIXED, DRIVE_CDROM...).
    virtual u32 DriveType() const = 0;
    // Each returns 0 on success or a Windows error code.
    virtual u32 Stat(const PathParts& path, NodeInfo* info) = 0;
    virtual u32 ReadFile(const PathParts& path, std::string* data) = 0;
    // Writes the whole file. An existing file's data is replaced in place
    // (its name, short name and security descriptor stay); a new file is
    // created as Windows would create it. The data is on disk on return.
    virtual u32 WriteFile(const PathParts& path, const std::string& data) = 0;
    virtual u32 DeleteFile(const PathParts& path) = 0;
    virtual u32 SetAttributes(const PathParts& path, u32 attributes) = 0;
    // FSCTL_SET_COMPRESSION with COMPRESSION_FORMAT_NONE: store uncompressed.
    virtual u32 SetUncompressed(const PathParts& path) = 0;
    // A stamp naming this very file that changes whenever its content may
    // have changed (see FileAccess::FileStamp). False when the volume cannot
    // promise that.
    virtual bool FileStamp(const PathParts& /*path*/, std::string* /*stamp*/) { return false; }
};

}  // namespace morlit::posix
