// Ranged reads and in-place patches of NTFS files on real images, checked
// with ntfscat, ntfsinfo and ntfsfix, and against a host file given the same
// patches (whose contract the NTFS layer follows).
#include <random>

#include "platform/posix/programs/expand_tool.h"
#include "platform/posix/registry/reg_import.h"
#include "platform/posix/registry/registry.h"
#include "tests/posix/host_fixture.h"
#include "tests/posix/range_check.h"
#include "tools/hive/hive_builder.h"

namespace morlit::posix::test {
namespace {

using morlit::test::ExpectRangesMatch;

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    return data;
}

void WriteHost(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

std::string NtfsCat(const std::string& part, const std::string& file) {
    std::string out;
    if (Shell("ntfscat " + Quote(part) + " " + Quote(file) + " 2>/dev/null", &out) != 0)
        return "<missing " + file + ">";
    return out;
}

std::string FileAttributes(const std::string& part, const std::string& file) {
    std::string out;
    Shell("ntfsinfo -F " + Quote(file) + " " + Quote(part) + " | grep -i 'attributes'", &out);
    return out;
}

// The files every test here starts from, as host files in `dir`/model (the
// model drive E:), and an image holding the same files plus a compressed
// one. Sizes put files inside the MFT record (small.txt), across many
// clusters, and empty.
struct RangeImage {
    std::string dir, image;
    std::map<std::string, std::string> files;  // image path -> bytes
};

RangeImage MakeRangeImage() {
    RangeImage r;
    r.dir = TestDir();
    const std::string model = r.dir + "/model";
    Shell("mkdir -p " + Quote(model + "/Data/Deep"));
    r.files = {{"Data/big.bin", RandomBytes(300001, 1)},
               {"Data/Deep/grow.bin", RandomBytes(9000, 2)},
               {"shrink.bin", RandomBytes(150000, 3)},
               {"keep.bin", RandomBytes(50000, 4)},
               {"ro.bin", RandomBytes(5000, 5)},
               {"small.txt", "A resident file."},
               {"empty.bin", ""}};
    std::string tree = "dir Data\\Deep\n";
    for (const auto& [path, bytes] : r.files) {
        WriteHost(model + "/" + path, bytes);
        std::string windows = path;
        for (char& c : windows)
            if (c == '/') c = '\\';
        tree += "copy " + windows + " " + model + "/" + path + "\n";
    }
    tree += "attr ro.bin readonly\n";
    // A cabinet holding two of the files, for an expand run from the image.
    EXPECT_EQ(
        Shell("cd " + Quote(model) + " && gcab -c -n -z ../drivers.cab keep.bin Data/big.bin"), 0);
    tree += "copy Data\\drivers.cab " + r.dir + "/drivers.cab\n";
    WriteHost(r.dir + "/ranges.tree", tree);
    r.image = MakeImage(r.dir, "ranges.vhd",
                        "--tree " + Quote(r.dir + "/ranges.tree") + " --compressed packed.bin");
    return r;
}

// Drive access with the whole-file and ranged calls counted.
class CountingAccess : public FileAccess {
  public:
    explicit CountingAccess(FileAccess& inner) : inner_(inner) {}
    u32 Stat(const std::wstring& path, NodeInfo* info) override { return inner_.Stat(path, info); }
    u32 ReadFile(const std::wstring& path, std::string* data) override {
        ++wholeReads;
        return inner_.ReadFile(path, data);
    }
    u32 ReadRange(const std::wstring& path, u64 offset, size_t length, std::string* data) override {
        ++rangeReads;
        return inner_.ReadRange(path, offset, length, data);
    }
    u32 WriteFile(const std::wstring& path, const std::string& data) override {
        ++wholeWrites;
        return inner_.WriteFile(path, data);
    }
    bool FileStamp(const std::wstring& path, std::string* stamp) override {
        return inner_.FileStamp(path, stamp);
    }
    u32 PatchFile(const std::wstring& path, const std::vector<FilePatch>& patches,
                  u64 size) override {
        const u32 e = inner_.PatchFile(path, patches, size);
        if (e == 0) ++patched;
        if (e == err::kNotSupported) ++patchRefused;
        return e;
    }
    int wholeReads = 0, rangeReads = 0, wholeWrites = 0, patched = 0, patchRefused = 0;

  private:
    FileAccess& inner_;
};

TEST(NtfsRanges, ReadsMatchNtfscatAndRefusedPatchesLeaveTheImageByteIdentical) {
    const RangeImage r = MakeRangeImage();
    const std::string part = ExtractPartition(r.image, 2048);
    const std::string before = Slurp(r.image);
    TestHost t;
    Handle disk = t.Attach(r.image);
    ASSERT_TRUE(disk) << t.Diagnostics();
    DriveNamespace& d = t.posix->drives();
    Volume* v = d.Find(L'D');
    ASSERT_TRUE(v);

    ExpectRangesMatch(*v, {L"Data", L"big.bin"}, NtfsCat(part, "/Data/big.bin"));
    ExpectRangesMatch(*v, {L"small.txt"}, NtfsCat(part, "/small.txt"));
    ExpectRangesMatch(*v, {L"empty.bin"}, "");
    // Compressed: read through its compression units.
    const std::string packed = NtfsCat(part, "/packed.bin");
    ASSERT_EQ(packed.size(), 200000u);
    ExpectRangesMatch(*v, {L"packed.bin"}, packed);

    // Through the drive namespace, names in any case.
    std::string data;
    ASSERT_EQ(d.ReadRange(L"D:\\data\\BIG.BIN", 4093, 9, &data), 0u);
    EXPECT_TRUE(data == r.files.at("Data/big.bin").substr(4093, 9));
    EXPECT_EQ(d.ReadRange(L"D:\\Data", 0, 10, &data), err::kAccessDenied);
    EXPECT_EQ(d.ReadRange(L"D:\\Data\\none.bin", 0, 10, &data), err::kFileNotFound);
    EXPECT_EQ(d.ReadRange(L"D:\\None\\x.bin", 0, 10, &data), err::kPathNotFound);
    EXPECT_EQ(d.ReadRange(L"Q:\\x.bin", 0, 10, &data), err::kPathNotFound);

    // Refused before anything is written; nothing is created.
    EXPECT_EQ(d.PatchFile(L"D:\\Data\\none.bin", {{0, "x"}}, 1), err::kFileNotFound);
    NodeInfo info;
    EXPECT_EQ(d.Stat(L"D:\\Data\\none.bin", &info), err::kFileNotFound);
    EXPECT_EQ(d.PatchFile(L"D:\\None\\x.bin", {{0, "x"}}, 1), err::kPathNotFound);
    EXPECT_EQ(d.PatchFile(L"D:\\Data", {{0, "x"}}, 1), err::kAccessDenied);
    EXPECT_EQ(d.PatchFile(L"D:\\ro.bin", {{0, "x"}}, 5000), err::kAccessDenied);
    EXPECT_EQ(d.PatchFile(L"D:\\packed.bin", {{0, "x"}}, 200000), err::kNotSupported);
    EXPECT_EQ(d.PatchFile(L"D:\\keep.bin", {{~0ull - 1, "xy"}}, 50000), err::kInvalidParameter);
    EXPECT_EQ(d.PatchFile(L"D:\\keep.bin", {}, ~0ull), err::kInvalidParameter);
    // Nothing to change: nothing written.
    EXPECT_EQ(d.PatchFile(L"D:\\keep.bin", {{7, ""}}, 50000), 0u);

    // An expand run from a cabinet on the image into a host folder reads
    // the cabinet in ranges, never whole, and writes nothing to the image.
    ClearExpandCache();
    CountingAccess counting(d);
    Shell("mkdir -p " + Quote(r.dir + "/out"));
    std::string reason;
    EXPECT_EQ(RunExpandTool(counting,
                            L"\"D:\\Data\\drivers.cab\" -F:keep.bin \"" +
                                HostPathToWindows(r.dir + "/out") + L"\"",
                            &reason),
              0u)
        << reason;
    EXPECT_TRUE(Slurp(r.dir + "/out/keep.bin") == r.files.at("keep.bin"));
    EXPECT_GT(counting.rangeReads, 0);
    EXPECT_EQ(counting.wholeReads, 0);
    ClearExpandCache();

    t.Detach(disk);
    EXPECT_TRUE(Slurp(r.image) == before);
    Shell("rm -f " + Quote(part));
}

TEST(NtfsRanges, PatchesGrowShrinkAndKeepSizeAsOnAHostFile) {
    const RangeImage r = MakeRangeImage();
    FolderFileAccess model;
    model.Map(L'E', r.dir + "/model");
    TestHost t;
    Handle disk = t.Attach(r.image);
    ASSERT_TRUE(disk) << t.Diagnostics();
    DriveNamespace& d = t.posix->drives();

    struct Case {
        std::string path;
        std::vector<FilePatch> patches;
        u64 size;
    };
    const std::vector<Case> cases = {
        // Same size: single bytes, across cluster edges, the last byte.
        {"keep.bin", {{1, "a"}, {4095, "bc"}, {4097, RandomBytes(5000, 10)}, {49999, "z"}}, 50000},
        // A later patch overwrites part of an earlier one; the last one
        // runs past the end and the size follows it.
        {"Data/big.bin", {{100, "xxxx"}, {102, "YY"}, {299990, RandomBytes(40, 11)}}, 300030},
        // Past the end with a gap, then larger still: zeros between.
        {"Data/Deep/grow.bin", {{16000, RandomBytes(3000, 12)}}, 30000},
        // Cut short, with a patch that lies beyond the new end.
        {"shrink.bin", {{5, "s"}, {140000, "gone"}}, 4000},
        // Out of the MFT record into clusters.
        {"small.txt", {{2, "MID"}, {20, RandomBytes(10000, 13)}}, 10020},
        {"empty.bin", {{0, "first"}}, 5},
        // A second round on a file already patched.
        {"keep.bin", {{0, "again"}, {30000, RandomBytes(100, 14)}}, 50000},
    };
    std::string stampBefore, stampAfter;
    ASSERT_TRUE(d.FileStamp(L"D:\\keep.bin", &stampBefore));
    for (const Case& c : cases) {
        std::wstring windows = L"\\" + FromUtf8(c.path);
        for (wchar_t& ch : windows)
            if (ch == L'/') ch = L'\\';
        ASSERT_EQ(model.PatchFile(L"E:" + windows, c.patches, c.size), 0u) << c.path;
        ASSERT_EQ(d.PatchFile(L"D:" + windows, c.patches, c.size), 0u) << c.path;
        std::string want, got;
        ASSERT_EQ(model.ReadFile(L"E:" + windows, &want), 0u);
        ASSERT_EQ(d.ReadFile(L"D:" + windows, &got), 0u);
        EXPECT_EQ(got.size(), c.size) << c.path;
        EXPECT_TRUE(got == want) << c.path;
    }
    ASSERT_TRUE(d.FileStamp(L"D:\\keep.bin", &stampAfter));
    EXPECT_NE(stampAfter, stampBefore);
    t.Detach(disk);

    const std::string part = ExtractPartition(r.image, 2048);
    std::string log;
    EXPECT_EQ(Shell("ntfsfix -n " + Quote(part), &log), 0) << log;
    for (const Case& c : cases) {
        EXPECT_TRUE(NtfsCat(part, "/" + c.path) == Slurp(r.dir + "/model/" + c.path)) << c.path;
    }
    // The gap was written, not left as a hole; a changed file is marked for
    // backup as Windows marks it.
    const std::string grown = FileAttributes(part, "/Data/Deep/grow.bin");
    EXPECT_EQ(grown.find("SPARSE"), std::string::npos) << grown;
    EXPECT_NE(grown.find("ARCHIVE"), std::string::npos) << grown;
    Shell("rm -f " + Quote(part));
}

TEST(NtfsRanges, HiveWriteBackPatchesAPlainHiveAndRewritesACompressedOne) {
    const std::string dir = TestDir();
    tools::SystemHiveSpec spec;
    spec.defaultControlSet = 1;
    spec.controlSets = {1, 2};
    spec.fillerKeys = 2000;
    std::string error;
    ASSERT_TRUE(tools::BuildSystemHive(dir + "/system", spec, &error)) << error;
    const std::string hive = Slurp(dir + "/system");
    WriteHost(dir + "/hive.tree", "copy plain.hiv " + dir + "/system\n");
    const std::string image = MakeImage(
        dir, "hive.vhd", "--tree " + Quote(dir + "/hive.tree") + " --compressed packed.bin");

    TestHost t;
    Handle disk = t.Attach(image);
    ASSERT_TRUE(disk) << t.Diagnostics();
    DriveNamespace& d = t.posix->drives();
    // The compressed file takes the hive's bytes and stays compressed.
    ASSERT_EQ(d.WriteFile(L"D:\\packed.bin", hive), 0u);

    RegOp op;
    op.kind = RegOpKind::SetValue;
    op.key = {L"ControlSet001", L"Services", L"NewDriver"};
    op.name = L"Start";
    op.type = kRegDword;
    op.data = std::string("\0\0\0\0", 4);
    const auto change = [&](FileAccess& files, const std::wstring& path) {
        PosixRegistry registry(files, *t.host.errors);
        std::string why;
        EXPECT_EQ(registry.RegLoadKey(kHKeyLocalMachine, L"VirtualPC", path), 0u);
        EXPECT_EQ(registry.Apply({op}, &why), 0u) << why;
        EXPECT_EQ(registry.CommitToVolume(&why), 0u) << why;
        EXPECT_EQ(registry.RegUnLoadKey(kHKeyLocalMachine, L"VirtualPC"), 0u);
    };
    // What the same change gives on a host file.
    Shell("mkdir -p " + Quote(dir + "/model") + " && cp " + Quote(dir + "/system") + " " +
          Quote(dir + "/model/system"));
    FolderFileAccess model;
    model.Map(L'E', dir + "/model");
    change(model, L"E:\\system");
    const std::string want = Slurp(dir + "/model/system");
    ASSERT_FALSE(want == hive);

    CountingAccess counting(d);
    change(counting, L"D:\\plain.hiv");
    EXPECT_EQ(counting.patched, 1);
    EXPECT_EQ(counting.wholeWrites, 0);
    change(counting, L"D:\\packed.bin");
    EXPECT_EQ(counting.patchRefused, 1);
    EXPECT_EQ(counting.wholeWrites, 1);
    t.Detach(disk);

    const std::string part = ExtractPartition(image, 2048);
    std::string log;
    EXPECT_EQ(Shell("ntfsfix -n " + Quote(part), &log), 0) << log;
    EXPECT_TRUE(NtfsCat(part, "/plain.hiv") == want);
    EXPECT_TRUE(NtfsCat(part, "/packed.bin") == want);
    const std::string packed = FileAttributes(part, "/packed.bin");
    EXPECT_NE(packed.find("COMPRESSED"), std::string::npos) << packed;
    Shell("rm -f " + Quote(part));
}

}  // namespace
}  // namespace morlit::posix::test
