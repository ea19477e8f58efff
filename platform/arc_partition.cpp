#include "platform/arc_partition.h"

namespace morlit {

u32 ArcPartitionNumber(const std::vector<LayoutEntry>& layout, u64 offset) {
    u32 number = 0;
    // Two passes: every primary partition is counted before the first
    // logical drive, wherever the extended partition lies in the table.
    for (const bool logical : {false, true}) {
        for (const LayoutEntry& entry : layout) {
            if (entry.logical != logical) continue;
            if (entry.type == 0 || IsContainerPartitionType(entry.type)) continue;
            ++number;
            if (entry.offset == offset) return number;
        }
    }
    return 0;
}

}  // namespace morlit
