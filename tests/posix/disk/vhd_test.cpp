// The VHD layer against real images: made and checked by qemu-img, or
// written by tools/vhdtool.py where qemu-img cannot (differencing images,
// odd block sizes, damaged fields).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <vector>

#include "platform/posix/disk/image_file.h"
#include "platform/posix/disk/vhd.h"

// Writes by this process can be made to end it: the Nth write call (counted
// once armed) exits before writing anything, or, for a write of more than a
// page, after writing its first pages, as a process killed inside a large
// write does. Unarmed, the calls pass straight through.
namespace {
constexpr int kDiedInWrite = 77;
int g_die_at = 0;
bool g_torn = false;
int g_write_calls = 0;

// The bytes to write before dying, or -1 to go on normally.
ssize_t CrashPoint(size_t length) {
    if (g_die_at == 0 || ++g_write_calls != g_die_at) return -1;
    if (!g_torn || length <= 4096) _exit(kDiedInWrite);
    return static_cast<ssize_t>(length / 2 / 4096 * 4096);
}
}  // namespace

extern "C" ssize_t pwrite(int fd, const void* buffer, size_t length, off_t offset) {
    static auto real =
        reinterpret_cast<ssize_t (*)(int, const void*, size_t, off_t)>(dlsym(RTLD_NEXT, "pwrite"));
    const ssize_t torn = CrashPoint(length);
    if (torn < 0) return real(fd, buffer, length, offset);
    if (real(fd, buffer, static_cast<size_t>(torn), offset) != torn) _exit(kDiedInWrite + 1);
    _exit(kDiedInWrite);
}

extern "C" ssize_t pwritev(int fd, const iovec* parts, int count, off_t offset) {
    static auto real =
        reinterpret_cast<ssize_t (*)(int, const iovec*, int, off_t)>(dlsym(RTLD_NEXT, "pwritev"));
    size_t length = 0;
    for (int i = 0; i < count; ++i) length += parts[i].iov_len;
    const ssize_t torn = CrashPoint(length);
    if (torn < 0) return real(fd, parts, count, offset);
    std::vector<iovec> head;
    for (size_t left = static_cast<size_t>(torn); left > 0; ++parts) {
        head.push_back({parts->iov_base, std::min(left, parts->iov_len)});
        left -= head.back().iov_len;
    }
    if (real(fd, head.data(), static_cast<int>(head.size()), offset) != torn) {
        _exit(kDiedInWrite + 1);
    }
    _exit(kDiedInWrite);
}

namespace morlit::posix {
namespace {

constexpr u64 kMiB = 1 << 20;

std::string Quote(const std::string& s) { return "'" + s + "'"; }

int Sh(const std::string& command) {
    const int status = std::system(("( " + command + " ) >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Tool(const std::string& args) {
    return "python3 " + Quote(std::string(MORLIT_SOURCE_DIR) + "/tools/vhdtool.py") + " " + args;
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void Spit(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

// A fresh folder in the build tree for this test's images.
std::string WorkDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string dir = std::string(MORLIT_BINARY_DIR) + "/vhd_test/" +
                            info->test_suite_name() + "." + info->name();
    Sh("rm -rf " + Quote(dir) + " && mkdir -p " + Quote(dir));
    return dir;
}

std::string Random(size_t n, u32 seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(gen() | 1);
    return s;
}

// Where two buffers first differ, for a readable failure.
::testing::AssertionResult SameBytes(const std::string& want, const std::string& got) {
    if (want.size() != got.size()) {
        return ::testing::AssertionFailure() << "sizes " << want.size() << " and " << got.size();
    }
    for (size_t i = 0; i < want.size(); ++i) {
        if (want[i] != got[i]) return ::testing::AssertionFailure() << "first difference at " << i;
    }
    return ::testing::AssertionSuccess();
}

std::unique_ptr<VhdImage> OpenOk(const std::string& path, bool writable) {
    u32 error = 0;
    std::string reason;
    auto image = VhdImage::Open(path, writable, &error, &reason);
    EXPECT_TRUE(image) << path << ": " << error << " " << reason;
    return image;
}

// Closes an image opened for writing and keeps what was written to it.
void Keep(std::unique_ptr<VhdImage>* vhd) {
    std::string reason;
    EXPECT_EQ(CloseAndCommit(std::move(*vhd), &reason), 0u) << reason;
}

std::string ReadAll(VhdImage& image, size_t chunk) {
    std::string out(image.Size(), '\0');
    for (u64 at = 0; at < image.Size(); at += chunk) {
        const size_t n = static_cast<size_t>(std::min<u64>(chunk, image.Size() - at));
        EXPECT_EQ(image.Read(at, &out[at], n), 0u) << "at " << at;
    }
    return out;
}

// Disk contents with data in a few places and zeros elsewhere: the start,
// a run across a 2 MiB block boundary, and the very end.
std::string SampleDisk(u64 size, u32 seed) {
    std::string disk(size, '\0');
    const std::string noise = Random(size, seed);
    auto fill = [&](u64 at, u64 n) { disk.replace(at, n, noise, at, n); };
    fill(0, kMiB);
    fill(2 * kMiB - 700, kMiB + 1000);
    fill(size - 4096, 4096);
    return disk;
}

// A dynamic image of `disk` as qemu-img makes it, with `parent` a
// differencing child of it when named: a chain no code of ours wrote.
bool QemuChain(const std::string& dir, const std::string& disk, const std::string& parent,
               const std::string& child = "") {
    Spit(dir + "/disk.raw", disk);
    return Sh("qemu-img convert -f raw -O vpc -o subformat=dynamic,force_size=on " +
              Quote(dir + "/disk.raw") + " " + Quote(parent)) == 0 &&
           (child.empty() || Sh(Tool("diff " + Quote(parent) + " " + Quote(child))) == 0);
}

// Allocated blocks as vhdtool reports them ("bat.N=sector" lines).
std::string AllocatedBlocks(const std::string& image) {
    const std::string listing = image + ".info";
    Sh(Tool("info " + Quote(image)) + " > " + Quote(listing));
    std::stringstream in(Slurp(listing));
    std::string line, blocks;
    while (std::getline(in, line)) {
        if (line.rfind("bat.", 0) == 0) blocks += line.substr(4, line.find('=') - 4) + " ";
    }
    return blocks;
}

TEST(VhdRead, FixedAndDynamicImagesReadAsQemuWroteThem) {
    const std::string dir = WorkDir();
    const u64 size = 9 * kMiB + 7 * 512;  // a last block only partly inside the disk
    const std::string disk = SampleDisk(size, 1);
    Spit(dir + "/disk.raw", disk);
    for (const char* subformat : {"fixed", "dynamic"}) {
        SCOPED_TRACE(subformat);
        const std::string image = dir + "/" + subformat + ".vhd";
        ASSERT_EQ(Sh("qemu-img convert -f raw -O vpc -o subformat=" + std::string(subformat) +
                     ",force_size=on " + Quote(dir + "/disk.raw") + " " + Quote(image)),
                  0);
        auto vhd = OpenOk(image, false);
        ASSERT_TRUE(vhd);
        EXPECT_EQ(vhd->GetType(), std::string(subformat) == "fixed" ? VhdImage::Type::kFixed
                                                                    : VhdImage::Type::kDynamic);
        ASSERT_EQ(vhd->Size(), size);
        EXPECT_TRUE(SameBytes(disk, ReadAll(*vhd, kMiB + 4097)));
        EXPECT_TRUE(SameBytes(disk, ReadAll(*vhd, 4 * kMiB)));
        char byte = 0;
        EXPECT_EQ(vhd->Read(size - 1, &byte, 1), 0u);
        EXPECT_EQ(vhd->Read(size, &byte, 1), err::kInvalidParameter);
        EXPECT_EQ(vhd->Read(size - 1, &byte, 2), err::kInvalidParameter);
        EXPECT_EQ(vhd->Write(0, &byte, 1), err::kAccessDenied);
        vhd.reset();

        // Very old images end in a 511-byte footer; they open, read and grow.
        struct stat st;
        ASSERT_EQ(stat(image.c_str(), &st), 0);
        ASSERT_EQ(truncate(image.c_str(), st.st_size - 1), 0);
        vhd = OpenOk(image, true);
        ASSERT_TRUE(vhd);
        const std::string sector = Random(512, 16);
        ASSERT_EQ(vhd->Write(7 * kMiB, sector.data(), sector.size()), 0u);
        Keep(&vhd);
        std::string changed = disk;
        changed.replace(7 * kMiB, sector.size(), sector);
        vhd = OpenOk(image, false);
        ASSERT_TRUE(vhd);
        EXPECT_TRUE(SameBytes(changed, ReadAll(*vhd, 4 * kMiB)));
    }

    // Small blocks, written by qemu-io: many block boundaries in one read.
    const std::string small = dir + "/small.vhd";
    ASSERT_EQ(Sh(Tool("dynamic " + Quote(small) + " 4194304 --block-size 65536")), 0);
    ASSERT_EQ(
        Sh("qemu-io -f vpc -c 'write -P 0x5a 100000 300000' -c 'write -P 0xa5 4128768 65536' " +
           Quote(small)),
        0);
    ASSERT_EQ(
        Sh("qemu-img convert -f vpc -O raw " + Quote(small) + " " + Quote(dir + "/small.raw")), 0);
    auto vhd = OpenOk(small, false);
    ASSERT_TRUE(vhd);
    EXPECT_TRUE(SameBytes(Slurp(dir + "/small.raw"), ReadAll(*vhd, 1000 * 512 + 3)));
}

// Writes through our layer, in a child process that ends without closing
// the image (as if killed right after the last Flush), then checked by
// qemu-img against a model of the disk.
TEST(VhdWrite, WrittenDataIsWhatQemuReadsAfterAnAbruptEnd) {
    const std::string dir = WorkDir();
    const u64 size = 8 * kMiB;
    struct Kind {
        const char* name;
        std::string create;
        u64 block;
    };
    const std::vector<Kind> kinds = {
        {"fixed", "qemu-img create -f vpc -o subformat=fixed,force_size=on %s 8M", 0},
        {"dynamic", "qemu-img create -f vpc -o subformat=dynamic,force_size=on %s 8M", 2 * kMiB},
        {"small-blocks", Tool("dynamic %s 8388608 --block-size 65536"), 65536},
    };
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        const std::string image = dir + "/" + kind.name + ".vhd";
        std::string create = kind.create;
        create.replace(create.find("%s"), 2, Quote(image));
        ASSERT_EQ(Sh(create), 0);
        const std::string before = Slurp(image);

        std::string model(size, '\0');
        struct Op {
            u64 at;
            std::string data;
        };
        const std::vector<Op> ops = {
            {2 * kMiB - 1000, Random(3000, 2)},   // unaligned, across a block boundary
            {5 * kMiB + 17, Random(1, 3)},        // one byte in a fresh block
            {5 * kMiB + 4096, Random(4096, 4)},   // same block again
            {5 * kMiB + 20, Random(500, 5)},      // overwrite part of the first write
            {6 * kMiB, std::string(kMiB, '\0')},  // zeros into an unallocated block
            {size - 512, Random(512, 6)},         // the last sector
            {3 * kMiB, Random(2 * kMiB, 7)},      // whole blocks
        };
        for (const Op& op : ops) model.replace(op.at, op.data.size(), op.data);

        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            u32 error = 0;
            std::string reason;
            // The format's own write order is under test here, without the
            // journal that would undo all of it.
            auto vhd = VhdImage::Open(image, true, &error, &reason, ImageWrites::kDirect);
            if (!vhd) _exit(10);
            for (const Op& op : ops) {
                if (vhd->Write(op.at, op.data.data(), op.data.size()) != 0) _exit(11);
            }
            std::string back(size, '\0');
            if (vhd->Read(0, &back[0], size) != 0 || back != model) _exit(12);
            if (vhd->Write(size - 1, "xy", 2) != err::kInvalidParameter) _exit(13);
            if (vhd->Flush() != 0) _exit(14);
            _exit(0);  // no destructor: nothing more reaches the file
        }
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_EQ(WEXITSTATUS(status), 0);

        Spit(dir + "/model.raw", model);
        EXPECT_EQ(
            Sh("qemu-img compare -f vpc -F raw " + Quote(image) + " " + Quote(dir + "/model.raw")),
            0);
        ASSERT_EQ(
            Sh("qemu-img convert -f vpc -O raw " + Quote(image) + " " + Quote(dir + "/back.raw")),
            0);
        EXPECT_TRUE(SameBytes(model, Slurp(dir + "/back.raw")));
        auto vhd = OpenOk(image, false);
        ASSERT_TRUE(vhd);
        EXPECT_TRUE(SameBytes(model, ReadAll(*vhd, 3 * kMiB)));

        const std::string after = Slurp(image);
        // The footer moves but is never rewritten: no new timestamp.
        EXPECT_EQ(after.substr(after.size() - 512), before.substr(before.size() - 512));
        EXPECT_EQ(after.substr(0, 512), before.substr(0, 512));
        if (kind.block != 0) {
            // Blocks only where data went; the zeros needed none.
            std::string expected;
            for (u64 b = 0; b < size / kind.block; ++b) {
                const u64 lo = b * kind.block, hi = lo + kind.block;
                bool touched = false;
                for (const Op& op : ops) {
                    const bool zero = op.data.find_first_not_of('\0') == std::string::npos;
                    if (!zero && op.at < hi && op.at + op.data.size() > lo) touched = true;
                }
                if (touched) expected += std::to_string(b) + " ";
            }
            EXPECT_EQ(AllocatedBlocks(image), expected);
        } else {
            EXPECT_EQ(after.size(), before.size());
        }
    }
}

// Writes spanning many blocks: new blocks are appended together, blocks
// already there are written in place, blocks of zeros stay unallocated, and
// the first and last blocks may be covered in part (down to part sectors).
// The writer then dies at every write call of the last write and its Flush,
// before the call or part way through a large one. Every time the image
// must open, qemu-img must read what we read, and every sector must hold
// either what it held before that write or what the write put there.
TEST(VhdWrite, MultiBlockWritesSurviveDeathAtEveryStep) {
    const std::string dir = WorkDir();
    const u64 size = 20 * kMiB;
    const std::string parent = dir + "/parent.vhd";
    const std::string parent_disk = SampleDisk(size, 20);
    Spit(dir + "/parent.raw", parent_disk);
    ASSERT_EQ(Sh("qemu-img convert -f raw -O vpc -o subformat=dynamic,force_size=on " +
                 Quote(dir + "/parent.raw") + " " + Quote(parent)),
              0);
    const std::string parent_bytes = Slurp(parent);
    struct Kind {
        const char* name;
        std::string create;
        u64 block;
        std::string disk;  // what the fresh image reads as
    };
    const std::vector<Kind> kinds = {
        {"dynamic", "qemu-img create -f vpc -o subformat=dynamic,force_size=on %s 20M", 2 * kMiB,
         std::string(size, '\0')},
        {"small-blocks", Tool("dynamic %s 20971520 --block-size 65536"), 65536,
         std::string(size, '\0')},
        {"differencing", Tool("diff " + Quote(parent) + " %s"), 2 * kMiB, parent_disk},
        {"differencing-small-blocks", Tool("diff " + Quote(parent) + " %s --block-size 65536"),
         65536, parent_disk},
    };
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        const std::string base = dir + "/base.vhd", image = dir + "/image.vhd";
        std::remove(base.c_str());
        std::string create = kind.create;
        create.replace(create.find("%s"), 2, Quote(base));
        ASSERT_EQ(Sh(create), 0);

        // Blocks already allocated before the write under test: one inside
        // the span, one at its last block, each only in part so far.
        const u64 b = kind.block;
        // With small blocks the span also crosses a sector of the table.
        const u64 o = b < kMiB ? 124 : 0;
        const u64 first_at = (3 + o) * b + b / 2 + 100;  // part way into a sector
        const u64 last_at = (9 + o) * b + 300;           // ends part way too
        std::string zeros_run(b, '\0');
        std::string data = Random(last_at - first_at, 21);
        data.replace((7 + o) * b - first_at, b, zeros_run);  // block 7 all zeros
        std::string old_model = kind.disk;
        {
            auto vhd = OpenOk(base, true);
            ASSERT_TRUE(vhd);
            const std::string early = Random(b / 2, 22), late = Random(700, 23);
            ASSERT_EQ(vhd->Write((5 + o) * b + 4096, early.data(), early.size()), 0u);
            ASSERT_EQ(vhd->Write((9 + o) * b + 100, late.data(), late.size()), 0u);
            ASSERT_EQ(vhd->Flush(), 0u);
            Keep(&vhd);
            old_model.replace((5 + o) * b + 4096, early.size(), early);
            old_model.replace((9 + o) * b + 100, late.size(), late);
        }
        std::string new_model = old_model;
        new_model.replace(first_at, data.size(), data);

        bool finished = false;
        for (int step = 1; !finished && step < 100; ++step) {
            for (bool torn : {false, true}) {
                SCOPED_TRACE("death at write " + std::to_string(step) + (torn ? ", torn" : ""));
                ASSERT_EQ(Sh("cp " + Quote(base) + " " + Quote(image)), 0);
                const pid_t child = fork();
                ASSERT_GE(child, 0);
                if (child == 0) {
                    u32 error = 0;
                    std::string reason;
                    auto vhd = VhdImage::Open(image, true, &error, &reason, ImageWrites::kDirect);
                    if (!vhd) _exit(10);
                    g_die_at = step;
                    g_torn = torn;
                    if (vhd->Write(first_at, data.data(), data.size()) != 0) _exit(11);
                    if (vhd->Flush() != 0) _exit(12);
                    _exit(0);
                }
                int status = 0;
                waitpid(child, &status, 0);
                ASSERT_TRUE(WIFEXITED(status));
                const int code = WEXITSTATUS(status);
                ASSERT_TRUE(code == 0 || code == kDiedInWrite) << code;

                auto vhd = OpenOk(image, false);
                ASSERT_TRUE(vhd);
                const std::string got = ReadAll(*vhd, 4 * kMiB);
                vhd.reset();
                ASSERT_EQ(Sh("qemu-img convert -f vpc -O raw " + Quote(image) + " " +
                             Quote(dir + "/back.raw")),
                          0);
                // qemu-img reads a differencing image without its parent.
                if (kind.disk[0] == '\0') {
                    EXPECT_TRUE(SameBytes(got, Slurp(dir + "/back.raw")));
                }
                ASSERT_EQ(got.size(), size);
                for (u64 at = 0; at < size; at += 512) {
                    if (got.compare(at, 512, old_model, at, 512) != 0 &&
                        got.compare(at, 512, new_model, at, 512) != 0) {
                        ADD_FAILURE() << "sector " << at / 512 << " is neither old nor new";
                        break;
                    }
                }
                if (code == 0) {
                    EXPECT_TRUE(SameBytes(new_model, got));
                    finished = true;
                }
            }
        }
        EXPECT_TRUE(finished);
        const bool differencing = kind.disk[0] != '\0';
        // Blocks where data went and nowhere else: the block of zeros and
        // the untouched ones have none (a differencing image allocates even
        // for zeros, as they hide the parent's data).
        std::string expected;
        for (u64 i = 0; i < size / b; ++i) {
            const bool written = i >= 3 + o && i <= 9 + o && (i != 7 + o || differencing);
            if (written) expected += std::to_string(i) + " ";
        }
        EXPECT_EQ(AllocatedBlocks(image), expected);
        if (differencing) {
            EXPECT_EQ(Slurp(parent), parent_bytes);
        }
    }
}

TEST(VhdDifferencing, ReadsThroughToTheParentAndWritesOnlyTheChild) {
    const std::string dir = WorkDir();
    const u64 size = 8 * kMiB;
    const std::string disk = SampleDisk(size, 8);
    Spit(dir + "/disk.raw", disk);
    const std::string parent = dir + "/parent.vhd";
    ASSERT_EQ(Sh("qemu-img convert -f raw -O vpc -o subformat=dynamic,force_size=on " +
                 Quote(dir + "/disk.raw") + " " + Quote(parent)),
              0);
    const std::string parent_bytes = Slurp(parent);

    for (const char* block : {"", " --block-size 65536"}) {
        SCOPED_TRACE(block);
        const std::string child = dir + "/child.vhd";
        std::remove(child.c_str());
        ASSERT_EQ(Sh(Tool("diff " + Quote(parent) + " " + Quote(child) + block)), 0);
        std::string model = disk;
        {
            auto vhd = OpenOk(child, true);
            ASSERT_TRUE(vhd);
            EXPECT_EQ(vhd->GetType(), VhdImage::Type::kDifferencing);
            ASSERT_EQ(vhd->Size(), size);
            EXPECT_TRUE(SameBytes(disk, ReadAll(*vhd, kMiB + 512)));
            // While the child is open the parent is in use.
            u32 error = 0;
            std::string reason;
            EXPECT_FALSE(VhdImage::Open(parent, true, &error, &reason));
            EXPECT_EQ(error, err::kSharingViolation);

            const std::vector<std::pair<u64, std::string>> ops = {
                {100, Random(10, 9)},                 // inside one sector over parent data
                {2 * kMiB - 300, Random(700, 10)},    // partial sectors both ends, two blocks
                {2 * kMiB + 5000, Random(3, 11)},     // same block, a sector still the parent's
                {kMiB / 2, std::string(4096, '\0')},  // zeros over parent data
                {size - 5, Random(5, 12)},            // end of the disk
            };
            for (const auto& op : ops) {
                ASSERT_EQ(vhd->Write(op.first, op.second.data(), op.second.size()), 0u);
                model.replace(op.first, op.second.size(), op.second);
            }
            EXPECT_TRUE(SameBytes(model, ReadAll(*vhd, 777 * 512 + 1)));
            ASSERT_EQ(vhd->Flush(), 0u);
            Keep(&vhd);
        }
        auto vhd = OpenOk(child, false);
        ASSERT_TRUE(vhd);
        EXPECT_TRUE(SameBytes(model, ReadAll(*vhd, 2 * kMiB)));
        EXPECT_EQ(Slurp(parent), parent_bytes);
    }

    // The parent is found from whichever reference still holds.
    const std::string parent_start = disk.substr(0, kMiB);
    struct Layout {
        const char* name;
        std::string diff_options;
        std::string child_folder;  // relative to dir; the parent stays in dir
    };
    const std::vector<Layout> layouts = {
        {"relative locator only", "--locators rel --parent-name other.vhd", "."},
        {"absolute locator only, child elsewhere", "--locators abs --parent-name other.vhd",
         "elsewhere"},
        {"foreign absolute path, parent beside child",
         "--locators abs --parent-name other.vhd --absolute 'C:\\VMs\\parent.vhd'", "."},
        {"unicode name only", "--locators ''", "."},
    };
    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.name);
        const std::string folder = dir + "/" + layout.child_folder;
        Sh("mkdir -p " + Quote(folder));
        const std::string made = dir + "/made.vhd", child = folder + "/moved.vhd";
        std::remove(made.c_str());
        ASSERT_EQ(Sh(Tool("diff " + Quote(parent) + " " + Quote(made) + " " + layout.diff_options)),
                  0);
        ASSERT_EQ(std::rename(made.c_str(), child.c_str()), 0);
        auto vhd = OpenOk(child, false);
        ASSERT_TRUE(vhd);
        std::string start(kMiB, '\0');
        ASSERT_EQ(vhd->Read(0, &start[0], kMiB), 0u);
        EXPECT_TRUE(SameBytes(parent_start, start));
    }
}

// The next read of the file open at g_failing_fd fails once with EIO.
int g_failing_fd = -1;
bool g_read_failed = false;
int FailOneReadOfFile(const IoEvent& e) {
    if (e.step != IoStep::kImageRead || e.fd != g_failing_fd || g_read_failed) return 0;
    g_read_failed = true;
    return EIO;
}

// A child reads what it does not hold through its parent, and the parent
// through its own. A read of either that fails once, after the child was
// written, refuses the child's later writes and its commit with the file
// that failed named, and the child is put back byte for byte; the chain
// below is never written.
TEST(VhdDifferencing, AFailedReadOfAParentOrGrandparentRefusesTheChildsCommit) {
    const std::string dir = WorkDir();
    const u64 size = 8 * kMiB;
    const std::string base = dir + "/base.vhd", middle = dir + "/middle.vhd",
                      child = dir + "/child.vhd";
    ASSERT_TRUE(QemuChain(dir, SampleDisk(size, 16), base, middle));
    // The middle image holds a block of its own (one the base does not
    // have), so reading it there reads the middle file.
    const u64 middle_data = 4 * kMiB;
    {
        auto vhd = OpenOk(middle, true);
        ASSERT_TRUE(vhd);
        const std::string data = Random(8192, 17);
        ASSERT_EQ(vhd->Write(middle_data, data.data(), data.size()), 0u);
        Keep(&vhd);
    }
    ASSERT_EQ(Sh(Tool("diff " + Quote(middle) + " " + Quote(child))), 0);
    const std::string base_bytes = Slurp(base), middle_bytes = Slurp(middle),
                      child_bytes = Slurp(child);

    struct Case {
        const char* name;
        int depth;    // 1: the parent fails, 2: the grandparent
        u64 read_at;  // where the child reads through to that file
        const char* failing;
    };
    for (const Case c : {Case{"parent", 1, middle_data, "/middle.vhd\""},
                         Case{"grandparent", 2, 0, "/base.vhd\""}}) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> notes;
        SetImageNoteSink([&](const std::string& line) { notes.push_back(line); });
        auto vhd = OpenOk(child, true);
        ASSERT_TRUE(vhd);
        const std::string data = Random(4096, 18);
        ASSERT_EQ(vhd->Write(6 * kMiB + 512, data.data(), data.size()), 0u);
        const VhdImage* below = vhd.get();
        for (int i = 0; i < c.depth; ++i) below = below->Parent();
        ASSERT_NE(below, nullptr);
        g_failing_fd = below->File()->fd();
        g_read_failed = false;
        SetIoHook(FailOneReadOfFile);
        std::string got(4096, '\0');
        const u32 failed = vhd->Read(c.read_at, &got[0], got.size());
        SetIoHook(nullptr);
        EXPECT_TRUE(g_read_failed) << "the read never reached the file";
        EXPECT_NE(failed, 0u);
        // Whatever the caller makes of the error, the child takes no more
        // writes, as after a failed read of its own.
        EXPECT_EQ(vhd->Write(7 * kMiB, data.data(), data.size()), failed);
        std::string reason;
        EXPECT_EQ(CloseAndCommit(std::move(vhd), &reason), failed);
        SetImageNoteSink(nullptr);
        EXPECT_NE(reason.find(c.failing), std::string::npos) << reason;
        EXPECT_NE(reason.find("/child.vhd\""), std::string::npos) << reason;
        EXPECT_EQ(notes.size(), 1u);  // put back, and said so
        EXPECT_TRUE(Slurp(child) == child_bytes);
        EXPECT_TRUE(Slurp(middle) == middle_bytes);
        EXPECT_TRUE(Slurp(base) == base_bytes);
        EXPECT_NE(::access((child + "-journal").c_str(), F_OK), 0);
    }
    g_failing_fd = -1;
}

// Replaces the VHD at `path` with the same disk in another format.
std::string Convert(const std::string& format, const std::string& path) {
    return "qemu-img convert -f vpc -O " + format + " " + Quote(path) + " " + Quote(path + ".new") +
           " && mv " + Quote(path + ".new") + " " + Quote(path);
}

TEST(VhdBadInput, RefusedWithItsCodeAndTheFileLeftAsItWas) {
    const std::string dir = WorkDir();
    const std::string disk = SampleDisk(8 * kMiB, 13);
    Spit(dir + "/disk.raw", disk);
    const std::string good = dir + "/good.vhd";
    ASSERT_EQ(Sh("qemu-img convert -f raw -O vpc -o subformat=dynamic,force_size=on " +
                 Quote(dir + "/disk.raw") + " " + Quote(good)),
              0);
    const std::string good_parent = dir + "/parent.vhd";
    ASSERT_EQ(Sh("cp " + Quote(good) + " " + Quote(good_parent)), 0);

    auto set = [](const std::string& fields) {
        return [fields](const std::string& image) {
            ASSERT_EQ(Sh(Tool("set " + Quote(image) + " " + fields)), 0);
        };
    };
    auto child_of_parent = [&](const std::string& image) {
        std::remove(image.c_str());
        ASSERT_EQ(Sh(Tool("diff " + Quote(good_parent) + " " + Quote(image))), 0);
    };
    std::unique_ptr<VhdImage> holder;
    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;  // turns a good image into the bad one
        u32 code;
        bool read_only_opens = false;  // the fault concerns writing only
        const char* says = "";         // in the reason, whether writable or not
    };
    const std::vector<Case> cases = {
        {"missing file", [](const std::string& p) { std::remove(p.c_str()); }, err::kFileNotFound},
        {"empty file", [](const std::string& p) { Spit(p, ""); }, err::kFileCorrupt},
        {"not a VHD", [](const std::string& p) { Spit(p, Random(kMiB, 14)); }, err::kFileCorrupt},
        {"truncated", [](const std::string& p) { ASSERT_EQ(truncate(p.c_str(), 3 * kMiB), 0); },
         err::kFileCorrupt, false, "it is truncated"},
        {"a VHDX image", [](const std::string& p) { ASSERT_EQ(Sh(Convert("vhdx", p)), 0); },
         err::kFileCorrupt, false, "is a VHDX image, not a VHD image; convert it first"},
        {"a qcow2 image", [](const std::string& p) { ASSERT_EQ(Sh(Convert("qcow2", p)), 0); },
         err::kFileCorrupt, false, "is a qcow2 image"},
        {"a VMDK image", [](const std::string& p) { ASSERT_EQ(Sh(Convert("vmdk", p)), 0); },
         err::kFileCorrupt, false, "is a VMDK image"},
        {"a VDI image", [](const std::string& p) { ASSERT_EQ(Sh(Convert("vdi", p)), 0); },
         err::kFileCorrupt, false, "is a VirtualBox (VDI) image"},
        {"a raw disk image",
         [&](const std::string& p) {
             std::string raw = disk;
             raw.replace(510, 2, "\x55\xaa");  // a partition table's signature
             Spit(p, raw);
         },
         err::kFileCorrupt, false, "a raw disk image"},
        {"footer checksum", set("footer.checksum=0x12345678"), err::kFileCorrupt},
        {"footer field changed", set("footer.current_size=8389120 --keep-checksum"),
         err::kFileCorrupt},
        {"header checksum", set("header.checksum=0x12345678"), err::kFileCorrupt},
        {"unknown disk type", set("footer.disk_type=5"), err::kFileCorrupt},
        {"header outside the file", set("footer.data_offset=0x7fff00000000"), err::kFileCorrupt},
        {"table outside the file", set("header.table_offset=0x100000000"), err::kFileCorrupt},
        {"table entry past the end", set("bat.0=0x00fffff0"), err::kFileCorrupt},
        {"table entries overlapping", set("bat.1=4"), err::kFileCorrupt},
        {"table entry over the header", set("bat.0=1"), err::kFileCorrupt},
        {"block size zero", set("header.block_size=0"), err::kFileCorrupt},
        {"block size not a power of two", set("header.block_size=3000000"), err::kFileCorrupt},
        {"block size 2 GiB", set("header.block_size=0x80000000"), err::kFileCorrupt},
        {"too few table entries", set("header.max_entries=1"), err::kFileCorrupt},
        {"disk over 2040 GB", set("footer.current_size=0x1fe00000200 header.max_entries=1044481"),
         err::kFileCorrupt},
        {"missing parent",
         [&](const std::string& p) {
             child_of_parent(p);
             ASSERT_EQ(Sh("mv " + Quote(good_parent) + " " + Quote(good_parent + ".away")), 0);
         },
         err::kPathNotFound},
        {"parent with another id",
         [&](const std::string& p) {
             Sh("mv " + Quote(good_parent + ".away") + " " + Quote(good_parent));
             child_of_parent(p);
             set("header.parent_id=00112233445566778899aabbccddeeff")(p);
         },
         err::kFileCorrupt},
        {"no write permission", [](const std::string& p) { ASSERT_EQ(chmod(p.c_str(), 0444), 0); },
         err::kAccessDenied, true},
        {"in use by another run", [&](const std::string& p) { holder = OpenOk(p, true); },
         err::kSharingViolation},
        {"a folder",
         [](const std::string& p) {
             ASSERT_EQ(std::remove(p.c_str()) || mkdir(p.c_str(), 0755), 0);
         },
         err::kAccessDenied, false, "is a folder, not an image file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string image = dir + "/bad.vhd";
        Sh("rm -rf " + Quote(image));
        ASSERT_EQ(Sh("cp " + Quote(good) + " " + Quote(image)), 0);
        c.make(image);
        const std::string before = Slurp(image);
        for (bool writable : {true, false}) {
            u32 error = 0;
            std::string reason;
            auto vhd = VhdImage::Open(image, writable, &error, &reason);
            if (!writable && c.read_only_opens) {
                EXPECT_TRUE(vhd) << reason;
                continue;
            }
            EXPECT_FALSE(vhd);
            EXPECT_EQ(error, c.code) << "writable " << writable << ": " << reason;
            EXPECT_FALSE(reason.empty());
            EXPECT_NE(reason.find(c.says), std::string::npos) << reason;
        }
        EXPECT_EQ(Slurp(image), before);
        holder.reset();
        chmod(image.c_str(), 0644);
    }
}

// The image read that fails with EIO (counted from 1), 0 for none; how many
// reads were seen.
int g_failing_image_read = 0;
int g_image_reads = 0;
int FailImageRead(const IoEvent& e) {
    if (e.step != IoStep::kImageRead) return 0;
    ++g_image_reads;
    return g_failing_image_read != 0 && g_image_reads == g_failing_image_read ? EIO : 0;
}

// A read that fails while the image is opened is said as a read error with
// its code, never as "not a VHD", "parent not found" or nothing at all: the
// file may be perfectly good on a disk that is failing. Every read of the
// open of a dynamic image and of a differencing child (its headers, its
// parent locators and the parent itself) fails in turn.
TEST(VhdBadInput, AReadErrorIsNamedAsOne) {
    const std::string dir = WorkDir();
    const std::string parent = dir + "/parent.vhd", child = dir + "/child.vhd";
    ASSERT_TRUE(QemuChain(dir, SampleDisk(8 * kMiB, 14), parent, child));
    for (const std::string& image : {parent, child}) {
        int reads = 0;
        for (int failing = 1;; ++failing) {
            SCOPED_TRACE(image + ": read " + std::to_string(failing) + " fails");
            g_failing_image_read = failing;
            g_image_reads = 0;
            SetIoHook(FailImageRead);
            u32 error = 0;
            std::string reason;
            std::unique_ptr<VhdImage> vhd = VhdImage::Open(image, false, &error, &reason);
            SetIoHook(nullptr);
            if (g_image_reads < failing) {
                // The open is done before the read that would have failed.
                ASSERT_NE(vhd, nullptr) << reason;
                break;
            }
            // A child names its parent in several locators: one that cannot
            // be read is passed over when another names the parent.
            if (vhd != nullptr && image == child) continue;
            ++reads;
            EXPECT_EQ(vhd, nullptr);
            EXPECT_NE(error, 1392u) << reason;
            EXPECT_NE(error, 3u) << reason;
            // In the file's words: which file (the image or its parent),
            // where, the system's words.
            EXPECT_NE(reason.find("cannot be read: a read of \""), std::string::npos) << reason;
            EXPECT_NE(reason.find("Input/output error"), std::string::npos) << reason;
        }
        EXPECT_GT(reads, 1);
    }
    g_failing_image_read = 0;
}

TEST(VhdSession, ReadingLeavesEveryFileOfTheChainByteIdentical) {
    const std::string dir = WorkDir();
    Spit(dir + "/disk.raw", SampleDisk(6 * kMiB, 15));
    const std::string parent = dir + "/parent.vhd", child = dir + "/child.vhd";
    ASSERT_EQ(Sh("qemu-img convert -f raw -O vpc -o subformat=dynamic,force_size=on " +
                 Quote(dir + "/disk.raw") + " " + Quote(parent)),
              0);
    ASSERT_EQ(Sh(Tool("diff " + Quote(parent) + " " + Quote(child))), 0);
    const std::string parent_bytes = Slurp(parent), child_bytes = Slurp(child);
    for (bool writable : {false, true}) {
        for (const std::string& image : {parent, child}) {
            auto vhd = OpenOk(image, writable);
            ASSERT_TRUE(vhd);
            ReadAll(*vhd, kMiB);
            EXPECT_EQ(vhd->Flush(), 0u);
        }
    }
    EXPECT_EQ(Slurp(parent), parent_bytes);
    EXPECT_EQ(Slurp(child), child_bytes);
}

}  // namespace
}  // namespace morlit::posix
