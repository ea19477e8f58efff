#include "platform/posix/fs/file_access.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <cwctype>
#include <fstream>
#include <sstream>

#include "platform/constants.h"
#include "platform/utf8.h"

namespace morlit::posix {

std::string ToUtf8(const std::wstring& text) { return Utf8FromWide(text); }

std::wstring FromUtf8(const std::string& text) { return WideFromUtf8(text); }

u32 ReadHostRange(int fd, u64 offset, size_t length, std::string* data) {
    // No more room than the file can fill, whatever length was asked for.
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        const u64 size = static_cast<u64>(st.st_size);
        length = static_cast<size_t>(offset >= size ? 0 : std::min<u64>(length, size - offset));
    }
    data->resize(length);
    size_t done = 0;
    u32 code = 0;
    while (done < length) {
        const ssize_t n =
            ::pread(fd, &(*data)[done], length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) code = err::kReadFault;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    data->resize(done);
    return code;
}

void FolderFileAccess::Map(wchar_t letter, const std::string& folder) {
    folders_[static_cast<wchar_t>(std::towupper(letter))] = folder;
}

std::string HostChildName(const std::string& folder, const std::string& name) {
    const std::string base = folder.empty() ? "/" : folder;
    struct stat st;
    if (::stat((base + "/" + name).c_str(), &st) == 0) return name;
    std::string match = name;
    if (DIR* d = opendir(base.c_str())) {
        while (dirent* e = readdir(d)) {
            if (strcasecmp(e->d_name, name.c_str()) == 0) {
                match = e->d_name;
                break;
            }
        }
        closedir(d);
    }
    return match;
}

std::string FolderFileAccess::HostPath(const std::wstring& path) const {
    if (path.size() < 2 || path[1] != L':') return {};
    auto it = folders_.find(static_cast<wchar_t>(std::towupper(path[0])));
    if (it == folders_.end()) return {};
    std::string host = it->second;
    std::wstringstream parts(path.substr(2));
    std::wstring part;
    while (std::getline(parts, part, L'\\')) {
        if (part.empty()) continue;
        host += "/" + HostChildName(host, HostBytesFromWide(part));
    }
    return host;
}

u32 FolderFileAccess::Stat(const std::wstring& path, NodeInfo* info) {
    const std::string host = HostPath(path);
    struct stat st;
    if (host.empty() || ::stat(host.c_str(), &st) != 0) return err::kFileNotFound;
    info->directory = S_ISDIR(st.st_mode);
    info->size = static_cast<u64>(st.st_size);
    info->attributes = info->directory ? kFileAttributeDirectory : kFileAttributeArchive;
    return 0;
}

u32 FolderFileAccess::ReadFile(const std::wstring& path, std::string* data) {
    const std::string host = HostPath(path);
    std::ifstream in(host, std::ios::binary);
    if (host.empty() || !in) return err::kFileNotFound;
    // Straight into a string of the file's size: cabinets can be large.
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    in.seekg(0, std::ios::beg);
    if (size < 0) return err::kAccessDenied;
    data->resize(static_cast<size_t>(size));
    if (size > 0 && !in.read(&(*data)[0], size)) return err::kHandleEof;
    return 0;
}

int OpenHostFileForReading(const std::string& host) {
    const int fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    const bool examined = ::fstat(fd, &st) == 0;
    if (!examined || S_ISDIR(st.st_mode)) {
        ::close(fd);
        errno = examined ? EISDIR : EACCES;
        return -1;
    }
    return fd;
}

u32 FolderFileAccess::ReadRange(const std::wstring& path, u64 offset, size_t length,
                                std::string* data) {
    const std::string host = HostPath(path);
    if (host.empty()) return err::kFileNotFound;
    const int fd = OpenHostFileForReading(host);
    if (fd < 0) return errno == ENOENT ? err::kFileNotFound : err::kAccessDenied;
    const u32 code = ReadHostRange(fd, offset, length, data);
    ::close(fd);
    return code;
}

u32 FolderFileAccess::WriteFile(const std::wstring& path, const std::string& data) {
    const std::string host = HostPath(path);
    if (host.empty()) return err::kPathNotFound;
    FILE* f = std::fopen(host.c_str(), "wb");
    if (!f) return errno == ENOENT ? err::kPathNotFound : err::kAccessDenied;
    // Written through to the disk before it counts as done, as the contract
    // of WriteFile promises its callers.
    const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size() &&
                    std::fflush(f) == 0 && ::fsync(fileno(f)) == 0;
    const bool closed = std::fclose(f) == 0;
    return ok && closed ? 0 : err::kDiskFull;
}

bool FolderFileAccess::FileStamp(const std::wstring& path, std::string* stamp) {
    const std::string host = HostPath(path);
    struct stat st;
    if (host.empty() || ::stat(host.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    const std::time_t now = std::time(nullptr);
    if (st.st_ctim.tv_sec + settleSeconds_ > now || st.st_mtim.tv_sec + settleSeconds_ > now) {
        return false;
    }
    char buffer[160];
    std::snprintf(buffer, sizeof buffer, "%llu:%llu:%lld:%lld.%09ld:%lld.%09ld",
                  static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino), static_cast<long long>(st.st_size),
                  static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec,
                  static_cast<long long>(st.st_ctim.tv_sec), st.st_ctim.tv_nsec);
    *stamp = buffer;
    return true;
}

u32 FolderFileAccess::PatchFile(const std::wstring& path, const std::vector<FilePatch>& patches,
                                u64 size) {
    const std::string host = HostPath(path);
    if (host.empty()) return err::kPathNotFound;
    // Never created here: patches only make sense over the file they were
    // computed against.
    const int fd = ::open(host.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? err::kFileNotFound : err::kAccessDenied;
    u32 code = 0;
    for (const FilePatch& patch : patches) {
        size_t done = 0;
        while (code == 0 && done < patch.data.size()) {
            const ssize_t n = ::pwrite(fd, patch.data.data() + done, patch.data.size() - done,
                                       static_cast<off_t>(patch.offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) code = err::kDiskFull;
            if (n > 0) done += static_cast<size_t>(n);
        }
    }
    struct stat st;
    if (code == 0 && (::fstat(fd, &st) != 0 || (static_cast<u64>(st.st_size) != size &&
                                                ::ftruncate(fd, static_cast<off_t>(size)) != 0))) {
        code = err::kDiskFull;
    }
    if (code == 0 && ::fdatasync(fd) != 0) code = err::kDiskFull;
    if (::close(fd) != 0 && code == 0) code = err::kDiskFull;
    return code;
}

}  // namespace morlit::posix
