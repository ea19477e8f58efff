// The MBR partition table: an input is [u32 LE disk size in sectors][the
// disk's first bytes]; the rest of the disk reads as zeros.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/constants.h"
#include "platform/posix/disk/partition_table.h"
#include "tests/fuzz/fuzz_util.h"

using morlit::u32;
using morlit::u64;

namespace {

class MemoryDisk : public morlit::posix::BlockDevice {
  public:
    MemoryDisk(std::string bytes, u64 size) : bytes_(std::move(bytes)), size_(size) {}
    u64 Size() const override { return size_; }
    u32 Read(u64 offset, void* buffer, std::size_t length) override {
        if (offset > size_ || size_ - offset < length) return morlit::err::kInvalidParameter;
        std::memset(buffer, 0, length);
        if (offset < bytes_.size()) {
            std::memcpy(buffer, bytes_.data() + offset,
                        std::min<u64>(length, bytes_.size() - offset));
        }
        return 0;
    }
    u32 Write(u64, const void*, std::size_t) override { return morlit::err::kAccessDenied; }
    u32 Flush() override { return 0; }

  private:
    std::string bytes_;
    u64 size_;
};

}  // namespace

MORLIT_FUZZ_TARGET(partition_table) {
    if (size < 4) return 0;
    const u64 sectors = morlit::fuzz::Le32(data);
    MemoryDisk disk(std::string(reinterpret_cast<const char*>(data) + 4, size - 4), sectors * 512);
    std::vector<morlit::posix::Partition> parts;
    std::string reason;
    std::vector<std::string> warnings;
    const u32 e = morlit::posix::ReadPartitionTable(disk, &parts, &reason, &warnings);
    if (e != 0) {
        MORLIT_FUZZ_CHECK(!reason.empty() && parts.empty());
        return 0;
    }
    for (const std::string& warning : warnings) MORLIT_FUZZ_CHECK(!warning.empty());
    // What is accepted lies on the disk, without overlaps, and holds a
    // volume, never an unused entry or a chain of further partitions.
    for (size_t i = 0; i < parts.size(); ++i) {
        const auto& p = parts[i];
        MORLIT_FUZZ_CHECK(p.type != 0 && !morlit::posix::IsExtendedPartitionType(p.type));
        MORLIT_FUZZ_CHECK(p.length > 0 && p.offset <= disk.Size() &&
                          disk.Size() - p.offset >= p.length);
        for (size_t j = 0; j < i; ++j) {
            const auto& q = parts[j];
            MORLIT_FUZZ_CHECK(p.offset >= q.offset + q.length || q.offset >= p.offset + p.length);
        }
    }
    return 0;
}
