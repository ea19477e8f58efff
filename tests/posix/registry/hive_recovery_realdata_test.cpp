// Recovery of hives that Windows left dirty, with the logs it wrote, checked
// against what Windows itself recovered from them where that is published.
// These catch what logs written by our own tools cannot: a constant or a
// rule that the writer and the reader get wrong the same way.
#include <hivex.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "platform/constants.h"
#include "platform/posix/registry/hive_check.h"
#include "platform/posix/registry/hive_format.h"
#include "platform/posix/registry/hive_recovery.h"
#include "tests/posix/hive_fixture.h"
#include "tests/posix/realdata.h"
#include "tools/hive/hive_log_writer.h"

namespace morlit::posix::test {
namespace {

class RealHiveRecoveryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        MORLIT_REQUIRE_REALDATA();
        char dir[] = "/tmp/morlit-realhive-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        folder = dir;
    }
    void TearDown() override {
        if (folder.empty()) return;
        const std::string cmd = "rm -rf '" + folder + "'";
        if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot remove " << folder;
    }

    // A compressed file of realdata/hives, decompressed into our folder.
    std::string Unpacked(const std::string& relative) {
        const std::string name = relative.substr(relative.rfind('/') + 1);
        EXPECT_TRUE(UnpackRealData("hives/" + relative, folder, name)) << relative;
        return ReadHostFile(folder + "/" + name);
    }
    // yarp's hives are stored as they are; read in place, never written.
    std::string Yarp(const std::string& relative) {
        const std::string data = ReadHostFile(RealDataDir() + "/hives/yarp/" + relative);
        EXPECT_FALSE(data.empty()) << relative;
        return data;
    }
    static std::vector<HiveLog> Logs(std::vector<std::pair<std::string, std::string>> named) {
        std::vector<HiveLog> logs;
        for (auto& [name, data] : named) logs.push_back({name, std::move(data)});
        return logs;
    }

    // Every key and value of a hive as hivex reads it: one line per key
    // (its path) and per value (path, name, type and bytes in hex). Empty
    // when hivex refuses the hive.
    std::map<std::string, std::string> Tree(const std::string& data) {
        const std::string path = folder + "/tree-" + std::to_string(trees++);
        WriteHostFile(path, data);
        std::map<std::string, std::string> out;
        hive_h* h = hivex_open(path.c_str(), 0);
        if (!h) return out;
        Walk(h, hivex_root(h), "", &out);
        hivex_close(h);
        return out;
    }
    static void Walk(hive_h* h, hive_node_h node, const std::string& path,
                     std::map<std::string, std::string>* out) {
        (*out)[path] = "key";
        if (hive_value_h* values = hivex_node_values(h, node)) {
            for (size_t i = 0; values[i]; ++i) {
                char* name = hivex_value_key(h, values[i]);
                hive_type type;
                size_t length = 0;
                char* bytes = hivex_value_value(h, values[i], &type, &length);
                std::string hex = std::to_string(type) + ":";
                for (size_t k = 0; bytes && k < length; ++k) {
                    char pair[3];
                    std::snprintf(pair, sizeof pair, "%02x", static_cast<u8>(bytes[k]));
                    hex += pair;
                }
                (*out)[path + " :: " + (name ? name : "?")] = hex;
                std::free(bytes);
                std::free(name);
            }
            std::free(values);
        }
        if (hive_node_h* children = hivex_node_children(h, node)) {
            for (size_t i = 0; children[i]; ++i) {
                char* name = hivex_node_name(h, children[i]);
                Walk(h, children[i], path + "\\" + (name ? name : "?"), out);
                std::free(name);
            }
            std::free(children);
        }
    }
    // The trees must be equal; names the first difference.
    void ExpectSameTree(const std::string& got, const std::string& windows) {
        const auto a = Tree(got), b = Tree(windows);
        ASSERT_FALSE(a.empty()) << "hivex refuses the recovered hive";
        ASSERT_FALSE(b.empty());
        EXPECT_EQ(a.size(), b.size());
        for (const auto& [key, value] : b) {
            const auto it = a.find(key);
            if (it == a.end()) {
                ADD_FAILURE() << "missing after recovery: " << key;
                return;
            }
            if (it->second != value) {
                ADD_FAILURE() << "differs after recovery: " << key;
                return;
            }
        }
    }
    static void ExpectClean(const std::string& hive, u32 sequence) {
        EXPECT_EQ(hive::Get32(hive, hive::kPrimarySequenceAt), sequence);
        EXPECT_EQ(hive::Get32(hive, hive::kSecondarySequenceAt), sequence);
        EXPECT_EQ(hive::Get32(hive, hive::kFileTypeAt), hive::kFileTypePrimary);
        EXPECT_TRUE(hive::ChecksumValid(hive));
        EXPECT_EQ(HiveFault(hive), "");
    }

    std::string folder;
    int trees = 0;
};

// The seed the writer takes from the format description checks the first
// entry of real logs; the same bytes in the other order check none.
TEST_F(RealHiveRecoveryTest, TheDescribedSeedChecksRealLogEntriesAndItsReversalDoesNot) {
    const u64 seed = tools::LogEntrySeed();
    const u64 reversed = __builtin_bswap64(seed);
    for (const std::string& log : {Unpacked("SYSTEM_B.LOG1"), Unpacked("SYSTEM_B.LOG2"),
                                   Yarp("NewDirtyHive1/NewDirtyHive.LOG1")}) {
        const size_t at = hive::kSector;
        ASSERT_EQ(log.compare(at, 4, "HvLE"), 0);
        const u32 size = hive::Get32(log, at + 4);
        ASSERT_LE(at + size, log.size());
        const std::string entry = log.substr(at, size);
        const u64 hash1 = hive::Get64(entry, 24), hash2 = hive::Get64(entry, 32);
        EXPECT_EQ(tools::LogMarvin32(entry.substr(40), seed), hash1);
        EXPECT_EQ(tools::LogMarvin32(entry.substr(0, 32), seed), hash2);
        EXPECT_NE(tools::LogMarvin32(entry.substr(40), reversed), hash1);
        EXPECT_NE(tools::LogMarvin32(entry.substr(0, 32), reversed), hash2);
    }
    EXPECT_EQ(hive::kLogEntrySeed, seed);
}

TEST_F(RealHiveRecoveryTest, NewFormatLogsRecoverWhatWindowsRecovered) {
    // Windows 10 recovered this one itself: the hive bins it wrote back are
    // byte for byte those of the replay (its base block differs: Windows
    // wrote the hive again afterwards).
    std::string hive = Yarp("NewDirtyHive1/NewDirtyHive");
    const std::string windows = Yarp("NewDirtyHive1/RecoveredHive_Windows10");
    HiveRecovery r =
        RecoverHive("NewDirtyHive", &hive,
                    Logs({{"NewDirtyHive.LOG1", Yarp("NewDirtyHive1/NewDirtyHive.LOG1")},
                          {"NewDirtyHive.LOG2", Yarp("NewDirtyHive1/NewDirtyHive.LOG2")}}));
    ASSERT_EQ(r.state, HiveState::kRecovered) << r.line;
    EXPECT_EQ(r.line,
              "NewDirtyHive hive: recovered 4 log entries from NewDirtyHive.LOG1 and "
              "NewDirtyHive.LOG2");
    ExpectClean(hive, 5);
    EXPECT_TRUE(hive.compare(hive::kBaseBlockSize, std::string::npos, windows, hive::kBaseBlockSize,
                             std::string::npos) == 0);
    ExpectSameTree(hive, windows);

    // Either log may hold the earlier round: under each other's names the
    // same logs recover the same hive.
    std::string swapped = Yarp("NewDirtyHive1/NewDirtyHive");
    r = RecoverHive("NewDirtyHive", &swapped,
                    Logs({{"NewDirtyHive.LOG1", Yarp("NewDirtyHive1/NewDirtyHive.LOG2")},
                          {"NewDirtyHive.LOG2", Yarp("NewDirtyHive1/NewDirtyHive.LOG1")}}));
    ASSERT_EQ(r.state, HiveState::kRecovered) << r.line;
    EXPECT_TRUE(swapped == hive);

    // Its second state: the hive already holds the first log's entry.
    hive = Unpacked("more/yarp_NewDirtyHive2");
    r = RecoverHive("NewDirtyHive2", &hive,
                    Logs({{"LOG1", Unpacked("more/yarp_NewDirtyHive2.LOG1")},
                          {"LOG2", Unpacked("more/yarp_NewDirtyHive2.LOG2")}}));
    ASSERT_EQ(r.state, HiveState::kRecovered) << r.line;
    EXPECT_EQ(r.line, "NewDirtyHive2 hive: recovered 3 log entries from LOG2");
    ExpectClean(hive, 5);
    EXPECT_FALSE(Tree(hive).empty());
}

TEST_F(RealHiveRecoveryTest, OldFormatLogsRecoverWhatWindowsRecoveredEvenWithATornBaseBlock) {
    std::string hive = Yarp("OldDirtyHive/OldDirtyHive");
    const std::string log = Yarp("OldDirtyHive/OldDirtyHive.LOG1");
    HiveRecovery r = RecoverHive("OldDirtyHive", &hive, Logs({{"OldDirtyHive.LOG1", log}}));
    ASSERT_EQ(r.state, HiveState::kRecovered) << r.line;
    EXPECT_EQ(r.line, "OldDirtyHive hive: recovered 64 dirty pages from OldDirtyHive.LOG1");
    ExpectClean(hive, 5);
    ExpectSameTree(hive, Yarp("OldDirtyHive/RecoveredHive_Windows7"));

    // The same hive with its first sector torn: the primary's checksum fails
    // and its first hive bin is older than the log. The log's own base block
    // takes its place, with the minor version 3 the torn copy lost.
    std::string torn = Unpacked("more/yarp_BadBaseBlockHive");
    const std::string tornLog = Unpacked("more/yarp_BadBaseBlockHive.LOG1");
    ASSERT_FALSE(hive::ChecksumValid(torn));
    hive = torn;
    r = RecoverHive("BadBaseBlockHive", &hive, Logs({{"BadBaseBlockHive.LOG1", tornLog}}));
    ASSERT_EQ(r.state, HiveState::kRecovered) << r.line;
    EXPECT_EQ(r.line, "BadBaseBlockHive hive: recovered 64 dirty pages from BadBaseBlockHive.LOG1");
    ExpectClean(hive, 5);
    EXPECT_EQ(hive::Get32(hive, 24), 3u);
    const auto tree = Tree(hive);
    EXPECT_EQ(tree.count("\\key_with_many_subkeys"), 1u);

    // A log written before the first hive bin was cannot be this hive's.
    std::string older = tornLog;
    const u64 binTime = hive::Get64(torn, hive::kBaseBlockSize + hive::kBinTimestampAt);
    tools::SetLastWritten(&older, binTime - 1);
    hive = torn;
    r = RecoverHive("BadBaseBlockHive", &hive, Logs({{"BadBaseBlockHive.LOG1", older}}));
    EXPECT_EQ(r.state, HiveState::kRefused);
    EXPECT_NE(r.line.find("(bad base block checksum): BadBaseBlockHive.LOG1 was written for "
                          "another state of the hive"),
              std::string::npos)
        << r.line;
    EXPECT_EQ(hive, torn);
}

TEST_F(RealHiveRecoveryTest, DamagedRealLogsAreRefusedWithTheirReason) {
    std::string hive = Unpacked("more/yarp_BadLogHive1");
    const std::string before1 = hive;
    HiveRecovery r =
        RecoverHive("BadLogHive1", &hive, Logs({{"LOG1", Unpacked("more/yarp_BadLogHive1.LOG1")}}));
    EXPECT_EQ(r.state, HiveState::kRefused);
    EXPECT_EQ(r.line,
              "BadLogHive1 hive is dirty and no log recovers it: LOG1: its base block has a bad "
              "checksum");
    EXPECT_EQ(hive, before1);

    hive = Unpacked("more/yarp_BadLogHive3");
    const std::string before3 = hive;
    r = RecoverHive("BadLogHive3", &hive,
                    Logs({{"LOG1", Unpacked("more/yarp_BadLogHive3.LOG1")},
                          {"LOG2", Unpacked("more/yarp_BadLogHive3.LOG2")}}));
    EXPECT_EQ(r.state, HiveState::kRefused);
    EXPECT_EQ(r.line,
              "BadLogHive3 hive is dirty and no log recovers it: LOG1: its base block has a bad "
              "checksum; LOG2: its base block has a bad checksum");
    EXPECT_EQ(hive, before3);

    // Its second log's base block claims a later round than its entries.
    std::string renumbered = Unpacked("more/yarp_NewDirtyHive2.LOG2");
    tools::SetSequences(&renumbered, 4, 4);
    hive = Unpacked("more/yarp_NewDirtyHive2");
    r = RecoverHive(
        "NewDirtyHive2", &hive,
        Logs({{"LOG1", Unpacked("more/yarp_NewDirtyHive2.LOG1")}, {"LOG2", renumbered}}));
    EXPECT_EQ(r.line,
              "NewDirtyHive2 hive is dirty and no log recovers it: LOG1: its entries start at "
              "sequence number 2, below the hive's secondary sequence number 3; LOG2: its first "
              "entry has sequence number 3, not its base block's 4");

    // A torn hive's log whose dirty-page bitmap lost its signature.
    const std::string torn = Unpacked("more/yarp_BadBaseBlockHive");
    std::string noBitmap = Unpacked("more/yarp_BadBaseBlockHive.LOG1");
    noBitmap.replace(hive::kSector, 4, "xxxx");
    hive = torn;
    r = RecoverHive("BadBaseBlockHive", &hive, Logs({{"LOG1", noBitmap}}));
    EXPECT_EQ(r.state, HiveState::kRefused);
    EXPECT_EQ(r.line,
              "BadBaseBlockHive hive is dirty and no log recovers it (bad base block checksum): "
              "LOG1 has no dirty page bitmap");
    EXPECT_EQ(hive, torn);
}

// A Windows 10 SYSTEM hive whose logs hold entries 2107 to 2130 over both
// files, several growing the hive bins: loaded through the service as a
// run loads it, and written back clean.
class RealSystemHiveTest : public HiveTest {};

TEST_F(RealSystemHiveTest, ADirtyWindows10HiveLoadsFromItsLogsAndIsWrittenBackClean) {
    MORLIT_REQUIRE_REALDATA();
    const std::string config = root + "/vol/Windows/system32/config";
    ASSERT_TRUE(UnpackRealData("hives/SYSTEM_B", config, "SYSTEM"));
    ASSERT_TRUE(UnpackRealData("hives/SYSTEM_B.LOG1", config, "SYSTEM.LOG1"));
    ASSERT_TRUE(UnpackRealData("hives/SYSTEM_B.LOG2", config, "SYSTEM.LOG2"));
    std::vector<std::string> lines;
    registry->SetDiagnostic([&](const std::string& line) { lines.push_back(line); });
    ASSERT_EQ(Load(), 0u) << (lines.empty() ? "" : lines.back());
    EXPECT_EQ(lines, std::vector<std::string>{
                         "system hive: recovered 24 log entries from system.LOG1 and system.LOG2"});
    RegKey key = 0;
    ASSERT_EQ(registry->RegOpenKeyEx(kHKeyLocalMachine, L"VirtualPC\\Select", 0, kKeyRead, &key),
              0u);
    registry->RegCloseKey(key);
    std::string why;
    ASSERT_EQ(registry->CommitToVolume(&why), 0u) << why;
    ASSERT_EQ(registry->RegUnLoadKey(kHKeyLocalMachine, L"VirtualPC"), 0u);

    const std::string written = ReadHostFile(config + "/SYSTEM");
    // Past the last entry replayed: written again after the recovery.
    EXPECT_GE(hive::Get32(written, hive::kPrimarySequenceAt), 2130u);
    EXPECT_EQ(hive::Get32(written, hive::kPrimarySequenceAt),
              hive::Get32(written, hive::kSecondarySequenceAt));
    EXPECT_TRUE(hive::ChecksumValid(written));
    EXPECT_EQ(hive::Get32(written, hive::kBinsSizeAt), 0xc02000u);
    EXPECT_EQ(HiveFault(written), "");
    HiveReader reader(config + "/SYSTEM");
    EXPECT_TRUE(reader.HasKey("ControlSet001\\Control"));

    // The same hive when the disk fails the read of its second log: the
    // first alone would recover 4 of the 24 entries, so the hive is refused
    // with the read.
    ASSERT_TRUE(UnpackRealData("hives/SYSTEM_B", config, "SYSTEM"));
    FailingReadFiles failing;
    failing.Map(L'E', root + "/vol");
    failing.failReadOf = L".LOG2";
    registry = std::make_unique<PosixRegistry>(failing, errors);
    EXPECT_EQ(Load(), err::kReadFault);
    EXPECT_FALSE(registry->Loaded());
    registry.reset();
}

}  // namespace
}  // namespace morlit::posix::test
