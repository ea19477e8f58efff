#include "platform/posix/registry/registry.h"

#include <fcntl.h>
#include <hivex.h>
#include <signal.h>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/constants.h"
#include "platform/posix/registry/hive_check.h"
#include "platform/posix/registry/hive_recovery.h"

namespace morlit::posix {

namespace {

constexpr u32 kMaxValueName = 16383;

std::wstring Lower(std::wstring s) {
    for (auto& c : s) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return s;
}

// Private copies live in memory-backed /dev/shm when there is one: a hive is
// a few megabytes and never needs to reach a disk.
std::string TempDirectory() {
    const char* dir = std::getenv("TMPDIR");
    if (dir && *dir) return dir;
    if (::access("/dev/shm", W_OK | X_OK) == 0) return "/dev/shm";
    return "/tmp";
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Compares a committed hive, read from a stream, with the image the volume
// holds, page by page (hive bins are page-aligned, and hivex changes a few
// cells and appends): the pages that differ, joined where adjacent.
class ImageDiff {
  public:
    static constexpr size_t kPage = 4096;

    explicit ImageDiff(const std::string& before) : before_(before) {}

    // Reads `fd` to its end. On a read error it stops, leaving failed set.
    void Consume(int fd) {
        std::string buffer(64 * kPage, '\0');
        for (;;) {
            size_t filled = 0;
            while (filled < buffer.size()) {
                const ssize_t n = ::read(fd, &buffer[filled], buffer.size() - filled);
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) {
                    failed = true;
                    return;
                }
                if (n == 0) break;
                filled += static_cast<size_t>(n);
            }
            for (size_t at = 0; at < filled; at += kPage) {
                Page(buffer.data() + at, std::min(kPage, filled - at));
            }
            if (filled < buffer.size()) return;
        }
    }

    void Reset() {
        patches.clear();
        size = 0;
        failed = false;
    }

    std::vector<FilePatch> patches;
    u64 size = 0;
    bool failed = false;

  private:
    void Page(const char* data, size_t length) {
        const u64 at = size;
        size += length;
        if (at + length <= before_.size() && std::memcmp(before_.data() + at, data, length) == 0) {
            return;
        }
        if (!patches.empty() && patches.back().offset + patches.back().data.size() == at) {
            patches.back().data.append(data, length);
        } else {
            patches.push_back(FilePatch{at, std::string(data, length)});
        }
    }

    const std::string& before_;
};

// glibc raises its mmap threshold when a large block is freed, after which
// blocks of a hive's size come from the heap, where hivex's realloc for a
// new page copies the whole hive. Pinning the threshold keeps them mapped,
// so growing one is a remap.
void PinMallocThreshold() {
#ifdef __GLIBC__
    static std::once_flag once;
    std::call_once(once, [] { mallopt(M_MMAP_THRESHOLD, 1 << 20); });
#endif
}

// Splits "a\b\c" into its components; false for an empty component.
bool SplitPath(const std::wstring& path, std::vector<std::wstring>* parts) {
    parts->clear();
    if (path.empty()) return true;
    size_t start = 0;
    for (;;) {
        const size_t slash = path.find(L'\\', start);
        const std::wstring part =
            path.substr(start, slash == std::wstring::npos ? std::wstring::npos : slash - start);
        if (part.empty()) return false;
        parts->push_back(part);
        if (slash == std::wstring::npos) return true;
        start = slash + 1;
    }
}

}  // namespace

// The registry calls return their results and leave the last-error value
// alone, as the Windows calls do, so `errors` is not needed.
PosixRegistry::PosixRegistry(FileAccess& files, IErrors& /*errors*/, std::string copyFolder)
    : files_(files), copyFolder_(std::move(copyFolder)) {
    PinMallocThreshold();
}

PosixRegistry::~PosixRegistry() { Release(); }

void PosixRegistry::Release() {
    if (hive_) hivex_close(hive_);
    hive_ = nullptr;
    if (!tempPath_.empty()) ::unlink(tempPath_.c_str());
    tempPath_.clear();
    std::string().swap(image_);
    writeWhole_ = false;
    mount_.clear();
    volumePath_.clear();
    keys_.clear();
    nodeCache_.clear();
    changed_ = false;
    broken_ = false;
}

u32 PosixRegistry::RegLoadKey(RegKey root, const std::wstring& subKey, const std::wstring& file) {
    lastLoad_ = LoadResult{HiveState::kRefused, {}};
    if (root != kHKeyLocalMachine || file.empty()) return err::kInvalidParameter;
    // The host offers this one mount point; others cannot be created.
    if (Lower(subKey) != L"virtualpc") return err::kAccessDenied;
    // One hive at a time, as a key that already exists cannot take another.
    if (hive_) return err::kSharingViolation;
    lastLoad_ = LoadResult();
    const auto refuse = [&](u32 code, const std::string& why) {
        const std::string line = "cannot load the hive " + ToUtf8(file) + ": " + why;
        lastLoad_ = LoadResult{HiveState::kRefused, line};
        // A hive that could not be read is a failing disk, not a bad hive.
        if (cause_)
            cause_(err::IsReadFault(code) ? CauseKind::kReadError : CauseKind::kBadHive, line);
        else if (diagnostic_)
            diagnostic_(line);
        return code;
    };
    std::string reason;
    const u32 code = LoadHive(subKey, file, &reason);
    if (code != err::kSuccess) {
        Release();
        return refuse(code, reason);
    }
    return code;
}

std::vector<HiveLog> PosixRegistry::ReadLogs(const std::wstring& file, const std::string& name,
                                             u32* failedRead, std::string* failedLog) {
    std::vector<HiveLog> logs;
    // Names compare without regard to case on the volume, as on Windows.
    for (const wchar_t* suffix : {L".LOG", L".LOG1", L".LOG2"}) {
        NodeInfo info;
        if (files_.Stat(file + suffix, &info) != 0 || info.directory) continue;
        HiveLog log;
        log.name = name + ToUtf8(suffix);
        // A log that cannot be read counts as one that is not valid; one the
        // disk failed to give may be the very log the hive needs.
        const u32 e = files_.ReadFile(file + suffix, &log.data);
        if (err::IsReadFault(e) && !*failedRead) {
            *failedRead = e;
            *failedLog = log.name;
        }
        if (e != 0) log.data.clear();
        logs.push_back(std::move(log));
    }
    return logs;
}

u32 PosixRegistry::LoadHive(const std::wstring& subKey, const std::wstring& file,
                            std::string* reason) {
    std::string data;
    // Room for the hive to grow: the image is kept to compare commits with,
    // and growing it in place saves copying it whole on each commit.
    NodeInfo info;
    if (files_.Stat(file, &info) == 0 && !info.directory && info.size < (u64{1} << 31)) {
        data.reserve(static_cast<size_t>(info.size + std::max<u64>(info.size / 8, 1 << 20)));
    }
    if (const u32 code = files_.ReadFile(file, &data)) {
        *reason = err::IsReadFault(code)
                      ? "a read of it from the image failed (error " + std::to_string(code) + ")"
                      : "cannot read it (error " + std::to_string(code) + ")";
        return code;
    }
    const size_t slash = file.find_last_of(L"\\");
    const std::string name = ToUtf8(slash == std::wstring::npos ? file : file.substr(slash + 1));

    // A dirty hive is recovered into a copy: `data` stays what the volume
    // holds, for the write-back to compare with.
    std::string recovered;
    bool dirty = false;
    if (HiveIsDirty(data)) {
        recovered = data;
        u32 failedRead = 0;
        std::string failedLog;
        std::vector<HiveLog> logs = ReadLogs(file, name, &failedRead, &failedLog);
        // The log the disk failed to give may hold the entries the hive
        // needs: recovered from the others alone, it would lack them.
        if (failedRead) {
            *reason = "it needs its log, and a read of " + failedLog +
                      " from the image failed (error " + std::to_string(failedRead) + ")";
            return failedRead;
        }
        const HiveRecovery recovery = RecoverHive(name, &recovered, logs);
        if (recovery.state == HiveState::kRefused) {
            *reason = recovery.line;
            return err::kBadDb;
        }
        if (diagnostic_) diagnostic_(recovery.line);
        lastLoad_ = recovery;
        dirty = true;
    }
    const std::string& loaded = dirty ? recovered : data;
    if (loaded.size() < 4096 + 32 || loaded.compare(0, 4, "regf") != 0) {
        *reason = BaseBlockFault(loaded);
        return err::kNotRegistryFile;
    }

    std::string path =
        (copyFolder_.empty() ? TempDirectory() : copyFolder_) + "/morlit-hive-XXXXXX";
    const int fd = ::mkstemp(&path[0]);
    if (fd < 0) {
        *reason = std::string("cannot make a private copy: ") + std::strerror(errno);
        return err::kRegistryIoFailed;
    }
    const bool written = WriteAll(fd, loaded);
    ::close(fd);
    if (!written) {
        ::unlink(path.c_str());
        *reason = "cannot write the private copy";
        return err::kRegistryIoFailed;
    }
    hive_ = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
    if (!hive_) {
        const int why = errno;
        ::unlink(path.c_str());
        *reason = HiveFault(loaded);
        if (reason->empty()) *reason = std::string("hivex refuses it: ") + std::strerror(why);
        return err::kBadDb;
    }
    tempPath_ = path;
    image_ = std::move(data);
    writeWhole_ = false;
    mount_ = subKey;
    volumePath_ = file;
    // A dirty hive goes back to the volume recovered and consistent, so
    // that Windows will not replay the old logs over it.
    changed_ = dirty;
    broken_ = false;
    return err::kSuccess;
}

u32 PosixRegistry::RegUnLoadKey(RegKey root, const std::wstring& subKey) {
    if (root != kHKeyLocalMachine) return err::kInvalidParameter;
    if (!hive_ || Lower(subKey) != Lower(mount_)) return err::kInvalidParameter;
    Release();
    return err::kSuccess;
}

PosixRegistry::Node PosixRegistry::Find(const std::vector<std::wstring>& path, bool create,
                                        std::string* reason) {
    if (!hive_) return 0;
    Node node = hivex_root(hive_);
    std::wstring key;
    for (const std::wstring& part : path) {
        key += L"\\" + Lower(part);
        auto cached = nodeCache_.find(key);
        if (cached != nodeCache_.end()) {
            node = cached->second;
            continue;
        }
        const std::string name = ToUtf8(part);
        errno = 0;
        Node child = hivex_node_get_child(hive_, node, name.c_str());
        if (child == 0 && errno != 0) {
            if (reason) *reason = "cannot read key " + name + ": " + std::strerror(errno);
            return 0;
        }
        if (child == 0) {
            if (!create) return 0;
            child = hivex_node_add_child(hive_, node, name.c_str());
            if (child == 0) {
                if (reason) *reason = "cannot create key " + name + ": " + std::strerror(errno);
                return 0;
            }
            changed_ = true;
        }
        nodeCache_[key] = child;
        node = child;
    }
    return node;
}

u32 PosixRegistry::RegOpenKeyEx(RegKey root, const std::wstring& subKey, u32 /*options*/,
                                u32 /*sam*/, RegKey* key) {
    if (!key) return err::kInvalidParameter;
    std::vector<std::wstring> parts;
    if (!SplitPath(subKey, &parts)) return err::kFileNotFound;
    Node node = 0;
    if (root == kHKeyLocalMachine) {
        // Below HKLM only the mount point exists on this host.
        if (parts.empty() || !hive_ || Lower(parts[0]) != Lower(mount_)) {
            return err::kFileNotFound;
        }
        parts.erase(parts.begin());
        node = Find(parts, false, nullptr);
    } else {
        auto it = keys_.find(root);
        if (it == keys_.end()) return err::kInvalidHandle;
        node = it->second;
        for (const std::wstring& part : parts) {
            const std::string name = ToUtf8(part);
            node = hivex_node_get_child(hive_, node, name.c_str());
            if (node == 0) break;
        }
    }
    if (node == 0) return err::kFileNotFound;
    const RegKey handle = nextKey_;
    nextKey_ += 4;
    keys_[handle] = node;
    *key = handle;
    return err::kSuccess;
}

u32 PosixRegistry::RegQueryValueEx(RegKey key, const std::wstring& name, u32* type, u8* data,
                                   u32* size) {
    auto it = keys_.find(key);
    if (it == keys_.end() || !hive_) return err::kInvalidHandle;
    if (data && !size) return err::kInvalidParameter;
    if (name.size() > kMaxValueName) return err::kFileNotFound;
    const std::string utf8 = ToUtf8(name);
    errno = 0;
    const hive_value_h value = hivex_node_get_value(hive_, it->second, utf8.c_str());
    if (value == 0) return errno ? err::kBadDb : err::kFileNotFound;
    hive_type t;
    size_t length = 0;
    char* bytes = hivex_value_value(hive_, value, &t, &length);
    if (!bytes) return err::kBadDb;
    const u32 need = static_cast<u32>(length);
    if (type) *type = static_cast<u32>(t);
    u32 result = err::kSuccess;
    if (data) {
        if (*size < need) {
            result = err::kMoreData;
        } else {
            std::memcpy(data, bytes, length);
        }
    }
    if (size) *size = need;
    std::free(bytes);
    return result;
}

u32 PosixRegistry::RegCloseKey(RegKey key) {
    return keys_.erase(key) ? err::kSuccess : err::kInvalidHandle;
}

bool PosixRegistry::SameValue(Node node, const std::string& name, u32 type, const std::string& data,
                              bool* equal, std::string* reason) {
    *equal = false;
    errno = 0;
    const hive_value_h value = hivex_node_get_value(hive_, node, name.c_str());
    if (value == 0) {
        if (errno == 0 || errno == ENOENT) return true;  // no such value
        if (reason) *reason = std::string("cannot read a value: ") + std::strerror(errno);
        return false;
    }
    hive_type t;
    size_t len = 0;
    char* bytes = hivex_value_value(hive_, value, &t, &len);
    if (!bytes) {
        if (reason) *reason = std::string("cannot read a value: ") + std::strerror(errno);
        return false;
    }
    *equal = static_cast<u32>(t) == type && len == data.size() &&
             std::memcmp(bytes, data.data(), len) == 0;
    std::free(bytes);
    return true;
}

u32 PosixRegistry::Apply(const std::vector<RegOp>& ops, std::string* reason) {
    if (!hive_) {
        if (reason) *reason = "no hive is loaded";
        return err::kInvalidParameter;
    }
    for (const RegOp& op : ops) {
        std::string why;
        const std::string where = "line " + std::to_string(op.line) + ": ";
        auto fail = [&](const std::string& what) {
            // Part of the script is in the copy now: it must never reach the
            // volume.
            broken_ = true;
            if (reason) *reason = where + what;
            return err::kRegistryIoFailed;
        };
        switch (op.kind) {
            case RegOpKind::CreateKey:
                if (!Find(op.key, true, &why)) return fail(why);
                break;
            case RegOpKind::DeleteKey: {
                const Node node = Find(op.key, false, &why);
                if (!node) {
                    if (!why.empty()) return fail(why);
                    break;  // deleting what is not there is no error
                }
                if (hivex_node_delete_child(hive_, node) != 0) {
                    return fail(std::string("cannot delete key: ") + std::strerror(errno));
                }
                nodeCache_.clear();
                changed_ = true;
                break;
            }
            case RegOpKind::SetValue: {
                const Node node = Find(op.key, true, &why);
                if (!node) return fail(why);
                const std::string key = ToUtf8(op.name);
                // A value already as the script has it is left alone: hivex
                // writes every value it sets into new cells, so rewriting
                // equal values would grow the hive at every rerun.
                bool equal = false;
                if (!SameValue(node, key, op.type, op.data, &equal, &why)) return fail(why);
                if (equal) break;
                hive_set_value value;
                value.key = const_cast<char*>(key.c_str());
                value.t = static_cast<hive_type>(op.type);
                value.len = op.data.size();
                value.value = const_cast<char*>(op.data.data());
                if (hivex_node_set_value(hive_, node, &value, 0) != 0) {
                    return fail(std::string("cannot set value: ") + std::strerror(errno));
                }
                changed_ = true;
                break;
            }
            case RegOpKind::DeleteValue: {
                const Node node = Find(op.key, false, &why);
                if (!node) {
                    if (!why.empty()) return fail(why);
                    break;
                }
                hive_value_h* values = hivex_node_values(hive_, node);
                if (!values)
                    return fail(std::string("cannot read values: ") + std::strerror(errno));
                // hivex has no single-value delete: set the list without it.
                std::vector<hive_set_value> keep;
                std::vector<char*> owned;
                bool found = false;
                const std::wstring target = Lower(op.name);
                for (size_t i = 0; values[i]; ++i) {
                    char* k = hivex_value_key(hive_, values[i]);
                    hive_type t;
                    size_t len = 0;
                    char* v = hivex_value_value(hive_, values[i], &t, &len);
                    if (!k || !v) {
                        std::free(k);
                        std::free(v);
                        for (char* p : owned) std::free(p);
                        std::free(values);
                        return fail("cannot read a value");
                    }
                    owned.push_back(k);
                    owned.push_back(v);
                    if (!found && Lower(FromUtf8(k)) == target) {
                        found = true;
                        continue;
                    }
                    keep.push_back(hive_set_value{k, t, len, v});
                }
                std::free(values);
                int rc = 0;
                if (found) {
                    rc = hivex_node_set_values(hive_, node, keep.size(), keep.data(), 0);
                    changed_ = true;
                }
                for (char* p : owned) std::free(p);
                if (rc != 0)
                    return fail(std::string("cannot delete value: ") + std::strerror(errno));
                break;
            }
        }
    }
    return err::kSuccess;
}

bool PosixRegistry::CommitAndCompare(std::vector<FilePatch>* patches, u64* size,
                                     std::string* reason) {
    ImageDiff diff(image_);
    int commitErrno = 0;
    bool committed = false;
    // hivex commits only to a named file. Naming the write end of a pipe lets
    // a second thread compare the hive with the image while hivex writes it:
    // no copy of the hive is made in a file and read back.
    int pipeFds[2] = {-1, -1};
    bool streamed = false;
    if (::access("/proc/self/fd", X_OK) == 0 && ::pipe2(pipeFds, O_CLOEXEC) == 0) {
        ::fcntl(pipeFds[1], F_SETPIPE_SZ, 1 << 20);  // fewer switches; any size works
        // Should the reader stop early, hivex's writes fail with EPIPE
        // instead of the signal ending the process.
        sigset_t pipeSignal, old;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSignal, &old);
        try {
            std::thread reader([&] {
                diff.Consume(pipeFds[0]);
                ::close(pipeFds[0]);  // a writer still writing gets EPIPE
            });
            const std::string name = "/proc/self/fd/" + std::to_string(pipeFds[1]);
            committed = hivex_commit(hive_, name.c_str(), 0) == 0;
            commitErrno = errno;
            ::close(pipeFds[1]);
            reader.join();
            streamed = true;
        } catch (const std::system_error&) {
            // No thread: commit through a file below.
            ::close(pipeFds[0]);
            ::close(pipeFds[1]);
        }
        const timespec none{0, 0};
        while (sigtimedwait(&pipeSignal, nullptr, &none) > 0) {
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        // hivex could not open the pipe by its name (a restricted /proc):
        // nothing was written, so commit through a file instead.
        if (streamed && !committed && diff.size == 0) {
            streamed = false;
            diff.Reset();
        }
    }
    if (!streamed) {
        // Into a new file beside the copy: rewriting the copy in place would
        // truncate it, which makes some file systems flush it to disk on
        // close. The hive stays open on the copy, which hivex has in memory.
        std::string path = TempDirectory() + "/morlit-commit-XXXXXX";
        const int fd = ::mkstemp(&path[0]);
        if (fd < 0) {
            if (reason)
                *reason = std::string("cannot make a file to commit to: ") + std::strerror(errno);
            return false;
        }
        committed = hivex_commit(hive_, path.c_str(), 0) == 0;
        commitErrno = errno;
        ::unlink(path.c_str());
        if (committed) diff.Consume(fd);
        ::close(fd);
    }
    if (!committed) {
        if (reason) *reason = std::string("cannot commit the hive: ") + std::strerror(commitErrno);
        return false;
    }
    if (diff.failed) {
        if (reason) *reason = "cannot read the committed hive back";
        return false;
    }
    *patches = std::move(diff.patches);
    *size = diff.size;
    return true;
}

u32 PosixRegistry::CommitToVolume(std::string* reason) {
    if (!hive_) {
        if (reason) *reason = "no hive is loaded";
        return err::kInvalidParameter;
    }
    if (broken_) {
        if (reason) *reason = "an earlier import failed part-way";
        return err::kRegistryIoFailed;
    }
    if (!changed_) return err::kSuccess;
    std::vector<FilePatch> patches;
    u64 size = 0;
    if (!CommitAndCompare(&patches, &size, reason)) return err::kRegistryIoFailed;
    if (size < 4096 + 32) {
        if (reason) *reason = "the committed hive is too short";
        return err::kRegistryIoFailed;
    }
    // The image becomes what the volume is to hold.
    image_.resize(static_cast<size_t>(size));
    for (const FilePatch& p : patches) {
        image_.replace(static_cast<size_t>(p.offset), p.data.size(), p.data);
    }
    u32 code = writeWhole_ ? err::kNotSupported : files_.PatchFile(volumePath_, patches, size);
    if (code == err::kNotSupported) code = files_.WriteFile(volumePath_, image_);
    if (code != 0) {
        // Part of it may have been written: next time, all of it.
        writeWhole_ = true;
        if (reason)
            *reason =
                "cannot write the hive back to the volume (error " + std::to_string(code) + ")";
        return code;
    }
    writeWhole_ = false;
    changed_ = false;
    return err::kSuccess;
}

}  // namespace morlit::posix
