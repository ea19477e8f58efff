// VHD images over a host file: fixed, dynamic and differencing disks.
//
// On-disk layout. Every multi-byte field is big-endian.
//
// Footer: 512 bytes at the very end of every image; dynamic and differencing
// images keep a copy in sector 0. Very old images end in a 511-byte footer
// (the last reserved byte missing).
//   0x000   8  cookie "conectix"
//   0x008   4  features (bit 1 reserved, always set)
//   0x00C   4  file format version, 0x00010000
//   0x010   8  data offset: where the dynamic header is; all ones when fixed
//   0x018   4  timestamp, seconds since 2000-01-01 00:00:00 UTC
//   0x01C   4  creator application ("win ", "vpc ", "qemu", ...)
//   0x020   4  creator version
//   0x024   4  creator host OS ("Wi2k", "Mac ")
//   0x028   8  original size in bytes
//   0x030   8  current size in bytes: the size of the disk
//   0x038   4  geometry: cylinders (2), heads (1), sectors per track (1)
//   0x03C   4  disk type: 2 fixed, 3 dynamic, 4 differencing
//   0x040   4  checksum
//   0x044  16  unique id
//   0x054   1  saved state
//   0x055 427  reserved, zero
//
// Dynamic header: 1024 bytes at the footer's data offset (dynamic and
// differencing images).
//   0x000   8  cookie "cxsparse"
//   0x008   8  data offset, unused (all ones)
//   0x010   8  table offset: where the block allocation table (BAT) is
//   0x018   4  header version, 0x00010000
//   0x01C   4  max table entries
//   0x020   4  block size in bytes (a power of two; 2 MiB by default)
//   0x024   4  checksum
//   0x028  16  parent unique id
//   0x038   4  parent timestamp
//   0x03C   4  reserved
//   0x040 512  parent unicode name, UTF-16 big-endian, zero padded
//   0x240 192  eight parent locators of 24 bytes each:
//                +0x00 4 platform code ("W2ru" relative, "W2ku" absolute,
//                        both UTF-16 little-endian; "Wi2r"/"Wi2k" ANSI)
//                +0x04 4 data space (sectors; some tools write bytes)
//                +0x08 4 data length in bytes
//                +0x0C 4 reserved
//                +0x10 8 data offset in the file
//   0x300 256  reserved, zero
//
// Checksums (footer and dynamic header): the ones' complement of the sum of
// all bytes of the structure, the checksum field counted as zero.
//
// BAT: max-table-entries big-endian u32 values, the file sector where a block
// starts, or 0xFFFFFFFF for a block not allocated. A block is its sector
// bitmap (one bit per sector, most significant bit first = lowest sector,
// padded to whole sectors) followed by block-size bytes of data. In a
// differencing image a clear bit means "this sector is the parent's".
#include "platform/posix/disk/vhd.h"
#include "platform/posix/disk/errno_map.h"
#include "platform/posix/disk/image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <climits>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/utf8.h"
#include "platform/posix/disk/byte_order.h"

namespace morlit::posix {
namespace {

constexpr u64 kSector = 512;
constexpr u64 kFooterSize = 512;
constexpr u64 kOldFooterSize = 511;
constexpr u64 kHeaderSize = 1024;
constexpr u32 kUnallocated = 0xFFFFFFFFu;
// Dynamic and differencing disks cannot describe more than this.
constexpr u64 kMaxSparseDiskSize = 2040ull << 30;
constexpr u32 kMinBlockSize = 512;
constexpr u32 kMaxBlockSize = 256u << 20;
// More table entries than any sane image has (2040 GB in 32 KiB blocks): a
// bound on the memory a hostile header can make us allocate.
constexpr u64 kMaxUsedEntries = 64ull << 20;
// Parent chains deeper than this are a loop or an attack, not a disk.
constexpr int kMaxChainDepth = 16;
// Bitmaps kept in memory beyond those with unwritten changes.
constexpr size_t kBitmapCacheLimit = 4096;
// New blocks appended by one write, at most: beyond this the data of a long
// write starts going out to disk while the rest is still being copied.
constexpr u64 kMaxRunBytes = 32ull << 20;
constexpr u64 kNoBlock = ~0ull;
// New blocks go to the file in writes of about this size.
constexpr u64 kWriteChunk = 2ull << 20;

// Windows error codes used only here.

// Footer fields.
constexpr size_t kFtCookie = 0x00;
constexpr size_t kFtVersion = 0x0C;
constexpr size_t kFtDataOffset = 0x10;
constexpr size_t kFtCurrentSize = 0x30;
constexpr size_t kFtDiskGeometry = 0x38;
constexpr size_t kFtDiskType = 0x3C;
constexpr size_t kFtChecksum = 0x40;
constexpr size_t kFtUniqueId = 0x44;

// Dynamic header fields.
constexpr size_t kDhCookie = 0x000;
constexpr size_t kDhTableOffset = 0x010;
constexpr size_t kDhVersion = 0x018;
constexpr size_t kDhMaxEntries = 0x01C;
constexpr size_t kDhBlockSize = 0x020;
constexpr size_t kDhChecksum = 0x024;
constexpr size_t kDhParentId = 0x028;
constexpr size_t kDhParentName = 0x040;
constexpr size_t kDhParentNameSize = 512;
constexpr size_t kDhLocators = 0x240;
constexpr size_t kDhLocatorCount = 8;
constexpr size_t kDhLocatorSize = 24;
// Longest locator path we read (32767 UTF-16 units and a terminator).
constexpr u32 kMaxLocatorLength = 65536;

u32 Checksum(const u8* data, size_t size, size_t checksum_at) {
    u32 sum = 0;
    for (size_t i = 0; i < size; ++i) {
        if (i >= checksum_at && i < checksum_at + 4) continue;
        sum += data[i];
    }
    return ~sum;
}

u64 RoundUp(u64 value, u64 unit) { return (value + unit - 1) / unit * unit; }

// Whole-range reads and writes through the image's file layer (which keeps
// the journal); a read past the end of the file is a fault.
u32 ReadAt(ImageFile& file, void* buffer, size_t length, u64 offset) {
    return file.Read(buffer, length, offset);
}

u32 WriteAt(ImageFile& file, const void* buffer, size_t length, u64 offset) {
    return file.Write(buffer, length, offset);
}

bool AllZero(const u8* p, size_t n) {
    // Word-wise: this runs over every byte written to an unallocated block.
    while (n > 0 && (reinterpret_cast<uintptr_t>(p) & 7) != 0) {
        if (*p++ != 0) return false;
        --n;
    }
    for (; n >= 8; p += 8, n -= 8) {
        u64 word;
        std::memcpy(&word, p, 8);
        if (word != 0) return false;
    }
    for (; n > 0; --n) {
        if (*p++ != 0) return false;
    }
    return true;
}

// Sets bits [first, end) of a sector bitmap, whole bytes at a time where it can.
void SetBits(u8* bitmap, u64 first, u64 end) {
    for (; first < end && first % 8 != 0; ++first) bitmap[first / 8] |= u8(0x80u >> (first % 8));
    const u64 bytes = (end - first) / 8;
    std::memset(bitmap + first / 8, 0xFF, bytes);
    for (first += bytes * 8; first < end; ++first) bitmap[first / 8] |= u8(0x80u >> (first % 8));
}

bool BitSet(const u8* bitmap, u64 sector) {
    return (bitmap[sector / 8] & (0x80u >> (sector % 8))) != 0;
}

// A stored UTF-16 path, up to a NUL, as the host path it names: the shared
// encoder joins surrogate pairs and gives back any byte a host name kept.
std::string Utf16ToHostPath(const u8* data, size_t bytes, bool big_endian) {
    std::wstring text;
    for (size_t i = 0; i + 1 < bytes; i += 2) {
        const u32 unit = big_endian ? LoadBe16(data + i) : LoadLe16(data + i);
        if (unit == 0) break;
        text.push_back(static_cast<wchar_t>(unit));
    }
    return HostBytesFromWide(text);
}

// Host paths a Windows path stored in an image may stand for. The parent
// usually sits beside the child, so its file name in the child's folder is
// always a candidate too.
void AddCandidates(std::string path, bool relative, const std::string& child_folder,
                   std::vector<std::string>* out) {
    std::replace(path.begin(), path.end(), '\\', '/');
    if (path.rfind("//?/", 0) == 0 || path.rfind("//./", 0) == 0) path.erase(0, 4);
    if (path.empty()) return;
    const bool has_drive =
        path.size() >= 2 && path[1] == ':' &&
        ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
    auto add = [out](const std::string& candidate) {
        if (std::find(out->begin(), out->end(), candidate) == out->end()) {
            out->push_back(candidate);
        }
    };
    if (has_drive) {
        // Z: is the host's root in this system's drive namespace.
        if ((path[0] == 'Z' || path[0] == 'z') && path.size() > 2 && path[2] == '/') {
            add(path.substr(2));
        }
    } else if (path[0] == '/') {
        add(path);
    } else if (relative || path.find('/') != std::string::npos) {
        std::string rest = path;
        while (rest.rfind("./", 0) == 0) rest.erase(0, 2);
        add(child_folder + "/" + rest);
    }
    const size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (has_drive && slash == std::string::npos) name = path.substr(2);
    if (!name.empty() && name != "." && name != "..") add(child_folder + "/" + name);
}

struct Identity {
    dev_t dev;
    ino_t ino;
};

bool FooterIdentity(const u8* footer, size_t size, ImageIdentity* identity) {
    if (std::memcmp(footer + kFtCookie, "conectix", 8) != 0 ||
        Checksum(footer, size, kFtChecksum) != LoadBe32(footer + kFtChecksum))
        return false;
    std::memcpy(identity->id, footer + kFtUniqueId, 16);
    identity->diskSize = LoadBe64(footer + kFtCurrentSize);
    return true;
}

// The footer at the end names the image; while a dynamic image's footer
// moves to a new end it may be torn there, and the copy in sector 0 (which
// nothing rewrites) still names it. A read that fails is the answer: a fixed
// image has no copy in sector 0, so passing over its footer would name it
// "none".
u32 ProbeIdentity(const ImageReader& read, u64 size, ImageIdentity* identity) {
    *identity = ImageIdentity();
    u8 footer[kFooterSize] = {};
    for (const u64 footer_size : {kFooterSize, kOldFooterSize}) {
        if (size < footer_size) continue;
        if (const u32 e = read(footer, footer_size, size - footer_size)) return e;
        if (FooterIdentity(footer, footer_size, identity)) return err::kSuccess;
    }
    if (size >= kFooterSize) {
        if (const u32 e = read(footer, kFooterSize, 0)) return e;
        FooterIdentity(footer, kFooterSize, identity);
    }
    return err::kSuccess;
}

class VhdFile : public VhdImage {
  public:
    // Flushes; the file layer beneath commits or rolls back afterwards.
    ~VhdFile() override {
        if (file_ && writable_) Flush();
    }

    static std::unique_ptr<VhdImage> Open(const std::string& path, bool writable,
                                          ImageWrites writes, std::vector<Identity>* chain,
                                          u32* error, std::string* reason);
    std::shared_ptr<ImageFile> File() const override { return file_; }

    Type GetType() const override { return type_; }
    const VhdImage* Parent() const override { return parent_.get(); }
    Geometry DiskGeometry() const override {
        return {LoadBe16(footer_ + kFtDiskGeometry), footer_[kFtDiskGeometry + 2],
                footer_[kFtDiskGeometry + 3]};
    }
    u64 Size() const override { return size_; }
    u32 Read(u64 offset, void* buffer, std::size_t length) override;
    u32 Write(u64 offset, const void* buffer, std::size_t length) override;
    u32 Flush() override;

    const u8* UniqueId() const { return footer_ + kFtUniqueId; }

  private:
    u32 Load(const std::string& path, std::vector<Identity>* chain, std::string* reason);
    u32 LoadSparse(std::string* reason);
    u32 FindParent(const std::string& path, const u8* header, std::vector<Identity>* chain,
                   std::string* reason);
    u32 ReadParent(u64 offset, u8* out, u64 length);
    u32 ReadInBlock(u64 block, u64 in_block, u8* out, u64 length);
    u32 WriteInBlock(u64 block, u64 in_block, const u8* data, u64 length);
    u32 AllocateBlocks(u64 first_block, u64 count, u64 in_block, const u8* data, u64 length);
    class Gather;
    using SectorFill = std::function<u32(u64 in_block, u8* sector)>;
    u32 GatherSectors(Gather* gather, u64 block_start, u64 in_block, const u8* data, u64 length,
                      const SectorFill& fill, u8* head, u8* tail);
    void StartWriteback(u64 from, u64 to);
    u32 GetBitmap(u64 block, std::vector<u8>** bitmap);
    void MarkSectors(u64 block, std::vector<u8>* bitmap, u64 first, u64 end);
    u64 BlockStart(u64 block) const { return u64{bat_[block]} * kSector; }

    std::shared_ptr<ImageFile> file_;
    bool writable_ = false;
    Type type_ = Type::kFixed;
    u64 size_ = 0;
    u8 footer_[kFooterSize] = {};
    // Where the footer is, which is where the next block goes.
    u64 data_end_ = 0;
    u64 table_offset_ = 0;
    u32 block_size_ = 0;
    u32 bitmap_bytes_ = 0;
    std::vector<u32> bat_;
    std::unique_ptr<VhdImage> parent_;
    // Metadata changes are written only after the data they describe is on
    // stable storage (in Flush), so a table entry never points at a block
    // that is not there and a bitmap bit never claims a sector not written.
    std::set<u64> dirty_bat_sectors_;
    std::set<u64> dirty_bitmaps_;
    std::unordered_map<u64, std::vector<u8>> bitmaps_;
    bool unsynced_ = false;
};

// A read of the image that failed while it was opened: what was being
// read, and the read in the file's words (which file, where, the system's
// words). Nothing was written yet.
static std::string CannotRead(const ImageFile& file, const char* what, u32 e) {
    const std::string read = file.ReadFailure();
    return std::string(what) +
           " cannot be read: " + (read.empty() ? "error " + std::to_string(e) : read) +
           "; the image was not changed.";
}

// Why a file without a VHD footer is not a VHD image, in the words a user
// can act on: a dynamic image that was cut short still begins with its
// footer's copy, and the other disk formats begin with their own magic.
// A read that fails says nothing about the format: it is its own reason.
static std::string WhyNoFooter(ImageFile& file, u64 file_size, u32* error) {
    const std::string unknown =
        "The file does not end in a VHD footer (not a VHD image, or truncated).";
    char head[512] = {};
    if (const u32 e = ReadAt(file, head, std::min<u64>(sizeof head, file_size), 0)) {
        *error = e;
        return CannotRead(file, "The image file", e);
    }
    if (std::memcmp(head, "conectix", 8) == 0)
        return "The file begins like a dynamic VHD image but does not end in its footer: it is "
               "truncated (an interrupted copy?).";
    struct Format {
        size_t offset;
        const char* magic;
        size_t length;
        const char* name;
    };
    static const Format kFormats[] = {
        {0, "vhdxfile", 8, "a VHDX image"},
        {0, "QFI\xfb", 4, "a qcow2 image"},
        {0, "KDMV", 4, "a VMDK image"},
        {64, "\x7f\x10\xda\xbe", 4, "a VirtualBox (VDI) image"},  // after its text line
    };
    for (const Format& f : kFormats) {
        if (std::memcmp(head + f.offset, f.magic, f.length) == 0)
            return std::string("The file is ") + f.name +
                   ", not a VHD image; convert it first, for instance with "
                   "\"qemu-img convert -O vpc FILE NEW.vhd\".";
    }
    // A partition table: the disk itself, without the footer a fixed VHD
    // appends to it.
    if (file_size >= sizeof head && head[510] == '\x55' && head[511] == '\xaa')
        return "The file holds a partition table but no VHD footer: a raw disk image (convert "
               "it first, for instance with \"qemu-img convert -f raw -O vpc FILE NEW.vhd\"), "
               "or a fixed VHD image cut short.";
    return unknown;
}

std::unique_ptr<VhdImage> VhdFile::Open(const std::string& path, bool writable, ImageWrites writes,
                                        std::vector<Identity>* chain, u32* error,
                                        std::string* reason) {
    auto image = std::unique_ptr<VhdFile>(new VhdFile());
    image->writable_ = writable;
    int e = 0;
    image->file_ = ImageFile::OpenFile(path, writable, writes, &e);
    if (!image->file_) {
        *error = ErrnoToWindows(e, err::kReadFault);
        if (e == ENOENT || e == ENOTDIR) {
            *reason = "The image file \"" + path + "\" does not exist.";
        } else if (e == EISDIR) {
            *reason = "\"" + path + "\" is a folder, not an image file.";
        } else if (*error == err::kAccessDenied) {
            *reason = writable ? "The image file \"" + path + "\" cannot be opened for writing."
                               : "The image file \"" + path + "\" cannot be read.";
        } else {
            *reason = "The image file \"" + path + "\" cannot be opened: " + std::strerror(e) + ".";
        }
        return nullptr;
    }
    *error = image->Load(path, chain, reason);
    if (*error != err::kSuccess) {
        // Nothing was written; closing must not flush anything either.
        image->writable_ = false;
        return nullptr;
    }
    return image;
}

u32 VhdFile::Load(const std::string& path, std::vector<Identity>* chain, std::string* reason) {
    struct stat st;
    if (::fstat(file_->fd(), &st) != 0) {
        *reason = "The image file cannot be examined.";
        return ErrnoToWindows(errno, err::kReadFault);
    }
    if (S_ISDIR(st.st_mode)) {
        *reason = "\"" + path + "\" is a folder, not an image file.";
        return err::kAccessDenied;
    }
    if (!S_ISREG(st.st_mode)) {
        *reason = "\"" + path + "\" is not a regular file.";
        return err::kFileCorrupt;
    }
    for (const Identity& seen : *chain) {
        if (seen.dev == st.st_dev && seen.ino == st.st_ino) {
            *reason = "The differencing image chain refers back to itself.";
            return err::kFileCorrupt;
        }
    }
    chain->push_back({st.st_dev, st.st_ino});
    // Running as root opens anything; a file without any write permission
    // is still read-only to us, as the read-only attribute is on Windows.
    if (writable_ && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
        *reason = "The image file \"" + path + "\" is read-only.";
        return err::kAccessDenied;
    }
    // The lock keeps other runs and programs away; a journal left by a run
    // that died is played back before anything below reads the file.
    if (u32 e = file_->Prepare(ProbeIdentity, reason)) return e;
    if (::fstat(file_->fd(), &st) != 0) {
        *reason = "The image file cannot be examined.";
        return ErrnoToWindows(errno, err::kReadFault);
    }

    const u64 file_size = static_cast<u64>(st.st_size);
    if (file_size < kOldFooterSize) {
        *reason = "The file is too short to be a VHD image.";
        return err::kFileCorrupt;
    }
    u64 footer_size = kFooterSize;
    u8 tail[kFooterSize] = {};
    if (file_size >= kFooterSize) {
        u32 e = ReadAt(*file_, tail, kFooterSize, file_size - kFooterSize);
        if (e != err::kSuccess) {
            *reason = CannotRead(*file_, "The image file", e);
            return e;
        }
    }
    if (file_size < kFooterSize || std::memcmp(tail + kFtCookie, "conectix", 8) != 0) {
        footer_size = kOldFooterSize;
        std::memset(tail, 0, sizeof tail);
        u32 e = ReadAt(*file_, tail, kOldFooterSize, file_size - kOldFooterSize);
        if (e != err::kSuccess) {
            *reason = CannotRead(*file_, "The image file", e);
            return e;
        }
        if (std::memcmp(tail + kFtCookie, "conectix", 8) != 0) {
            u32 error = err::kFileCorrupt;
            *reason = WhyNoFooter(*file_, file_size, &error);
            return error;
        }
    }
    if (Checksum(tail, footer_size, kFtChecksum) != LoadBe32(tail + kFtChecksum)) {
        *reason = "The VHD footer's checksum does not match its contents.";
        return err::kFileCorrupt;
    }
    if ((LoadBe32(tail + kFtVersion) >> 16) != 1) {
        *reason = "The VHD footer has an unknown format version.";
        return err::kFileCorrupt;
    }
    std::memcpy(footer_, tail, sizeof footer_);
    data_end_ = file_size - footer_size;
    size_ = LoadBe64(tail + kFtCurrentSize);
    if (size_ % kSector != 0) {
        *reason = "The VHD footer gives a disk size that is not a whole number of sectors.";
        return err::kFileCorrupt;
    }
    switch (LoadBe32(tail + kFtDiskType)) {
        case 2:
            type_ = Type::kFixed;
            if (size_ > data_end_) {
                *reason = "The fixed image is shorter than its disk size (truncated).";
                return err::kFileCorrupt;
            }
            return err::kSuccess;
        case 3:
            type_ = Type::kDynamic;
            break;
        case 4:
            type_ = Type::kDifferencing;
            break;
        default:
            *reason = "The VHD footer gives an unknown disk type.";
            return err::kFileCorrupt;
    }
    u32 e = LoadSparse(reason);
    if (e != err::kSuccess) return e;
    if (type_ == Type::kDifferencing) {
        u8 header[kHeaderSize];
        e = ReadAt(*file_, header, kHeaderSize, LoadBe64(footer_ + kFtDataOffset));
        if (e != err::kSuccess) {
            *reason = CannotRead(*file_, "The dynamic header", e);
            return e;
        }
        return FindParent(path, header, chain, reason);
    }
    return err::kSuccess;
}

u32 VhdFile::LoadSparse(std::string* reason) {
    if (size_ > kMaxSparseDiskSize) {
        *reason = "The VHD footer gives a disk size beyond 2040 GB, the limit of dynamic disks.";
        return err::kFileCorrupt;
    }
    const u64 header_offset = LoadBe64(footer_ + kFtDataOffset);
    if (header_offset < kFooterSize || header_offset > data_end_ ||
        data_end_ - header_offset < kHeaderSize) {
        *reason = "The VHD footer points at a dynamic header outside the file.";
        return err::kFileCorrupt;
    }
    u8 header[kHeaderSize];
    u32 e = ReadAt(*file_, header, kHeaderSize, header_offset);
    if (e != err::kSuccess) {
        *reason = CannotRead(*file_, "The dynamic header", e);
        return e;
    }
    if (std::memcmp(header + kDhCookie, "cxsparse", 8) != 0) {
        *reason = "The dynamic header is missing.";
        return err::kFileCorrupt;
    }
    if (Checksum(header, kHeaderSize, kDhChecksum) != LoadBe32(header + kDhChecksum)) {
        *reason = "The dynamic header's checksum does not match its contents.";
        return err::kFileCorrupt;
    }
    if ((LoadBe32(header + kDhVersion) >> 16) != 1) {
        *reason = "The dynamic header has an unknown version.";
        return err::kFileCorrupt;
    }
    block_size_ = LoadBe32(header + kDhBlockSize);
    if (block_size_ < kMinBlockSize || block_size_ > kMaxBlockSize ||
        (block_size_ & (block_size_ - 1)) != 0) {
        *reason = "The dynamic header gives an impossible block size (" +
                  std::to_string(block_size_) + " bytes).";
        return err::kFileCorrupt;
    }
    const u64 sectors_per_block = block_size_ / kSector;
    bitmap_bytes_ = static_cast<u32>(RoundUp((sectors_per_block + 7) / 8, kSector));
    const u64 max_entries = LoadBe32(header + kDhMaxEntries);
    const u64 used_entries = (size_ + block_size_ - 1) / block_size_;
    if (max_entries < used_entries) {
        *reason = "The block table has fewer entries than the disk size needs.";
        return err::kFileCorrupt;
    }
    if (used_entries > kMaxUsedEntries) {
        *reason = "The block table is too large for the disk it describes.";
        return err::kFileCorrupt;
    }
    table_offset_ = LoadBe64(header + kDhTableOffset);
    const u64 table_bytes = max_entries * 4;
    if (table_offset_ < kFooterSize || table_offset_ > data_end_ ||
        data_end_ - table_offset_ < table_bytes) {
        *reason = "The block table lies outside the file.";
        return err::kFileCorrupt;
    }
    if (table_offset_ < header_offset + kHeaderSize &&
        header_offset < table_offset_ + table_bytes) {
        *reason = "The block table overlaps the dynamic header.";
        return err::kFileCorrupt;
    }
    std::vector<u8> raw(used_entries * 4);
    e = ReadAt(*file_, raw.data(), raw.size(), table_offset_);
    if (e != err::kSuccess) {
        *reason = CannotRead(*file_, "The block table", e);
        return e;
    }
    bat_.resize(used_entries);
    // Every allocated block must lie wholly inside the file, clear of the
    // metadata and of every other block: a write through an entry that
    // breaks this would destroy something else.
    std::vector<std::pair<u64, u64>> regions;  // [start, end)
    regions.push_back({0, kFooterSize});
    regions.push_back({header_offset, header_offset + kHeaderSize});
    regions.push_back({table_offset_, table_offset_ + table_bytes});
    for (u64 i = 0; i < used_entries; ++i) {
        bat_[i] = LoadBe32(raw.data() + i * 4);
        if (bat_[i] == kUnallocated) continue;
        const u64 start = BlockStart(i);
        const u64 data_needed = std::min<u64>(block_size_, size_ - i * block_size_);
        const u64 length = bitmap_bytes_ + RoundUp(data_needed, kSector);
        if (start > data_end_ || data_end_ - start < length) {
            *reason =
                "Block table entry " + std::to_string(i) + " points beyond the end of the file.";
            return err::kFileCorrupt;
        }
        regions.push_back({start, start + bitmap_bytes_ + block_size_});
    }
    std::sort(regions.begin(), regions.end());
    for (size_t i = 1; i < regions.size(); ++i) {
        if (regions[i].first < regions[i - 1].second) {
            *reason =
                "The block table has entries that overlap each other or the image's metadata.";
            return err::kFileCorrupt;
        }
    }
    return err::kSuccess;
}

u32 VhdFile::FindParent(const std::string& path, const u8* header, std::vector<Identity>* chain,
                        std::string* reason) {
    if (chain->size() > kMaxChainDepth) {
        *reason = "The differencing image chain is too deep.";
        return err::kFileCorrupt;
    }
    const std::string folder = FolderOf(path);
    std::vector<std::string> candidates;
    u32 locator_error = err::kSuccess;
    // Relative locators first: they still hold when both files move together.
    for (const char* wanted : {"W2ru", "W2ku", "Wi2r", "Wi2k"}) {
        for (size_t i = 0; i < kDhLocatorCount; ++i) {
            const u8* loc = header + kDhLocators + i * kDhLocatorSize;
            if (std::memcmp(loc, wanted, 4) != 0) continue;
            const u32 length = LoadBe32(loc + 8);
            const u64 offset = LoadBe64(loc + 16);
            if (length == 0 || length > kMaxLocatorLength || offset > data_end_ ||
                data_end_ - offset < length) {
                continue;  // an unusable locator; others may still work
            }
            std::vector<u8> data(length);
            if (const u32 e = ReadAt(*file_, data.data(), length, offset)) {
                // Other locators may still name the parent; if none does,
                // this failure is the reason.
                if (locator_error == err::kSuccess) locator_error = e;
                continue;
            }
            const bool unicode = wanted[1] == '2';
            const std::string text =
                unicode ? Utf16ToHostPath(data.data(), length, false)
                        : std::string(reinterpret_cast<const char*>(data.data()),
                                      strnlen(reinterpret_cast<const char*>(data.data()), length));
            AddCandidates(text, wanted[3] == 'r', folder, &candidates);
        }
    }
    const std::string name = Utf16ToHostPath(header + kDhParentName, kDhParentNameSize, true);
    AddCandidates(name, false, folder, &candidates);

    const u8* wanted_id = header + kDhParentId;
    std::string mismatch;
    u32 other_error = err::kSuccess;
    std::string other_reason;
    for (const std::string& candidate : candidates) {
        struct stat st;
        if (::stat(candidate.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        u32 error = err::kSuccess;
        std::string why;
        std::vector<Identity> sub_chain = *chain;
        auto parent =
            VhdFile::Open(candidate, false, ImageWrites::kDirect, &sub_chain, &error, &why);
        if (!parent) {
            if (other_error == err::kSuccess) {
                other_error = error;
                other_reason = "The parent image \"" + candidate + "\" cannot be used: " + why;
            }
            continue;
        }
        if (std::memcmp(static_cast<VhdFile*>(parent.get())->UniqueId(), wanted_id, 16) != 0) {
            if (mismatch.empty()) mismatch = candidate;
            continue;
        }
        // What this image reads through its parent, it reads: a failed read
        // of any file below refuses this image's commit as its own would.
        parent->File()->PassFailedReadsTo(file_);
        parent_ = std::move(parent);
        return err::kSuccess;
    }
    if (!mismatch.empty()) {
        *reason = "The parent image \"" + mismatch +
                  "\" is not the one this differencing image was made from (its id differs).";
        return err::kFileCorrupt;
    }
    if (other_error != err::kSuccess) {
        *reason = other_reason;
        return other_error;
    }
    if (locator_error != err::kSuccess) {
        *reason = CannotRead(*file_, "A parent locator of the differencing image", locator_error);
        return locator_error;
    }
    *reason = "The parent of the differencing image (\"" +
              (name.empty() ? std::string("?") : name) + "\") was not found.";
    return err::kPathNotFound;
}

u32 VhdFile::Read(u64 offset, void* buffer, std::size_t length) {
    if (offset > size_ || length > size_ - offset) return err::kInvalidParameter;
    auto* out = static_cast<u8*>(buffer);
    if (type_ == Type::kFixed) return ReadAt(*file_, out, length, offset);
    while (length > 0) {
        const u64 block = offset / block_size_;
        const u64 in_block = offset % block_size_;
        const u64 n = std::min<u64>(length, block_size_ - in_block);
        u32 e;
        if (bat_[block] == kUnallocated) {
            e = ReadParent(offset, out, n);
        } else {
            e = ReadInBlock(block, in_block, out, n);
        }
        if (e != err::kSuccess) return e;
        out += n;
        offset += n;
        length -= n;
    }
    return err::kSuccess;
}

// What a sector not held by this image reads as: the parent's data, or
// zeros (beyond a smaller parent, too).
u32 VhdFile::ReadParent(u64 offset, u8* out, u64 length) {
    u64 from_parent = 0;
    if (parent_ && offset < parent_->Size()) {
        from_parent = std::min(length, parent_->Size() - offset);
        u32 e = parent_->Read(offset, out, from_parent);
        if (e != err::kSuccess) return e;
    }
    std::memset(out + from_parent, 0, length - from_parent);
    return err::kSuccess;
}

u32 VhdFile::ReadInBlock(u64 block, u64 in_block, u8* out, u64 length) {
    const u64 data = BlockStart(block) + bitmap_bytes_;
    // The bitmap of a dynamic image only says which sectors were ever
    // written; unwritten ones hold zeros there, so the data can be read as is.
    if (type_ == Type::kDynamic) return ReadAt(*file_, out, length, data + in_block);
    std::vector<u8>* bitmap;
    u32 e = GetBitmap(block, &bitmap);
    if (e != err::kSuccess) return e;
    const u64 block_base = block * block_size_;
    u64 pos = in_block;
    const u64 end = in_block + length;
    while (pos < end) {
        const bool present = BitSet(bitmap->data(), pos / kSector);
        u64 run_end = (pos / kSector + 1) * kSector;
        while (run_end < end && BitSet(bitmap->data(), run_end / kSector) == present) {
            run_end += kSector;
        }
        run_end = std::min(run_end, end);
        u8* dest = out + (pos - in_block);
        e = present ? ReadAt(*file_, dest, run_end - pos, data + pos)
                    : ReadParent(block_base + pos, dest, run_end - pos);
        if (e != err::kSuccess) return e;
        pos = run_end;
    }
    return err::kSuccess;
}

u32 VhdFile::GetBitmap(u64 block, std::vector<u8>** bitmap) {
    auto it = bitmaps_.find(block);
    if (it != bitmaps_.end()) {
        *bitmap = &it->second;
        return err::kSuccess;
    }
    if (bitmaps_.size() >= kBitmapCacheLimit) {
        for (auto drop = bitmaps_.begin(); drop != bitmaps_.end();) {
            drop = dirty_bitmaps_.count(drop->first) ? std::next(drop) : bitmaps_.erase(drop);
        }
    }
    std::vector<u8> loaded(bitmap_bytes_);
    u32 e = ReadAt(*file_, loaded.data(), loaded.size(), BlockStart(block));
    if (e != err::kSuccess) return e;
    *bitmap = &(bitmaps_[block] = std::move(loaded));
    return err::kSuccess;
}

void VhdFile::MarkSectors(u64 block, std::vector<u8>* bitmap, u64 first, u64 end) {
    bool changed = false;
    for (u64 s = first; s < end; ++s) {
        u8& byte = (*bitmap)[s / 8];
        const u8 bit = static_cast<u8>(0x80u >> (s % 8));
        if ((byte & bit) == 0) {
            byte |= bit;
            changed = true;
        }
    }
    if (changed) dirty_bitmaps_.insert(block);
}

u32 VhdFile::Write(u64 offset, const void* buffer, std::size_t length) {
    if (!writable_) return err::kAccessDenied;
    if (offset > size_ || length > size_ - offset) return err::kInvalidParameter;
    const auto* in = static_cast<const u8*>(buffer);
    if (length == 0) return err::kSuccess;
    unsynced_ = true;
    if (type_ == Type::kFixed) return WriteAt(*file_, in, length, offset);
    // A block of zeros found while extending a run of new blocks, so that it
    // is not scanned a second time.
    u64 zero_block = kNoBlock;
    while (length > 0) {
        const u64 block = offset / block_size_;
        const u64 in_block = offset % block_size_;
        const u64 n = std::min<u64>(length, block_size_ - in_block);
        u32 e = err::kSuccess;
        u64 done = n;
        if (bat_[block] != kUnallocated) {
            e = WriteInBlock(block, in_block, in, n);
            if (e == err::kSuccess && n == block_size_) {
                // A whole block written at once is bulk data: start writing
                // it out now, so a later Flush has less to wait for.
                StartWriteback(BlockStart(block), BlockStart(block) + bitmap_bytes_ + block_size_);
            }
        } else if (type_ == Type::kDifferencing || (block != zero_block && !AllZero(in, n))) {
            // Zeros need no block in a dynamic image: it reads them already.
            // Blocks that follow, also new and not all zeros, are appended
            // together: one footer move and one write for the whole run.
            u64 count = 1;
            while (in_block + done == u64{block_size_} * count && done < length &&
                   done < kMaxRunBytes) {
                const u64 next = block + count;
                const u64 more = std::min<u64>(length - done, block_size_);
                if (bat_[next] != kUnallocated) break;
                if (type_ == Type::kDynamic && AllZero(in + done, more)) {
                    zero_block = next;
                    break;
                }
                done += more;
                ++count;
            }
            e = AllocateBlocks(block, count, in_block, in, done);
        }
        if (e != err::kSuccess) return e;
        in += done;
        offset += done;
        length -= done;
    }
    return err::kSuccess;
}

// Asks the kernel to start writing [from, to) of the file out, without
// waiting. The range is cut to whole pages inside it: the page holding its
// end also holds the footer, which the next allocation overwrites, and a
// page under writeback can make that write wait.
void VhdFile::StartWriteback(u64 from, u64 to) {
    constexpr u64 kPage = 4096;
    from = from / kPage * kPage;
    to = to / kPage * kPage;
    if (to > from) {
        ::sync_file_range(file_->fd(), static_cast<off_t>(from), static_cast<off_t>(to - from),
                          SYNC_FILE_RANGE_WRITE);
    }
}

// Pieces of one or more writes, each at its file offset; pieces that follow
// each other in the file go out in one call. The caller's buffers are
// written as they stand, so large writes cost no copy.
class VhdFile::Gather {
  public:
    explicit Gather(ImageFile& file) : file_(file) {}
    void Add(u64 at, const u8* data, u64 length) {
        if (length == 0) return;
        if (runs_.empty() || runs_.back().end != at) runs_.push_back({at, at, {}});
        runs_.back().parts.push_back({const_cast<u8*>(data), static_cast<size_t>(length)});
        runs_.back().end = at + length;
    }
    void Clear() { runs_.clear(); }
    u32 Write() {
        for (const Run& run : runs_) {
            u32 e = file_.WriteVec(run.parts, run.start);
            if (e != err::kSuccess) return e;
        }
        return err::kSuccess;
    }

  private:
    struct Run {
        u64 start, end;
        std::vector<iovec> parts;
    };
    ImageFile& file_;
    std::vector<Run> runs_;
};

// Adds `length` bytes at `in_block` into the data of a block starting at
// file offset `block_start`, in whole sectors: a sector the write covers only
// in part is first read whole through `fill` (what the disk holds there now)
// into `head` or `tail`, which must stay alive until the gather is written.
u32 VhdFile::GatherSectors(Gather* gather, u64 block_start, u64 in_block, const u8* data,
                           u64 length, const SectorFill& fill, u8* head, u8* tail) {
    const u64 first = in_block / kSector;
    const u64 end = (in_block + length + kSector - 1) / kSector;
    const u64 at = block_start + bitmap_bytes_ + first * kSector;
    u64 done = 0;
    const u64 head_skip = in_block % kSector;
    if (head_skip != 0 || length < kSector) {
        u32 e = fill(first * kSector, head);
        if (e != err::kSuccess) return e;
        done = std::min<u64>(length, kSector - head_skip);
        std::memcpy(head + head_skip, data, done);
        gather->Add(at, head, kSector);
    }
    const u64 whole = (length - done) / kSector * kSector;
    gather->Add(at + (done == 0 ? 0 : kSector), data + done, whole);
    done += whole;
    if (done < length) {
        u32 e = fill((end - 1) * kSector, tail);
        if (e != err::kSuccess) return e;
        std::memcpy(tail, data + done, length - done);
        gather->Add(block_start + bitmap_bytes_ + (end - 1) * kSector, tail, kSector);
    }
    return err::kSuccess;
}

u32 VhdFile::WriteInBlock(u64 block, u64 in_block, const u8* data, u64 length) {
    std::vector<u8>* bitmap;
    u32 e = GetBitmap(block, &bitmap);
    if (e != err::kSuccess) return e;
    const u64 first = in_block / kSector;
    const u64 end = (in_block + length + kSector - 1) / kSector;
    if (type_ == Type::kDifferencing) {
        // A sector still held by the parent cannot be written in part: the
        // rest of it comes along from the parent, or it would read as zeros.
        Gather gather(*file_);
        u8 head[kSector], tail[kSector];
        e = GatherSectors(
            &gather, BlockStart(block), in_block, data, length,
            [&](u64 at, u8* sector) { return ReadInBlock(block, at, sector, kSector); }, head,
            tail);
        if (e == err::kSuccess) e = gather.Write();
    } else {
        e = WriteAt(*file_, data, length, BlockStart(block) + bitmap_bytes_ + in_block);
    }
    if (e != err::kSuccess) return e;
    MarkSectors(block, bitmap, first, end);
    return err::kSuccess;
}

// Appends `count` new blocks for blocks first_block.. at the end of the
// file and writes `length` bytes into them, starting `in_block` bytes into
// the first. Only the first block can start part way and only the last can
// end part way; the blocks between are written whole.
//
// The order keeps the file ending in a valid footer at every moment, so a
// process that dies anywhere in here leaves an image that opens and reads as
// before:
//  1. The footer goes to the new end of the whole run first. From then on
//     the file ends in a footer, and the old footer and everything between
//     is space no table entry points at.
//  2. The blocks (bitmaps and data) go over that space, the old footer
//     included, in file order and in writes of a few MiB. A death part way
//     leaves unreferenced space behind a valid footer: the same state as a
//     death after step 1, only with some of the space filled.
//  3. The table entries (and nothing else) change only in Flush, after the
//     blocks are on stable storage, so a table entry never points at a
//     block that is not there.
// One footer move for the whole run is as safe as one a block: a footer
// between two blocks would be overwritten by the next block without any
// table entry ever pointing past it, and no entry changes before Flush.
u32 VhdFile::AllocateBlocks(u64 first_block, u64 count, u64 in_block, const u8* data, u64 length) {
    const u64 start = RoundUp(data_end_, kSector);
    const u64 stride = u64{bitmap_bytes_} + block_size_;
    const u64 new_end = start + count * stride;
    if ((new_end - stride) / kSector >= kUnallocated) return err::kDiskFull;

    // A failed write leaves the old footer in place. The image file keeps
    // the failure and refuses every later change, truncation included, and
    // the run that made it rolls the image back.
    u32 e = WriteAt(*file_, footer_, kFooterSize, new_end);
    if (e != err::kSuccess) return e;
    data_end_ = new_end;

    // A bitmap covers what this write puts in its block; sectors beyond
    // stay clear (zeros in a dynamic image, the parent's in a differencing
    // one) and their file space is never written: it reads as zeros.
    std::vector<std::vector<u8>> bitmaps(count);
    Gather gather(*file_);
    // Partial sectors: the first block's (head and tail) and the last's.
    // Blocks between are whole.
    u8 partial[4][kSector];
    u64 pos = in_block;
    u64 left = length;
    const u8* in = data;
    u64 chunk_start = start, chunk_bytes = 0;
    bool chunk_has_whole_block = false;
    for (u64 i = 0; i < count; ++i) {
        const u64 block = first_block + i;
        const u64 block_start = start + i * stride;
        const u64 n = std::min<u64>(left, block_size_ - pos);
        const u64 first = pos / kSector;
        const u64 end = (pos + n + kSector - 1) / kSector;
        std::vector<u8>& bitmap = bitmaps[i];
        bitmap.assign(bitmap_bytes_, 0);
        SetBits(bitmap.data(), first, end);
        gather.Add(block_start, bitmap.data(), bitmap.size());
        const u64 block_base = block * block_size_;
        e = GatherSectors(
            &gather, block_start, pos, in, n,
            [&](u64 at, u8* sector) { return ReadParent(block_base + at, sector, kSector); },
            partial[i == 0 ? 0 : 2], partial[i == 0 ? 1 : 3]);
        if (e != err::kSuccess) return e;  // the space stays unused; the image is intact
        in += n;
        left -= n;
        pos = 0;
        chunk_bytes += stride;
        chunk_has_whole_block = chunk_has_whole_block || n == block_size_;
        // Written out and handed to writeback a few MiB at a time: measured
        // here, one write per 4 MiB with its writeback started afterwards
        // costs three times the system time of two 2 MiB ones, as the
        // copying of the next write then competes with the writeback of the
        // last for longer.
        if (chunk_bytes >= kWriteChunk || i + 1 == count) {
            e = gather.Write();
            if (e != err::kSuccess) return e;  // the space stays unused
            gather.Clear();
            // A chunk holding a whole block is bulk data: start writing it
            // out now, so a later Flush has less to wait for.
            if (chunk_has_whole_block) StartWriteback(chunk_start, block_start + stride);
            chunk_start = block_start + stride;
            chunk_bytes = 0;
            chunk_has_whole_block = false;
        }
    }
    for (u64 i = 0; i < count; ++i) {
        const u64 block = first_block + i;
        bat_[block] = static_cast<u32>((start + i * stride) / kSector);
        dirty_bat_sectors_.insert(block * 4 / kSector);
        bitmaps_[block] = std::move(bitmaps[i]);
    }
    return err::kSuccess;
}

u32 VhdFile::Flush() {
    if (!writable_ || !unsynced_) return err::kSuccess;
    if (u32 e = file_->Sync()) return e;
    if (!dirty_bitmaps_.empty() || !dirty_bat_sectors_.empty()) {
        for (u64 block : dirty_bitmaps_) {
            const std::vector<u8>& bitmap = bitmaps_.at(block);
            u32 e = WriteAt(*file_, bitmap.data(), bitmap.size(), BlockStart(block));
            if (e != err::kSuccess) return e;
        }
        dirty_bitmaps_.clear();
        // Neighbouring table sectors go out in one write: a long sequential
        // write dirties a run of them.
        std::vector<u8> raw;
        for (auto it = dirty_bat_sectors_.begin(); it != dirty_bat_sectors_.end();) {
            const u64 first_sector = *it;
            u64 end_sector = first_sector + 1;
            for (++it; it != dirty_bat_sectors_.end() && *it == end_sector; ++it) ++end_sector;
            const u64 first = first_sector * kSector / 4;
            const u64 count = std::min<u64>(end_sector * kSector / 4, bat_.size()) - first;
            raw.resize(count * 4);
            for (u64 i = 0; i < count; ++i) StoreBe32(&raw[i * 4], bat_[first + i]);
            u32 e = WriteAt(*file_, raw.data(), raw.size(), table_offset_ + first * 4);
            if (e != err::kSuccess) return e;
        }
        dirty_bat_sectors_.clear();
        if (u32 e = file_->Sync()) return e;
    }
    unsynced_ = false;
    return err::kSuccess;
}

}  // namespace

u32 ProbeVhdIdentity(const ImageReader& read, u64 size, ImageIdentity* identity) {
    return ProbeIdentity(read, size, identity);
}

std::unique_ptr<VhdImage> VhdImage::Open(const std::string& path, bool writable, u32* error,
                                         std::string* reason, ImageWrites writes) {
    std::vector<Identity> chain;
    u32 code = err::kSuccess;
    std::string why;
    auto image = VhdFile::Open(path, writable, writes, &chain, &code, &why);
    if (error) *error = image ? err::kSuccess : code;
    if (reason) *reason = image ? std::string() : why;
    return image;
}

}  // namespace morlit::posix
