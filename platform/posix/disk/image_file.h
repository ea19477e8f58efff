// The one path by which an image file is read and changed.
//
// Every write, truncation and sync of an image file goes through ImageFile.
// Opened for writing, it holds an exclusive lock on the image and keeps a
// rollback journal beside it (IMAGE-journal): before a byte range of the file
// changes for the first time, its old bytes are appended to the journal and
// the journal is made durable, so that the image can always be put back
// exactly as it was when it was opened, its access and modification times
// included. The journal is made at the first change (write or truncation),
// not at the open, so that a run refused before it writes leaves the image's
// folder untouched; the open only makes sure the folder may take it.
// Commit() makes the changes final (the image is synced, then the journal
// deleted); Rollback() puts the old bytes back, and so does destroying the
// ImageFile without a commit. Neither has anything to do where nothing was
// changed. A process that dies before
// either leaves the journal, and the next open of the image plays it back
// before anything reads the image. Reads never change the access time
// (O_NOATIME where the file's owner or root opens it).
//
// Journal layout (little-endian):
//   header, 64 bytes, alone in the first 4096 (the rest zeros):
//     0  8  magic "MLTJRNL3" (still played back: "MLTJRNL2", whose records
//             start at 64, and "MLTJRNL1", which also has no hole records)
//     8 16  the image's unique id (zeros when its format has none)
//    24  8  the virtual disk size
//    32  8  the file's length when the journal was made
//    40  8  salt: a random value every record's checksum covers, so that
//             a record left over from an older journal never passes
//    48  4  flags: bit 0, the image's times follow at 64 (zero in journals
//             of older builds, which restore no times)
//    52  4  CRC-32 of bytes 64..95 when bit 0 is set
//    56  4  reserved, zero
//    60  4  CRC-32 of bytes 0..59
//    64 32  the image's access and modification times when the journal was
//             made: seconds (8, signed) and nanoseconds (8) each
//   records, one after another from byte 4096:
//     0  8  file offset of the saved bytes
//     8  4  length; bit 31 set: the range was a hole (a sparse file's
//             unallocated space) and no bytes follow
//    12  4  CRC-32 of salt, offset, length and the bytes
//    16  .. the bytes as they were
// A hole is given back as a hole (punched), so a rollback writes only into
// space the image already had and needs none on a full file system.
// A header that fails its checksum was never made durable, so the image was
// never written under it. Records are read up to the first one that is cut
// short or fails its checksum: its image write never happened. A read error
// is no such end: the journal is kept and the open fails with it. A rollback
// in the process that wrote the journal must reach the end it wrote.
// A playback gives the image its old length only where the length differs
// (a truncation sets a new modification time even to the same length), and
// its old times where they differ, so an image whose run changed nothing is
// not touched at all.
// The identity in the header is the one read when the journal was made; a
// read that failed then fails that first change before the journal exists
// (and is kept, see FailedWith), and one that fails at playback keeps the
// journal: only an identity that was read
// and differs makes a journal another image's.
#pragma once

#include <sys/uio.h>

#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/types.h"

namespace morlit::posix {

// What names an image in its journal. Neither field changes while the image
// is written (block allocation changes the file's length, not these).
struct ImageIdentity {
    u8 id[16] = {};
    u64 diskSize = 0;
};

// Reads `length` bytes of the image at `offset`: 0, or the Windows code of the
// read that failed (ERROR_HANDLE_EOF past the end).
using ImageReader = std::function<u32(void* buffer, size_t length, u64 offset)>;
// Names the image from what `read` gives of it, the file being `size` bytes
// long now. Returns 0 with *identity set (all zeros when the file holds no
// identity), or the code of a read that failed: an image that could not be
// read is not told apart from another, and the caller must not guess.
using IdentityProbe =
    std::function<u32(const ImageReader& read, u64 size, ImageIdentity* identity)>;

// kDirect is for tools that build a new image from nothing: there is no old
// state worth keeping, and no journal.
enum class ImageWrites { kJournalled, kDirect };

// Steps of the file layer that change what is on disk, and its reads,
// reported to the I/O hook before each one happens (tests make the process
// die there, or make the step fail).
enum class IoStep {
    kImageWrite,
    kImageTruncate,
    kImageSync,
    kJournalCreate,
    kJournalWrite,
    kJournalSync,
    kJournalDelete,
    kFolderSync,
    kImagePunch,  // a rollback making a range a hole again
    kImageRead,
    kJournalRead,  // a playback reading the journal back
};
struct IoEvent {
    IoStep step;
    int fd;                   // the file the step acts on (-1 for a folder entry)
    u64 offset;               // reads and writes: where; truncation: the new length
    u64 length;               // reads and writes: how many bytes
    const std::string* path;  // creation and deletion: the journal's path
};
// Returns 0 for the step to go ahead, or an errno value: the step then does
// not happen and fails as if its system call had returned that value.
using IoHook = int (*)(const IoEvent& event);
// Test builds only: one hook for the whole process, null for none.
void SetIoHook(IoHook hook);

// Lines the image layer has to say without failing (a journal played back,
// locks the file system does not support). Standard error unless set.
void SetImageNoteSink(std::function<void(const std::string& line)> sink);

// The folder of a host path: "." for a bare name, "/" for a file at the root.
std::string FolderOf(const std::string& path);

class ImageFile {
  public:
    // Opens the file (read-write with `writable`). On failure null with
    // errno in *error_number. A path through symbolic links is followed to
    // the file itself first: its journal lies beside the file, where a run
    // that names the file another way finds it too.
    static std::shared_ptr<ImageFile> OpenFile(const std::string& path, bool writable,
                                               ImageWrites writes, int* error_number);
    // Takes the image lock, plays back a journal left by a run that ended
    // without committing, and (writable and journalled) checks that the
    // user may write in the image's folder, where the first change makes a
    // new journal (`probe` names the image in it then).
    // Returns 0 or a Windows error code with one plain sentence in *reason:
    // 32 in use, 5 the folder cannot hold the journal, 80 a journal of
    // another image lies beside it, the code of a read of the image that
    // failed (a journal beside it is kept), or the code of a failed playback.
    u32 Prepare(const IdentityProbe& probe, std::string* reason);
    // Rolls back what was not committed, saying so on the note sink when
    // anything had changed.
    ~ImageFile();
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    bool writable() const { return writable_; }

    // Each returns 0 or a Windows error code. Reads past the end fail with
    // ERROR_HANDLE_EOF. Writes fail with ERROR_OPERATION_ABORTED once a stop
    // signal has arrived (until the run's outcome is decided, see
    // HoldStopSignals), and with the journal's error when the journal
    // cannot be made or the old bytes cannot be saved (with the read's code
    // when the image's identity cannot be read for a new journal); nothing
    // reaches the image then. Once a write,
    // truncation, sync or kept read (see FailedWith) has failed, every later
    // write, truncation or sync fails with that error.
    u32 Read(void* buffer, size_t length, u64 offset);
    u32 Write(const void* buffer, size_t length, u64 offset);
    u32 WriteVec(std::vector<iovec> parts, u64 offset);
    u32 Truncate(u64 length);
    u32 Sync();

    // True from a journalled open for writing until Commit or Rollback: the
    // changes made since the open, if any, can still be rolled back.
    bool Journalled() const { return undoable_; }
    // The error of the first read (other than at the end of the file), write,
    // truncation or sync that failed while the image was open for writing; 0
    // for none. A read of an image this one reads through counts as its own.
    u32 FailedWith() const { return failed_; }
    // That failure was a read (of this file or one it reads through).
    bool FailedReading() const { return failed_ != 0 && failed_reading_; }
    // That failure in one plain sentence naming the file that failed; empty
    // for none.
    std::string FailureReason() const;
    // The first read of this file (or one it reads through) that failed,
    // kept or not: the file, where, the code and the system's words
    // ("a read of "x.vhd" at byte 512 failed (error 30: Input/output
    // error)"); empty for none. A failed read is why whatever was built on
    // it failed, and is said as such.
    std::string ReadFailure() const;
    // A differencing image reads what it does not hold from its parent, so a
    // read of the parent that fails is a read of `reader` that fails: from now
    // on every failed read of this file (and of the files it reads through in
    // turn) is kept by `reader` as well. One reader; it may go away first.
    void PassFailedReadsTo(std::weak_ptr<ImageFile> reader) { reader_ = std::move(reader); }
    // True once anything was written to the image (or it was truncated).
    bool Changed() const { return changed_; }
    // Makes the image durable, then deletes the journal and syncs the folder
    // (with nothing changed, only ends the writing).
    // Refused once a write, truncation or sync of the image has failed, or a
    // read (see FailedWith): the image then does not hold what its users
    // wrote, or holds what was built on data never read, and is to be rolled
    // back.
    // On failure the journal stays open for Rollback().
    u32 Commit(std::string* reason);
    // Puts back every saved byte and the old length, durably, then deletes
    // the journal. On failure the journal stays for the next open: also when
    // the journal is shorter than this process wrote it, holds a damaged
    // record before that end (1392), or cannot be read.
    u32 Rollback(std::string* reason);
    std::string JournalPath() const { return path_ + "-journal"; }
    // The most bytes a journal of this process has held.
    static u64 PeakJournalBytes();
    // How many journals left by runs that did not end this process has
    // played back as it opened their images.
    static u64 PlayedBackAtOpen();

  private:
    ImageFile(int fd, std::string path, bool writable, ImageWrites writes)
        : fd_(fd), path_(std::move(path)), writable_(writable), writes_(writes) {}
    u32 Lock(std::string* reason);
    // Makes the journal, durably, naming the image by `probe_`.
    u32 StartJournal();
    // What every change of [offset, offset + length) needs first: writing
    // allowed, no failure kept, the journal made, the old bytes saved.
    u32 BeforeChange(u64 offset, u64 length);
    u32 SaveOld(u64 offset, u64 length);
    u32 AppendRecord(u64 offset, const u8* data, u64 length, bool hole);
    u32 SaveRange(u64 from, u64 to, std::vector<u8>* buffer);
    // Remembers `e` when it is the first failure of the image (`journal`:
    // the old bytes could not be saved, so the write never reached the
    // image); returns it.
    u32 KeepFirstFailure(u32 e, bool journal = false);
    // A read of `path` (this file or one it reads through) failed with `e`,
    // in the system's `words`.
    void KeepFailedRead(u32 e, const std::string& path, u64 offset, const std::string& words);

    int fd_;
    std::string path_;
    bool writable_;
    ImageWrites writes_;
    bool changed_ = false;
    u32 failed_ = 0;  // the first failed read, write, truncation or sync
    // That failure was a read (of this file or one it reads through): its
    // words are the first failed read's.
    bool failed_reading_ = false;
    std::string failed_words_;  // a write's failure in the system's words
    struct FailedRead {
        u32 code = 0;
        std::string path;
        u64 offset = 0;
        std::string words;
    } first_failed_read_;
    bool failed_in_journal_ = false;  // it was a write to the journal
    std::weak_ptr<ImageFile> reader_;
    // Opened for journalled writes and neither committed nor rolled back.
    bool undoable_ = false;
    IdentityProbe probe_;
    timespec original_times_[2] = {};  // access, modification at the open
    int journal_fd_ = -1;
    u64 journal_end_ = 0;
    u64 salt_ = 0;
    u64 original_length_ = 0;
    // One bit per chunk of the original file: its old bytes are saved.
    std::vector<u64> saved_;
};

}  // namespace morlit::posix
