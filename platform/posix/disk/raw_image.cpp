#include "platform/posix/disk/raw_image.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace morlit::posix {
namespace {

// The disk's size: the file's (`size` bytes), less a fixed VHD's footer.
// 0, or the code of the read that failed.
u32 DiskSize(const ImageReader& read, u64 size, u64* disk) {
    *disk = size;
    if (size >= 1024 && size % 512 == 0) {
        char cookie[8];
        if (const u32 e = read(cookie, 8, size - 512)) return e;
        if (std::memcmp(cookie, "conectix", 8) == 0) *disk -= 512;
    }
    return err::kSuccess;
}

// A raw image has no id of its own; its size names it.
u32 ProbeRawIdentity(const ImageReader& read, u64 size, ImageIdentity* identity) {
    *identity = ImageIdentity();
    return DiskSize(read, size, &identity->diskSize);
}

}  // namespace

std::unique_ptr<RawImage> RawImage::Open(const std::string& path, bool writable, u32* error,
                                         std::string* reason, ImageWrites writes) {
    int e = 0;
    std::shared_ptr<ImageFile> file = ImageFile::OpenFile(path, writable, writes, &e);
    if (!file) {
        *error = ErrnoToWindows(e);
        *reason = "cannot open " + path + ": " + std::strerror(e);
        return nullptr;
    }
    struct stat st;
    if (::fstat(file->fd(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = err::kFileCorrupt;
        *reason = path + " is not a regular file";
        return nullptr;
    }
    if (const u32 code = file->Prepare(ProbeRawIdentity, reason)) {
        *error = code;
        return nullptr;
    }
    u64 size = 0;
    const ImageReader read = [&file](void* buffer, size_t length, u64 offset) {
        return file->Read(buffer, length, offset);
    };
    if (::fstat(file->fd(), &st) != 0) {
        *error = ErrnoToWindows(errno, err::kReadFault);
        *reason = "cannot examine " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    if (const u32 e = DiskSize(read, static_cast<u64>(st.st_size), &size)) {
        *error = e;
        *reason = "cannot read " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    if (size < 512) {
        *error = err::kFileCorrupt;
        *reason = path + " is too small to hold a disk";
        return nullptr;
    }
    return std::unique_ptr<RawImage>(new RawImage(std::move(file), size));
}

u32 RawImage::Read(u64 offset, void* buffer, std::size_t length) {
    if (offset > size_ || length > size_ - offset) return err::kInvalidParameter;
    return file_->Read(buffer, length, offset);
}

u32 RawImage::Write(u64 offset, const void* buffer, std::size_t length) {
    if (offset > size_ || length > size_ - offset) return err::kInvalidParameter;
    if (!file_->writable()) return err::kWriteProtect;
    return file_->Write(buffer, length, offset);
}

u32 RawImage::Flush() { return file_->Sync(); }

}  // namespace morlit::posix
