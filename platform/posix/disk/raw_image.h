// A disk image file taken as the disk itself: a raw image, or a fixed VHD
// (raw data followed by its 512-byte footer, which is left out of the disk).
// The file is locked while open, so that two runs never write one image.
#pragma once

#include <memory>
#include <string>

#include "platform/posix/disk/block_device.h"
#include "platform/posix/disk/errno_map.h"
#include "platform/posix/disk/image_file.h"

namespace morlit::posix {

class RawImage : public BlockDevice {
  public:
    // Opens `path` (a host path). With `writable`, read-write, locked
    // exclusively and journalled unless `writes` says otherwise; without,
    // read-only with a shared lock. On failure returns null with *error = 2
    // not found, 5 access denied, 32 in use, 1392 not usable, and one plain
    // sentence in *reason.
    static std::unique_ptr<RawImage> Open(const std::string& path, bool writable, u32* error,
                                          std::string* reason,
                                          ImageWrites writes = ImageWrites::kJournalled);

    u64 Size() const override { return size_; }
    u32 Read(u64 offset, void* buffer, std::size_t length) override;
    u32 Write(u64 offset, const void* buffer, std::size_t length) override;
    u32 Flush() override;
    std::shared_ptr<ImageFile> File() const override { return file_; }

  private:
    RawImage(std::shared_ptr<ImageFile> file, u64 size) : file_(std::move(file)), size_(size) {}
    std::shared_ptr<ImageFile> file_;
    u64 size_;
};

}  // namespace morlit::posix
