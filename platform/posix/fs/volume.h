// fs/: volumes and names on them - NTFS, CDs, host folders, short names,
// and FileAccess (whole-file access by Windows path). A volume reads and
// writes sectors only through a disk/ BlockDevice; fs/ includes nothing from
// registry/, programs/ or the services.
//
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

// Bytes to write at an offset of a file.
struct FilePatch {
    u64 offset = 0;
    std::string data;
};

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
    // Reads up to `length` bytes from `offset` into `data`, fewer at the end
    // of the file and none past it (see FileAccess::ReadRange).
    // kNotSupported when the volume reads only whole files (the default).
    virtual u32 ReadRange(const PathParts& /*path*/, u64 /*offset*/, size_t /*length*/,
                          std::string* /*data*/) {
        return err::kNotSupported;
    }
    // Writes the whole file. An existing file's data is replaced in place
    // (its name, short name and security descriptor stay); a new file is
    // created as Windows would create it. The data is on disk on return.
    virtual u32 WriteFile(const PathParts& path, const std::string& data) = 0;
    // Writes `patches` into the existing file and then sets its size to
    // `size`, every other byte staying as it was; on disk on return (see
    // FileAccess::PatchFile). kNotSupported, with nothing changed, when the
    // volume cannot write this file in place (the default): the caller then
    // writes the whole file.
    virtual u32 PatchFile(const PathParts& /*path*/, const std::vector<FilePatch>& /*patches*/,
                          u64 /*size*/) {
        return err::kNotSupported;
    }
    virtual u32 DeleteFile(const PathParts& path) = 0;
    virtual u32 SetAttributes(const PathParts& path, u32 attributes) = 0;
    // FSCTL_SET_COMPRESSION with COMPRESSION_FORMAT_NONE: store uncompressed.
    virtual u32 SetUncompressed(const PathParts& path) = 0;
    // A stamp naming this very file that changes whenever its content may
    // have changed (see FileAccess::FileStamp). False when the volume cannot
    // promise that.
    virtual bool FileStamp(const PathParts& /*path*/, std::string* /*stamp*/) { return false; }
    // True when the file at `path`, were it deleted and a file of the same
    // name made in its place, would differ from that new file in its data
    // at most: its attributes are a new file's (archive only), its names are
    // the ones the new file would get (Windows gives a file made again
    // under a just-deleted name that name's short name and creation time),
    // and it has nothing else a new file lacks. Only then may a deletion
    // followed by the same data be left undone. False by default.
    virtual bool SameAsNewFile(const PathParts& /*path*/) { return false; }
};

}  // namespace morlit::posix
