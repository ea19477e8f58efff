// A host folder as a CD drive: names without case, nothing written, nothing
// outside the folder reachable.
#include "platform/posix/fs/folder_volume.h"

#include "platform/constants.h"
#include "tests/posix/cd_test_images.h"
#include "tests/posix/range_check.h"

namespace morlit::test {
namespace {

using posix::FolderVolume;
using posix::NodeInfo;

class FolderVolumeTest : public ::testing::Test {
  protected:
    FolderVolumeTest() : cd(images.Dir() + "/cd") {
        images.Write("cd/WIN51", "tag");
        images.Write("cd/i386/hal.dl_", "hal");
        images.Write("cd/i386/Dup.txt", "upper");
        images.Write("cd/i386/dup.TXT", "lower");
        images.Write("cd/i386/Éclair.txt", "accented");
        images.Write("outside.txt", "secret");
        for (size_t i = 0; i < 300001; ++i) big.push_back(static_cast<char>(i * 7919 % 251));
        images.Write("cd/i386/Big.bin", big);
    }
    std::string big;
    CdImages images;
    FolderVolume cd;
};

TEST_F(FolderVolumeTest, FindsNamesWithoutCaseAndReadsThem) {
    EXPECT_EQ(cd.DriveType(), kDriveCdrom);
    NodeInfo info;
    ASSERT_EQ(cd.Stat({L"win51"}, &info), 0u);
    EXPECT_FALSE(info.directory);
    EXPECT_EQ(info.size, 3u);
    EXPECT_EQ(info.attributes, kFileAttributeReadOnly);
    ASSERT_EQ(cd.Stat({L"I386"}, &info), 0u);
    EXPECT_TRUE(info.directory);
    EXPECT_EQ(info.attributes, kFileAttributeDirectory | kFileAttributeReadOnly);

    std::string data;
    ASSERT_EQ(cd.ReadFile({L"I386", L"HAL.DL_"}, &data), 0u);
    EXPECT_EQ(data, "hal");
    ASSERT_EQ(cd.ReadFile({L"i386", L"éCLAIR.TXT"}, &data), 0u);
    EXPECT_EQ(data, "accented");
    // Names differing only in case: the exact one, else the first by name.
    ASSERT_EQ(cd.ReadFile({L"i386", L"dup.TXT"}, &data), 0u);
    EXPECT_EQ(data, "lower");
    ASSERT_EQ(cd.ReadFile({L"i386", L"DUP.TXT"}, &data), 0u);
    EXPECT_EQ(data, "upper");
    ExpectRangesMatch(cd, {L"I386", L"BIG.BIN"}, big);
}

TEST_F(FolderVolumeTest, MissingEscapingAndWritingFail) {
    NodeInfo info;
    std::string data;
    EXPECT_EQ(cd.Stat({L"I386", L"sp3.cab"}, &info), err::kFileNotFound);
    EXPECT_EQ(cd.Stat({L"nothere", L"sp3.cab"}, &info), err::kPathNotFound);
    EXPECT_EQ(cd.Stat({L"WIN51", L"x"}, &info), err::kPathNotFound);
    EXPECT_EQ(cd.ReadFile({L".."}, &data), err::kInvalidName);
    EXPECT_EQ(cd.ReadFile({L"..", L"outside.txt"}, &data), err::kInvalidName);
    EXPECT_EQ(cd.ReadFile({L"i386/../../outside.txt"}, &data), err::kInvalidName);
    EXPECT_EQ(cd.ReadFile({L"I386"}, &data), err::kAccessDenied);
    EXPECT_EQ(cd.ReadRange({L"I386"}, 0, 1, &data), err::kAccessDenied);
    EXPECT_EQ(cd.ReadRange({L"..", L"outside.txt"}, 0, 1, &data), err::kInvalidName);
    EXPECT_EQ(cd.ReadRange({L"I386", L"sp3.cab"}, 0, 1, &data), err::kFileNotFound);
    EXPECT_EQ(cd.WriteFile({L"new.txt"}, "x"), err::kWriteProtect);
    EXPECT_EQ(cd.WriteFile({L"WIN51"}, "x"), err::kWriteProtect);
    EXPECT_EQ(cd.DeleteFile({L"WIN51"}), err::kWriteProtect);
    EXPECT_EQ(cd.SetAttributes({L"WIN51"}, 0), err::kWriteProtect);
    EXPECT_EQ(cd.SetUncompressed({L"WIN51"}), err::kWriteProtect);
    ASSERT_EQ(cd.ReadFile({L"WIN51"}, &data), 0u);
    EXPECT_EQ(data, "tag");

    FolderVolume gone(images.Dir() + "/absent");
    EXPECT_EQ(gone.Stat({L"WIN51"}, &info), err::kPathNotFound);
}

}  // namespace
}  // namespace morlit::test
