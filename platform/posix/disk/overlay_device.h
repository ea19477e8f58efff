// A disk whose writes stay in memory: reads see them, the disk beneath is
// only ever read. A check runs the whole run over one, so that it sees what
// the run would write without a byte reaching the image.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "platform/posix/disk/block_device.h"

namespace morlit::posix {

class OverlayDevice : public BlockDevice {
  public:
    explicit OverlayDevice(std::unique_ptr<BlockDevice> base) : base_(std::move(base)) {}

    u64 Size() const override { return base_->Size(); }
    u32 Read(u64 offset, void* buffer, std::size_t length) override;
    // Fails with ERROR_OPERATION_ABORTED once a stop signal has come, as a
    // write to the image would.
    u32 Write(u64 offset, const void* buffer, std::size_t length) override;
    u32 Flush() override { return 0; }
    // No file to commit or roll back: nothing of the image is changed.
    std::shared_ptr<ImageFile> File() const override { return nullptr; }

    // The disk beneath (its format and file are what a report names).
    BlockDevice& Base() { return *base_; }
    // Where the bytes now differ from the disk beneath, as (offset, length)
    // pairs in order, to the block; a block that cannot be read beneath
    // counts as differing.
    std::vector<std::pair<u64, u64>> Differences();

  private:
    static constexpr u64 kBlock = 4096;
    u32 Block(u64 index, std::vector<u8>** block);
    std::unique_ptr<BlockDevice> base_;
    std::map<u64, std::vector<u8>> blocks_;  // by block index; a last block may be short
};

}  // namespace morlit::posix
