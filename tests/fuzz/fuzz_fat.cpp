// FAT volumes: an input is a 4-byte disk size followed by the disk's first
// bytes; the rest of the disk reads as zeros, so a seed of a FAT16 or FAT32
// volume stays small. The volume is mounted (boot sector, FAT and every
// folder checked), its files looked up, read and written; a volume that
// mounted must mount again after this layer's own writes.
#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include "platform/constants.h"
#include "platform/posix/fs/fat_volume.h"
#include "tests/fuzz/fuzz_util.h"

using morlit::u32;
using morlit::u64;
using morlit::posix::FatVolume;
using morlit::posix::PathParts;

namespace {

// Zeros past the given bytes; writes kept per sector.
class SparseDisk : public morlit::posix::BlockDevice {
  public:
    SparseDisk(std::string base, u64 size) : base_(std::move(base)), size_(size) {}
    u64 Size() const override { return size_; }
    u32 Read(u64 offset, void* buffer, std::size_t length) override {
        if (offset > size_ || size_ - offset < length) return morlit::err::kInvalidParameter;
        auto* out = static_cast<char*>(buffer);
        while (length > 0) {
            const u64 sector = offset / 512;
            const size_t within = static_cast<size_t>(offset % 512);
            const size_t n = std::min<size_t>(length, 512 - within);
            std::memcpy(out, Sector(sector).data() + within, n);
            out += n;
            offset += n;
            length -= n;
        }
        return 0;
    }
    u32 Write(u64 offset, const void* buffer, std::size_t length) override {
        if (offset > size_ || size_ - offset < length) return morlit::err::kInvalidParameter;
        const auto* in = static_cast<const char*>(buffer);
        while (length > 0) {
            const u64 sector = offset / 512;
            const size_t within = static_cast<size_t>(offset % 512);
            const size_t n = std::min<size_t>(length, 512 - within);
            std::string bytes = Sector(sector);
            std::memcpy(&bytes[within], in, n);
            written_[sector] = bytes;
            in += n;
            offset += n;
            length -= n;
        }
        return 0;
    }
    u32 Flush() override { return 0; }

  private:
    std::string Sector(u64 sector) const {
        const auto it = written_.find(sector);
        if (it != written_.end()) return it->second;
        std::string bytes(512, '\0');
        const u64 at = sector * 512;
        if (at < base_.size())
            base_.copy(&bytes[0], std::min<size_t>(512, base_.size() - static_cast<size_t>(at)),
                       static_cast<size_t>(at));
        return bytes;
    }
    std::string base_;
    u64 size_;
    std::map<u64, std::string> written_;
};

}  // namespace

MORLIT_FUZZ_TARGET(fat) {
    if (size < 4) return 0;
    u64 declared = 0;
    for (int i = 0; i < 4; ++i) declared |= static_cast<u64>(data[i]) << (8 * i);
    const u64 limit = 64ull << 20;
    const u64 disk = std::min<u64>(std::max<u64>(declared, size - 4), limit) / 512 * 512;
    SparseDisk device(std::string(reinterpret_cast<const char*>(data) + 4, size - 4), disk);
    FatVolume::MountError error = FatVolume::MountError::kNone;
    std::string reason;
    auto volume = FatVolume::Mount(device, 0, device.Size(), &error, &reason);
    if (!volume) {
        MORLIT_FUZZ_CHECK(error != FatVolume::MountError::kNone && !reason.empty());
        return 0;
    }
    const PathParts paths[] = {
        {L"boot.ini"}, {L"WINDOWS", L"system32", L"config", L"system"},
        {L"ntldr"},    {L"A long file name.bin"},
        {L"missing"},
    };
    for (const PathParts& p : paths) {
        morlit::posix::NodeInfo info;
        volume->Stat(p, &info);
        std::string bytes;
        volume->ReadFile(p, &bytes);
        volume->ReadRange(p, 10, 5000, &bytes);
    }
    volume->WriteFile({L"boot.ini"}, "[boot loader]\r\ntimeout=30\r\n");
    volume->PatchFile({L"ntldr"}, {{4, "patch"}}, 3000);
    volume->WriteFile({L"WINDOWS", L"system32", L"config", L"system_back"}, std::string(3000, 'n'));
    volume->SetAttributes({L"A long file name.bin"}, 0x21);
    volume->DeleteFile({L"A long file name.bin"});
    volume.reset();
    // Whatever this layer wrote, it must accept again.
    volume = FatVolume::Mount(device, 0, device.Size(), &error, &reason);
    if (!volume) std::fprintf(stderr, "remount: %s\n", reason.c_str());
    MORLIT_FUZZ_CHECK(volume != nullptr);
    return 0;
}
