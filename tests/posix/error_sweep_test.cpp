// A complete XP run in which step N of the image layer fails - a write,
// truncation or sync of the image or of its journal, the journal's creation
// or deletion, a folder sync - for every N of an uninterrupted run: once
// (a passing fault, as a full disk and as an I/O error), or from N on to the
// end of the process (a disk that stays full), which takes in the rollback
// itself. Reads fail with an I/O error too: a read of the image during the
// run, and a read of the journal while the run puts the image back. However the run ends, it
// must never say it adjusted the image unless it did; and once the image is
// opened as the next run would open it, it is either fully adjusted (the run
// said so) or byte for byte as it was, with no journal left. A run that
// fails says why, truly, in the lines the command would print.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <initializer_list>

#include "tests/posix/sweep_fixture.h"

namespace morlit::posix::test {
namespace {

enum class Fault { kOnce, kStays, kIoError, kReadError, kJournalReadError };
const char* FaultName(Fault f) {
    return f == Fault::kOnce        ? "Once"
           : f == Fault::kStays     ? "FromThenOn"
           : f == Fault::kIoError   ? "IoErrorOnce"
           : f == Fault::kReadError ? "ReadError"
                                    : "JournalReadError";
}
void PrintTo(Fault f, std::ostream* os) { *os << FaultName(f); }

long g_steps = 0;
long g_fail_at = -1;
bool g_stays = false;
int g_errno = ENOSPC;
// Reads are counted apart; read g_fail_read_at fails once with EIO (image
// and journal reads, or journal reads only).
long g_reads = 0;
long g_fail_read_at = -1;
bool g_journal_reads_only = false;
long g_die_at = -1;  // the step before which the process dies

int FailingHook(const IoEvent& event) {
    if (event.step == IoStep::kImageRead || event.step == IoStep::kJournalRead) {
        if (g_journal_reads_only && event.step != IoStep::kJournalRead) return 0;
        return ++g_reads == g_fail_read_at ? EIO : 0;
    }
    if (++g_steps == g_die_at) _exit(86);
    if (g_fail_at > 0 && (g_steps == g_fail_at || (g_stays && g_steps > g_fail_at))) return g_errno;
    return 0;
}

// True when writing [offset, offset + length) to `fd` needs new space: it
// reaches past the end or into a hole.
bool NeedsSpace(int fd, u64 offset, u64 length) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || offset + length > static_cast<u64>(st.st_size)) return true;
    const off_t hole = ::lseek(fd, static_cast<off_t>(offset), SEEK_HOLE);
    return hole >= 0 && static_cast<u64>(hole) < offset + length;
}

// The file system fills up at step N: from then on whatever needs new space
// fails with ENOSPC (an image write into a hole or past the end, any write
// to the journal), while rewriting bytes already stored, punching holes,
// truncating, syncing and deleting still work, as on a real full disk.
int FullFileSystemHook(const IoEvent& event) {
    if (event.step == IoStep::kImageRead || event.step == IoStep::kJournalRead) return 0;
    ++g_steps;
    if (g_fail_at <= 0 || g_steps < g_fail_at) return 0;
    if (event.step == IoStep::kJournalWrite) return ENOSPC;
    if (event.step == IoStep::kImageWrite && NeedsSpace(event.fd, event.offset, event.length))
        return ENOSPC;
    return 0;
}

bool AnyHas(const std::vector<std::string>& lines, std::initializer_list<const char*> words) {
    for (const std::string& line : lines) {
        const std::string lower = Lower(line);
        for (const char* word : words)
            if (lower.find(word) != std::string::npos) return true;
    }
    return false;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& line : lines) all += "\n  " + line;
    return all;
}

// What the fault was, as a user needs to hear it.
enum class Said { kFull, kIoError, kReadError };

// What the command would print for a run: a run that adjusted the image
// gives no cause; one that failed gives at least one, and one true to the
// fault; it says what became of the image; and nothing it says claims
// success.
void ExpectSaysWhy(const ChildRun& run, Said fault) {
    const std::vector<std::string> said = run.said.Get(), causes = run.causes.Get();
    SCOPED_TRACE("said:" + Joined(said) + "\ncauses:" + Joined(causes));
    if (run.exitCode == 0) {
        EXPECT_TRUE(causes.empty());
        return;
    }
    EXPECT_FALSE(AnyHas(said, {"image was adjusted", "adjusted and is kept", "succeeded"}));
    ASSERT_FALSE(causes.empty()) << "a failed run said no cause";
    if (fault == Said::kFull) {
        EXPECT_TRUE(AnyHas(causes, {"is full", "no space left"}))
            << "a full file system was not named";
    } else {
        // As an I/O error, or as a read or write of the image or its
        // journal that failed.
        EXPECT_TRUE(AnyHas(causes, {"input/output error", "a read of \"", "a write to \"",
                                    "a write to its journal", "cannot be read"}))
            << "an I/O error was not named";
    }
    if (fault == Said::kReadError) {
        // The read comes first, and nothing says it as what was left unread.
        EXPECT_TRUE(AnyHas({causes[0]}, {"a read of \"", "cannot be read"})) << causes[0];
        EXPECT_FALSE(AnyHas(causes, {"not shut down cleanly", "marked dirty", "hibernated",
                                     "damaged", "no windows", "lists no partition", "not usable"}));
    }
    if (run.end.rolledBack) {
        EXPECT_TRUE(AnyHas(said, {"was put back as it was"}));
    }
    // A commit or a put-back failed, and the image was not put back: its
    // journal stays for the next run.
    if (run.end.failed && !run.end.rolledBack) {
        EXPECT_TRUE(AnyHas(said, {"is kept"}));
    }
}

struct Failure {
    long step = -1;  // the write, truncation, sync... that fails
    bool stays = false;
    int error = ENOSPC;
    long read = -1;  // the read that fails with EIO
    bool journalReadsOnly = false;
};

ChildRun RunFailing(const std::string& image, const Failure& f) {
    return RunStartInChild(
        image,
        [&] {
            g_steps = 0;
            g_fail_at = f.step;
            g_stays = f.stays;
            g_errno = f.error;
            g_reads = 0;
            g_fail_read_at = f.read;
            g_journal_reads_only = f.journalReadsOnly;
            SetIoHook(FailingHook);
        },
        &g_steps, &g_reads);
}

// Read faults are sampled: a run reads the image a few thousand times.
constexpr long kReadPoints = 48;

constexpr int kShards = 4;
using SweepParam = std::tuple<Sample, Fault, int>;

class ErrorSweep : public ::testing::TestWithParam<SweepParam> {};

TEST_P(ErrorSweep, EveryFailedStepLeavesTheImageBeforeOrAfterAndSaysWhich) {
    const auto [sample, fault, shard] = GetParam();
    const std::string dir = TestDir();
    const std::string image = MakeSample(dir, sample);
    const std::string original = dir + "/original.vhd";
    ASSERT_EQ(Shell("cp " + Quote(image) + " " + Quote(original)), 0);
    const std::string before = Slurp(image);
    const std::string journal = image + "-journal";

    const ChildRun clean = RunFailing(image, {});
    ASSERT_EQ(clean.exitCode, 0);
    const long total = clean.steps;
    ASSERT_GT(total, 10);
    const Adjusted want = ReadAdjusted(image, false);
    ASSERT_TRUE(want.sound);
    ASSERT_EQ(Shell("cp " + Quote(original) + " " + Quote(image)), 0);

    // The points swept, and what fails at each.
    long count = total, stride = 1, rollbackReads = 0;
    Failure base;
    base.stays = fault == Fault::kStays;
    if (fault == Fault::kIoError) base.error = EIO;
    if (fault == Fault::kReadError) {
        ASSERT_GT(clean.reads, kReadPoints);
        stride = clean.reads / kReadPoints;
        count = clean.reads;
    }
    if (fault == Fault::kJournalReadError) {
        // A write late in the run fails, so the run puts the image back from
        // its journal; one read of that journal fails in turn.
        base.step = total * 3 / 4;
        base.journalReadsOnly = true;
        const ChildRun r = RunFailing(image, base);
        ASSERT_EQ(r.exitCode, kRunFailed);
        ASSERT_TRUE(Slurp(image) == before);
        rollbackReads = r.reads;
        ASSERT_GT(rollbackReads, 2);
        count = rollbackReads;
    }
    const bool reads = fault == Fault::kReadError || fault == Fault::kJournalReadError;

    long failed = 0, succeeded = 0, points = 0;
    for (long point = 1 + shard * stride; point <= count; point += kShards * stride) {
        ++points;
        Failure f = base;
        (reads ? f.read : f.step) = point;
        SCOPED_TRACE(std::string(FaultName(fault)) + ": " + (reads ? "read " : "step ") +
                     std::to_string(point) + " of " + std::to_string(count) + " fails");
        const ChildRun run = RunFailing(image, f);
        // The child lived to the end and exited on its own.
        ASSERT_TRUE(run.reported);
        ASSERT_TRUE(run.exitCode == 0 || run.exitCode == kRunFailed) << run.exitCode;
        const bool success = run.exitCode == 0;
        EXPECT_EQ(success, run.adjustedMessage && run.end.committed);
        // A failed journal read follows a write that found the disk full.
        ExpectSaysWhy(run, fault == Fault::kReadError ? Said::kReadError
                           : f.error == EIO           ? Said::kIoError
                                                      : Said::kFull);
        if (!success) {
            ++failed;
            // A rollback that worked left nothing for the next run to do; one
            // that failed said so and kept the journal.
            if (!run.end.failed) {
                EXPECT_TRUE(Slurp(image) == before);
                EXPECT_FALSE(FileExists(journal));
            } else if (!run.end.committed && Slurp(image) != before) {
                EXPECT_TRUE(FileExists(journal));
            }
            if (fault == Fault::kJournalReadError) {
                // The journal could not be read back: the run says the image
                // was not put back, and keeps the journal for the next open.
                EXPECT_TRUE(run.end.failed);
                EXPECT_TRUE(FileExists(journal));
            }
        } else {
            ++succeeded;
        }
        std::vector<std::string> notes;
        ASSERT_TRUE(Reopen(image, &notes));
        EXPECT_FALSE(FileExists(journal));
        if (success) {
            ExpectSameAdjustment(ReadAdjusted(image, false), want);
        } else {
            EXPECT_TRUE(Slurp(image) == before) << "a failed run left the image changed";
        }
        if (Slurp(image) != before) {
            ASSERT_EQ(Shell("cp " + Quote(original) + " " + Quote(image)), 0);
        }
    }
    EXPECT_GT(failed, 0);
    // Past the deletion of the journal the run is committed; before it, a
    // failed write is never passed over.
    if (!reads) {
        EXPECT_LE(succeeded, 1);
    }
    std::cerr << FaultName(fault) << ": " << (reads ? "reads " : "steps ") << count
              << (stride > 1 ? ", every " + std::to_string(stride) + "th" : std::string())
              << ", points " << points << ", failed runs " << failed << ", successful " << succeeded
              << "\n";
}

std::string SweepName(const ::testing::TestParamInfo<SweepParam>& info) {
    const auto [sample, fault, shard] = info.param;
    return std::string(SampleName(sample)) + FaultName(fault) + std::to_string(shard);
}

INSTANTIATE_TEST_SUITE_P(Xp, ErrorSweep,
                         ::testing::Combine(::testing::Values(Sample::kFixed, Sample::kDynamic),
                                            ::testing::Values(Fault::kOnce, Fault::kStays),
                                            ::testing::Range(0, kShards)),
                         SweepName);
// I/O errors, on one sample: once at every step, and at every read of the
// journal while a failed run puts the image back.
INSTANTIATE_TEST_SUITE_P(XpIoError, ErrorSweep,
                         ::testing::Combine(::testing::Values(Sample::kFixed),
                                            ::testing::Values(Fault::kIoError,
                                                              Fault::kJournalReadError),
                                            ::testing::Range(0, kShards)),
                         SweepName);
// At every Nth read of the image. A read error that the volume or cabinet
// code passes over (it once let a run say it adjusted an image whose HAL and
// kernel were not replaced, or whose Boot.ini was gone) must still fail the
// run and put the image back.
INSTANTIATE_TEST_SUITE_P(XpReadError, ErrorSweep,
                         ::testing::Combine(::testing::Values(Sample::kFixed),
                                            ::testing::Values(Fault::kReadError),
                                            ::testing::Range(0, kShards)),
                         SweepName);

}  // namespace
}  // namespace morlit::posix::test

namespace morlit::posix::test {
namespace {

using FullParam = std::tuple<Sample, int>;
class FullFileSystemSweep : public ::testing::TestWithParam<FullParam> {};

// A sparse fixed and a dynamic image on a file system that fills up at
// every step of a run: a run that fails puts the image back by itself, with
// no free space, byte for byte and at its old length, and leaves no journal.
TEST_P(FullFileSystemSweep, EveryRunThatFailsPutsTheImageBackWithoutSpace) {
    const auto [sample, shard] = GetParam();
    const std::string dir = TestDir();
    const std::string image = MakeSample(dir, sample);
    const std::string original = dir + "/original.vhd";
    ASSERT_EQ(Shell("cp --sparse=always " + Quote(image) + " " + Quote(original)), 0);
    const std::string before = Slurp(image);
    const std::string journal = image + "-journal";
    const auto run = [&](long fill_at) {
        return RunStartInChild(
            image,
            [fill_at] {
                g_steps = 0;
                g_reads = 0;
                g_fail_at = fill_at;
                SetIoHook(FullFileSystemHook);
            },
            &g_steps);
    };
    const ChildRun clean = run(-1);
    ASSERT_EQ(clean.exitCode, 0);
    const long total = clean.steps;
    const Adjusted want = ReadAdjusted(image, false);
    ASSERT_TRUE(want.sound);
    ASSERT_EQ(Shell("cp --sparse=always " + Quote(original) + " " + Quote(image)), 0);

    long failed = 0;
    for (long point = 1 + shard; point <= total; point += kShards) {
        SCOPED_TRACE("the file system is full from step " + std::to_string(point) + " of " +
                     std::to_string(total));
        const ChildRun r = run(point);
        ASSERT_TRUE(r.reported);
        ASSERT_TRUE(r.exitCode == 0 || r.exitCode == kRunFailed) << r.exitCode;
        ExpectSaysWhy(r, Said::kFull);
        if (r.exitCode == 0) {
            std::vector<std::string> notes;
            ASSERT_TRUE(Reopen(image, &notes));
            ExpectSameAdjustment(ReadAdjusted(image, false), want);
        } else {
            ++failed;
            EXPECT_FALSE(r.end.failed) << "the rollback needed space";
            const std::string now = Slurp(image);
            EXPECT_EQ(now.size(), before.size());
            EXPECT_TRUE(now == before) << "a failed run left the image changed";
            EXPECT_FALSE(FileExists(journal));
        }
        EXPECT_FALSE(FileExists(journal));
        if (Slurp(image) != before) {
            ASSERT_EQ(Shell("cp --sparse=always " + Quote(original) + " " + Quote(image)), 0);
        }
    }
    EXPECT_GT(failed, 0);
    std::cerr << "steps " << total << ", failed runs " << failed << "\n";
}

INSTANTIATE_TEST_SUITE_P(Xp, FullFileSystemSweep,
                         ::testing::Combine(::testing::Values(Sample::kSparseFixed,
                                                              Sample::kDynamic),
                                            ::testing::Range(0, kShards)),
                         [](const ::testing::TestParamInfo<FullParam>& info) {
                             return std::string(SampleName(std::get<0>(info.param))) +
                                    std::to_string(std::get<1>(info.param));
                         });

}  // namespace
}  // namespace morlit::posix::test

namespace morlit::posix::test {
namespace {

int DyingHook(const IoEvent& event) {
    if (event.step == IoStep::kImageRead || event.step == IoStep::kJournalRead) return 0;
    if (++g_steps == g_die_at) _exit(86);
    return 0;
}

// What an open with a failing read said, sent back from its child.
struct Playback {
    bool opened = false;
    u32 error = 0;
    bool saysKept = false;  // the reason says the journal was kept, the image not put back
    long reads = -1;
};

// Opens the image as the next run does, failing one read of its journal; or,
// with `putBack`, as `morlit --put-back` does, failing one read of the image
// or the journal.
Playback OpenFailingRead(const std::string& image, long read, bool putBack = false) {
    Playback result;
    InForkedChild(std::function<int(Playback*)>([&](Playback* p) {
                      SetImageNoteSink([](const std::string&) {});
                      g_steps = 0;
                      g_reads = 0;
                      g_fail_at = -1;
                      g_fail_read_at = read;
                      g_journal_reads_only = !putBack;
                      SetIoHook(FailingHook);
                      std::string reason;
                      std::unique_ptr<VhdImage> opened;
                      if (putBack) {
                          int e = 0;
                          const auto file =
                              ImageFile::OpenFile(image, true, ImageWrites::kDirect, &e);
                          p->error = file ? file->Prepare(ProbeVhdIdentity, &reason) : 1;
                      } else {
                          // The playback's reads only: the image closed
                          // unchanged has made no journal of its own.
                          opened = VhdImage::Open(image, true, &p->error, &reason);
                      }
                      p->reads = g_reads;
                      p->opened = p->error == 0;
                      p->saysKept = reason.find("was kept") != std::string::npos &&
                                    reason.find("not put back") != std::string::npos;
                      return 0;
                  }),
                  &result);
    return result;
}

// A run died with most of its work in the journal. At the next open, a read
// of that journal fails: the open fails and says the image was not put back,
// the journal and the image are left as they were, and the open after the
// fault is gone puts the image back.
TEST(PlaybackReadError, EveryFailedJournalReadKeepsTheJournalForTheNextOpen) {
    const std::string dir = TestDir();
    const std::string image = MakeSample(dir, Sample::kDynamic);
    const std::string journal = image + "-journal";
    const std::string before = Slurp(image);
    const ChildRun clean = RunFailing(image, {});
    ASSERT_EQ(clean.exitCode, 0);
    std::ofstream(image, std::ios::binary | std::ios::trunc) << before;

    const long die_at = clean.steps * 3 / 4;
    const auto dies = [&] {
        g_steps = 0;
        g_die_at = die_at;
        SetIoHook(DyingHook);
    };
    ASSERT_EQ(RunStartInChild(image, dies, &g_steps).exitCode, 86);
    ASSERT_TRUE(FileExists(journal));
    const std::string crashedImage = Slurp(image), crashedJournal = Slurp(journal);
    ASSERT_TRUE(crashedImage != before);

    const Playback whole = OpenFailingRead(image, -1);
    ASSERT_TRUE(whole.opened);
    ASSERT_TRUE(Slurp(image) == before);
    ASSERT_GT(whole.reads, 2);
    for (long read = 1; read <= whole.reads; ++read) {
        SCOPED_TRACE("journal read " + std::to_string(read) + " of " + std::to_string(whole.reads) +
                     " fails");
        std::ofstream(image, std::ios::binary | std::ios::trunc) << crashedImage;
        std::ofstream(journal, std::ios::binary | std::ios::trunc) << crashedJournal;
        const Playback p = OpenFailingRead(image, read);
        EXPECT_FALSE(p.opened);
        EXPECT_EQ(p.error, err::kReadFault);
        EXPECT_TRUE(p.saysKept);
        EXPECT_TRUE(FileExists(journal));
        EXPECT_TRUE(Slurp(journal) == crashedJournal);
        std::vector<std::string> notes;
        ASSERT_TRUE(Reopen(image, &notes));
        EXPECT_FALSE(FileExists(journal));
        EXPECT_TRUE(Slurp(image) == before);
    }
    std::cerr << "journal reads " << whole.reads << "\n";
}

// One of the reads that open the image (its footer, header, table) fails
// once, and the run dies at one of its first steps. A failed read refuses
// every write, so no journal is made at all; one that were made would have
// to name the image as every later open reads it: a put-back that cannot
// read the image keeps the journal and says so, and the next one puts the
// image back, its times too.
TEST(PlaybackReadError, AFailedReadOfTheOpenThenADeathIsPutBack) {
    for (const Sample sample : {Sample::kFixed, Sample::kDynamic}) {
        const std::string image = MakeSample(TestDir(), sample), journal = image + "-journal";
        const std::string before = Slurp(image);
        for (long read = 1; read <= 8; ++read) {
            for (long die = 1; die <= 8; ++die) {
                SCOPED_TRACE(std::string(SampleName(sample)) + ": read " + std::to_string(read) +
                             " fails, death at step " + std::to_string(die));
                const std::string times = FileTimes(image, true);
                RunStartInChild(
                    image,
                    [&] {
                        g_steps = g_reads = 0;
                        g_fail_at = -1;
                        g_fail_read_at = read;
                        g_journal_reads_only = false;
                        g_die_at = die;
                        SetIoHook(FailingHook);
                    },
                    &g_steps);
                if (FileExists(journal) && !Slurp(journal).empty()) {
                    // The put-back's second read is of the image's identity.
                    const Playback p = OpenFailingRead(image, 2, true);
                    EXPECT_EQ(p.error, err::kReadFault);
                    EXPECT_TRUE(p.saysKept);
                    EXPECT_TRUE(FileExists(journal));
                }
                EXPECT_TRUE(OpenFailingRead(image, -1, true).opened);
                EXPECT_FALSE(FileExists(journal));
                EXPECT_EQ(FileTimes(image), times);
                EXPECT_TRUE(Slurp(image) == before);
            }
        }
    }
}

}  // namespace
}  // namespace morlit::posix::test
