// The virtual disk service of the Linux host: opens an image file, reads its
// partition table, mounts its NTFS volumes and gives them drive letters;
// answers the physical disk path and the letter lookup by disk number.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/host.h"
#include "platform/posix/disk/block_device.h"
#include "platform/posix/drive_namespace.h"
#include "platform/posix/handle_table.h"
#include "platform/posix/disk/partition_table.h"

namespace morlit::posix {

// Opens a disk image (a host path) as a block device; on failure null with
// a Windows error code and one plain sentence.
using ImageOpener = std::function<std::unique_ptr<BlockDevice>(
    const std::string& path, bool writable, u32* error, std::string* reason)>;

// The image layer the host uses by default: VHD images (fixed, dynamic,
// differencing). RawImage serves raw images through an ImageOpener.
std::unique_ptr<BlockDevice> OpenDiskImage(const std::string& path, bool writable, u32* error,
                                           std::string* reason);

class PosixVirtualDisk : public IVirtualDisk, public IDriveLetters {
  public:
    using Diagnostic = std::function<void(const std::string& line)>;
    PosixVirtualDisk(DriveNamespace& drives, HandleTable& handles, IErrors& errors,
                     Diagnostic diagnostic, ImageOpener opener = OpenDiskImage);
    ~PosixVirtualDisk() override;

    u32 OpenVirtualDisk(const VirtualStorageType& type, const std::wstring& path, u32 accessMask,
                        u32 flags, Handle* handle) override;
    u32 AttachVirtualDisk(Handle disk, u32 flags, u32 providerFlags) override;
    u32 GetVirtualDiskPhysicalPath(Handle disk, u32* sizeBytes, std::wstring& path) override;
    u32 DetachVirtualDisk(Handle disk, u32 flags, u32 providerFlags) override;
    int QueryLettersByDisk(u8 diskNumber, u8 letters[26]) override;
    // Called after a disk has been detached, whether or not that succeeded.
    void SetDetachHook(std::function<void()> hook) { detachHook_ = std::move(hook); }

    struct Disk;

  private:
    u32 Fail(u32 code);
    std::unique_ptr<Volume> MountPartition(BlockDevice& device, const Partition& p);
    DriveNamespace& drives_;
    HandleTable& handles_;
    IErrors& errors_;
    Diagnostic diagnostic_;
    ImageOpener opener_;
    std::shared_ptr<std::map<int, Disk*>> attached_;  // by disk number
    std::function<void()> detachHook_;
};

}  // namespace morlit::posix
