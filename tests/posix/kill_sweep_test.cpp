// A complete XP run made to die before every step of the image layer that
// changes what is on disk: every write, truncation and sync of the image and
// of its journal, and the journal's creation and deletion. The run is a
// forked child that ends itself (_exit) at step N. In the power-cut variant
// it first throws away everything not yet made durable: writes since the
// file's last sync, and creations and deletions in the folder since its last
// sync. After each death, opening the image must put it back byte for byte
// as it was - or, past the commit, leave it fully adjusted - and never
// anything between.
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
bool g_power_cut = false;
long g_interrupt_at = -1;

// What a power cut would take back: the bytes a write replaced and the
// file's length before it, kept until the file is synced.
struct Undo {
    int fd;
    u64 offset;
    std::string old;
    u64 size;
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

void RecordUndo(int fd, u64 offset, u64 length) {
    Undo undo{fd, offset, {}, SizeOf(fd)};
    if (offset < undo.size) {
        undo.old.resize(std::min(length, undo.size - offset));
        if (::pread(fd, &undo.old[0], undo.old.size(), static_cast<off_t>(offset)) < 0) _exit(90);
    }
    g_undo.push_back(std::move(undo));
}

void PowerCut() {
    for (auto it = g_undo.rbegin(); it != g_undo.rend(); ++it) {
        if (!it->old.empty() &&
            ::pwrite(it->fd, it->old.data(), it->old.size(), static_cast<off_t>(it->offset)) < 0)
            _exit(91);
        if (::ftruncate(it->fd, static_cast<off_t>(it->size)) != 0) _exit(92);
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
        if (g_power_cut) PowerCut();
        _exit(kDied);
    }
    if (!g_power_cut) return 0;
    switch (e.step) {
        case IoStep::kImageWrite:
        case IoStep::kImagePunch:  // a hole made again is lost like a write
        case IoStep::kJournalWrite:
            RecordUndo(e.fd, e.offset, e.length);
            break;
        case IoStep::kImageTruncate:
            RecordUndo(e.fd, e.offset, ~u64{0} >> 1);
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
int RunChild(const std::string& image, long die_at, bool power_cut, long* steps = nullptr,
             long interrupt_at = -1) {
    const ChildRun run = RunStartInChild(
        image,
        [&] {
            g_steps = 0;
            g_die_at = die_at;
            g_power_cut = power_cut;
            g_interrupt_at = interrupt_at;
            if (interrupt_at >= 0) InstallInterruptHandlers();
            SetIoHook(SweepHook);
        },
        &g_steps);
    if (steps) *steps = run.steps;
    return run.exitCode;
}

enum class Death { kKill, kPowerCut };
void PrintTo(Death d, std::ostream* os) { *os << (d == Death::kKill ? "kill" : "power cut"); }
constexpr int kShards = 4;
// Every this many points (and at the last), the run is also retried and its
// result compared with an uninterrupted run's.
constexpr long kRetryEvery = 25;

using SweepParam = std::tuple<Sample, Death, int>;

class KillSweep : public ::testing::TestWithParam<SweepParam> {};

TEST_P(KillSweep, EveryDeathLeavesTheImageBeforeOrAfterNeverBetween) {
    const auto [sample, death, shard] = GetParam();
    const bool power_cut = death == Death::kPowerCut;
    const std::string dir = TestDir();
    const std::string image = MakeSample(dir, sample);
    const std::string original = dir + "/original.vhd";
    ASSERT_EQ(Shell("cp " + Quote(image) + " " + Quote(original)), 0);
    const std::string before = Slurp(image);

    // The uninterrupted run: how many steps it takes, and what it makes.
    long total = 0;
    ASSERT_EQ(RunChild(image, -1, false, &total), 0);
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
        const int code = RunChild(image, point, power_cut);
        ASSERT_EQ(code, kDied);
        ++deaths;
        std::vector<std::string> notes;
        ASSERT_TRUE(Reopen(image, &notes));
        EXPECT_FALSE(FileExists(image + "-journal"));
        if (Slurp(image) != before) {
            // Only past the commit: then the run's work must be all there.
            ++after;
            EXPECT_TRUE(notes.empty());
            ExpectSameAdjustment(ReadAdjusted(image, fat), want);
            ASSERT_EQ(Shell("cp " + Quote(original) + " " + Quote(image)), 0);
            continue;
        }
        if ((point - 1 - shard) / kShards % kRetryEvery == 0 || point + kShards > total) {
            EXPECT_EQ(
                Shell("qemu-img compare -q -f vpc -F vpc " + Quote(original) + " " + Quote(image)),
                0);
            ASSERT_EQ(RunChild(image, -1, false), 0);
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
    const auto [sample, death, shard] = info.param;
    return std::string(SampleName(sample)) + (death == Death::kKill ? "Kill" : "PowerCut") +
           std::to_string(shard);
}

INSTANTIATE_TEST_SUITE_P(Xp, KillSweep,
                         ::testing::Combine(::testing::Values(Sample::kFixed, Sample::kDynamic,
                                                              Sample::kFat32),
                                            ::testing::Values(Death::kKill, Death::kPowerCut),
                                            ::testing::Range(0, kShards)),
                         SweepName);

// Runs `body` in a forked child whose image steps go through the sweep's
// hook, dying at step `die_at`. Returns the child's exit code: kDied, or 0
// when it lived; *steps gets the steps it took.
int InChild(const std::function<void()>& body, long die_at, bool power_cut, long* steps) {
    long taken = -1;
    const int code = InForkedChild(std::function<int(long*)>([&](long* count) {
                                       g_steps = 0;
                                       g_die_at = die_at;
                                       g_power_cut = power_cut;
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

using PutBackParam = std::tuple<Sample, Death>;
class PutBackSweep : public ::testing::TestWithParam<PutBackParam> {};

// Putting an image back can itself be cut short. At every step of it, with
// or without the loss of what was not yet durable, the journal outlives the
// work, and the next open finishes it: the image ends as it was.
TEST_P(PutBackSweep, EveryDeathWhilePuttingBackIsFinishedByTheNextOpen) {
    const auto [sample, death] = GetParam();
    const std::string dir = TestDir();
    const std::string image = MakeSample(dir, sample);
    const std::string journal = image + "-journal";
    const std::string before = Slurp(image);
    long total = 0;
    ASSERT_EQ(RunChild(image, -1, false, &total), 0);
    WriteWhole(image, before);

    // A run that died late, with most of its work in the journal.
    ASSERT_EQ(RunChild(image, total * 3 / 4, false), kDied);
    ASSERT_TRUE(FileExists(journal));
    const std::string crashedImage = Slurp(image), crashedJournal = Slurp(journal);
    ASSERT_TRUE(crashedImage != before);

    const auto reopen = [&] {
        std::vector<std::string> notes;
        Reopen(image, &notes);
    };
    long steps = 0;
    ASSERT_EQ(InChild(reopen, -1, false, &steps), 0);
    ASSERT_TRUE(Slurp(image) == before);
    ASSERT_GT(steps, 3);
    const bool power_cut = death == Death::kPowerCut;
    for (long point = 1; point <= steps; ++point) {
        SCOPED_TRACE("death at step " + std::to_string(point) + " of " + std::to_string(steps));
        WriteWhole(image, crashedImage);
        WriteWhole(journal, crashedJournal);
        ASSERT_EQ(InChild(reopen, point, power_cut, nullptr), kDied);
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
    const auto [sample, death] = info.param;
    return std::string(SampleName(sample)) + (death == Death::kKill ? "Kill" : "PowerCut");
}

INSTANTIATE_TEST_SUITE_P(Xp, PutBackSweep,
                         ::testing::Combine(::testing::Values(Sample::kFixed, Sample::kDynamic),
                                            ::testing::Values(Death::kKill, Death::kPowerCut)),
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
    ASSERT_EQ(RunChild(copy, -1, false, &total), 0);
    for (long at : {total / 4, total / 2}) {
        SCOPED_TRACE("SIGINT at step " + std::to_string(at));
        EXPECT_EQ(RunChild(image, -1, false, nullptr, at), kRunFailed);
        EXPECT_TRUE(Slurp(image) == before);
        EXPECT_FALSE(FileExists(image + "-journal"));
    }
    // Among the last steps (the detach and the commit) the run has decided:
    // the signal waits, and the adjusted image is kept.
    EXPECT_EQ(RunChild(image, -1, false, nullptr, total - 3), 0);
    EXPECT_FALSE(FileExists(image + "-journal"));
    ExpectSameAdjustment(ReadAdjusted(image, false), ReadAdjusted(copy, false));
}

}  // namespace
}  // namespace morlit::posix::test
