// The Linux registry service keeps the Windows calls' contracts.
#include "platform/constants.h"
#include "tests/posix/hive_fixture.h"

namespace morlit::posix::test {
namespace {

class PosixRegistryTest : public HiveTest {
  protected:
    void SetUp() override {
        HiveTest::SetUp();
        tools::SystemHiveSpec spec;
        spec.defaultControlSet = 2;
        spec.controlSets = {1, 2};
        original = MakeHive(spec);
    }
    std::string original;
};

TEST_F(PosixRegistryTest, LoadFailuresLeaveNothingMounted) {
    const std::wstring hive = L"E:\\Windows\\system32\\config\\system";
    EXPECT_EQ(registry->RegLoadKey(0x80000003, L"VirtualPC", hive), err::kInvalidParameter);
    EXPECT_EQ(registry->RegLoadKey(kHKeyLocalMachine, L"Other", hive), err::kAccessDenied);
    EXPECT_EQ(registry->RegLoadKey(kHKeyLocalMachine, L"VirtualPC", L"E:\\no\\such\\file"),
              err::kFileNotFound);
    EXPECT_EQ(registry->RegLoadKey(kHKeyLocalMachine, L"VirtualPC", L"F:\\unmapped"),
              err::kFileNotFound);
    WriteHostFile(root + "/vol/text", std::string(8192, 'x'));
    EXPECT_EQ(registry->RegLoadKey(kHKeyLocalMachine, L"VirtualPC", L"E:\\text"),
              err::kNotRegistryFile);
    std::string broken = original;
    broken.replace(0x1000, 4, "junk");  // the first hbin's signature
    WriteHostFile(root + "/vol/broken", broken);
    EXPECT_EQ(registry->RegLoadKey(kHKeyLocalMachine, L"VirtualPC", L"E:\\broken"), err::kBadDb);
    EXPECT_FALSE(registry->Loaded());
    EXPECT_EQ(TempFiles(), 0);

    // The mount point is busy while a hive is loaded there, also for the
    // same file, and free again after unloading.
    ASSERT_EQ(registry->RegLoadKey(kHKeyLocalMachine, L"virtualpc", hive), 0u);
    EXPECT_EQ(TempFiles(), 1);
    EXPECT_EQ(Load(), err::kSharingViolation);
    EXPECT_EQ(registry->RegUnLoadKey(kHKeyLocalMachine, L"VIRTUALPC"), 0u);
    EXPECT_EQ(registry->RegUnLoadKey(kHKeyLocalMachine, L"VirtualPC"), err::kInvalidParameter);
    EXPECT_EQ(TempFiles(), 0);
    EXPECT_EQ(Load(), 0u);
}

TEST_F(PosixRegistryTest, ServicesWithTheirOwnCopyFoldersLoadAtTheSameTime) {
    // Each run has its own service and program folder: two runs load their
    // hives at once, each copy in its own folder and gone after unloading.
    ASSERT_EQ(::mkdir((root + "/a").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((root + "/b").c_str(), 0700), 0);
    PosixRegistry first(files, errors, root + "/a");
    PosixRegistry second(files, errors, root + "/b");
    const std::wstring hive = L"E:\\Windows\\system32\\config\\system";
    ASSERT_EQ(first.RegLoadKey(kHKeyLocalMachine, L"VirtualPC", hive), 0u);
    ASSERT_EQ(second.RegLoadKey(kHKeyLocalMachine, L"VirtualPC", hive), 0u);
    const auto count = [&](const std::string& dir) {
        std::string out;
        RunCommand("ls -A '" + dir + "' | wc -l", &out);
        return std::stoi(out);
    };
    EXPECT_EQ(count(root + "/a"), 1);
    EXPECT_EQ(count(root + "/b"), 1);
    EXPECT_EQ(TempFiles(), 0);
    EXPECT_EQ(second.RegUnLoadKey(kHKeyLocalMachine, L"VirtualPC"), 0u);
    EXPECT_EQ(count(root + "/b"), 0);
    EXPECT_TRUE(first.Loaded());
    EXPECT_EQ(first.RegUnLoadKey(kHKeyLocalMachine, L"VirtualPC"), 0u);
    EXPECT_EQ(count(root + "/a"), 0);
}

TEST_F(PosixRegistryTest, OpenAndQueryFollowWindows) {
    RegKey key = 0;
    EXPECT_EQ(registry->RegOpenKeyEx(kHKeyLocalMachine, L"VirtualPC\\Select", 0, kKeyRead, &key),
              err::kFileNotFound);  // nothing loaded yet
    ASSERT_EQ(Load(), 0u);
    EXPECT_EQ(registry->RegOpenKeyEx(kHKeyLocalMachine, L"VirtualPC\\Nope", 0, kKeyRead, &key),
              err::kFileNotFound);
    EXPECT_EQ(registry->RegOpenKeyEx(kHKeyLocalMachine, L"SOFTWARE", 0, kKeyRead, &key),
              err::kFileNotFound);
    ASSERT_EQ(registry->RegOpenKeyEx(kHKeyLocalMachine, L"virtualpc\\SELECT", 0, kKeyRead, &key),
              0u);

    u32 type = 0, size = 0;
    // Size only.
    EXPECT_EQ(registry->RegQueryValueEx(key, L"Default", &type, nullptr, &size), 0u);
    EXPECT_EQ(type, kRegDword);
    EXPECT_EQ(size, 4u);
    // Too small: ERROR_MORE_DATA with the size needed, buffer untouched.
    u8 small[2] = {0xAA, 0xAA};
    size = 2;
    EXPECT_EQ(registry->RegQueryValueEx(key, L"Default", &type, small, &size), err::kMoreData);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(small[0], 0xAA);
    u8 data[8] = {};
    size = sizeof data;
    EXPECT_EQ(registry->RegQueryValueEx(key, L"default", &type, data, &size), 0u);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(data[0], 2);
    EXPECT_EQ(registry->RegQueryValueEx(key, L"Missing", &type, data, &size), err::kFileNotFound);
    EXPECT_EQ(registry->RegQueryValueEx(key, L"Default", &type, data, nullptr),
              err::kInvalidParameter);

    // A key opened relative to another.
    RegKey root = 0, atapi = 0;
    ASSERT_EQ(registry->RegOpenKeyEx(kHKeyLocalMachine, L"VirtualPC", 0, kKeyRead, &root), 0u);
    ASSERT_EQ(registry->RegOpenKeyEx(root, L"ControlSet002\\Services\\atapi", 0, kKeyRead, &atapi),
              0u);
    u8 path[128];
    size = sizeof path;
    EXPECT_EQ(registry->RegQueryValueEx(atapi, L"ImagePath", &type, path, &size), 0u);
    EXPECT_EQ(type, kRegExpandSz);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(path), size),
              Utf16(L"system32\\DRIVERS\\atapi.sys"));

    for (RegKey k : {key, root, atapi}) EXPECT_EQ(registry->RegCloseKey(k), 0u);
    EXPECT_EQ(registry->RegCloseKey(key), err::kInvalidHandle);
    EXPECT_EQ(registry->RegQueryValueEx(key, L"Default", &type, data, &size), err::kInvalidHandle);
}

TEST_F(PosixRegistryTest, UnloadNeverWritesAndCommitWritesOnlyChanges) {
    ASSERT_EQ(Load(), 0u);
    std::string why;
    EXPECT_EQ(registry->CommitToVolume(&why), 0u);  // unchanged: nothing written
    EXPECT_EQ(ReadHostFile(HivePath()), original);

    RegOp op;
    op.kind = RegOpKind::SetValue;
    op.key = {L"Select"};
    op.name = L"Default";
    op.type = kRegDword;
    op.data = Dword(1);
    ASSERT_EQ(registry->Apply({op}, &why), 0u) << why;
    EXPECT_TRUE(registry->Changed());
    EXPECT_EQ(registry->RegUnLoadKey(kHKeyLocalMachine, L"VirtualPC"), 0u);
    // Unloading dropped the change: only the editor writes a hive back.
    EXPECT_EQ(ReadHostFile(HivePath()), original);
    EXPECT_EQ(TempFiles(), 0);

    ASSERT_EQ(Load(), 0u);
    ASSERT_EQ(registry->Apply({op}, &why), 0u) << why;
    ASSERT_EQ(registry->CommitToVolume(&why), 0u) << why;
    EXPECT_EQ(HiveReader(HivePath()).Value("Select", "Default").data, Dword(1));
    EXPECT_EQ(HiveReader(HivePath()).Value("Select", "Current").data, Dword(1));
}

// Drive E: with the write-back calls counted, and patching switched off or
// made to fail on demand.
class CountingFiles : public FolderFileAccess {
  public:
    u32 WriteFile(const std::wstring& path, const std::string& data) override {
        ++wholeWrites;
        return FolderFileAccess::WriteFile(path, data);
    }
    u32 PatchFile(const std::wstring& path, const std::vector<FilePatch>& patches,
                  u64 size) override {
        ++patchCalls;
        if (!canPatch) return err::kNotSupported;
        if (failPatch) {
            // Half done, as a full disk would leave it.
            if (!patches.empty()) FolderFileAccess::PatchFile(path, {patches.front()}, size);
            return err::kDiskFull;
        }
        for (const FilePatch& p : patches) patchedBytes += p.data.size();
        return FolderFileAccess::PatchFile(path, patches, size);
    }
    bool canPatch = true;
    bool failPatch = false;
    int wholeWrites = 0;
    int patchCalls = 0;
    size_t patchedBytes = 0;
};

class WriteBackTest : public PosixRegistryTest {
  protected:
    void SetUp() override {
        PosixRegistryTest::SetUp();
        // Large enough that a few changed pages are a small part of it.
        tools::SystemHiveSpec spec;
        spec.defaultControlSet = 1;
        spec.controlSets = {1};
        spec.fillerKeys = 2000;
        original = MakeHive(spec);
        counting.Map(L'E', root + "/vol");
        registry = std::make_unique<PosixRegistry>(counting, errors);
    }
    static RegOp SetDword(std::vector<std::wstring> key, const std::wstring& name, u32 v) {
        RegOp op;
        op.kind = RegOpKind::SetValue;
        op.key = std::move(key);
        op.name = name;
        op.type = kRegDword;
        op.data = Dword(v);
        return op;
    }
    // Loads the original hive, applies `ops` and commits: the hive written.
    std::string ImportInto(const std::vector<RegOp>& ops) {
        WriteHostFile(HivePath(), original);
        std::string why;
        EXPECT_EQ(Load(), 0u);
        EXPECT_EQ(registry->Apply(ops, &why), 0u) << why;
        EXPECT_EQ(registry->CommitToVolume(&why), 0u) << why;
        EXPECT_EQ(registry->RegUnLoadKey(kHKeyLocalMachine, L"VirtualPC"), 0u);
        return ReadHostFile(HivePath());
    }
    CountingFiles counting;
};

TEST_F(WriteBackTest, OnlyChangedPagesAreWrittenAndMatchAWholeWrite) {
    const std::vector<RegOp> ops = {
        SetDword({L"Select"}, L"Default", 1),
        SetDword({L"ControlSet001", L"Services", L"NewDriver"}, L"Start", 0)};
    const std::string patched = ImportInto(ops);
    EXPECT_EQ(counting.wholeWrites, 0);
    EXPECT_EQ(counting.patchCalls, 1);
    EXPECT_GT(counting.patchedBytes, 0u);
    EXPECT_LT(counting.patchedBytes, patched.size() / 8);

    counting.canPatch = false;
    const std::string whole = ImportInto(ops);
    EXPECT_EQ(counting.wholeWrites, 1);
    EXPECT_EQ(whole, patched);  // byte for byte what hivex committed
    HiveReader hive(HivePath());
    ASSERT_TRUE(hive.ok());
    EXPECT_EQ(hive.Value("ControlSet001\\Services\\NewDriver", "Start").data, Dword(0));
}

TEST_F(WriteBackTest, LaterCommitsCompareWithWhatWasWritten) {
    ASSERT_EQ(Load(), 0u);
    std::string why;
    ASSERT_EQ(registry->Apply({SetDword({L"Select"}, L"Default", 1)}, &why), 0u) << why;
    ASSERT_EQ(registry->CommitToVolume(&why), 0u) << why;
    ASSERT_EQ(registry->Apply({SetDword({L"Added"}, L"Second", 2)}, &why), 0u) << why;
    ASSERT_EQ(registry->CommitToVolume(&why), 0u) << why;
    EXPECT_EQ(counting.wholeWrites, 0);
    HiveReader hive(HivePath());
    ASSERT_TRUE(hive.ok());
    EXPECT_EQ(hive.Value("Select", "Default").data, Dword(1));
    EXPECT_EQ(hive.Value("Added", "Second").data, Dword(2));
}

TEST_F(WriteBackTest, AFailedPatchIsFollowedByAWholeWrite) {
    const std::vector<RegOp> ops = {SetDword({L"Select"}, L"Default", 1),
                                    SetDword({L"Added"}, L"Value", 7)};
    const std::string expected = ImportInto(ops);
    WriteHostFile(HivePath(), original);

    ASSERT_EQ(Load(), 0u);
    std::string why;
    ASSERT_EQ(registry->Apply(ops, &why), 0u) << why;
    counting.failPatch = true;
    counting.wholeWrites = 0;
    EXPECT_EQ(registry->CommitToVolume(&why), err::kDiskFull);
    EXPECT_TRUE(registry->Changed());
    // The file is in an unknown state now: the retry writes all of it, even
    // where patching works again.
    counting.failPatch = false;
    ASSERT_EQ(registry->CommitToVolume(&why), 0u) << why;
    EXPECT_EQ(counting.wholeWrites, 1);
    EXPECT_FALSE(registry->Changed());
    // One more commit than the reference made: only the sequence numbers and
    // the header's checksum may differ.
    const std::string written = ReadHostFile(HivePath());
    ASSERT_EQ(written.size(), expected.size());
    EXPECT_EQ(written.compare(512, std::string::npos, expected, 512, std::string::npos), 0);
    EXPECT_TRUE(HiveReader(HivePath()).ok());
}

TEST(FolderPatchFile, WritesInPlaceResizesAndNeverCreates) {
    const std::string root = MakeShortTempDir("mlp");
    ASSERT_FALSE(root.empty());
    FolderFileAccess files;
    files.Map(L'E', root);
    WriteHostFile(root + "/f", "0123456789");
    EXPECT_EQ(files.PatchFile(L"E:\\F", {{2, "ab"}, {12, "cd"}}, 14), 0u);
    EXPECT_EQ(ReadHostFile(root + "/f"), std::string("01ab456789\0\0cd", 14));
    EXPECT_EQ(files.PatchFile(L"E:\\f", {{0, "x"}}, 3), 0u);
    EXPECT_EQ(ReadHostFile(root + "/f"), "x1a");
    EXPECT_EQ(files.PatchFile(L"E:\\missing", {{0, "x"}}, 1), err::kFileNotFound);
    EXPECT_NE(::access((root + "/missing").c_str(), F_OK), 0);
    EXPECT_EQ(files.PatchFile(L"Q:\\f", {}, 0), err::kPathNotFound);
    const std::string cmd = "rm -rf '" + root + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
}

}  // namespace
}  // namespace morlit::posix::test
