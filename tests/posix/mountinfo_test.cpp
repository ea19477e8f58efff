// Optical discs among the mounted file systems.
#include "platform/posix/mountinfo.h"

#include "platform/constants.h"
#include "platform/posix/cd_drives.h"
#include "platform/posix/fs/folder_volume.h"

#include "tests/posix/cd_test_images.h"

namespace morlit::test {
namespace {

using posix::ListOpticalMounts;
using posix::MountEntry;
using posix::OpticalMounts;
using posix::ParseMountInfo;

const char* const kSample =
    "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
    "40 22 11:0 / /media/user/WXPVOL_EN ro,nosuid shared:20 master:3 - iso9660 /dev/sr0 "
    "ro,norock\n"
    "41 22 7:0 / /mnt/My\\040Disc\\011x\\134y ro - udf /dev/loop0 ro\n"
    "garbage line\n"
    "42 22 0:50 / /mnt/notes rw - tmpfs tmpfs rw\n"
    "43 22 7:1 / /mnt/cd ro - iso9660 /dev/loop1 ro\n"
    "44 22 0:51 / /mnt/cd rw - tmpfs tmpfs rw\n"
    "45 22 7:2 /sub /mnt/second ro - iso9660 /home/u/xp\\040sp3.iso ro\n"
    "46 22 7:3 / /mnt/nodash ro shared:5 iso9660 /dev/loop3 ro\n";

TEST(MountInfoTest, ListsOpticalMountsInMountOrderWithPathsUnescaped) {
    const std::vector<MountEntry> all = ParseMountInfo(kSample);
    ASSERT_EQ(all.size(), 7u);  // the two malformed lines are skipped
    EXPECT_EQ(all[0].mountPoint, "/");
    EXPECT_EQ(all[0].fsType, "ext4");
    EXPECT_EQ(all[1].source, "/dev/sr0");  // several optional fields before "-"

    const std::vector<MountEntry> cds = OpticalMounts(all);
    ASSERT_EQ(cds.size(), 3u);
    EXPECT_EQ(cds[0].mountPoint, "/media/user/WXPVOL_EN");
    EXPECT_EQ(cds[1].mountPoint, "/mnt/My Disc\tx\\y");
    EXPECT_EQ(cds[1].fsType, "udf");
    // /mnt/cd is covered by a later mount and shows nothing of the disc.
    EXPECT_EQ(cds[2].mountPoint, "/mnt/second");
    EXPECT_EQ(cds[2].root, "/sub");
    EXPECT_EQ(cds[2].source, "/home/u/xp sp3.iso");
}

TEST(MountInfoTest, ReadsAFileAndToleratesAMissingOne) {
    CdImages dir;
    dir.Write("mountinfo", kSample);
    EXPECT_EQ(ListOpticalMounts(dir.Dir() + "/mountinfo").size(), 3u);
    EXPECT_TRUE(ListOpticalMounts(dir.Dir() + "/absent").empty());
    // This process's own table parses into absolute mount points (a chroot
    // or container need not show "/" itself).
    std::ifstream in("/proc/self/mountinfo");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const MountEntry& m : ParseMountInfo(text)) {
        EXPECT_EQ(m.mountPoint.rfind('/', 0), 0u) << m.mountPoint;
    }
}

TEST(CdDrivesTest, MountedDiscsAsFoldersAndCdromArgumentsByKind) {
    CdImages dir;
    dir.Write("mountinfo", kSample);
    const auto mounted = posix::MountedCds(dir.Dir() + "/mountinfo");
    ASSERT_EQ(mounted.size(), 3u);
    const auto* first = dynamic_cast<const posix::FolderVolume*>(mounted[0].get());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->Folder(), "/media/user/WXPVOL_EN");

    u32 error = 99;
    dir.Write("folder/WIN51", "");
    auto folder = posix::OpenCdPath(dir.Dir() + "/folder", &error);
    ASSERT_TRUE(folder);
    EXPECT_EQ(error, 0u);
    posix::NodeInfo info;
    EXPECT_EQ(folder->Stat({L"win51"}, &info), 0u);

    const std::string iso = dir.Make("xp.iso", "--names plain");
    auto image = posix::OpenCdPath(iso, &error);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->DriveType(), kDriveCdrom);
    EXPECT_EQ(image->Stat({L"I386", L"intelide.sy_"}, &info), 0u);

    EXPECT_FALSE(posix::OpenCdPath(dir.Dir() + "/absent", &error));
    EXPECT_EQ(error, err::kFileNotFound);
    EXPECT_FALSE(posix::OpenCdPath(dir.Dir() + "/mountinfo", &error));
    EXPECT_EQ(error, err::kUnrecognizedVolume);
}

}  // namespace
}  // namespace morlit::test
