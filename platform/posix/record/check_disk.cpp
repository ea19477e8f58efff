#include "platform/posix/record/check_disk.h"

#include <cstdio>

#include "platform/posix/disk/byte_order.h"
#include "platform/posix/disk/image_file.h"
#include "platform/posix/disk/partition_table.h"
#include "platform/posix/disk/vhd.h"
#include "platform/posix/fs/fat_volume.h"
#include "platform/posix/fs/ntfs_volume.h"

namespace morlit::posix {

namespace {

// 65535 cylinders, 16 heads, 255 sectors: the geometry qemu writes when the
// disk's size is in the footer's current size alone; it names no geometry a
// boot sector could match.
bool NoGeometry(const VhdImage::Geometry& geometry) {
    return geometry.cylinders == 0xFFFF && geometry.heads == 16 && geometry.sectorsPerTrack == 255;
}

}  // namespace

DiskFacts DiskFactsOf(OverlayDevice& overlay,
                      std::vector<PosixVirtualDisk::AttachedPartition> partitions) {
    DiskFacts facts;
    facts.format = "raw";
    if (auto* vhd = dynamic_cast<VhdImage*>(&overlay.Base())) {
        facts.format = vhd->GetType() == VhdImage::Type::kFixed     ? "VHD fixed"
                       : vhd->GetType() == VhdImage::Type::kDynamic ? "VHD dynamic"
                                                                    : "VHD differencing";
        // The file the locators led to, as opened.
        if (vhd->Parent()) {
            if (std::shared_ptr<ImageFile> file = vhd->Parent()->File())
                facts.parent = file->path();
        }
    }
    facts.size = overlay.Size();
    facts.partitions = std::move(partitions);
    return facts;
}

const PosixVirtualDisk::AttachedPartition* TargetPartition(
    const std::vector<PosixVirtualDisk::AttachedPartition>& partitions, const std::string& letter) {
    for (const auto& p : partitions) {
        if (p.letter && letter == std::string(1, static_cast<char>(p.letter)) + ":") return &p;
    }
    return nullptr;
}

std::optional<std::string> ReadBootIni(BlockDevice& disk,
                                       const PosixVirtualDisk::AttachedPartition& target) {
    std::string reason;
    std::unique_ptr<Volume> mounted;
    if (target.type == kPartitionTypeNtfs) {
        NtfsVolume::MountError error;
        mounted = NtfsVolume::Mount(disk, target.offset, target.length, &error, &reason);
    } else {
        FatVolume::MountError error;
        mounted = FatVolume::Mount(disk, target.offset, target.length, &error, &reason);
    }
    std::string text;
    if (!mounted || mounted->ReadFile({L"boot.ini"}, &text) != 0) return std::nullopt;
    return text;
}

std::vector<std::string> StartWarnings(OverlayDevice& overlay,
                                       const PosixVirtualDisk::AttachedPartition& target,
                                       const std::string& mountedC) {
    std::vector<std::string> warnings;
    const std::string name = "partition " + std::to_string(target.number);
    u8 boot[512];
    if (overlay.Read(target.offset, boot, sizeof boot) == 0) {
        const u64 start = target.offset / 512;
        const u32 hidden = LoadLe32(boot + 0x1C);
        if (hidden != start)
            warnings.push_back("the boot sector of " + name + " counts " + std::to_string(hidden) +
                               " hidden sectors, but the partition starts at sector " +
                               std::to_string(start) + "; Windows may not start from it");
        const u32 perTrack = LoadLe16(boot + 0x18), heads = LoadLe16(boot + 0x1A);
        const auto* vhd = dynamic_cast<const VhdImage*>(&overlay.Base());
        const VhdImage::Geometry geometry = vhd ? vhd->DiskGeometry() : VhdImage::Geometry{};
        if (vhd && !NoGeometry(geometry) &&
            (geometry.heads != heads || geometry.sectorsPerTrack != perTrack)) {
            warnings.push_back(
                "the boot sector of " + name + " gives " + std::to_string(heads) + " heads and " +
                std::to_string(perTrack) +
                " sectors per track, but the VHD's geometry (the machine's disk) has " +
                std::to_string(geometry.heads) + " and " +
                std::to_string(geometry.sectorsPerTrack) + "; Windows may not start from it");
        }
    }
    if (mountedC.size() == 12) {
        const u8* value = reinterpret_cast<const u8*>(mountedC.data());
        u8 mbr[512];
        const u32 signature = LoadLe32(value);
        const u64 offset = LoadLe64(value + 4);
        if (overlay.Read(0, mbr, sizeof mbr) == 0 &&
            (signature != LoadLe32(mbr + 0x1B8) || offset != target.offset)) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "the registry's MountedDevices gives C: to disk signature %08X at offset "
                          "%llu, but the target is on disk %08X at offset %llu",
                          signature, static_cast<unsigned long long>(offset), LoadLe32(mbr + 0x1B8),
                          static_cast<unsigned long long>(target.offset));
            warnings.push_back(std::string(text) +
                               "; Windows may give it another letter and not start");
        }
    }
    return warnings;
}

}  // namespace morlit::posix
