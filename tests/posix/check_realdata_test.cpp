// morlit --check and --json over what real machines leave: a Windows XP
// SYSTEM hive as XP wrote it, hives that cannot be loaded, and the journal a
// killed run left beside the image.
#include <nlohmann/json.hpp>

#include "platform/posix/disk/byte_order.h"
#include "tests/posix/realdata.h"
#include "tests/posix/sweep_fixture.h"

namespace morlit::posix::test {
namespace {

// An XP sample (sector 63, sp3.cab) whose hive is `hive` (a host file), with
// `extra` tree lines (further files in its config folder).
std::string XpImage(const std::string& dir, const std::string& name, const std::string& hive,
                    const std::string& extra = "") {
    const std::string tree = dir + "/" + name + ".tree";
    std::ofstream(tree, std::ios::binary | std::ios::trunc)
        << "include " << TreeFile("xp.tree") << "\n"
        << "copy WINDOWS\\system32\\config\\system " << hive << "\n"
        << "copy \"WINDOWS\\Driver Cache\\i386\\sp3.cab\" "
        << Source("SP3/volume/Windows/Driver Cache/i386/sp3.cab") << "\n"
        << extra;
    return MakeImage(dir, name, "--start 63 --tree " + Quote(tree));
}

// The hive says C: is at sector 63 of disk 0x44B944B8. The samples' MBR
// carries another signature, which the check names; with the signature the
// hive expects nothing is said. A run then adjusts the real hive in its
// default control set (1) and leaves everything else as XP wrote it.
TEST(CheckRealXpHive, WarnsOfAnotherDiskForCAndARunAdjustsTheRealHive) {
    MORLIT_REQUIRE_REALDATA();
    const std::string dir = TestDir();
    ASSERT_TRUE(UnpackRealData("hives/more/xp_system", dir, "xp_system"));
    const std::string original = dir + "/xp_system";
    const std::string image = XpImage(dir, "xp-real.vhd", original);

    std::string bytes = Slurp(image);
    const u32 sampleSignature = LoadLe32(reinterpret_cast<const u8*>(bytes.data()) + 0x1B8);
    ASSERT_NE(sampleSignature, 0x44B944B8u);
    nlohmann::json check;
    EXPECT_EQ(JsonCommand("--check", image, &check), 0) << check.dump();
    EXPECT_EQ(check["outcome"], "would adjust");
    EXPECT_EQ(check["hive"]["state"], "clean");
    char want[200];
    std::snprintf(want, sizeof want,
                  "the registry's MountedDevices gives C: to disk signature 44B944B8 at offset "
                  "32256, but the target is on disk %08X at offset 32256; Windows may give it "
                  "another letter and not start",
                  sampleSignature);
    EXPECT_EQ(check["warnings"], nlohmann::json::array({want})) << check.dump();

    // The disk the hive was written on: a fixed VHD holds the MBR first.
    StoreLe32(reinterpret_cast<u8*>(&bytes[0x1B8]), 0x44B944B8u);
    std::ofstream(image, std::ios::binary | std::ios::trunc) << bytes;
    EXPECT_EQ(JsonCommand("--check", image, &check), 0) << check.dump();
    EXPECT_EQ(check["outcome"], "would adjust");
    EXPECT_EQ(check["warnings"], nlohmann::json::array()) << check.dump();

    nlohmann::json run;
    std::string said;
    EXPECT_EQ(JsonCommand("", image, &run, &said), 0) << run.dump() << said;
    EXPECT_EQ(run["outcome"], "adjusted");
    EXPECT_EQ(run["hive"], check["hive"]);
    EXPECT_EQ(run["warnings"], nlohmann::json::array()) << said;
    {
        const ImageCheck after(image, 63);
        EXPECT_TRUE(after.QemuAccepts());
        EXPECT_TRUE(after.NtfsfixAccepts()) << after.NtfsfixLog();
        const std::string hive = after.Cat("WINDOWS/system32/config/system");
        EXPECT_TRUE(WholeBaseBlock(hive));
        EXPECT_TRUE(after.Cat("WINDOWS/system32/config/system_back") == Slurp(original));
        ExpectTemplateOnlyUnder(after.HiveKeys("WINDOWS/system32/config/system"), original, 1);
    }
    EXPECT_EQ(JsonCommand("--check", image, &check), 0);
    EXPECT_EQ(check["outcome"], "already adjusted") << check.dump();
}

// A hive that cannot be loaded: the check names it refused with the reason,
// says the run would fail as the run then does, and neither touches a byte.
struct RefusedHive {
    const char* name;
    const char* hive;    // under realdata/hives
    bool breakChecksum;  // its base block's checksum spoilt
    const char* log;     // a system.LOG beside it, or null
    const char* reason;  // in the line that says why
};

void PrintTo(const RefusedHive& p, std::ostream* os) { *os << p.name; }

class CheckRefusedHive : public ::testing::TestWithParam<RefusedHive> {};

TEST_P(CheckRefusedHive, WouldFailAsTheRunFailsAndNeitherChangesTheImage) {
    MORLIT_REQUIRE_REALDATA();
    const RefusedHive& p = GetParam();
    const std::string dir = TestDir();
    ASSERT_TRUE(UnpackRealData(std::string("hives/") + p.hive, dir, "system"));
    const std::string hive = dir + "/system";
    if (p.breakChecksum) {
        std::string bytes = Slurp(hive);
        bytes[508] = static_cast<char>(bytes[508] ^ 0xFF);
        std::ofstream(hive, std::ios::binary | std::ios::trunc) << bytes;
    }
    std::string extra;
    if (p.log) {
        ASSERT_TRUE(UnpackRealData(std::string("hives/") + p.log, dir, "system.LOG"));
        extra = "copy WINDOWS\\system32\\config\\system.LOG " + dir + "/system.LOG\n";
    }
    const std::string image = XpImage(dir, "xp-refused.vhd", hive, extra);
    const std::string before = Slurp(image);
    const std::string beforeTime = ModificationTime(image);

    nlohmann::json check;
    EXPECT_EQ(JsonCommand("--check", image, &check), 1);
    EXPECT_EQ(check["outcome"], "would fail") << check.dump();
    EXPECT_EQ(check["exit_status"], 1);
    EXPECT_EQ(check["hive"]["state"], "refused");
    const std::string line = check["hive"]["detail"].get<std::string>();
    EXPECT_EQ(line.rfind("cannot load the hive D:\\Windows\\system32\\config\\system: ", 0), 0u)
        << line;
    EXPECT_NE(line.find(p.reason), std::string::npos) << line;
    // The line says why the run fails: a cause, not a note beside it.
    EXPECT_EQ(CauseTexts(check), nlohmann::json::array({line})) << check.dump();
    EXPECT_EQ(check["warnings"], nlohmann::json::array()) << check.dump();
    ASSERT_GE(check["messages"].size(), 2u) << check.dump();
    EXPECT_EQ(check["messages"][0]["id"], 140);
    EXPECT_EQ(check["messages"][0]["code"], 1);
    EXPECT_EQ(check["messages"].back()["id"], 131);
    EXPECT_TRUE(Slurp(image) == before) << "the check changed the image";
    EXPECT_EQ(ModificationTime(image), beforeTime);
    EXPECT_FALSE(FileExists(image + "-journal"));

    nlohmann::json run;
    std::string said;
    EXPECT_EQ(JsonCommand("", image, &run, &said), 1);
    EXPECT_EQ(run["outcome"], "failed");
    EXPECT_EQ(run["messages"], check["messages"]);
    EXPECT_EQ(run["causes"], check["causes"]);
    EXPECT_EQ(run["hive"], check["hive"]);
    EXPECT_NE(said.find(line), std::string::npos) << said;
    EXPECT_TRUE(Slurp(image) == before) << "the failed run changed the image";
    EXPECT_FALSE(FileExists(image + "-journal"));
}

INSTANTIATE_TEST_SUITE_P(
    RealHives, CheckRefusedHive,
    ::testing::Values(RefusedHive{"Corrupted", "corrupted_system_hive", false, nullptr,
                                  "hive bins end at 0x1a000 but the base block says 0x349000"},
                      RefusedHive{"XpBadChecksum", "more/xp_system", true, nullptr,
                                  "bad base block checksum and no log to rebuild it from"},
                      // XP's own log holds a base block only, older than the hive: no
                      // help with a torn one.
                      RefusedHive{"XpBadChecksumWithItsLog", "more/xp_system", true,
                                  "more/xp_system.LOG",
                                  "system hive is dirty and no log recovers it"}),
    [](const ::testing::TestParamInfo<RefusedHive>& info) { return info.param.name; });

// A run that died after a write to the image left its journal. A check
// refuses the image and leaves it and the journal alone. The next run plays
// the journal back as it opens the image; when that run then writes nothing
// (here it has no CD this time), the journal's only work was that playback.
// When it adjusts the image, its own commit is what the journal did, and
// the playback is the line that says so.
long g_writes = 0;
int DieAtSecondImageWrite(const IoEvent& e) {
    if (e.step == IoStep::kImageWrite && ++g_writes == 2) _exit(86);
    return 0;
}

TEST(CheckKilledRun, ACheckRefusesTheJournalAndTheNextRunSaysItPlayedItBack) {
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, "xp-nosource.vhd");
    const std::string cd = SampleTargets() + "/xp-cd.iso";
    const std::string before = Slurp(image);
    int unused = 0;
    const int died = InForkedChild(std::function<int(int*)>([&](int*) {
                                       SetImageNoteSink([](const std::string&) {});
                                       g_writes = 0;
                                       SetIoHook(DieAtSecondImageWrite);
                                       TestHost t("ok\n");
                                       std::string reason;
                                       if (!t.posix->AddCdPath(cd, &reason)) return 1;
                                       RunStart(t, image);
                                       return 0;
                                   }),
                                   &unused);
    ASSERT_EQ(died, 86);
    const std::string journal = image + "-journal";
    ASSERT_TRUE(FileExists(journal));
    ASSERT_FALSE(Slurp(image) == before) << "the run died before it wrote";
    const std::string copy = dir + "/copy.vhd";
    ASSERT_EQ(Shell("cp " + Quote(image) + " " + Quote(copy) + " && cp " + Quote(journal) + " " +
                    Quote(copy + "-journal")),
              0);

    const std::string imageBytes = Slurp(image), journalBytes = Slurp(journal);
    const std::string imageTime = ModificationTime(image), journalTime = ModificationTime(journal);
    nlohmann::json check;
    EXPECT_EQ(JsonCommand("--check", image, &check), 1);
    EXPECT_EQ(check["outcome"], "would fail") << check.dump();
    EXPECT_EQ(check["exit_status"], 1);
    EXPECT_EQ(check["journal"], "none");
    ASSERT_GE(check["messages"].size(), 1u) << check.dump();
    EXPECT_EQ(check["messages"][0]["id"], 132);
    EXPECT_EQ(check["messages"][0]["code"], 32);
    ASSERT_EQ(check["causes"].size(), 1u) << check.dump();
    EXPECT_NE(
        check["causes"][0]["text"].get<std::string>().find(
            "was left part way through a run that did not end; open it for writing once to put it "
            "back as it was (morlit --put-back does only that)"),
        std::string::npos)
        << check.dump();
    EXPECT_TRUE(Slurp(image) == imageBytes);
    EXPECT_TRUE(Slurp(journal) == journalBytes);
    EXPECT_EQ(ModificationTime(image), imageTime);
    EXPECT_EQ(ModificationTime(journal), journalTime);

    nlohmann::json run;
    std::string said;
    EXPECT_EQ(JsonCommand("", image, &run, &said), 1) << said;
    EXPECT_EQ(run["outcome"], "failed") << run.dump();
    EXPECT_EQ(run["journal"], "played back at open") << run.dump();
    EXPECT_EQ(run["played_back_at_open"], true);
    ASSERT_EQ(run["causes"].size(), 1u) << run.dump();
    EXPECT_EQ(run["causes"][0]["text"].get<std::string>().rfind(
                  "this installation has no driver source", 0),
              0u);
    EXPECT_FALSE(FileExists(journal));
    EXPECT_TRUE(Slurp(image) == before) << "the killed run's writes were not undone";

    EXPECT_EQ(JsonCommand("--cdrom " + Quote(cd), copy, &run, &said), 0) << said;
    EXPECT_EQ(run["outcome"], "adjusted");
    EXPECT_EQ(run["journal"], "committed");
    EXPECT_EQ(run["played_back_at_open"], true);
    EXPECT_EQ(run["warnings"],
              nlohmann::json::array({copy +
                                     " was put back as it was before a run that did not "
                                     "end (" +
                                     copy + "-journal played back)"}))
        << run.dump();
    EXPECT_FALSE(FileExists(copy + "-journal"));
}

}  // namespace
}  // namespace morlit::posix::test
