// The Linux host's drive letters: Z: the host's root, C: the host system,
// CD drives and the volumes of attached images. Windows paths
// ("E:\Windows\system32\config\system") are resolved here to a volume and
// the components below its root.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/fs/file_access.h"
#include "platform/posix/fs/volume.h"

namespace morlit::posix {

class DriveNamespace : public FileAccess {
  public:
    // Gives `volume` the drive letter `letter` (A to Z, either case). False
    // when the letter is taken or not a letter.
    bool AddDrive(wchar_t letter, std::unique_ptr<Volume> volume);
    // Takes the volume away from its letter, after carrying out a deletion
    // still held back on it; null when there is none.
    std::unique_ptr<Volume> RemoveDrive(wchar_t letter);
    // The error of a held-back deletion that failed when it was carried out
    // by RemoveDrive (0 for none); taken, so asked once.
    u32 TakeDeferredFailure();
    Volume* Find(wchar_t letter) const;
    // The lowest free letter from `first` on, or 0 when all are taken.
    wchar_t NextFreeLetter(wchar_t first = L'D') const;
    // The letters in use, in order.
    std::vector<wchar_t> Letters() const;

    // Splits an absolute Windows path "X:\a\b" into its drive letter (upper
    // case) and components; "." is dropped and ".." goes up. False for a
    // path without a drive or root.
    static bool Split(const std::wstring& path, wchar_t* letter, PathParts* parts);
    // The volume and components for a path: 0, 3 (no such drive or a bad
    // path) or 123 (bad name).
    u32 Resolve(const std::wstring& path, Volume** volume, PathParts* parts) const;

    u32 Stat(const std::wstring& path, NodeInfo* info) override;
    u32 ReadFile(const std::wstring& path, std::string* data) override;
    u32 ReadRange(const std::wstring& path, u64 offset, size_t length, std::string* data) override;
    u32 WriteFile(const std::wstring& path, const std::string& data) override;
    u32 PatchFile(const std::wstring& path, const std::vector<FilePatch>& patches,
                  u64 size) override;
    u32 DeleteFile(const std::wstring& path);
    u32 SetAttributes(const std::wstring& path, u32 attributes);
    u32 SetUncompressed(const std::wstring& path);
    // The stamp of the volume behind the path's letter, which names that
    // volume as well: a stamp never matches one from another volume.
    bool FileStamp(const std::wstring& path, std::string* stamp) override;

  private:
    // A deletion held back: the file is gone for every call here, but its
    // volume is not changed until something other than the same path is
    // asked for. A file made again at once under that name with the same
    // data then needs no change at all (see Volume::SameAsNewFile).
    struct Deferred {
        wchar_t letter = 0;
        PathParts parts;
        std::vector<std::wstring> key;  // the components in upper case
        bool recreatedEmpty = false;    // made again, empty, not yet on the volume
    };
    // Where a call on a path lands.
    struct Target {
        Volume* volume = nullptr;
        PathParts parts;
        bool held = false;  // the path is the held-back deletion's
    };
    // Resolves the path; carries out a held-back deletion unless the path is
    // the held-back one, which `held` then says.
    u32 Prepare(const std::wstring& path, Target* target);
    // As Prepare, for a call on a file that is there: the held-back
    // deletion's path is not found (2) unless the file was made again, empty,
    // since; `held` then says so.
    u32 PrepareExisting(const std::wstring& path, Target* target);
    u32 Settle();

    std::map<wchar_t, std::unique_ptr<Volume>> drives_;
    std::optional<Deferred> deferred_;
    u32 deferredFailure_ = 0;
};

}  // namespace morlit::posix
