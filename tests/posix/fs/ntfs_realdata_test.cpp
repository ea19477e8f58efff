// NTFS volumes of real Windows machines, as published and in the states one
// meets on real disks, made by patching copies of them where Windows keeps
// each state: the dirty bit in $Volume's volume information, the restart
// areas of $LogFile, and the signature of a hibernation file. Whether a
// volume is fit to mount is read independently here - the ntfs-3g tools
// for the volume flags and the hibernation file, the restart pages' bytes
// read from their published layout - and Mount must agree, give the cause,
// and write nothing.
#include <fstream>
#include <optional>
#include <regex>

#include "platform/posix/disk/raw_image.h"
#include "platform/posix/fs/ntfs_volume.h"
#include "tests/posix/host_fixture.h"
#include "tests/posix/realdata.h"

namespace morlit::posix::test {
namespace {

using MountError = NtfsVolume::MountError;

u64 Le(const std::string& bytes, size_t at, int size) {
    u64 value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes.at(at + static_cast<size_t>(i)));
    return value;
}

void PutLe(std::string* bytes, size_t at, u64 value, int size) {
    for (int i = 0; i < size; ++i)
        bytes->at(at + static_cast<size_t>(i)) = static_cast<char>(value >> (8 * i));
}

std::string ReadAt(const std::string& path, u64 offset, size_t length) {
    std::ifstream f(path, std::ios::binary);
    f.seekg(static_cast<std::streamoff>(offset));
    std::string bytes(length, '\0');
    f.read(&bytes[0], static_cast<std::streamsize>(length));
    EXPECT_TRUE(f.good()) << path;
    return bytes;
}

void WriteAt(const std::string& path, u64 offset, const std::string& bytes) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(f.good()) << path;
}

// Where the metadata lies, as ntfsinfo gives it: bytes from the volume's
// start.
struct Places {
    u64 cluster = 0;
    u64 record = 0;  // the size of an MFT record
    u64 mft = 0;
    u64 mirror = 0;
    u64 log = 0;  // $LogFile's first cluster (it is not fragmented on these volumes)
};

u64 Number(const std::string& text, const std::string& pattern) {
    std::smatch m;
    EXPECT_TRUE(std::regex_search(text, m, std::regex(pattern))) << pattern << "\n" << text;
    return m.empty() ? 0 : std::stoull(m[1], nullptr, 0);
}

Places Locate(const std::string& volume) {
    std::string info, logInfo;
    Shell("ntfsinfo -f -m " + Quote(volume), &info);
    Shell("ntfsinfo -f -i 2 -v " + Quote(volume), &logInfo);
    Places p;
    p.cluster = Number(info, R"(Cluster Size: (\d+))");
    p.record = Number(info, R"(MFT Record Size: (\d+))");
    p.mft = p.cluster * Number(info, R"(LCN of Data Attribute for FILE_MFT: (\d+))");
    p.mirror = p.cluster * Number(info, R"(LCN of Data Attribute for File_MFTMirr: (\d+))");
    EXPECT_EQ(Number(logInfo, R"(Total runs: (\d+))"), 1u) << logInfo;
    p.log = p.cluster * Number(logInfo, R"(Runlist:[^\n]*\n\s*0x0\s+(0x[0-9a-fA-F]+))");
    return p;
}

// The $Volume record (number 3) in the MFT and in its mirror: the flags of
// its volume information attribute (type 0x70; its value holds 8 reserved
// bytes, the version's two bytes and the flags at +0x0A). The
// attributes start at the offset in the record's header at 0x14; each gives
// its type and its length. The flags lie in the record's first sector, so
// the update sequence fix-ups do not cover them.
void SetVolumeFlags(const std::string& volume, const Places& at, u16 set) {
    for (const u64 table : {at.mft, at.mirror}) {
        const u64 record = table + 3 * at.record;
        std::string r = ReadAt(volume, record, at.record);
        ASSERT_EQ(r.substr(0, 4), "FILE");
        size_t a = Le(r, 0x14, 2);
        while (a + 8 <= r.size() && Le(r, a, 4) != 0x70 && Le(r, a, 4) != 0xFFFFFFFF)
            a += Le(r, a + 4, 4);
        ASSERT_EQ(Le(r, a, 4), 0x70u);
        const size_t flags = a + Le(r, a + 0x14, 2) + 0x0A;
        ASSERT_LT(flags + 2, 510u);
        PutLe(&r, flags, Le(r, flags, 2) | set, 2);
        WriteAt(volume, record, r);
    }
}

// The two restart pages at the start of $LogFile, as the published layout
// of the journal describes them: the page header holds the magic ("RSTR",
// or "CHKD" while chkdsk works on the volume), the restart area's offset at
// 0x18 and the version at 0x1A (minor) and 0x1C (major); the restart area
// holds the current LSN at 0, the first client in use at 0x0C (0xFFFF: the
// log is closed) and its flags at 0x0E (0x0002: the volume is clean). A log
// of 0xFF bytes only has been emptied, which only a clean volume may be.
struct RestartPage {
    std::string bytes;
    bool Empty() const { return bytes.find_first_not_of('\xFF') == std::string::npos; }
    std::string Magic() const { return bytes.substr(0, 4); }
    size_t Area() const { return Le(bytes, 0x18, 2); }
    u64 Major() const { return Le(bytes, 0x1C, 2); }
    u64 Lsn() const { return Le(bytes, Area(), 8); }
    u64 ClientInUse() const { return Le(bytes, Area() + 0x0C, 2); }
    u64 Flags() const { return Le(bytes, Area() + 0x0E, 2); }
};

RestartPage ReadRestartPage(const std::string& volume, const Places& at, int copy) {
    return RestartPage{ReadAt(volume, at.log + 4096 * static_cast<u64>(copy), 4096)};
}

// Changes both restart pages alike; the fields changed lie before the end of
// the first sector, outside the update sequence fix-ups.
void PatchRestartPages(const std::string& volume, const Places& at,
                       const std::function<void(RestartPage*)>& change) {
    for (int copy = 0; copy < 2; ++copy) {
        RestartPage page = ReadRestartPage(volume, at, copy);
        ASSERT_EQ(page.Magic(), "RSTR");
        change(&page);
        WriteAt(volume, at.log + 4096 * static_cast<u64>(copy), page.bytes);
    }
}

// The restart page in force: of the two, the one with the newer LSN; none
// when the log has been emptied.
std::optional<RestartPage> CurrentRestartPage(const std::string& volume, const Places& at) {
    const RestartPage first = ReadRestartPage(volume, at, 0);
    const RestartPage second = ReadRestartPage(volume, at, 1);
    if (first.Empty() && second.Empty()) return std::nullopt;
    return second.Magic() == first.Magic() && second.Lsn() > first.Lsn() ? second : first;
}

// Whether the journal lets the volume be mounted without a replay: emptied,
// closed (no client in use) or open with the clean flag. chkdsk marks the
// pages "CHKD" when it has changed the volume; the flag and the client list
// still say whether anything is open.
bool JournalClean(const std::string& volume, const Places& at) {
    const std::optional<RestartPage> page = CurrentRestartPage(volume, at);
    if (!page) return true;
    if (page->Magic() != "RSTR" && page->Magic() != "CHKD") return false;
    return page->ClientInUse() == 0xFFFF || (page->Flags() & 0x0002) != 0;
}

// The same page in a few words: its magic, its major version, whether a
// client is in use ("open") and the clean flag; or "empty".
std::string Journal(const std::string& volume, const Places& at) {
    const std::optional<RestartPage> page = CurrentRestartPage(volume, at);
    if (!page) return "empty";
    return page->Magic() + " " + std::to_string(page->Major()) +
           (page->ClientInUse() == 0xFFFF ? " closed" : " open") +
           ((page->Flags() & 0x0002) != 0 ? " clean" : "");
}

// The file's size and modification time.
std::string Stamp(const std::string& path) {
    std::string out;
    Shell("stat -c '%s %Y.%y' " + Quote(path), &out);
    return out;
}

// A device over another that counts the writes it is given and fails as
// told: a read that reaches into [failReadsFrom, failReadsTo) fails as the
// device's;
// with refuseWrites no write reaches the inner device; otherwise from write
// failWritesFrom on (counted from 1; 0: never) every write fails with
// writeError.
class FaultyDevice : public BlockDevice {
  public:
    explicit FaultyDevice(BlockDevice& inner) : inner_(inner) {}
    u64 Size() const override { return inner_.Size(); }
    u32 Read(u64 offset, void* buffer, std::size_t length) override {
        if (offset + length > failReadsFrom && offset < failReadsTo) return err::kIoDevice;
        return inner_.Read(offset, buffer, length);
    }
    u32 Write(u64 offset, const void* buffer, std::size_t length) override {
        ++writes;
        if (refuseWrites) return err::kWriteProtect;
        if (failWritesFrom > 0 && writes >= failWritesFrom) return writeError;
        return inner_.Write(offset, buffer, length);
    }
    u32 Flush() override { return refuseWrites ? 0 : inner_.Flush(); }
    u64 failReadsFrom = ~0ull, failReadsTo = ~0ull;
    bool refuseWrites = false;
    int failWritesFrom = 0;
    u32 writeError = err::kDiskFull;
    int writes = 0;

  private:
    BlockDevice& inner_;
};

struct VolumeState {
    const char* name;
    const char* volume;  // "vsstest" or "windows_volume"
    std::function<void(const std::string& volume, const Places& at)> patch;
    MountError error;     // kNone: it mounts
    const char* reason;   // a part of the sentence
    const char* journal;  // the restart page as Journal() reads it
};

// Failures name the case, not its bytes.
void PrintTo(const VolumeState& c, std::ostream* os) { *os << c.name; }

class RealNtfsVolume : public ::testing::TestWithParam<VolumeState> {
  protected:
    // Each published volume, decompressed and converted to a raw volume
    // once for all cases (the copies are sparse).
    static std::string Published(const std::string& name) {
        static std::map<std::string, std::string> made;
        static const std::string folder = MakeShortTempDir("v", TestRoot::Get().path());
        auto it = made.find(name);
        if (it != made.end()) return it->second;
        const std::string raw = folder + "/" + name + ".raw";
        std::string log;
        const bool ok = UnpackRealData("disks/" + name + ".qcow2", folder, name + ".qcow2") &&
                        Shell("qemu-img convert -f qcow2 -O raw " +
                                  Quote(folder + "/" + name + ".qcow2") + " " + Quote(raw),
                              &log) == 0;
        EXPECT_TRUE(ok) << log;
        return made[name] = ok ? raw : "";
    }
};

TEST_P(RealNtfsVolume, MountAgreesWithAnIndependentReadingAndWritesNothing) {
    MORLIT_REQUIRE_REALDATA();
    const VolumeState& c = GetParam();
    const std::string published = Published(c.volume);
    ASSERT_FALSE(published.empty());
    const std::string volume = TestDir() + "/volume.raw";
    ASSERT_EQ(Shell("cp --sparse=always " + Quote(published) + " " + Quote(volume)), 0);
    const Places at = Locate(volume);
    if (c.patch) c.patch(volume, at);

    // The independent reading.
    std::string info, hiber;
    Shell("ntfsinfo -f -m " + Quote(volume), &info);
    const bool dirty = (Number(info, R"(Volume Flags: (0x[0-9a-fA-F]+))") & 0x0001) != 0;
    const bool hibernated =
        Shell("ntfscat " + Quote(volume) + " hiberfil.sys | head -c 4", &hiber) == 0 &&
        (hiber == "hibr" || hiber == "HIBR");
    const bool clean = JournalClean(volume, at);
    EXPECT_EQ(Journal(volume, at), c.journal);
    EXPECT_EQ(c.error == MountError::kNone, !dirty && !hibernated && clean)
        << "dirty " << dirty << ", hibernated " << hibernated << ", journal clean " << clean;

    // The volume is up to 1 GiB: that nothing reaches it is shown by the
    // device, which sees every write, and by the file's time and size.
    const std::string before = Stamp(volume);
    u32 error = 0;
    std::string reason;
    std::unique_ptr<RawImage> image = RawImage::Open(volume, false, &error, &reason);
    ASSERT_TRUE(image) << reason;
    FaultyDevice device(*image);
    device.refuseWrites = true;
    MountError mountError = MountError::kFailed;
    std::string why;
    std::unique_ptr<NtfsVolume> mounted =
        NtfsVolume::Mount(device, 0, device.Size(), &mountError, &why);
    EXPECT_EQ(mountError, c.error) << why;
    EXPECT_NE(why.find(c.reason), std::string::npos) << why;
    EXPECT_EQ(mounted != nullptr, c.error == MountError::kNone);
    if (mounted) {
        // Usable: a file reads as ntfscat reads it.
        std::string data, expected;
        const std::string file = std::string(c.volume) == "vsstest" ? "password.txt" : "";
        if (!file.empty()) {
            Shell("ntfscat " + Quote(volume) + " " + file, &expected);
            EXPECT_EQ(mounted->ReadFile({L"password.txt"}, &data), 0u);
            EXPECT_EQ(data, expected);
        } else {
            NodeInfo node;
            EXPECT_EQ(mounted->Stat({L"Windows"}, &node), 0u);
        }
        EXPECT_EQ(mounted->Unmount(), 0u);
    }
    mounted.reset();
    image.reset();
    EXPECT_EQ(device.writes, 0);
    EXPECT_EQ(Stamp(volume), before);
}

// A hibernation file whose first 4 KiB start with `signature` (4 bytes, the
// rest zero), copied onto the volume by ntfscp.
std::function<void(const std::string&, const Places&)> Hiberfile(const std::string& signature) {
    return [signature](const std::string& volume, const Places&) {
        const std::string file = volume + ".hiberfil";
        std::string log;
        ASSERT_EQ(
            Shell("head -c 65536 /dev/zero > " + Quote(file) + " && printf '%s' '" + signature +
                      "' | dd of=" + Quote(file) + " conv=notrunc status=none && ntfscp " +
                      Quote(volume) + " " + Quote(file) + " hiberfil.sys",
                  &log),
            0)
            << log;
    };
}

const char kUnclean[] = "was not shut down cleanly (it was in use)";

INSTANTIATE_TEST_SUITE_P(
    States, RealNtfsVolume,
    ::testing::Values(
        // As published: one with an emptied journal (0xFF), one with the
        // journal as Windows XP and later leave it at a clean shutdown: a
        // client in use and the clean flag set.
        VolumeState{"WindowsVolumeAsPublished", "windows_volume", nullptr, MountError::kNone, "",
                    "empty"},
        VolumeState{"VsstestAsPublished", "vsstest", nullptr, MountError::kNone, "",
                    "RSTR 1 open clean"},
        // The dirty bit, as Windows sets it when it finds damage, and with
        // the bit chkdsk sets while it repairs.
        VolumeState{"DirtyBit", "vsstest",
                    [](const std::string& v, const Places& at) { SetVolumeFlags(v, at, 0x0001); },
                    MountError::kDirty, "is marked dirty; let Windows check it first",
                    "RSTR 1 open clean"},
        VolumeState{"DirtyBitOfAnUnfinishedChkdsk", "vsstest",
                    [](const std::string& v, const Places& at) { SetVolumeFlags(v, at, 0x8001); },
                    MountError::kDirty, "is marked dirty by a chkdsk that did not finish",
                    "RSTR 1 open clean"},
        // The journal open without the clean flag: Windows went down with
        // the volume in use.
        VolumeState{"JournalInUse", "vsstest",
                    [](const std::string& v, const Places& at) {
                        PatchRestartPages(v, at, [](RestartPage* p) {
                            PutLe(&p->bytes, p->Area() + 0x0E, p->Flags() & ~u64{2}, 2);
                        });
                    },
                    MountError::kUncleanJournal, kUnclean, "RSTR 1 open"},
        // The journal closed (no client in use), as Windows 2000 leaves it
        // at a clean shutdown, without the clean flag: nothing to replay.
        VolumeState{"JournalClosed", "vsstest",
                    [](const std::string& v, const Places& at) {
                        PatchRestartPages(v, at, [](RestartPage* p) {
                            PutLe(&p->bytes, p->Area() + 0x0C, 0xFFFF, 2);
                            PutLe(&p->bytes, p->Area() + 0x0E, 0, 2);
                        });
                    },
                    MountError::kNone, "", "RSTR 1 closed"},
        // Version 2.0, left open by Windows 8 or later after a shutdown with
        // fast startup.
        VolumeState{"JournalOfANewerWindows", "vsstest",
                    [](const std::string& v, const Places& at) {
                        PatchRestartPages(v, at, [](RestartPage* p) {
                            PutLe(&p->bytes, 0x1A, 0, 2);
                            PutLe(&p->bytes, 0x1C, 2, 2);
                            PutLe(&p->bytes, p->Area() + 0x0E, p->Flags() & ~u64{2}, 2);
                        });
                    },
                    MountError::kUncleanJournal, "left open by a newer Windows (8 or later)",
                    "RSTR 2 open"},
        // Both restart pages marked by chkdsk: with the clean flag kept there
        // is nothing to replay; without it, the check did not finish.
        VolumeState{"JournalMarkedByChkdsk", "vsstest",
                    [](const std::string& v, const Places& at) {
                        PatchRestartPages(v, at,
                                          [](RestartPage* p) { p->bytes.replace(0, 4, "CHKD"); });
                    },
                    MountError::kNone, "", "CHKD 1 open clean"},
        VolumeState{"JournalMarkedByChkdskInUse", "vsstest",
                    [](const std::string& v, const Places& at) {
                        PatchRestartPages(v, at, [](RestartPage* p) {
                            p->bytes.replace(0, 4, "CHKD");
                            PutLe(&p->bytes, p->Area() + 0x0E, p->Flags() & ~u64{2}, 2);
                        });
                    },
                    MountError::kUncleanJournal,
                    "was being checked by chkdsk, which did not finish", "CHKD 1 open"},
        // Hibernation files: "hibr" as Windows XP and 7 write it, "HIBR" as
        // Windows 8 and later do; "wake" once Windows has resumed from it,
        // and zeros as it is left after a resume or a full shutdown.
        VolumeState{"HibernatedXpOr7", "vsstest", Hiberfile("hibr"), MountError::kHibernated,
                    "is hibernated", "RSTR 1 open clean"},
        VolumeState{"HibernatedNewerWindows", "vsstest", Hiberfile("HIBR"), MountError::kHibernated,
                    "is hibernated", "RSTR 1 open clean"},
        VolumeState{"ResumedFromHibernation", "vsstest", Hiberfile("wake"), MountError::kNone, "",
                    "RSTR 1 open clean"},
        VolumeState{"HibernationFileCleared", "vsstest", Hiberfile(std::string()),
                    MountError::kNone, "", "RSTR 1 open clean"}),
    [](const ::testing::TestParamInfo<VolumeState>& info) { return std::string(info.param.name); });

// A disk that fails: a read that fails is no statement about the volume, so
// the mount says the disk failed (with the disk's code and what was being
// read) rather that there is no NTFS, that it is damaged, dirty, hibernated
// or was not shut down cleanly - whether the boot sector, the library's
// metadata ($Volume's record holds the dirty bit), the hibernation file or
// the journal's restart pages cannot be read.
TEST_F(RealNtfsVolume, AReadTheDiskFailsIsSaidAsUnreadable) {
    MORLIT_REQUIRE_REALDATA();
    const std::string published = Published("vsstest");
    ASSERT_FALSE(published.empty());
    const std::string hibernated = TestDir() + "/hibernated.raw";
    ASSERT_EQ(Shell("cp --sparse=always " + Quote(published) + " " + Quote(hibernated)), 0);
    Hiberfile("hibr")(hibernated, Places{});
    const Places at = Locate(hibernated);
    std::string info;
    Shell("ntfsinfo -F hiberfil.sys -v " + Quote(hibernated), &info);
    const u64 hiberfil = at.cluster * Number(info, R"(Runlist:[^\n]*\n\s*0x0\s+(0x[0-9a-fA-F]+))");
    const struct {
        const std::string& volume;
        u64 from, to;
        const char* reason;
    } cases[] = {
        {hibernated, 0, 512, "cannot be read: its boot sector gives error 1117"},
        {hibernated, 512, ~0ull, "cannot be read: its metadata gives error 1117"},
        {hibernated, at.mft + 3 * at.record, at.mft + 4 * at.record,
         "cannot be read: its metadata gives error 1117"},
        {hibernated, hiberfil, hiberfil + 4096,
         "cannot be read: its hibernation file gives error 1117"},
        {published, at.log, at.log + 8192,
         "cannot be read: its journal ($LogFile) gives error 1117"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.from);
        u32 error = 0;
        std::string reason;
        std::unique_ptr<RawImage> image = RawImage::Open(c.volume, false, &error, &reason);
        ASSERT_TRUE(image) << reason;
        FaultyDevice device(*image);
        device.failReadsFrom = c.from;
        device.failReadsTo = c.to;
        device.refuseWrites = true;
        MountError mountError = MountError::kNone;
        std::string why;
        EXPECT_FALSE(NtfsVolume::Mount(device, 0, device.Size(), &mountError, &why));
        EXPECT_EQ(mountError, MountError::kUnreadable);
        EXPECT_EQ(why, c.reason);
    }
}

// A disk that runs out of space or fails a write: whichever write of a
// change meets it, the change fails with the disk's own code, not with a
// generic device error or damage of the volume, and what the message shows
// says why.
TEST_F(RealNtfsVolume, AChangeThatMeetsAFullOrFailingDiskFailsWithItsCode) {
    MORLIT_REQUIRE_REALDATA();
    const std::string published = Published("windows_volume");
    ASSERT_FALSE(published.empty());
    const std::string data(200000, 'x');
    int total = 0;
    // Once the writes are counted, each of them meets a full disk, then a failing one.
    for (int i = 0; i < 2 * total + 1; ++i) {
        const int from = i <= total ? i : i - total;
        const u32 fault = i <= total ? err::kDiskFull : err::kWriteFault;
        SCOPED_TRACE(testing::Message() << from << " " << fault);
        const std::string volume = TestDir() + "/volume.raw";
        ASSERT_EQ(Shell("cp --sparse=always " + Quote(published) + " " + Quote(volume)), 0);
        u32 error = 0;
        std::string reason;
        std::unique_ptr<RawImage> image =
            RawImage::Open(volume, true, &error, &reason, ImageWrites::kDirect);
        ASSERT_TRUE(image) << reason;
        FaultyDevice device(*image);
        device.failWritesFrom = from;
        device.writeError = fault;
        MountError mountError = MountError::kNone;
        std::string why;
        std::unique_ptr<NtfsVolume> mounted =
            NtfsVolume::Mount(device, 0, device.Size(), &mountError, &why);
        ASSERT_TRUE(mounted) << why;
        const u32 written = mounted->WriteFile({L"new.bin"}, data);
        mounted.reset();
        if (from == 0) {
            ASSERT_EQ(written, 0u);
            total = device.writes;
            ASSERT_GT(total, 0);
            continue;
        }
        EXPECT_EQ(written, fault);
    }
}

}  // namespace
}  // namespace morlit::posix::test
