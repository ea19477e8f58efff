// morlit --check: what it says of each sample is what a run then does, and
// the image file is left exactly as it was, with no journal at any time.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>

#include "tests/posix/e2e_fixture.h"

namespace morlit::posix::test {
namespace {

// The messages without the answers, which a check gives itself.
nlohmann::json Texts(const nlohmann::json& messages) {
    nlohmann::json texts = nlohmann::json::array();
    for (const auto& m : messages) texts.push_back(m["text"]);
    return texts;
}

class Check : public ::testing::TestWithParam<const char*> {};

TEST_P(Check, SaysWhatTheRunThenDoesAndChangesNothing) {
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, GetParam());
    const std::string before = Slurp(image);
    const std::string beforeTime = ModificationTime(image);

    nlohmann::json check;
    const int checkStatus = JsonCommand("--check", image, &check);
    EXPECT_EQ(Slurp(image) == before, true) << "the check changed the image";
    EXPECT_EQ(ModificationTime(image), beforeTime);
    EXPECT_FALSE(FileExists(image + "-journal"));
    EXPECT_EQ(check["image"], image);
    EXPECT_EQ(check["journal"], "none");
    EXPECT_EQ(check["disk"]["format"], "VHD fixed");
    EXPECT_TRUE(check["disk"]["parent"].is_null());
    EXPECT_TRUE(check["seconds"].is_number());

    nlohmann::json run;
    const int runStatus = JsonCommand("", image, &run);
    // Every volume that got a letter on a sample is clean.
    for (const auto& p : check["disk"]["partitions"]) {
        if (!p["letter"].is_string()) continue;
        EXPECT_EQ(p["state"], "clean") << p.dump();
        EXPECT_TRUE(p["reason"].is_null()) << p.dump();
    }
    if (check["outcome"] == "would adjust") {
        for (const auto& member : check["source"].value("members", nlohmann::json::array()))
            EXPECT_EQ(member["state"], "decoded") << member.dump();
        EXPECT_EQ(check["template"]["state"], "imports") << check.dump();
        EXPECT_EQ(run["template"]["state"], "imported") << run.dump();
        EXPECT_EQ(checkStatus, 0);
        EXPECT_EQ(check["exit_status"], 0);
        EXPECT_EQ(runStatus, 0) << run.dump();
        EXPECT_EQ(run["outcome"], "adjusted");
        // Adjusted, the image is checked as such.
        nlohmann::json again;
        EXPECT_EQ(JsonCommand("--check", image, &again), 0);
        EXPECT_EQ(again["outcome"], "already adjusted") << again.dump();
    } else {
        ASSERT_EQ(check["outcome"], "would fail") << check.dump();
        EXPECT_EQ(checkStatus, 1);
        EXPECT_EQ(check["exit_status"], 1);
        EXPECT_EQ(runStatus, 1);
        EXPECT_EQ(Texts(check["messages"]), Texts(run["messages"]));
        EXPECT_EQ(check["causes"], run["causes"]);
        EXPECT_EQ(check["template"], run["template"]);
        // Every failure names why, as a cause: a script reads it there.
        EXPECT_FALSE(check["causes"].empty()) << check.dump();
        EXPECT_EQ(Slurp(image) == before, true) << "the failed run changed the image";
    }
    EXPECT_EQ(check["steps"], run["steps"]);
    // The run finds what the check found.
    EXPECT_EQ(check["target"], run["target"]);
    EXPECT_EQ(check["source"], run["source"]);
    EXPECT_EQ(check["hive"], run["hive"]);
    // The Boot.ini the check reads back is the one the run leaves.
    if (check["boot_ini"].is_string()) {
        for (const auto& p : check["disk"]["partitions"]) {
            if (p["letter"] != check["target"]["letter"]) continue;
            const u64 sector = p["offset"].get<u64>() / 512;
            const std::string left = p["file_system"] == "NTFS"
                                         ? ImageCheck(image, sector).Cat("Boot.ini")
                                         : FatImage(image, sector).Cat("BOOT.INI");
            EXPECT_EQ(check["boot_ini"].get<std::string>(), left);
        }
    }
}

// What the report names, against what the samples were made with.
TEST(CheckCommand, NamesTheTargetTheSourceTheHiveAndThePartitions) {
    const std::string dir = TestDir();
    struct Expected {
        const char* image;
        const char* kind;
        int bootIniPartition;  // 0: none
        const char* source;    // the kind
        const char* hive;      // the state
    };
    const Expected samples[] = {
        {"win7.vhd", "Vista or 7", 0, "none needed", "clean"},
        {"xp-i386.vhd", "XP or 2000", 1, "folder", "clean"},
        {"xp-vendor.vhd", "XP or 2000", 2, "cabinet", "clean"},
        {"xp-logical.vhd", "XP or 2000", 3, "cabinet", "clean"},
        {"win2000-third.vhd", "XP or 2000", 3, "cabinet", "clean"},
        {"xp-dirty.vhd", "XP or 2000", 1, "cabinet", "recovered"},
        {"win7-dirty.vhd", "Vista or 7", 0, "none needed", "recovered"},
    };
    for (const Expected& e : samples) {
        SCOPED_TRACE(e.image);
        const std::string image = CopyTarget(dir, e.image);
        nlohmann::json check;
        EXPECT_EQ(JsonCommand("--check", image, &check), 0) << check.dump();
        EXPECT_EQ(check["target"]["kind"], e.kind);
        if (e.bootIniPartition) {
            EXPECT_EQ(check["target"]["boot_ini_partition"], e.bootIniPartition);
            EXPECT_NE(check["boot_ini"].get<std::string>().find(
                          "partition(" + std::to_string(e.bootIniPartition) + ")"),
                      std::string::npos);
        } else {
            EXPECT_TRUE(check["target"]["boot_ini_partition"].is_null());
            EXPECT_TRUE(check["boot_ini"].is_null());
        }
        EXPECT_EQ(check["source"]["kind"], e.source);
        EXPECT_EQ(check["hive"]["state"], e.hive);
        EXPECT_EQ(
            Lower(check["hive"]["file"].get<std::string>()).rfind("\\system32\\config\\system"),
            check["hive"]["file"].get<std::string>().size() - 23);
    }
    // The logs the dirty hives were recovered from.
    nlohmann::json check;
    JsonCommand("--check", dir + "/xp-dirty.vhd", &check);
    EXPECT_NE(check["hive"]["detail"].get<std::string>().find("system.LOG"), std::string::npos);
    JsonCommand("--check", dir + "/win7-dirty.vhd", &check);
    EXPECT_NE(check["hive"]["detail"].get<std::string>().find("LOG2"), std::string::npos);
    // Partitions that get no letter say why.
    JsonCommand("--check", dir + "/xp-logical.vhd", &check);
    const nlohmann::json& partitions = check["disk"]["partitions"];
    ASSERT_GE(partitions.size(), 3u) << check.dump();
    EXPECT_TRUE(partitions[0]["letter"].is_null());
    EXPECT_EQ(partitions[0]["state"], "not NTFS or FAT");
    EXPECT_EQ(partitions[0]["reason"].get<std::string>().rfind("partition 1 (type 0x", 0), 0u);
    EXPECT_EQ(partitions.back()["state"], "clean");
    EXPECT_EQ(partitions.back()["file_system"], "NTFS");
    // The CD's drivers are named as the CD's.
    JsonCommand("--check --cdrom " + Quote(SampleTargets() + "/xp-cd.iso"),
                CopyTarget(dir, "xp-nosource.vhd"), &check);
    EXPECT_EQ(check["source"]["cd"], true);
    JsonCommand("--check", dir + "/xp-nosource.vhd", &check);
    EXPECT_EQ(check["source"]["kind"], "needs the Windows XP CD");
    // An installation that fails before its drivers or hive are touched is
    // still named, with the kernel version read to decide on the CD.
    const struct {
        const char* image;
        const char* windows;
        const char* version;  // null: not readable
    } early[] = {{"xp-nosource.vhd", "D:\\Windows", nullptr},
                 {"xp-winnt.vhd", "D:\\WINNT", "5.1"},
                 {"win2000-nosource.vhd", "D:\\WINNT", "5.0"}};
    for (const auto& e : early) {
        SCOPED_TRACE(e.image);
        EXPECT_EQ(JsonCommand("--check", CopyTarget(dir, e.image), &check), 1);
        EXPECT_EQ(check["target"]["windows_directory"], e.windows) << check.dump();
        EXPECT_EQ(check["target"]["kind"], "XP or 2000");
        EXPECT_EQ(check["target"].value("kernel_version", nlohmann::json()),
                  e.version ? nlohmann::json(e.version) : nlohmann::json());
    }
}

// The three drivers as the run asks expand for them, and whether each
// decodes; the registry template, whether the editor takes it.
TEST(CheckCommand, NamesEachDriverMemberAndWhetherTheTemplateImports) {
    const std::string dir = TestDir();
    const auto names = [](const nlohmann::json& members) {
        std::vector<std::string> list;
        for (const auto& m : members)
            list.push_back(m["name"].get<std::string>() + " " + m["state"].get<std::string>());
        return list;
    };
    using Names = std::vector<std::string>;
    const Names cabinet = {"hal.dll decoded", "ntoskrnl.exe decoded", "intelide.sys decoded"};
    nlohmann::json check;
    for (const char* sample : {"xp-cabinets.vhd", "win2000.vhd"}) {
        SCOPED_TRACE(sample);
        EXPECT_EQ(JsonCommand("--check", CopyTarget(dir, sample), &check), 0) << check.dump();
        EXPECT_EQ(names(check["source"]["members"]), cabinet);
        const std::string windows = check["target"]["windows_directory"];
        EXPECT_EQ(check["source"]["members"][2]["destination"], windows + "\\system32\\drivers");
        EXPECT_EQ(check["template"],
                  nlohmann::json::parse(R"({"state":"imports","reason":null,"exit_code":0})"));
    }
    // A folder's compressed files, each with the file it becomes.
    EXPECT_EQ(JsonCommand("--check", CopyTarget(dir, "xp-i386.vhd"), &check), 0) << check.dump();
    EXPECT_EQ(names(check["source"]["members"]),
              (Names{"hal.dl_ decoded", "ntoskrnl.ex_ decoded", "intelide.sy_ decoded"}));
    EXPECT_EQ(check["source"]["members"][1]["destination"],
              check["target"]["windows_directory"].get<std::string>() + "\\system32\\ntoskrnl.exe");

    // A cabinet without the kernel: the run stops there, and the IDE driver
    // it did not ask for is still named; the template is not reached.
    const std::string nomember = CopyTarget(dir, "xp-nomember.vhd");
    EXPECT_EQ(JsonCommand("--check", nomember, &check), 1);
    const nlohmann::json& members = check["source"]["members"];
    EXPECT_EQ(names(members),
              (Names{"hal.dll decoded", "ntoskrnl.exe failed", "intelide.sys not reached"}))
        << check.dump();
    const std::string reason = members[1]["reason"];
    EXPECT_EQ(reason.rfind("expand failed (" + std::to_string(members[1]["exit_code"].get<int>()) +
                               "): ntoskrnl.exe ",
                           0),
              0u)
        << reason;
    EXPECT_NE(members[1]["exit_code"], 0);
    EXPECT_TRUE(members[2]["exit_code"].is_null());
    EXPECT_EQ(check["template"]["state"], "not reached");
    std::string text;
    Shell("LC_ALL=C " + Quote(Morlit()) + " --check " + Quote(nomember) + " 2>/dev/null", &text);
    EXPECT_NE(
        text.find("\n  driver: ntoskrnl.exe -> " + members[1]["destination"].get<std::string>() +
                  ", failed: " + reason + "\n"),
        std::string::npos)
        << text;
    EXPECT_NE(text.find(", not reached\n  template: not reached\n"), std::string::npos) << text;
    // Without a driver source the run stops before both.
    EXPECT_EQ(JsonCommand("--check", CopyTarget(dir, "xp-nosource.vhd"), &check), 1);
    EXPECT_TRUE(check["source"]["members"].is_null()) << check.dump();
    EXPECT_EQ(check["template"]["state"], "not reached");

    // A template the editor refuses (its first line is no header): the
    // check says so with the editor's words, and a run then fails alike.
    const std::string templates = dir + "/templates";
    ASSERT_EQ(
        Shell("mkdir -p " + Quote(templates) + " && cp " +
              Quote(std::string(MORLIT_SOURCE_DIR) + "/templates") + "/*.bin " + Quote(templates) +
              " && printf 'NOT A HEADER\\r\\n' >" + Quote(templates + "/Dravmont.bin")),
        0);
    const std::string image = CopyTarget(dir, "xp-cabinets.vhd");
    const std::string before = Slurp(image);
    EXPECT_EQ(JsonCommand("--check --templates " + Quote(templates), image, &check), 1);
    EXPECT_EQ(check["template"]["state"], "refused") << check.dump();
    EXPECT_EQ(check["template"]["reason"].get<std::string>().rfind(
                  "the registry editor failed (" +
                      std::to_string(check["template"]["exit_code"].get<int>()) + "): ",
                  0),
              0u)
        << check.dump();
    nlohmann::json run;
    EXPECT_EQ(JsonCommand("--templates " + Quote(templates), image, &run), 1);
    EXPECT_EQ(run["template"]["state"], "refused");
    EXPECT_EQ(run["template"]["exit_code"], check["template"]["exit_code"]);
    EXPECT_TRUE(Slurp(image) == before);
}

// Each volume's state as a value of its own, with the sentence attach said;
// the image stays as it was.
TEST(CheckCommand, SaysEachVolumesStateAndWhy) {
    const std::string dir = TestDir();
    struct Case {
        const char* name;
        const char* options;
        const char* state;
        const char* fileSystem;  // null: none
        std::string reason;
    };
    const std::string unclean = "NTFS volume on partition 1 was not shut down cleanly";
    const Case cases[] = {
        {"dirty.vhd", "--dirty", "marked dirty", "NTFS",
         "NTFS volume on partition 1 is marked dirty; let Windows check it first"},
        {"hiber.vhd", "--hibernated", "hibernated", "NTFS",
         "NTFS volume on partition 1 is hibernated; start that Windows and shut it down fully "
         "first"},
        {"unclean.vhd", "--log unclean", "unclean journal", "NTFS",
         unclean + " (it was in use); attach the image in Windows once, which finishes the "
                   "volume's journal, then try again"},
        {"newer.vhd", "--log newer", "unclean journal", "NTFS",
         unclean + ": its journal was left open by a newer Windows (8 or later) that shut down "
                   "with fast startup; start that Windows and shut it down fully (shutdown /s /t "
                   "0), then try again"},
        {"chkdsk.vhd", "--log chkdsk", "unclean journal", "NTFS",
         "NTFS volume on partition 1 was being checked by chkdsk, which did not finish; let "
         "Windows check it (chkdsk /f) first"},
        {"fat16-dirty.vhd", "--fs fat16 --dirty", "dirty FAT", "FAT",
         "FAT volume on partition 1 was not shut down cleanly; let Windows check it first"},
        {"linux.vhd", "--no-fs --type 83", "not NTFS or FAT", nullptr,
         "partition 1 (type 0x83) is neither NTFS nor FAT; only those volumes get a drive "
         "letter"},
        {"blank.vhd", "--no-fs", "not NTFS or FAT", nullptr,
         "partition 1 holds no NTFS volume; only NTFS and FAT volumes get a drive letter"},
    };
    const auto expectState = [](const std::string& image, const char* state, const char* fs,
                                const std::string& reason, const std::string& extra = "") {
        const std::string before = Slurp(image);
        const std::string beforeTime = ModificationTime(image);
        nlohmann::json check;
        EXPECT_EQ(JsonCommand("--check " + extra, image, &check), 1);
        ASSERT_EQ(check["disk"]["partitions"].size(), 1u) << check.dump();
        const nlohmann::json& p = check["disk"]["partitions"][0];
        EXPECT_EQ(p["state"], state);
        EXPECT_EQ(p["reason"], reason);
        EXPECT_TRUE(p["letter"].is_null());
        EXPECT_EQ(p["file_system"], fs ? nlohmann::json(fs) : nlohmann::json(nullptr));
        // The sentence is said on standard error as it always was.
        nlohmann::json said = CauseTexts(check);
        said.insert(said.end(), check["warnings"].begin(), check["warnings"].end());
        EXPECT_NE(std::find(said.begin(), said.end(), reason), said.end()) << check.dump();
        EXPECT_TRUE(Slurp(image) == before);
        EXPECT_EQ(ModificationTime(image), beforeTime);
        EXPECT_FALSE(FileExists(image + "-journal"));
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expectState(MakeImage(dir, c.name, c.options), c.state, c.fileSystem, c.reason);
    }
    // A FAT boot sector that names no sector size.
    {
        SCOPED_TRACE("damaged");
        const std::string image = MakeImage(dir, "fat16-bad.vhd", "--fs fat16");
        std::string bytes = Slurp(image);
        bytes[2048 * 512 + 11] = 0;
        bytes[2048 * 512 + 12] = 3;
        std::ofstream(image, std::ios::binary | std::ios::trunc) << bytes;
        expectState(image, "damaged", "FAT",
                    "FAT volume on partition 1 has a FAT boot sector whose bytes per sector (768) "
                    "are not a sector size");
    }
    // A clean volume when CD drives hold every letter.
    {
        SCOPED_TRACE("no free letter");
        const std::string image = MakeImage(dir, "full.vhd", "");
        const std::string cd = dir + "/cd";
        ASSERT_EQ(Shell("mkdir -p " + Quote(cd)), 0);
        std::string cds;
        for (int i = 0; i < 22; ++i) cds += "--cdrom " + Quote(cd) + " ";
        expectState(image, "no free letter", "NTFS",
                    "partition 1 gets no drive letter: all are in use", cds);
    }
}

INSTANTIATE_TEST_SUITE_P(Samples, Check,
                         ::testing::Values("win7.vhd", "xp-cabinets.vhd", "win2000.vhd",
                                           "xp-i386.vhd", "xp-nosource.vhd", "none.vhd",
                                           "xp-nomember.vhd", "xp-badhive.vhd", "xp-fat32.vhd",
                                           "win2000-fat16.vhd", "win7-reserved.vhd", "xp-dirty.vhd",
                                           "win7-dirty.vhd", "xp-vendor.vhd", "xp-logical.vhd",
                                           "win2000-third.vhd", "win7-nobootmgr.vhd",
                                           "win2000-nosource.vhd", "xp-winnt.vhd"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             name = name.substr(0, name.find('.'));
                             for (char& c : name)
                                 if (c == '-') c = '_';
                             return name;
                         });

// With the XP CD given the check finds it, as the run does; without, it says
// the image needs it.
TEST(CheckCommand, TheCdQuestionIsAnsweredSoTheCheckSeesWhetherACdIsGiven) {
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, "xp-nosource.vhd");
    nlohmann::json check;
    EXPECT_EQ(JsonCommand("--check", image, &check), 1);
    EXPECT_EQ(check["outcome"], "would fail");
    ASSERT_GE(check["messages"].size(), 2u) << check.dump();
    EXPECT_EQ(check["messages"][0]["id"], 137);
    EXPECT_EQ(check["messages"][0]["answer"], "ok");
    EXPECT_EQ(check["messages"][1]["id"], 138);
    EXPECT_EQ(check["messages"][1]["answer"], "no");
    EXPECT_EQ(
        JsonCommand("--check --cdrom " + Quote(SampleTargets() + "/xp-cd.iso"), image, &check), 0);
    EXPECT_EQ(check["outcome"], "would adjust") << check.dump();
}

// While a check holds the image (here in its pauses) there is no journal,
// a run cannot write the image, and the file stays as it was.
TEST(CheckCommand, NoJournalWhileACheckHoldsTheImage) {
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, "xp-cabinets.vhd");
    const std::string before = Slurp(image);
    const std::string beforeTime = ModificationTime(image);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        const std::string morlit = Morlit();
        ::execl(morlit.c_str(), morlit.c_str(), "--check", "--pauses", image.c_str(), nullptr);
        ::_exit(127);
    }
    bool journal = false, refused = false;
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(4)) {
        journal |= FileExists(image + "-journal");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // A run wants the image for itself: it is refused as in use (code 32).
    nlohmann::json run;
    refused = JsonCommand("", image, &run) == 1 && run["messages"].size() > 0 &&
              run["messages"][0]["code"] == 32;
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_FALSE(journal);
    EXPECT_TRUE(refused) << run.dump();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(FileExists(image + "-journal"));
    EXPECT_EQ(Slurp(image) == before, true);
    EXPECT_EQ(ModificationTime(image), beforeTime);
}

// A differencing image: the check names its parent, and neither file is
// touched.
TEST(CheckCommand, NamesTheParentOfADifferencingImageAndChangesNeither) {
    const std::string dir = TestDir();
    const std::string parent = CopyTarget(dir, "xp-cabinets.vhd");
    const std::string child = dir + "/child.vhd";
    ASSERT_EQ(Shell("python3 " + Quote(std::string(MORLIT_SOURCE_DIR) + "/tools/vhdtool.py") +
                    " diff " + Quote(parent) + " " + Quote(child)),
              0);
    const std::string parentBytes = Slurp(parent), childBytes = Slurp(child);
    nlohmann::json check;
    EXPECT_EQ(JsonCommand("--check", child, &check), 0) << check.dump();
    EXPECT_EQ(check["outcome"], "would adjust");
    EXPECT_EQ(check["disk"]["format"], "VHD differencing");
    ASSERT_TRUE(check["disk"]["parent"].is_string()) << check.dump();
    EXPECT_EQ(Shell("test " + Quote(parent) + " -ef " +
                    Quote(check["disk"]["parent"].get<std::string>())),
              0);
    // As text: the outcome first, then a line a thing.
    std::string text;
    EXPECT_EQ(
        Shell("LC_ALL=C " + Quote(Morlit()) + " --check " + Quote(child) + " 2>/dev/null", &text),
        0);
    EXPECT_EQ(text.rfind(child + ": would adjust\n  image: VHD differencing, ", 0), 0u) << text;
    EXPECT_NE(text.find(", parent " + check["disk"]["parent"].get<std::string>() + "\n"),
              std::string::npos);
    EXPECT_NE(text.find("\n  target: "), std::string::npos);
    EXPECT_NE(text.find("\n  Boot.ini:\n    [boot loader]\n"), std::string::npos);
    EXPECT_TRUE(Slurp(parent) == parentBytes);
    EXPECT_TRUE(Slurp(child) == childBytes);
    EXPECT_FALSE(FileExists(child + "-journal"));
}

// Where an adjusted XP may still not start: its boot sector counts other
// hidden sectors than where its partition starts, or another geometry than
// the VHD footer's. The samples' footers carry qemu's "no geometry", which
// no boot sector is held to.
TEST(CheckCommand, WarnsWhereTheBootSectorDisagreesWithThePartitionOrTheGeometry) {
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, "xp-cabinets.vhd");
    nlohmann::json check;
    EXPECT_EQ(JsonCommand("--check", image, &check), 0);
    EXPECT_EQ(check["warnings"], nlohmann::json::array());

    std::string bytes = Slurp(image);
    ASSERT_EQ(check["disk"]["partitions"][0]["offset"], 63 * 512);
    bytes[63 * 512 + 0x1C] = 64;  // hidden sectors, little-endian
    // The footer: 97 cylinders, 16 heads, 63 sectors, and its checksum
    // (the ones' complement of the byte sum without it) made again.
    const size_t footer = bytes.size() - 512;
    bytes[footer + 56] = 0;
    bytes[footer + 57] = 97;
    bytes[footer + 58] = 16;
    bytes[footer + 59] = 63;
    u32 sum = 0;
    for (size_t i = 0; i < 512; ++i)
        if (i < 64 || i >= 68) sum += static_cast<u8>(bytes[footer + i]);
    sum = ~sum;
    for (int i = 0; i < 4; ++i) bytes[footer + 64 + i] = static_cast<char>(sum >> (24 - 8 * i));
    std::ofstream(image, std::ios::binary | std::ios::trunc) << bytes;

    EXPECT_EQ(JsonCommand("--check", image, &check), 0);
    EXPECT_EQ(check["outcome"], "would adjust");
    EXPECT_EQ(
        check["warnings"],
        nlohmann::json::parse(
            R"(["the boot sector of partition 1 counts 64 hidden sectors, but the partition starts at sector 63; Windows may not start from it",
                      "the boot sector of partition 1 gives 255 heads and 63 sectors per track, but the VHD's geometry (the machine's disk) has 16 and 63; Windows may not start from it"])"))
        << check.dump();
    EXPECT_TRUE(Slurp(image) == bytes);
}

}  // namespace
}  // namespace morlit::posix::test
