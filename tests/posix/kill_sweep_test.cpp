// A complete XP run made to die before every step of the image layer that
// changes what is on disk: every write, truncation and sync of the image and
// of its journal, and the journal's creation and deletion. The run is a
// forked child that ends itself (_exit) at step N. In the power-cut variants
// it first makes what was not yet durable as a disk might leave it: every
// write since the file's last sync lost; or the last of them torn (a 4 KiB
// block of it half old, half new) and the others lost; or some of them kept
// and others lost. Creations and deletions in the folder since its last sync
// are lost in all three. After each death, opening the image must put it
// back byte for byte as it was - or, past the commit, leave it fully
// adjusted - and never anything between.
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <functional>

#include "tests/posix/sweep_fixture.h"

namespace morlit::posix::test {
namespace {

constexpr int kDied = 86;

long g_steps = 0;
long g_die_at = -1;
// How a power cut treats the writes not yet synced.
enum class Loss { kNone, kAll, kTorn, kSome };
Loss g_loss = Loss::kNone;
long g_interrupt_at = -1;

// What a power cut would take back: the bytes a write replaced and the
// file's length before it, kept until the file is synced.
struct Undo {
    int fd;
    u64 offset;
    std::string old;
    u64 size;
    u64 length;
    bool truncate;
};
std::vector<Undo> g_undo;
// Folder entries made or removed since the folder was last synced.
struct Entry {
    std::string path;
    bool created;
    std::string content;
};
std::vector<Entry> g_entries;

u64 SizeOf(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 ? static_cast<u64>(st.st_size) : 0;
}

void RecordUndo(int fd, u64 offset, u64 length, bool truncate = false) {
    Undo undo{fd, offset, {}, SizeOf(fd), length, truncate};
    if (offset < undo.size) {
        undo.old.resize(std::min(length, undo.size - offset));
        if (::pread(fd, &undo.old[0], undo.old.size(), static_cast<off_t>(offset)) < 0) _exit(90);
    }
    g_undo.push_back(std::move(undo));
}

std::string ReadRange(int fd, u64 offset, u64 end) {
    std::string bytes(end > offset ? end - offset : 0, '\0');
    if (!bytes.empty() && ::pread(fd, &bytes[0], bytes.size(), static_cast<off_t>(offset)) < 0)
        _exit(93);
    return bytes;
}

void WriteRange(int fd, u64 offset, const std::string& bytes) {
    if (!bytes.empty() && ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) < 0)
        _exit(91);
}

// Which unsynced writes a partial loss keeps: about half, different ones
// at every point of the sweep, the same ones on every run.
bool Kept(size_t index, long point) {
    return ((index * 2654435761u + static_cast<u64>(point) * 40503u) >> 4) & 1;
}

void PowerCut(long point) {
    // Undone newest first: before each is undone, the file holds exactly
    // what that write left, which a kept or torn write is made of again.
    struct Redo {
        u64 size;
        std::string bytes;
    };
    std::vector<Redo> redo(g_undo.size());
    for (size_t i = g_undo.size(); i-- > 0;) {
        const Undo& u = g_undo[i];
        redo[i].size = SizeOf(u.fd);
        if (!u.truncate)
            redo[i].bytes = ReadRange(u.fd, u.offset, std::min(redo[i].size, u.offset + u.length));
        WriteRange(u.fd, u.offset, u.old);
        if (::ftruncate(u.fd, static_cast<off_t>(u.size)) != 0) _exit(92);
    }
    for (size_t i = 0; i < g_undo.size(); ++i) {
        const Undo& u = g_undo[i];
        const bool last = std::none_of(g_undo.begin() + static_cast<long>(i) + 1, g_undo.end(),
                                       [&](const Undo& later) { return later.fd == u.fd; });
        if (g_loss == Loss::kSome && Kept(i, point)) {
            if (u.truncate) {
                if (::ftruncate(u.fd, static_cast<off_t>(redo[i].size)) != 0) _exit(92);
            } else {
                WriteRange(u.fd, u.offset, redo[i].bytes);
            }
        } else if (g_loss == Loss::kTorn && last && !u.truncate && !redo[i].bytes.empty()) {
            // The 4 KiB block the write starts in: one half of it new, the
            // other old (which half changes from point to point).
            const u64 block = u.offset & ~u64{4095};
            const u64 half = block + (point % 2 == 0 ? 0 : 2048);
            const u64 from = std::max(u.offset, half);
            const u64 to = std::min(u.offset + redo[i].bytes.size(), half + 2048);
            if (from < to) WriteRange(u.fd, from, redo[i].bytes.substr(from - u.offset, to - from));
        }
    }
    for (auto it = g_entries.rbegin(); it != g_entries.rend(); ++it) {
        if (it->created) {
            ::unlink(it->path.c_str());
        } else {
            std::ofstream(it->path, std::ios::binary) << it->content;
        }
    }
}

int SweepHook(const IoEvent& e) {
    // Reads change nothing a death could leave half done.
    if (e.step == IoStep::kImageRead || e.step == IoStep::kJournalRead) return 0;
    ++g_steps;
    if (g_steps == g_interrupt_at) ::raise(SIGINT);
    if (g_steps == g_die_at) {
        if (g_loss != Loss::kNone) PowerCut(g_die_at);
        _exit(kDied);
    }
    if (g_loss == Loss::kNone) return 0;
    switch (e.step) {
        case IoStep::kImageWrite:
        case IoStep::kImagePunch:  // a hole made again is lost like a write
        case IoStep::kJournalWrite:
            RecordUndo(e.fd, e.offset, e.length);
            break;
        case IoStep::kImageTruncate:
            RecordUndo(e.fd, e.offset, ~u64{0} >> 1, true);
            break;
        case IoStep::kImageSync:
        case IoStep::kJournalSync:
            g_undo.erase(std::remove_if(g_undo.begin(), g_undo.end(),
                                        [&](const Undo& u) { return u.fd == e.fd; }),
                         g_undo.end());
            break;
        case IoStep::kJournalCreate:
            g_entries.push_back({*e.path, true, {}});
            break;
        case IoStep::kJournalDelete:
            g_entries.push_back({*e.path, false, Slurp(*e.path)});
            break;
        case IoStep::kFolderSync:
            g_entries.clear();
            break;
        case IoStep::kImageRead:
        case IoStep::kJournalRead:
            break;
    }
    return 0;
}

// Runs Start on `image` in a forked child that dies at step `die_at` (never
// with -1). The child's exit code: kDied, 0 for a run that adjusted the
// image and committed, kRunFailed otherwise. *steps gets the steps a run
// that did not die took.
int RunChild(const std::string& image, long die_at, Loss loss, long* steps = nullptr,
             long interrupt_at = -1) {
    const ChildRun run = RunStartInChild(
        image,
        [&] {
            g_steps = 0;
            g_die_at = die_at;
            g_loss = loss;
            g_interrupt_at = interrupt_at;
            if (interrupt_at >= 0) InstallInterruptHandlers();
            SetIoHook(SweepHook);
        },
        &g_steps);
    if (steps) *steps = run.steps;
    return run.exitCode;
}

const char* LossName(Loss l) {
    return l == Loss::kNone   ? "Kill"
           : l == Loss::kAll  ? "PowerCut"
           : l == Loss::kTorn ? "Torn"
                              : "SomeKept";
}
void PrintTo(Loss l, std::ostream* os) { *os << LossName(l); }
constexpr int kShards = 4;
// Every this many points (and at the last), the run is also retried and its
// result compared with an uninterrupted run's.
constexpr long kRetryEvery = 25;

using SweepParam = std::tuple<Sample, Loss, int>;

class KillSweep : public ::testing::TestWithParam<SweepParam> {};

TEST_P(KillSweep, EveryDeathLeavesTheImageBeforeOrAfterNeverBetween) {
    const auto [sample, loss, shard] = GetParam();
    const std::string dir = TestDir();
    const std::string image = MakeSample(dir, sample);
    const std::string original = dir + "/original.vhd";
    ASSERT_EQ(Shell("cp " + Quote(image) + " " + Quote(original)), 0);
    const std::string before = Slurp(image);

    // The uninterrupted run: how many steps it takes, and what it makes.
    long total = 0;
    ASSERT_EQ(RunChild(image, -1, Loss::kNone, &total), 0);
    ASSERT_GT(total, 10);
    if (sample == Sample::kDynamic) {
        EXPECT_GT(Slurp(image).size(), before.size()) << "the run allocated no block";
    }
    const bool fat = sample == Sample::kFat32;
    const Adjusted want = ReadAdjusted(image, fat);
    ASSERT_TRUE(want.sound);
    ASSERT_TRUE(want.hal != before.substr(0, 0) && want.hive.size() > 10);
    ASSERT_EQ(Shell("cp " + Quote(original) + " " + Quote(image)), 0);

    long deaths = 0, after = 0;
    for (long point = 1 + shard; point <= total; point += kShards) {
        SCOPED_TRACE("death at step " + std::to_string(point) + " of " + std::to_string(total));
        const std::string times = FileTimes(image, true);
        const int code = RunChild(image, point, loss);
        ASSERT_EQ(code, kDied);
        ++deaths;
        std::vector<std::string> notes;
        ASSERT_TRUE(Reopen(image, &notes));
        const std::string timesNow = FileTimes(image);  // before a read sets the access time
        EXPECT_FALSE(FileExists(image + "-journal"));
        if (Slurp(image) != before) {
            // Only past the commit: then the run's work must be all there.
            ++after;
            EXPECT_TRUE(notes.empty());
            ExpectSameAdjustment(ReadAdjusted(image, fat), want);
            ASSERT_EQ(Shell("cp " + Quote(original) + " " + Quote(image)), 0);
            continue;
        }
        // A power cut is played by rewriting old bytes, which sets new times.
        EXPECT_TRUE(loss != Loss::kNone || timesNow == times) << timesNow;
        if ((point - 1 - shard) / kShards % kRetryEvery == 0 || point + kShards > total) {
            EXPECT_EQ(
                Shell("qemu-img compare -q -f vpc -F vpc " + Quote(original) + " " + Quote(image)),
                0);
            ASSERT_EQ(RunChild(image, -1, Loss::kNone), 0);
            ExpectSameAdjustment(ReadAdjusted(image, fat), want);
            ASSERT_EQ(Shell("cp " + Quote(original) + " " + Quote(image)), 0);
        }
    }
    EXPECT_GT(deaths, 0);
    // A death can come after the commit only at its very last steps.
    EXPECT_LE(after, 1);
    std::cerr << "steps " << total << ", deaths " << deaths << ", after the commit " << after
              << "\n";
}

std::string SweepName(const ::testing::TestParamInfo<SweepParam>& info) {
    const auto [sample, loss, shard] = info.param;
    return std::string(SampleName(sample)) + LossName(loss) + std::to_string(shard);
}

INSTANTIATE_TEST_SUITE_P(
    Xp, KillSweep,
    ::testing::Combine(::testing::Values(Sample::kFixed, Sample::kDynamic, Sample::kFat32),
                       ::testing::Values(Loss::kNone, Loss::kAll), ::testing::Range(0, kShards)),
    SweepName);
// Torn and partly kept writes, on a fixed image and on one whose blocks the
// run allocates.
INSTANTIATE_TEST_SUITE_P(XpPartial, KillSweep,
                         ::testing::Combine(::testing::Values(Sample::kFixed, Sample::kDynamic),
                                            ::testing::Values(Loss::kTorn, Loss::kSome),
                                            ::testing::Range(0, kShards)),
                         SweepName);

// Runs `body` in a forked child whose image steps go through the sweep's
// hook, dying at step `die_at`. Returns the child's exit code: kDied, or 0
// when it lived; *steps gets the steps it took.
int InChild(const std::function<void()>& body, long die_at, Loss loss, long* steps) {
    long taken = -1;
    const int code = InForkedChild(std::function<int(long*)>([&](long* count) {
                                       g_steps = 0;
                                       g_die_at = die_at;
                                       g_loss = loss;
                                       g_undo.clear();
                                       g_entries.clear();
                                       SetIoHook(SweepHook);
                                       body();
                                       *count = g_steps;
                                       return 0;
                                   }),
                                   &taken);
    if (steps && taken >= 0) *steps = taken;
    return code;
}

void WriteWhole(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

using PutBackParam = std::tuple<Sample, Loss>;
class PutBackSweep : public ::testing::TestWithParam<PutBackParam> {};

// Putting an image back can itself be cut short. At every step of it, with
// or without the loss of what was not yet durable, the journal outlives the
// work, and the next open finishes it: the image ends as it was.
TEST_P(PutBackSweep, EveryDeathWhilePuttingBackIsFinishedByTheNextOpen) {
    const auto [sample, loss] = GetParam();
    const std::string dir = TestDir();
    const std::string image = MakeSample(dir, sample);
    const std::string journal = image + "-journal";
    const std::string before = Slurp(image);
    long total = 0;
    ASSERT_EQ(RunChild(image, -1, Loss::kNone, &total), 0);
    WriteWhole(image, before);

    // A run that died late, with most of its work in the journal.
    ASSERT_EQ(RunChild(image, total * 3 / 4, Loss::kNone), kDied);
    ASSERT_TRUE(FileExists(journal));
    const std::string crashedImage = Slurp(image), crashedJournal = Slurp(journal);
    ASSERT_TRUE(crashedImage != before);

    const auto reopen = [&] {
        std::vector<std::string> notes;
        Reopen(image, &notes);
    };
    long steps = 0;
    ASSERT_EQ(InChild(reopen, -1, Loss::kNone, &steps), 0);
    ASSERT_TRUE(Slurp(image) == before);
    ASSERT_GT(steps, 3);
    for (long point = 1; point <= steps; ++point) {
        SCOPED_TRACE("death at step " + std::to_string(point) + " of " + std::to_string(steps));
        WriteWhole(image, crashedImage);
        WriteWhole(journal, crashedJournal);
        ASSERT_EQ(InChild(reopen, point, loss, nullptr), kDied);
        // The journal is gone only once the image is whole again.
        if (!FileExists(journal)) {
            EXPECT_TRUE(Slurp(image) == before);
            continue;
        }
        std::vector<std::string> notes;
        ASSERT_TRUE(Reopen(image, &notes));
        EXPECT_FALSE(FileExists(journal));
        EXPECT_TRUE(Slurp(image) == before);
    }
    std::cerr << "put-back steps " << steps << "\n";
}

std::string PutBackName(const ::testing::TestParamInfo<PutBackParam>& info) {
    const auto [sample, loss] = info.param;
    return std::string(SampleName(sample)) + LossName(loss);
}

INSTANTIATE_TEST_SUITE_P(Xp, PutBackSweep,
                         ::testing::Combine(::testing::Values(Sample::kFixed, Sample::kDynamic),
                                            ::testing::Values(Loss::kNone, Loss::kAll, Loss::kTorn,
                                                              Loss::kSome)),
                         PutBackName);

// Ctrl-C part way through a run: the next write fails, the run ends with its
// failure message, and the image is put back before the command ends. Once
// the run is finishing, its result is decided and a Ctrl-C waits.
TEST(KillSweepSignal, AnInterruptedRunEndsFailedWithTheImageAsItWas) {
    const std::string dir = TestDir();
    const std::string image = MakeSample(dir, Sample::kDynamic);
    const std::string before = Slurp(image);
    long total = 0;
    const std::string copy = dir + "/count.vhd";
    ASSERT_EQ(Shell("cp " + Quote(image) + " " + Quote(copy)), 0);
    ASSERT_EQ(RunChild(copy, -1, Loss::kNone, &total), 0);
    for (long at : {total / 4, total / 2}) {
        SCOPED_TRACE("SIGINT at step " + std::to_string(at));
        EXPECT_EQ(RunChild(image, -1, Loss::kNone, nullptr, at), kRunFailed);
        EXPECT_TRUE(Slurp(image) == before);
        EXPECT_FALSE(FileExists(image + "-journal"));
    }
    // Among the last steps (the detach and the commit) the run has decided:
    // the signal waits, and the adjusted image is kept.
    EXPECT_EQ(RunChild(image, -1, Loss::kNone, nullptr, total - 3), 0);
    EXPECT_FALSE(FileExists(image + "-journal"));
    ExpectSameAdjustment(ReadAdjusted(image, false), ReadAdjusted(copy, false));
}

}  // namespace
}  // namespace morlit::posix::test
