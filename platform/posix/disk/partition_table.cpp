#include "platform/posix/disk/partition_table.h"
#include "platform/posix/disk/byte_order.h"

#include <algorithm>
#include <set>

namespace morlit::posix {

namespace {

constexpr u64 kSector = 512;

// One 16-byte entry of a table sector: the boot flag (0x00 or 0x80), the
// type at +4, the first sector at +8 and the sector count at +12.
struct Entry {
    u8 boot = 0;
    u8 type = 0;
    u32 start = 0;
    u32 count = 0;
    // Type 0 marks an unused entry whatever else it holds: Windows and its
    // loader ignore the rest, and tools that delete a partition often clear
    // only the type.
    bool Unused() const { return type == 0; }
    // An unused entry that still has a size: worth a word, as Linux tools
    // list it as a partition of type 0.
    bool Leftover() const { return type == 0 && count != 0; }
};

Entry EntryAt(const unsigned char* sector, int index) {
    const unsigned char* e = sector + 446 + 16 * index;
    return Entry{e[0], e[4], LoadLe32(e + 8), LoadLe32(e + 12)};
}

// Why a used entry cannot describe a partition, or "" when it can.
std::string EntryProblem(const Entry& e) {
    if (e.boot != 0x00 && e.boot != 0x80) return "has an invalid boot flag";
    if (e.count == 0 || e.start == 0) return "is malformed";
    return "";
}

bool ReadSector(BlockDevice& disk, u64 lba, unsigned char (&sector)[kSector], u32* error) {
    *error = disk.Read(lba * kSector, sector, kSector);
    return *error == 0;
}

bool HasSignature(const unsigned char* sector) {
    return sector[510] == 0x55 && sector[511] == 0xAA;
}

// Finds two of `parts` that share a byte: their numbers, the one that
// starts first in *first. In start order, any overlap shows between
// neighbours.
bool FindOverlap(std::vector<Partition> parts, int* first, int* second) {
    std::sort(parts.begin(), parts.end(),
              [](const Partition& a, const Partition& b) { return a.offset < b.offset; });
    for (size_t i = 1; i < parts.size(); ++i) {
        if (parts[i - 1].offset + parts[i - 1].length > parts[i].offset) {
            *first = parts[i - 1].number;
            *second = parts[i].number;
            return true;
        }
    }
    return false;
}

const char kLeftover[] = " has type 0 but still has a size; it is taken as unused";

// Follows the chain of extended boot records. Each record's first entry is
// a logical drive, counted from the record's own sector; its second entry
// links to the next record, counted from the start of the extended
// partition. Returns "" with the drives, or why the chain is not trusted
// (with the code in *readError when a read failed); unused entries that
// still have a size are noted in *notes.
std::string ReadLogicalDrives(BlockDevice& disk, const Partition& extended,
                              std::vector<Partition>* drives, std::vector<std::string>* notes,
                              u32* readError) {
    const u64 first = extended.offset / kSector;
    const u64 end = first + extended.length / kSector;
    std::set<u64> records;
    u64 link = 0;
    // Linux numbers a logical entry that has a size even when its type says
    // unused; numbering as it does keeps our messages in step with fdisk.
    int number = 5;
    for (;;) {
        const u64 record = first + link;
        if (record >= end) return "a link of its chain points outside it";
        if (!records.insert(record).second) return "its chain of logical drives loops";
        if (records.size() > static_cast<size_t>(kMaxLogicalDrives))
            return "its chain holds more than " + std::to_string(kMaxLogicalDrives) +
                   " logical drives";
        unsigned char sector[kSector];
        if (!ReadSector(disk, record, sector, readError))
            return "the boot record of a logical drive cannot be read";
        if (!HasSignature(sector)) return "a boot record of its chain has no signature";

        const Entry drive = EntryAt(sector, 0);
        if (drive.Leftover()) {
            notes->push_back("its logical drive " + std::to_string(number) + kLeftover);
            ++number;
        } else if (!drive.Unused()) {
            const std::string problem = EntryProblem(drive);
            if (!problem.empty())
                return "its logical drive " + std::to_string(number) + " " + problem;
            if (IsExtendedPartitionType(drive.type))
                return "its logical drive " + std::to_string(number) +
                       " is itself an extended partition";
            if (record + drive.start + drive.count > end)
                return "its logical drive " + std::to_string(number) + " reaches past its end";
            Partition p;
            p.number = number;
            p.type = drive.type;
            p.active = drive.boot == 0x80;
            p.offset = (record + drive.start) * kSector;
            p.length = static_cast<u64>(drive.count) * kSector;
            drives->push_back(p);
            ++number;
        }

        // An unused link ends the chain, as it does for Windows.
        const Entry next = EntryAt(sector, 1);
        if (next.Leftover()) notes->push_back("a link of its chain" + std::string(kLeftover));
        if (next.Unused()) break;
        if (!IsExtendedPartitionType(next.type) || next.start == 0)
            return "a link of its chain is malformed";
        link = next.start;
    }
    // No drive may share a sector with another or with a boot record of the
    // chain (number 0 here): writing to it would damage them.
    std::vector<Partition> used = *drives;
    for (const u64 record : records)
        used.push_back(Partition{0, 0, false, record * kSector, kSector});
    int a = 0, b = 0;
    if (!FindOverlap(used, &a, &b)) return "";
    if (a == 0 || b == 0)
        return "its logical drive " + std::to_string(a + b) + " covers a boot record of the chain";
    return "its logical drives " + std::to_string(a) + " and " + std::to_string(b) + " overlap";
}

}  // namespace

u32 ReadPartitionTable(BlockDevice& disk, std::vector<Partition>* partitions, std::string* reason,
                       std::vector<std::string>* warnings) {
    partitions->clear();
    unsigned char sector[kSector];
    u32 error = 0;
    if (!ReadSector(disk, 0, sector, &error)) {
        *reason = "the disk's first sector cannot be read";
        return error;
    }
    if (!HasSignature(sector)) {
        *reason = "the disk has no partition table";
        return err::kDiskCorrupt;
    }
    const u64 sectors = disk.Size() / kSector;
    std::vector<Partition> found;
    for (int i = 0; i < 4; ++i) {
        const Entry e = EntryAt(sector, i);
        if (e.Leftover() && warnings)
            warnings->push_back("partition " + std::to_string(i + 1) + kLeftover);
        if (e.Unused()) continue;
        Partition p;
        p.number = i + 1;
        p.type = e.type;
        const std::string problem = EntryProblem(e);
        if (!problem.empty()) {
            *reason = "partition " + std::to_string(p.number) + " " + problem;
            return err::kDiskCorrupt;
        }
        if (static_cast<u64>(e.start) + e.count > sectors) {
            *reason = "partition " + std::to_string(p.number) + " reaches past the end of the disk";
            return err::kDiskCorrupt;
        }
        p.active = e.boot == 0x80;
        p.offset = static_cast<u64>(e.start) * kSector;
        p.length = static_cast<u64>(e.count) * kSector;
        found.push_back(p);
    }
    int first = 0, second = 0;
    if (FindOverlap(found, &first, &second)) {
        *reason =
            "partitions " + std::to_string(first) + " and " + std::to_string(second) + " overlap";
        return err::kDiskCorrupt;
    }

    // The logical drives take the place of the extended partition that
    // holds them, which is where they lie on the disk.
    bool followed = false;
    for (const Partition& p : found) {
        if (!IsExtendedPartitionType(p.type)) {
            partitions->push_back(p);
            continue;
        }
        const std::string name = "extended partition " + std::to_string(p.number);
        if (followed) {
            if (warnings) warnings->push_back(name + " is a second one; its drives get no letter");
            continue;
        }
        followed = true;
        std::vector<Partition> drives;
        std::vector<std::string> notes;
        u32 readError = 0;
        const std::string problem = ReadLogicalDrives(disk, p, &drives, &notes, &readError);
        // A sector the disk cannot give says nothing about the chain: the
        // read is why the disk cannot be attached.
        if (readError) {
            *reason = name + ": " + problem;
            return readError;
        }
        if (warnings)
            for (const std::string& note : notes) warnings->push_back(name + ": " + note);
        if (!problem.empty()) {
            if (warnings) warnings->push_back(name + ": " + problem + "; its drives get no letter");
            continue;
        }
        partitions->insert(partitions->end(), drives.begin(), drives.end());
    }
    return 0;
}

}  // namespace morlit::posix
