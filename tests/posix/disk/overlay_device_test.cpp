// The overlay a check runs over: reads see every write, across block edges
// and in the short last block, and the disk beneath is never written.
#include "platform/posix/disk/overlay_device.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace morlit::posix {
namespace {

// A disk in memory that counts its writes.
class MemoryDisk : public BlockDevice {
  public:
    explicit MemoryDisk(std::string bytes) : bytes_(std::move(bytes)) {}
    u64 Size() const override { return bytes_.size(); }
    u32 Read(u64 offset, void* buffer, std::size_t length) override {
        if (offset > bytes_.size() || length > bytes_.size() - offset) return 87;
        std::memcpy(buffer, bytes_.data() + offset, length);
        return 0;
    }
    u32 Write(u64, const void*, std::size_t) override {
        ++writes;
        return 5;
    }
    u32 Flush() override { return 0; }
    int writes = 0;

  private:
    std::string bytes_;
};

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    return bytes;
}

TEST(OverlayDevice, ReadsSeeWritesAndTheDiskBeneathStaysAsItWas) {
    // Three blocks and a short fourth.
    const std::string original = Pattern(3 * 4096 + 1000);
    auto owned = std::make_unique<MemoryDisk>(original);
    MemoryDisk& beneath = *owned;
    OverlayDevice overlay(std::move(owned));
    std::string expected = original;
    EXPECT_TRUE(overlay.Differences().empty());

    // Across the first block's end, and into the short last block up to the
    // disk's end.
    const std::string a(100, 'A'), b(900, 'B');
    ASSERT_EQ(overlay.Write(4096 - 50, a.data(), a.size()), 0u);
    expected.replace(4096 - 50, a.size(), a);
    ASSERT_EQ(overlay.Write(original.size() - b.size(), b.data(), b.size()), 0u);
    expected.replace(original.size() - b.size(), b.size(), b);
    // Beyond the end moves nothing.
    EXPECT_EQ(overlay.Write(original.size() - 10, a.data(), 11), 87u);
    std::string c(1, 'C');
    EXPECT_EQ(overlay.Read(original.size(), &c[0], 1), 87u);

    std::string all(original.size(), '\0');
    ASSERT_EQ(overlay.Read(0, &all[0], all.size()), 0u);
    EXPECT_TRUE(all == expected);
    // A read that starts inside a written block and ends in one not written.
    std::string part(5000, '\0');
    ASSERT_EQ(overlay.Read(4000, &part[0], part.size()), 0u);
    EXPECT_TRUE(part == expected.substr(4000, 5000));

    EXPECT_EQ(beneath.writes, 0);
    std::string still(original.size(), '\0');
    beneath.Read(0, &still[0], still.size());
    EXPECT_TRUE(still == original);
    EXPECT_EQ(overlay.File(), nullptr);

    // Named to the block: the first two, and the short last one.
    const auto differences = overlay.Differences();
    ASSERT_EQ(differences.size(), 2u);
    EXPECT_EQ(differences[0], std::make_pair(u64{0}, u64{8192}));
    EXPECT_EQ(differences[1], std::make_pair(u64{3 * 4096}, u64{1000}));

    // Writing the old bytes back leaves no difference at all.
    ASSERT_EQ(overlay.Write(0, original.data(), original.size()), 0u);
    EXPECT_TRUE(overlay.Differences().empty());
}

}  // namespace
}  // namespace morlit::posix
