// The virtual disk service of the Linux host: opens an image file, reads its
// partition table, mounts its NTFS volumes and gives them drive letters;
// answers the physical disk path and the letter lookup by disk number.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/arc_partition.h"
#include "platform/host.h"
#include "platform/posix/disk/block_device.h"
#include "platform/posix/disk/image_file.h"
#include "platform/posix/drive_namespace.h"
#include "platform/posix/handle_table.h"
#include "platform/posix/disk/partition_table.h"

namespace morlit::posix {

// Opens a disk image (a host path) as a block device; on failure null with
// a Windows error code and one plain sentence.
using ImageOpener = std::function<std::unique_ptr<BlockDevice>(
    const std::string& path, bool writable, u32* error, std::string* reason)>;

// The image layer the host uses by default: VHD images (fixed, dynamic,
// differencing). RawImage serves raw images through an ImageOpener.
std::unique_ptr<BlockDevice> OpenDiskImage(const std::string& path, bool writable, u32* error,
                                           std::string* reason);

class PosixVirtualDisk : public IVirtualDisk, public IDriveLetters, public IPartitions {
  public:
    using Diagnostic = std::function<void(const std::string& line)>;
    PosixVirtualDisk(DriveNamespace& drives, HandleTable& handles, IErrors& errors,
                     Diagnostic diagnostic, ImageOpener opener = OpenDiskImage);
    ~PosixVirtualDisk() override;

    u32 OpenVirtualDisk(const VirtualStorageType& type, const std::wstring& path, u32 accessMask,
                        u32 flags, Handle* handle) override;
    u32 AttachVirtualDisk(Handle disk, u32 flags, u32 providerFlags) override;
    u32 GetVirtualDiskPhysicalPath(Handle disk, u32* sizeBytes, std::wstring& path) override;
    u32 DetachVirtualDisk(Handle disk, u32 flags, u32 providerFlags) override;
    int QueryLettersByDisk(u8 diskNumber, u8 letters[26]) override;
    // From the partition table read at attach.
    u32 QueryArcPartitionNumber(u8 diskNumber, wchar_t letter, u32* number) override;
    // Where the lines go that say why a call failed and so ends the run (an
    // image that cannot be opened, attached or written out): the run's
    // causes. The diagnostic line sink when unset.
    void SetCause(CauseSink cause) { cause_ = std::move(cause); }
    // `line`, a cause of the run, with the first failed read of an attached
    // image put before it when no cause has named that read yet (and *kind
    // then a read error): whatever failed after a read the disk failed -
    // a write refused since, a file not found, a hive that does not load -
    // failed for want of that read.
    std::string NameReadFailure(const std::string& line, CauseKind* kind);
    // Called after a disk has been detached, whether or not that succeeded.
    void SetDetachHook(std::function<void()> hook) { detachHook_ = std::move(hook); }

    // Ends the run for every image opened for writing since the last call.
    // With `adjusted` (the run ended with its success message), an image
    // whose disk was detached and closed is committed. Every other image -
    // a failed run, a failed detach, a stop asked for by a signal - is closed
    // (flushed) and then put back byte for byte as it was before the run,
    // with one diagnostic line saying so. A rollback that fails keeps the
    // journal (the next open plays it back) and says why.
    struct RunEnd {
        bool committed = true;  // every image written is final (or none was)
        bool rolledBack = false;
        bool failed = false;  // a commit or rollback failed
        bool kept = false;    // a journal stays beside an image the run could not put back
        int images = 0;       // images the run opened for writing
    };
    RunEnd FinishRun(bool adjusted);
    // Keeps the changes of every image whose disk has been detached and
    // closed, and unlocks it; images still open wait for FinishRun. For
    // callers that attach disks one after another outside a run.
    bool CommitClosed();

    // The volumes the last attach gave letters, in letter order, each as
    // "D: (NTFS, partition 1, 500 MiB)".
    const std::vector<std::string>& AttachedVolumes() const { return volumes_; }

    // What the last attach made of each partition of the table, in partition
    // order: the letter it got, or why it got none, as a value and as the
    // sentence said on the diagnostic line.
    enum class VolumeState {
        kClean,           // mounted (it has a letter unless none was free)
        kUncleanJournal,  // NTFS whose journal was left open
        kMarkedDirty,     // NTFS marked dirty, also by a chkdsk that did not finish
        kHibernated,      // NTFS with a Windows hibernated on it
        kDirtyFat,        // FAT marked dirty, not shut down cleanly, or a disk error recorded
        kDamaged,         // the file system's own structures disagree
        kUnreadable,      // the disk failed a read
        kNotNtfsOrFat,    // another partition type, or no such volume in the partition
        kNoFreeLetter,    // mounted, but every letter was in use
    };
    // The state as reports name it ("unclean journal").
    static const char* StateName(VolumeState state);
    struct AttachedPartition {
        int number = 0;  // as the loader counts them, from 1
        u8 type = 0;
        u64 offset = 0, length = 0;
        wchar_t letter = 0;      // 0: none
        std::string fileSystem;  // "NTFS", "FAT12", "FAT16", "FAT32", "FAT"; empty for none
        VolumeState state = VolumeState::kClean;
        std::string reason;  // the line said when it got no letter; empty otherwise
    };
    const std::vector<AttachedPartition>& AttachedPartitions() const { return partitions_; }

    struct Disk;

  private:
    u32 Fail(u32 code);
    void Cause(CauseKind kind, const std::string& said) {
        const std::string line = NameReadFailure(said, &kind);
        if (cause_)
            cause_(kind, line);
        else
            diagnostic_(line);
    }
    bool Commit(ImageFile& file);
    std::unique_ptr<Volume> MountPartition(BlockDevice& device, const Partition& p,
                                           AttachedPartition* record);
    void Refuse(AttachedPartition* record, VolumeState state, const std::string& line);
    DriveNamespace& drives_;
    HandleTable& handles_;
    IErrors& errors_;
    Diagnostic diagnostic_;
    CauseSink cause_;
    ImageOpener opener_;
    std::shared_ptr<std::map<int, Disk*>> attached_;  // by disk number
    std::function<void()> detachHook_;
    struct Pending {
        std::weak_ptr<Disk> disk;
        std::shared_ptr<ImageFile> file;
    };
    std::vector<Pending> pending_;
    std::vector<std::string> volumes_;
    std::vector<AttachedPartition> partitions_;
};

}  // namespace morlit::posix
