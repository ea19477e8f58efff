#include "platform/posix/fs/iso_volume.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/constants.h"
#include "platform/posix/fs/cd_names.h"
#include "platform/posix/fs/file_access.h"
#include "platform/posix/disk/byte_order.h"

namespace morlit::posix {
namespace {

constexpr u32 kBlock = 2048;
constexpr u32 kFirstDescriptor = 16;
constexpr u32 kMaxDescriptors = 64;
// Far more than any real disc needs; a damaged size field could ask for gigabytes.
constexpr u32 kMaxDirectoryBytes = 16u << 20;
constexpr int kMaxContinuations = 8;  // Rock Ridge continuation areas followed per entry

// Offsets in a directory record.
constexpr size_t kRecLength = 0, kRecExtent = 2, kRecSize = 10, kRecFlags = 25, kRecNameLen = 32,
                 kRecName = 33;
constexpr u8 kFlagDirectory = 0x02, kFlagMultiExtent = 0x80;

u32 Le32(const std::string& b, size_t at) { return LoadLe32(b.data() + at); }

u8 Byte(const std::string& b, size_t at) { return static_cast<u8>(b[at]); }

// What Windows shows of an ISO 9660 or Joliet name: without the ";1"
// version, and without the dot of a name that has no extension.
std::wstring VisibleName(std::wstring name) {
    const size_t semicolon = name.rfind(L';');
    if (semicolon != std::wstring::npos) name.erase(semicolon);
    if (!name.empty() && name.back() == L'.') name.pop_back();
    return name;
}

}  // namespace

std::unique_ptr<IsoVolume> IsoVolume::Open(const std::string& imagePath, u32* error) {
    struct stat st;
    if (::stat(imagePath.c_str(), &st) != 0) {
        *error = errno == EACCES ? err::kAccessDenied : err::kFileNotFound;
        return nullptr;
    }
    if (S_ISDIR(st.st_mode)) {
        *error = err::kAccessDenied;
        return nullptr;
    }
    std::unique_ptr<IsoVolume> v(new IsoVolume());
    v->fd_ = ::open(imagePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (v->fd_ < 0) {
        *error = err::kAccessDenied;
        return nullptr;
    }
    v->imageBlocks_ = static_cast<u64>(st.st_size) / kBlock;
    if (v->imageBlocks_ <= kFirstDescriptor) {
        *error = err::kUnrecognizedVolume;
        return nullptr;
    }

    // The descriptors: the primary one first, as every disc has it, and a
    // Joliet one if the disc has it.
    for (u32 i = 0; i < kMaxDescriptors && kFirstDescriptor + i < v->imageBlocks_; ++i) {
        std::string d;
        if (v->ReadBlocks(kFirstDescriptor + i, 1, &d) != 0) break;
        if (d.compare(1, 5, "CD001") != 0) break;
        const u8 type = Byte(d, 0);
        if (type == 255 || (i == 0 && type != 1)) break;
        if (i == 0) {
            // The volume identifier: 32 characters padded with blanks.
            std::string label = d.substr(40, 32);
            label = label.substr(0, label.find('\0'));
            while (!label.empty() && label.back() == ' ') label.pop_back();
            v->label_ = FromUtf8(label);
        }
        const size_t root = 156;
        Tree tree;
        tree.present = true;
        tree.rootLsn = Le32(d, root + kRecExtent);
        tree.rootSize = Le32(d, root + kRecSize);
        if (type == 1 && !v->primary_.present) {
            v->primary_ = tree;
        } else if (type == 2 && !v->joliet_.present && d[88] == '%' && d[89] == '/' &&
                   (d[90] == '@' || d[90] == 'C' || d[90] == 'E')) {
            tree.joliet = true;
            v->joliet_ = tree;
        }
    }
    if (!v->primary_.present) {
        *error = err::kUnrecognizedVolume;
        return nullptr;
    }

    // Rock Ridge announces itself in the system use area of the root's own
    // "." entry, with the number of bytes to skip in every later area.
    std::string root;
    if (v->primary_.rootSize >= kRecName && v->ReadBlocks(v->primary_.rootLsn, 1, &root) == 0) {
        const u8 len = Byte(root, kRecLength);
        const u8 nameLen = Byte(root, kRecNameLen);
        size_t at = kRecName + nameLen + (nameLen % 2 == 0 ? 1 : 0);
        if (len >= kRecName && at + 7 <= len && root.compare(at, 2, "SP") == 0 &&
            Byte(root, at + 4) == 0xBE && Byte(root, at + 5) == 0xEF) {
            v->primary_.rockRidge = true;
            v->primary_.suspSkip = Byte(root, at + 6);
        }
    }
    *error = 0;
    return v;
}

IsoVolume::~IsoVolume() {
    if (fd_ >= 0) ::close(fd_);
}

u32 IsoVolume::DriveType() const { return kDriveCdrom; }

u32 IsoVolume::ReadBlocks(u32 lsn, u32 count, std::string* out) const {
    if (static_cast<u64>(lsn) + count > imageBlocks_) return err::kFileCorrupt;
    const size_t length = static_cast<size_t>(count) * kBlock;
    if (ReadHostRange(fd_, u64{lsn} * kBlock, length, out) != 0 || out->size() != length)
        return err::kFileCorrupt;
    return 0;
}

u32 IsoVolume::RockRidgeName(const std::string& record, size_t suaStart, const Tree& tree,
                             std::wstring* name) const {
    std::string area = record.substr(std::min(record.size(), suaStart + tree.suspSkip));
    std::string nm;
    bool found = false;
    for (int hops = 0; hops <= kMaxContinuations; ++hops) {
        u32 ceBlock = 0, ceOffset = 0, ceLength = 0;
        bool stop = false;
        for (size_t at = 0; at + 4 <= area.size() && !stop;) {
            const u8 len = Byte(area, at + 2);
            if (len < 4 || at + len > area.size()) break;
            const std::string sig = area.substr(at, 2);
            if (sig == "NM" && len >= 5) {
                const u8 flags = Byte(area, at + 4);
                // "." and ".." carry flags instead of names.
                if ((flags & 0x06) == 0) {
                    nm += area.substr(at + 5, len - 5);
                    found = true;
                }
            } else if (sig == "CE" && len >= 28) {
                ceBlock = Le32(area, at + 4);
                ceOffset = Le32(area, at + 12);
                ceLength = Le32(area, at + 20);
            } else if (sig == "ST") {
                stop = true;
            }
            at += len;
        }
        if (ceLength == 0 || stop) break;
        // The continuation area lies in one block of its own.
        if (ceOffset >= kBlock || ceLength > kBlock - ceOffset) return err::kFileCorrupt;
        std::string block;
        if (u32 e = ReadBlocks(ceBlock, 1, &block)) return e;
        area = block.substr(ceOffset, ceLength);
    }
    if (found) *name = FromUtf8(nm);
    return 0;
}

u32 IsoVolume::ReadDirectory(const Tree& tree, u32 lsn, u32 size, std::vector<Entry>* out) const {
    if (size > kMaxDirectoryBytes) return err::kFileCorrupt;
    std::string dir;
    if (u32 e = ReadBlocks(lsn, (size + kBlock - 1) / kBlock, &dir)) return e;
    dir.resize(size);

    bool continuing = false;  // the last record was not the final extent of its file
    for (size_t at = 0; at < dir.size();) {
        const u8 len = Byte(dir, at + kRecLength);
        if (len == 0) {
            // The rest of this block is padding: records never cross blocks.
            at = (at / kBlock + 1) * kBlock;
            continue;
        }
        if (len < kRecName || at + len > dir.size() || at / kBlock != (at + len - 1) / kBlock) {
            return err::kFileCorrupt;
        }
        const std::string record = dir.substr(at, len);
        at += len;
        const u8 nameLen = Byte(record, kRecNameLen);
        if (kRecName + nameLen > len) return err::kFileCorrupt;
        const u8 flags = Byte(record, kRecFlags);
        const std::string raw = record.substr(kRecName, nameLen);
        const u32 extent = Le32(record, kRecExtent);
        const u32 bytes = Le32(record, kRecSize);

        if (continuing && !out->empty()) {
            out->back().extents.emplace_back(extent, bytes);
            out->back().size += bytes;
            continuing = (flags & kFlagMultiExtent) != 0;
            continue;
        }
        continuing = (flags & kFlagMultiExtent) != 0;
        if (nameLen == 1 && (raw[0] == '\0' || raw[0] == '\1')) continue;  // "." and ".."

        Entry entry;
        entry.directory = (flags & kFlagDirectory) != 0;
        entry.size = bytes;
        entry.extents.emplace_back(extent, bytes);
        std::wstring name;
        if (tree.joliet) {
            for (size_t i = 0; i + 1 < raw.size(); i += 2) {
                name.push_back(static_cast<wchar_t>(LoadBe16(raw.data() + i)));
            }
        } else {
            for (char c : raw) name.push_back(static_cast<wchar_t>(static_cast<u8>(c)));
        }
        entry.names.push_back(VisibleName(name));
        if (tree.rockRidge) {
            std::wstring rr;
            const size_t sua = kRecName + nameLen + (nameLen % 2 == 0 ? 1 : 0);
            if (u32 e = RockRidgeName(record, sua, tree, &rr)) return e;
            if (!rr.empty()) entry.names.push_back(rr);
        }
        out->push_back(std::move(entry));
    }
    return 0;
}

u32 IsoVolume::Find(const Tree& tree, const PathParts& path, Entry* out) const {
    Entry current;
    current.directory = true;
    current.size = tree.rootSize;
    current.extents.emplace_back(tree.rootLsn, tree.rootSize);
    for (size_t i = 0; i < path.size(); ++i) {
        const bool last = i + 1 == path.size();
        if (!IsPlainComponent(path[i])) return err::kInvalidName;
        if (!current.directory) return err::kPathNotFound;
        std::vector<Entry> entries;
        if (u32 e = ReadDirectory(tree, current.extents[0].first, current.extents[0].second,
                                  &entries)) {
            return e;
        }
        const Entry* exact = nullptr;
        const Entry* folded = nullptr;
        for (const Entry& entry : entries) {
            for (const std::wstring& name : entry.names) {
                if (name == path[i] && !exact) exact = &entry;
                if (SameNameNoCase(name, path[i]) && !folded) folded = &entry;
            }
        }
        const Entry* match = exact ? exact : folded;
        if (!match) return last ? err::kFileNotFound : err::kPathNotFound;
        current = *match;
    }
    *out = current;
    return 0;
}

u32 IsoVolume::Find(const PathParts& path, Entry* out) const {
    // Windows reads a disc through its Joliet names when it has them; the
    // primary tree also answers to the plain and Rock Ridge names.
    if (joliet_.present) {
        const u32 e = Find(joliet_, path, out);
        if (e != err::kFileNotFound && e != err::kPathNotFound) return e;
    }
    return Find(primary_, path, out);
}

u32 IsoVolume::Stat(const PathParts& path, NodeInfo* info) {
    Entry entry;
    if (u32 e = Find(path, &entry)) return e;
    info->directory = entry.directory;
    info->size = entry.directory ? 0 : entry.size;
    info->attributes = entry.directory ? (kFileAttributeDirectory | kFileAttributeReadOnly)
                                       : kFileAttributeReadOnly;
    return 0;
}

u32 IsoVolume::ReadFile(const PathParts& path, std::string* data) {
    Entry entry;
    if (u32 e = Find(path, &entry)) return e;
    if (entry.directory) return err::kAccessDenied;
    std::string out;
    for (const auto& [lsn, bytes] : entry.extents) {
        const u32 blocks = static_cast<u32>((static_cast<u64>(bytes) + kBlock - 1) / kBlock);
        if (static_cast<u64>(lsn) + blocks > imageBlocks_) return err::kFileCorrupt;
        std::string chunk;
        for (u32 done = 0; done < blocks;) {
            const u32 n = std::min<u32>(blocks - done, 512);
            if (u32 e = ReadBlocks(lsn + done, n, &chunk)) return e;
            const u64 left = bytes - static_cast<u64>(done) * kBlock;
            out.append(chunk, 0, static_cast<size_t>(std::min<u64>(left, chunk.size())));
            done += n;
        }
    }
    *data = std::move(out);
    return 0;
}

u32 IsoVolume::ReadRange(const PathParts& path, u64 offset, size_t length, std::string* data) {
    Entry entry;
    if (u32 e = Find(path, &entry)) return e;
    if (entry.directory) return err::kAccessDenied;
    const u64 count = offset >= entry.size ? 0 : std::min<u64>(length, entry.size - offset);
    data->resize(static_cast<size_t>(count));
    // The extents follow one another in the file; each starts on a block.
    u64 start = 0;  // the file offset of the current extent
    u64 done = 0;
    std::string chunk;
    for (const auto& [lsn, bytes] : entry.extents) {
        const u64 end = start + bytes;
        while (done < count && offset + done < end) {
            const u64 at = offset + done - start;  // within this extent
            const u64 first = at / kBlock;
            if (lsn + first > imageBlocks_) {
                data->clear();
                return err::kFileCorrupt;
            }
            const u64 want = std::min<u64>(count - done, end - (offset + done));
            const u32 blocks =
                static_cast<u32>(std::min<u64>((at % kBlock + want + kBlock - 1) / kBlock, 512));
            if (u32 e = ReadBlocks(static_cast<u32>(lsn + first), blocks, &chunk)) {
                data->clear();
                return e;
            }
            const u64 n = std::min<u64>(want, chunk.size() - at % kBlock);
            std::memcpy(&(*data)[static_cast<size_t>(done)], chunk.data() + at % kBlock,
                        static_cast<size_t>(n));
            done += n;
        }
        start = end;
        if (done >= count) break;
    }
    return 0;
}

u32 IsoVolume::WriteFile(const PathParts&, const std::string&) { return err::kWriteProtect; }
u32 IsoVolume::DeleteFile(const PathParts&) { return err::kWriteProtect; }
u32 IsoVolume::SetAttributes(const PathParts&, u32) { return err::kWriteProtect; }
u32 IsoVolume::SetUncompressed(const PathParts&) { return err::kWriteProtect; }

}  // namespace morlit::posix
