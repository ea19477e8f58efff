// disk/: what turns an image file into sectors - the image formats (VHD,
// raw), the partition table, and the errno -> Windows code mapping that every
// wing above uses. It knows nothing of files on a volume and includes nothing
// from fs/, registry/, programs/ or the services.
//
// A byte-addressed disk: what the NTFS layer reads and writes through, and
// what a VHD image presents.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/types.h"

namespace morlit::posix {

class ImageFile;

class BlockDevice {
  public:
    virtual ~BlockDevice() = default;
    // The virtual disk's size in bytes.
    virtual u64 Size() const = 0;
    // Each returns 0 on success or a Windows error code. A read or write
    // beyond Size() fails with ERROR_INVALID_PARAMETER (87) and moves nothing.
    virtual u32 Read(u64 offset, void* buffer, std::size_t length) = 0;
    virtual u32 Write(u64 offset, const void* buffer, std::size_t length) = 0;
    // Everything written so far is on stable storage when this returns 0.
    virtual u32 Flush() = 0;
    // The image file beneath, when there is one. It outlives the device: once
    // the device is closed (and flushed), its owner commits or rolls back the
    // changes made through it.
    virtual std::shared_ptr<ImageFile> File() const { return nullptr; }
};

// Closes a device used outside a run and keeps what was written through it:
// the device flushes as it closes, then its image commits (an image closed
// uncommitted is put back). 0 or a Windows error code with one plain
// sentence in *reason.
u32 CloseAndCommit(std::unique_ptr<BlockDevice> device, std::string* reason);

}  // namespace morlit::posix
