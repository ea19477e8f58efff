// Whole-file access by Windows path ("E:\Windows\system32\config\system"),
// for the in-process stand-ins of the host's tools (expand, Regedit.exe) and
// the registry service. The Linux host's drive namespace implements it; tests
// can map drive letters to host folders with FolderFileAccess.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/posix/fs/volume.h"

namespace morlit::posix {

class FileAccess {
  public:
    virtual ~FileAccess() = default;
    // Each returns 0 on success or a Windows error code.
    virtual u32 Stat(const std::wstring& path, NodeInfo* info) = 0;
    virtual u32 ReadFile(const std::wstring& path, std::string* data) = 0;
    // Reads up to `length` bytes from `offset` into `data` (fewer at the end
    // of the file, none past it), so that a large file can be read as it is
    // needed. kNotSupported when the file system reads only whole files (the
    // default): the caller then uses ReadFile.
    virtual u32 ReadRange(const std::wstring& /*path*/, u64 /*offset*/, size_t /*length*/,
                          std::string* /*data*/) {
        return err::kNotSupported;
    }
    // Replaces an existing file's data in place, or creates the file; the
    // data is on disk on return.
    virtual u32 WriteFile(const std::wstring& path, const std::string& data) = 0;
    // A stamp that names this very file (volume and file identity) and
    // changes whenever its content may have changed, so that data decoded
    // from it can be reused while the stamp stays the same. False when the
    // file system cannot promise that; nothing is then reused.
    virtual bool FileStamp(const std::wstring& /*path*/, std::string* /*stamp*/) { return false; }
    // Writes `patches` into the existing file at `path` and sets its size to
    // `size`, leaving every other byte as it is; the data is on disk on
    // return. A large file that changed in a few places is then not
    // rewritten whole. kNotSupported when the file system cannot write in
    // place (the default): the caller writes the whole file with WriteFile.
    virtual u32 PatchFile(const std::wstring& /*path*/, const std::vector<FilePatch>& /*patches*/,
                          u64 /*size*/) {
        return err::kNotSupported;
    }
};

// Drive letters mapped to host folders; names are matched without regard to
// case, component by component. For tests and for Z:.
class FolderFileAccess : public FileAccess {
  public:
    void Map(wchar_t letter, const std::string& folder);
    u32 Stat(const std::wstring& path, NodeInfo* info) override;
    u32 ReadFile(const std::wstring& path, std::string* data) override;
    u32 ReadRange(const std::wstring& path, u64 offset, size_t length, std::string* data) override;
    u32 WriteFile(const std::wstring& path, const std::string& data) override;
    // Device, inode, size and change times. Time stamps have a coarse
    // granularity, so a file changed within the last `settleSeconds` gets
    // no stamp: a second change in the same tick would go unseen.
    bool FileStamp(const std::wstring& path, std::string* stamp) override;
    u32 PatchFile(const std::wstring& path, const std::vector<FilePatch>& patches,
                  u64 size) override;
    void SetSettleSeconds(int seconds) { settleSeconds_ = seconds; }
    // The host path for a Windows path (existing components resolved without
    // case; the rest kept as written), or empty when the drive is not mapped.
    std::string HostPath(const std::wstring& path) const;

  private:
    std::map<wchar_t, std::string> folders_;
    int settleSeconds_ = 2;
};

// Reads up to `length` bytes from `offset` of the host file open as `fd`
// into `data` (fewer at its end): 0, or ERROR_READ_FAULT. The buffer is
// reused from call to call.
u32 ReadHostRange(int fd, u64 offset, size_t length, std::string* data);
// Opens a host file for reading: its descriptor, or -1 with errno set as
// open() sets it, EISDIR for a folder and EACCES when it cannot be examined.
int OpenHostFileForReading(const std::string& host);

// The entry of a host folder that a Windows name means: the name itself when
// it exists, else the first entry equal to it without regard to ASCII case,
// else the name as given (for something yet to be created).
std::string HostChildName(const std::string& folder, const std::string& name);

// UTF-8 <-> wide (platform/utf8.h): text that is always well-formed UTF-8,
// and names that keep any byte that is not UTF-8. A host path goes back to
// its bytes with HostBytesFromWide, not ToUtf8.
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

}  // namespace morlit::posix
