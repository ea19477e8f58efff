// The expand stand-in on cabinets that other projects publish (libmspack's
// and cabextract's test suites), each member against what cabextract makes
// of it, and a large member written in pieces.
#include <gtest/gtest.h>
#include <mspack.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/posix/posix_codepage.h"
#include "platform/posix/posix_system.h"
#include "platform/posix/programs/expand_tool.h"
#include "tests/posix/programs/expand_fixture.h"
#include "tests/posix/realdata.h"

namespace morlit::posix {
namespace {

namespace fs = std::filesystem;

// cabextract's verdict on one member: its exit status and what it wrote.
struct Verdict {
    bool ok = false;
    std::string bytes;
};

Verdict Cabextract(const fs::path& cabinet, const std::string& utf8Name) {
    // -F takes a pattern: the name's own pattern characters are escaped.
    std::string pattern;
    for (char c : utf8Name) {
        if (c == '*' || c == '?' || c == '[' || c == '\\') pattern += '\\';
        pattern += c;
    }
    const std::string command = "timeout 60 cabextract -q -p -e CP932 -F " + Quote(pattern) + " " +
                                Quote(cabinet.string()) + " 2>/dev/null";
    Verdict v;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return v;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) v.bytes.append(buffer, n);
    const int status = pclose(p);
    v.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return v;
}

struct Member {
    std::wstring name;
    bool utf8 = false;
};

// The members as libmspack lists them when the cabinet is opened at the
// file's start, as expand opens it; none when it does not open so.
std::vector<Member> ListMembers(const fs::path& cabinet, ICodePage& cp) {
    std::vector<Member> out;
    mscab_decompressor* d = mspack_create_cab_decompressor(nullptr);
    if (!d) return out;
    if (mscabd_cabinet* cab = d->open(d, const_cast<char*>(cabinet.c_str()))) {
        for (const mscabd_file* f = cab->files; f; f = f->next) {
            const std::string raw = f->filename ? f->filename : "";
            const bool utf8 = (f->attribs & MSCAB_ATTRIB_UTF_NAME) != 0;
            out.push_back({CabinetMemberName(raw, utf8, &cp), utf8});
        }
        d->close(d, cab);
    }
    mspack_destroy_cab_decompressor(d);
    return out;
}

bool IsPlain(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L"..") return false;
    for (wchar_t c : name) {
        if (c < 0x20 || std::wstring(L"\\/:*?\"<>|").find(c) != std::wstring::npos) return false;
    }
    return true;
}

std::wstring Upper(std::wstring s) {
    for (auto& c : s) c = static_cast<wchar_t>(std::towupper(c));
    return s;
}

bool Printable(const std::string& line) {
    for (unsigned char c : line) {
        if (c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

class ExpandRealCabinets : public ExpandFixture {
  protected:
    void SetUp() override {
        MORLIT_REQUIRE_REALDATA();
        ExpandFixture::SetUp();
        fs::create_directories(root_ / "out");
        files_.Map(L'D', root_.string());
    }

    // Every published cabinet, each alone in a folder of its own, so that
    // cabextract does not join a cabinet of a set with its neighbours.
    std::vector<fs::path> Cabinets() {
        std::vector<fs::path> out;
        const fs::path cabs = fs::path(test::RealDataDir()) / "cabs";
        for (const auto& e : fs::directory_iterator(cabs)) {
            const std::string file = e.path().filename().string();
            const std::string stem = file.substr(0, file.find('.'));
            if (file.size() > 7 && file.compare(file.size() - 7, 7, ".cab.xz") == 0) {
                fs::create_directories(root_ / stem);
                EXPECT_TRUE(test::UnpackRealData("cabs/" + file.substr(0, file.size() - 3),
                                                 (root_ / stem).string(), stem + ".cab"));
                out.push_back(root_ / stem / (stem + ".cab"));
            } else if (file == "split-set.tar.xz") {
                const fs::path set = root_ / "set";
                fs::create_directories(set);
                const std::string command =
                    "tar -xJf " + Quote(e.path().string()) + " -C " + Quote(set.string());
                EXPECT_EQ(std::system(command.c_str()), 0);
                for (const auto& c : fs::directory_iterator(set)) {
                    const fs::path alone = root_ / c.path().stem();
                    fs::create_directories(alone);
                    fs::rename(c.path(), alone / c.path().filename());
                    out.push_back(alone / c.path().filename());
                }
            }
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    std::wstring OnD(const fs::path& host) const {
        std::wstring rel = fs::relative(host, root_).wstring();
        for (auto& c : rel) c = c == L'/' ? L'\\' : c;
        return L"D:\\" + rel;
    }

    u32 Expand(const fs::path& cabinet, const std::wstring& member) {
        reason_.clear();
        return RunExpandTool(files_, L"\"" + OnD(cabinet) + L"\" -F:" + member + L" \"D:\\out\"",
                             &reason_, &cp_);
    }

    ThreadErrors errors_;
    PosixCodePage cp_{errors_};
};

TEST_F(ExpandRealCabinets, EveryMemberEndsAsCabextractEndsIt) {
    const std::vector<fs::path> cabinets = Cabinets();
    ASSERT_GE(cabinets.size(), 20u);
    size_t same = 0, refused = 0, unopened = 0;
    for (const fs::path& cabinet : cabinets) {
        SCOPED_TRACE(cabinet.filename().string());
        const std::vector<Member> members = ListMembers(cabinet, cp_);
        if (members.empty()) {
            // Not a cabinet at the file's start (one embedded after other
            // bytes, or a damaged header): expand refuses it, whatever a
            // search through the file would find.
            EXPECT_NE(Expand(cabinet, L"any"), 0u);
            EXPECT_TRUE(Printable(reason_)) << reason_;
            ++unopened;
            continue;
        }
        std::map<std::wstring, int> uses;
        for (const Member& m : members) ++uses[Upper(m.name)];
        for (const Member& m : members) {
            SCOPED_TRACE(ToUtf8(m.name));
            const fs::path out = root_ / "out" / fs::path(ToUtf8(m.name)).filename();
            if (!IsPlain(m.name)) {
                // A name with a folder part (or one that is no name) is
                // refused rather than placed, by what follows its last
                // separator, unless that is another member's own name.
                const std::wstring last = m.name.substr(m.name.find_last_of(L"\\/") + 1);
                if (!IsPlain(last) || uses.count(Upper(last))) continue;
                EXPECT_EQ(Expand(cabinet, last), err::kInvalidName) << reason_;
                EXPECT_TRUE(Printable(reason_)) << reason_;
                ++refused;
                continue;
            }
            // -F takes the first of equal names, cabextract all of them.
            if (uses[Upper(m.name)] > 1) continue;
            if (m.name.find(L'\xFFFD') != std::wstring::npos) {
                // Invalid UTF-8, read as Windows reads it: each bad byte a
                // U+FFFD, never a NUL or a separator. cabextract reads such
                // names its own way, so only the outcome is checked.
                EXPECT_EQ(Expand(cabinet, m.name), 0u) << reason_;
                EXPECT_TRUE(fs::exists(out));
                fs::remove(out);
                continue;
            }
            Spit(root_ / "out" / ToUtf8(m.name), "old");
            const Verdict theirs = Cabextract(cabinet, ToUtf8(m.name));
            const u32 code = Expand(cabinet, m.name);
            const std::string now = Slurp(root_ / "out" / ToUtf8(m.name));
            if (theirs.ok) {
                EXPECT_EQ(code, 0u) << reason_;
                EXPECT_TRUE(now == theirs.bytes) << now.size() << " vs " << theirs.bytes.size();
                ++same;
            } else {
                EXPECT_NE(code, 0u);
                EXPECT_EQ(now, "old");
                EXPECT_FALSE(reason_.empty());
                EXPECT_TRUE(Printable(reason_)) << reason_;
                ++refused;
            }
            fs::remove(out);
        }
    }
    // The published set holds members of each kind.
    EXPECT_GE(same, 15u);
    EXPECT_GE(refused, 15u);
    EXPECT_GE(unopened, 1u);
}

TEST_F(ExpandRealCabinets, NamesAndSetsAreReadAsWindowsReadsThem) {
    const std::vector<fs::path> cabinets = Cabinets();
    const auto find = [&](const std::string& name) {
        for (const auto& c : cabinets)
            if (c.filename() == name) return c;
        return fs::path();
    };
    // A Shift-JIS name whose second byte is 0x5C (a backslash in Latin-1)
    // is one katakana, not a folder part.
    const std::wstring katakana =
        L"\u30A2\u30A4\u30A6\u30A8\u30AA\u30AB\u30AD\u30AF\u30B1\u30B3\u30B5\u30B7\u30B9\u30BB"
        L"\u30BD";
    const fs::path sjis = find("encoding-sjis.cab");
    bool seen = false;
    for (const Member& m : ListMembers(sjis, cp_)) {
        if (m.name.compare(0, katakana.size(), katakana) != 0) continue;
        seen = true;
        EXPECT_EQ(Expand(sjis, m.name), 0u) << reason_;
        EXPECT_TRUE(fs::exists(root_ / "out" / ToUtf8(m.name)));
    }
    EXPECT_TRUE(seen);

    // A member that continues in a neighbour of its set is refused naming
    // that neighbour; one wholly in the cabinet is taken.
    const fs::path first = find("split-1.cab");
    EXPECT_EQ(Expand(first, L"small1.bin"), 0u) << reason_;
    EXPECT_NE(Expand(first, L"small2.bin"), 0u);
    EXPECT_NE(reason_.find("continues in the next cabinet of its set (Split-2.CAB)"),
              std::string::npos)
        << reason_;
    EXPECT_NE(Expand(find("split-2.cab"), L"small2.bin"), 0u);
    EXPECT_NE(reason_.find("continues from the previous cabinet of its set (Split-1.CAB)"),
              std::string::npos)
        << reason_;

    // Invalid UTF-8 names (overlong slashes and NULs) reach no message as
    // a control character or a folder part.
    const fs::path dirwalk = find("dirwalk-vulns.cab");
    for (const Member& m : ListMembers(dirwalk, cp_)) {
        if (!m.utf8) continue;
        Expand(dirwalk, L"x\u00FF");
        EXPECT_TRUE(Printable(reason_)) << reason_;
    }
    EXPECT_NE(Expand(dirwalk, L"\x01"), 0u);
    EXPECT_TRUE(Printable(reason_)) << reason_;
}

// A counting file access: how the destination was written.
class CountingFiles : public FolderFileAccess {
  public:
    u32 WriteFile(const std::wstring& path, const std::string& data) override {
        ++whole;
        largest = std::max(largest, data.size());
        return FolderFileAccess::WriteFile(path, data);
    }
    u32 PatchFile(const std::wstring& path, const std::vector<FilePatch>& patches,
                  u64 size) override {
        ++patches_;
        for (const auto& p : patches) largest = std::max(largest, p.data.size());
        if (refusePatches) return err::kNotSupported;
        return FolderFileAccess::PatchFile(path, patches, size);
    }
    int whole = 0;
    int patches_ = 0;
    size_t largest = 0;
    bool refusePatches = false;
};

TEST(ExpandLargeMember, IsCheckedWholeThenWrittenInPieces) {
    const fs::path root = fs::path(MORLIT_BINARY_DIR) / "test-work" / "ExpandLargeMember";
    fs::remove_all(root);
    fs::create_directories(root / "out");
    // 20 MiB that no run of bytes repeats in, stored in a cabinet.
    std::string big(20u << 20, '\0');
    u32 x = 12345;
    for (char& c : big) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    Spit(root / "big.bin", big);
    const std::string make =
        "python3 " + Quote(std::string(MORLIT_SOURCE_DIR) + "/tools/make_cab.py") + " --stored " +
        Quote((root / "big.cab").string()) + " big.bin=" + Quote((root / "big.bin").string());
    ASSERT_EQ(std::system(make.c_str()), 0);
    std::string cab = Slurp(root / "big.cab");
    // The same cabinet with one byte in its last block changed: its
    // checksum fails only after most of the member has been decoded.
    std::string damaged = cab;
    damaged[damaged.size() - 100] ^= 0x55;
    Spit(root / "damaged.cab", damaged);

    CountingFiles files;
    files.Map(L'D', root.string());
    std::string reason;
    ClearExpandCache();
    Spit(root / "out" / "big.bin", "old");
    EXPECT_NE(RunExpandTool(files, L"D:\\damaged.cab -F:big.bin D:\\out", &reason), 0u);
    EXPECT_NE(reason.find("checksum"), std::string::npos) << reason;
    EXPECT_EQ(Slurp(root / "out" / "big.bin"), "old");
    EXPECT_EQ(files.whole + files.patches_, 0);

    ASSERT_EQ(RunExpandTool(files, L"D:\\big.cab -F:big.bin D:\\out", &reason), 0u) << reason;
    EXPECT_TRUE(Slurp(root / "out" / "big.bin") == big);
    EXPECT_EQ(files.whole, 1);
    EXPECT_GE(files.patches_, 4);
    EXPECT_LE(files.largest, 4u << 20);

    // The single-file form takes the same way.
    files.whole = files.patches_ = 0;
    ASSERT_EQ(RunExpandTool(files, L"D:\\big.cab D:\\out\\single.bin", &reason), 0u) << reason;
    EXPECT_TRUE(Slurp(root / "out" / "single.bin") == big);
    EXPECT_GE(files.patches_, 4);

    // Where the file system cannot add to a file in place, it is written
    // whole after all.
    files.refusePatches = true;
    ASSERT_EQ(RunExpandTool(files, L"D:\\big.cab -F:big.bin D:\\out", &reason), 0u) << reason;
    EXPECT_TRUE(Slurp(root / "out" / "big.bin") == big);
    ClearExpandCache();
    fs::remove_all(root);
}

}  // namespace
}  // namespace morlit::posix
