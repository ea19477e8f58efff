// NTFS volumes: an input is a small volume image, held in memory. It is
// mounted, its files looked up, read and written, and unmounted.
#include <algorithm>
#include <cstring>
#include <string>

#include "platform/constants.h"
#include "platform/posix/fs/ntfs_volume.h"
#include "tests/fuzz/fuzz_util.h"

using morlit::u32;
using morlit::u64;
using morlit::posix::NtfsVolume;
using morlit::posix::PathParts;

namespace {

class MemoryDisk : public morlit::posix::BlockDevice {
  public:
    explicit MemoryDisk(std::string bytes) : bytes_(std::move(bytes)) {}
    u64 Size() const override { return bytes_.size(); }
    u32 Read(u64 offset, void* buffer, std::size_t length) override {
        if (offset > bytes_.size() || bytes_.size() - offset < length) {
            return morlit::err::kInvalidParameter;
        }
        std::memcpy(buffer, bytes_.data() + offset, length);
        return 0;
    }
    u32 Write(u64 offset, const void* buffer, std::size_t length) override {
        if (offset > bytes_.size() || bytes_.size() - offset < length) {
            return morlit::err::kInvalidParameter;
        }
        std::memcpy(&bytes_[offset], buffer, length);
        return 0;
    }
    u32 Flush() override { return 0; }

  private:
    std::string bytes_;
};

}  // namespace

MORLIT_FUZZ_TARGET(ntfs) {
    // Whole sectors only, as a disk has.
    MemoryDisk disk(std::string(reinterpret_cast<const char*>(data), size / 512 * 512));
    NtfsVolume::MountError error = NtfsVolume::MountError::kNone;
    std::string reason;
    auto volume = NtfsVolume::Mount(disk, 0, disk.Size(), &error, &reason);
    if (!volume) {
        MORLIT_FUZZ_CHECK(error != NtfsVolume::MountError::kNone && !reason.empty());
        return 0;
    }
    const PathParts paths[] = {
        {L"boot.ini"}, {L"WINDOWS", L"system32", L"config", L"system"}, {L"ntldr"}, {L"$MFT"},
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
    volume->PatchFile({L"ntldr"}, {{4, "patch"}}, 100);
    volume->WriteFile({L"new.txt"}, std::string(3000, 'n'));
    volume->DeleteFile({L"missing"});
    volume.reset();
    return 0;
}
