#include "platform/posix/cd_drives.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/posix/fs/folder_volume.h"
#include "platform/posix/fs/iso_volume.h"
#include "platform/posix/mountinfo.h"

namespace morlit::posix {

std::string CdPathProblem(u32 error) {
    return error == err::kFileNotFound   ? "no such file or folder"
           : error == err::kAccessDenied ? "permission denied"
                                         : "neither a folder nor an ISO 9660 image";
}

std::unique_ptr<Volume> OpenCdPath(const std::string& path, u32* error) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        *error = errno == EACCES ? err::kAccessDenied : err::kFileNotFound;
        return nullptr;
    }
    if (S_ISDIR(st.st_mode)) {
        *error = 0;
        return std::make_unique<FolderVolume>(path);
    }
    return IsoVolume::Open(path, error);
}

std::vector<std::unique_ptr<Volume>> MountedCds(const std::string& mountInfoPath) {
    std::vector<std::unique_ptr<Volume>> cds;
    for (const MountEntry& m : ListOpticalMounts(mountInfoPath)) {
        cds.push_back(std::make_unique<FolderVolume>(m.mountPoint));
    }
    return cds;
}

}  // namespace morlit::posix
