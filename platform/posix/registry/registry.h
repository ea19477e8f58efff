// registry/: hives and .reg files. It reaches files only through fs/'s
// FileAccess, never a volume or an image directly, and includes nothing from
// programs/ or the services.
//
// The registry service of the Linux host. A hive is "loaded" by copying its
// file from the volume into a private temporary file and opening that with
// hivex, keeping the file's bytes as the volume holds them; reads then follow the Windows calls.
// A dirty hive is first brought up to date from its transaction logs, as Windows does when it
// loads one, and the copy holds the recovered hive. Only HKLM\VirtualPC can be a mount point.
// Unloading releases the copy and never writes: the registry editor stand-in writes the hive back
// itself, with CommitToVolume, before it ends, so nothing depends on the unload's result.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/host.h"
#include "platform/posix/fs/file_access.h"
#include "platform/posix/registry/hive_recovery.h"
#include "platform/posix/registry/reg_import.h"

struct hive_h;

namespace morlit::posix {

class PosixRegistry : public IRegistry {
  public:
    // `copyFolder`: where the private copy of a loaded hive is made; empty
    // for $TMPDIR, else /dev/shm, else /tmp. The mount point is one per
    // service: the command gives each run its own program folder, so runs
    // at the same time share neither the mount point nor the import file.
    PosixRegistry(FileAccess& files, IErrors& errors, std::string copyFolder = "");
    ~PosixRegistry() override;
    // Where the one-line notes go: a hive recovered or used dirty, and why a
    // hive could not be loaded. None by default.
    void SetDiagnostic(std::function<void(const std::string&)> diagnostic) {
        diagnostic_ = std::move(diagnostic);
    }
    // Where the line saying why a hive could not be loaded goes, when it
    // should not go with the notes: it is why the run fails.
    void SetCause(CauseSink cause) { cause_ = std::move(cause); }
    PosixRegistry(const PosixRegistry&) = delete;
    PosixRegistry& operator=(const PosixRegistry&) = delete;

    // Results are returned, as the Windows registry calls return them; the
    // last-error value is left alone, as theirs is.
    u32 RegLoadKey(RegKey root, const std::wstring& subKey, const std::wstring& file) override;
    u32 RegUnLoadKey(RegKey root, const std::wstring& subKey) override;
    u32 RegOpenKeyEx(RegKey root, const std::wstring& subKey, u32 options, u32 sam,
                     RegKey* key) override;
    u32 RegQueryValueEx(RegKey key, const std::wstring& name, u32* type, u8* data,
                        u32* size) override;
    u32 RegCloseKey(RegKey key) override;

    // What the last RegLoadKey found: the hive's state (kRefused when it was
    // not loaded, for whatever reason) and the line said about it, empty
    // for a clean hive.
    using LoadResult = HiveRecovery;
    const LoadResult& LastLoad() const { return lastLoad_; }

    // The mount point's name as loaded ("VirtualPC"), empty when none is.
    const std::wstring& MountName() const { return mount_; }
    bool Loaded() const { return hive_ != nullptr; }

    // Applies parsed import operations to the loaded hive. 0, or a Windows
    // error code with the reason; operations before a failure stay applied
    // in the private copy (which is then not written back by the editor).
    u32 Apply(const std::vector<RegOp>& ops, std::string* reason);
    // True when the private copy differs from the volume's hive.
    bool Changed() const { return changed_; }
    // Commits the private copy and writes it back over the volume's hive
    // file, only if it changed: just the pages that differ from the hive as
    // loaded where the file system can write in place, else the whole file.
    // 0 or a Windows error code.
    u32 CommitToVolume(std::string* reason);

  private:
    using Node = std::size_t;
    void Release();
    u32 LoadHive(const std::wstring& subKey, const std::wstring& file, std::string* reason);
    // The hive's logs that lie beside it (.LOG, .LOG1, .LOG2); the first
    // read of one that the disk failed in *failedRead (its code) and
    // *failedLog (its name).
    std::vector<HiveLog> ReadLogs(const std::wstring& file, const std::string& name,
                                  u32* failedRead, std::string* failedLog);
    // The node at `path` below the mount root: 0 when it does not exist
    // (and `create` is false) or on failure.
    Node Find(const std::vector<std::wstring>& path, bool create, std::string* reason);
    // Whether the value `name` of `node` exists with this type and data;
    // false when it cannot be read.
    bool SameValue(Node node, const std::string& name, u32 type, const std::string& data,
                   bool* equal, std::string* reason);
    // Commits the hive and compares the result with image_: the pages that
    // differ and the committed size.
    bool CommitAndCompare(std::vector<FilePatch>* patches, u64* size, std::string* reason);

    FileAccess& files_;
    std::string copyFolder_;
    std::function<void(const std::string&)> diagnostic_;
    CauseSink cause_;
    LoadResult lastLoad_;
    hive_h* hive_ = nullptr;
    std::wstring mount_;
    std::wstring volumePath_;  // the hive file on the volume
    std::string tempPath_;     // the private copy
    // What the volume's file holds (as found or last written): write-backs
    // compare with it, never with the recovered copy.
    std::string image_;
    bool writeWhole_ = false;  // a write-back failed: the volume's file is unknown
    bool changed_ = false;
    bool broken_ = false;  // an import failed part-way
    std::map<RegKey, Node> keys_;
    RegKey nextKey_ = 0x100;
    std::map<std::wstring, Node> nodeCache_;  // lower-case path below the root
};

}  // namespace morlit::posix
