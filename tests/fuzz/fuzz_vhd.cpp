// VHD images: an input is [u32 LE parent length][parent image][child image];
// a zero length means no parent. The child is opened read-only and read,
// then opened writable, written and read back. An image refused for writing
// must be left byte for byte as it was.
#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/posix/disk/vhd.h"
#include "tests/fuzz/fuzz_util.h"

using morlit::u32;
using morlit::u64;
using morlit::posix::VhdImage;

namespace {

void ReadSome(VhdImage& disk, std::vector<unsigned char>& buf) {
    const u64 size = disk.Size();
    const u64 len = std::min<u64>(size, buf.size());
    if (len == 0) return;
    for (u64 at : {u64{0}, size / 2 / 512 * 512, size - len}) {
        if (at + len > size) continue;
        disk.Read(at, buf.data(), len);
    }
    // Unaligned and past the end.
    if (size > 3) disk.Read(1, buf.data(), std::min<u64>(size - 1, 1000));
    disk.Read(size, buf.data(), 1);
}

}  // namespace

MORLIT_FUZZ_TARGET(vhd) {
    if (size < 4) return 0;
    const std::string& dir = morlit::fuzz::ScratchDir();
    const std::string parent = dir + "/parent.vhd";
    const std::string child = dir + "/child.vhd";
    u32 parentLength = morlit::fuzz::Le32(data);
    data += 4;
    size -= 4;
    ::unlink(parent.c_str());
    if (parentLength > 0) {
        parentLength = std::min<u32>(parentLength, size);
        morlit::fuzz::WriteWhole(parent, data, parentLength);
        data += parentLength;
        size -= parentLength;
    }
    morlit::fuzz::WriteWhole(child, data, size);

    std::vector<unsigned char> buf(65536);
    u32 error = 0;
    std::string reason;
    if (auto disk = VhdImage::Open(child, false, &error, &reason)) {
        ReadSome(*disk, buf);
    } else {
        MORLIT_FUZZ_CHECK(error != 0 && !reason.empty());  // a refusal says why
    }

    auto disk = VhdImage::Open(child, true, &error, &reason);
    if (!disk) {
        MORLIT_FUZZ_CHECK(error != 0 && !reason.empty());
        const std::string after = morlit::fuzz::ReadWhole(child);
        MORLIT_FUZZ_CHECK(after.size() == size && std::memcmp(after.data(), data, size) == 0);
        return 0;
    }
    const u64 diskSize = disk->Size();
    std::memset(buf.data(), 0xA5, 4096);
    std::vector<unsigned char> back(4096);
    for (u64 at : {u64{0}, diskSize / 3 / 512 * 512, diskSize >= 4096 ? diskSize - 4096 : 0}) {
        const u64 len = std::min<u64>(4096, diskSize - std::min(at, diskSize));
        if (len == 0) continue;
        if (disk->Write(at, buf.data(), len) == 0) {
            MORLIT_FUZZ_CHECK(disk->Read(at, back.data(), len) == 0);
            MORLIT_FUZZ_CHECK(std::memcmp(back.data(), buf.data(), len) == 0);
        }
    }
    disk->Flush();
    morlit::posix::CloseAndCommit(std::move(disk), &reason);
    // What was written must open again.
    if (auto again = VhdImage::Open(child, false, &error, &reason)) ReadSome(*again, buf);
    return 0;
}
