// A FAT12, FAT16 or FAT32 volume inside a disk, read and written by our own
// code on a byte range of a BlockDevice (no Debian library writes FAT
// in-process). Mounting checks the whole volume first: the boot sector's
// fields against each other and the partition, every cluster chain and every
// folder. A volume that fails any check is refused with a reason and never
// touched, so nothing here ever follows a damaged chain or "repairs" one.
//
// Names compare without regard to case, long names and 8.3 names alike. New
// files get a long name and an 8.3 name as Windows makes them. Every change
// writes both FATs (unless the volume mirrors only one), keeps FAT32's
// FSInfo free count and next-free hint right, and is flushed to the disk
// before the call returns.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/posix/disk/block_device.h"
#include "platform/posix/fs/volume.h"

namespace morlit::posix {

class FatVolume : public Volume {
  public:
    enum class Kind { kFat12, kFat16, kFat32 };
    enum class MountError {
        kNone,
        kNotFat,      // no FAT boot sector in the range
        kDirty,       // not shut down cleanly, or a disk error was recorded
        kDamaged,     // fields that disagree, bad chains or folders
        kUnreadable,  // the disk failed a read; the reason names the error
    };
    // Mounts the volume at [offset, offset + length) of `disk`, which must
    // outlive it. On failure returns null with the cause and one plain
    // sentence about the volume ("is marked dirty; let Windows check it
    // first"). Nothing is written by mounting.
    static std::unique_ptr<FatVolume> Mount(BlockDevice& disk, u64 offset, u64 length,
                                            MountError* error, std::string* reason);
    ~FatVolume() override;

    Kind Type() const;
    u32 ClusterBytes() const;
    u32 FreeClusters() const;

    u32 DriveType() const override;
    u32 Stat(const PathParts& path, NodeInfo* info) override;
    u32 ReadFile(const PathParts& path, std::string* data) override;
    u32 ReadRange(const PathParts& path, u64 offset, size_t length, std::string* data) override;
    // Replaces an existing file's data in place (its names stay) or creates
    // a new file. A write that would not fit fails with ERROR_DISK_FULL
    // before anything changes.
    u32 WriteFile(const PathParts& path, const std::string& data) override;
    // Bytes between the old end and a patch beyond it are written as zeros.
    u32 PatchFile(const PathParts& path, const std::vector<FilePatch>& patches, u64 size) override;
    u32 DeleteFile(const PathParts& path) override;
    u32 SetAttributes(const PathParts& path, u32 attributes) override;
    // FAT has no compression: ERROR_INVALID_FUNCTION, as Windows answers.
    u32 SetUncompressed(const PathParts& path) override;
    bool SameAsNewFile(const PathParts& path) override;

    struct State;

  private:
    explicit FatVolume(std::unique_ptr<State> state);
    std::unique_ptr<State> s_;
};

}  // namespace morlit::posix
