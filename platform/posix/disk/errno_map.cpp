#include "platform/posix/disk/errno_map.h"

#include <cerrno>

namespace morlit::posix {

u32 ErrnoToWindows(int e, u32 ioFault) {
    switch (e) {
        case ENOENT:
            return err::kFileNotFound;
        case ENOTDIR:
        case ENAMETOOLONG:
            return err::kPathNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
            return err::kAccessDenied;
        case EWOULDBLOCK:
            return err::kSharingViolation;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return err::kDiskFull;
        case ENOMEM:
            return err::kNotEnoughMemory;
        case EMFILE:
        case ENFILE:
            return err::kTooManyOpenFiles;
        case EEXIST:
            return err::kFileExists;
        case ENOTEMPTY:
            return err::kDirNotEmpty;
        case EOPNOTSUPP:
            return err::kNotSupported;
        default:
            return ioFault;
    }
}

}  // namespace morlit::posix
