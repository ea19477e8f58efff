#include "platform/posix/run_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace morlit::posix {

namespace {

// A folder with no lock file is being made, or its run was killed before it
// took the lock; after this long it is taken to be the latter.
constexpr time_t kUnlockedGraceSeconds = 60;

bool IsRunFolderName(const char* name) {
    const size_t prefix = std::strlen(RunFolder::kPrefix);
    return std::strncmp(name, RunFolder::kPrefix, prefix) == 0 && std::strlen(name) == prefix + 6;
}

// Removes everything inside the folder open as `dir`, never following a
// symbolic link out of it. Best effort: what cannot be removed stays.
void RemoveContents(int dir) {
    // Entries removed while the listing is read may hide others from it:
    // list again until a pass removes nothing.
    for (int pass = 0; pass < 8; ++pass) {
        const int listing = ::dup(dir);
        if (listing < 0) return;
        DIR* d = ::fdopendir(listing);
        if (!d) {
            ::close(listing);
            return;
        }
        bool removed = false;
        while (const dirent* entry = ::readdir(d)) {
            const char* name = entry->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
            if (::unlinkat(dir, name, 0) == 0) {
                removed = true;
                continue;
            }
            if (errno != EISDIR && errno != EPERM) continue;
            const int sub = ::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0) continue;
            RemoveContents(sub);
            ::close(sub);
            if (::unlinkat(dir, name, AT_REMOVEDIR) == 0) removed = true;
        }
        ::rewinddir(d);
        ::closedir(d);
        if (!removed) return;
    }
}

bool RemoveFolderAt(int base, const char* name) {
    const int dir = ::openat(base, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) return false;
    RemoveContents(dir);
    ::close(dir);
    return ::unlinkat(base, name, AT_REMOVEDIR) == 0;
}

std::string TrimSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// Takes the folder's lock. The lock file is made unnamed, locked, then
// given its name, so no other run ever finds it unlocked while its run
// lives. Where the file system has no unnamed files, it is made by name and
// checked afterwards to be still there.
int TakeLock(const std::string& folder) {
    const std::string lockPath = folder + "/" + RunFolder::kLockName;
    int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        if (::flock(fd, LOCK_EX) == 0 &&
            ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, lockPath.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            return fd;
        }
        ::close(fd);
    }
    fd = ::open(lockPath.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    struct stat st {};
    if (::flock(fd, LOCK_EX) != 0 || ::fstat(fd, &st) != 0 || st.st_nlink == 0) {
        const int error = st.st_nlink == 0 ? ENOENT : errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

}  // namespace

std::string RunFolderBase() {
    const char* dir = std::getenv("TMPDIR");
    if (dir && *dir) return TrimSlashes(dir);
    return "/tmp";
}

std::unique_ptr<RunFolder> RunFolder::Create(const std::string& base, std::string* reason) {
    RemoveAbandonedRunFolders(base);
    // Another run may take a folder's lock file for an abandoned one in the
    // moment between its making and its locking: then try a new folder.
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::string path = TrimSlashes(base) + "/" + kPrefix + "XXXXXX";
        if (!::mkdtemp(&path[0])) {
            *reason = "cannot make a folder in " + base + ": " + std::strerror(errno);
            return nullptr;
        }
        const int lock = TakeLock(path);
        if (lock >= 0) return std::unique_ptr<RunFolder>(new RunFolder(path, lock));
        const int error = errno;
        ::rmdir(path.c_str());
        if (error != ENOENT && error != 0) {
            *reason = "cannot lock a folder in " + base + ": " + std::strerror(error);
            return nullptr;
        }
    }
    *reason = "cannot keep a folder in " + base + ": other runs remove it";
    return nullptr;
}

RunFolder::~RunFolder() { Remove(); }

void RunFolder::Remove() {
    if (path_.empty()) return;
    const int dir = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir >= 0) {
        RemoveContents(dir);
        ::close(dir);
    }
    ::rmdir(path_.c_str());
    // The lock goes last: until then no other run takes the folder for
    // abandoned.
    if (lockFd_ >= 0) ::close(lockFd_);
    lockFd_ = -1;
    path_.clear();
}

int RemoveAbandonedRunFolders(const std::string& base) {
    const int baseFd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (baseFd < 0) return 0;
    const int listing = ::dup(baseFd);
    DIR* d = listing >= 0 ? ::fdopendir(listing) : nullptr;
    if (!d) {
        if (listing >= 0) ::close(listing);
        ::close(baseFd);
        return 0;
    }
    int removed = 0;
    const uid_t me = ::geteuid();
    while (const dirent* entry = ::readdir(d)) {
        const char* name = entry->d_name;
        if (!IsRunFolderName(name)) continue;
        struct stat st {};
        if (::fstatat(baseFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) ||
            st.st_uid != me) {
            continue;
        }
        const int dir = ::openat(baseFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (dir < 0) continue;
        const int lock = ::openat(dir, RunFolder::kLockName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        bool abandoned = false;
        if (lock >= 0) {
            abandoned = ::flock(lock, LOCK_EX | LOCK_NB) == 0;
        } else if (errno == ENOENT) {
            abandoned = std::time(nullptr) - st.st_mtime > kUnlockedGraceSeconds;
        }
        ::close(dir);
        // Still holding the lock, so no other run removes it at the same time.
        if (abandoned && RemoveFolderAt(baseFd, name)) ++removed;
        if (lock >= 0) ::close(lock);
    }
    ::closedir(d);
    ::close(baseFd);
    return removed;
}

namespace {

bool CopyFile(const std::string& from, const std::string& to) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    struct stat st {};
    if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(in);
        return false;
    }
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = out >= 0;
    char buffer[65536];
    while (ok) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        for (ssize_t done = 0; ok && done < n;) {
            const ssize_t w = ::write(out, buffer + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            ok = w > 0;
            if (ok) done += w;
        }
    }
    ::close(in);
    if (out >= 0 && ::close(out) != 0) ok = false;
    if (!ok && out >= 0) ::unlink(to.c_str());
    return ok;
}

}  // namespace

std::vector<std::string> CopyTemplates(const std::vector<std::string>& folders,
                                       const std::vector<std::string>& names,
                                       const std::string& target) {
    std::vector<std::string> missing;
    for (const std::string& name : names) {
        bool copied = false;
        for (const std::string& folder : folders) {
            if (CopyFile(folder + "/" + name, target + "/" + name)) {
                copied = true;
                break;
            }
        }
        if (!copied) missing.push_back(name);
    }
    return missing;
}

size_t WindowsPathLength(const std::wstring& path) {
    size_t units = 0;
    for (wchar_t c : path) units += static_cast<unsigned long>(c) > 0xFFFF ? 2 : 1;
    return units;
}

}  // namespace morlit::posix
