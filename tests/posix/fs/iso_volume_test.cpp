// ISO images as CD drives: names without case across plain, Joliet and Rock
// Ridge discs, and damaged images.
#include "platform/posix/fs/iso_volume.h"

#include <fstream>
#include <random>

#include "platform/constants.h"
#include "tests/posix/cd_test_images.h"
#include "tests/posix/range_check.h"

namespace morlit::test {
namespace {

using posix::IsoVolume;
using posix::NodeInfo;
using posix::PathParts;

struct Variant {
    const char* names;
    bool keepsCase;  // Joliet or Rock Ridge names present
};

class IsoVariantTest : public ::testing::TestWithParam<Variant> {
  protected:
    static void SetUpTestSuite() {
        images = new CdImages();
        images->Write("extra/Docs/ReadMe.Txt", "read me");
        images->Write("extra/Docs/Release Notes for Setup.htm", "notes");
        for (int i = 0; i < 150; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "extra/MANY/FILE%04d.TXT", i);
            images->Write(name, std::to_string(i));
        }
    }
    static void TearDownTestSuite() {
        delete images;
        images = nullptr;
    }
    std::unique_ptr<IsoVolume> OpenVariant(const std::string& more) {
        const std::string iso = images->Make(std::string(GetParam().names) + more + ".iso",
                                             "--names " + std::string(GetParam().names) +
                                                 " --extra '" + images->Dir() + "/extra' " + more);
        EXPECT_FALSE(iso.empty());
        u32 error = 99;
        auto volume = IsoVolume::Open(iso, &error);
        EXPECT_EQ(error, 0u);
        return volume;
    }
    static CdImages* images;
};
CdImages* IsoVariantTest::images = nullptr;

TEST_P(IsoVariantTest, FindsTheXpCdByAnyCaseAndReadsItsDrivers) {
    auto cd = OpenVariant("--cab 3");
    ASSERT_TRUE(cd);
    EXPECT_EQ(cd->DriveType(), kDriveCdrom);
    EXPECT_EQ(cd->Label(), L"WXPVOL_EN");

    NodeInfo info;
    ASSERT_EQ(cd->Stat({L"WIN51"}, &info), 0u);
    EXPECT_FALSE(info.directory);
    EXPECT_EQ(info.attributes, kFileAttributeReadOnly);
    EXPECT_EQ(cd->Stat({L"win51"}, &info), 0u);
    ASSERT_EQ(cd->Stat({L"i386"}, &info), 0u);
    EXPECT_TRUE(info.directory);
    EXPECT_EQ(cd->Stat({}, &info), 0u);
    EXPECT_TRUE(info.directory);

    std::string data;
    ASSERT_EQ(cd->ReadFile({L"I386", L"hal.dl_"}, &data), 0u);
    EXPECT_EQ(data, "CD I386 HAL.DL_ placeholder\n");
    ASSERT_EQ(cd->ReadFile({L"i386", L"NtOsKrNl.Ex_"}, &data), 0u);
    EXPECT_EQ(data, "CD I386 NTOSKRNL.EX_ placeholder\n");
    ASSERT_EQ(cd->Stat({L"I386", L"sp3.cab"}, &info), 0u);
    ASSERT_EQ(cd->ReadFile({L"I386", L"SP3.CAB"}, &data), 0u);
    EXPECT_EQ(data.substr(0, 4), "MSCF");
    EXPECT_EQ(info.size, data.size());
    ExpectRangesMatch(*cd, {L"i386", L"sp3.CAB"}, data);
    ASSERT_EQ(cd->ReadFile({L"WIN51"}, &data), 0u);
    ExpectRangesMatch(*cd, {L"win51"}, data);

    // Names as the disc wrote them, in any case.
    ASSERT_EQ(cd->ReadFile({L"DOCS", L"readme.txt"}, &data), 0u);
    EXPECT_EQ(data, "read me");
    // A long name only Joliet and Rock Ridge keep.
    const u32 notes = cd->ReadFile({L"docs", L"RELEASE NOTES FOR SETUP.HTM"}, &data);
    if (GetParam().keepsCase) {
        ASSERT_EQ(notes, 0u);
        EXPECT_EQ(data, "notes");
    } else {
        EXPECT_EQ(notes, err::kFileNotFound);
    }
    // A folder that spans several blocks of directory records.
    ASSERT_EQ(cd->ReadFile({L"many", L"file0149.txt"}, &data), 0u);
    EXPECT_EQ(data, "149");
}

TEST_P(IsoVariantTest, MissingNamesAndWritesFailWithWindowsCodes) {
    auto cd = OpenVariant("");
    ASSERT_TRUE(cd);
    NodeInfo info;
    std::string data;
    EXPECT_EQ(cd->Stat({L"I386", L"sp3.cab"}, &info), err::kFileNotFound);
    EXPECT_EQ(cd->Stat({L"I386", L"sp10.cab"}, &info), err::kFileNotFound);
    EXPECT_EQ(cd->Stat({L"WIN5"}, &info), err::kFileNotFound);
    EXPECT_EQ(cd->Stat({L"WIN51;1"}, &info), err::kFileNotFound);
    EXPECT_EQ(cd->Stat({L"nothere", L"hal.dl_"}, &info), err::kPathNotFound);
    EXPECT_EQ(cd->Stat({L"WIN51", L"x"}, &info), err::kPathNotFound);
    EXPECT_EQ(cd->Stat({L"I386", L".."}, &info), err::kInvalidName);
    EXPECT_EQ(cd->Stat({L""}, &info), err::kInvalidName);
    EXPECT_EQ(cd->ReadFile({L"I386"}, &data), err::kAccessDenied);
    EXPECT_EQ(cd->ReadRange({L"I386"}, 0, 1, &data), err::kAccessDenied);
    EXPECT_EQ(cd->ReadRange({L"I386", L"sp3.cab"}, 0, 1, &data), err::kFileNotFound);
    EXPECT_EQ(cd->WriteFile({L"I386", L"hal.dl_"}, "x"), err::kWriteProtect);
    EXPECT_EQ(cd->DeleteFile({L"WIN51"}), err::kWriteProtect);
    EXPECT_EQ(cd->SetAttributes({L"WIN51"}, 0), err::kWriteProtect);
    EXPECT_EQ(cd->SetUncompressed({L"WIN51"}), err::kWriteProtect);
}

INSTANTIATE_TEST_SUITE_P(Names, IsoVariantTest,
                         ::testing::Values(Variant{"plain", false}, Variant{"joliet", true},
                                           Variant{"rockridge", true}, Variant{"both", true}),
                         [](const auto& info) { return std::string(info.param.names); });

class IsoDamageTest : public ::testing::Test {
  protected:
    std::string Copy(const std::string& from, const std::string& name, size_t keep) {
        std::ifstream in(from, std::ios::binary);
        std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::string to = images.Dir() + "/" + name;
        std::ofstream(to, std::ios::binary) << data.substr(0, keep);
        return to;
    }
    CdImages images;
};

TEST_F(IsoDamageTest, UnreadableImagesAreRefusedWithACode) {
    u32 error = 0;
    EXPECT_FALSE(IsoVolume::Open(images.Dir() + "/absent.iso", &error));
    EXPECT_EQ(error, err::kFileNotFound);
    EXPECT_FALSE(IsoVolume::Open(images.Dir(), &error));
    EXPECT_EQ(error, err::kAccessDenied);

    images.Write("empty.iso", "");
    EXPECT_FALSE(IsoVolume::Open(images.Dir() + "/empty.iso", &error));
    EXPECT_EQ(error, err::kUnrecognizedVolume);
    images.Write("text.iso", std::string(40 * 2048, 'x'));
    EXPECT_FALSE(IsoVolume::Open(images.Dir() + "/text.iso", &error));
    EXPECT_EQ(error, err::kUnrecognizedVolume);

    const std::string good = images.Make("good.iso", "--names both");
    ASSERT_FALSE(good.empty());
    // Cut inside the volume descriptors.
    EXPECT_FALSE(IsoVolume::Open(Copy(good, "cut16.iso", 16 * 2048 + 100), &error));
    EXPECT_EQ(error, err::kUnrecognizedVolume);
}

TEST_F(IsoDamageTest, TruncatedImageGivesTheFileOrACorruptionCode) {
    const std::string good = images.Make("good.iso", "--names both --cab 2");
    ASSERT_FALSE(good.empty());
    std::ifstream in(good, std::ios::binary | std::ios::ate);
    const size_t size = static_cast<size_t>(in.tellg());
    u32 error = 99;
    std::string expected;
    ASSERT_EQ(IsoVolume::Open(good, &error)->ReadFile({L"I386", L"SP2.CAB"}, &expected), 0u);

    // Every cut from just after the descriptors to the full image: the
    // lookup and the read either succeed with the real bytes or report
    // corruption. Some cut keeps the directories but not the cabinet.
    bool lostDataOnly = false;
    for (size_t keep = 18 * 2048; keep <= size; keep += 2048) {
        auto cd = IsoVolume::Open(Copy(good, "cut.iso", keep), &error);
        ASSERT_TRUE(cd) << keep;
        NodeInfo info;
        std::string data;
        const u32 found = cd->Stat({L"I386", L"SP2.CAB"}, &info);
        EXPECT_TRUE(found == 0 || found == err::kFileCorrupt) << keep;
        const u32 read = cd->ReadFile({L"I386", L"SP2.CAB"}, &data);
        if (read == 0) {
            EXPECT_EQ(data, expected) << keep;
        } else {
            EXPECT_EQ(read, err::kFileCorrupt) << keep;
            lostDataOnly = lostDataOnly || found == 0;
        }
        // A range read fails the same way, or gives the real bytes.
        const u32 ranged = cd->ReadRange({L"I386", L"SP2.CAB"}, 37, 150, &data);
        if (ranged == 0) {
            EXPECT_TRUE(data == expected.substr(37, 150)) << keep;
        } else {
            EXPECT_EQ(ranged, err::kFileCorrupt) << keep;
        }
    }
    EXPECT_TRUE(lostDataOnly);
}

TEST_F(IsoDamageTest, RandomDamageNeverCrashes) {
    const std::string good = images.Make("good.iso", "--names both --cab 1");
    ASSERT_FALSE(good.empty());
    std::ifstream in(good, std::ios::binary);
    const std::string original((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    std::mt19937 random(7);
    // The descriptors and the directories lie in the first 40 blocks.
    std::uniform_int_distribution<size_t> where(16 * 2048, 40 * 2048 - 1);
    std::uniform_int_distribution<int> byte(0, 255);
    const std::string damaged = images.Dir() + "/damaged.iso";
    int opened = 0;
    for (int round = 0; round < 150; ++round) {
        std::string data = original;
        for (int k = 0; k < 1 + round % 20; ++k)
            data[where(random)] = static_cast<char>(byte(random));
        std::ofstream(damaged, std::ios::binary | std::ios::trunc) << data;
        u32 error = 0;
        auto cd = IsoVolume::Open(damaged, &error);
        if (!cd) {
            EXPECT_EQ(error, err::kUnrecognizedVolume);
            continue;
        }
        ++opened;
        NodeInfo info;
        std::string file;
        cd->Stat({L"WIN51"}, &info);
        cd->Stat({L"I386", L"SP1.CAB"}, &info);
        cd->ReadFile({L"I386", L"HAL.DL_"}, &file);
        cd->ReadFile({L"MANY", L"FILE0001.TXT"}, &file);
    }
    EXPECT_GT(opened, 0);
}

}  // namespace
}  // namespace morlit::test
