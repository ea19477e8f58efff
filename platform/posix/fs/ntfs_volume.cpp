#include "platform/posix/fs/ntfs_volume.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>  // libntfs-3g's headers use time types without including this
#include <cwctype>
#include <string>
#include <vector>

extern "C" {
#include <ntfs-3g/types.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/device.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/logfile.h>
#include <ntfs-3g/security.h>
#include <ntfs-3g/unistr.h>
#include <ntfs-3g/volume.h>
}
// libntfs-3g defines these as macros, which would hide the standard ones.
#undef min
#undef max

#include "platform/constants.h"
#include "platform/posix/fs/file_access.h"
#include "platform/posix/disk/raw_image.h"
#include "platform/posix/fs/short_name.h"
#include "platform/posix/disk/byte_order.h"

namespace morlit::posix {

struct NtfsVolume::Range {
    BlockDevice* disk = nullptr;
    u64 offset = 0;
    u64 length = 0;
    s64 position = 0;
    u32 lastError = 0;  // the disk's code for the last failed transfer
};

namespace {

// The attribute bits SetFileAttributesW may change.
constexpr u32 kSettableAttributes = 0x1 | 0x2 | 0x4 | 0x20 | 0x100 | 0x1000 | 0x2000;

// --- the library's device, over a byte range of a BlockDevice ---------------

NtfsVolume::Range* RangeOf(ntfs_device* dev) {
    return static_cast<NtfsVolume::Range*>(dev->d_private);
}

int DevOpen(ntfs_device* dev, int flags) {
    if ((flags & O_ACCMODE) == O_RDONLY)
        NDevSetReadOnly(dev);
    else
        NDevClearReadOnly(dev);
    NDevSetOpen(dev);
    return 0;
}

int DevClose(ntfs_device* dev) {
    NDevClearOpen(dev);
    return 0;
}

s64 DevSeek(ntfs_device* dev, s64 offset, int whence) {
    NtfsVolume::Range* r = RangeOf(dev);
    s64 base = 0;
    if (whence == SEEK_CUR) base = r->position;
    if (whence == SEEK_END) base = static_cast<s64>(r->length);
    if (base + offset < 0) {
        errno = EINVAL;
        return -1;
    }
    r->position = base + offset;
    return r->position;
}

s64 DevPread(ntfs_device* dev, void* buffer, s64 count, s64 offset) {
    NtfsVolume::Range* r = RangeOf(dev);
    if (offset < 0 || count < 0) {
        errno = EINVAL;
        return -1;
    }
    if (static_cast<u64>(offset) >= r->length) return 0;
    const u64 n = std::min<u64>(static_cast<u64>(count), r->length - static_cast<u64>(offset));
    if (const u32 e = r->disk->Read(r->offset + static_cast<u64>(offset), buffer, n)) {
        r->lastError = e;
        errno = EIO;
        return -1;
    }
    return static_cast<s64>(n);
}

s64 DevPwrite(ntfs_device* dev, const void* buffer, s64 count, s64 offset) {
    NtfsVolume::Range* r = RangeOf(dev);
    if (NDevReadOnly(dev)) {
        errno = EROFS;
        return -1;
    }
    if (offset < 0 || count < 0) {
        errno = EINVAL;
        return -1;
    }
    if (static_cast<u64>(offset) >= r->length) {
        errno = ENOSPC;
        return -1;
    }
    const u64 n = std::min<u64>(static_cast<u64>(count), r->length - static_cast<u64>(offset));
    NDevSetDirty(dev);
    if (const u32 e = r->disk->Write(r->offset + static_cast<u64>(offset), buffer, n)) {
        r->lastError = e;
        errno = e == err::kDiskFull ? ENOSPC : EIO;
        return -1;
    }
    return static_cast<s64>(n);
}

s64 DevRead(ntfs_device* dev, void* buffer, s64 count) {
    const s64 n = DevPread(dev, buffer, count, RangeOf(dev)->position);
    if (n > 0) RangeOf(dev)->position += n;
    return n;
}

s64 DevWrite(ntfs_device* dev, const void* buffer, s64 count) {
    const s64 n = DevPwrite(dev, buffer, count, RangeOf(dev)->position);
    if (n > 0) RangeOf(dev)->position += n;
    return n;
}

int DevSync(ntfs_device* dev) {
    if (NDevReadOnly(dev)) return 0;
    if (const u32 e = RangeOf(dev)->disk->Flush()) {
        RangeOf(dev)->lastError = e;
        errno = EIO;
        return -1;
    }
    NDevClearDirty(dev);
    return 0;
}

int DevStat(ntfs_device* dev, struct stat* st) {
    std::memset(st, 0, sizeof *st);
    st->st_mode = S_IFREG;
    st->st_size = static_cast<off_t>(RangeOf(dev)->length);
    return 0;
}

int DevIoctl(ntfs_device*, unsigned long, void*) {
    errno = ENOTTY;
    return -1;
}

ntfs_device_operations g_rangeOps = {DevOpen,  DevClose,  DevSeek, DevRead, DevWrite,
                                     DevPread, DevPwrite, DevSync, DevStat, DevIoctl};

// The library's errno as Windows reports it on an NTFS volume: the host's
// table, but for three codes the library gives for reasons of its own.
u32 ErrnoCode(int e) {
    switch (e) {
        case EROFS:
            // Only a volume still mounted read-only gives it: to a caller,
            // write-protected media, as Windows says. On the host it is a
            // file the caller may not change.
            return err::kWriteProtect;
        case EINVAL:
        case ENAMETOOLONG:
            // The library checks the one name it is given against NTFS's
            // rules (its characters, 255 units), so this is the name, where
            // on the host it is a whole path too long for the system.
            return err::kInvalidName;
        case EIO:
            // The library's word for metadata it finds inconsistent, and for
            // a transfer the disk failed: a change then gives the disk's own
            // code instead (Finish).
            return err::kDiskCorrupt;
        default:
            return ErrnoToWindows(e);
    }
}

// --- names -----------------------------------------------------------------

struct UName {
    ntfschar* text = nullptr;
    int length = -1;
    // Straight to UTF-16, as the volume stores names: a lone surrogate,
    // which NTFS allows and UTF-8 cannot carry, stays that very name.
    explicit UName(const std::wstring& name) {
        std::vector<ntfschar> units;
        for (wchar_t c : name) {
            const u32 v = static_cast<u32>(c);
            if (v > 0x10FFFF) return;
            if (v >= 0x10000) {
                units.push_back(cpu_to_le16(static_cast<u16>(0xD800 + ((v - 0x10000) >> 10))));
                units.push_back(cpu_to_le16(static_cast<u16>(0xDC00 + ((v - 0x10000) & 0x3FF))));
            } else {
                units.push_back(cpu_to_le16(static_cast<u16>(v)));
            }
        }
        // NUL-terminated, as the library's own conversion leaves a name.
        text = static_cast<ntfschar*>(std::calloc(units.size() + 1, sizeof(ntfschar)));
        if (text == nullptr) return;
        std::memcpy(text, units.data(), units.size() * sizeof(ntfschar));
        length = static_cast<int>(units.size());
    }
    ~UName() { std::free(text); }
    UName(const UName&) = delete;
    UName& operator=(const UName&) = delete;
    bool ok() const { return length > 0 && length <= 255; }
};

bool IsDirectory(ntfs_inode* ni) { return (ni->mrec->flags & MFT_RECORD_IS_DIRECTORY) != 0; }

// Inodes closed at the end of a scope.
struct InodeRef {
    ntfs_inode* ni = nullptr;
    InodeRef() = default;
    explicit InodeRef(ntfs_inode* n) : ni(n) {}
    ~InodeRef() {
        if (ni) ntfs_inode_close(ni);
    }
    InodeRef(const InodeRef&) = delete;
    InodeRef& operator=(const InodeRef&) = delete;
    ntfs_inode* release() {
        ntfs_inode* n = ni;
        ni = nullptr;
        return n;
    }
    void reset(ntfs_inode* n) {
        if (ni) ntfs_inode_close(ni);
        ni = n;
    }
};

// The name under which `ni` is listed in folder `dirNo`, long form first:
// what ntfs_delete must be given.
bool StoredName(ntfs_inode* ni, u64 dirNo, std::vector<ntfschar>* name) {
    ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(ni, nullptr);
    if (!ctx) return false;
    bool found = false;
    while (!ntfs_attr_lookup(AT_FILE_NAME, AT_UNNAMED, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx)) {
        const auto* fn = reinterpret_cast<const FILE_NAME_ATTR*>(
            reinterpret_cast<const u8*>(ctx->attr) + le16_to_cpu(ctx->attr->value_offset));
        if (MREF_LE(fn->parent_directory) != dirNo) continue;
        if (fn->file_name_type == FILE_NAME_DOS && found) continue;
        // The name may sit unaligned in the record.
        name->resize(fn->file_name_length);
        std::memcpy(name->data(),
                    reinterpret_cast<const u8*>(fn) + offsetof(FILE_NAME_ATTR, file_name),
                    fn->file_name_length * sizeof(ntfschar));
        found = true;
        if (fn->file_name_type != FILE_NAME_DOS) break;
    }
    ntfs_attr_put_search_ctx(ctx);
    return found;
}

}  // namespace

// --- mounting ----------------------------------------------------------------

NtfsVolume::NtfsVolume(BlockDevice& disk, u64 offset, u64 length) : range_(new Range) {
    static std::atomic<u64> mounts{0};
    mountId_ = ++mounts;
    range_->disk = &disk;
    range_->offset = offset;
    range_->length = length;
}

namespace {

ntfs_volume* MountRange(NtfsVolume::Range* range, bool writable) {
    range->position = 0;
    ntfs_device* dev = ntfs_device_alloc("morlit-volume", 0, &g_rangeOps, range);
    if (!dev) return nullptr;
    ntfs_volume* vol = ntfs_device_mount(dev, writable ? NTFS_MNT_NONE : NTFS_MNT_RDONLY);
    if (!vol) {
        const int e = errno;
        ntfs_device_free(dev);
        errno = e;
        return nullptr;
    }
    // Windows compares names without case, with the volume's own table.
    ntfs_set_ignore_case(vol);
    // Streams this layer writes anew are stored uncompressed.
    NVolClearCompression(vol);
    ntfs_open_secure(vol);
    return vol;
}

// True when the journal says the volume was shut down cleanly.
bool JournalClean(ntfs_volume* vol) {
    InodeRef log(ntfs_inode_open(vol, FILE_LogFile));
    if (!log.ni) return false;
    ntfs_attr* na = ntfs_attr_open(log.ni, AT_DATA, AT_UNNAMED, 0);
    if (!na) return false;
    RESTART_PAGE_HEADER* rp = nullptr;
    const bool clean = ntfs_check_logfile(na, &rp) && ntfs_is_logfile_clean(na, rp);
    std::free(rp);
    ntfs_attr_close(na);
    return clean;
}

// What the first restart page of $LogFile says about a volume whose journal
// is not clean, in words that say what to do.
std::string UncleanJournalReason(ntfs_volume* vol) {
    char page[32] = {};
    InodeRef log(ntfs_inode_open(vol, FILE_LogFile));
    ntfs_attr* na = log.ni ? ntfs_attr_open(log.ni, AT_DATA, AT_UNNAMED, 0) : nullptr;
    const bool read = na && ntfs_attr_pread(na, 0, sizeof page, page) == sizeof page;
    if (na) ntfs_attr_close(na);
    if (read && std::memcmp(page, "CHKD", 4) == 0) {
        return "was being checked by chkdsk, which did not finish; let Windows check it "
               "(chkdsk /f) first";
    }
    // Windows 8 and later write version 2.0 of the journal, and leave it
    // open when they shut down with fast startup.
    const int major = LoadLe16(page + 28);
    if (read && std::memcmp(page, "RSTR", 4) == 0 && major >= 2) {
        return "was not shut down cleanly: its journal was left open by a newer Windows (8 or "
               "later) that shut down with fast startup; start that Windows and shut it down "
               "fully (shutdown /s /t 0), then try again";
    }
    // Its journal holds changes that are not yet in place; Windows finishes
    // them whenever it mounts the volume.
    return "was not shut down cleanly (it was in use); attach the image in Windows once, which "
           "finishes the volume's journal, then try again";
}

}  // namespace

std::unique_ptr<NtfsVolume> NtfsVolume::Mount(BlockDevice& disk, u64 offset, u64 length,
                                              MountError* error, std::string* reason) {
    *error = MountError::kNone;
    char boot[512];
    if (length >= sizeof boot) {
        // A sector the disk cannot give says nothing about what it holds.
        if (const u32 e = disk.Read(offset, boot, sizeof boot)) {
            *error = MountError::kUnreadable;
            *reason = "cannot be read: its boot sector gives error " + std::to_string(e);
            return nullptr;
        }
    }
    if (length < sizeof boot || std::memcmp(boot + 3, "NTFS    ", 8) != 0) {
        *error = MountError::kNotNtfs;
        *reason = "holds no NTFS volume";
        return nullptr;
    }
    std::unique_ptr<NtfsVolume> volume(new NtfsVolume(disk, offset, length));
    // A read the disk failed says nothing about the volume: whatever the
    // library or a check below made of it (no volume, damage, a journal that
    // is not clean, a hibernation file), the cause is the failed read.
    const auto unreadable = [&](const char* what) {
        *error = MountError::kUnreadable;
        *reason = std::string("cannot be read: its ") + what + " gives error " +
                  std::to_string(volume->range_->lastError);
        return nullptr;
    };
    volume->vol_ = MountRange(volume->range_.get(), false);
    if (volume->range_->lastError) return unreadable("metadata");
    if (!volume->vol_) {
        *error = MountError::kFailed;
        *reason = std::string("cannot be read as NTFS (") + std::strerror(errno) + ")";
        return nullptr;
    }
    ntfs_volume* vol = volume->vol_;
    if ((vol->flags & VOLUME_IS_DIRTY) && (vol->flags & VOLUME_MODIFIED_BY_CHKDSK)) {
        *error = MountError::kDirty;
        *reason =
            "is marked dirty by a chkdsk that did not finish; let Windows check it (chkdsk /f) "
            "first";
    } else if (vol->flags & VOLUME_IS_DIRTY) {
        *error = MountError::kDirty;
        *reason = "is marked dirty; let Windows check it first";
    } else {
        const bool hibernated = ntfs_volume_check_hiberfile(vol, 0) != 0;
        if (volume->range_->lastError) return unreadable("hibernation file");
        if (hibernated) {
            *error = MountError::kHibernated;
            *reason = "is hibernated; start that Windows and shut it down fully first";
        } else if (!JournalClean(vol)) {
            *error = MountError::kUncleanJournal;
            *reason = UncleanJournalReason(vol);
        }
        if (volume->range_->lastError) return unreadable("journal ($LogFile)");
    }
    if (*error != MountError::kNone) return nullptr;  // the destructor unmounts
    return volume;
}

NtfsVolume::~NtfsVolume() { Unmount(); }

u32 NtfsVolume::Unmount() {
    if (!vol_) return 0;
    const int r = ntfs_umount(vol_, FALSE);
    vol_ = nullptr;
    const u32 flushed = writable_ ? range_->disk->Flush() : 0;
    if (r != 0) return range_->lastError ? range_->lastError : err::kDiskCorrupt;
    return flushed;
}

u32 NtfsVolume::MakeWritable() {
    if (!vol_) return err::kNotReady;
    if (writable_) return 0;
    ntfs_umount(vol_, FALSE);
    vol_ = MountRange(range_.get(), true);
    if (vol_) {
        writable_ = true;
        return 0;
    }
    const int e = errno;
    // The read-write mount checks the journal and the hibernation file
    // again: a read the disk failed there is the cause.
    const u32 failedRead = range_->lastError;
    // Keep the volume readable even when it cannot be written.
    vol_ = MountRange(range_.get(), false);
    if (failedRead) return failedRead;
    return e == EROFS || e == EPERM ? err::kWriteProtect : ErrnoCode(e);
}

u32 NtfsVolume::Disk(u32 result) const {
    return range_->lastError != 0 ? range_->lastError : result;
}

u32 NtfsVolume::Finish(u32 result) {
    result = Disk(result);
    // The library has written its records by now; make them durable.
    const u32 flushed = range_->disk->Flush();
    return result ? result : flushed;
}

u32 NtfsVolume::DriveType() const { return kDriveFixed; }

namespace {

// Opens the inode at `path` (the root for an empty path). Returns 0, 2 when
// the last component is missing, 3 when a folder on the way is.
u32 OpenPath(ntfs_volume* vol, const PathParts& path, size_t count, InodeRef* out) {
    InodeRef ni(ntfs_inode_open(vol, FILE_root));
    if (!ni.ni) return ErrnoCode(errno);
    for (size_t i = 0; i < count; ++i) {
        const bool last = i + 1 == count;
        if (!IsDirectory(ni.ni)) return last ? err::kFileNotFound : err::kPathNotFound;
        UName name(path[i]);
        if (!name.ok()) return err::kInvalidName;
        const u64 mref = ntfs_inode_lookup_by_name(ni.ni, name.text, name.length);
        if (mref == static_cast<u64>(-1)) return last ? err::kFileNotFound : err::kPathNotFound;
        ntfs_inode* next = ntfs_inode_open(vol, MREF(mref));
        if (!next) return ErrnoCode(errno);
        ni.reset(next);
    }
    out->reset(ni.release());
    return 0;
}

u32 ReadData(ntfs_inode* ni, std::string* data) {
    ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
    if (!na) {
        data->clear();
        return errno == ENOENT ? 0 : ErrnoCode(errno);
    }
    if (na->data_flags & ATTR_IS_ENCRYPTED) {
        ntfs_attr_close(na);
        return err::kAccessDenied;
    }
    data->assign(static_cast<size_t>(na->data_size), '\0');
    s64 done = 0;
    while (done < na->data_size) {
        const s64 n = ntfs_attr_pread(na, done, na->data_size - done, &(*data)[done]);
        if (n <= 0) {
            ntfs_attr_close(na);
            return err::kDiskCorrupt;
        }
        done += n;
    }
    ntfs_attr_close(na);
    return 0;
}

u32 WriteData(ntfs_inode* ni, const std::string& data) {
    ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
    if (!na) {
        if (ntfs_attr_add(ni, AT_DATA, AT_UNNAMED, 0, nullptr, 0)) return ErrnoCode(errno);
        na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
        if (!na) return ErrnoCode(errno);
    }
    if (na->data_flags & ATTR_IS_ENCRYPTED) {
        ntfs_attr_close(na);
        return err::kAccessDenied;
    }
    // Compressed data is rewritten from the start; plain data is overwritten
    // and then cut to its new length.
    if (na->data_flags & ATTR_COMPRESSION_MASK) {
        if (ntfs_attr_truncate(na, 0)) {
            const int e = errno;
            ntfs_attr_close(na);
            return ErrnoCode(e);
        }
        // Reopened empty, the stream keeps the file's compression.
        ntfs_attr_close(na);
        na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
        if (!na) return ErrnoCode(errno);
    }
    s64 done = 0;
    const s64 size = static_cast<s64>(data.size());
    while (done < size) {
        const s64 n = ntfs_attr_pwrite(na, done, size - done, data.data() + done);
        if (n <= 0) {
            const int e = errno;
            ntfs_attr_close(na);
            return ErrnoCode(e ? e : EIO);
        }
        done += n;
    }
    if (na->data_size != size && ntfs_attr_truncate(na, size)) {
        const int e = errno;
        ntfs_attr_close(na);
        return ErrnoCode(e);
    }
    ntfs_attr_close(na);
    ntfs_inode_update_times(ni, static_cast<ntfs_time_update_flags>(NTFS_UPDATE_MCTIME));
    // Windows marks a changed file for backup.
    ni->flags = static_cast<FILE_ATTR_FLAGS>(ni->flags | FILE_ATTR_ARCHIVE);
    NInoFileNameSetDirty(ni);
    NInoSetDirty(ni);
    return 0;
}

// Whether `ni`'s data can be patched in place: a plain stream of a plain
// file. The library rewrites compressed blocks and fills holes in its own
// ways, and an encrypted stream cannot be written at all; those files are
// written whole instead. 0, kNotSupported, or the error opening the stream.
u32 CheckPatchable(ntfs_inode* ni, s64* size) {
    if (ni->flags & (FILE_ATTR_COMPRESSED | FILE_ATTR_ENCRYPTED | FILE_ATTR_SPARSE_FILE))
        return err::kNotSupported;
    ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
    if (!na) return errno == ENOENT ? err::kNotSupported : ErrnoCode(errno);
    const bool plain =
        !(na->data_flags & (ATTR_COMPRESSION_MASK | ATTR_IS_ENCRYPTED | ATTR_IS_SPARSE));
    *size = na->data_size;
    ntfs_attr_close(na);
    return plain ? 0 : err::kNotSupported;
}

// Writes all of `count` bytes at `pos`; 0 or the library's errno.
int WriteAll(ntfs_attr* na, s64 pos, s64 count, const char* bytes) {
    s64 done = 0;
    while (done < count) {
        errno = 0;
        const s64 n = ntfs_attr_pwrite(na, pos + done, count - done, bytes + done);
        if (n <= 0) return errno ? errno : EIO;
        done += n;
    }
    return 0;
}

// Extends the stream with zeros up to `end`, written out rather than left
// as a hole: a file that was not sparse stays so.
int ZeroTo(ntfs_attr* na, s64 end) {
    static const char zeros[64 * 1024] = {};
    while (na->data_size < end) {
        const s64 n = std::min<s64>(end - na->data_size, sizeof zeros);
        if (const int e = WriteAll(na, na->data_size, n, zeros)) return e;
    }
    return 0;
}

// Applies the patches in order and sets the size; 0 or an errno.
int ApplyPatches(ntfs_attr* na, const std::vector<FilePatch>& patches, s64 size) {
    for (const FilePatch& p : patches) {
        if (p.data.empty()) continue;
        const s64 at = static_cast<s64>(p.offset);
        if (const int e = ZeroTo(na, at)) return e;
        if (const int e = WriteAll(na, at, static_cast<s64>(p.data.size()), p.data.data()))
            return e;
    }
    if (na->data_size < size) return ZeroTo(na, size);
    if (na->data_size > size && ntfs_attr_truncate(na, size)) return errno ? errno : EIO;
    return 0;
}

// A security descriptor inherited from `dir` the way Windows does it, as a
// security id of $Secure; 0 when none can be made (the library then gives
// the file a default descriptor).
le32 InheritedSecurityId(ntfs_volume* vol, ntfs_inode* dir, bool folder) {
    PERMISSIONS_CACHE* cache = nullptr;
    SECURITY_CONTEXT scx;
    std::memset(&scx, 0, sizeof scx);
    scx.vol = vol;
    scx.pseccache = &cache;
    const le32 id = vol->secure_ni ? ntfs_inherited_id(&scx, dir, folder ? TRUE : FALSE) : 0;
    ntfs_destroy_security_context(&scx);
    return id;
}

}  // namespace

u32 NtfsVolume::Stat(const PathParts& path, NodeInfo* info) {
    if (!vol_) return err::kNotReady;
    // Each call answers for its own reads: one the disk failed is the
    // call's failure, whatever the library made of it (a name not found, a
    // damaged record).
    range_->lastError = 0;
    InodeRef ni;
    if (const u32 e = OpenPath(vol_, path, path.size(), &ni)) return Disk(e);
    info->directory = IsDirectory(ni.ni);
    info->attributes = le32_to_cpu(ni.ni->flags) & 0xFFFF;
    info->size = 0;
    if (info->directory) {
        info->attributes |= kFileAttributeDirectory;
    } else if (ntfs_attr* na = ntfs_attr_open(ni.ni, AT_DATA, AT_UNNAMED, 0)) {
        info->size = static_cast<u64>(na->data_size);
        ntfs_attr_close(na);
    }
    if (info->attributes == 0) info->attributes = kFileAttributeNormal;
    return Disk(0);
}

u32 NtfsVolume::ReadFile(const PathParts& path, std::string* data) {
    if (!vol_) return err::kNotReady;
    range_->lastError = 0;
    InodeRef ni;
    if (const u32 e = OpenPath(vol_, path, path.size(), &ni)) return Disk(e);
    if (IsDirectory(ni.ni)) return err::kAccessDenied;
    return Disk(ReadData(ni.ni, data));
}

u32 NtfsVolume::ReadRange(const PathParts& path, u64 offset, size_t length, std::string* data) {
    if (!vol_) return err::kNotReady;
    range_->lastError = 0;
    InodeRef ni;
    if (const u32 e = OpenPath(vol_, path, path.size(), &ni)) return Disk(e);
    if (IsDirectory(ni.ni)) return err::kAccessDenied;
    ntfs_attr* na = ntfs_attr_open(ni.ni, AT_DATA, AT_UNNAMED, 0);
    if (!na) {
        data->clear();
        return Disk(errno == ENOENT ? 0 : ErrnoCode(errno));
    }
    if (na->data_flags & ATTR_IS_ENCRYPTED) {
        ntfs_attr_close(na);
        return err::kAccessDenied;
    }
    const u64 size = static_cast<u64>(na->data_size);
    const u64 count = offset >= size ? 0 : std::min<u64>(length, size - offset);
    // The buffer is reused from call to call: no new allocation per range.
    data->resize(static_cast<size_t>(count));
    u64 done = 0;
    while (done < count) {
        const s64 n = ntfs_attr_pread(na, static_cast<s64>(offset + done),
                                      static_cast<s64>(count - done), &(*data)[done]);
        if (n <= 0) {
            ntfs_attr_close(na);
            data->clear();
            return Disk(err::kDiskCorrupt);
        }
        done += static_cast<u64>(n);
    }
    ntfs_attr_close(na);
    return Disk(0);
}

u32 NtfsVolume::WriteFile(const PathParts& path, const std::string& data) {
    if (!vol_) return err::kNotReady;
    range_->lastError = 0;
    if (path.empty()) return err::kAccessDenied;
    // Refuse what would fail before changing the mount.
    InodeRef dir;
    if (const u32 e = OpenPath(vol_, path, path.size() - 1, &dir))
        return Disk(e == err::kFileNotFound ? err::kPathNotFound : e);
    if (!IsDirectory(dir.ni)) return err::kPathNotFound;
    UName name(path.back());
    if (!name.ok()) return err::kInvalidName;
    const u64 existing = ntfs_inode_lookup_by_name(dir.ni, name.text, name.length);
    if (existing != static_cast<u64>(-1)) {
        InodeRef ni(ntfs_inode_open(vol_, MREF(existing)));
        if (!ni.ni) return ErrnoCode(errno);
        if (IsDirectory(ni.ni) || (ni.ni->flags & FILE_ATTR_READONLY)) return err::kAccessDenied;
    }
    dir.reset(nullptr);

    if (const u32 e = MakeWritable()) return Disk(e);
    if (const u32 e = OpenPath(vol_, path, path.size() - 1, &dir)) return Finish(e);

    if (existing != static_cast<u64>(-1)) {
        const u64 mref = ntfs_inode_lookup_by_name(dir.ni, name.text, name.length);
        if (mref == static_cast<u64>(-1)) return Finish(err::kFileNotFound);
        // The folder's index is updated through its own inode when the
        // file's names change; no stale copy of it may stay open.
        dir.reset(nullptr);
        InodeRef ni(ntfs_inode_open(vol_, MREF(mref)));
        if (!ni.ni) return Finish(ErrnoCode(errno));
        Changing(ni.ni->mft_no);
        const u32 e = WriteData(ni.ni, data);
        if (ntfs_inode_close(ni.release()) && !e) return Finish(ErrnoCode(errno));
        return Finish(e);
    }

    return Finish(CreateNode(dir.release(), path.back(), false, data));
}

u32 NtfsVolume::PatchFile(const PathParts& path, const std::vector<FilePatch>& patches, u64 size) {
    if (!vol_) return err::kNotReady;
    range_->lastError = 0;
    if (path.empty()) return err::kAccessDenied;
    constexpr u64 kLimit = static_cast<u64>(INT64_MAX);
    bool changes = false;
    for (const FilePatch& p : patches) {
        if (p.offset > kLimit || p.data.size() > kLimit - p.offset) return err::kInvalidParameter;
        changes = changes || !p.data.empty();
    }
    if (size > kLimit) return err::kInvalidParameter;
    // Refuse what would fail, and what must be written whole, before
    // changing the mount.
    {
        InodeRef ni;
        if (const u32 e = OpenPath(vol_, path, path.size(), &ni)) return Disk(e);
        if (IsDirectory(ni.ni) || (ni.ni->flags & FILE_ATTR_READONLY)) return err::kAccessDenied;
        s64 current = 0;
        if (const u32 e = CheckPatchable(ni.ni, &current)) return Disk(e);
        if (!changes && static_cast<u64>(current) == size) return 0;
    }

    if (const u32 e = MakeWritable()) return Disk(e);
    InodeRef ni;
    if (const u32 e = OpenPath(vol_, path, path.size(), &ni)) return Finish(e);
    s64 current = 0;
    if (const u32 e = CheckPatchable(ni.ni, &current)) return Finish(e);
    Changing(ni.ni->mft_no);
    ntfs_attr* na = ntfs_attr_open(ni.ni, AT_DATA, AT_UNNAMED, 0);
    if (!na) return Finish(ErrnoCode(errno));
    const int failed = ApplyPatches(na, patches, static_cast<s64>(size));
    ntfs_attr_close(na);
    // Whatever was written is recorded, even when a later write failed.
    ntfs_inode_update_times(ni.ni, static_cast<ntfs_time_update_flags>(NTFS_UPDATE_MCTIME));
    ni.ni->flags = static_cast<FILE_ATTR_FLAGS>(ni.ni->flags | FILE_ATTR_ARCHIVE);
    NInoFileNameSetDirty(ni.ni);
    NInoSetDirty(ni.ni);
    const bool closeFailed = ntfs_inode_close(ni.release()) != 0;
    const int closeErrno = errno;
    if (failed) return Finish(ErrnoCode(failed));
    return Finish(closeFailed ? ErrnoCode(closeErrno) : 0);
}

u32 NtfsVolume::CreateFolder(const PathParts& path) {
    if (!vol_) return err::kNotReady;
    range_->lastError = 0;
    if (path.empty()) return err::kAlreadyExists;
    {
        InodeRef probe;
        const u32 e = Disk(OpenPath(vol_, path, path.size(), &probe));
        if (e == 0) return err::kAlreadyExists;
        if (e != err::kFileNotFound) return Disk(e);
    }
    if (const u32 e = MakeWritable()) return Disk(e);
    InodeRef dir;
    if (const u32 e = OpenPath(vol_, path, path.size() - 1, &dir)) return Finish(e);
    return Finish(CreateNode(dir.release(), path.back(), true, std::string()));
}

// Makes a file or folder in `dir` (which it closes) as Windows makes one: a
// security descriptor inherited from the folder, a Win32 long name and a DOS
// short name.
u32 NtfsVolume::CreateNode(_ntfs_inode* dirNode, const std::wstring& longName, bool folder,
                           const std::string& data) {
    InodeRef dir(dirNode);
    UName name(longName);
    if (!name.ok()) return err::kInvalidName;
    const le32 securityId = InheritedSecurityId(vol_, dir.ni, folder);
    ntfs_inode* ni = ntfs_create(dir.ni, securityId, name.text, static_cast<u8>(name.length),
                                 folder ? S_IFDIR : S_IFREG);
    if (!ni) return ErrnoCode(errno);
    Changing(ni->mft_no);
    if (!folder) {
        if (const u32 e = WriteData(ni, data)) {
            // Leave no half-written file behind.
            ntfs_delete(vol_, nullptr, ni, dir.release(), name.text, static_cast<u8>(name.length));
            return Disk(e);
        }
    }
    std::wstring shortName = longName;
    if (IsShortNameLegal(shortName)) {
        for (auto& c : shortName) c = static_cast<wchar_t>(std::towupper(c));
    } else {
        ntfs_inode* d = dir.ni;
        shortName = MakeShortName(longName, [d](const std::wstring& candidate) {
            UName u(candidate);
            return !u.ok() ||
                   ntfs_inode_lookup_by_name(d, u.text, u.length) != static_cast<u64>(-1);
        });
    }
    if (shortName.empty()) {
        // Every short form is taken: the node keeps its long name only. Its
        // index entry is brought up to date through the folder that is still
        // open; a second copy of the folder would not see the new entry.
        return ntfs_inode_close_in_dir(ni, dir.ni) ? ErrnoCode(errno) : 0;
    }
    const std::string shortUtf8 = ToUtf8(shortName);
    // The library closes both inodes here.
    const int r = ntfs_set_ntfs_dos_name(ni, dir.release(), shortUtf8.data(), shortUtf8.size(), 0);
    return r ? ErrnoCode(errno) : 0;
}

u32 NtfsVolume::DeleteFile(const PathParts& path) {
    if (!vol_) return err::kNotReady;
    range_->lastError = 0;
    if (path.empty()) return err::kAccessDenied;
    {
        InodeRef ni;
        if (const u32 e = OpenPath(vol_, path, path.size(), &ni)) return Disk(e);
        if (IsDirectory(ni.ni) || (ni.ni->flags & FILE_ATTR_READONLY)) return err::kAccessDenied;
    }
    if (const u32 e = MakeWritable()) return Disk(e);
    InodeRef dir;
    InodeRef ni;
    if (const u32 e = OpenPath(vol_, path, path.size() - 1, &dir)) return Finish(e);
    if (const u32 e = OpenPath(vol_, path, path.size(), &ni)) return Finish(e);
    std::vector<ntfschar> stored;
    if (!StoredName(ni.ni, dir.ni->mft_no, &stored)) return Finish(err::kFileNotFound);
    Changing(ni.ni->mft_no);
    // ntfs_delete closes both inodes, and removes the short name with the long.
    const int r = ntfs_delete(vol_, nullptr, ni.release(), dir.release(), stored.data(),
                              static_cast<u8>(stored.size()));
    return Finish(r ? ErrnoCode(errno) : 0);
}

u32 NtfsVolume::SetAttributes(const PathParts& path, u32 attributes) {
    if (!vol_) return err::kNotReady;
    range_->lastError = 0;
    {
        InodeRef probe;
        if (const u32 e = OpenPath(vol_, path, path.size(), &probe)) return Disk(e);
        if ((le32_to_cpu(probe.ni->flags) & kSettableAttributes) ==
            (attributes & kSettableAttributes))
            return 0;
    }
    if (const u32 e = MakeWritable()) return Disk(e);
    InodeRef ni;
    if (const u32 e = OpenPath(vol_, path, path.size(), &ni)) return Finish(e);
    ni.ni->flags = static_cast<FILE_ATTR_FLAGS>(cpu_to_le32(
        (le32_to_cpu(ni.ni->flags) & ~kSettableAttributes) | (attributes & kSettableAttributes)));
    ntfs_inode_update_times(ni.ni, NTFS_UPDATE_CTIME);
    NInoFileNameSetDirty(ni.ni);
    NInoSetDirty(ni.ni);
    return Finish(ntfs_inode_close(ni.release()) ? ErrnoCode(errno) : 0);
}

u32 NtfsVolume::SetUncompressed(const PathParts& path) {
    if (!vol_) return err::kNotReady;
    range_->lastError = 0;
    bool compressed = false;
    {
        InodeRef ni;
        if (const u32 e = OpenPath(vol_, path, path.size(), &ni)) return Disk(e);
        compressed = (ni.ni->flags & FILE_ATTR_COMPRESSED) != 0;
        if (!IsDirectory(ni.ni)) {
            if (ntfs_attr* na = ntfs_attr_open(ni.ni, AT_DATA, AT_UNNAMED, 0)) {
                compressed = compressed || (na->data_flags & ATTR_COMPRESSION_MASK);
                ntfs_attr_close(na);
            }
        }
    }
    if (!compressed) return 0;
    if (const u32 e = MakeWritable()) return Disk(e);
    InodeRef ni;
    if (const u32 e = OpenPath(vol_, path, path.size(), &ni)) return Finish(e);
    if (IsDirectory(ni.ni)) {
        // A folder only holds the default for new files.
        const u32 flags = le32_to_cpu(ni.ni->flags) & ~0x800u;
        const int r =
            ntfs_set_ntfs_attrib(ni.ni, reinterpret_cast<const char*>(&flags), sizeof flags, 0);
        return Finish(r ? ErrnoCode(errno) : 0);
    }
    // The library decides a stream's compression only while it is empty:
    // take the data out, empty the stream, put the data back uncompressed.
    std::string data;
    if (const u32 e = ReadData(ni.ni, &data)) return Finish(e);
    Changing(ni.ni->mft_no);
    ni.ni->flags = static_cast<FILE_ATTR_FLAGS>(ni.ni->flags & ~FILE_ATTR_COMPRESSED);
    NInoFileNameSetDirty(ni.ni);
    NInoSetDirty(ni.ni);
    ntfs_attr* na = ntfs_attr_open(ni.ni, AT_DATA, AT_UNNAMED, 0);
    if (!na) return Finish(ErrnoCode(errno));
    const int cut = ntfs_attr_truncate(na, 0);
    const int cutErrno = errno;
    ntfs_attr_close(na);
    if (cut) return Finish(ErrnoCode(cutErrno));
    const u32 e = WriteData(ni.ni, data);
    // The library copies the stream's old state back into the file's
    // attributes while it works; the file is plain now.
    ni.ni->flags = static_cast<FILE_ATTR_FLAGS>(ni.ni->flags & ~FILE_ATTR_COMPRESSED);
    NInoFileNameSetDirty(ni.ni);
    NInoSetDirty(ni.ni);
    if (ntfs_inode_close(ni.release()) && !e) return Finish(ErrnoCode(errno));
    return Finish(e);
}

bool NtfsVolume::SameAsNewFile(const PathParts& path) {
    if (!vol_ || path.empty()) return false;
    range_->lastError = 0;
    InodeRef dir;
    InodeRef ni;
    if (OpenPath(vol_, path, path.size() - 1, &dir) || OpenPath(vol_, path, path.size(), &ni))
        return false;
    if (IsDirectory(ni.ni) || ni.ni->nr_extents != 0) return false;
    // A new file's attributes: marked for backup, nothing else.
    if ((le32_to_cpu(ni.ni->flags) & 0xFFFF) != FILE_ATTR_ARCHIVE) return false;
    const std::wstring& name = path.back();
    std::wstring upper = name;
    for (auto& c : upper) c = static_cast<wchar_t>(std::towupper(c));
    const bool legal = IsShortNameLegal(name);
    // Its record holds what CreateNode gives a file and nothing more: the
    // standard information, the names in this folder only, one unnamed
    // plain data stream.
    ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(ni.ni, nullptr);
    if (!ctx) return false;
    bool same = true;
    bool longSeen = false;
    int streams = 0;
    while (same && !ntfs_attr_lookup(AT_UNUSED, nullptr, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx)) {
        const ATTR_TYPES type = ctx->attr->type;
        if (type == AT_STANDARD_INFORMATION) continue;
        if (type == AT_DATA) {
            same =
                ctx->attr->name_length == 0 &&
                !(ctx->attr->flags & (ATTR_COMPRESSION_MASK | ATTR_IS_ENCRYPTED | ATTR_IS_SPARSE));
            ++streams;
            continue;
        }
        if (type != AT_FILE_NAME || ctx->attr->non_resident) {
            same = false;
            continue;
        }
        const auto* fn = reinterpret_cast<const FILE_NAME_ATTR*>(
            reinterpret_cast<const u8*>(ctx->attr) + le16_to_cpu(ctx->attr->value_offset));
        std::vector<ntfschar> stored(fn->file_name_length);
        std::memcpy(stored.data(),
                    reinterpret_cast<const u8*>(fn) + offsetof(FILE_NAME_ATTR, file_name),
                    stored.size() * sizeof(ntfschar));
        std::wstring text;
        for (ntfschar c : stored) text.push_back(static_cast<wchar_t>(le16_to_cpu(c)));
        if (MREF_LE(fn->parent_directory) != dir.ni->mft_no) {
            same = false;
        } else if (fn->file_name_type == FILE_NAME_DOS) {
            // A legal 8.3 name gets its upper-case form; any other keeps its
            // short name as Windows keeps it for a name made again.
            same = !legal || text == upper;
        } else {
            // A legal 8.3 name is one name serving both, as the library
            // stores a short name that differs from the long in case only.
            same = !longSeen && text == name &&
                   (fn->file_name_type == FILE_NAME_WIN32 ||
                    (legal && fn->file_name_type == FILE_NAME_WIN32_AND_DOS));
            longSeen = true;
        }
    }
    ntfs_attr_put_search_ctx(ctx);
    return same && longSeen && streams == 1;
}

bool NtfsVolume::FileStamp(const PathParts& path, std::string* stamp) {
    if (!vol_ || path.empty()) return false;
    range_->lastError = 0;
    InodeRef ni;
    if (OpenPath(vol_, path, path.size(), &ni) || IsDirectory(ni.ni)) return false;
    const u64 record = ni.ni->mft_no;
    const auto it = writes_.find(record);
    *stamp = "ntfs:" + std::to_string(mountId_) + ":" + std::to_string(record) + ":" +
             std::to_string(le16_to_cpu(ni.ni->mrec->sequence_number)) + ":" +
             std::to_string(it == writes_.end() ? 0 : it->second);
    return true;
}

}  // namespace morlit::posix
