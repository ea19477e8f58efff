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

}  // namespace
}  // namespace morlit::posix::test
