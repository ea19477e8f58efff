#include "platform/posix/fs/fat_volume.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <map>
#include <cwchar>
#include <cwctype>
#include <set>
#include <utility>

#include "platform/constants.h"
#include "platform/posix/fs/short_name.h"
#include "platform/posix/disk/byte_order.h"

namespace morlit::posix {

namespace {

constexpr u8 kAttrReadOnly = 0x01;
constexpr u8 kAttrVolumeId = 0x08;
constexpr u8 kAttrDirectory = 0x10;
constexpr u8 kAttrArchive = 0x20;
constexpr u8 kAttrLongName = 0x0F;
// The attribute bits SetFileAttributesW may change on FAT.
constexpr u8 kSettable = 0x01 | 0x02 | 0x04 | 0x20;
// NT keeps an all-lower-case base or extension of an 8.3 name here.
constexpr u8 kLowerBase = 0x08;
constexpr u8 kLowerExt = 0x10;
// A folder holds at most 65536 entries.
constexpr u64 kMaxFolderBytes = 65536 * 32;

wchar_t Fold(wchar_t c) { return static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c))); }

bool SameName(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Fold(a[i]) != Fold(b[i])) return false;
    }
    return true;
}

u8 ShortChecksum(const u8* name11) {
    u8 sum = 0;
    for (int i = 0; i < 11; ++i) sum = static_cast<u8>(((sum & 1) << 7) + (sum >> 1) + name11[i]);
    return sum;
}

// The offsets of the 13 UTF-16 characters inside a long-name entry.
constexpr int kLfnChars[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

// FAT date and time words for now, in local time as FAT stores it.
void LocalStamp(u16* date, u16* time, u8* tenths) {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    int year = tm.tm_year + 1900;
    if (year < 1980) year = 1980;
    if (year > 2107) year = 2107;
    *date = static_cast<u16>(((year - 1980) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
    *time = static_cast<u16>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
    if (tenths) *tenths = static_cast<u8>((tm.tm_sec % 2) * 100);
}

struct Entry {
    std::wstring longName;
    std::wstring shortName;  // "BASE.EXT" as stored, upper case
    u8 raw[32] = {};
    size_t first = 0;  // its first slot: the first long-name entry, or the short one
    size_t slot = 0;   // the short entry's slot
    bool Directory() const { return (raw[11] & kAttrDirectory) != 0; }
    u32 Size() const { return LoadLe32(raw + 28); }
};

// A folder read whole: its slots, the entries parsed from them.
struct Folder {
    u32 cluster = 0;  // first cluster; 0 for the fixed root of FAT12/16
    std::vector<u32> clusters;
    std::vector<u8> bytes;
    std::vector<Entry> entries;
    size_t Slots() const { return bytes.size() / 32; }
    const Entry* Find(const std::wstring& name) const {
        for (const Entry& e : entries) {
            if (SameName(e.longName, name) || SameName(e.shortName, name)) return &e;
        }
        return nullptr;
    }
};

std::wstring ShortNameText(const u8* raw) {
    std::wstring base, ext;
    for (int i = 0; i < 8; ++i) base.push_back(static_cast<wchar_t>(raw[i]));
    for (int i = 8; i < 11; ++i) ext.push_back(static_cast<wchar_t>(raw[i]));
    if (!base.empty() && base[0] == 0x05) base[0] = 0xE5;
    while (!base.empty() && base.back() == L' ') base.pop_back();
    while (!ext.empty() && ext.back() == L' ') ext.pop_back();
    return ext.empty() ? base : base + L"." + ext;
}

// Parses a folder's slots. Returns false with a reason on a long name that
// is out of order or whose checksum does not match its short entry.
bool ParseEntries(Folder* folder, std::string* why) {
    folder->entries.clear();
    std::wstring pending;  // characters of the long name being gathered
    int expect = 0;        // order number of the next long-name entry; 0 = none
    u8 checksum = 0;
    size_t first = 0;
    for (size_t i = 0; i < folder->Slots(); ++i) {
        const u8* e = &folder->bytes[i * 32];
        if (e[0] == 0x00) break;
        if (e[0] == 0xE5) {
            if (expect) {
                *why = "holds a long name without its short entry";
                return false;
            }
            continue;
        }
        if ((e[11] & 0x3F) == kAttrLongName) {
            const int order = e[0] & 0x3F;
            if (e[0] & 0x40) {
                if (expect || order < 1 || order > 20) {
                    *why = "holds long-name entries out of order";
                    return false;
                }
                checksum = e[13];
                first = i;
                pending.assign(static_cast<size_t>(order) * 13, L'\0');
            } else if (!expect || order != expect || e[13] != checksum) {
                *why = expect && order == expect ? "holds a long name with a bad checksum"
                                                 : "holds long-name entries out of order";
                return false;
            }
            for (int k = 0; k < 13; ++k) {
                pending[static_cast<size_t>(order - 1) * 13 + static_cast<size_t>(k)] =
                    static_cast<wchar_t>(LoadLe16(e + kLfnChars[k]));
            }
            expect = order - 1;
            if (expect == 0) expect = -1;  // complete: the short entry comes next
            continue;
        }
        if (expect > 0) {
            *why = "holds long-name entries out of order";
            return false;
        }
        Entry entry;
        std::memcpy(entry.raw, e, 32);
        entry.slot = i;
        entry.first = i;
        if (expect == -1) {
            if (ShortChecksum(e) != checksum) {
                *why = "holds a long name with a bad checksum";
                return false;
            }
            const size_t end = pending.find(L'\0');
            entry.longName = pending.substr(0, end);
            entry.first = first;
        }
        expect = 0;
        if (e[11] & kAttrVolumeId) continue;  // the volume label
        entry.shortName = ShortNameText(e);
        if (entry.shortName == L"." || entry.shortName == L"..") continue;
        folder->entries.push_back(std::move(entry));
    }
    if (expect) {
        *why = "holds a long name without its short entry";
        return false;
    }
    return true;
}

}  // namespace

struct FatVolume::State {
    BlockDevice* disk = nullptr;
    u64 offset = 0;
    u64 length = 0;
    Kind kind = Kind::kFat16;
    u32 bytesPerSector = 0;
    u32 clusterBytes = 0;
    u32 fatCount = 0;
    u64 fatBytes = 0;  // one FAT's size
    u64 fatOffset = 0;
    u64 rootOffset = 0;  // the fixed root of FAT12/16
    u32 rootEntries = 0;
    u32 rootCluster = 0;  // FAT32
    u64 dataOffset = 0;
    u32 clusterCount = 0;
    u32 activeFat = 0;
    bool mirrored = true;
    u64 fsInfoOffset = 0;    // 0: none usable
    std::vector<u8> fat;     // the active FAT, as far as the clusters reach, and padding
    u64 fatRead = 0;         // how much of `fat` came from the disk
    std::set<u64> dirtyFat;  // sectors of `fat` changed and not yet written
    std::vector<std::pair<u32, u32>> undo;  // (cluster, old value) of this change
    u32 freeCount = 0;
    u32 nextFree = 2;
    bool broken = false;  // a change failed half-way: refuse further changes
    // What was read lately, kept until the next change: the image is locked
    // while attached, so only this layer changes it. Ranged reads of a large
    // file would otherwise walk its folders and its chain again each time.
    std::map<u32, Folder> folderCache;  // by first cluster, 0 for the fixed root
    u32 chainFirst = 0;
    std::vector<u32> chainCache;

    void Forget() {
        folderCache.clear();
        chainFirst = 0;
        chainCache.clear();
    }

    u32 MaxCluster() const { return clusterCount + 1; }
    u32 EndMark() const {
        return kind == Kind::kFat32 ? 0x0FFFFFFF : kind == Kind::kFat16 ? 0xFFFF : 0xFFF;
    }
    bool IsEnd(u32 v) const {
        return v >= (kind == Kind::kFat32 ? 0x0FFFFFF8u : kind == Kind::kFat16 ? 0xFFF8u : 0xFF8u);
    }
    u64 ClusterOffset(u32 c) const { return dataOffset + static_cast<u64>(c - 2) * clusterBytes; }

    u32 Get(u32 n) const {
        switch (kind) {
            case Kind::kFat12: {
                const size_t at = n + n / 2;
                const u32 v = LoadLe16(&fat[at]);
                return n & 1 ? v >> 4 : v & 0xFFF;
            }
            case Kind::kFat16:
                return LoadLe16(&fat[static_cast<size_t>(n) * 2]);
            case Kind::kFat32:
                return LoadLe32(&fat[static_cast<size_t>(n) * 4]) & 0x0FFFFFFF;
        }
        return 0;
    }
    void Set(u32 n, u32 v) {
        undo.emplace_back(n, Get(n));
        Store(n, v);
    }
    void Store(u32 n, u32 v) {
        Forget();
        const u32 old = Get(n);
        if (old == 0 && v != 0) --freeCount;
        if (old != 0 && v == 0) ++freeCount;
        size_t at = 0;
        size_t width = 2;
        switch (kind) {
            case Kind::kFat12: {
                at = n + n / 2;
                u32 w = LoadLe16(&fat[at]);
                w = n & 1 ? (w & 0x000F) | (v << 4) : (w & 0xF000) | (v & 0xFFF);
                StoreLe16(&fat[at], w);
                break;
            }
            case Kind::kFat16:
                at = static_cast<size_t>(n) * 2;
                StoreLe16(&fat[at], v);
                break;
            case Kind::kFat32:
                at = static_cast<size_t>(n) * 4;
                width = 4;
                // The top four bits are reserved and kept.
                StoreLe32(&fat[at], (LoadLe32(&fat[at]) & 0xF0000000) | (v & 0x0FFFFFFF));
                break;
        }
        dirtyFat.insert(at / bytesPerSector);
        dirtyFat.insert((at + width - 1) / bytesPerSector);
    }
    // Takes back the FAT changes of a change that failed before the FAT
    // was written.
    void Rollback() {
        const std::vector<std::pair<u32, u32>> changes = std::move(undo);
        undo.clear();
        for (auto it = changes.rbegin(); it != changes.rend(); ++it) Store(it->first, it->second);
        dirtyFat.clear();
    }

    u32 Read(u64 at, void* buffer, size_t n) { return disk->Read(offset + at, buffer, n); }
    u32 Write(u64 at, const void* buffer, size_t n) { return disk->Write(offset + at, buffer, n); }

    // The chain from `first`, checked: every link inside the volume, in use,
    // not bad, and no cluster twice.
    bool Chain(u32 first, std::vector<u32>* out, std::string* why) const {
        out->clear();
        u32 c = first;
        while (true) {
            if (c < 2 || c > MaxCluster()) {
                *why = "has a cluster chain that points past the FAT";
                return false;
            }
            if (out->size() >= clusterCount) {
                *why = "has a cluster chain that loops";
                return false;
            }
            out->push_back(c);
            const u32 next = Get(c);
            if (IsEnd(next)) return true;
            if (next == 0 || next == EndMark() - 8) {
                *why = next ? "has a cluster chain through a bad cluster"
                            : "has a cluster chain through a free cluster";
                return false;
            }
            c = next;
        }
    }

    // Reads a folder whole and parses it; 0 or ERROR_DISK_CORRUPT.
    u32 LoadFolder(u32 cluster, Folder* folder, std::string* why) {
        const auto cached = folderCache.find(cluster);
        if (cached != folderCache.end()) {
            *folder = cached->second;
            return 0;
        }
        const u32 e = ReadFolder(cluster, folder, why);
        if (e == 0) {
            if (folderCache.size() >= 64) folderCache.clear();
            folderCache[cluster] = *folder;
        }
        return e;
    }
    u32 ReadFolder(u32 cluster, Folder* folder, std::string* why) {
        folder->cluster = cluster;
        folder->clusters.clear();
        if (cluster == 0) {
            folder->bytes.assign(static_cast<size_t>(rootEntries) * 32, 0);
            if (const u32 e = Read(rootOffset, folder->bytes.data(), folder->bytes.size()))
                return e;
        } else {
            if (!Chain(cluster, &folder->clusters, why)) return err::kDiskCorrupt;
            if (static_cast<u64>(folder->clusters.size()) * clusterBytes > kMaxFolderBytes) {
                *why = "has a folder longer than FAT allows";
                return err::kDiskCorrupt;
            }
            folder->bytes.assign(folder->clusters.size() * clusterBytes, 0);
            for (size_t i = 0; i < folder->clusters.size(); ++i) {
                if (const u32 e = Read(ClusterOffset(folder->clusters[i]),
                                       &folder->bytes[i * clusterBytes], clusterBytes))
                    return e;
            }
        }
        return ParseEntries(folder, why) ? 0 : err::kDiskCorrupt;
    }

    // Writes slots [from, to) of a folder back to the disk.
    u32 WriteSlots(const Folder& folder, size_t from, size_t to) {
        Forget();
        for (size_t i = from; i < to;) {
            u64 at = 0;
            size_t run = 0;
            if (folder.cluster == 0) {
                at = rootOffset + i * 32;
                run = to - i;
            } else {
                const size_t perCluster = clusterBytes / 32;
                const size_t index = i / perCluster;
                at = ClusterOffset(folder.clusters[index]) + (i % perCluster) * 32;
                run = std::min(to - i, perCluster - i % perCluster);
            }
            if (const u32 e = Write(at, &folder.bytes[i * 32], run * 32)) return e;
            i += run;
        }
        return 0;
    }

    // The first cluster an entry names.
    u32 FirstCluster(const u8* raw) const {
        const u32 high = kind == Kind::kFat32 ? LoadLe16(raw + 20) : 0;
        return (high << 16) | LoadLe16(raw + 26);
    }
    void SetFirstCluster(u8* raw, u32 c) const {
        if (kind == Kind::kFat32) StoreLe16(raw + 20, c >> 16);
        StoreLe16(raw + 26, c & 0xFFFF);
    }

    // Takes `count` free clusters, linked into one chain ending the chain
    // of `after` (0: a new chain). The caller has checked the free count.
    void Allocate(u32 count, u32 after, std::vector<u32>* taken) {
        taken->clear();
        u32 c = nextFree >= 2 && nextFree <= MaxCluster() ? nextFree : 2;
        for (u32 seen = 0; taken->size() < count && seen < clusterCount; ++seen) {
            if (Get(c) == 0) {
                taken->push_back(c);
                Set(c, EndMark());
            }
            c = c == MaxCluster() ? 2 : c + 1;
        }
        for (size_t i = 0; i + 1 < taken->size(); ++i) Set((*taken)[i], (*taken)[i + 1]);
        if (after && !taken->empty()) Set(after, taken->front());
        if (!taken->empty()) nextFree = taken->back() == MaxCluster() ? 2 : taken->back() + 1;
    }

    // Writes the changed FAT sectors to every copy in use, then FSInfo.
    u32 CommitFat() {
        undo.clear();
        for (u64 sector : dirtyFat) {
            const u64 at = sector * bytesPerSector;
            if (at >= fatRead) continue;
            const size_t n = static_cast<size_t>(std::min<u64>(bytesPerSector, fatRead - at));
            for (u32 copy = 0; copy < fatCount; ++copy) {
                if (!mirrored && copy != activeFat) continue;
                if (const u32 e = Write(fatOffset + copy * fatBytes + at, &fat[at], n)) {
                    broken = true;
                    return e;
                }
            }
        }
        dirtyFat.clear();
        if (fsInfoOffset) {
            u8 counts[8];
            StoreLe32(counts, freeCount);
            StoreLe32(counts + 4, nextFree);
            if (const u32 e = Write(fsInfoOffset + 488, counts, sizeof counts)) {
                broken = true;
                return e;
            }
        }
        return 0;
    }

    // Calls `io(diskOffset, done, length)` for the runs of adjacent clusters
    // that hold bytes [pos, pos + n) of a file whose clusters are `chain`,
    // so that contiguous data moves in one transfer.
    template <typename Io>
    u32 ForRuns(const std::vector<u32>& chain, u64 pos, u64 n, Io io) {
        u64 done = 0;
        while (done < n) {
            const size_t index = static_cast<size_t>(pos / clusterBytes);
            const u64 within = pos % clusterBytes;
            size_t last = index;
            while (last + 1 < chain.size() && chain[last + 1] == chain[last] + 1 &&
                   (last + 1 - index) * clusterBytes - within < n - done)
                ++last;
            const u64 run = std::min<u64>(n - done, (last + 1 - index) * clusterBytes - within);
            if (const u32 e = io(ClusterOffset(chain[index]) + within, done, run)) return e;
            pos += run;
            done += run;
        }
        return 0;
    }

    u32 WriteData(const std::vector<u32>& chain, u64 pos, const char* data, u64 n) {
        return ForRuns(chain, pos, n, [&](u64 at, u64 done, u64 run) {
            return Write(at, data + done, static_cast<size_t>(run));
        });
    }

    u32 ReadData(const std::vector<u32>& chain, u64 pos, char* out, u64 n) {
        return ForRuns(chain, pos, n, [&](u64 at, u64 done, u64 run) {
            return Read(at, out + done, static_cast<size_t>(run));
        });
    }

    u32 WriteZeros(const std::vector<u32>& chain, u64 from, u64 to) {
        static const char zeros[64 * 1024] = {};
        while (from < to) {
            const u64 n = std::min<u64>(to - from, sizeof zeros);
            if (const u32 e = WriteData(chain, from, zeros, n)) return e;
            from += n;
        }
        return 0;
    }

    // Finds `path`: the folder holding its last component and the entry in
    // it (null when missing). Returns 0, or 3 when a folder on the way is
    // missing, or the disk's code.
    u32 Locate(const PathParts& path, Folder* parent, const Entry** entry) {
        std::string why;
        if (const u32 e = LoadFolder(kind == Kind::kFat32 ? rootCluster : 0, parent, &why))
            return e;
        *entry = nullptr;
        for (size_t i = 0; i < path.size(); ++i) {
            const Entry* found = parent->Find(path[i]);
            if (i + 1 == path.size()) {
                *entry = found;
                return 0;
            }
            if (!found || !found->Directory()) return err::kPathNotFound;
            const u32 cluster = FirstCluster(found->raw);
            Folder next;
            if (const u32 e = LoadFolder(cluster, &next, &why)) return e;
            *parent = std::move(next);
        }
        return 0;
    }

    bool FileChain(const Entry& e, std::vector<u32>* chain) {
        chain->clear();
        const u32 first = FirstCluster(e.raw);
        if (first == 0) return e.Size() == 0;
        if (first == chainFirst) {
            *chain = chainCache;
        } else {
            std::string why;
            if (!Chain(first, chain, &why)) return false;
            chainFirst = first;
            chainCache = *chain;
        }
        return static_cast<u64>(chain->size()) * clusterBytes >= e.Size();
    }

    u32 Flush() {
        if (const u32 e = disk->Flush()) {
            broken = true;
            return e;
        }
        return 0;
    }

    // Stamps a short entry as modified now and marks it for backup.
    static void Touch(u8* raw) {
        u16 date = 0;
        u16 time = 0;
        LocalStamp(&date, &time, nullptr);
        StoreLe16(raw + 22, time);
        StoreLe16(raw + 24, date);
        StoreLe16(raw + 18, date);
        raw[11] = static_cast<u8>(raw[11] | kAttrArchive);
    }

    u32 Rewrite(Folder& folder, const Entry& entry, const std::vector<FilePatch>& patches,
                u64 size);
    u32 Create(Folder& folder, const std::wstring& name, const std::string& data);
    u32 CheckVolume(std::string* why);
};

namespace {

u32 ClustersFor(u64 bytes, u32 clusterBytes) {
    return static_cast<u32>((bytes + clusterBytes - 1) / clusterBytes);
}

bool ValidLongName(const std::wstring& name) {
    if (name.empty() || name.size() > 255 || name == L"." || name == L"..") return false;
    if (name.back() == L' ' || name.back() == L'.') return false;
    for (wchar_t c : name) {
        // Long names are UTF-16; characters beyond its first plane are refused.
        if (c < 0x20 || static_cast<u32>(c) > 0xFFFF || std::wcschr(L"\"*/:<>?\\|", c))
            return false;
    }
    return true;
}

// Fills the 11-byte name field from "BASE.EXT".
void PutShortName(u8* raw, const std::wstring& shortName) {
    std::memset(raw, ' ', 11);
    const size_t dot = shortName.find(L'.');
    const std::wstring base = shortName.substr(0, dot);
    const std::wstring ext = dot == std::wstring::npos ? L"" : shortName.substr(dot + 1);
    for (size_t i = 0; i < base.size() && i < 8; ++i) raw[i] = static_cast<u8>(base[i]);
    for (size_t i = 0; i < ext.size() && i < 3; ++i) raw[8 + i] = static_cast<u8>(ext[i]);
    if (raw[0] == 0xE5) raw[0] = 0x05;
}

// 0 when the text has no letters of the other case: all upper (1), all
// lower (2), mixed (3).
int CaseOf(const std::wstring& text) {
    int found = 0;
    for (wchar_t c : text) {
        if (c >= L'a' && c <= L'z') found |= 2;
        if (c >= L'A' && c <= L'Z') found |= 1;
    }
    return found;
}

// Whether a new file named `name` is stored with its short entry alone:
// an 8.3 name whose base and extension each have one case, the case kept
// in the NT flags (`caseFlags`).
bool StoredAlone(const std::wstring& name, u8* caseFlags) {
    *caseFlags = 0;
    if (!IsShortNameLegal(name)) return false;
    const size_t dot = name.find(L'.');
    const int baseCase = CaseOf(name.substr(0, dot));
    const int extCase = dot == std::wstring::npos ? 0 : CaseOf(name.substr(dot + 1));
    if (baseCase == 3 || extCase == 3) return false;
    if (baseCase == 2) *caseFlags |= kLowerBase;
    if (extCase == 2) *caseFlags |= kLowerExt;
    return true;
}

// The names a new file is stored under: an 8.3 name whose base and extension
// each have one case is stored alone, the case kept in the NT flags; anything
// else gets a long name and a short one made unique in `folder`.
struct EntryNames {
    std::wstring shortName;
    u8 caseFlags = 0;
    size_t longSlots = 0;  // 13 characters a slot, none for a name stored alone
};

// False when no short name is left free for `name`.
bool NamesFor(const Folder& folder, const std::wstring& name, EntryNames* names) {
    const bool needLong = !StoredAlone(name, &names->caseFlags);
    if (IsShortNameLegal(name)) {
        for (wchar_t c : name) names->shortName.push_back(Fold(c));
    } else {
        names->shortName = MakeHashedShortName(name, [&folder](const std::wstring& candidate) {
            return folder.Find(candidate) != nullptr;
        });
        if (names->shortName.empty()) return false;
    }
    names->longSlots = needLong ? (name.size() + 12) / 13 : 0;
    return true;
}

// Where `slots` new entries go in a folder.
struct SlotPlace {
    size_t start = 0;  // the first slot taken
    size_t end = 0;    // the end marker's slot, or the folder's slot count
    u32 extend = 0;    // clusters the folder must grow by
};

// A run of free slots; else the free slots at the end (deleted ones and
// those past the end marker), with the folder grown to fit. False when the
// folder is full and cannot grow.
bool PlaceSlots(const Folder& folder, size_t slots, u32 clusterBytes, SlotPlace* place) {
    const size_t total = folder.Slots();
    size_t start = total;
    size_t run = 0;
    size_t end = 0;
    for (; end < total; ++end) {
        const u8 b = folder.bytes[end * 32];
        if (b == 0x00) break;  // everything from here on is free
        run = b == 0xE5 ? run + 1 : 0;
        if (run == slots) {
            start = end + 1 - slots;
            break;
        }
    }
    if (start != total) end = total;  // a run of deleted entries: the end stays
    u32 extend = 0;
    if (start == total) {
        start = end - run;
        if (total - start < slots) {
            if (folder.cluster == 0) return false;  // the fixed root is full
            extend = ClustersFor((slots - (total - start)) * 32, clusterBytes);
            if (folder.bytes.size() + static_cast<u64>(extend) * clusterBytes > kMaxFolderBytes)
                return false;
        }
    }
    *place = SlotPlace{start, end, extend};
    return true;
}

// The short entry of a new file, stamped now; its cluster and size are the
// caller's.
void NewShortEntry(u8* raw, const EntryNames& names) {
    PutShortName(raw, names.shortName);
    raw[11] = kAttrArchive;
    raw[12] = names.caseFlags;
    u16 date = 0;
    u16 time = 0;
    u8 tenths = 0;
    LocalStamp(&date, &time, &tenths);
    raw[13] = tenths;
    StoreLe16(raw + 14, time);
    StoreLe16(raw + 16, date);
    StoreLe16(raw + 18, date);
    StoreLe16(raw + 22, time);
    StoreLe16(raw + 24, date);
}

// The `count` long-name slots of `name` from `slots` on, the last part
// first, each carrying the short entry's checksum `sum`.
void PutLongEntries(u8* slots, size_t count, const std::wstring& name, u8 sum) {
    for (size_t k = 0; k < count; ++k) {
        const size_t order = count - k;
        u8* l = slots + k * 32;
        std::memset(l, 0, 32);
        l[0] = static_cast<u8>(order | (k == 0 ? 0x40 : 0));
        l[11] = kAttrLongName;
        l[13] = sum;
        for (int j = 0; j < 13; ++j) {
            const size_t at = (order - 1) * 13 + static_cast<size_t>(j);
            const u32 c = at < name.size()    ? static_cast<u32>(name[at]) & 0xFFFF
                          : at == name.size() ? 0
                                              : 0xFFFF;
            StoreLe16(l + kLfnChars[j], c);
        }
    }
}

}  // namespace

// Rewrites an existing file: `patches` clipped to `size`, zeros between the
// old end and the new one, the chain grown or cut to fit.
u32 FatVolume::State::Rewrite(Folder& folder, const Entry& entry,
                              const std::vector<FilePatch>& patches, u64 size) {
    if (size > 0xFFFFFFFFull) return err::kDiskFull;
    std::vector<u32> chain;
    if (!FileChain(entry, &chain)) return err::kDiskCorrupt;
    const u64 oldSize = entry.Size();
    const u32 need = ClustersFor(size, clusterBytes);
    const u32 have = static_cast<u32>(chain.size());
    if (need > have && need - have > freeCount) return err::kDiskFull;
    u8 raw[32];
    std::memcpy(raw, entry.raw, 32);
    if (need > have) {
        std::vector<u32> added;
        Allocate(need - have, have ? chain.back() : 0, &added);
        if (!have) SetFirstCluster(raw, added.front());
        chain.insert(chain.end(), added.begin(), added.end());
    }
    u32 e = 0;
    // Zeros between the old end and the new one, unless a patch covers them.
    bool covered = false;
    for (const FilePatch& p : patches)
        covered = covered || (p.offset <= oldSize && p.offset + p.data.size() >= size);
    if (size > oldSize && !covered) e = WriteZeros(chain, oldSize, size);
    for (const FilePatch& p : patches) {
        if (e || p.offset >= size || p.data.empty()) continue;
        const u64 n = std::min<u64>(p.data.size(), size - p.offset);
        e = WriteData(chain, p.offset, p.data.data(), n);
    }
    if (e) {
        Rollback();
        broken = true;  // data may be half-written
        return e;
    }
    const bool grew = need > have;
    if (grew) {
        if (const u32 c = CommitFat()) return c;
    }
    StoreLe32(raw + 28, static_cast<u32>(size));
    if (need < have) {
        if (need == 0) SetFirstCluster(raw, 0);
    }
    Touch(raw);
    std::memcpy(&folder.bytes[entry.slot * 32], raw, 32);
    if (const u32 w = WriteSlots(folder, entry.slot, entry.slot + 1)) {
        broken = true;
        return w;
    }
    if (need < have) {
        // The entry no longer names the cut clusters: free them now.
        if (need) Set(chain[need - 1], EndMark());
        for (u32 i = need; i < have; ++i) Set(chain[i], 0);
        if (const u32 c = CommitFat()) return c;
    }
    return Flush();
}

// Makes a new file in `folder` with `data`, named as Windows names it.
u32 FatVolume::State::Create(Folder& folder, const std::wstring& name, const std::string& data) {
    if (!ValidLongName(name)) return err::kInvalidName;
    if (data.size() > 0xFFFFFFFFull) return err::kDiskFull;
    EntryNames names;
    if (!NamesFor(folder, name, &names)) return err::kFileExists;
    const size_t slots = names.longSlots + 1;
    SlotPlace place;
    if (!PlaceSlots(folder, slots, clusterBytes, &place)) return err::kDiskFull;
    const size_t start = place.start;
    const size_t end = place.end;
    const u32 extend = place.extend;
    const u32 dataClusters = ClustersFor(data.size(), clusterBytes);
    if (static_cast<u64>(dataClusters) + extend > freeCount) return err::kDiskFull;

    std::vector<u32> chain;
    if (dataClusters) Allocate(dataClusters, 0, &chain);
    std::vector<u32> added;
    if (extend) Allocate(extend, folder.clusters.back(), &added);
    u32 e = chain.empty() ? 0 : WriteData(chain, 0, data.data(), data.size());
    for (u32 c : added) {
        if (e) break;
        const std::vector<u32> one{c};
        e = WriteZeros(one, 0, clusterBytes);
    }
    if (e) {
        Rollback();
        return e;
    }
    if (const u32 c = CommitFat()) return c;
    folder.clusters.insert(folder.clusters.end(), added.begin(), added.end());
    folder.bytes.resize(folder.bytes.size() + added.size() * clusterBytes, 0);

    u8 raw[32] = {};
    NewShortEntry(raw, names);
    SetFirstCluster(raw, chain.empty() ? 0 : chain.front());
    StoreLe32(raw + 28, static_cast<u32>(data.size()));
    PutLongEntries(&folder.bytes[start * 32], names.longSlots, name, ShortChecksum(raw));
    std::memcpy(&folder.bytes[(start + names.longSlots) * 32], raw, 32);
    // Entries taken from past the end marker move it behind them: whatever
    // lay beyond it must stay beyond it.
    size_t written = start + slots;
    if (end < written && written < folder.Slots()) {
        std::memset(&folder.bytes[written * 32], 0, 32);
        ++written;
    }
    if (const u32 w = WriteSlots(folder, start, written)) {
        broken = true;
        return w;
    }
    return Flush();
}

// Checks every folder and chain of the volume: each cluster belongs to one
// file or folder at most, every chain ends inside the FAT, every folder
// parses. The first problem found is the reason.
u32 FatVolume::State::CheckVolume(std::string* why) {
    // Who holds each cluster: 0 nobody, else an id per file or folder.
    std::vector<u32> owner(static_cast<size_t>(MaxCluster()) + 1, 0);
    u32 nextId = 0;
    struct Pending {
        u32 cluster;
        std::vector<u32> ancestors;  // ids of the folders above, and its own
    };
    std::vector<Pending> folders;
    const auto claim = [&](const std::vector<u32>& chain, u32 id,
                           const std::vector<u32>& ancestors) {
        for (u32 c : chain) {
            if (owner[c] == id) {
                *why = "has a cluster chain that loops";
                return false;
            }
            if (owner[c]) {
                const bool above =
                    std::find(ancestors.begin(), ancestors.end(), owner[c]) != ancestors.end();
                *why = above ? "has a folder that contains itself"
                             : "has two files whose cluster chains cross";
                return false;
            }
            owner[c] = id;
        }
        return true;
    };
    const u32 rootId = ++nextId;
    if (kind == Kind::kFat32) {
        std::vector<u32> chain;
        if (!Chain(rootCluster, &chain, why)) return err::kDiskCorrupt;
        if (!claim(chain, rootId, {})) return err::kDiskCorrupt;
    }
    folders.push_back({kind == Kind::kFat32 ? rootCluster : 0, {rootId}});
    while (!folders.empty()) {
        const Pending here = std::move(folders.back());
        folders.pop_back();
        Folder folder;
        std::string problem;
        if (const u32 e = ReadFolder(here.cluster, &folder, &problem)) {
            *why = problem.empty() ? "cannot be read: a folder gives error " + std::to_string(e)
                                   : problem;
            return e;
        }
        for (const Entry& entry : folder.entries) {
            const u32 first = FirstCluster(entry.raw);
            if (entry.Directory()) {
                if (first == 0) {
                    *why = "has a folder without clusters";
                    return err::kDiskCorrupt;
                }
                std::vector<u32> chain;
                if (!Chain(first, &chain, why)) return err::kDiskCorrupt;
                const u32 id = ++nextId;
                if (!claim(chain, id, here.ancestors)) return err::kDiskCorrupt;
                std::vector<u32> ancestors = here.ancestors;
                ancestors.push_back(id);
                folders.push_back({first, std::move(ancestors)});
                continue;
            }
            if (first == 0) {
                if (entry.Size() != 0) {
                    *why = "has a file whose size needs clusters it does not have";
                    return err::kDiskCorrupt;
                }
                continue;
            }
            std::vector<u32> chain;
            if (!Chain(first, &chain, why)) return err::kDiskCorrupt;
            if (static_cast<u64>(chain.size()) * clusterBytes < entry.Size()) {
                *why = "has a file whose size needs clusters it does not have";
                return err::kDiskCorrupt;
            }
            if (!claim(chain, ++nextId, here.ancestors)) return err::kDiskCorrupt;
        }
    }
    return 0;
}

// --- mounting ----------------------------------------------------------------

FatVolume::FatVolume(std::unique_ptr<State> state) : s_(std::move(state)) {}
FatVolume::~FatVolume() = default;

std::unique_ptr<FatVolume> FatVolume::Mount(BlockDevice& disk, u64 offset, u64 length,
                                            MountError* error, std::string* reason) {
    *error = MountError::kNone;
    u8 b[512];
    const auto fail = [&](MountError kind, const std::string& why) {
        *error = kind;
        *reason = why;
        return nullptr;
    };
    // A sector that cannot be read says nothing about what the volume is:
    // the read error is the cause, not a missing file system.
    const auto unreadable = [&](const char* what, u32 code) {
        return fail(MountError::kUnreadable, std::string("cannot be read: its ") + what +
                                                 " gives error " + std::to_string(code));
    };
    if (length < sizeof b) return fail(MountError::kNotFat, "holds no FAT volume");
    if (const u32 e = disk.Read(offset, b, sizeof b)) return unreadable("boot sector", e);
    const bool jump = b[0] == 0xE9 || (b[0] == 0xEB && b[2] == 0x90);
    if (!jump || b[510] != 0x55 || b[511] != 0xAA || std::memcmp(b + 3, "NTFS    ", 8) == 0 ||
        std::memcmp(b + 3, "EXFAT   ", 8) == 0)
        return fail(MountError::kNotFat, "holds no FAT volume");

    auto s = std::make_unique<State>();
    s->disk = &disk;
    s->offset = offset;
    s->length = length;
    const u32 bps = LoadLe16(b + 11);
    const u32 spc = b[13];
    const u32 reserved = LoadLe16(b + 14);
    const u32 fats = b[16];
    const u32 rootEntries = LoadLe16(b + 17);
    const u32 total16 = LoadLe16(b + 19);
    const u32 fat16 = LoadLe16(b + 22);
    const u32 total32 = LoadLe32(b + 32);
    const u32 fat32 = LoadLe32(b + 36);
    const auto damaged = [&](const std::string& what) {
        return fail(MountError::kDamaged, "has a FAT boot sector whose " + what);
    };
    if (bps != 512 && bps != 1024 && bps != 2048 && bps != 4096)
        return damaged("bytes per sector (" + std::to_string(bps) + ") are not a sector size");
    if (spc == 0 || (spc & (spc - 1)) != 0 || spc * bps > 65536)
        return damaged("sectors per cluster (" + std::to_string(spc) + ") are not usable");
    if (reserved == 0) return damaged("reserved sector count is 0");
    if (fats != 1 && fats != 2)
        return damaged("number of FATs (" + std::to_string(fats) + ") is not 1 or 2");
    if (total16 && total32 && total16 != total32)
        return damaged("two total sector counts disagree");
    const u64 total = total16 ? total16 : total32;
    if (total == 0) return damaged("total sector count is 0");
    if (total * bps > length) return damaged("total sectors reach beyond the partition");
    const u64 fatSectors = fat16 ? fat16 : fat32;
    if (fatSectors == 0) return damaged("FAT size is 0");
    const u64 rootSectors = (static_cast<u64>(rootEntries) * 32 + bps - 1) / bps;
    const u64 dataStart = reserved + fats * fatSectors + rootSectors;
    if (dataStart >= total) return damaged("FATs and root folder fill the whole volume");
    const u64 clusters = (total - dataStart) / spc;
    if (clusters == 0 || clusters > 0x0FFFFFF5)
        return damaged("cluster count (" + std::to_string(clusters) + ") is not usable");
    s->kind = clusters < 4085 ? Kind::kFat12 : clusters < 65525 ? Kind::kFat16 : Kind::kFat32;
    const bool fat32Layout = fat16 == 0;
    if ((s->kind == Kind::kFat32) != fat32Layout)
        return damaged("cluster count does not fit its FAT type");
    if (fat32Layout && rootEntries != 0) return damaged("FAT32 layout names root entries");
    if (!fat32Layout && rootEntries == 0) return damaged("root entry count is 0");
    const u64 bits = s->kind == Kind::kFat12 ? 12 : s->kind == Kind::kFat16 ? 16 : 32;
    if (fatSectors * bps * 8 < (clusters + 2) * bits)
        return damaged("FAT size is too small for its clusters");

    s->bytesPerSector = bps;
    s->clusterBytes = spc * bps;
    s->fatCount = fats;
    s->fatBytes = fatSectors * bps;
    s->fatOffset = static_cast<u64>(reserved) * bps;
    s->rootOffset = s->fatOffset + fats * s->fatBytes;
    s->rootEntries = rootEntries;
    s->dataOffset = dataStart * bps;
    s->clusterCount = static_cast<u32>(clusters);
    if (s->kind == Kind::kFat32) {
        const u32 flags = LoadLe16(b + 40);
        s->mirrored = (flags & 0x80) == 0;
        s->activeFat = s->mirrored ? 0 : flags & 0x0F;
        if (s->activeFat >= fats) return damaged("active FAT does not exist");
        if (LoadLe16(b + 42) != 0) return damaged("FAT32 version is unknown");
        s->rootCluster = LoadLe32(b + 44);
        if (s->rootCluster < 2 || s->rootCluster > s->MaxCluster())
            return damaged("root cluster lies outside the volume");
    }
    // Windows NT's own "check this volume" flag in the boot sector.
    if (b[s->kind == Kind::kFat32 ? 65 : 37] & 0x01)
        return fail(MountError::kDirty, "is marked dirty; let Windows check it first");

    // The active FAT, as far as the clusters reach (a FAT may be longer).
    const u64 used = (static_cast<u64>(clusters) + 2) * bits / 8 + 1;
    s->fatRead = std::min<u64>(s->fatBytes, used + bps);
    s->fat.assign(static_cast<size_t>(s->fatRead) + 4, 0);
    if (const u32 e = disk.Read(offset + s->fatOffset + s->activeFat * s->fatBytes, s->fat.data(),
                                static_cast<size_t>(s->fatRead)))
        return unreadable("FAT", e);
    const u32 flags1 = s->Get(1);
    if (s->kind == Kind::kFat16 && (flags1 & 0xC000) != 0xC000)
        return fail(MountError::kDirty,
                    (flags1 & 0x8000) == 0
                        ? "was not shut down cleanly; let Windows check it first"
                        : "has a disk error recorded; let Windows check it first");
    if (s->kind == Kind::kFat32 && (flags1 & 0x0C000000) != 0x0C000000)
        return fail(MountError::kDirty,
                    (flags1 & 0x08000000) == 0
                        ? "was not shut down cleanly; let Windows check it first"
                        : "has a disk error recorded; let Windows check it first");

    for (u32 c = 2; c <= s->MaxCluster(); ++c) {
        if (s->Get(c) == 0) ++s->freeCount;
    }
    if (s->kind == Kind::kFat32) {
        const u32 infoSector = LoadLe16(b + 48);
        u8 info[512];
        if (infoSector >= 1 && infoSector < reserved &&
            disk.Read(offset + static_cast<u64>(infoSector) * bps, info, sizeof info) == 0 &&
            LoadLe32(info) == 0x41615252 && LoadLe32(info + 484) == 0x61417272 &&
            LoadLe32(info + 508) == 0xAA550000) {
            s->fsInfoOffset = static_cast<u64>(infoSector) * bps;
            const u32 hint = LoadLe32(info + 492);
            if (hint >= 2 && hint <= s->MaxCluster()) s->nextFree = hint;
        }
    }
    std::string why;
    if (const u32 e = s->CheckVolume(&why))
        return fail(e == err::kDiskCorrupt ? MountError::kDamaged : MountError::kUnreadable, why);
    return std::unique_ptr<FatVolume>(new FatVolume(std::move(s)));
}

FatVolume::Kind FatVolume::Type() const { return s_->kind; }
u32 FatVolume::ClusterBytes() const { return s_->clusterBytes; }
u32 FatVolume::FreeClusters() const { return s_->freeCount; }
u32 FatVolume::DriveType() const { return kDriveFixed; }

// --- reading -----------------------------------------------------------------

u32 FatVolume::Stat(const PathParts& path, NodeInfo* info) {
    if (path.empty()) {
        info->directory = true;
        info->size = 0;
        info->attributes = kFileAttributeDirectory;
        return 0;
    }
    Folder parent;
    const Entry* entry = nullptr;
    if (const u32 e = s_->Locate(path, &parent, &entry)) return e;
    if (!entry) return err::kFileNotFound;
    info->directory = entry->Directory();
    info->size = info->directory ? 0 : entry->Size();
    info->attributes = entry->raw[11] & 0x37;
    if (info->attributes == 0) info->attributes = kFileAttributeNormal;
    return 0;
}

u32 FatVolume::ReadFile(const PathParts& path, std::string* data) {
    return ReadRange(path, 0, static_cast<size_t>(-1), data);
}

u32 FatVolume::ReadRange(const PathParts& path, u64 offset, size_t length, std::string* data) {
    if (path.empty()) return err::kAccessDenied;
    Folder parent;
    const Entry* entry = nullptr;
    if (const u32 e = s_->Locate(path, &parent, &entry)) return e;
    if (!entry) return err::kFileNotFound;
    if (entry->Directory()) return err::kAccessDenied;
    std::vector<u32> chain;
    if (!s_->FileChain(*entry, &chain)) return err::kDiskCorrupt;
    const u64 size = entry->Size();
    const u64 count = offset >= size ? 0 : std::min<u64>(length, size - offset);
    data->resize(static_cast<size_t>(count));
    if (const u32 e = s_->ReadData(chain, offset, &(*data)[0], count)) {
        data->clear();
        return e;
    }
    return 0;
}

// --- writing -----------------------------------------------------------------

u32 FatVolume::WriteFile(const PathParts& path, const std::string& data) {
    if (s_->broken) return err::kNotReady;
    if (path.empty()) return err::kAccessDenied;
    Folder parent;
    const Entry* entry = nullptr;
    if (const u32 e = s_->Locate(path, &parent, &entry))
        return e == err::kFileNotFound ? err::kPathNotFound : e;
    if (!entry) return s_->Create(parent, path.back(), data);
    if (entry->Directory() || (entry->raw[11] & kAttrReadOnly)) return err::kAccessDenied;
    return s_->Rewrite(parent, *entry, {{0, data}}, data.size());
}

u32 FatVolume::PatchFile(const PathParts& path, const std::vector<FilePatch>& patches, u64 size) {
    if (s_->broken) return err::kNotReady;
    if (path.empty()) return err::kAccessDenied;
    for (const FilePatch& p : patches) {
        if (p.offset > 0xFFFFFFFFull || p.data.size() > 0xFFFFFFFFull)
            return err::kInvalidParameter;
    }
    Folder parent;
    const Entry* entry = nullptr;
    if (const u32 e = s_->Locate(path, &parent, &entry)) return e;
    if (!entry) return err::kFileNotFound;
    if (entry->Directory() || (entry->raw[11] & kAttrReadOnly)) return err::kAccessDenied;
    // The largest file FAT holds.
    if (size > 0xFFFFFFFFull) return err::kDiskFull;
    bool changes = size != entry->Size();
    for (const FilePatch& p : patches) changes = changes || (!p.data.empty() && p.offset < size);
    if (!changes) return 0;
    return s_->Rewrite(parent, *entry, patches, size);
}

u32 FatVolume::DeleteFile(const PathParts& path) {
    if (s_->broken) return err::kNotReady;
    if (path.empty()) return err::kAccessDenied;
    Folder parent;
    const Entry* entry = nullptr;
    if (const u32 e = s_->Locate(path, &parent, &entry)) return e;
    if (!entry) return err::kFileNotFound;
    if (entry->Directory() || (entry->raw[11] & kAttrReadOnly)) return err::kAccessDenied;
    std::vector<u32> chain;
    if (!s_->FileChain(*entry, &chain)) return err::kDiskCorrupt;
    for (size_t i = entry->first; i <= entry->slot; ++i) parent.bytes[i * 32] = 0xE5;
    if (const u32 e = s_->WriteSlots(parent, entry->first, entry->slot + 1)) {
        s_->broken = true;
        return e;
    }
    for (u32 c : chain) s_->Set(c, 0);
    if (const u32 e = s_->CommitFat()) return e;
    return s_->Flush();
}

u32 FatVolume::SetAttributes(const PathParts& path, u32 attributes) {
    if (s_->broken) return err::kNotReady;
    if (path.empty()) return err::kAccessDenied;
    Folder parent;
    const Entry* entry = nullptr;
    if (const u32 e = s_->Locate(path, &parent, &entry)) return e;
    if (!entry) return err::kFileNotFound;
    const u8 now = entry->raw[11];
    const u8 want = static_cast<u8>((now & ~kSettable) | (attributes & kSettable));
    if (want == now) return 0;
    parent.bytes[entry->slot * 32 + 11] = want;
    if (const u32 e = s_->WriteSlots(parent, entry->slot, entry->slot + 1)) {
        s_->broken = true;
        return e;
    }
    return s_->Flush();
}

bool FatVolume::SameAsNewFile(const PathParts& path) {
    if (s_->broken || path.empty()) return false;
    Folder parent;
    const Entry* entry = nullptr;
    if (s_->Locate(path, &parent, &entry) || !entry) return false;
    if (entry->raw[11] != kAttrArchive) return false;
    const std::wstring& name = path.back();
    u8 caseFlags = 0;
    if (StoredAlone(name, &caseFlags)) {
        // The short entry alone, with the same letters and case flags.
        std::wstring folded;
        for (wchar_t c : name) folded.push_back(Fold(c));
        return entry->first == entry->slot && entry->shortName == folded &&
               (entry->raw[12] & (kLowerBase | kLowerExt)) == caseFlags;
    }
    // A long name exactly as given; the short one is kept, as Windows keeps
    // it for a name made again.
    return entry->first < entry->slot && entry->longName == name;
}

u32 FatVolume::SetUncompressed(const PathParts& path) {
    NodeInfo info;
    if (const u32 e = Stat(path, &info)) return e;
    return err::kInvalidFunction;
}

}  // namespace morlit::posix
