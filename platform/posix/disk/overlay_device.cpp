#include "platform/posix/disk/overlay_device.h"

#include <algorithm>
#include <cstring>

#include "platform/types.h"
#include "platform/posix/disk/interrupt.h"

namespace morlit::posix {

u32 OverlayDevice::Read(u64 offset, void* buffer, std::size_t length) {
    if (offset > Size() || length > Size() - offset) return err::kInvalidParameter;
    u8* out = static_cast<u8*>(buffer);
    // Runs of blocks not written are read from beneath in one call.
    u64 at = offset;
    const u64 end = offset + length;
    while (at < end) {
        const u64 index = at / kBlock;
        auto it = blocks_.lower_bound(index);
        if (it != blocks_.end() && it->first == index) {
            const u64 within = at - index * kBlock;
            const u64 n = std::min<u64>(end - at, kBlock - within);
            std::memcpy(out + (at - offset), it->second.data() + within, n);
            at += n;
            continue;
        }
        const u64 stop = it == blocks_.end() ? end : std::min<u64>(end, it->first * kBlock);
        if (const u32 e = base_->Read(at, out + (at - offset), stop - at)) return e;
        at = stop;
    }
    return 0;
}

u32 OverlayDevice::Block(u64 index, std::vector<u8>** block) {
    auto it = blocks_.find(index);
    if (it == blocks_.end()) {
        const u64 start = index * kBlock;
        std::vector<u8> bytes(std::min<u64>(kBlock, Size() - start));
        if (const u32 e = base_->Read(start, bytes.data(), bytes.size())) return e;
        it = blocks_.emplace(index, std::move(bytes)).first;
    }
    *block = &it->second;
    return 0;
}

u32 OverlayDevice::Write(u64 offset, const void* buffer, std::size_t length) {
    if (offset > Size() || length > Size() - offset) return err::kInvalidParameter;
    if (InterruptRequested() && !StopSignalsHeld()) return err::kOperationAborted;
    const u8* in = static_cast<const u8*>(buffer);
    for (u64 at = offset, end = offset + length; at < end;) {
        const u64 index = at / kBlock;
        std::vector<u8>* block = nullptr;
        if (const u32 e = Block(index, &block)) return e;
        const u64 within = at - index * kBlock;
        const u64 n = std::min<u64>(end - at, kBlock - within);
        std::memcpy(block->data() + within, in + (at - offset), n);
        at += n;
    }
    return 0;
}

std::vector<std::pair<u64, u64>> OverlayDevice::Differences() {
    std::vector<std::pair<u64, u64>> ranges;
    std::vector<u8> old;
    for (const auto& [index, bytes] : blocks_) {
        const u64 start = index * kBlock;
        old.resize(bytes.size());
        const bool same = base_->Read(start, old.data(), old.size()) == 0 && old == bytes;
        if (same) continue;
        if (!ranges.empty() && ranges.back().first + ranges.back().second == start)
            ranges.back().second += bytes.size();
        else
            ranges.push_back({start, bytes.size()});
    }
    return ranges;
}

}  // namespace morlit::posix
