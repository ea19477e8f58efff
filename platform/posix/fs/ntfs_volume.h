// An NTFS volume inside a disk, through libntfs-3g working on a byte range
// of a BlockDevice. The volume is mounted read-only and remounted read-write
// only for its first change, so a run that changes nothing leaves the image
// as it was. Every change is on the disk when the call returns.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "platform/posix/disk/block_device.h"
#include "platform/posix/fs/volume.h"

struct _ntfs_volume;
struct _ntfs_inode;

namespace morlit::posix {

class NtfsVolume : public Volume {
  public:
    enum class MountError {
        kNone,
        kNotNtfs,         // no NTFS boot sector in the range
        kDirty,           // marked dirty (also by a chkdsk that did not finish)
        kUncleanJournal,  // its journal was left open: in use, fast startup, unfinished chkdsk
        kUnreadable,      // the disk failed a read, also while checking for the other
                          // states; the reason names what was read and the error
        kHibernated,      // Windows is hibernated on it
        kFailed,          // the library refused it (damaged)
    };
    // Mounts the volume at [offset, offset + length) of `disk`, which must
    // outlive it. A volume that is not clean is refused, never recovered:
    // recovery would throw away its journal. On failure returns null with
    // the cause and a plain sentence about the volume ("is marked dirty;
    // let Windows check it first").
    static std::unique_ptr<NtfsVolume> Mount(BlockDevice& disk, u64 offset, u64 length,
                                             MountError* error, std::string* reason);
    ~NtfsVolume() override;  // unmounts and flushes

    u32 DriveType() const override;
    u32 Stat(const PathParts& path, NodeInfo* info) override;
    u32 ReadFile(const PathParts& path, std::string* data) override;
    // Compressed and sparse files read as they do whole; an encrypted one
    // gives ERROR_ACCESS_DENIED, as ReadFile does.
    u32 ReadRange(const PathParts& path, u64 offset, size_t length, std::string* data) override;
    u32 WriteFile(const PathParts& path, const std::string& data) override;
    // Plain files only: a compressed, sparse or encrypted file, or one
    // without a data stream, gives kNotSupported before anything changes,
    // and the caller writes it whole. A file never gains a hole: bytes
    // between the old end and a patch beyond it are written as zeros.
    u32 PatchFile(const PathParts& path, const std::vector<FilePatch>& patches, u64 size) override;
    u32 DeleteFile(const PathParts& path) override;
    u32 SetAttributes(const PathParts& path, u32 attributes) override;
    u32 SetUncompressed(const PathParts& path) override;
    bool SameAsNewFile(const PathParts& path) override;
    // This mount (unique in the process), the file's MFT record and its
    // sequence number, and how often this layer has changed that record's
    // data. Changes from outside cannot happen while the image is attached:
    // it is locked.
    bool FileStamp(const PathParts& path, std::string* stamp) override;

    // Makes a folder whose parent exists: 0, 183 when the name is taken.
    u32 CreateFolder(const PathParts& path);

    // Unmounts now; 0 or a Windows error code. Later calls fail with 21.
    u32 Unmount();
    bool Writable() const { return writable_; }

    struct Range;  // the byte range the library's device works on

  private:
    NtfsVolume(BlockDevice& disk, u64 offset, u64 length);
    u32 MakeWritable();
    u32 Finish(u32 result);  // flushes after a change
    // `result`, or the disk's code when a read or write of the disk failed
    // in this call: what the library made of that failure is no answer.
    u32 Disk(u32 result) const;
    // Counted before a file's data changes, whether or not the change then
    // succeeds.
    void Changing(u64 mftNumber) { ++writes_[mftNumber]; }
    u32 CreateNode(_ntfs_inode* dir, const std::wstring& name, bool folder,
                   const std::string& data);

    std::unique_ptr<Range> range_;
    _ntfs_volume* vol_ = nullptr;
    bool writable_ = false;
    u64 mountId_ = 0;
    std::map<u64, u64> writes_;  // by MFT record number
};

}  // namespace morlit::posix
