// The partition table reader, the loader's partition numbering and the
// letters an attach gives, on disk images other projects publish: a real MBR
// with an extended partition (and layouts derived from it by patching its
// table), and images that hold no table at all. What we read is compared with
// what sfdisk reads from the same bytes.
#include <algorithm>
#include <fstream>
#include <regex>

#include "platform/arc_partition.h"
#include "platform/posix/disk/partition_table.h"
#include "platform/posix/disk/raw_image.h"
#include "platform/posix/disk/vhd.h"
#include "tests/posix/host_fixture.h"
#include "tests/posix/realdata.h"

namespace morlit::posix::test {
namespace {

// One partition as sfdisk lists it: its number is the device name's suffix
// (1 to 4 the MBR's slots, 5 on the logical drives in chain order).
struct Listed {
    int number = 0;
    u64 start = 0;  // sectors
    u64 size = 0;
    u8 type = 0;
};

// sfdisk's dump of a raw disk; *table false when it finds no partition table.
std::vector<Listed> SfdiskListing(const std::string& raw, bool* table) {
    std::string out;
    const int rc = Shell("sfdisk -d " + Quote(raw), &out);
    *table = rc == 0;
    if (!*table) {
        EXPECT_NE(out.find("does not contain a recognized partition table"), std::string::npos)
            << out;
        return {};
    }
    std::vector<Listed> listed;
    const std::regex line(R"((\d+) : start= *(\d+), size= *(\d+), type=([0-9a-fA-F]+))");
    for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it) {
        Listed l;
        l.number = std::stoi((*it)[1]);
        l.start = std::stoull((*it)[2]);
        l.size = std::stoull((*it)[3]);
        l.type = static_cast<u8>(std::stoul((*it)[4], nullptr, 16));
        listed.push_back(l);
    }
    return listed;
}

bool Extended(u8 type) { return type == 0x05 || type == 0x0F || type == 0x85; }

// The boot loader's numbering, from the listing alone: the primary
// partitions in slot order, then the logical drives in chain order, each
// counted from 1, the extended partition itself not counted. Keyed by the
// partition's first sector.
std::map<u64, u32> LoaderNumbers(const std::vector<Listed>& listed) {
    std::map<u64, u32> numbers;
    u32 next = 0;
    for (const bool logical : {false, true}) {
        for (const Listed& l : listed) {
            if ((l.number > 4) != logical || Extended(l.type)) continue;
            numbers[l.start] = ++next;
        }
    }
    return numbers;
}

// Writes a 16-byte table entry (LBA fields only; the CHS fields are kept)
// into slot `index` of the table sector at `lba`, and the sector's signature.
void PutEntry(const std::string& path, u64 lba, int index, u8 type, u32 start, u32 count) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    const u64 at = lba * 512 + 446 + 16 * static_cast<u64>(index);
    f.seekp(static_cast<std::streamoff>(at + 4));
    f.put(static_cast<char>(type));
    f.seekp(static_cast<std::streamoff>(at + 8));
    for (int i = 0; i < 4; ++i) f.put(static_cast<char>(start >> (8 * i)));
    for (int i = 0; i < 4; ++i) f.put(static_cast<char>(count >> (8 * i)));
    f.seekp(static_cast<std::streamoff>(lba * 512 + 510));
    f.put(static_cast<char>(0x55));
    f.put(static_cast<char>(0xAA));
    ASSERT_TRUE(f.good()) << path;
}

struct RealDisk {
    const char* name;
    const char* source;  // under realdata/disks/, without .xz
    const char* image;   // the file attached, in the case's folder
    // Shell commands run in the case's folder after the source is unpacked
    // there under its own name; then byte patches, if any.
    std::string prepare;
    std::function<void(const std::string& image)> patch;
    u32 openError;                     // what opening the image gives; 0 when it opens
    std::vector<std::string> volumes;  // AttachedVolumes()
    std::vector<std::string> lines;    // the diagnostics, each by a part of it
};

// Failures name the case, not its bytes.
void PrintTo(const RealDisk& c, std::ostream* os) { *os << c.name; }

class RealDiskTest : public ::testing::TestWithParam<RealDisk> {};

TEST_P(RealDiskTest, TableNumbersAndLettersAreWhatAnIndependentReadingGives) {
    MORLIT_REQUIRE_REALDATA();
    const RealDisk& c = GetParam();
    const std::string dir = TestDir();
    ASSERT_TRUE(UnpackRealData(std::string("disks/") + c.source, dir, c.source));
    std::string log;
    ASSERT_EQ(Shell("cd " + Quote(dir) + " && " + c.prepare, &log), 0) << log;
    const std::string image = dir + "/" + c.image;
    if (c.patch) c.patch(image);
    const bool vhd = std::string(c.image).size() > 4 &&
                     std::string(c.image).substr(std::string(c.image).size() - 4) == ".vhd";
    const std::string before = Slurp(image);
    const ImageOpener opener = vhd ? ImageOpener(OpenDiskImage) : ImageOpener(OpenRaw);
    if (c.openError) {
        TestHost t("", opener);
        u32 openError = 0;
        EXPECT_EQ(t.Attach(image, &openError), nullptr);
        EXPECT_EQ(openError, c.openError);
        ASSERT_EQ(t.diagnostics.size(), 1u) << t.Diagnostics();
        EXPECT_NE(t.diagnostics[0].find(c.lines.at(0)), std::string::npos) << t.Diagnostics();
        EXPECT_EQ(Slurp(image), before);
        return;
    }

    // The independent reading: sfdisk on the disk's bytes as qemu-img gives
    // them (a VHD through qemu's own reader, not ours).
    const std::string raw = dir + "/listing.raw";
    ASSERT_EQ(Shell("qemu-img convert -f " + std::string(vhd ? "vpc" : "raw") + " -O raw " +
                        Quote(image) + " " + Quote(raw),
                    &log),
              0)
        << log;
    bool table = false;
    std::vector<Listed> listed = SfdiskListing(raw, &table);
    // sfdisk lists unused entries that keep a size, with type 0.
    listed.erase(std::remove_if(listed.begin(), listed.end(), [](auto& l) { return !l.type; }),
                 listed.end());
    const std::map<u64, u32> loader = LoaderNumbers(listed);

    // Our reader, on the same disk through our own image layer.
    u32 error = 0;
    std::string reason;
    std::unique_ptr<BlockDevice> device =
        vhd ? std::unique_ptr<BlockDevice>(VhdImage::Open(image, false, &error, &reason))
            : std::unique_ptr<BlockDevice>(RawImage::Open(image, false, &error, &reason));
    ASSERT_TRUE(device) << reason;
    std::vector<Partition> partitions;
    std::vector<std::string> warnings;
    const u32 read = ReadPartitionTable(*device, &partitions, &reason, &warnings);
    if (!table) {
        EXPECT_EQ(read, err::kDiskCorrupt);
        EXPECT_EQ(reason, "the disk has no partition table");
        EXPECT_TRUE(partitions.empty());
    } else {
        ASSERT_EQ(read, 0u) << reason;
        // Every listed partition but the extended one, in slot order with
        // the logical drives in the extended partition's place.
        std::vector<Listed> expected;
        for (const Listed& l : listed) {
            if (Extended(l.type)) {
                for (const Listed& logical : listed)
                    if (logical.number > 4) expected.push_back(logical);
            } else if (l.number <= 4) {
                expected.push_back(l);
            }
        }
        ASSERT_EQ(partitions.size(), expected.size());
        std::vector<LayoutEntry> layout;
        for (const Partition& p : partitions)
            layout.push_back(LayoutEntry{p.type, p.number > 4, p.offset});
        for (size_t i = 0; i < expected.size(); ++i) {
            SCOPED_TRACE("partition " + std::to_string(expected[i].number));
            EXPECT_EQ(partitions[i].number, expected[i].number);
            EXPECT_EQ(partitions[i].type, expected[i].type);
            EXPECT_EQ(partitions[i].offset, expected[i].start * 512);
            EXPECT_EQ(partitions[i].length, expected[i].size * 512);
            EXPECT_EQ(ArcPartitionNumber(layout, partitions[i].offset),
                      loader.at(expected[i].start));
        }
    }
    device.reset();

    TestHost t("", opener);
    Handle disk = t.Attach(image);
    ASSERT_TRUE(disk);

    // The attach: letters for the FAT and NTFS volumes in partition order,
    // one line for everything else, and the loader's number for each letter.
    EXPECT_EQ(t.posix->vdisk().AttachedVolumes(), c.volumes);
    ASSERT_EQ(t.diagnostics.size(), c.lines.size()) << t.Diagnostics();
    for (size_t i = 0; i < c.lines.size(); ++i)
        EXPECT_NE(t.diagnostics[i].find(c.lines[i]), std::string::npos) << t.Diagnostics();
    for (const std::string& volume : c.volumes) {
        const int number = std::stoi(volume.substr(volume.find("partition ") + 10));
        u64 start = 0;
        for (const Listed& l : listed)
            if (l.number == number) start = l.start;
        u32 arc = 0;
        EXPECT_EQ(
            t.host.partitions->QueryArcPartitionNumber(1, static_cast<wchar_t>(volume[0]), &arc),
            0u);
        EXPECT_EQ(arc, loader.at(start)) << volume;
    }
    // A run looks at the letters in the order their volumes stand on the
    // disk, whatever the table's order (the Windows host's order too).
    std::vector<std::pair<u64, char>> byStart;
    for (const std::string& volume : c.volumes) {
        const int number = std::stoi(volume.substr(volume.find("partition ") + 10));
        for (const Listed& l : listed)
            if (l.number == number) byStart.emplace_back(l.start, volume[0]);
    }
    std::sort(byStart.begin(), byStart.end());
    std::string expected, given;
    for (const auto& v : byStart) expected += v.second;
    u8 letters[26] = {};
    if (t.host.letters->QueryLettersByDisk(1, letters) == 1)
        for (size_t i = 0; i < 26 && letters[i]; ++i) given += static_cast<char>(letters[i]);
    EXPECT_EQ(given, expected);
    t.Detach(disk);
    EXPECT_EQ(Slurp(image), before);
}

const char kTsk[] = "tsk_volume_system.raw";
const char kNoTable[] =
    "the image's partition table is not usable: the disk has no partition table";
const char kLinux[] = "(type 0x83) is neither NTFS nor FAT";

// FAT12 volumes made by mkfs.fat in place, at the sectors and of the sizes
// (in KiB) of the partitions they go into.
std::string Fat(std::initializer_list<std::pair<int, int>> volumes) {
    std::string script = "true";
    for (const auto& [sector, kib] : volumes) {
        script += " && mkfs.fat -F 12 --offset " + std::to_string(sector) + " " + kTsk + " " +
                  std::to_string(kib) + " >/dev/null 2>&1";
    }
    return script;
}

INSTANTIATE_TEST_SUITE_P(
    Disks, RealDiskTest,
    ::testing::Values(
        // One primary partition, then an extended one holding one logical
        // drive, all Linux: no letters, and each says why.
        RealDisk{"TskAsPublished",
                 kTsk,
                 kTsk,
                 "true",
                 nullptr,
                 0,
                 {},
                 {std::string("partition 1 ") + kLinux, std::string("partition 5 ") + kLinux}},
        // The same table with both partitions retyped FAT12 (sfdisk) and
        // formatted: the logical drive takes the second letter and is the
        // loader's second partition.
        RealDisk{"TskRetypedFat",
                 kTsk,
                 kTsk,
                 "sfdisk -q --part-type tsk_volume_system.raw 1 1 >/dev/null && sfdisk -q "
                 "--part-type tsk_volume_system.raw 5 1 >/dev/null && " +
                     Fat({{1, 175}, {352, 1264}}),
                 nullptr,
                 0,
                 {"D: (FAT12, partition 1, 0 MiB)", "E: (FAT12, partition 5, 1 MiB)"},
                 {}},
        // The extended partition moved to the first slot, the primary one to
        // the second, and the logical drive split in two whose chain runs
        // against the disk's order: the record at 351 holds the drive at
        // 1001 and links to a record at 851, which holds the drive at 852.
        // The letters follow the table, the logical drives in their extended
        // partition's slot; the loader counts the primary partition first.
        RealDisk{"TskChainAgainstDiskOrder",
                 kTsk,
                 kTsk,
                 Fat({{1, 175}, {852, 74}, {1001, 939}}),
                 [](const std::string& image) {
                     PutEntry(image, 0, 0, 0x05, 351, 2529);
                     PutEntry(image, 0, 1, 0x01, 1, 350);
                     PutEntry(image, 351, 0, 0x01, 650, 1879);
                     PutEntry(image, 351, 1, 0x05, 500, 149);
                     PutEntry(image, 851, 0, 0x01, 1, 148);
                 },
                 0,
                 {"D: (FAT12, partition 5, 0 MiB)", "E: (FAT12, partition 6, 0 MiB)",
                  "F: (FAT12, partition 2, 0 MiB)"},
                 {}},
        // Type 0 left on a free slot, the chain's first drive (the next keeps
        // the number 6 Linux gives it) and its last link, all with sectors.
        RealDisk{"TskUnusedEntriesKeepTheirSectors",
                 kTsk,
                 kTsk,
                 Fat({{1, 175}, {852, 74}}),
                 [](const std::string& image) {
                     PutEntry(image, 0, 0, 0x01, 1, 350);
                     PutEntry(image, 0, 2, 0x00, 100, 50);
                     PutEntry(image, 351, 0, 0x00, 650, 1879);
                     PutEntry(image, 351, 1, 0x05, 500, 149);
                     PutEntry(image, 851, 0, 0x01, 1, 148);
                     PutEntry(image, 851, 1, 0x00, 600, 100);
                 },
                 0,
                 {"D: (FAT12, partition 1, 0 MiB)", "E: (FAT12, partition 6, 0 MiB)"},
                 {"partition 3 has type 0", "logical drive 5 has type 0",
                  "a link of its chain has type 0"}},
        // Volumes without a partition table: an ext2 file system at the
        // disk's first byte, in a dynamic VHD and raw.
        RealDisk{
            "PlasoImage", "plaso-image.vhd", "plaso-image.vhd", "true", nullptr, 0, {}, {kNoTable}},
        RealDisk{"Ext2", "ext2.vhd", "ext2.vhd", "true", nullptr, 0, {}, {kNoTable}},
        RealDisk{"SyslogImage",
                 "syslog_image.dd",
                 "syslog_image.dd",
                 "true",
                 nullptr,
                 0,
                 {},
                 {kNoTable}},
        // Published with a wrong footer checksum: not opened.
        RealDisk{"ImageWithBadChecksum",
                 "image.vhd",
                 "image.vhd",
                 "true",
                 nullptr,
                 err::kFileCorrupt,
                 {},
                 {"The VHD footer's checksum does not match"}},
        // A differencing child written by Windows whose parent is not there.
        RealDisk{"DifferencingWithoutParent",
                 "fat-differential.vhd",
                 "fat-differential.vhd",
                 "true",
                 nullptr,
                 err::kPathNotFound,
                 {},
                 {"fat-parent.vhd"}}),
    [](const ::testing::TestParamInfo<RealDisk>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace morlit::posix::test
