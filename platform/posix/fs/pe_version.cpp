#include "platform/posix/fs/pe_version.h"
#include "platform/posix/disk/byte_order.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace morlit::posix {
namespace {

constexpr u16 kMzSignature = 0x5A4D;      // "MZ"
constexpr u32 kPeSignature = 0x00004550;  // "PE\0\0"
constexpr u16 kPe32Magic = 0x10B;
constexpr u16 kPe32PlusMagic = 0x20B;
constexpr u32 kResourceDirectoryIndex = 2;  // IMAGE_DIRECTORY_ENTRY_RESOURCE
constexpr u32 kMaxSections = 96;            // the loader refuses more
constexpr u32 kRtVersion = 16;              // RT_VERSION
constexpr u32 kVsVersionInfo = 1;           // VS_VERSION_INFO
constexpr u32 kSubdirectoryBit = 0x80000000u;
constexpr u32 kFixedFileInfoSignature = 0xFEEF04BD;
constexpr std::size_t kFixedFileInfoSize = 52;  // sizeof(VS_FIXEDFILEINFO)
// "VS_VERSION_INFO" and its terminator, UTF-16LE, after the block's three
// 16-bit fields; the value starts at the next 32-bit boundary.
constexpr std::size_t kKeyOffset = 6;
constexpr std::size_t kKeyUnits = 16;
constexpr std::size_t kValueOffset = 40;

// Bounds-checked little-endian reads: nothing is read before Has() said the
// bytes are there.
class Bytes {
  public:
    Bytes(const u8* data, std::size_t size) : data_(data), size_(size) {}
    bool Has(u64 offset, u64 length) const { return offset <= size_ && length <= size_ - offset; }
    u16 U16(std::size_t at) const { return LoadLe16(data_ + at); }
    u32 U32(std::size_t at) const { return LoadLe32(data_ + at); }
    const u8* At(std::size_t at) const { return data_ + at; }
    std::size_t Size() const { return size_; }

  private:
    const u8* data_;
    std::size_t size_;
};

struct Section {
    u32 address = 0;  // VirtualAddress
    u32 length = 0;   // the bytes the file holds for it: raw size, cut at its virtual size
    u32 offset = 0;   // PointerToRawData
};

// The file offset of the bytes at `rva` and how many of the section's bytes
// follow it in the file. False when no section holds the address in its file
// data.
bool MapRva(const Bytes& file, const std::vector<Section>& sections, u32 rva, u64* offset,
            u64* available) {
    for (const Section& s : sections) {
        if (rva < s.address || rva - s.address >= s.length) continue;
        const u64 at = u64{s.offset} + (rva - s.address);
        if (!file.Has(at, 0)) return false;
        *offset = at;
        *available = std::min<u64>(s.length - (rva - s.address), file.Size() - at);
        return true;
    }
    return false;
}

// An entry of the resource directory at `directory` (an offset into the
// resource area): the one with integer id `id`, or the first entry of all
// when `id` is 0. 0 with *target set to its OffsetToData, `missing` when the
// directory has no such entry, or ERROR_RESOURCE_DATA_NOT_FOUND when the
// directory or its entries do not lie in the area.
u32 FindEntry(const Bytes& area, u64 directory, u32 id, u32 missing, u32* target) {
    if (!area.Has(directory, 16)) return err::kResourceDataNotFound;
    const u32 named = area.U16(static_cast<std::size_t>(directory + 12));
    const u32 ids = area.U16(static_cast<std::size_t>(directory + 14));
    const u64 entries = directory + 16;
    if (!area.Has(entries, u64{named + ids} * 8)) return err::kResourceDataNotFound;
    if (named + ids == 0) return missing;
    if (id == 0) {
        *target = area.U32(static_cast<std::size_t>(entries + 4));
        return 0;
    }
    // Integer ids follow the named entries.
    for (u32 i = named; i < named + ids; ++i) {
        const std::size_t entry = static_cast<std::size_t>(entries + u64{i} * 8);
        if (area.U32(entry) == id) {
            *target = area.U32(entry + 4);
            return 0;
        }
    }
    return missing;
}

// One level down the tree: a subdirectory's offset in the area.
u32 Descend(const Bytes& area, u64 directory, u32 id, u32 missing, u64* next) {
    u32 target = 0;
    if (const u32 e = FindEntry(area, directory, id, missing, &target)) return e;
    if ((target & kSubdirectoryBit) == 0) return err::kResourceDataNotFound;
    *next = target & ~kSubdirectoryBit;
    return 0;
}

}  // namespace

u32 ReadPeFileVersion(const u8* data, std::size_t size, PeFileVersion* out) {
    const Bytes file(data, size);

    // DOS header, then the PE signature, the file header and the optional
    // header with its data directories.
    if (!file.Has(0, 64) || file.U16(0) != kMzSignature) return err::kBadExeFormat;
    const u64 pe = file.U32(0x3C);
    if (!file.Has(pe, 24) || file.U32(static_cast<std::size_t>(pe)) != kPeSignature)
        return err::kBadExeFormat;
    const std::size_t coff = static_cast<std::size_t>(pe + 4);
    const u32 sectionCount = file.U16(coff + 2);
    const u32 optionalSize = file.U16(coff + 16);
    const std::size_t optional = coff + 20;
    if (sectionCount == 0 || sectionCount > kMaxSections || !file.Has(optional, optionalSize) ||
        optionalSize < 2)
        return err::kBadExeFormat;
    std::size_t directoryCountAt = 0;
    std::size_t directories = 0;
    switch (file.U16(optional)) {
        case kPe32Magic:
            directoryCountAt = 92, directories = 96;
            break;
        case kPe32PlusMagic:
            directoryCountAt = 108, directories = 112;
            break;
        default:
            return err::kBadExeFormat;
    }
    const std::size_t resourceEntry = directories + kResourceDirectoryIndex * 8;
    if (optionalSize < resourceEntry + 8) return err::kBadExeFormat;
    if (file.U32(optional + directoryCountAt) <= kResourceDirectoryIndex)
        return err::kResourceTypeNotFound;
    const u32 resourceRva = file.U32(optional + resourceEntry);
    const u32 resourceSize = file.U32(optional + resourceEntry + 4);
    if (resourceRva == 0 || resourceSize == 0) return err::kResourceTypeNotFound;

    const u64 table = u64{optional} + optionalSize;
    if (!file.Has(table, u64{sectionCount} * 40)) return err::kBadExeFormat;
    std::vector<Section> sections;
    for (u32 i = 0; i < sectionCount; ++i) {
        const std::size_t at = static_cast<std::size_t>(table + u64{i} * 40);
        Section s;
        const u32 virtualSize = file.U32(at + 8);
        s.address = file.U32(at + 12);
        const u32 rawSize = file.U32(at + 16);
        s.offset = file.U32(at + 20);
        s.length = virtualSize != 0 ? std::min(virtualSize, rawSize) : rawSize;
        sections.push_back(s);
    }

    // The resource tree: directories at offsets into the resource area, which
    // runs from its address to the end of its section's file data.
    u64 areaOffset = 0;
    u64 areaLength = 0;
    if (!MapRva(file, sections, resourceRva, &areaOffset, &areaLength))
        return err::kResourceDataNotFound;
    const Bytes area(file.At(static_cast<std::size_t>(areaOffset)),
                     static_cast<std::size_t>(areaLength));
    u64 names = 0;
    u64 languages = 0;
    u32 dataEntry = 0;
    if (const u32 e = Descend(area, 0, kRtVersion, err::kResourceTypeNotFound, &names)) return e;
    if (const u32 e = Descend(area, names, kVsVersionInfo, err::kResourceNameNotFound, &languages))
        return e;
    if (const u32 e = FindEntry(area, languages, 0, err::kResourceLangNotFound, &dataEntry))
        return e;
    if ((dataEntry & kSubdirectoryBit) != 0 || !area.Has(dataEntry, 16))
        return err::kResourceDataNotFound;

    // IMAGE_RESOURCE_DATA_ENTRY: the block's address and size.
    const u32 blockRva = area.U32(dataEntry);
    const u32 blockSize = area.U32(dataEntry + 4);
    u64 blockOffset = 0;
    u64 blockAvailable = 0;
    if (!MapRva(file, sections, blockRva, &blockOffset, &blockAvailable) ||
        blockAvailable < blockSize)
        return err::kResourceDataNotFound;

    // VS_VERSIONINFO: wLength, wValueLength, wType, the key, the fixed info.
    const Bytes block(file.At(static_cast<std::size_t>(blockOffset)), blockSize);
    if (!block.Has(0, kValueOffset + kFixedFileInfoSize)) return err::kResourceDataNotFound;
    const u32 length = block.U16(0);
    const u32 valueLength = block.U16(2);
    if (length > blockSize || length < kValueOffset + kFixedFileInfoSize ||
        valueLength < kFixedFileInfoSize)
        return err::kResourceDataNotFound;
    static const char kKey[] = "VS_VERSION_INFO";
    for (std::size_t i = 0; i < kKeyUnits; ++i) {
        if (block.U16(kKeyOffset + 2 * i) != static_cast<u16>(static_cast<u8>(kKey[i])))
            return err::kResourceDataNotFound;
    }
    if (block.U32(kValueOffset) != kFixedFileInfoSignature) return err::kResourceDataNotFound;
    out->ms = block.U32(kValueOffset + 8);
    out->ls = block.U32(kValueOffset + 12);
    return 0;
}

}  // namespace morlit::posix
