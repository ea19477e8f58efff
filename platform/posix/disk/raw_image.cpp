#include "platform/posix/disk/raw_image.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace morlit::posix {

std::unique_ptr<RawImage> RawImage::Open(const std::string& path, bool writable, u32* error,
                                         std::string* reason) {
    const int fd = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) {
        *error = ErrnoToWindows(errno);
        *reason = "cannot open " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *error = err::kFileCorrupt;
        *reason = path + " is not a regular file";
        return nullptr;
    }
    if (::flock(fd, (writable ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        const int e = errno;
        ::close(fd);
        *error = e == EWOULDBLOCK ? err::kSharingViolation : ErrnoToWindows(e);
        *reason = path + " is in use by another run";
        return nullptr;
    }
    u64 size = static_cast<u64>(st.st_size);
    // A fixed VHD ends in its footer; the disk is what lies before it.
    if (size >= 1024 && size % 512 == 0) {
        char cookie[8];
        if (::pread(fd, cookie, 8, static_cast<off_t>(size - 512)) == 8 &&
            std::memcmp(cookie, "conectix", 8) == 0)
            size -= 512;
    }
    if (size < 512) {
        ::close(fd);
        *error = err::kFileCorrupt;
        *reason = path + " is too small to hold a disk";
        return nullptr;
    }
    return std::unique_ptr<RawImage>(new RawImage(fd, size, writable));
}

RawImage::~RawImage() { ::close(fd_); }

u32 RawImage::Read(u64 offset, void* buffer, std::size_t length) {
    if (offset > size_ || length > size_ - offset) return err::kInvalidParameter;
    char* p = static_cast<char*>(buffer);
    while (length > 0) {
        const ssize_t n = ::pread(fd_, p, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n == 0 ? err::kHandleEof : ErrnoToWindows(errno);
        p += n;
        offset += static_cast<u64>(n);
        length -= static_cast<std::size_t>(n);
    }
    return 0;
}

u32 RawImage::Write(u64 offset, const void* buffer, std::size_t length) {
    if (offset > size_ || length > size_ - offset) return err::kInvalidParameter;
    if (!writable_) return err::kWriteProtect;
    const char* p = static_cast<const char*>(buffer);
    while (length > 0) {
        const ssize_t n = ::pwrite(fd_, p, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return ErrnoToWindows(n == 0 ? ENOSPC : errno);
        p += n;
        offset += static_cast<u64>(n);
        length -= static_cast<std::size_t>(n);
    }
    return 0;
}

u32 RawImage::Flush() {
    if (!writable_) return 0;
    return ::fsync(fd_) == 0 ? 0 : ErrnoToWindows(errno);
}

}  // namespace morlit::posix
