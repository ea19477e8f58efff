// VHD images (fixed, dynamic, differencing) as block devices.
#pragma once

#include <memory>
#include <string>

#include "platform/posix/disk/block_device.h"
#include "platform/posix/disk/image_file.h"

namespace morlit::posix {

// What names a VHD image in its journal: its unique id and disk size (an
// IdentityProbe).
u32 ProbeVhdIdentity(const ImageReader& read, u64 size, ImageIdentity* identity);

class VhdImage : public BlockDevice {
  public:
    // Opens the image at `path` (a host path). With `writable`, the file is
    // opened read-write and locked against other runs. On failure returns
    // null and sets *error to a Windows error code: 2 not found, 5 access
    // denied, 32 in use by another run, 1392 not a usable VHD (bad footer,
    // header or checksum, impossible fields), 3 a missing differencing parent.
    // *reason gets one plain sentence for a diagnostic line. Opened for
    // writing, the image is journalled (see ImageFile) unless `writes` says
    // otherwise; a journal left beside it is played back first. A read of a
    // differencing image's parent (or of the parent's parent) that fails
    // later is kept by the image's file as its own failed read.
    static std::unique_ptr<VhdImage> Open(const std::string& path, bool writable, u32* error,
                                          std::string* reason,
                                          ImageWrites writes = ImageWrites::kJournalled);

    enum class Type { kFixed = 2, kDynamic = 3, kDifferencing = 4 };
    virtual Type GetType() const = 0;
    // A differencing image's parent, opened with it; null for the others.
    virtual const VhdImage* Parent() const = 0;
    // The disk geometry the footer gives the machine's disk.
    struct Geometry {
        u16 cylinders = 0;
        u8 heads = 0;
        u8 sectorsPerTrack = 0;
    };
    virtual Geometry DiskGeometry() const = 0;
};

}  // namespace morlit::posix
