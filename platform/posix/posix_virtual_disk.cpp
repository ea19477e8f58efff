#include "platform/posix/posix_virtual_disk.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/constants.h"
#include "platform/posix/fs/fat_volume.h"
#include "platform/posix/fs/host_folder_volume.h"
#include "platform/posix/fs/ntfs_volume.h"
#include "platform/posix/disk/interrupt.h"
#include "platform/posix/disk/partition_table.h"
#include "platform/posix/disk/vhd.h"

namespace morlit::posix {

namespace {

// What a Windows error code a failing open, attach or write gives says of
// the run's cause.
CauseKind KindOfFailure(u32 code) {
    static const struct {
        u32 code;
        CauseKind kind;
    } kKinds[] = {{err::kDiskFull, CauseKind::kDiskFull},
                  {err::kSharingViolation, CauseKind::kImageInUse},
                  {err::kLockViolation, CauseKind::kImageInUse},
                  {err::kWriteFault, CauseKind::kWriteError},
                  {err::kOperationAborted, CauseKind::kStopped}};
    if (err::IsReadFault(code)) return CauseKind::kReadError;
    for (const auto& k : kKinds) {
        if (k.code == code) return k.kind;
    }
    return CauseKind::kCannotOpen;
}

// Why no volume got a letter, when that is why the run fails.
CauseKind KindOfState(PosixVirtualDisk::VolumeState state) {
    using State = PosixVirtualDisk::VolumeState;
    if (state == State::kUnreadable) return CauseKind::kReadError;
    const bool unclean = state == State::kUncleanJournal || state == State::kMarkedDirty ||
                         state == State::kHibernated || state == State::kDirtyFat;
    return unclean ? CauseKind::kUncleanVolume : CauseKind::kNoLetter;
}

constexpr u32 kVirtualDiskAccessAttachRw = 0x20000;

// A volume's boot sector at the very start of the disk: an image of one
// volume (as dd or a forensic tool makes it), not of a whole disk. 0 with
// *bare set, or the code of a read that failed.
u32 StartsWithVolume(BlockDevice& device, bool* bare) {
    *bare = false;
    char sector[512];
    if (device.Size() < sizeof sector) return 0;
    if (const u32 e = device.Read(0, sector, sizeof sector)) return e;
    if (static_cast<u8>(sector[510]) != 0x55 || static_cast<u8>(sector[511]) != 0xAA) return 0;
    *bare = std::memcmp(sector + 3, "NTFS    ", 8) == 0 ||
            std::memcmp(sector + 54, "FAT12   ", 8) == 0 ||
            std::memcmp(sector + 54, "FAT16   ", 8) == 0 ||
            std::memcmp(sector + 82, "FAT32   ", 8) == 0;
    return 0;
}

// The first read of the image file under `device` that failed, in the
// file's words (which file, where, the system's words); empty when none
// did or the device has no file. Put before what could not be done for
// want of it, as the read is the fault.
std::string ReadFailure(BlockDevice& device) {
    std::shared_ptr<ImageFile> file = device.File();
    return file ? file->ReadFailure() : std::string();
}
std::string AfterReadFailure(BlockDevice& device, const std::string& line) {
    const std::string read = ReadFailure(device);
    return read.empty() ? line : read + "; " + line;
}

std::string Size(u64 bytes) {
    return bytes >= (u64{10} << 30) ? std::to_string(bytes >> 30) + " GiB"
                                    : std::to_string(bytes >> 20) + " MiB";
}

std::string Hex(u8 value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

}  // namespace

std::unique_ptr<BlockDevice> OpenDiskImage(const std::string& path, bool writable, u32* error,
                                           std::string* reason) {
    return VhdImage::Open(path, writable, error, reason);
}

struct PosixVirtualDisk::Disk : HandleObject {
    std::unique_ptr<BlockDevice> device;
    std::string path;
    DriveNamespace* drives = nullptr;
    std::shared_ptr<std::map<int, Disk*>> attached;
    int number = -1;  // while attached
    std::vector<wchar_t> letters;
    // The table as the loader counts it, and where each letter's volume
    // starts; both while attached.
    std::vector<LayoutEntry> layout;
    std::map<wchar_t, u64> offsets;
    // The image file's failed read was already said as the run's cause.
    bool readFailureSaid = false;

    bool Attached() const { return number >= 0; }

    // Unmounts every volume, even when one fails, and flushes the image.
    u32 Detach() {
        u32 result = 0;
        for (wchar_t letter : letters) {
            std::unique_ptr<Volume> volume = drives->RemoveDrive(letter);
            // A deletion held back until the volume went away (see
            // DriveNamespace) that could not be carried out leaves the volume
            // other than the run believes.
            if (const u32 e = drives->TakeDeferredFailure(); e && !result) result = e;
            if (auto* ntfs = dynamic_cast<NtfsVolume*>(volume.get())) {
                if (const u32 e = ntfs->Unmount(); e && !result) result = e;
            }
        }
        letters.clear();
        layout.clear();
        offsets.clear();
        if (const u32 e = device->Flush(); e && !result) result = e;
        // A write the volume code passed over still leaves the image without
        // all its changes.
        if (std::shared_ptr<ImageFile> file = device->File(); file && !result)
            result = file->FailedWith();
        attached->erase(number);
        number = -1;
        return result;
    }

    // Detaches if needed and closes the device, which flushes it.
    void Close() {
        if (Attached()) Detach();
        device.reset();
    }

    bool OnClose() override {
        Close();
        return true;
    }
};

PosixVirtualDisk::PosixVirtualDisk(DriveNamespace& drives, HandleTable& handles, IErrors& errors,
                                   Diagnostic diagnostic, ImageOpener opener)
    : drives_(drives),
      handles_(handles),
      errors_(errors),
      diagnostic_(std::move(diagnostic)),
      opener_(std::move(opener)),
      attached_(std::make_shared<std::map<int, Disk*>>()) {}

PosixVirtualDisk::~PosixVirtualDisk() {
    // Closing the process ends every attachment, as on Windows.
    while (!attached_->empty()) attached_->begin()->second->Detach();
}

u32 PosixVirtualDisk::Fail(u32 code) {
    errors_.SetLastError(code);
    return code;
}

u32 PosixVirtualDisk::OpenVirtualDisk(const VirtualStorageType& type, const std::wstring& path,
                                      u32 accessMask, u32 /*flags*/, Handle* handle) {
    if (!handle || type.deviceId != kVirtualStorageTypeDeviceVhd ||
        std::memcmp(type.vendorId, kVendorMicrosoft, 16) != 0)
        return Fail(err::kInvalidParameter);
    *handle = nullptr;
    Volume* volume = nullptr;
    PathParts parts;
    if (const u32 e = drives_.Resolve(path, &volume, &parts)) {
        Cause(CauseKind::kCannotOpen,
              "cannot open the image: " + ToUtf8(path) + " is not a full path");
        return Fail(e);
    }
    auto* folder = dynamic_cast<HostFolderVolume*>(volume);
    if (!folder) {
        Cause(CauseKind::kCannotOpen,
              "cannot open the image: it must be a file of this machine, not of a disk image");
        return Fail(err::kNotSupported);
    }
    auto disk = std::make_shared<Disk>();
    disk->path = folder->HostPath(parts);
    disk->drives = &drives_;
    disk->attached = attached_;
    u32 error = 0;
    std::string reason;
    disk->device = opener_(
        disk->path,
        (accessMask & kVirtualDiskAccessAttachRw) != 0 || accessMask == kVirtualDiskAccessAll,
        &error, &reason);
    if (!disk->device) {
        Cause(KindOfFailure(error), reason);
        return Fail(error ? error : err::kFileCorrupt);
    }
    // The image's changes wait for the run's end (FinishRun) to be kept or
    // undone, also while it has none yet: its journal starts at its first
    // write.
    if (std::shared_ptr<ImageFile> file = disk->device->File(); file && file->Journalled())
        pending_.push_back({disk, std::move(file)});
    *handle = handles_.Add(disk);
    errors_.SetLastError(0);
    return 0;
}

// Makes an image's changes final; false, with the run's cause, when that
// fails (the journal then stays for the next open): a run that said it
// adjusted the image fails here.
bool PosixVirtualDisk::Commit(ImageFile& file) {
    std::string reason;
    if (file.Commit(&reason) == err::kSuccess) return true;
    Cause(CauseKind::kJournal,
          "the changes to " + file.path() + " could not be made final: " + reason);
    return false;
}

bool PosixVirtualDisk::CommitClosed() {
    bool ok = true;
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (!it->disk.expired()) {
            ++it;
            continue;
        }
        ok = Commit(*it->file) && ok;
        it = pending_.erase(it);
    }
    return ok;
}

PosixVirtualDisk::RunEnd PosixVirtualDisk::FinishRun(bool adjusted) {
    RunEnd end;
    std::vector<Pending> pending;
    pending.swap(pending_);
    end.images = static_cast<int>(pending.size());
    for (Pending& p : pending) {
        // A disk still open was not detached, or its detach failed: its
        // changes are not to be kept.
        std::shared_ptr<Disk> open = p.disk.lock();
        const bool keep = adjusted && (!open || !open->device);
        if (open) open->Close();
        if (keep) {
            if (Commit(*p.file)) continue;
            end.failed = true;
        }
        end.committed = false;
        std::string reason;
        const bool changed = p.file->Changed();
        // A stop asked for by a signal is what the user needs to hear, not
        // the failed writes it caused.
        const std::string stopped =
            InterruptRequested()
                ? std::string("stopped by ") + StopSignalName(InterruptSignal()) + "; "
                : std::string();
        // A stop is why the run ended: said as its cause, with what became
        // of the image.
        const auto say = [&](const std::string& line) {
            if (stopped.empty())
                diagnostic_(line);
            else
                Cause(CauseKind::kStopped, stopped + line);
        };
        if (p.file->Rollback(&reason) == err::kSuccess) {
            end.rolledBack = changed;
            if (changed) {
                say(p.file->path() + " was put back as it was before the run");
            } else if (!stopped.empty() || p.file->FailedWith() != err::kSuccess) {
                // A failed read or write was said: what became of the image
                // follows it.
                say(p.file->path() + " was not changed");
            }
        } else {
            end.failed = end.kept = true;
            Cause(CauseKind::kJournal,
                  p.file->path() + " could not be put back as it was: " + reason + " " +
                      p.file->JournalPath() +
                      " is kept; the next run on the image puts it back first");
        }
    }
    return end;
}

u32 PosixVirtualDisk::AttachVirtualDisk(Handle handle, u32 /*flags*/, u32 /*providerFlags*/) {
    auto disk = handles_.Get<Disk>(handle);
    if (!disk || !disk->device) return Fail(err::kInvalidHandle);
    if (disk->Attached()) return Fail(err::kBusy);

    std::vector<Partition> partitions;
    std::string reason;
    std::vector<std::string> warnings;
    u32 e = ReadPartitionTable(*disk->device, &partitions, &reason, &warnings);
    // A volume's boot sector in sector 0 also passes for a table, of
    // entries that are garbage (malformed) or zero (none).
    bool bare = false;
    if (e == err::kDiskCorrupt || (e == 0 && partitions.empty())) {
        if (const u32 read = StartsWithVolume(*disk->device, &bare)) {
            e = read;
            reason = "the disk's first sector cannot be read";
        }
    }
    if (e && e != err::kDiskCorrupt) {
        Cause(KindOfFailure(e),
              AfterReadFailure(*disk->device, "cannot attach the image: " + reason));
        return Fail(e);
    }
    // A disk whose table cannot be trusted attaches with no volumes, as
    // Windows attaches it.
    if (bare) {
        partitions.clear();
        Cause(CauseKind::kBareVolume,
              "the image holds a single volume and no partition table; Windows Virtual PC needs a "
              "whole disk image (a partition table and the volume in a partition)");
    } else if (e) {
        Cause(CauseKind::kCannotOpen, "the image's partition table is not usable: " + reason);
    } else if (partitions.empty()) {
        Cause(CauseKind::kNoLetter, "the image's partition table lists no partition");
    }
    for (const std::string& warning : warnings) diagnostic_(warning);
    volumes_.clear();
    partitions_.clear();

    int number = 1;  // 0 is the host's own disk
    while (attached_->count(number)) ++number;
    disk->number = number;
    (*attached_)[number] = disk.get();

    for (const Partition& p : partitions) {
        disk->layout.push_back(LayoutEntry{p.type, p.number > 4, p.offset});
    }
    for (const Partition& p : partitions) {
        partitions_.push_back(AttachedPartition{});
        AttachedPartition& record = partitions_.back();
        record.number = p.number;
        record.type = p.type;
        record.offset = p.offset;
        record.length = p.length;
        std::unique_ptr<Volume> volume = MountPartition(*disk->device, p, &record);
        if (!volume) continue;
        const wchar_t letter = drives_.NextFreeLetter(L'D');
        if (!letter) {
            Refuse(
                &record, VolumeState::kNoFreeLetter,
                "partition " + std::to_string(p.number) + " gets no drive letter: all are in use");
            continue;
        }
        drives_.AddDrive(letter, std::move(volume));
        disk->letters.push_back(letter);
        disk->offsets[letter] = p.offset;
        record.letter = letter;
        volumes_.push_back(std::string(1, static_cast<char>(letter)) + ": (" + record.fileSystem +
                           ", partition " + std::to_string(p.number) + ", " + Size(p.length) + ")");
    }
    // Why partitions got no letter: the run's cause when none got one, as
    // the run then fails for want of a letter; else notes beside it.
    for (const AttachedPartition& record : partitions_) {
        if (record.reason.empty()) continue;
        if (volumes_.empty())
            Cause(KindOfState(record.state), record.reason);
        else
            diagnostic_(record.reason);
    }
    errors_.SetLastError(0);
    return 0;
}

// NTFS and FAT partitions, primary or logical, get letters in partition order,
// as on Windows; anything else, and a volume that is not clean, is recorded
// with its state and the line that says why.
std::unique_ptr<Volume> PosixVirtualDisk::MountPartition(BlockDevice& device, const Partition& p,
                                                         AttachedPartition* record) {
    const std::string name = "partition " + std::to_string(p.number);
    if (IsFatPartitionType(p.type)) {
        FatVolume::MountError mountError;
        std::string why;
        auto volume = FatVolume::Mount(device, p.offset, p.length, &mountError, &why);
        if (volume) {
            const FatVolume::Kind type = volume->Type();
            record->fileSystem = type == FatVolume::Kind::kFat12   ? "FAT12"
                                 : type == FatVolume::Kind::kFat16 ? "FAT16"
                                                                   : "FAT32";
            return volume;
        }
        if (mountError == FatVolume::MountError::kNotFat) {
            Refuse(record, VolumeState::kNotNtfsOrFat, name + " (type " + Hex(p.type) + ") " + why);
        } else {
            record->fileSystem = "FAT";
            const VolumeState state =
                mountError == FatVolume::MountError::kDirty     ? VolumeState::kDirtyFat
                : mountError == FatVolume::MountError::kDamaged ? VolumeState::kDamaged
                                                                : VolumeState::kUnreadable;
            const std::string line = "FAT volume on " + name + " " + why;
            Refuse(record, state,
                   state == VolumeState::kUnreadable ? AfterReadFailure(device, line) : line);
        }
        return nullptr;
    }
    if (p.type != kPartitionTypeNtfs) {
        Refuse(record, VolumeState::kNotNtfsOrFat,
               name + " (type " + Hex(p.type) +
                   ") is neither NTFS nor FAT; only those volumes get a drive letter");
        return nullptr;
    }
    NtfsVolume::MountError mountError;
    std::string why;
    auto volume = NtfsVolume::Mount(device, p.offset, p.length, &mountError, &why);
    if (volume || mountError != NtfsVolume::MountError::kNotNtfs) record->fileSystem = "NTFS";
    if (volume) return volume;
    if (mountError == NtfsVolume::MountError::kNotNtfs) {
        Refuse(record, VolumeState::kNotNtfsOrFat,
               name + " " + why + "; only NTFS and FAT volumes get a drive letter");
        return nullptr;
    }
    VolumeState state = VolumeState::kDamaged;
    switch (mountError) {
        case NtfsVolume::MountError::kUncleanJournal:
            state = VolumeState::kUncleanJournal;
            break;
        case NtfsVolume::MountError::kHibernated:
            state = VolumeState::kHibernated;
            break;
        case NtfsVolume::MountError::kDirty:
            state = VolumeState::kMarkedDirty;
            break;
        case NtfsVolume::MountError::kUnreadable:
            state = VolumeState::kUnreadable;
            break;
        default:
            break;
    }
    const std::string line = "NTFS volume on " + name + " " + why;
    Refuse(record, state,
           state == VolumeState::kUnreadable ? AfterReadFailure(device, line) : line);
    return nullptr;
}

const char* PosixVirtualDisk::StateName(VolumeState state) {
    switch (state) {
        case VolumeState::kClean:
            return "clean";
        case VolumeState::kUncleanJournal:
            return "unclean journal";
        case VolumeState::kMarkedDirty:
            return "marked dirty";
        case VolumeState::kHibernated:
            return "hibernated";
        case VolumeState::kDirtyFat:
            return "dirty FAT";
        case VolumeState::kDamaged:
            return "damaged";
        case VolumeState::kUnreadable:
            return "unreadable";
        case VolumeState::kNotNtfsOrFat:
            return "not NTFS or FAT";
        case VolumeState::kNoFreeLetter:
            return "no free letter";
    }
    return "clean";
}

void PosixVirtualDisk::Refuse(AttachedPartition* record, VolumeState state,
                              const std::string& line) {
    record->state = state;
    record->reason = line;
}

u32 PosixVirtualDisk::GetVirtualDiskPhysicalPath(Handle handle, u32* sizeBytes,
                                                 std::wstring& path) {
    auto disk = handles_.Get<Disk>(handle);
    if (!disk) return Fail(err::kInvalidHandle);
    if (!sizeBytes) return Fail(err::kInvalidParameter);
    if (!disk->Attached()) return Fail(err::kNotReady);
    const std::wstring text = L"\\\\.\\PhysicalDrive" + std::to_wstring(disk->number);
    // Sizes count UTF-16 code units of two bytes, as on Windows.
    const u32 needed = static_cast<u32>((text.size() + 1) * 2);
    if (*sizeBytes < needed) {
        *sizeBytes = needed;
        return Fail(err::kInsufficientBuffer);
    }
    *sizeBytes = needed;
    path = text;
    errors_.SetLastError(0);
    return 0;
}

u32 PosixVirtualDisk::DetachVirtualDisk(Handle handle, u32 /*flags*/, u32 /*providerFlags*/) {
    auto disk = handles_.Get<Disk>(handle);
    if (!disk) return Fail(err::kInvalidHandle);
    // A disk that never attached has nothing to detach.
    if (!disk->Attached()) {
        errors_.SetLastError(0);
        return 0;
    }
    const u32 e = disk->Detach();
    if (detachHook_) detachHook_();
    if (e == err::kDiskFull) {
        Cause(CauseKind::kDiskFull,
              "the image was detached, but writing it out failed: the file system holding " +
                  disk->path + " is full");
        return Fail(e);
    }
    if (e) {
        // A failure the image file kept (a read or write the volume code
        // passed over) is said with the file it happened to: with a
        // differencing image that may be a parent.
        std::shared_ptr<ImageFile> file = disk->device ? disk->device->File() : nullptr;
        // A failure the file kept is also why a later write failed with
        // another code (a volume that could not be written out after it).
        if (file && file->FailedReading()) {
            if (!disk->readFailureSaid)
                Cause(
                    CauseKind::kReadError,
                    file->ReadFailure() + "; the run's changes cannot rest on it and are not kept");
        } else if (file && file->FailedWith() != err::kSuccess) {
            Cause(
                KindOfFailure(file->FailedWith()),
                "the image was detached, but its changes cannot be kept: " + file->FailureReason());
        } else {
            Cause(CauseKind::kWriteError, "the image was detached, but writing it out failed");
        }
        return Fail(e);
    }
    errors_.SetLastError(0);
    return 0;
}

std::string PosixVirtualDisk::NameReadFailure(const std::string& line, CauseKind* kind) {
    for (auto& [number, disk] : *attached_) {
        if (disk->readFailureSaid || !disk->device) continue;
        const std::string read = ReadFailure(*disk->device);
        if (read.empty()) continue;
        disk->readFailureSaid = true;
        *kind = CauseKind::kReadError;
        return line.compare(0, read.size(), read) == 0 ? line : read + "; " + line;
    }
    return line;
}

int PosixVirtualDisk::QueryLettersByDisk(u8 diskNumber, u8 letters[26]) {
    auto it = attached_->find(diskNumber);
    if (it == attached_->end() || it->second->letters.empty()) return 0;
    // In the order the volumes stand on the disk, as the Windows host gives
    // them: a table whose slots are not in disk order must not change which
    // volume a run looks at first.
    std::vector<wchar_t> ordered = it->second->letters;
    const auto& offsets = it->second->offsets;
    std::stable_sort(ordered.begin(), ordered.end(),
                     [&offsets](wchar_t a, wchar_t b) { return offsets.at(a) < offsets.at(b); });
    size_t i = 0;
    for (wchar_t letter : ordered) {
        if (i < 26) letters[i++] = static_cast<u8>(letter);
    }
    return 1;
}

}  // namespace morlit::posix

namespace morlit::posix {

u32 PosixVirtualDisk::QueryArcPartitionNumber(u8 diskNumber, wchar_t letter, u32* number) {
    if (!number) return Fail(err::kInvalidParameter);
    auto it = attached_->find(diskNumber);
    if (it == attached_->end()) return Fail(err::kInvalidParameter);
    const Disk& disk = *it->second;
    const wchar_t upper =
        letter >= L'a' && letter <= L'z' ? static_cast<wchar_t>(letter - L'a' + L'A') : letter;
    auto offset = disk.offsets.find(upper);
    if (offset == disk.offsets.end()) return Fail(err::kInvalidDrive);
    const u32 found = ArcPartitionNumber(disk.layout, offset->second);
    if (found == 0) return Fail(err::kNotFound);
    *number = found;
    errors_.SetLastError(0);
    return 0;
}

}  // namespace morlit::posix
