#include "platform/posix/disk/image_file.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <random>

#include "platform/posix/disk/block_device.h"
#include "platform/posix/disk/errno_map.h"
#include "platform/posix/disk/interrupt.h"
#include "platform/posix/disk/byte_order.h"

namespace morlit::posix {
namespace {

// Version 3 gives the header a sector of its own; version 2 added hole
// records. Journals of versions 1 and 2 (left by an older build that was
// killed) still play back.
constexpr char kMagic[8] = {'M', 'L', 'T', 'J', 'R', 'N', 'L', '3'};
constexpr char kMagicV2[8] = {'M', 'L', 'T', 'J', 'R', 'N', 'L', '2'};
constexpr char kMagicV1[8] = {'M', 'L', 'T', 'J', 'R', 'N', 'L', '1'};
// In a record's length field: the range was a hole, no bytes follow.
constexpr u64 kHoleRecord = u64{1} << 31;
constexpr size_t kHeaderBytes = 64;
// From version 3, the image's times follow the header when its flag says so.
constexpr size_t kTimesBytes = 32;
constexpr u32 kHasTimes = 1;
// From version 3 the records start here: a torn write of the first record
// can never take the header's sector with it.
constexpr size_t kHeaderSector = 4096;
constexpr size_t kRecordHeaderBytes = 16;
// Old bytes are saved in aligned chunks of this size: a journal sync per
// first touch of a chunk, and the file system's metadata writes cluster, so
// larger chunks mean fewer syncs for a little more copying.
constexpr u64 kChunk = 64 << 10;
// The longest record: bounds the memory a playback needs (and what a damaged
// journal can make it allocate).
constexpr u64 kMaxRecord = 8 << 20;

IoHook g_hook = nullptr;
std::function<void(const std::string&)> g_note;
u64 g_peak_journal = 0;
u64 g_played_back = 0;

// 0 when the step may happen; otherwise the errno it fails with (errno is
// set to it, as the system call would have).
int Hook(IoStep step, int fd, u64 offset = 0, u64 length = 0, const std::string* path = nullptr) {
    if (!g_hook) return 0;
    const int e = g_hook(IoEvent{step, fd, offset, length, path});
    if (e != 0) errno = e;
    return e;
}

void Note(const std::string& line) {
    if (g_note) {
        g_note(line);
    } else {
        std::cerr << "morlit: " << line << "\n";
    }
}

// A creation or deletion in the folder is durable once this returns 0.
u32 SyncFolder(const std::string& file) {
    int rc = -1;
    int e = Hook(IoStep::kFolderSync, -1);
    if (e == 0) {
        const int dir = ::open(FolderOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0) return ErrnoToWindows(errno, err::kWriteFault);
        rc = ::fsync(dir);
        e = errno;
        ::close(dir);
    }
    // Some file systems cannot sync a folder; their entries are as durable
    // as they will get.
    if (rc != 0 && e != EINVAL && e != EROFS) {
        errno = e;
        return ErrnoToWindows(e, err::kWriteFault);
    }
    return err::kSuccess;
}

// The system's words for a failed read, write or sync just now; a write
// that stored nothing sets no errno, and means the file system is full.
std::string FailureWords(u32 e) { return std::strerror(e == err::kDiskFull ? ENOSPC : errno); }

u32 ReadFully(int fd, void* buffer, size_t length, u64 offset, IoStep step) {
    if (Hook(step, fd, offset, length) != 0) return ErrnoToWindows(errno, err::kReadFault);
    auto* p = static_cast<u8*>(buffer);
    while (length > 0) {
        const ssize_t n = ::pread(fd, p, length, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return ErrnoToWindows(errno, err::kReadFault);
        }
        if (n == 0) return err::kHandleEof;
        p += n;
        length -= static_cast<size_t>(n);
        offset += static_cast<u64>(n);
    }
    return err::kSuccess;
}

u32 WriteFully(int fd, const void* buffer, size_t length, u64 offset) {
    const auto* p = static_cast<const u8*>(buffer);
    while (length > 0) {
        const ssize_t n = ::pwrite(fd, p, length, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return ErrnoToWindows(errno, err::kWriteFault);
        }
        if (n == 0) return err::kDiskFull;
        p += n;
        length -= static_cast<size_t>(n);
        offset += static_cast<u64>(n);
    }
    return err::kSuccess;
}

u32 WriteVecFully(int fd, std::vector<iovec> parts, u64 offset) {
    size_t next = 0;
    while (next < parts.size() && parts[next].iov_len == 0) ++next;
    while (next < parts.size()) {
        const int count = static_cast<int>(std::min<size_t>(parts.size() - next, IOV_MAX));
        const ssize_t n = ::pwritev(fd, &parts[next], count, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return ErrnoToWindows(errno, err::kWriteFault);
        }
        if (n == 0) return err::kDiskFull;
        offset += static_cast<u64>(n);
        for (size_t left = static_cast<size_t>(n); left > 0;) {
            const size_t take = std::min(left, parts[next].iov_len);
            parts[next].iov_base = static_cast<u8*>(parts[next].iov_base) + take;
            parts[next].iov_len -= take;
            left -= take;
            if (parts[next].iov_len == 0) ++next;
        }
        while (next < parts.size() && parts[next].iov_len == 0) ++next;
    }
    return err::kSuccess;
}

struct JournalHeader {
    ImageIdentity identity;
    u64 originalLength = 0;
    u64 salt = 0;
    int version = 3;
    bool hasTimes = false;
    timespec times[2] = {};  // access, modification
};

// zlib's CRC-32 of `length` bytes, continued from `crc` (0 to start). zlib
// answers 0 for a null buffer whatever it continues from, and a hole record
// has no bytes: no bytes leave the value as it was, as the journal has it.
u32 Crc32(const void* data, u64 length, u32 crc = 0) {
    if (length == 0) return crc;
    return static_cast<u32>(crc32_z(crc, static_cast<const Bytef*>(data), length));
}

// Writes the header and the times after it (kHeaderBytes + kTimesBytes).
void EncodeHeader(const JournalHeader& h, u8* out) {
    std::memset(out, 0, kHeaderBytes + kTimesBytes);
    std::memcpy(out, kMagic, 8);
    std::memcpy(out + 8, h.identity.id, 16);
    StoreLe64(out + 24, h.identity.diskSize);
    StoreLe64(out + 32, h.originalLength);
    StoreLe64(out + 40, h.salt);
    if (h.hasTimes) {
        for (int i = 0; i < 2; ++i) {
            StoreLe64(out + kHeaderBytes + 16 * i, static_cast<u64>(h.times[i].tv_sec));
            StoreLe64(out + kHeaderBytes + 16 * i + 8, static_cast<u64>(h.times[i].tv_nsec));
        }
        StoreLe32(out + 48, kHasTimes);
        StoreLe32(out + 52, Crc32(out + kHeaderBytes, kTimesBytes));
    }
    StoreLe32(out + 60, Crc32(out, 60));
}

// `in` holds `length` bytes from the journal's start: the header, and the
// times after it where the journal has them.
bool DecodeHeader(const u8* in, size_t length, JournalHeader* h) {
    if (std::memcmp(in, kMagic, 8) == 0) {
        h->version = 3;
    } else if (std::memcmp(in, kMagicV2, 8) == 0) {
        h->version = 2;
    } else if (std::memcmp(in, kMagicV1, 8) == 0) {
        h->version = 1;
    } else {
        return false;
    }
    if (Crc32(in, 60) != LoadLe32(in + 60)) return false;
    std::memcpy(h->identity.id, in + 8, 16);
    h->identity.diskSize = LoadLe64(in + 24);
    h->originalLength = LoadLe64(in + 32);
    h->salt = LoadLe64(in + 40);
    // Times that fail their own checksum are not restored; the bytes still
    // are, which is what matters.
    h->hasTimes = h->version >= 3 && (LoadLe32(in + 48) & kHasTimes) != 0 &&
                  length >= kHeaderBytes + kTimesBytes &&
                  Crc32(in + kHeaderBytes, kTimesBytes) == LoadLe32(in + 52);
    for (int i = 0; h->hasTimes && i < 2; ++i) {
        h->times[i].tv_sec = static_cast<time_t>(LoadLe64(in + kHeaderBytes + 16 * i));
        h->times[i].tv_nsec = static_cast<long>(LoadLe64(in + kHeaderBytes + 16 * i + 8));
        if (h->times[i].tv_nsec < 0 || h->times[i].tv_nsec >= 1000000000) h->hasTimes = false;
    }
    return true;
}

// Reads the identity of the image open at `fd` through `probe`, with every
// read going through the I/O hook like the image's own.
u32 ProbeImage(int fd, const IdentityProbe& probe, ImageIdentity* identity) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return ErrnoToWindows(errno, err::kReadFault);
    const ImageReader read = [fd](void* buffer, size_t length, u64 offset) {
        return ReadFully(fd, buffer, length, offset, IoStep::kImageRead);
    };
    return probe(read, static_cast<u64>(st.st_size), identity);
}

bool SameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Gives the image back the times the journal recorded, where they differ:
// writing the old bytes back or restoring the length set new ones. A writer
// that does not own the file may not set them; the bytes are back all the
// same, and a line says so.
void RestoreTimes(int fd, const std::string& image, const JournalHeader& h) {
    if (!h.hasTimes) return;
    struct stat st;
    if (::fstat(fd, &st) == 0 && SameTime(st.st_atim, h.times[0]) &&
        SameTime(st.st_mtim, h.times[1]))
        return;
    if (::futimens(fd, h.times) != 0) {
        Note(image + " was put back, but its access and modification times could not be (" +
             std::strerror(errno) + ")");
    }
}

u32 RecordCrc(u64 salt, const u8* head, const u8* data, u64 length) {
    u8 salted[8];
    StoreLe64(salted, salt);
    u32 crc = Crc32(salted, 8);
    crc = Crc32(head, 12, crc);
    return Crc32(data, length, crc);
}

bool SameIdentity(const ImageIdentity& a, const ImageIdentity& b) {
    return a.diskSize == b.diskSize && std::memcmp(a.id, b.id, 16) == 0;
}

// Deletes the journal; the image is final (or back as it was) once this
// returns 0. The folder is synced after, but a folder that cannot be synced
// does not undo that: until the deletion reaches the disk, a power cut can
// only bring the journal back, and playing it back puts the whole image back
// as it was - never anything between.
u32 DeleteJournal(const std::string& journal) {
    if ((Hook(IoStep::kJournalDelete, -1, 0, 0, &journal) != 0 || ::unlink(journal.c_str()) != 0) &&
        errno != ENOENT)
        return ErrnoToWindows(errno);
    if (SyncFolder(journal) != err::kSuccess) {
        Note("the deletion of " + journal + " could not be made durable (" + std::strerror(errno) +
             "); if the machine stops before it is written out, the next run puts the image back "
             "as it was before this run");
    }
    return err::kSuccess;
}

// Makes a range of the image a hole again, as it was before the run: no
// space is needed, so a full file system cannot stop a rollback. A file
// system that cannot punch holes gets zeros, which read the same.
u32 PunchHole(int fd, u64 offset, u64 length) {
    if (Hook(IoStep::kImagePunch, fd, offset, length) != 0)
        return ErrnoToWindows(errno, err::kWriteFault);
    if (::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                    static_cast<off_t>(length)) == 0)
        return err::kSuccess;
    if (errno != EOPNOTSUPP && errno != ENOSYS) return ErrnoToWindows(errno, err::kWriteFault);
    const std::vector<u8> zeros(static_cast<size_t>(std::min<u64>(length, kChunk)), 0);
    for (u64 done = 0; done < length;) {
        const u64 n = std::min<u64>(length - done, zeros.size());
        if (Hook(IoStep::kImageWrite, fd, offset + done, n) != 0)
            return ErrnoToWindows(errno, err::kWriteFault);
        if (u32 e = WriteFully(fd, zeros.data(), n, offset + done)) return e;
        done += n;
    }
    return err::kSuccess;
}

// Plays the journal at `journal` back onto the image open read-write at
// `fd`, then gives the image its old length, durably, and deletes the journal.
//
// A journal left by a process that died (`known_end` 0) ends at its first
// record that is cut short or fails its checksum: records are synced before
// the image writes they guard, so that record's write never happened. A read
// that fails is no end: the records after it may guard writes that did
// happen, so the journal is kept and the playback fails with the error. An
// in-process rollback knows where its journal ends and must reach exactly
// that end; anything less is damage, and the journal is kept too.
// With `probe`, a journal that names another image is left alone (80); an
// image that cannot be read to tell is no other image: the journal is kept
// and the playback fails with the read's code.
// *played tells whether a journal with a sound header was found.
u32 PlayBack(int fd, const std::string& image, const std::string& journal,
             const IdentityProbe* probe, u64 known_end, bool* played, std::string* reason) {
    *played = false;
    const int jfd = ::open(journal.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (jfd < 0) {
        if (errno == ENOENT && known_end == 0) return err::kSuccess;
        if (errno == ELOOP) {
            *reason = "\"" + journal + "\" is a link, not a journal; move it away and try again.";
            return err::kFileExists;
        }
        *reason = "The journal \"" + journal + "\" cannot be read: " + std::strerror(errno) +
                  "; \"" + image + "\" was not put back.";
        return ErrnoToWindows(errno, err::kReadFault);
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{jfd};
    struct stat st;
    if (::fstat(jfd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *reason = "\"" + journal + "\" is not a journal file; move it away and try again.";
        return err::kFileExists;
    }
    const u64 size = static_cast<u64>(st.st_size);
    const auto read_failed = [&](u32 e) {
        *reason = "The journal \"" + journal + "\" cannot be read (" + std::strerror(errno) +
                  "); it was kept and \"" + image +
                  "\" was not put back: open the image for writing again once the fault is "
                  "mended.";
        return e;
    };
    const auto damaged = [&](const char* what) {
        *reason = "The journal \"" + journal + "\" " + what + "; it was kept and \"" + image +
                  "\" was not put back.";
        return err::kFileCorrupt;
    };
    if (known_end != 0 && size < known_end)
        return damaged("is shorter than what was written to it");
    // The header and the times after it in one read (records follow at 64
    // in the oldest versions, which have no times).
    u8 head[kHeaderBytes + kTimesBytes];
    const size_t head_length = static_cast<size_t>(std::min<u64>(size, sizeof head));
    JournalHeader header;
    const u32 he = size < kHeaderBytes ? u32{err::kHandleEof}
                                       : ReadFully(jfd, head, head_length, 0, IoStep::kJournalRead);
    if (he != err::kSuccess && he != err::kHandleEof) return read_failed(he);
    if (he != err::kSuccess || !DecodeHeader(head, head_length, &header)) {
        if (known_end != 0) return damaged("has lost its header");
        // Never made durable, so nothing was written to the image under it.
        return DeleteJournal(journal);
    }
    if (probe) {
        ImageIdentity now;
        if (const u32 e = ProbeImage(fd, *probe, &now)) {
            *reason = "\"" + image + "\" cannot be read (" + std::strerror(errno) +
                      "), so it was not put back; the journal \"" + journal +
                      "\" was kept and is needed to put it back: do not delete it, and open "
                      "the image for writing again once the fault is mended.";
            return e;
        }
        if (!SameIdentity(now, header.identity)) {
            *reason = "The journal \"" + journal + "\" belongs to another image than \"" + image +
                      "\" (its id or size differs); it was left alone and nothing was written.";
            return err::kFileExists;
        }
    }
    *played = true;
    const u64 stop = known_end != 0 ? known_end : size;
    std::vector<u8> data;
    for (u64 at = header.version >= 3 ? kHeaderSector : kHeaderBytes; at < stop;) {
        // A record cut short or failing its checksum: the end of a journal
        // whose writer died, damage in one this process wrote.
        bool end = false;
        u8 rh[kRecordHeaderBytes];
        u32 e = stop - at < kRecordHeaderBytes
                    ? u32{err::kHandleEof}
                    : ReadFully(jfd, rh, sizeof rh, at, IoStep::kJournalRead);
        if (e != err::kSuccess && e != err::kHandleEof) return read_failed(e);
        u64 offset = 0, length = 0, stored = 0;
        bool hole = false;
        if (e != err::kSuccess) {
            end = true;
        } else {
            offset = LoadLe64(rh);
            const u64 field = LoadLe32(rh + 8);
            hole = header.version >= 2 && (field & kHoleRecord) != 0;
            length = hole ? field & ~kHoleRecord : field;
            stored = hole ? 0 : length;
            end = length == 0 || length > kMaxRecord || stop - at - kRecordHeaderBytes < stored ||
                  offset > header.originalLength || header.originalLength - offset < length;
        }
        if (!end) {
            data.resize(stored);
            e = ReadFully(jfd, data.data(), stored, at + kRecordHeaderBytes, IoStep::kJournalRead);
            if (e != err::kSuccess && e != err::kHandleEof) return read_failed(e);
            end = e != err::kSuccess ||
                  RecordCrc(header.salt, rh, data.data(), stored) != LoadLe32(rh + 12);
        }
        if (end) {
            if (known_end != 0) return damaged("holds a damaged record before its end");
            break;
        }
        e = hole ? PunchHole(fd, offset, length)
            : Hook(IoStep::kImageWrite, fd, offset, length) != 0
                ? ErrnoToWindows(errno, err::kWriteFault)
                : WriteFully(fd, data.data(), length, offset);
        if (e != err::kSuccess) {
            *reason = "Writing the old contents back to \"" + image +
                      "\" failed: " + std::strerror(errno) + ".";
            return e;
        }
        at += kRecordHeaderBytes + stored;
    }
    // Even to the same length a truncation sets a new modification time, so
    // a file of the right length is left alone.
    struct stat now;
    if (::fstat(fd, &now) != 0 || static_cast<u64>(now.st_size) != header.originalLength) {
        if (Hook(IoStep::kImageTruncate, fd, header.originalLength) != 0 ||
            ::ftruncate(fd, static_cast<off_t>(header.originalLength)) != 0) {
            *reason = "\"" + image +
                      "\" cannot be given its old length back: " + std::strerror(errno) + ".";
            return ErrnoToWindows(errno, err::kWriteFault);
        }
    }
    RestoreTimes(fd, image, header);
    // fsync, not fdatasync: the times are to be durable before the journal
    // goes.
    if (Hook(IoStep::kImageSync, fd) != 0 || ::fsync(fd) != 0) {
        *reason = "\"" + image + "\" cannot be written out: " + std::strerror(errno) + ".";
        return ErrnoToWindows(errno, err::kWriteFault);
    }
    if (u32 e = DeleteJournal(journal)) {
        *reason = "The journal \"" + journal + "\" cannot be deleted.";
        return e;
    }
    return err::kSuccess;
}

u64 RandomSalt() {
    std::random_device device;
    return (u64{device()} << 32) ^ device();
}

}  // namespace

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

void SetIoHook(IoHook hook) { g_hook = hook; }

void SetImageNoteSink(std::function<void(const std::string& line)> sink) {
    g_note = std::move(sink);
}

u64 ImageFile::PeakJournalBytes() { return g_peak_journal; }
u64 ImageFile::PlayedBackAtOpen() { return g_played_back; }

u32 CloseAndCommit(std::unique_ptr<BlockDevice> device, std::string* reason) {
    if (!device) return err::kSuccess;
    std::shared_ptr<ImageFile> file = device->File();
    device.reset();
    return file ? file->Commit(reason) : err::kSuccess;
}

std::shared_ptr<ImageFile> ImageFile::OpenFile(const std::string& path, bool writable,
                                               ImageWrites writes, int* error_number) {
    // A path that cannot be resolved is opened as given, for its own error.
    std::string real = path;
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
        real = resolved;
        std::free(resolved);
    }
    // O_NONBLOCK keeps a FIFO from hanging the open; it means nothing for
    // regular files.
    // O_NOATIME: a run that reads the image and fails leaves even its access
    // time as it was. Only the file's owner (or root) may ask for it.
    const int flags = (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int fd = ::open(real.c_str(), flags | O_NOATIME);
    if (fd < 0 && errno == EPERM) fd = ::open(real.c_str(), flags);
    if (fd < 0) {
        *error_number = errno;
        return nullptr;
    }
    return std::shared_ptr<ImageFile>(new ImageFile(fd, real, writable, writes));
}

// Changes nobody committed are not to be kept: a caller that forgot, or was
// unwound past, its commit must not leave them as if they were final.
ImageFile::~ImageFile() {
    if (undoable_) {
        const bool changed = changed_;
        std::string reason;
        if (Rollback(&reason) != err::kSuccess) {
            Note(path_ +
                 " was closed without its changes being kept, and putting it back failed: " +
                 reason + " The next open puts it back.");
        } else if (changed) {
            Note(path_ + " was closed without its changes being kept; it was put back as it was");
        }
    }
    ::close(fd_);
}

// qemu and libvirt mark an image in use with open-file-description locks on
// single bytes (qemu: shared locks on 100+n for each permission it holds and
// 200+n for each it will not share; libvirt: byte 0). A writer's exclusive
// lock over the whole file conflicts with all of them, both ways. A reader
// (a differencing image's parent) shares the file with other readers: it
// locks everything but qemu's "write" byte (101), which refuses writers
// through byte 201 as qemu does, and checks that no one holds 101.
u32 ImageFile::Lock(std::string* reason) {
    const auto set = [this](short type, off_t start, off_t length) {
        struct flock lock {};
        lock.l_type = type;
        lock.l_whence = SEEK_SET;
        lock.l_start = start;
        lock.l_len = length;
        return ::fcntl(fd_, F_OFD_SETLK, &lock) == 0 ? 0 : errno;
    };
    const std::string busy = "The image \"" + path_ +
                             "\" is in use by another program (a virtual machine, qemu-nbd, "
                             "qemu-img or another run).";
    int e = 0;
    if (writable_) {
        e = set(F_WRLCK, 0, 0);
    } else {
        e = set(F_RDLCK, 0, 101);
        if (e == 0) e = set(F_RDLCK, 102, 0);
        if (e == 0) {
            struct flock probe {};
            probe.l_type = F_WRLCK;
            probe.l_whence = SEEK_SET;
            probe.l_start = 101;
            probe.l_len = 1;
            if (::fcntl(fd_, F_OFD_GETLK, &probe) != 0) {
                e = errno;
            } else if (probe.l_type != F_UNLCK) {
                *reason = busy;
                return err::kSharingViolation;
            }
        }
    }
    if (e == 0) return err::kSuccess;
    if (e == EAGAIN || e == EACCES) {
        *reason = busy;
        return err::kSharingViolation;
    }
    if (e != ENOLCK && e != EINVAL) {
        *reason = "The image \"" + path_ + "\" cannot be locked: " + std::strerror(e) + ".";
        return ErrnoToWindows(e, err::kReadFault);
    }
    // A file system without these locks (some network ones): at least keep
    // two runs apart.
    if (::flock(fd_, (writable_ ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            *reason = busy;
            return err::kSharingViolation;
        }
        *reason = "The image \"" + path_ + "\" cannot be locked: " + std::strerror(errno) + ".";
        return ErrnoToWindows(errno, err::kReadFault);
    }
    Note("the file system of " + path_ +
         " does not support the locks qemu and libvirt use; other programs will not see that "
         "the image is in use");
    return err::kSuccess;
}

u32 ImageFile::Prepare(const IdentityProbe& probe, std::string* reason) {
    if (u32 e = Lock(reason)) return e;
    const std::string journal = JournalPath();
    if (!writable_) {
        // The lock rules out a live writer, so a journal here was left by a
        // run that died; putting the image back needs it opened for writing.
        if (::access(journal.c_str(), F_OK) == 0) {
            *reason = "The image \"" + path_ +
                      "\" was left part way through a run that did not end; open it for "
                      "writing once to put it back as it was (morlit --put-back does only "
                      "that).";
            return err::kSharingViolation;
        }
        return err::kSuccess;
    }
    bool played = false;
    if (u32 e = PlayBack(fd_, path_, journal, &probe, 0, &played, reason)) return e;
    if (played) {
        ++g_played_back;
        Note(path_ + " was put back as it was before a run that did not end (" + journal +
             " played back)");
    }
    if (writes_ == ImageWrites::kDirect) return err::kSuccess;
    // The journal is made at the first change, so that a run refused before
    // it writes leaves the folder as it was. A folder the user may not write
    // in could never take it: that is known now, before anything is written.
    if (::faccessat(AT_FDCWD, FolderOf(path_).c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        *reason = "The folder of \"" + path_ +
                  "\" cannot hold the journal that lets a failed run be undone (" +
                  std::strerror(errno) + "); the image was not changed.";
        return ErrnoToWindows(errno, err::kAccessDenied);
    }
    // The length and times as they are before this open reads the image
    // (only a playback has read it yet, and that gave it back its old
    // times): a rollback gives them back, however late the journal starts.
    struct stat st;
    if (::fstat(fd_, &st) != 0) {
        *reason = "The image file cannot be examined.";
        return ErrnoToWindows(errno, err::kReadFault);
    }
    original_length_ = static_cast<u64>(st.st_size);
    original_times_[0] = st.st_atim;
    original_times_[1] = st.st_mtim;
    probe_ = probe;
    undoable_ = true;
    return err::kSuccess;
}

u32 ImageFile::StartJournal() {
    JournalHeader header;
    header.originalLength = original_length_;
    header.hasTimes = true;
    header.times[0] = original_times_[0];
    header.times[1] = original_times_[1];
    // The journal must name the image as every later open reads it: an
    // identity not read is no identity, and the change is refused before
    // there is a journal to misname the image. The image's own reads keep
    // a failure where it happened; nothing has changed its length yet.
    const ImageReader read = [this](void* buffer, size_t length, u64 offset) {
        return Read(buffer, length, offset);
    };
    if (const u32 e = probe_(read, original_length_, &header.identity)) return e;
    header.salt = RandomSalt();
    const std::string journal = JournalPath();
    const int jfd =
        Hook(IoStep::kJournalCreate, -1, 0, 0, &journal) != 0
            ? -1
            : ::open(journal.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (jfd < 0) return ErrnoToWindows(errno, err::kWriteFault);
    std::vector<u8> head(kHeaderSector, 0);
    EncodeHeader(header, head.data());
    u32 e = Hook(IoStep::kJournalWrite, jfd, 0, head.size()) != 0
                ? ErrnoToWindows(errno, err::kWriteFault)
                : WriteFully(jfd, head.data(), head.size(), 0);
    if (e == err::kSuccess && (Hook(IoStep::kJournalSync, jfd) != 0 || ::fdatasync(jfd) != 0))
        e = ErrnoToWindows(errno, err::kWriteFault);
    if (e == err::kSuccess) e = SyncFolder(journal);
    if (e != err::kSuccess) {
        // A header never made durable plays back as nothing, so a journal
        // left here by a death is harmless; the failure keeps its own words.
        const int failure = errno;
        ::close(jfd);
        ::unlink(journal.c_str());
        errno = failure;
        return e;
    }
    journal_fd_ = jfd;
    journal_end_ = kHeaderSector;
    g_peak_journal = std::max(g_peak_journal, journal_end_);
    salt_ = header.salt;
    saved_.assign((original_length_ + kChunk * 64 - 1) / (kChunk * 64), 0);
    return err::kSuccess;
}

u32 ImageFile::AppendRecord(u64 offset, const u8* data, u64 length, bool hole) {
    const u64 stored = hole ? 0 : length;
    u8 rh[kRecordHeaderBytes];
    StoreLe64(rh, offset);
    StoreLe32(rh + 8, hole ? length | kHoleRecord : length);
    StoreLe32(rh + 12, RecordCrc(salt_, rh, data, stored));
    std::vector<iovec> parts = {{rh, sizeof rh}, {const_cast<u8*>(data), stored}};
    if (Hook(IoStep::kJournalWrite, journal_fd_, journal_end_, sizeof rh + stored) != 0)
        return ErrnoToWindows(errno, err::kWriteFault);
    if (u32 e = WriteVecFully(journal_fd_, parts, journal_end_)) return e;
    journal_end_ += sizeof rh + stored;
    g_peak_journal = std::max(g_peak_journal, journal_end_);
    return err::kSuccess;
}

// Saves the original bytes of [from, to): the ranges that hold data as
// records with their bytes, the holes as hole records. A file system that
// cannot tell holes makes it all data.
u32 ImageFile::SaveRange(u64 from, u64 to, std::vector<u8>* buffer) {
    for (u64 at = from; at < to;) {
        u64 data = at;
        const off_t d = ::lseek(fd_, static_cast<off_t>(at), SEEK_DATA);
        if (d >= 0) {
            data = std::min<u64>(static_cast<u64>(d), to);
        } else if (errno == ENXIO) {
            data = to;  // nothing but hole from here to the end
        }
        if (data > at) {
            if (u32 e = AppendRecord(at, nullptr, data - at, true)) return e;
            at = data;
            if (at >= to) break;
        }
        u64 end = to;
        const off_t h = ::lseek(fd_, static_cast<off_t>(at), SEEK_HOLE);
        if (h >= 0 && static_cast<u64>(h) > at) end = std::min<u64>(static_cast<u64>(h), to);
        buffer->resize(end - at);
        if (u32 e = ReadFully(fd_, buffer->data(), buffer->size(), at, IoStep::kImageRead)) {
            // The old bytes could not be read: the image's read failed, not
            // a write to the journal.
            if (e != err::kHandleEof) KeepFailedRead(e, path_, at, FailureWords(e));
            return e;
        }
        if (u32 e = AppendRecord(at, buffer->data(), end - at, false)) return e;
        at = end;
    }
    return err::kSuccess;
}

u32 ImageFile::SaveOld(u64 offset, u64 length) {
    if (journal_fd_ < 0 || length == 0 || offset >= original_length_) return err::kSuccess;
    const u64 end = std::min(offset + length, original_length_);
    const u64 last = (end - 1) / kChunk;
    const auto saved = [this](u64 c) { return (saved_[c / 64] >> (c % 64)) & 1; };
    bool wrote = false;
    std::vector<u8> old;
    for (u64 c = offset / kChunk; c <= last;) {
        if (saved(c)) {
            ++c;
            continue;
        }
        u64 stop = c + 1;
        while (stop <= last && !saved(stop) && (stop - c) * kChunk < kMaxRecord) ++stop;
        const u64 from = c * kChunk;
        const u64 to = std::min(stop * kChunk, original_length_);
        if (u32 e = SaveRange(from, to, &old)) return e;
        for (u64 s = c; s < stop; ++s) saved_[s / 64] |= u64{1} << (s % 64);
        wrote = true;
        c = stop;
    }
    if (wrote) {
        if (Hook(IoStep::kJournalSync, journal_fd_) != 0 || ::fdatasync(journal_fd_) != 0)
            return ErrnoToWindows(errno, err::kWriteFault);
    }
    return err::kSuccess;
}

u32 ImageFile::Read(void* buffer, size_t length, u64 offset) {
    const u32 e = ReadFully(fd_, buffer, length, offset, IoStep::kImageRead);
    // A read that failed may be passed over by the code above (a volume
    // library that takes it for an empty or missing part, a copy that keeps
    // the old file), and a run that wrote on top of what it could not read is
    // not one to keep: the failure refuses the commit as a failed write does.
    // The end of the file is an answer, not a fault.
    if (e != err::kSuccess && e != err::kHandleEof)
        KeepFailedRead(e, path_, offset, FailureWords(e));
    return e;
}

void ImageFile::KeepFailedRead(u32 e, const std::string& path, u64 offset,
                               const std::string& words) {
    if (first_failed_read_.code == err::kSuccess) first_failed_read_ = {e, path, offset, words};
    if (writable_ && failed_ == err::kSuccess) {
        failed_ = e;
        failed_reading_ = true;
    }
    // The images built on this one read through it whatever their caller
    // does with the error.
    if (std::shared_ptr<ImageFile> reader = reader_.lock())
        reader->KeepFailedRead(e, path, offset, words);
}

u32 ImageFile::KeepFirstFailure(u32 e, bool journal) {
    if (e != err::kSuccess && failed_ == err::kSuccess) {
        failed_ = e;
        failed_words_ = FailureWords(e);
        failed_in_journal_ = journal;
    }
    return e;
}

std::string ImageFile::FailureReason() const {
    if (failed_ == err::kSuccess) return std::string();
    if (failed_in_journal_) {
        return "a write to its journal \"" + JournalPath() + "\" failed (" + failed_words_ +
               "), so \"" + path_ + "\" does not hold all the changes.";
    }
    if (!failed_reading_) {
        return "a write to \"" + path_ + "\" failed (" + failed_words_ +
               "), so it does not hold all the changes.";
    }
    return ReadFailure() + ", so the changes may rest on data that was never read.";
}

std::string ImageFile::ReadFailure() const {
    const FailedRead& r = first_failed_read_;
    if (r.code == err::kSuccess) return std::string();
    const std::string of = r.path == path_
                               ? "\"" + path_ + "\""
                               : "\"" + r.path + "\", which \"" + path_ + "\" reads through,";
    return "a read of " + of + " at byte " + std::to_string(r.offset) + " failed (error " +
           std::to_string(r.code) + ": " + r.words + ")";
}

// A stop refuses the image's writes until the run's outcome is decided;
// after that the run finishes what it decided (a run that failed is put
// back either way).
namespace {
bool Stopping() { return InterruptRequested() && !StopSignalsHeld(); }
}  // namespace

u32 ImageFile::BeforeChange(u64 offset, u64 length) {
    if (!writable_) return err::kAccessDenied;
    if (Stopping()) return err::kOperationAborted;
    if (failed_) return failed_;
    if (undoable_ && journal_fd_ < 0) {
        if (u32 e = StartJournal()) return KeepFirstFailure(e, true);
    }
    if (u32 e = SaveOld(offset, length)) return KeepFirstFailure(e, true);
    changed_ = true;
    return err::kSuccess;
}

u32 ImageFile::Write(const void* buffer, size_t length, u64 offset) {
    if (u32 e = BeforeChange(offset, length)) return e;
    if (Hook(IoStep::kImageWrite, fd_, offset, length) != 0)
        return KeepFirstFailure(ErrnoToWindows(errno, err::kWriteFault));
    return KeepFirstFailure(WriteFully(fd_, buffer, length, offset));
}

u32 ImageFile::WriteVec(std::vector<iovec> parts, u64 offset) {
    u64 length = 0;
    for (const iovec& part : parts) length += part.iov_len;
    if (u32 e = BeforeChange(offset, length)) return e;
    if (Hook(IoStep::kImageWrite, fd_, offset, length) != 0)
        return KeepFirstFailure(ErrnoToWindows(errno, err::kWriteFault));
    return KeepFirstFailure(WriteVecFully(fd_, std::move(parts), offset));
}

u32 ImageFile::Truncate(u64 length) {
    // Bytes past the old end need no saving: the rollback cuts them off.
    if (u32 e = BeforeChange(length, length < original_length_ ? original_length_ - length : 0))
        return e;
    if (Hook(IoStep::kImageTruncate, fd_, length) != 0 ||
        ::ftruncate(fd_, static_cast<off_t>(length)) != 0)
        return KeepFirstFailure(ErrnoToWindows(errno, err::kWriteFault));
    return err::kSuccess;
}

u32 ImageFile::Sync() {
    if (!writable_) return err::kSuccess;
    if (failed_) return failed_;
    // After a failed sync the kernel may have dropped the pages it could not
    // write and report the next sync as clean, so the failure is kept.
    if (Hook(IoStep::kImageSync, fd_) != 0 || ::fdatasync(fd_) != 0)
        return KeepFirstFailure(ErrnoToWindows(errno, err::kWriteFault));
    return err::kSuccess;
}

u32 ImageFile::Commit(std::string* reason) {
    if (!undoable_) return err::kSuccess;
    if (failed_) {
        *reason = FailureReason();
        return failed_;
    }
    // Nothing was changed: there is nothing to make final.
    if (journal_fd_ < 0) {
        undoable_ = writable_ = false;
        return err::kSuccess;
    }
    if (u32 e = Sync()) {
        *reason = "\"" + path_ + "\" cannot be written out: " + std::strerror(errno) + ".";
        return e;
    }
    // Deleting the journal is the commit. Until it has happened the journal
    // stays open, so that a failed commit can still be rolled back.
    if (u32 e = DeleteJournal(JournalPath())) {
        *reason = "The journal \"" + JournalPath() +
                  "\" cannot be deleted: " + std::strerror(errno) + ".";
        return e;
    }
    ::close(journal_fd_);
    journal_fd_ = -1;
    undoable_ = writable_ = false;
    return err::kSuccess;
}

u32 ImageFile::Rollback(std::string* reason) {
    if (!undoable_) return err::kSuccess;
    undoable_ = writable_ = false;              // nothing more goes to the image unjournalled
    if (journal_fd_ < 0) return err::kSuccess;  // nothing was changed
    ::close(journal_fd_);
    journal_fd_ = -1;
    bool played = false;
    return PlayBack(fd_, path_, JournalPath(), nullptr, journal_end_, &played, reason);
}

}  // namespace morlit::posix
