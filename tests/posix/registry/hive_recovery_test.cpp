// Dirty hives: replayed from logs written by tools/hive from the format
// description, refused untouched when no log recovers them, and written back
// whole and consistent. Each result is read back with hivex.
#include <map>
#include <string>

#include "platform/constants.h"
#include "platform/posix/registry/hive_format.h"
#include "tests/posix/hive_fixture.h"
#include "tools/hive/hive_log_writer.h"

namespace morlit::posix::test {
namespace {

using tools::NewFormatEntry;
using tools::NewFormatLog;
using tools::OldFormatLog;

const char* const kPci = "ControlSet001\\Enum\\PCI\\VEN_8086&DEV_7111\\Recovered";
const char* const kStorage = "ControlSet001\\Enum\\STORAGE\\Volume\\Recovered";
const char* const kRoot = "ControlSet001\\Enum\\Root\\Recovered";

TEST(Marvin32Test, MatchesThePublishedVectorsInBothImplementations) {
    const u64 seed = 0x004FB61A001BDBCCull;
    const std::string data("\xab\x42\x7e\xa8\xd1\x0f\xc7", 7);
    const u64 expected[] = {0x30ED35C100CD3C7Dull, 0x48E73FC77D75DDC1ull, 0xB5F6E1FC485DBFF8ull,
                            0xF0B07C789B8CF7E8ull, 0x7008F2E87E9CF556ull};
    const char* inputs[] = {"", "\xaf", "\xe7\x0f", "\x37\xf4\x95", "\x86\x42\xdc\x59"};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(hive::Marvin32(inputs[i], i, seed), expected[i]) << i;
        EXPECT_EQ(tools::LogMarvin32(std::string(inputs[i], i), seed), expected[i]) << i;
    }
    EXPECT_EQ(hive::Marvin32(data.data(), data.size(), seed), 0xE11847E4F0678C41ull);
}

class HiveRecoveryTest : public HiveTest {
  protected:
    void SetUp() override {
        HiveTest::SetUp();
        registry->SetDiagnostic([this](const std::string& line) { lines.push_back(line); });
        tools::SystemHiveSpec spec;
        spec.defaultControlSet = 2;
        spec.controlSets = {1, 2};
        clean = MakeHive(spec);
        one = Grow(clean, kPci, 1);
        two = Grow(one, kStorage, 2);
        three = Grow(two, kRoot, 3);
        seq = tools::PrimarySequence(clean) + 1;
    }

    std::string Grow(const std::string& from, const char* key, u32 marker) {
        const std::string scratch = root + "/scratch";
        WriteHostFile(scratch, from);
        std::string error;
        EXPECT_TRUE(tools::AddMarkedKey(scratch, key, marker, &error)) << error;
        return ReadHostFile(scratch);
    }
    // `hive` as a crash leaves it: its last write begun and not finished.
    static std::string Dirty(std::string hive, u32 primary) {
        tools::SetSequences(&hive, primary, primary - 1);
        return hive;
    }
    static std::string BadChecksum(std::string hive) {
        hive[hive::kChecksumAt] = static_cast<char>(hive[hive::kChecksumAt] ^ 0x5A);
        return hive;
    }
    std::string ConfigPath(const std::string& name) const {
        return root + "/vol/Windows/system32/config/" + name;
    }
    // The hive and its logs as the volume holds them.
    void Lay(const std::string& primary, const std::map<std::string, std::string>& logs) {
        WriteHostFile(HivePath(), primary);
        for (const auto& [name, data] : logs) WriteHostFile(ConfigPath(name), data);
    }
    std::map<std::string, std::string> Snapshot() const {
        std::map<std::string, std::string> out;
        for (const char* name : {"system", "system.LOG", "SYSTEM.LOG1", "SYSTEM.LOG2"}) {
            out[name] = ReadHostFile(ConfigPath(name));
        }
        return out;
    }
    // The whole tree as hivex's exporter writes it.
    std::string Export(const std::string& data) {
        const std::string path = root + "/export-me";
        WriteHostFile(path, data);
        std::string out;
        EXPECT_EQ(RunCommand("hivexregedit --export '" + path + "' '\\' 2>&1", &out), 0) << out;
        return out;
    }
    // Loads, writes back and unloads; the volume's hive must then be
    // `expected`, consistent, with its logs as they were.
    void ExpectRecoveredTo(const std::string& expected) {
        const auto before = Snapshot();
        ASSERT_EQ(Load(), 0u) << (lines.empty() ? "" : lines.back());
        std::string why;
        ASSERT_EQ(registry->CommitToVolume(&why), 0u) << why;
        ASSERT_EQ(registry->RegUnLoadKey(kHKeyLocalMachine, L"VirtualPC"), 0u);
        const std::string written = ReadHostFile(HivePath());
        EXPECT_EQ(hive::Get32(written, 4), hive::Get32(written, 8));
        EXPECT_TRUE(hive::ChecksumValid(written));
        EXPECT_EQ(Export(written), Export(expected));
        const auto after = Snapshot();
        for (const char* log : {"system.LOG", "SYSTEM.LOG1", "SYSTEM.LOG2"}) {
            EXPECT_EQ(after.at(log), before.at(log)) << log;
        }
    }
    void Reset() {
        lines.clear();
        for (const char* name : {"system.LOG", "SYSTEM.LOG1", "SYSTEM.LOG2"}) {
            ::unlink(ConfigPath(name).c_str());
        }
    }

    std::string clean, one, two, three;
    u32 seq = 0;
    std::vector<std::string> lines;
};

TEST_F(HiveRecoveryTest, OldFormatLogWrittenForThisHiveIsReplayed) {
    std::string staleState = one;
    tools::SetLastWritten(&staleState, tools::LastWritten(clean) + 1);
    const std::string stale = OldFormatLog(clean, staleState, seq - 1);
    const std::string good = OldFormatLog(clean, two, seq);
    struct Case {
        const char* name;
        std::string primary;
        std::map<std::string, std::string> logs;
        const char* from;
    };
    const Case cases[] = {
        {"XP, one log", Dirty(clean, seq), {{"system.LOG", good}}, "system.LOG"},
        {"7, the second log applies",
         Dirty(clean, seq),
         {{"SYSTEM.LOG1", stale}, {"SYSTEM.LOG2", good}},
         "system.LOG2"},
        {"7, the first log applies",
         Dirty(clean, seq),
         {{"SYSTEM.LOG1", good}, {"SYSTEM.LOG2", stale}},
         "system.LOG1"},
        {"bad base block rebuilt from the log",
         BadChecksum(clean),
         {{"system.LOG", good}},
         "system.LOG"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        Lay(c.primary, c.logs);
        ExpectRecoveredTo(two);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find("system hive: recovered"), std::string::npos) << lines[0];
        EXPECT_NE(lines[0].find(std::string("from ") + c.from), std::string::npos) << lines[0];
    }
}

TEST_F(HiveRecoveryTest, NewFormatEntriesAreReplayedInOrderUpToTheFirstBadOne) {
    const auto logs = [&](bool breakSecond) {
        return std::map<std::string, std::string>{
            {"SYSTEM.LOG1", NewFormatLog(clean, seq,
                                         {NewFormatEntry(clean, one, seq),
                                          NewFormatEntry(one, two, seq + 1, breakSecond)})},
            {"SYSTEM.LOG2", NewFormatLog(two, seq + 2, {NewFormatEntry(two, three, seq + 2)})}};
    };
    std::string cleanAtEarlierSequence = clean;
    tools::SetSequences(&cleanAtEarlierSequence, seq - 1, seq - 1);
    struct Case {
        const char* name;
        std::string primary;
        bool breakSecond;
        const std::string* expected;
        const char* line;
        std::map<std::string, std::string> own = {};  // in place of logs()
    };
    const Case cases[] = {
        {"all entries", Dirty(clean, seq), false, &three,
         "recovered 3 log entries from system.LOG1 and system.LOG2"},
        // The hive's last whole write was `two` (secondary sequence seq+1):
        // the first log's round is in it and is not taken again.
        {"the first log already applied", Dirty(two, seq + 2), false, &three,
         "recovered 1 log entry from system.LOG2"},
        // Its write of `one` was cut short (secondary sequence seq): that
        // entry is taken again, as the hive may hold only part of it.
        {"a torn write taken again", Dirty(one, seq + 1), false, &three,
         "recovered 3 log entries from system.LOG1 and system.LOG2"},
        {"a bad hash stops the replay", Dirty(clean, seq), true, &one,
         "recovered 1 log entry from system.LOG1"},
        {"bad base block rebuilt from the log", BadChecksum(cleanAtEarlierSequence), false, &three,
         "recovered 3 log entries"},
        {"the earlier round in the second log",
         Dirty(clean, seq),
         false,
         &three,
         "recovered 3 log entries from system.LOG2 and system.LOG1",
         {{"SYSTEM.LOG1", logs(false).at("SYSTEM.LOG2")},
          {"SYSTEM.LOG2", logs(false).at("SYSTEM.LOG1")}}},
        {"a gap between the logs",
         Dirty(clean, seq),
         false,
         &two,
         "recovered 2 log entries from system.LOG1",
         {{"SYSTEM.LOG1", logs(false).at("SYSTEM.LOG1")},
          {"SYSTEM.LOG2", NewFormatLog(two, seq + 3, {NewFormatEntry(two, three, seq + 3)})}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        Lay(c.primary, c.own.empty() ? logs(c.breakSecond) : c.own);
        ExpectRecoveredTo(*c.expected);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find(c.line), std::string::npos) << lines[0];
    }
}

TEST_F(HiveRecoveryTest, DirtyHiveWithoutLogsIsUsedAsItStands) {
    Lay(Dirty(two, seq), {});
    ExpectRecoveredTo(two);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("no log"), std::string::npos) << lines[0];
}

TEST_F(HiveRecoveryTest, LogsOfACleanHiveAreIgnored) {
    Lay(clean, {{"system.LOG", OldFormatLog(clean, two, seq)},
                {"SYSTEM.LOG1", NewFormatLog(clean, seq, {NewFormatEntry(clean, one, seq)})}});
    ASSERT_EQ(Load(), 0u);
    EXPECT_TRUE(lines.empty());
    RegKey key = 0;
    EXPECT_EQ(
        registry->RegOpenKeyEx(kHKeyLocalMachine, std::wstring(L"VirtualPC\\") + FromUtf8(kPci), 0,
                               kKeyRead, &key),
        err::kFileNotFound);
    // Nothing to write back either.
    EXPECT_EQ(registry->CommitToVolume(nullptr), 0u);
    registry->RegUnLoadKey(kHKeyLocalMachine, L"VirtualPC");
    EXPECT_EQ(ReadHostFile(HivePath()), clean);
}

TEST_F(HiveRecoveryTest, UnrecoverableDirtyHivesAreRefusedUntouched) {
    std::string staleState = two;
    tools::SetLastWritten(&staleState, tools::LastWritten(clean) + 1);
    // The first hive bin's header is in the log's pages but names the wrong
    // place: the recovered bins do not hold together.
    std::string misplaced = two;
    hive::Put32(misplaced, hive::kBaseBlockSize + hive::kBinOffsetAt, 0x2000);
    struct Case {
        const char* name;
        std::string primary;
        std::map<std::string, std::string> logs;
        std::string reason;
    };
    const Case cases[] = {
        {"no valid log",
         Dirty(clean, seq),
         {{"system.LOG", std::string(8192, 'x')}},
         "system.LOG: not a hive log"},
        {"only a log for another state",
         Dirty(clean, seq),
         {{"SYSTEM.LOG1", OldFormatLog(clean, staleState, seq)}},
         "another state"},
        {"bad base block, no log", BadChecksum(clean), {}, "bad base block checksum"},
        {"all entries older than the hive",
         Dirty(three, seq + 3),
         {{"SYSTEM.LOG1", NewFormatLog(clean, seq, {NewFormatEntry(clean, one, seq)})}},
         "below the hive's secondary sequence number " + std::to_string(seq + 2)},
        {"a log not holding its base block's round",
         Dirty(clean, seq),
         {{"SYSTEM.LOG1", NewFormatLog(one, seq + 1, {NewFormatEntry(clean, one, seq)})}},
         "system.LOG1: its first entry has sequence number " + std::to_string(seq) +
             ", not its base block's " + std::to_string(seq + 1)},
        {"bins replayed from entries do not hold together",
         Dirty(clean, seq),
         {{"SYSTEM.LOG1", NewFormatLog(clean, seq, {NewFormatEntry(clean, misplaced, seq)})}},
         "the hive bins recovered from system.LOG1 are not valid: hive bin at 0x1000 says"},
        {"recovered bins do not hold together",
         Dirty(clean, seq),
         {{"system.LOG", OldFormatLog(clean, misplaced, seq)}},
         "are not valid"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        Lay(c.primary, c.logs);
        const auto before = Snapshot();
        EXPECT_NE(Load(), 0u);
        EXPECT_FALSE(registry->Loaded());
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find(c.reason), std::string::npos) << lines[0];
        EXPECT_EQ(Snapshot(), before);
        EXPECT_EQ(TempFiles(), 0);
    }
}

TEST_F(HiveRecoveryTest, ALoadFailureNamesItsCause) {
    // The second bin's signature is gone: hivex refuses, our check says why.
    std::string brokenBin = two;
    size_t second = hive::kBaseBlockSize + hive::Get32(two, hive::kBaseBlockSize + 8);
    brokenBin.replace(second, 4, "xxxx");
    std::string misplaced = clean;
    hive::Put32(misplaced, hive::kBaseBlockSize + hive::kBinOffsetAt, 0x3000);
    struct Case {
        const char* name;
        std::string data;
        std::string reason;
    };
    const Case cases[] = {
        {"too short", clean.substr(0, 5000), "too short for a hive"},
        {"a bin in the wrong place", misplaced, "hive bin at 0x1000 says it lies at 0x4000"},
        {"a bin missing", brokenBin, "hive bins end at " + hive::Hex(second)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        lines.clear();
        WriteHostFile(HivePath(), c.data);
        EXPECT_NE(Load(), 0u);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find(c.reason), std::string::npos) << lines[0];
    }
    lines.clear();
    ::unlink(HivePath().c_str());
    EXPECT_NE(Load(), 0u);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("cannot read"), std::string::npos) << lines[0];
}

}  // namespace
}  // namespace morlit::posix::test
