// The image file layer's journal: what a rollback restores, and what the next
// open does with each kind of journal it finds.
#include "platform/posix/disk/image_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <cerrno>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <utility>
#include <vector>

#include "platform/posix/disk/errno_map.h"
#include "tests/posix/temp_dir.h"

namespace morlit::posix {
namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void Spit(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

std::string Random(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen());
    return s;
}

std::string WorkDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string dir =
        test::TestRoot::Get().FolderFor(std::string(info->test_suite_name()) + "." + info->name());
    EXPECT_EQ(std::system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str()), 0);
    return dir;
}

// An image named by its first 16 bytes.
u32 ProbeTest(const ImageReader& read, u64, ImageIdentity* identity) {
    identity->diskSize = 1 << 20;
    return read(identity->id, 16, 0);
}

std::shared_ptr<ImageFile> OpenPrepared(const std::string& path, u32* error, std::string* reason) {
    int e = 0;
    auto file = ImageFile::OpenFile(path, true, ImageWrites::kJournalled, &e);
    if (!file) return nullptr;
    *error = file->Prepare(ProbeTest, reason);
    return *error == 0 ? file : nullptr;
}

// Writes in place, across and beyond the old end, through both write calls,
// a shrink and a growth: a rollback gives back every byte and the length; a
// commit keeps them all, and leaves no journal either way. The rollback
// gives back the file's times too.
TEST(ImageFileJournal, RollbackRestoresEveryByteAndTheLengthCommitKeepsThem) {
    const std::string dir = WorkDir();
    const std::string image = dir + "/image.bin";
    const std::string original = Random((1 << 20) + 1000, 1);
    for (bool commit : {false, true}) {
        SCOPED_TRACE(commit ? "commit" : "rollback");
        Spit(image, original);
        const std::string times = test::FileTimes(image, true);
        std::string model = original;
        u32 error = 0;
        std::string reason;
        auto file = OpenPrepared(image, &error, &reason);
        ASSERT_TRUE(file) << reason;
        EXPECT_FALSE(Exists(file->JournalPath()));  // made by the first change
        const auto write = [&](u64 at, const std::string& data) {
            ASSERT_EQ(file->Write(data.data(), data.size(), at), 0u);
            if (model.size() < at + data.size()) model.resize(at + data.size(), '\0');
            model.replace(at, data.size(), data);
        };
        write(10, Random(100, 2));
        ASSERT_TRUE(Exists(file->JournalPath()));
        write(70000, Random(200000, 3));               // several chunks at once
        write(70100, Random(50, 4));                   // inside what is saved already
        write(original.size() - 10, Random(5000, 5));  // across the old end
        std::string a = Random(3000, 6), b = Random(4000, 7);
        ASSERT_EQ(file->WriteVec({{&a[0], a.size()}, {&b[0], b.size()}}, 500000), 0u);
        model.replace(500000, a.size(), a);
        model.replace(500000 + a.size(), b.size(), b);
        ASSERT_EQ(file->Truncate(600000), 0u);  // below the old end
        model.resize(600000);
        ASSERT_EQ(file->Truncate(2 << 20), 0u);
        model.resize(2 << 20, '\0');
        write(900000, Random(10, 8));
        EXPECT_TRUE(Slurp(image) == model);
        EXPECT_GT(ImageFile::PeakJournalBytes(), 400000u);

        if (commit) {
            ASSERT_EQ(file->Commit(&reason), 0u) << reason;
            EXPECT_TRUE(Slurp(image) == model);
        } else {
            ASSERT_EQ(file->Rollback(&reason), 0u) << reason;
            EXPECT_EQ(test::FileTimes(image), times);  // before a read sets the access time
            EXPECT_TRUE(Slurp(image) == original);
        }
        EXPECT_FALSE(Exists(image + "-journal"));
        // Nothing more reaches the image once the changes are settled.
        EXPECT_NE(file->Write("x", 1, 0), 0u);
    }
}

// A run in a forked child that opens `path`, makes `writes` (offset, bytes)
// and dies without committing. False when a write failed.
bool WriteAndDie(const std::string& path, const std::vector<std::pair<u64, std::string>>& writes) {
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        u32 error = 0;
        std::string reason;
        auto file = OpenPrepared(path, &error, &reason);
        if (!file) _exit(1);
        for (const auto& w : writes) {
            if (file->Write(w.second.data(), w.second.size(), w.first) != 0) _exit(1);
        }
        _exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A run that reached the image through a symbolic link and died leaves its
// journal beside the image itself, so a run that names the image directly
// puts it back, and the link's folder gets nothing.
TEST(ImageFileJournal, LiesBesideTheFileNotBesideALinkToIt) {
    const std::string dir = WorkDir();
    const std::string image = dir + "/image.bin", link = dir + "/links/image.bin";
    ASSERT_EQ(::mkdir((dir + "/links").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("../image.bin", link.c_str()), 0);
    const std::string original = Random(1 << 20, 21);
    Spit(image, original);
    ASSERT_TRUE(WriteAndDie(link, {{4096, "changed"}}));
    EXPECT_FALSE(Exists(link + "-journal"));
    ASSERT_TRUE(Exists(image + "-journal"));
    EXPECT_FALSE(Slurp(image) == original);
    u32 error = 0;
    std::string reason;
    auto file = OpenPrepared(image, &error, &reason);
    ASSERT_TRUE(file) << reason;
    file.reset();
    EXPECT_TRUE(Slurp(image) == original);
    EXPECT_FALSE(Exists(image + "-journal"));
}

// A sparse image: its holes and data ranges, and the space it holds.
struct Layout {
    std::vector<std::pair<u64, u64>> data;  // [from, to) ranges that hold data
    u64 blocks = 0;
};
Layout LayoutOf(const std::string& path) {
    Layout l;
    const int fd = ::open(path.c_str(), O_RDONLY);
    struct stat st {};
    ::fstat(fd, &st);
    l.blocks = static_cast<u64>(st.st_blocks);
    for (off_t at = 0;;) {
        const off_t d = ::lseek(fd, at, SEEK_DATA);
        if (d < 0) break;
        const off_t h = ::lseek(fd, d, SEEK_HOLE);
        l.data.push_back({static_cast<u64>(d), static_cast<u64>(h)});
        at = h;
    }
    ::close(fd);
    return l;
}
bool InData(const Layout& l, u64 from, u64 length) {
    for (const auto& r : l.data) {
        if (from >= r.first && from + length <= r.second) return true;
    }
    return false;
}

// Writes a sparse image: 4 MiB with data at 64 KiB (64 KiB long) and at
// 1 MiB + 4 KiB (12 KiB long, so a chunk holds data and hole), the rest holes.
std::string MakeSparse(const std::string& image) {
    std::string model(4 << 20, '\0');
    const int fd = ::open(image.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(model.size())), 0);
    for (const auto& [at, size] : {std::pair<u64, u64>{65536, 65536}, {(1 << 20) + 4096, 12288}}) {
        const std::string bytes = Random(size, static_cast<unsigned>(at));
        EXPECT_EQ(::pwrite(fd, bytes.data(), size, static_cast<off_t>(at)),
                  static_cast<ssize_t>(size));
        model.replace(at, size, bytes);
    }
    ::close(fd);
    return model;
}

std::vector<IoEvent> g_rollback_writes;
int RecordImageWrites(const IoEvent& event) {
    if (event.step == IoStep::kImageWrite) g_rollback_writes.push_back(event);
    return 0;
}

// What a run writes into the holes of a sparse image is given back as holes:
// a rollback (in the process, or by the next open after a death) writes only
// where the image held data, so it needs no free space, and the image ends
// with the same bytes, the same length and no more space than it had.
TEST(ImageFileJournal, HolesComeBackAsHolesAndPutBackWritesOnlyWhereDataWas) {
    const std::string dir = WorkDir();
    const std::string image = dir + "/image.bin";
    const std::vector<std::pair<u64, std::string>> writes = {
        {300000, Random(200000, 31)},          // into a hole, several chunks
        {65536 + 1000, Random(100, 32)},       // into data
        {(1 << 20) + 100, Random(30000, 33)},  // a chunk of data and hole
        {(4 << 20) - 50, Random(5000, 34)},    // across the end
    };
    for (const bool died : {false, true}) {
        SCOPED_TRACE(died ? "put back by the next open" : "rolled back");
        const std::string original = MakeSparse(image);
        const Layout before = LayoutOf(image);
        ASSERT_EQ(before.data.size(), 2u) << "the file system keeps no holes";
        if (died) {
            ASSERT_TRUE(WriteAndDie(image, writes));
        } else {
            u32 error = 0;
            std::string reason;
            auto file = OpenPrepared(image, &error, &reason);
            ASSERT_TRUE(file) << reason;
            for (const auto& w : writes)
                ASSERT_EQ(file->Write(w.second.data(), w.second.size(), w.first), 0u);
            // Holes cost no bytes in the journal.
            EXPECT_LT(Slurp(file->JournalPath()).size(), 3u * 65536 + 4096);
            g_rollback_writes.clear();
            SetIoHook(RecordImageWrites);
            const u32 e = file->Rollback(&reason);
            SetIoHook(nullptr);
            ASSERT_EQ(e, 0u) << reason;
            for (const IoEvent& w : g_rollback_writes)
                EXPECT_TRUE(InData(before, w.offset, w.length)) << w.offset << "+" << w.length;
        }
        if (died) {
            EXPECT_FALSE(Slurp(image) == original);
            u32 error = 0;
            std::string reason;
            auto file = OpenPrepared(image, &error, &reason);
            ASSERT_TRUE(file) << reason;
            ASSERT_EQ(file->Rollback(&reason), 0u) << reason;
        }
        EXPECT_TRUE(Slurp(image) == original);
        EXPECT_FALSE(Exists(image + "-journal"));
        const Layout after = LayoutOf(image);
        EXPECT_EQ(after.blocks, before.blocks);
        EXPECT_EQ(after.data, before.data);
    }
}

// CRC-32 as zlib computes it, for journals written by hand.
u32 TestCrc(const std::string& bytes, u32 crc = 0) {
    crc = ~crc;
    for (unsigned char b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    return ~crc;
}
std::string Le(u64 value, int bytes) {
    std::string out(static_cast<size_t>(bytes), '\0');
    for (int i = 0; i < bytes; ++i)
        out[static_cast<size_t>(i)] = static_cast<char>(value >> (8 * i));
    return out;
}

// A journal an older build left is still played back when its image is next
// opened: version 1 (no hole records) and version 2, both with records right
// after a 64-byte header. Version 2's hole record, which has no bytes, keeps
// the CRC its salt and head give.
TEST(ImageFileJournal, JournalsOfOlderVersionsStillPlayBack) {
    const std::string dir = WorkDir();
    const std::string image = dir + "/image.bin";
    std::string original = Random(1 << 20, 41);
    original.replace(196608, 65536, 65536, '\0');
    for (const char* magic : {"MLTJRNL1", "MLTJRNL2"}) {
        SCOPED_TRACE(magic);
        const bool holes = magic[7] == '2';
        std::string changed = original;
        changed.replace(70000, 5, "older");
        if (holes) changed.replace(200000, 4, "hole");
        changed.append(3000, 'x');  // grown past the old end
        Spit(image, changed);
        const u64 salt = 0x1234567890ABCDEFull;
        std::string head = magic + original.substr(0, 16) + Le(1 << 20, 8) +
                           Le(original.size(), 8) + Le(salt, 8) + std::string(12, '\0');
        head += Le(TestCrc(head), 4);
        const std::string saved = original.substr(65536, 65536);
        const std::string rh = Le(65536, 8) + Le(saved.size(), 4);
        std::string records = rh + Le(TestCrc(saved, TestCrc(rh, TestCrc(Le(salt, 8)))), 4) + saved;
        const std::string hole = Le(196608, 8) + Le(65536 | (1u << 31), 4);
        if (holes) records = hole + Le(TestCrc(hole, TestCrc(Le(salt, 8))), 4) + records;
        Spit(image + "-journal", head + records);
        u32 error = 0;
        std::string reason;
        auto file = OpenPrepared(image, &error, &reason);
        ASSERT_TRUE(file) << reason;
        file.reset();
        EXPECT_TRUE(Slurp(image) == original);
        EXPECT_FALSE(Exists(image + "-journal"));
    }
}

// The journal a run leaves when it dies, and what the next open makes of it,
// each changed the way a crash or a stranger would change it.
struct LeftJournal {
    const char* name;
    std::function<void(const std::string& image, const std::string& journal)> change;
    u32 error;            // of the next open
    bool journalRemains;  // after that open
    enum { kOriginal, kAsLeft, kFirstWriteUndone } image;
};

class JournalAtOpen : public ::testing::TestWithParam<LeftJournal> {};

TEST_P(JournalAtOpen, IsPlayedBackDeletedOrLeftAlone) {
    const LeftJournal& c = GetParam();
    const std::string dir = WorkDir();
    const std::string image = dir + "/image.bin", journal = image + "-journal";
    const std::string original = Random(1 << 20, 11);
    Spit(image, original);
    const std::string times = test::FileTimes(image, true);
    const std::string first = Random(1000, 12), second = Random(1000, 13);
    // A run that wrote twice, far apart, and died without committing.
    ASSERT_TRUE(WriteAndDie(image, {{100000, first}, {800000, second}}));
    ASSERT_TRUE(Exists(journal));
    std::string left = Slurp(image);
    if (c.change) c.change(image, journal);
    left = Slurp(image);
    const std::string journalBefore = Exists(journal) ? Slurp(journal) : "";

    std::vector<std::string> notes;
    SetImageNoteSink([&](const std::string& line) { notes.push_back(line); });
    u32 error = 0;
    std::string reason;
    auto file = OpenPrepared(image, &error, &reason);
    SetImageNoteSink(nullptr);
    EXPECT_EQ(error, c.error) << reason;
    if (c.error) {
        EXPECT_FALSE(reason.empty());
        EXPECT_TRUE(Slurp(journal) == journalBefore);
    }
    file.reset();  // the open changed nothing: no note, no journal
    const std::string timesNow = test::FileTimes(image);
    EXPECT_EQ(Exists(journal), c.journalRemains);
    std::string want = c.image == LeftJournal::kOriginal ? original : left;
    if (c.image == LeftJournal::kFirstWriteUndone)
        want.replace(100000, 1000, original, 100000, 1000);
    EXPECT_TRUE(Slurp(image) == want);
    if (c.image != LeftJournal::kAsLeft) {
        EXPECT_EQ(timesNow, times);
    }
    EXPECT_EQ(notes.size(), c.image == LeftJournal::kAsLeft || c.error ? 0u : 1u);
}

// Offsets in the journal: a header in its 4096-byte sector, then records of a 16-byte head
// and their bytes; the first record saves the 64 KiB chunk at 64 KiB.
constexpr long kSecondRecord = 4096 + 16 + 65536;

void FlipByte(const std::string& path, long at) {
    std::string data = Slurp(path);
    data[static_cast<size_t>(at)] ^= 0x5A;
    Spit(path, data);
}

INSTANTIATE_TEST_SUITE_P(
    Left, JournalAtOpen,
    ::testing::Values(
        LeftJournal{"Intact", nullptr, 0, false, LeftJournal::kOriginal},
        // A header never made durable: nothing was written under it.
        LeftJournal{"TornHeader",
                    [](const std::string& image, const std::string& journal) {
                        Spit(journal, Slurp(journal).substr(0, 40));
                        // What the image holds is not the journal's doing.
                        std::string data = Slurp(image);
                        data.replace(5, 3, "new");
                        Spit(image, data);
                    },
                    0, false, LeftJournal::kAsLeft},
        LeftJournal{"HeaderChecksumWrong",
                    [](const std::string&, const std::string& journal) { FlipByte(journal, 30); },
                    0, false, LeftJournal::kAsLeft},
        // The last record torn: its image write never happened; the records
        // before it are played back.
        LeftJournal{"LastRecordTorn",
                    [](const std::string&, const std::string& journal) {
                        Spit(journal, Slurp(journal).substr(0, kSecondRecord + 16 + 100));
                    },
                    0, false, LeftJournal::kFirstWriteUndone},
        LeftJournal{"LastRecordDamaged",
                    [](const std::string&, const std::string& journal) {
                        FlipByte(journal, kSecondRecord + 16 + 7);
                    },
                    0, false, LeftJournal::kFirstWriteUndone},
        // Another image now lies under the name: left alone, nothing written.
        LeftJournal{"OtherImage",
                    [](const std::string& image, const std::string&) {
                        std::string data = Slurp(image);
                        data.replace(0, 16, "another image id");
                        Spit(image, data);
                    },
                    err::kFileExists, true, LeftJournal::kAsLeft},
        // A journal name that is a link elsewhere is never followed.
        LeftJournal{"JournalIsALink",
                    [](const std::string& image, const std::string& journal) {
                        std::remove(journal.c_str());
                        Spit(image + ".elsewhere", "keep me");
                        ASSERT_EQ(::symlink((image + ".elsewhere").c_str(), journal.c_str()), 0);
                    },
                    err::kFileExists, true, LeftJournal::kAsLeft}),
    [](const ::testing::TestParamInfo<LeftJournal>& info) { return std::string(info.param.name); });

// A writer closed without a commit does not keep its changes: the image is
// put back and one line says so; one that changed nothing goes quietly.
TEST(ImageFileJournal, AWriterClosedWithoutCommitPutsTheImageBack) {
    const std::string dir = WorkDir();
    const std::string image = dir + "/image.bin";
    const std::string original = Random(1 << 20, 71);
    for (bool write : {true, false}) {
        SCOPED_TRACE(write ? "written" : "unchanged");
        Spit(image, original);
        std::vector<std::string> notes;
        SetImageNoteSink([&](const std::string& line) { notes.push_back(line); });
        u32 error = 0;
        std::string reason;
        auto file = OpenPrepared(image, &error, &reason);
        ASSERT_TRUE(file) << reason;
        if (write) {
            ASSERT_EQ(file->Write("changed", 7, 300000), 0u);
        }
        file.reset();
        SetImageNoteSink(nullptr);
        EXPECT_TRUE(Slurp(image) == original);
        EXPECT_FALSE(Exists(image + "-journal"));
        ASSERT_EQ(notes.size(), write ? 1u : 0u);
        if (write) {
            EXPECT_NE(notes[0].find("put back"), std::string::npos) << notes[0];
        }
    }
}

// The journal read that fails with EIO (counted from 1), 0 for none.
int g_failing_read = 0;
int FailJournalRead(const IoEvent& e) {
    if (e.step != IoStep::kJournalRead || g_failing_read == 0) return 0;
    return --g_failing_read == 0 ? EIO : 0;
}

// A journal that cannot be read is no torn end: whether the header, a
// record's head or its bytes fail, and before or after records were played
// back, the open fails with the error, keeps the journal as it was and says
// nothing was put back; once the fault is gone the next open puts the whole
// image back.
TEST(ImageFileJournal, AReadErrorKeepsTheJournalUntilItCanBeRead) {
    const std::string dir = WorkDir();
    const std::string image = dir + "/image.bin", journal = image + "-journal";
    const std::string original = Random(1 << 20, 51);
    // header, first record's head, its bytes, second record's head
    for (int failing : {1, 2, 3, 4}) {
        SCOPED_TRACE("journal read " + std::to_string(failing) + " fails");
        Spit(image, original);
        ASSERT_TRUE(WriteAndDie(image, {{100000, Random(1000, 52)}, {800000, "late"}}));
        const std::string left = Slurp(journal);
        std::vector<std::string> notes;
        SetImageNoteSink([&](const std::string& line) { notes.push_back(line); });
        g_failing_read = failing;
        SetIoHook(FailJournalRead);
        u32 error = 0;
        std::string reason;
        auto file = OpenPrepared(image, &error, &reason);
        SetIoHook(nullptr);
        SetImageNoteSink(nullptr);
        EXPECT_FALSE(file);
        EXPECT_EQ(g_failing_read, 0) << "the read was never made";
        EXPECT_EQ(error, ErrnoToWindows(EIO, 30));
        EXPECT_NE(reason.find("was not put back"), std::string::npos) << reason;
        EXPECT_TRUE(notes.empty());
        EXPECT_TRUE(Slurp(journal) == left);
        file = OpenPrepared(image, &error, &reason);
        ASSERT_TRUE(file) << reason;
        ASSERT_EQ(file->Commit(&reason), 0u) << reason;
        EXPECT_TRUE(Slurp(image) == original);
        EXPECT_FALSE(Exists(journal));
    }
}

// A rollback knows how far it wrote its journal: a journal that is shorter,
// holds a damaged record before that end or cannot be read is kept, and the
// rollback fails saying the image was not put back.
TEST(ImageFileJournal, ARollbackMustReachTheEndItWrote) {
    const std::string dir = WorkDir();
    const std::string image = dir + "/image.bin", journal = image + "-journal";
    const std::string original = Random(1 << 20, 61);
    struct Case {
        const char* name;
        std::function<void()> harm;
        u32 error;
    };
    const Case cases[] = {
        {"shorter", [&] { ASSERT_EQ(::truncate(journal.c_str(), 4096 + 16 + 1000), 0); },
         err::kFileCorrupt},
        {"record damaged", [&] { FlipByte(journal, 4096 + 16 + 5); }, err::kFileCorrupt},
        {"header damaged", [&] { FlipByte(journal, 3); }, err::kFileCorrupt},
        {"unreadable",
         [&] {
             g_failing_read = 3;
             SetIoHook(FailJournalRead);
         },
         ErrnoToWindows(EIO, 30)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Spit(image, original);
        u32 error = 0;
        std::string reason;
        auto file = OpenPrepared(image, &error, &reason);
        ASSERT_TRUE(file) << reason;
        ASSERT_EQ(file->Write("changed", 7, 100000), 0u);
        ASSERT_EQ(file->Write("changed", 7, 800000), 0u);
        c.harm();
        const std::string left = Slurp(journal);
        EXPECT_EQ(file->Rollback(&reason), c.error);
        SetIoHook(nullptr);
        EXPECT_NE(reason.find("was not put back"), std::string::npos) << reason;
        EXPECT_TRUE(Slurp(journal) == left);
        file.reset();
        ::unlink(journal.c_str());
    }
}

// One step of the file layer fails (the next one of its kind once armed)
// while the image is written, while it is committed, or while it is rolled
// back. Whatever fails, the image ends either with every change or with
// none - at once, or at the next open when the failure kept the journal.
int g_fail_errno = 0;
IoStep g_fail_step = IoStep::kImageWrite;

int FailNextStep(const IoEvent& e) {
    if (g_fail_errno == 0 || e.step != g_fail_step) return 0;
    const int error = g_fail_errno;
    g_fail_errno = 0;
    return error;
}

struct FailedStep {
    const char* name;
    IoStep step;
    int error;
    enum { kFirstWrite, kWriting, kCommit, kRollback } phase;
    bool kept;  // the changes stay (else the image ends as it was)
};

class StepFails : public ::testing::TestWithParam<FailedStep> {
  protected:
    void TearDown() override {
        SetIoHook(nullptr);
        SetImageNoteSink(nullptr);
    }
};

TEST_P(StepFails, TheImageEndsWithAllChangesOrNone) {
    const FailedStep& c = GetParam();
    const std::string dir = WorkDir();
    const std::string image = dir + "/image.bin";
    const std::string journal = image + "-journal";
    const std::string original = Random(1 << 20, 11);
    Spit(image, original);
    std::vector<std::string> notes;
    SetImageNoteSink([&](const std::string& line) { notes.push_back(line); });
    SetIoHook(FailNextStep);
    u32 error = 0;
    std::string reason;
    auto file = OpenPrepared(image, &error, &reason);
    ASSERT_TRUE(file) << reason;
    const auto arm = [&] {
        g_fail_step = c.step;
        g_fail_errno = c.error;
    };
    if (c.phase == FailedStep::kFirstWrite) arm();
    const std::string a = Random(5000, 12);
    const u32 first = file->Write(a.data(), a.size(), 100);
    std::string changed = original;
    changed.replace(100, a.size(), a);
    if (c.phase != FailedStep::kFirstWrite) {
        ASSERT_EQ(first, 0u);
    }

    switch (c.phase) {
        case FailedStep::kFirstWrite: {
            // The journal (or the identity it names the image by) could not
            // be made: nothing reached the image, and nothing later may.
            const u32 e = ErrnoToWindows(c.error, c.step == IoStep::kImageRead ? 30 : 29);
            EXPECT_EQ(first, e);
            EXPECT_FALSE(Exists(journal));
            EXPECT_EQ(file->Truncate(10), e);
            EXPECT_EQ(file->Commit(&reason), e);
            EXPECT_EQ(file->Rollback(&reason), 0u) << reason;
            break;
        }
        case FailedStep::kWriting: {
            arm();
            const std::string b = Random(3000, 13);
            const u32 e = c.step == IoStep::kImageSync ? file->Sync()
                                                       : file->Write(b.data(), b.size(), 400000);
            EXPECT_EQ(e, ErrnoToWindows(c.error, 29));
            EXPECT_EQ(g_fail_errno, 0) << "the step was never reached";
            // Nothing that follows may pass for a sound image.
            EXPECT_EQ(file->Write(b.data(), b.size(), 700000), e);
            EXPECT_EQ(file->Sync(), e);
            EXPECT_EQ(file->Commit(&reason), e);
            EXPECT_TRUE(Exists(journal));
            EXPECT_EQ(file->Rollback(&reason), 0u) << reason;
            break;
        }
        case FailedStep::kCommit:
            arm();
            if (c.kept) {
                EXPECT_EQ(file->Commit(&reason), 0u) << reason;
                EXPECT_EQ(notes.size(), 1u);
            } else {
                EXPECT_NE(file->Commit(&reason), 0u);
                EXPECT_TRUE(Exists(journal));
                EXPECT_EQ(file->Rollback(&reason), 0u) << reason;
            }
            break;
        case FailedStep::kRollback:
            // Grown too, so that the rollback has a length to give back.
            ASSERT_EQ(file->Write("x", 1, original.size() + 5000), 0u);
            arm();
            if (c.step == IoStep::kFolderSync) {
                EXPECT_EQ(file->Rollback(&reason), 0u) << reason;
                EXPECT_EQ(notes.size(), 1u);
            } else {
                EXPECT_NE(file->Rollback(&reason), 0u);
                EXPECT_FALSE(reason.empty());
                EXPECT_TRUE(Exists(journal));
                file.reset();
                file = OpenPrepared(image, &error, &reason);  // plays the journal back
                ASSERT_TRUE(file) << reason;
                EXPECT_EQ(file->Rollback(&reason), 0u) << reason;
            }
            break;
    }
    EXPECT_EQ(g_fail_errno, 0) << "the step was never reached";
    EXPECT_TRUE(Slurp(image) == (c.kept ? changed : original));
    EXPECT_FALSE(Exists(journal));
}

INSTANTIATE_TEST_SUITE_P(
    Io, StepFails,
    ::testing::Values(
        FailedStep{"FirstCreate", IoStep::kJournalCreate, ENOSPC, FailedStep::kFirstWrite, false},
        FailedStep{"FirstHeader", IoStep::kJournalWrite, EIO, FailedStep::kFirstWrite, false},
        FailedStep{"FirstJournalSync", IoStep::kJournalSync, EIO, FailedStep::kFirstWrite, false},
        FailedStep{"FirstFolderSync", IoStep::kFolderSync, EIO, FailedStep::kFirstWrite, false},
        FailedStep{"FirstIdentityRead", IoStep::kImageRead, EIO, FailedStep::kFirstWrite, false},
        FailedStep{"ImageWriteDiskFull", IoStep::kImageWrite, ENOSPC, FailedStep::kWriting, false},
        FailedStep{"ImageWriteIoError", IoStep::kImageWrite, EIO, FailedStep::kWriting, false},
        FailedStep{"JournalWrite", IoStep::kJournalWrite, ENOSPC, FailedStep::kWriting, false},
        // The kernel may have dropped the pages a failed sync could not write.
        FailedStep{"JournalSync", IoStep::kJournalSync, EIO, FailedStep::kWriting, false},
        FailedStep{"ImageSync", IoStep::kImageSync, EIO, FailedStep::kWriting, false},
        FailedStep{"CommitSync", IoStep::kImageSync, EIO, FailedStep::kCommit, false},
        FailedStep{"CommitDelete", IoStep::kJournalDelete, EIO, FailedStep::kCommit, false},
        // Past the deletion the image is final: it can only come back whole.
        FailedStep{"CommitFolderSync", IoStep::kFolderSync, EIO, FailedStep::kCommit, true},
        FailedStep{"RollbackWrite", IoStep::kImageWrite, ENOSPC, FailedStep::kRollback, false},
        FailedStep{"RollbackTruncate", IoStep::kImageTruncate, EIO, FailedStep::kRollback, false},
        FailedStep{"RollbackSync", IoStep::kImageSync, EIO, FailedStep::kRollback, false},
        FailedStep{"RollbackDelete", IoStep::kJournalDelete, EIO, FailedStep::kRollback, false},
        FailedStep{"RollbackFolderSync", IoStep::kFolderSync, EIO, FailedStep::kRollback, false}),
    [](const ::testing::TestParamInfo<FailedStep>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace morlit::posix
