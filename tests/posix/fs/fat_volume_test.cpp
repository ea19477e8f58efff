// FAT12, FAT16 and FAT32 volumes made by mkfs.fat and filled by mcopy, read
// and changed through FatVolume, and checked after every kind of change
// with tools that share no code with it: fsck.fat -n, mtype and mdir.
#include <cstdio>
#include <ctime>
#include <random>

#include "platform/posix/fs/fat_volume.h"
#include "platform/posix/fs/short_name.h"
#include "tests/posix/host_fixture.h"
#include "tests/posix/range_check.h"

namespace morlit::posix::test {
namespace {

using morlit::test::ExpectRangesMatch;
using Kind = FatVolume::Kind;

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    return data;
}

const std::string kMtools = "MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=0 ";

struct FatKind {
    const char* name;
    Kind kind;
    const char* mkfs;  // options and size in KiB
};

const FatKind kKinds[] = {
    {"fat12", Kind::kFat12, "-F 12 -s 4 -C IMG 3072"},
    {"fat16", Kind::kFat16, "-F 16 -s 4 -C IMG 24576"},
    {"fat32", Kind::kFat32, "-F 32 -s 1 -C IMG 40960"},
};

// The files every test starts from (volume path -> bytes): a long name, a
// folder, an empty file, and files of one cluster, many clusters, and a
// chain long enough to cross a FAT sector.
std::map<std::string, std::string> ModelFiles() {
    return {{"NTLDR", "NTLDR (sample)"},
            {"boot.ini", "[boot loader]\r\ntimeout=30\r\n"},
            {"A long file name.bin", RandomBytes(5000, 1)},
            {"WINDOWS/system32/config/system", RandomBytes(300001, 2)},
            {"WINDOWS/system32/config/systemprofile/x.txt", "profile"},
            {"WINDOWS/system32/hal.dll", RandomBytes(70000, 3)},
            {"WINDOWS/empty.txt", ""}};
}

// A volume image at `dir`/NAME.img, made and filled by the mtools.
std::string MakeFat(const std::string& dir, const FatKind& k) {
    const std::string image = dir + "/" + k.name + ".img";
    const std::string model = dir + "/model";
    for (const auto& f : ModelFiles()) {
        const std::string path = model + "/" + f.first;
        Shell("mkdir -p " + Quote(path.substr(0, path.rfind('/'))));
        std::ofstream(path, std::ios::binary) << f.second;
    }
    std::string mkfs = k.mkfs;
    mkfs.replace(mkfs.find("IMG"), 3, Quote(image));
    std::string log;
    EXPECT_EQ(Shell("mkfs.fat " + mkfs + " >/dev/null && " + kMtools + "mcopy -s -i " +
                        Quote(image) + " " + Quote(model) + "/* ::/ && " + kMtools + "mattrib -i " +
                        Quote(image) + " +r +h +s ::/NTLDR",
                    &log),
              0)
        << log;
    return image;
}

struct Mounted {
    std::unique_ptr<RawImage> disk;
    std::unique_ptr<FatVolume> volume;
    FatVolume::MountError error = FatVolume::MountError::kNone;
    std::string reason;
    Mounted() = default;
    Mounted(Mounted&&) = default;
    Mounted& operator=(Mounted&&) = default;
    // The tests look at what the volume left on the image: it is kept.
    ~Mounted() {
        volume.reset();
        std::string why;
        EXPECT_EQ(CloseAndCommit(std::move(disk), &why), 0u) << why;
    }
};

Mounted Mount(const std::string& image) {
    Mounted m;
    u32 error = 0;
    std::string why;
    m.disk = RawImage::Open(image, true, &error, &why);
    EXPECT_TRUE(m.disk) << why;
    if (m.disk) m.volume = FatVolume::Mount(*m.disk, 0, m.disk->Size(), &m.error, &m.reason);
    return m;
}

PathParts Parts(const std::string& path) {
    PathParts parts;
    std::string::size_type start = 0;
    while (start <= path.size()) {
        const auto end = std::min(path.find('/', start), path.size());
        parts.push_back(std::wstring(path.begin() + static_cast<long>(start),
                                     path.begin() + static_cast<long>(end)));
        start = end + 1;
    }
    return parts;
}

std::string Mtype(const std::string& image, const std::string& path) {
    std::string out;
    if (Shell(kMtools + "mtype -i " + Quote(image) + " " + Quote("::/" + path) + " 2>/dev/null",
              &out) != 0)
        return "<missing " + path + ">";
    return out;
}

std::string Mdir(const std::string& image, const std::string& folder) {
    std::string out;
    Shell(kMtools + "mdir -i " + Quote(image) + " " + Quote("::/" + folder), &out);
    return out;
}

void ExpectClean(const std::string& image) {
    std::string log;
    EXPECT_EQ(Shell("fsck.fat -n " + Quote(image), &log), 0) << log;
    EXPECT_EQ(log.find("differ"), std::string::npos) << log;
    EXPECT_EQ(log.find("wrong"), std::string::npos) << log;
}

class FatVolumeTest : public ::testing::TestWithParam<FatKind> {};

TEST_P(FatVolumeTest, ReadsWhatMtoolsWroteByLongAndShortNamesInAnyCase) {
    const std::string image = MakeFat(TestDir(), GetParam());
    const std::string before = Slurp(image);
    Mounted m = Mount(image);
    ASSERT_TRUE(m.volume) << m.reason;
    EXPECT_EQ(m.volume->Type(), GetParam().kind);
    for (const auto& f : ModelFiles()) {
        SCOPED_TRACE(f.first);
        std::string data;
        ASSERT_EQ(m.volume->ReadFile(Parts(f.first), &data), 0u);
        EXPECT_TRUE(data == f.second);
        NodeInfo info;
        ASSERT_EQ(m.volume->Stat(Parts(f.first), &info), 0u);
        EXPECT_FALSE(info.directory);
        EXPECT_EQ(info.size, f.second.size());
    }
    std::string data;
    EXPECT_EQ(m.volume->ReadFile({L"ALONGF~1.BIN"}, &data), 0u);
    EXPECT_EQ(data, ModelFiles()["A long file name.bin"]);
    EXPECT_EQ(m.volume->ReadFile({L"a LONG file NAME.BIN"}, &data), 0u);
    EXPECT_EQ(
        m.volume->ReadFile({L"windows", L"SYSTEM32", L"Config", L"SYSTEMPROFILE", L"X.TXT"}, &data),
        0u);
    EXPECT_EQ(data, "profile");
    ExpectRangesMatch(*m.volume, Parts("WINDOWS/system32/config/system"),
                      ModelFiles()["WINDOWS/system32/config/system"]);

    NodeInfo info;
    ASSERT_EQ(m.volume->Stat({L"NTLDR"}, &info), 0u);
    EXPECT_EQ(info.attributes, 0x27u);
    ASSERT_EQ(m.volume->Stat({L"WINDOWS", L"system32"}, &info), 0u);
    EXPECT_TRUE(info.directory);
    ASSERT_EQ(m.volume->Stat({}, &info), 0u);
    EXPECT_TRUE(info.directory);
    EXPECT_EQ(m.volume->Stat({L"missing"}, &info), err::kFileNotFound);
    EXPECT_EQ(m.volume->Stat({L"missing", L"x"}, &info), err::kPathNotFound);
    EXPECT_EQ(m.volume->Stat({L"NTLDR", L"x"}, &info), err::kPathNotFound);
    EXPECT_EQ(m.volume->ReadFile({L"WINDOWS"}, &data), err::kAccessDenied);
    // FAT has no compression to take away.
    EXPECT_EQ(m.volume->SetUncompressed({L"boot.ini"}), err::kInvalidFunction);
    EXPECT_EQ(m.volume->SetUncompressed({L"missing"}), err::kFileNotFound);
    m = Mounted();
    EXPECT_TRUE(Slurp(image) == before) << "reading changed the image";
}

// Every kind of change, each followed by fsck.fat -n and the mtools reading
// every file back.
TEST_P(FatVolumeTest, EachKindOfWriteLeavesAVolumeFsckAndMtoolsAccept) {
    const std::string image = MakeFat(TestDir(), GetParam());
    std::map<std::string, std::string> files = ModelFiles();
    const auto check = [&](const std::string& step) {
        SCOPED_TRACE(step);
        ExpectClean(image);
        for (const auto& f : files) EXPECT_TRUE(Mtype(image, f.first) == f.second) << f.first;
    };
    const auto change = [&](const std::string& path, const std::string& data) {
        Mounted m = Mount(image);
        ASSERT_TRUE(m.volume) << m.reason;
        ASSERT_EQ(m.volume->WriteFile(Parts(path), data), 0u) << path;
        files[path] = data;
    };
    change("boot.ini", "[boot loader]\r\ntimeout=0\r\n");
    check("overwrite in place, same clusters");
    // Grows over many clusters, and over a FAT sector's worth of entries.
    change("boot.ini", RandomBytes(700000, 7));
    check("grow across clusters and FAT sectors");
    change("WINDOWS/system32/config/system", RandomBytes(1000, 8));
    check("shrink to one cluster");
    change("WINDOWS/system32/hal.dll", "");
    check("truncate to nothing");
    change("WINDOWS/system32/hal.dll", RandomBytes(9000, 9));
    check("extend from nothing");
    change("WINDOWS/system32/config/system_back", RandomBytes(300001, 10));
    change("WINDOWS/system32/ntoskrnl.exe", RandomBytes(40000, 11));
    change("WINDOWS/A new long name with spaces and more than 26 characters.txt", "long");
    check("create with long and short names");
    EXPECT_NE(Mdir(image, "WINDOWS/system32/config").find("SYSTEM~2"), std::string::npos)
        << Mdir(image, "WINDOWS/system32/config");
    // A lower-case 8.3 name is stored once, its case in the NT flags.
    EXPECT_NE(Mdir(image, "WINDOWS/system32").find("ntoskrnl exe"), std::string::npos)
        << Mdir(image, "WINDOWS/system32");
    {
        Mounted m = Mount(image);
        ASSERT_TRUE(m.volume) << m.reason;
        ASSERT_EQ(m.volume->DeleteFile(Parts("A long file name.bin")), 0u);
        files.erase("A long file name.bin");
        std::vector<FilePatch> patches = {{10, "patched"}, {400000, "far"}};
        ASSERT_EQ(
            m.volume->PatchFile(Parts("WINDOWS/system32/config/system_back"), patches, 400003), 0u);
        std::string& back = files["WINDOWS/system32/config/system_back"];
        back.replace(10, 7, "patched");
        back.resize(400000, '\0');
        back += "far";
        ASSERT_EQ(m.volume->SetAttributes({L"boot.ini"}, 0x01 | 0x02), 0u);
        EXPECT_EQ(m.volume->WriteFile({L"boot.ini"}, "x"), err::kAccessDenied);
        EXPECT_EQ(m.volume->DeleteFile({L"NTLDR"}), err::kAccessDenied);
        ASSERT_EQ(m.volume->SetAttributes({L"boot.ini"}, 0x80), 0u);
        NodeInfo info;
        ASSERT_EQ(m.volume->Stat({L"boot.ini"}, &info), 0u);
        EXPECT_EQ(info.attributes, 0x80u);
        EXPECT_EQ(m.volume->WriteFile({L"missing", L"x"}, "x"), err::kPathNotFound);
        EXPECT_EQ(m.volume->WriteFile({L"WINDOWS", L"a?b"}, "x"), err::kInvalidName);
        EXPECT_EQ(m.volume->WriteFile({L"WINDOWS"}, "x"), err::kAccessDenied);
    }
    check("delete, patch past the end, attributes");
    std::string attrs;
    Shell(kMtools + "mattrib -i " + Quote(image) + " ::/boot.ini", &attrs);
    EXPECT_EQ(attrs.find('R'), std::string::npos) << attrs;
    EXPECT_EQ(Mtype(image, "A long file name.bin"), "<missing A long file name.bin>");
}

// Many new files in one folder: the folder grows cluster by cluster, the
// short names go from ~1 to ~4 and then to the hashed form.
TEST_P(FatVolumeTest, ManyNewFilesGrowTheFolderAndTakeWindowsShortNames) {
    const std::string image = MakeFat(TestDir(), GetParam());
    {
        Mounted m = Mount(image);
        ASSERT_TRUE(m.volume) << m.reason;
        for (int i = 0; i < 120; ++i) {
            const std::wstring name = L"Collision file number " + std::to_wstring(i) + L".txt";
            ASSERT_EQ(m.volume->WriteFile({L"WINDOWS", name}, std::to_string(i)), 0u) << i;
        }
    }
    ExpectClean(image);
    const std::string listing = Mdir(image, "WINDOWS");
    for (const char* name : {"COLLIS~1 TXT", "COLLIS~4 TXT"})
        EXPECT_NE(listing.find(name), std::string::npos) << name << "\n" << listing;
    char hashed[16];
    std::snprintf(hashed, sizeof hashed, "CO%04X~1 TXT",
                  static_cast<unsigned>(ShortNameHash(L"Collision file number 4.txt")));
    EXPECT_NE(listing.find(hashed), std::string::npos) << hashed << "\n" << listing;
    EXPECT_EQ(Mtype(image, "WINDOWS/Collision file number 119.txt"), "119");
}

TEST_P(FatVolumeTest, AWriteThatDoesNotFitFailsWithDiskFullAndChangesNothing) {
    const std::string image = MakeFat(TestDir(), GetParam());
    const std::string before = Slurp(image);
    {
        Mounted m = Mount(image);
        ASSERT_TRUE(m.volume) << m.reason;
        const u64 free = static_cast<u64>(m.volume->FreeClusters()) * m.volume->ClusterBytes();
        // boot.ini holds one cluster already.
        const u64 bootFits = free + m.volume->ClusterBytes();
        EXPECT_EQ(m.volume->WriteFile({L"huge.bin"}, std::string(free + 1, 'f')), err::kDiskFull);
        EXPECT_EQ(m.volume->WriteFile({L"boot.ini"}, std::string(bootFits + 1, 'f')),
                  err::kDiskFull);
        EXPECT_EQ(m.volume->PatchFile({L"boot.ini"}, {{bootFits, "x"}}, bootFits + 1),
                  err::kDiskFull);
    }
    EXPECT_TRUE(Slurp(image) == before);
    {
        // Exactly full still fits.
        Mounted m = Mount(image);
        ASSERT_TRUE(m.volume);
        const u64 free = static_cast<u64>(m.volume->FreeClusters()) * m.volume->ClusterBytes();
        ASSERT_EQ(
            m.volume->WriteFile({L"boot.ini"}, std::string(free + m.volume->ClusterBytes(), 'b')),
            0u);
        EXPECT_EQ(m.volume->FreeClusters(), 0u);
        EXPECT_EQ(m.volume->WriteFile({L"WINDOWS", L"one more.txt"}, "x"), err::kDiskFull);
    }
    ExpectClean(image);
}

// FAT stores local time: a file made at 9 hours east of UTC shows that
// zone's clock, not UTC's.
TEST_P(FatVolumeTest, NewAndChangedFilesCarryLocalTime) {
    const std::string image = MakeFat(TestDir(), GetParam());
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    ::setenv("TZ", "JST-9", 1);
    ::tzset();
    const auto stamp = [](std::time_t t) {
        std::tm tm{};
        localtime_r(&t, &tm);
        // mdir pads the hour with a space, not a zero: "2026-12-08   0:08".
        char text[40];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d  %2d:%02d", tm.tm_year + 1900,
                      tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min);
        return std::string(text);
    };
    const std::time_t before = std::time(nullptr);
    {
        Mounted m = Mount(image);
        ASSERT_TRUE(m.volume) << m.reason;
        ASSERT_EQ(m.volume->WriteFile({L"WINDOWS", L"new.txt"}, "new"), 0u);
        ASSERT_EQ(m.volume->WriteFile({L"WINDOWS", L"empty.txt"}, "changed"), 0u);
    }
    const std::string first = stamp(before);
    const std::string last = stamp(std::time(nullptr));
    if (old)
        ::setenv("TZ", saved.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
    const std::string listing = Mdir(image, "WINDOWS");
    for (const char* name : {"new      txt", "empty    txt"}) {
        const size_t at = listing.find(name);
        ASSERT_NE(at, std::string::npos) << listing;
        const std::string line = listing.substr(at, listing.find('\n', at) - at);
        EXPECT_TRUE(line.find(first) != std::string::npos || line.find(last) != std::string::npos)
            << line << " vs " << first;
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, FatVolumeTest, ::testing::ValuesIn(kKinds),
                         [](const auto& info) { return std::string(info.param.name); });

// --- hostile volumes ------------------------------------------------------

// The image's bytes with just enough knowledge of the layout to damage it.
struct Damage {
    std::string bytes;
    bool fat32 = false;

    u32 At16(u64 at) const {
        return static_cast<u8>(bytes[at]) | (static_cast<u8>(bytes[at + 1]) << 8);
    }
    u32 At32(u64 at) const { return At16(at) | (At16(at + 2) << 16); }
    void Put16(u64 at, u32 v) {
        bytes[at] = static_cast<char>(v);
        bytes[at + 1] = static_cast<char>(v >> 8);
    }
    void Put32(u64 at, u32 v) {
        Put16(at, v);
        Put16(at + 2, v >> 16);
    }
    u32 Bps() const { return At16(11); }
    u32 FatSectors() const { return At16(22) ? At16(22) : At32(36); }
    u64 FatOffset(u32 copy) const { return (At16(14) + copy * FatSectors()) * u64{Bps()}; }
    u64 RootOffset() const { return FatOffset(static_cast<u8>(bytes[16])); }
    u64 DataOffset() const { return RootOffset() + At16(17) * 32; }
    u64 ClusterOffset(u32 c) const { return DataOffset() + u64{c - 2} * bytes[13] * u64{Bps()}; }
    u32 Fat(u32 n) const { return fat32 ? At32(FatOffset(0) + n * 4) : At16(FatOffset(0) + n * 2); }
    void SetFat(u32 n, u32 v) {
        for (u32 copy = 0; copy < static_cast<u8>(bytes[16]); ++copy) {
            if (fat32)
                Put32(FatOffset(copy) + n * 4, v);
            else
                Put16(FatOffset(copy) + n * 2, v);
        }
    }
    u64 FolderOffset(u32 cluster) const {
        return cluster ? ClusterOffset(cluster) : fat32 ? ClusterOffset(At32(44)) : RootOffset();
    }
    // The short entry named `name11` in the folder starting at `cluster`
    // (0: the root), looked for in its first cluster.
    u64 Entry(u32 cluster, const char* name11) const {
        const u64 at = FolderOffset(cluster);
        for (u64 i = at; i < at + 64 * 32; i += 32) {
            if (bytes.compare(i, 11, name11) == 0) return i;
        }
        ADD_FAILURE() << "no entry " << name11;
        return 0;
    }
    u32 First(u64 entry) const { return At16(entry + 26) | (fat32 ? At16(entry + 20) << 16 : 0); }
};

struct Hostile {
    const char* name;
    bool fat32;
    FatVolume::MountError error;
    const char* reason;
    void (*damage)(Damage&);
};

const char kLong[] = "ALONGF~1BIN";  // "A long file name.bin": 5000 bytes

const Hostile kHostile[] = {
    {"BytesPerSector", false, FatVolume::MountError::kDamaged, "bytes per sector",
     [](Damage& d) { d.Put16(11, 300); }},
    {"SectorsPerCluster", false, FatVolume::MountError::kDamaged, "sectors per cluster",
     [](Damage& d) { d.bytes[13] = 3; }},
    {"FatTooSmall", false, FatVolume::MountError::kDamaged, "FAT size is too small",
     [](Damage& d) { d.Put16(22, 1); }},
    {"NoRootEntries", false, FatVolume::MountError::kDamaged, "root entry count",
     [](Damage& d) { d.Put16(17, 0); }},
    {"Fat32WithRootEntries", true, FatVolume::MountError::kDamaged, "names root entries",
     [](Damage& d) { d.Put16(17, 512); }},
    {"TotalPastPartition", false, FatVolume::MountError::kDamaged, "beyond the partition",
     [](Damage& d) {
         d.Put16(19, 0);
         d.Put32(32, static_cast<u32>(d.bytes.size() / 512 + 8));
     }},
    {"Fat32TotalPastPartition", true, FatVolume::MountError::kDamaged, "beyond the partition",
     [](Damage& d) { d.Put32(32, d.At32(32) * 2); }},
    {"ChainLoops", false, FatVolume::MountError::kDamaged, "loops",
     [](Damage& d) {
         const u32 first = d.First(d.Entry(0, kLong));
         d.SetFat(d.Fat(d.Fat(first)), first);
     }},
    {"Fat32ChainLoops", true, FatVolume::MountError::kDamaged, "loops",
     [](Damage& d) {
         const u32 first = d.First(d.Entry(0, kLong));
         d.SetFat(first + 9, first);  // ten one-sector clusters
     }},
    {"ChainPastFat", false, FatVolume::MountError::kDamaged, "past the FAT",
     [](Damage& d) { d.SetFat(d.First(d.Entry(0, kLong)), 0xFFF0); }},
    {"ChainThroughFreeCluster", false, FatVolume::MountError::kDamaged, "free cluster",
     [](Damage& d) {
         const u32 first = d.First(d.Entry(0, kLong));
         d.SetFat(d.Fat(first), 0);
     }},
    {"ChainsCross", false, FatVolume::MountError::kDamaged, "cross",
     [](Damage& d) {
         const u32 boot = d.First(d.Entry(0, "BOOT    INI"));
         d.SetFat(boot, d.Fat(d.First(d.Entry(0, kLong))));
     }},
    {"FolderContainsItself", false, FatVolume::MountError::kDamaged, "contains itself",
     [](Damage& d) {
         const u32 windows = d.First(d.Entry(0, "WINDOWS    "));
         d.Put16(d.Entry(windows, "SYSTEM32   ") + 26, windows);
     }},
    {"Fat32FolderContainsRoot", true, FatVolume::MountError::kDamaged, "contains itself",
     [](Damage& d) { d.Put16(d.Entry(0, "WINDOWS    ") + 26, d.At32(44)); }},
    {"SizeBeyondChain", false, FatVolume::MountError::kDamaged, "size needs clusters",
     [](Damage& d) { d.Put32(d.Entry(0, kLong) + 28, 100000); }},
    {"LongNameBadChecksum", false, FatVolume::MountError::kDamaged, "bad checksum",
     [](Damage& d) {
         const u64 e = d.Entry(0, kLong);
         d.bytes[e - 32 + 13] = static_cast<char>(d.bytes[e - 32 + 13] + 1);
         d.bytes[e - 64 + 13] = d.bytes[e - 32 + 13];
     }},
    {"LongNameOutOfOrder", false, FatVolume::MountError::kDamaged, "out of order",
     [](Damage& d) { d.bytes[d.Entry(0, kLong) - 64] = 0x43; }},
    {"Fat16NotShutDownCleanly", false, FatVolume::MountError::kDirty, "not shut down cleanly",
     [](Damage& d) { d.SetFat(1, 0x7FFF); }},
    {"Fat16DiskError", false, FatVolume::MountError::kDirty, "disk error",
     [](Damage& d) { d.SetFat(1, 0xBFFF); }},
    {"Fat32NotShutDownCleanly", true, FatVolume::MountError::kDirty, "not shut down cleanly",
     [](Damage& d) { d.SetFat(1, 0x07FFFFFF); }},
    {"Fat32DiskError", true, FatVolume::MountError::kDirty, "disk error",
     [](Damage& d) { d.SetFat(1, 0x0BFFFFFF); }},
    {"MarkedDirtyInBootSector", false, FatVolume::MountError::kDirty, "marked dirty",
     [](Damage& d) { d.bytes[37] = 1; }},
    {"NoSignature", false, FatVolume::MountError::kNotFat, "holds no FAT volume",
     [](Damage& d) { d.bytes[510] = 0; }},
};

class FatHostileTest : public ::testing::TestWithParam<Hostile> {};

// Each damaged volume is refused with its reason, before anything follows
// the damage, and the image stays byte for byte as it was.
TEST_P(FatHostileTest, IsRefusedWithItsReasonAndLeftByteIdentical) {
    const Hostile& h = GetParam();
    const std::string image = MakeFat(TestDir(), kKinds[h.fat32 ? 2 : 1]);
    Damage d;
    d.bytes = Slurp(image);
    d.fat32 = h.fat32;
    h.damage(d);
    std::ofstream(image, std::ios::binary | std::ios::trunc) << d.bytes;
    Mounted m = Mount(image);
    EXPECT_FALSE(m.volume);
    EXPECT_EQ(m.error, h.error);
    EXPECT_NE(m.reason.find(h.reason), std::string::npos) << m.reason;
    m = Mounted();
    EXPECT_TRUE(Slurp(image) == d.bytes);
}

INSTANTIATE_TEST_SUITE_P(Catalogue, FatHostileTest, ::testing::ValuesIn(kHostile),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FatShortNames, HashMatchesTheOneWindowsUses) {
    // A name and its hashed short form as Windows gives it ("SOBC84~1.ASP").
    EXPECT_EQ(ShortNameHash(L"SomeStuff.aspx"), 0xBC84);
    std::set<std::wstring> taken = {L"SYSTEM~1"};
    const auto isTaken = [&](const std::wstring& n) { return taken.count(n) > 0; };
    EXPECT_EQ(MakeHashedShortName(L"system_back", isTaken), L"SYSTEM~2");
    taken = {L"SOMEST~1.ASP", L"SOMEST~2.ASP", L"SOMEST~3.ASP", L"SOMEST~4.ASP"};
    EXPECT_EQ(MakeHashedShortName(L"SomeStuff.aspx", isTaken), L"SOBC84~1.ASP");
}

// A disk whose reads fail over one byte range.
class FailingReads : public BlockDevice {
  public:
    FailingReads(BlockDevice& inner, u64 from, u64 to) : inner_(inner), from_(from), to_(to) {}
    u64 Size() const override { return inner_.Size(); }
    u32 Read(u64 offset, void* buffer, std::size_t length) override {
        if (offset < to_ && offset + length > from_) return 23;  // ERROR_CRC
        return inner_.Read(offset, buffer, length);
    }
    u32 Write(u64 offset, const void* buffer, std::size_t length) override {
        return inner_.Write(offset, buffer, length);
    }
    u32 Flush() override { return inner_.Flush(); }

  private:
    BlockDevice& inner_;
    u64 from_, to_;
};

TEST(FatVolumeReasons, AReadErrorIsSaidAsOneAndNotAsAMissingOrDamagedVolume) {
    const std::string image = MakeFat(TestDir(), kKinds[1]);
    const std::string boot = Slurp(image).substr(0, 512);
    const auto le16 = [&](size_t at) {
        return static_cast<u64>(static_cast<u8>(boot[at]) | static_cast<u8>(boot[at + 1]) << 8);
    };
    const u64 fat = le16(14) * 512;
    const u64 root = fat + static_cast<u8>(boot[16]) * le16(22) * 512;
    u32 error = 0;
    std::string why;
    auto disk = RawImage::Open(image, false, &error, &why);
    ASSERT_TRUE(disk) << why;
    struct Case {
        u64 from, to;
        const char* said;
    };
    for (const Case& c :
         {Case{0, 512, "boot sector gives error 23"}, Case{fat, fat + 512, "FAT gives error 23"},
          Case{root, root + 512, "a folder gives error 23"}}) {
        SCOPED_TRACE(c.said);
        FailingReads failing(*disk, c.from, c.to);
        FatVolume::MountError kind;
        std::string reason;
        EXPECT_FALSE(FatVolume::Mount(failing, 0, failing.Size(), &kind, &reason));
        EXPECT_EQ(kind, FatVolume::MountError::kUnreadable);
        EXPECT_NE(reason.find(c.said), std::string::npos) << reason;
    }
}

}  // namespace
}  // namespace morlit::posix::test
