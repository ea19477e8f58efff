// Host folders as volumes: the host's root as Z: (host files get Windows
// paths, as under Wine), and the host system as C:, whose Windows folder
// holds the host's tools.
#pragma once

#include <string>
#include <vector>

#include "platform/posix/fs/volume.h"

namespace morlit::posix {

// A host folder. Names are matched without regard to case, component by
// component; an exact match wins over a case-insensitive one.
class HostFolderVolume : public Volume {
  public:
    explicit HostFolderVolume(std::string root) : root_(std::move(root)) {}
    u32 DriveType() const override;
    u32 Stat(const PathParts& path, NodeInfo* info) override;
    u32 ReadFile(const PathParts& path, std::string* data) override;
    u32 ReadRange(const PathParts& path, u64 offset, size_t length, std::string* data) override;
    u32 WriteFile(const PathParts& path, const std::string& data) override;
    u32 DeleteFile(const PathParts& path) override;
    // Only the read-only bit has a host meaning (the owner's write permission).
    u32 SetAttributes(const PathParts& path, u32 attributes) override;
    u32 SetUncompressed(const PathParts& path) override;
    // The host path for `path`: existing components resolved without case,
    // the rest kept as written.
    std::string HostPath(const PathParts& path) const;

  private:
    std::string root_;
};

// The host system drive: a Windows folder with system32 and nothing else.
// It cannot be written; the tools in it are the process service's stand-ins.
class SystemVolume : public Volume {
  public:
    u32 DriveType() const override;
    u32 Stat(const PathParts& path, NodeInfo* info) override;
    u32 ReadFile(const PathParts& path, std::string* data) override;
    u32 WriteFile(const PathParts& path, const std::string& data) override;
    u32 DeleteFile(const PathParts& path) override;
    u32 SetAttributes(const PathParts& path, u32 attributes) override;
    u32 SetUncompressed(const PathParts& path) override;
};

}  // namespace morlit::posix
