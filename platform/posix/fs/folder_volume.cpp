#include "platform/posix/fs/folder_volume.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/constants.h"
#include "platform/posix/fs/cd_names.h"
#include "platform/posix/fs/file_access.h"

namespace morlit::posix {
namespace {

// Files on a CD read as read-only, folders as read-only folders.
constexpr u32 kCdFileAttributes = kFileAttributeReadOnly;
constexpr u32 kCdFolderAttributes = kFileAttributeDirectory | kFileAttributeReadOnly;

}  // namespace

u32 FolderVolume::DriveType() const { return kDriveCdrom; }

u32 FolderVolume::Resolve(const PathParts& path, std::string* hostPath) const {
    std::string current = folder_;
    for (size_t i = 0; i < path.size(); ++i) {
        const bool last = i + 1 == path.size();
        if (!IsPlainComponent(path[i])) return err::kInvalidName;
        DIR* dir = opendir(current.c_str());
        if (dir == nullptr) {
            if (errno == EACCES) return err::kAccessDenied;
            return err::kPathNotFound;  // missing, or a file used as a folder
        }
        std::string exact, folded;
        while (dirent* e = readdir(dir)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            const std::wstring wide = FromUtf8(name);
            if (wide == path[i]) {
                exact = name;
                break;
            }
            // Of several names that differ only in case, take the first in
            // name order, so the answer does not depend on directory order.
            if (SameNameNoCase(wide, path[i]) && (folded.empty() || name < folded)) {
                folded = name;
            }
        }
        closedir(dir);
        const std::string& match = exact.empty() ? folded : exact;
        if (match.empty()) return last ? err::kFileNotFound : err::kPathNotFound;
        current += "/" + match;
    }
    *hostPath = current;
    return 0;
}

u32 FolderVolume::Stat(const PathParts& path, NodeInfo* info) {
    std::string host;
    if (u32 e = Resolve(path, &host)) return e;
    struct stat st;
    if (::stat(host.c_str(), &st) != 0) return err::kFileNotFound;
    info->directory = S_ISDIR(st.st_mode);
    info->size = info->directory ? 0 : static_cast<u64>(st.st_size);
    info->attributes = info->directory ? kCdFolderAttributes : kCdFileAttributes;
    return 0;
}

u32 FolderVolume::ReadFile(const PathParts& path, std::string* data) {
    std::string host;
    if (u32 e = Resolve(path, &host)) return e;
    struct stat st;
    if (::stat(host.c_str(), &st) != 0) return err::kFileNotFound;
    if (S_ISDIR(st.st_mode)) return err::kAccessDenied;
    FILE* f = std::fopen(host.c_str(), "rb");
    if (f == nullptr) return errno == EACCES ? err::kAccessDenied : err::kFileNotFound;
    std::string out;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) return err::kFileCorrupt;
    *data = std::move(out);
    return 0;
}

u32 FolderVolume::ReadRange(const PathParts& path, u64 offset, size_t length, std::string* data) {
    std::string host;
    if (u32 e = Resolve(path, &host)) return e;
    const int fd = OpenHostFileForReading(host);
    if (fd < 0) return errno == EACCES || errno == EISDIR ? err::kAccessDenied : err::kFileNotFound;
    // A disc that cannot be read where it should be is a damaged file.
    const u32 code = ReadHostRange(fd, offset, length, data);
    ::close(fd);
    return code ? err::kFileCorrupt : 0;
}

u32 FolderVolume::WriteFile(const PathParts&, const std::string&) { return err::kWriteProtect; }
u32 FolderVolume::DeleteFile(const PathParts&) { return err::kWriteProtect; }
u32 FolderVolume::SetAttributes(const PathParts&, u32) { return err::kWriteProtect; }
u32 FolderVolume::SetUncompressed(const PathParts&) { return err::kWriteProtect; }

}  // namespace morlit::posix
