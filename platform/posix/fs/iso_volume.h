// An ISO 9660 image presented as a CD, read by our own code. Names are found
// without regard to case among the Joliet names, the Rock Ridge names and
// the plain ISO 9660 names (without their ";1" version), as a Windows CD
// drive would show them. Read-only.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/fs/volume.h"

namespace morlit::posix {

class IsoVolume : public Volume {
  public:
    // Opens an image file. Null with *error set when the file cannot be read
    // (ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED) or holds no ISO 9660 file
    // system (ERROR_UNRECOGNIZED_VOLUME).
    static std::unique_ptr<IsoVolume> Open(const std::string& imagePath, u32* error);
    ~IsoVolume() override;
    IsoVolume(const IsoVolume&) = delete;
    IsoVolume& operator=(const IsoVolume&) = delete;

    // The volume label of the primary descriptor, without trailing blanks.
    const std::wstring& Label() const { return label_; }

    u32 DriveType() const override;
    // A damaged directory or an extent beyond the image gives
    // ERROR_FILE_CORRUPT.
    u32 Stat(const PathParts& path, NodeInfo* info) override;
    u32 ReadFile(const PathParts& path, std::string* data) override;
    u32 ReadRange(const PathParts& path, u64 offset, size_t length, std::string* data) override;
    u32 WriteFile(const PathParts& path, const std::string& data) override;
    u32 DeleteFile(const PathParts& path) override;
    u32 SetAttributes(const PathParts& path, u32 attributes) override;
    u32 SetUncompressed(const PathParts& path) override;

  private:
    // One directory tree: the primary one or the Joliet one.
    struct Tree {
        bool present = false;
        bool joliet = false;
        bool rockRidge = false;
        u32 suspSkip = 0;  // bytes to skip at the start of each system use area
        u32 rootLsn = 0;
        u32 rootSize = 0;
    };
    struct Entry {
        std::vector<std::wstring> names;  // every name it answers to
        bool directory = false;
        u64 size = 0;
        std::vector<std::pair<u32, u32>> extents;  // block and byte length
    };

    IsoVolume() = default;
    u32 ReadBlocks(u32 lsn, u32 count, std::string* out) const;
    u32 ReadDirectory(const Tree& tree, u32 lsn, u32 size, std::vector<Entry>* out) const;
    u32 RockRidgeName(const std::string& record, size_t suaStart, const Tree& tree,
                      std::wstring* name) const;
    u32 Find(const Tree& tree, const PathParts& path, Entry* out) const;
    u32 Find(const PathParts& path, Entry* out) const;

    int fd_ = -1;
    u64 imageBlocks_ = 0;
    Tree primary_;
    Tree joliet_;
    std::wstring label_;
};

}  // namespace morlit::posix
