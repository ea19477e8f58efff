// The loader's partition numbers: primary partitions in table order, then
// logical drives in chain order, unused entries and containers not counted.
#include <gtest/gtest.h>

#include "platform/arc_partition.h"

namespace morlit {
namespace {

constexpr u64 kMiB = 1 << 20;

TEST(ArcPartitionNumber, CountsPrimariesFirstThenLogicalDrivesSkippingUnusedAndContainers) {
    // The extended partition is the table's second entry, an unused entry
    // lies between, and the logical drives' chain links (type 05) and empty
    // slots are in the list as the Windows layout gives them.
    const std::vector<LayoutEntry> layout = {
        {0xDE, false, 1 * kMiB},    // vendor utility: 1
        {0x0F, false, 100 * kMiB},  // extended (LBA): not counted
        {0x00, false, 0},           // unused
        {0x07, false, 50 * kMiB},   // 2: a primary after the extended one in the table
        {0x07, true, 101 * kMiB},   // first logical drive: 3
        {0x05, true, 200 * kMiB},   // the link to the next record
        {0x00, true, 0},           {0x00, true, 0},
        {0x0B, true, 201 * kMiB},  // second logical drive: 4
        {0x00, true, 0},
    };
    EXPECT_EQ(ArcPartitionNumber(layout, 1 * kMiB), 1u);
    EXPECT_EQ(ArcPartitionNumber(layout, 50 * kMiB), 2u);
    EXPECT_EQ(ArcPartitionNumber(layout, 101 * kMiB), 3u);
    EXPECT_EQ(ArcPartitionNumber(layout, 201 * kMiB), 4u);
    // Where only a container, an unused entry or nothing starts: no number.
    EXPECT_EQ(ArcPartitionNumber(layout, 100 * kMiB), 0u);
    EXPECT_EQ(ArcPartitionNumber(layout, 200 * kMiB), 0u);
    EXPECT_EQ(ArcPartitionNumber(layout, 0), 0u);
    EXPECT_EQ(ArcPartitionNumber(layout, 7 * kMiB), 0u);
    EXPECT_EQ(ArcPartitionNumber({}, 1 * kMiB), 0u);
}

}  // namespace
}  // namespace morlit
