// A complete XP run in which step N of the image layer fails - a write,
// truncation or sync of the image or of its journal, the journal's creation
// or deletion, a folder sync - for every N of an uninterrupted run: once
// (a passing fault), or from N on to the end of the process (a disk that
// stays full), which takes in the rollback itself. However the run ends, it
// must never say it adjusted the image unless it did; and once the image is
// opened as the next run would open it, it is either fully adjusted (the run
// said so) or byte for byte as it was, with no journal left.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "tests/posix/sweep_fixture.h"

namespace morlit::posix::test {
namespace {

enum class Fault { kOnce, kStays };
void PrintTo(Fault f, std::ostream* os) { *os << (f == Fault::kOnce ? "once" : "from then on"); }

long g_steps = 0;
long g_fail_at = -1;
bool g_stays = false;

int FailingHook(const IoEvent& event) {
    if (event.step == IoStep::kImageRead || event.step == IoStep::kJournalRead) return 0;
    ++g_steps;
    if (g_fail_at > 0 && (g_steps == g_fail_at || (g_stays && g_steps > g_fail_at))) return ENOSPC;
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

ChildRun RunFailingAt(const std::string& image, long fail_at, bool stays) {
    return RunStartInChild(
        image,
        [&] {
            g_steps = 0;
            g_fail_at = fail_at;
            g_stays = stays;
            SetIoHook(FailingHook);
        },
        &g_steps);
}

constexpr int kShards = 4;
using SweepParam = std::tuple<Sample, Fault, int>;

class ErrorSweep : public ::testing::TestWithParam<SweepParam> {};

TEST_P(ErrorSweep, EveryFailedStepLeavesTheImageBeforeOrAfterAndSaysWhich) {
    const auto [sample, fault, shard] = GetParam();
    const bool stays = fault == Fault::kStays;
    const std::string dir = TestDir();
    const std::string image = MakeSample(dir, sample);
    const std::string original = dir + "/original.vhd";
    ASSERT_EQ(Shell("cp " + Quote(image) + " " + Quote(original)), 0);
    const std::string before = Slurp(image);
    const std::string journal = image + "-journal";

    const ChildRun clean = RunFailingAt(image, -1, false);
    ASSERT_EQ(clean.exitCode, 0);
    const long total = clean.steps;
    ASSERT_GT(total, 10);
    const Adjusted want = ReadAdjusted(image, false);
    ASSERT_TRUE(want.sound);
    ASSERT_EQ(Shell("cp " + Quote(original) + " " + Quote(image)), 0);

    long failed = 0, succeeded = 0;
    for (long point = 1 + shard; point <= total; point += kShards) {
        SCOPED_TRACE("step " + std::to_string(point) + " of " + std::to_string(total) + " fails" +
                     (stays ? " and every one after it" : ""));
        const ChildRun run = RunFailingAt(image, point, stays);
        // The child lived to the end and exited on its own.
        ASSERT_TRUE(run.reported);
        ASSERT_TRUE(run.exitCode == 0 || run.exitCode == kRunFailed) << run.exitCode;
        const bool success = run.exitCode == 0;
        EXPECT_EQ(success, run.adjustedMessage && run.end.committed);
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
    // failed step is never passed over.
    EXPECT_LE(succeeded, 1);
    std::cerr << "steps " << total << ", failed runs " << failed << ", successful " << succeeded
              << "\n";
}

std::string SweepName(const ::testing::TestParamInfo<SweepParam>& info) {
    const auto [sample, fault, shard] = info.param;
    return std::string(SampleName(sample)) + (fault == Fault::kOnce ? "Once" : "FromThenOn") +
           std::to_string(shard);
}

INSTANTIATE_TEST_SUITE_P(Xp, ErrorSweep,
                         ::testing::Combine(::testing::Values(Sample::kFixed, Sample::kDynamic),
                                            ::testing::Values(Fault::kOnce, Fault::kStays),
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
