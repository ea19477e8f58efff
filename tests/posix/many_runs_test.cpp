// Eight morlit commands at once on different images: each run has its own
// folder, so all of them succeed, and each image comes out as a lone run
// would leave it.
#include "tests/posix/e2e_fixture.h"

namespace morlit::posix::test {
namespace {

struct Sample {
    std::string name;
    u64 start;            // the NTFS partition's first sector
    std::string windows;  // the Windows folder as stored
    std::string hive;     // the hive file's name and the source hive
    std::string source;   // the driver source's tag; empty for none
    std::string bootIni;  // the template Boot.ini comes from; empty for none
    u32 defaultSet;
};

const Sample kSamples[] = {
    {"win7", 2048, "Windows", "SYSTEM", "", "", 2},
    {"xp-cabinets", 63, "WINDOWS", "system", "SP2", "Quessil.bin", 2},
    {"xp-i386", 63, "WINDOWS", "system", "I386", "Quessil.bin", 2},
    {"win2000", 63, "WINNT", "system", "SP4", "Tolmarin.bin", 1},
};

std::string SourceHive(const Sample& s) {
    return Source(s.name == "win7"      ? "system-7"
                  : s.name == "win2000" ? "system-2000"
                                        : "system-xp");
}

TEST(ManyRuns, EightCommandsAtOnceOnDifferentImagesAllSucceed) {
    const std::string dir = TestDir();
    const std::string tmp = dir + "/tmp";
    Shell("mkdir -p " + Quote(tmp));
    std::vector<const Sample*> runs;
    std::string script;
    for (int i = 0; i < 8; ++i) {
        const Sample& s = kSamples[i % 4];
        runs.push_back(&s);
        const std::string image = dir + "/" + std::to_string(i) + ".vhd";
        ASSERT_EQ(
            Shell("cp " + Quote(SampleTargets() + "/" + s.name + ".vhd") + " " + Quote(image)), 0);
        script += "(TMPDIR=" + Quote(tmp) + " LC_ALL=ja_JP.UTF-8 " +
                  Quote(std::string(MORLIT_BINARY_DIR) + "/morlit") + " --no-pauses " +
                  Quote(image) + " </dev/null >" + Quote(image + ".out") + " 2>&1; echo $? >" +
                  Quote(image + ".rc") + ") & ";
    }
    ASSERT_EQ(Shell(script + "wait"), 0);

    for (int i = 0; i < 8; ++i) {
        const Sample& s = *runs[i];
        SCOPED_TRACE(s.name + " as " + std::to_string(i));
        const std::string image = dir + "/" + std::to_string(i) + ".vhd";
        EXPECT_EQ(Slurp(image + ".rc"), "0\n") << Slurp(image + ".out");
        EXPECT_NE(Slurp(image + ".out").find("VHDファイルの調整が完了しました。"),
                  std::string::npos);
        ImageCheck check(image, s.start);
        EXPECT_TRUE(check.QemuAccepts());
        EXPECT_TRUE(check.NtfsfixAccepts()) << check.NtfsfixLog();
        ExpectTemplateOnlyUnder(check.HiveKeys(s.windows + "/system32/config/" + s.hive),
                                SourceHive(s), s.defaultSet);
        if (!s.source.empty()) {
            const std::string content = Source(s.source + "/content/");
            EXPECT_TRUE(check.Cat(s.windows + "/system32/hal.dll") == Slurp(content + "hal.dll"));
            EXPECT_TRUE(check.Cat(s.windows + "/system32/ntoskrnl.exe") ==
                        Slurp(content + "ntoskrnl.exe"));
        }
        if (!s.bootIni.empty()) {
            EXPECT_TRUE(check.Cat("Boot.ini") ==
                        Slurp(std::string(MORLIT_SOURCE_DIR) + "/templates/" + s.bootIni));
        }
    }
    // Every run's private folder is gone.
    std::string left;
    Shell("ls -A " + Quote(tmp), &left);
    EXPECT_EQ(left, "");
}

}  // namespace
}  // namespace morlit::posix::test
