// A host folder presented as a CD: read-only, names found without regard to
// case. Serves a mounted optical disc (its mount point) and a folder given
// as a CD on the command line.
#pragma once

#include <string>

#include "platform/posix/fs/volume.h"

namespace morlit::posix {

class FolderVolume : public Volume {
  public:
    explicit FolderVolume(std::string folder) : folder_(std::move(folder)) {}
    const std::string& Folder() const { return folder_; }

    u32 DriveType() const override;
    u32 Stat(const PathParts& path, NodeInfo* info) override;
    u32 ReadFile(const PathParts& path, std::string* data) override;
    u32 ReadRange(const PathParts& path, u64 offset, size_t length, std::string* data) override;
    // A CD is never written.
    u32 WriteFile(const PathParts& path, const std::string& data) override;
    u32 DeleteFile(const PathParts& path) override;
    u32 SetAttributes(const PathParts& path, u32 attributes) override;
    u32 SetUncompressed(const PathParts& path) override;

    // The host path of an existing entry, each component matched without
    // regard to case (an exact match first). 0 or a Windows error code.
    u32 Resolve(const PathParts& path, std::string* hostPath) const;

  private:
    std::string folder_;
};

}  // namespace morlit::posix
