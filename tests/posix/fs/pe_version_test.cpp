// The file version of a PE file's version resource: real files made by
// another toolchain, and a catalogue of damaged ones, each read from the end
// of a page whose next page cannot be read, so that any read past the bytes
// given ends the test.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "platform/posix/fs/pe_version.h"
#include "tests/fuzz/fuzz_util.h"

namespace morlit::posix {
namespace {

// Bytes placed right before a page that cannot be read.
class Guarded {
  public:
    explicit Guarded(const std::string& bytes) {
        const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
        pages_ = (bytes.size() + page - 1) / page * page + page;
        base_ = static_cast<u8*>(
            ::mmap(nullptr, pages_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        EXPECT_NE(base_, MAP_FAILED);
        EXPECT_EQ(::mprotect(base_ + pages_ - page, page, PROT_NONE), 0);
        data_ = base_ + pages_ - page - bytes.size();
        if (!bytes.empty()) std::memcpy(data_, bytes.data(), bytes.size());
        size_ = bytes.size();
    }
    ~Guarded() { ::munmap(base_, pages_); }
    u32 Read(PeFileVersion* out) const { return ReadPeFileVersion(data_, size_, out); }

  private:
    u8* base_ = nullptr;
    u8* data_ = nullptr;
    size_t pages_ = 0;
    size_t size_ = 0;
};

u32 Read(const std::string& bytes, PeFileVersion* out) {
    // The fuzz harness sees every case too: its own checks hold on each.
    fuzz::Fuzz_pe_version(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return Guarded(bytes).Read(out);
}

void Put16(std::string& b, size_t at, u32 v) {
    b[at] = static_cast<char>(v);
    b[at + 1] = static_cast<char>(v >> 8);
}
void Put32(std::string& b, size_t at, u32 v) {
    Put16(b, at, v & 0xFFFF);
    Put16(b, at + 2, v >> 16);
}

// Where the fields of the file below lie.
enum : size_t {
    kLfanew = 0x3C,
    kPe = 0x40,
    kSectionCount = 0x46,
    kOptionalSize = 0x54,
    kMagic = 0x58,
    kDirectoryCount = 0x58 + 92,
    kResourceRva = 0x58 + 96 + 16,
    kResourceSize = kResourceRva + 4,
    kSection = 0x58 + 0xE0,  // VirtualSize +8, address +12, raw size +16, raw offset +20
    kRsrc = 0x200,           // the resource area, at address 0x1000
    kRootCounts = kRsrc + 12,
    kTypeEntry = kRsrc + 16,
    kNameEntry = kRsrc + 0x28,
    kLanguageDir = kRsrc + 0x30,
    kLanguageEntry = kRsrc + 0x40,
    kDataEntry = kRsrc + 0x48,
    kBlock = kRsrc + 0x58,
    kBlockLength = 0x5C + 52,
};

// A PE32 file laid out as the format describes it, written here field by
// field: one .rsrc section whose tree holds RT_VERSION / 1 / 0x409 and a
// VS_VERSIONINFO block with the fixed file info of version 5.1.2600.5512.
std::string ValidFile() {
    std::string b(0x400, '\0');
    b[0] = 'M', b[1] = 'Z';
    Put32(b, kLfanew, kPe);
    b.replace(kPe, 4, std::string("PE\0\0", 4));
    Put16(b, kPe + 4, 0x14C);
    Put16(b, kSectionCount, 1);
    Put16(b, kOptionalSize, 0xE0);
    Put16(b, kMagic, 0x10B);
    Put32(b, kDirectoryCount, 16);
    Put32(b, kResourceRva, 0x1000);
    Put32(b, kResourceSize, 0x100);
    b.replace(kSection, 5, ".rsrc");
    Put32(b, kSection + 8, 0x100);
    Put32(b, kSection + 12, 0x1000);
    Put32(b, kSection + 16, 0x200);
    Put32(b, kSection + 20, kRsrc);
    // Three directories of one integer entry each, then the data entry.
    Put16(b, kRootCounts + 2, 1);
    Put32(b, kTypeEntry, 16);
    Put32(b, kTypeEntry + 4, 0x80000018);
    Put16(b, kRsrc + 0x18 + 14, 1);
    Put32(b, kNameEntry, 1);
    Put32(b, kNameEntry + 4, 0x80000030);
    Put16(b, kLanguageDir + 14, 1);
    Put32(b, kLanguageEntry, 0x409);
    Put32(b, kLanguageEntry + 4, 0x48);
    Put32(b, kDataEntry, 0x1000 + 0x58);
    Put32(b, kDataEntry + 4, kBlockLength);
    // VS_VERSIONINFO: lengths, type 0, the key, padding, VS_FIXEDFILEINFO.
    Put16(b, kBlock, kBlockLength);
    Put16(b, kBlock + 2, 52);
    const char key[] = "VS_VERSION_INFO";
    for (size_t i = 0; i < sizeof key; ++i) Put16(b, kBlock + 6 + 2 * i, static_cast<u8>(key[i]));
    Put32(b, kBlock + 0x28, 0xFEEF04BD);
    Put32(b, kBlock + 0x2C, 0x10000);
    Put32(b, kBlock + 0x30, 5u << 16 | 1);
    Put32(b, kBlock + 0x34, 2600u << 16 | 5512);
    return b;
}

TEST(PeVersionTest, ReadsTheFixedFileVersionAndEveryTruncationIsRefusedInBounds) {
    const std::string file = ValidFile();
    PeFileVersion v;
    ASSERT_EQ(Read(file, &v), 0u);
    EXPECT_EQ(v.ms, 5u << 16 | 1);
    EXPECT_EQ(v.ls, 2600u << 16 | 5512);
    // Cut anywhere before the block's end, the file is refused; after it,
    // nothing the version needs is missing.
    for (size_t n = 0; n < file.size(); ++n) {
        SCOPED_TRACE(n);
        PeFileVersion cut;
        const u32 e = Guarded(file.substr(0, n)).Read(&cut);
        if (n < kBlock + kBlockLength) {
            EXPECT_NE(e, 0u);
        } else {
            EXPECT_EQ(e, 0u);
            EXPECT_EQ(cut.ms, v.ms);
        }
    }
}

TEST(PeVersionTest, DamagedHeadersTreesAndBlocksAreRefused) {
    struct Case {
        const char* name;
        std::function<void(std::string&)> damage;
        u32 error;
    };
    const Case cases[] = {
        {"not MZ", [](std::string& b) { b[1] = 'X'; }, err::kBadExeFormat},
        {"PE header past the end", [](std::string& b) { Put32(b, kLfanew, 0xFFFFFFF0); },
         err::kBadExeFormat},
        {"PE header at the last bytes", [](std::string& b) { Put32(b, kLfanew, 0x400 - 8); },
         err::kBadExeFormat},
        {"no PE signature", [](std::string& b) { b[kPe + 1] = 'X'; }, err::kBadExeFormat},
        {"unknown optional header", [](std::string& b) { Put16(b, kMagic, 0x107); },
         err::kBadExeFormat},
        {"optional header without the resource entry",
         [](std::string& b) { Put16(b, kOptionalSize, 96 + 16); }, err::kBadExeFormat},
        {"optional header past the end", [](std::string& b) { Put16(b, kOptionalSize, 0xFFFF); },
         err::kBadExeFormat},
        {"no sections", [](std::string& b) { Put16(b, kSectionCount, 0); }, err::kBadExeFormat},
        {"more sections than the loader takes", [](std::string& b) { Put16(b, kSectionCount, 97); },
         err::kBadExeFormat},
        {"section table past the end", [](std::string& b) { Put16(b, kSectionCount, 40); },
         err::kBadExeFormat},
        {"two data directories only", [](std::string& b) { Put32(b, kDirectoryCount, 2); },
         err::kResourceTypeNotFound},
        {"no resources", [](std::string& b) { Put32(b, kResourceRva, 0); },
         err::kResourceTypeNotFound},
        {"resources in no section", [](std::string& b) { Put32(b, kResourceRva, 0x5000); },
         err::kResourceDataNotFound},
        {"section data past the end", [](std::string& b) { Put32(b, kSection + 20, 0x7FFFFFFF); },
         err::kResourceDataNotFound},
        {"section data cut by the end of the file",
         [](std::string& b) { Put32(b, kSection + 20, 0x3FC); }, err::kResourceDataNotFound},
        {"huge entry counts",
         [](std::string& b) {
             Put16(b, kRootCounts, 0xFFFF);
             Put16(b, kRootCounts + 2, 0xFFFF);
         },
         err::kResourceDataNotFound},
        {"no version type", [](std::string& b) { Put32(b, kTypeEntry, 3); },
         err::kResourceTypeNotFound},
        {"no version name", [](std::string& b) { Put32(b, kNameEntry, 2); },
         err::kResourceNameNotFound},
        {"no language", [](std::string& b) { Put16(b, kLanguageDir + 14, 0); },
         err::kResourceLangNotFound},
        {"type entry is data", [](std::string& b) { Put32(b, kTypeEntry + 4, 0x18); },
         err::kResourceDataNotFound},
        {"subdirectory past the area", [](std::string& b) { Put32(b, kTypeEntry + 4, 0xFFFFFFF0); },
         err::kResourceDataNotFound},
        {"name level loops to the root",
         [](std::string& b) { Put32(b, kTypeEntry + 4, 0x80000000); }, err::kResourceNameNotFound},
        {"root holds both ids and loops to itself",
         [](std::string& b) {
             // Two entries at the root, 1 then 16, both back to the root: the
             // walk ends at its third level on an entry that is no data.
             Put16(b, kRootCounts + 2, 2);
             Put32(b, kTypeEntry, 1);
             Put32(b, kTypeEntry + 4, 0x80000000);
             Put32(b, kTypeEntry + 8, 16);
             Put32(b, kTypeEntry + 12, 0x80000000);
         },
         err::kResourceDataNotFound},
        {"language entry is a directory",
         [](std::string& b) { Put32(b, kLanguageEntry + 4, 0x80000030); },
         err::kResourceDataNotFound},
        {"data entry past the area", [](std::string& b) { Put32(b, kLanguageEntry + 4, 0x1FC); },
         err::kResourceDataNotFound},
        {"block in no section", [](std::string& b) { Put32(b, kDataEntry, 0x8000); },
         err::kResourceDataNotFound},
        {"block longer than its section",
         [](std::string& b) { Put32(b, kDataEntry + 4, 0xFFFFFFFF); }, err::kResourceDataNotFound},
        {"block length past its size", [](std::string& b) { Put16(b, kBlock, kBlockLength + 4); },
         err::kResourceDataNotFound},
        {"block too short for the fixed info", [](std::string& b) { Put16(b, kBlock, 0x40); },
         err::kResourceDataNotFound},
        {"value shorter than the fixed info", [](std::string& b) { Put16(b, kBlock + 2, 0); },
         err::kResourceDataNotFound},
        {"another key", [](std::string& b) { Put16(b, kBlock + 8, 'X'); },
         err::kResourceDataNotFound},
        {"no signature", [](std::string& b) { Put32(b, kBlock + 0x28, 0); },
         err::kResourceDataNotFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string file = ValidFile();
        c.damage(file);
        PeFileVersion v;
        EXPECT_EQ(Read(file, &v), c.error);
    }
}

// Every PE file Wine installs (made by another toolchain, PE32+): the version
// read through the resource tree is the one fixed file info that a plain
// search for its signature finds in the file. (Some of Wine's files have a
// FileVersion string that differs from their fixed info; Windows gives the
// fixed info, so that is what is compared.)
TEST(PeVersionTest, WinesOwnFilesReadAsTheirOnlyFixedFileInfoSays) {
    const std::filesystem::path dir = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows";
    if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "Wine's PE files are not installed";
    int compared = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".dll" && entry.path().extension() != ".exe") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        const std::string data = bytes.str();
        const std::string signature("\xBD\x04\xEF\xFE", 4);
        const size_t at = data.find(signature);
        if (at == std::string::npos || data.find(signature, at + 1) != std::string::npos ||
            at + 16 > data.size())
            continue;
        SCOPED_TRACE(name);
        const auto* p = reinterpret_cast<const uint8_t*>(data.data());
        PeFileVersion v;
        ASSERT_EQ(ReadPeFileVersion(p, data.size(), &v), 0u);
        EXPECT_EQ(v.ms, fuzz::Le32(p + at + 8));
        EXPECT_EQ(v.ls, fuzz::Le32(p + at + 12));
        if (name == "ntoskrnl.exe") {
            EXPECT_EQ(v.ms, 6u << 16 | 1);  // its FileVersion string: 6.1.7601.21863
            EXPECT_EQ(v.ls, 7601u << 16 | 21863);
        }
        ++compared;
    }
    EXPECT_GT(compared, 100);
}

}  // namespace
}  // namespace morlit::posix
