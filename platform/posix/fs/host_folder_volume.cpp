#include "platform/posix/fs/host_folder_volume.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cwctype>

#include "platform/constants.h"
#include "platform/posix/fs/file_access.h"
#include "platform/posix/disk/raw_image.h"
#include "platform/utf8.h"

namespace morlit::posix {

std::string HostFolderVolume::HostPath(const PathParts& path) const {
    std::string host = root_;
    for (const std::wstring& part : path) {
        const std::string match = HostChildName(host, HostBytesFromWide(part));
        if (!host.empty() && host.back() == '/') host.pop_back();
        host += "/" + match;
    }
    return host.empty() ? "/" : host;
}

u32 HostFolderVolume::DriveType() const { return kDriveFixed; }

namespace {

u32 NotFoundCode(const PathParts& path, const std::string& host) {
    if (path.empty()) return err::kPathNotFound;
    const std::string parent = host.substr(0, host.rfind('/'));
    struct stat st;
    return ::stat(parent.empty() ? "/" : parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode)
               ? err::kFileNotFound
               : err::kPathNotFound;
}

}  // namespace

u32 HostFolderVolume::Stat(const PathParts& path, NodeInfo* info) {
    const std::string host = HostPath(path);
    struct stat st;
    if (::stat(host.c_str(), &st) != 0) return NotFoundCode(path, host);
    info->directory = S_ISDIR(st.st_mode);
    info->size = info->directory ? 0 : static_cast<u64>(st.st_size);
    info->attributes = info->directory ? kFileAttributeDirectory : kFileAttributeArchive;
    if (!(st.st_mode & S_IWUSR)) info->attributes |= kFileAttributeReadOnly;
    return 0;
}

u32 HostFolderVolume::ReadFile(const PathParts& path, std::string* data) {
    const std::string host = HostPath(path);
    const int fd = OpenHostFileForReading(host);
    if (fd < 0) return errno == ENOENT ? NotFoundCode(path, host) : ErrnoToWindows(errno);
    data->clear();
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int e = errno;
            ::close(fd);
            return ErrnoToWindows(e);
        }
        if (n == 0) break;
        data->append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return 0;
}

u32 HostFolderVolume::ReadRange(const PathParts& path, u64 offset, size_t length,
                                std::string* data) {
    const std::string host = HostPath(path);
    const int fd = OpenHostFileForReading(host);
    if (fd < 0) return errno == ENOENT ? NotFoundCode(path, host) : ErrnoToWindows(errno);
    const u32 code = ReadHostRange(fd, offset, length, data);
    ::close(fd);
    return code;
}

u32 HostFolderVolume::WriteFile(const PathParts& path, const std::string& data) {
    if (path.empty()) return err::kAccessDenied;
    const std::string host = HostPath(path);
    const int fd = ::open(host.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return errno == ENOENT ? err::kPathNotFound : ErrnoToWindows(errno);
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int e = n == 0 ? ENOSPC : errno;
            ::close(fd);
            return ErrnoToWindows(e);
        }
        done += static_cast<size_t>(n);
    }
    const bool synced = ::fsync(fd) == 0;
    const int e = errno;
    if (::close(fd) != 0 || !synced) return ErrnoToWindows(e);
    return 0;
}

u32 HostFolderVolume::DeleteFile(const PathParts& path) {
    const std::string host = HostPath(path);
    struct stat st;
    if (::stat(host.c_str(), &st) != 0) return NotFoundCode(path, host);
    if (S_ISDIR(st.st_mode) || !(st.st_mode & S_IWUSR)) return err::kAccessDenied;
    return ::unlink(host.c_str()) == 0 ? 0 : ErrnoToWindows(errno);
}

u32 HostFolderVolume::SetAttributes(const PathParts& path, u32 attributes) {
    const std::string host = HostPath(path);
    struct stat st;
    if (::stat(host.c_str(), &st) != 0) return NotFoundCode(path, host);
    mode_t mode = st.st_mode & 07777;
    if (attributes & kFileAttributeReadOnly)
        mode &= static_cast<mode_t>(~(S_IWUSR | S_IWGRP | S_IWOTH));
    else
        mode |= S_IWUSR;
    if (mode == (st.st_mode & 07777)) return 0;
    return ::chmod(host.c_str(), mode) == 0 ? 0 : ErrnoToWindows(errno);
}

u32 HostFolderVolume::SetUncompressed(const PathParts& path) {
    NodeInfo info;
    return Stat(path, &info);
}

namespace {

bool IsSystemFolder(const PathParts& path) {
    if (path.empty()) return true;
    auto same = [](const std::wstring& a, const wchar_t* b) {
        std::wstring lower;
        for (wchar_t c : a) lower.push_back(static_cast<wchar_t>(std::towlower(c)));
        return lower == b;
    };
    if (!same(path[0], L"windows")) return false;
    return path.size() == 1 || (path.size() == 2 && same(path[1], L"system32"));
}

}  // namespace

u32 SystemVolume::DriveType() const { return kDriveFixed; }

u32 SystemVolume::Stat(const PathParts& path, NodeInfo* info) {
    if (!IsSystemFolder(path)) {
        PathParts parent(path.begin(), path.end() - 1);
        return IsSystemFolder(parent) ? err::kFileNotFound : err::kPathNotFound;
    }
    info->directory = true;
    info->size = 0;
    info->attributes = kFileAttributeDirectory;
    return 0;
}

u32 SystemVolume::ReadFile(const PathParts& path, std::string*) {
    NodeInfo info;
    const u32 e = Stat(path, &info);
    return e ? e : err::kAccessDenied;
}

u32 SystemVolume::WriteFile(const PathParts&, const std::string&) { return err::kAccessDenied; }
u32 SystemVolume::DeleteFile(const PathParts& path) { return ReadFile(path, nullptr); }
u32 SystemVolume::SetAttributes(const PathParts&, u32) { return err::kAccessDenied; }
u32 SystemVolume::SetUncompressed(const PathParts&) { return err::kAccessDenied; }

}  // namespace morlit::posix
