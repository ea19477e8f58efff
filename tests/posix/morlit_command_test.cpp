// The built morlit command end to end, some with its real pauses (each
// status text costs a second, so these are few).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "tests/posix/e2e_fixture.h"

namespace morlit::posix::test {
namespace {

std::string Morlit() { return std::string(MORLIT_BINARY_DIR) + "/morlit"; }

// The texts as written, or in English: the locale is set for each run.
const std::string kJapanese = "LC_ALL=ja_JP.UTF-8 ";
const std::string kEnglish = "LC_ALL=C ";

const std::string kWin7Texts =
    "Starting...\nMounting the VHD...\nSearching the mounted drive...\n"
    "Adjusting the target OS...\nFinishing...\nThe VHD file has been adjusted.\n";

// What a folder holds, one name a line.
std::string Listing(const std::string& dir) {
    std::string out;
    Shell("ls -A " + Quote(dir), &out);
    return out;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

TEST(MorlitCommand, UsageErrorsAndHelp) {
    std::string out;
    EXPECT_EQ(Shell(Quote(Morlit()), &out), 2);
    EXPECT_NE(out.find("usage: morlit"), std::string::npos);
    EXPECT_EQ(Shell(Quote(Morlit()) + " --bogus x.vhd", &out), 2);
    EXPECT_EQ(Shell(Quote(Morlit()) + " a.vhd b.vhd", &out), 2);
    EXPECT_EQ(Shell(Quote(Morlit()) + " --help", &out), 0);
    EXPECT_EQ(Shell(Quote(Morlit()) + " --version", &out), 0);
    EXPECT_EQ(out.rfind("morlit ", 0), 0u);
    // Both pause options are taken.
    EXPECT_EQ(Shell(Quote(Morlit()) + " --pauses --no-pauses --help", &out), 0);
}

TEST(MorlitCommand, AdjustsTheSampleXpImageFromACdGivenWithCdrom) {
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, "xp-nosource.vhd");
    const std::string iso = SampleTargets() + "/xp-cd.iso";
    std::string out;
    // A relative path, as a user types it; the CD prompt answered with ok.
    EXPECT_EQ(Shell("cd " + Quote(dir) + " && echo ok | " + kJapanese + Quote(Morlit()) +
                        " --cdrom " + Quote(iso) + " xp-nosource.vhd",
                    &out),
              0)
        << out;
    EXPECT_EQ(out,
              "処理を開始します...\nVHDをマウントしています...\n"
              "マウントしたドライブを検索しています...\n"
              "CDドライブに Windows XP のインストールCDを挿入してください。\n"
              "必要なデバイスドライバをコピーしています...\n対象となるOSを調整しています...\n"
              "終了処理をしています...\nVHDファイルの調整が完了しました。\n");
    ImageCheck check(image, 63);
    EXPECT_TRUE(check.NtfsfixAccepts()) << check.NtfsfixLog();
    EXPECT_TRUE(check.Cat("WINDOWS/system32/hal.dll") == Slurp(Source("CD/content/hal.dll")));

    // A --cdrom path that is neither a folder nor an ISO image is a usage error.
    EXPECT_EQ(Shell(Quote(Morlit()) + " --cdrom " + Quote(dir + "/none.iso") + " x.vhd", &out), 2);
    EXPECT_EQ(out, "morlit: --cdrom " + dir + "/none.iso: no such file or folder\n");
    EXPECT_EQ(Shell(Quote(Morlit()) + " x.vhd --cdrom", &out), 2);
}

// Windows 2000 without a driver source of its own, with the XP CD given: its
// kernel says the CD's drivers do not fit, so the run ends as if there were
// no target, says why, and leaves the image as it was.
TEST(MorlitCommand, Windows2000WithTheXpCdEndsWith136AndTheReason) {
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, "win2000-nosource.vhd");
    const std::string before = Slurp(image);
    std::string out;
    EXPECT_EQ(Shell("echo ok | " + kJapanese + Quote(Morlit()) + " --cdrom " +
                        Quote(SampleTargets() + "/xp-cd.iso") + " " + Quote(image) + " 2>" +
                        Quote(dir + "/err"),
                    &out),
              1);
    EXPECT_EQ(out,
              "処理を開始します...\nVHDをマウントしています...\n"
              "マウントしたドライブを検索しています...\n"
              "マウントしたドライブに、対象となるOSが見つかりません。\n"
              "終了処理をしています...\nエラーが発生したため、\n"
              "VHDファイルの調整が完了できませんでした。\n");
    EXPECT_EQ(Slurp(dir + "/err"),
              "morlit: the installation in E:\\WINNT is Windows 2000 (kernel 5.0); the Windows XP "
              "CD's drivers do not fit it\n");
    EXPECT_TRUE(Slurp(image) == before);
}

TEST(MorlitCommand, HibernatedImageEndsWithMessage135AndOneDiagnosticLine) {
    const std::string dir = TestDir();
    const std::string image = MakeImage(dir, "hiber.vhd", "--hibernated");
    const std::string before = Slurp(image);
    std::string out;
    EXPECT_EQ(Shell(kEnglish + Quote(Morlit()) + " " + Quote(image) + " 2>" + Quote(dir + "/err") +
                        " </dev/null",
                    &out),
              1);
    EXPECT_NE(out.find("Could not get the drive letter of the mounted disk.\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("An error occurred, so\nthe VHD file could not be adjusted.\n"),
              std::string::npos);
    EXPECT_EQ(Slurp(dir + "/err"),
              "morlit: NTFS volume on partition 1 is hibernated; start that Windows and shut it "
              "down fully first\n");
    EXPECT_EQ(Slurp(image), before);
}

TEST(MorlitCommand, RunsInAPrivateFolderThatGoesAtTheEndAndFindsInstalledTemplates) {
    const std::string dir = TestDir();
    const std::string tmp = dir + "/tmp";
    // Installed as the package lays it out: bin/, share/morlit/ and the
    // message catalogues in share/locale/.
    const std::string prefix = dir + "/usr";
    std::string out;
    ASSERT_EQ(Shell("cmake --install " + Quote(std::string(MORLIT_BINARY_DIR)) + " --prefix " +
                        Quote(prefix) + " >/dev/null",
                    &out),
              0)
        << out;
    Shell("mkdir -p " + Quote(tmp + "/morlit.Killed") + " && touch " +
          Quote(tmp + "/morlit.Killed/run.lock"));
    const std::string image = CopyTarget(dir, "win7.vhd");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Shell("TMPDIR=" + Quote(tmp) + " " + kEnglish + Quote(prefix + "/bin/morlit") + " " +
                        Quote(image) + " </dev/null",
                    &out),
              0)
        << out;
    // Every text in its order, in English from the installed catalogue, and
    // by default none of the twelve seconds of pauses.
    EXPECT_EQ(out, kWin7Texts);
    EXPECT_LT(Seconds(start), 6.0);
    // The killed run's folder and this run's own are gone.
    EXPECT_EQ(Listing(tmp), "");
    ImageCheck check(image, 2048);
    EXPECT_TRUE(check.NtfsfixAccepts()) << check.NtfsfixLog();
    EXPECT_FALSE(check.HiveKeys("Windows/system32/config/SYSTEM").empty());
}

TEST(MorlitCommand, TemplatesFromAFolderGivenOrAMissingOneNamed) {
    const std::string dir = TestDir();
    const std::string tmp = dir + "/tmp";
    Shell("mkdir -p " + Quote(tmp) + " " + Quote(dir + "/own") + " && cp " +
          Quote(std::string(MORLIT_SOURCE_DIR)) + "/templates/Dravmont.bin " + Quote(dir + "/own"));
    const std::string image = CopyTarget(dir, "win7.vhd");
    std::string out;
    // A Windows 7 target needs only the registry template.
    EXPECT_EQ(
        Shell("TMPDIR=" + Quote(tmp) + " " + kJapanese + Quote(Morlit()) + " --templates " +
                  Quote(dir + "/own") + " " + Quote(image) + " </dev/null 2>" + Quote(dir + "/err"),
              &out),
        0)
        << out;
    EXPECT_EQ(Slurp(dir + "/err"),
              "morlit: missing template Tolmarin.bin, Quessil.bin (searched " + dir + "/own)\n");
    // Without it the run fails with its own messages, plus the line, and
    // the image is put back.
    const std::string second = CopyTarget(dir, "xp-cabinets.vhd");
    const std::string before = Slurp(second);
    EXPECT_EQ(Shell("TMPDIR=" + Quote(tmp) + " " + kJapanese + Quote(Morlit()) +
                        " --templates=" + Quote(dir + "/none") + " " + Quote(second) +
                        " </dev/null 2>" + Quote(dir + "/err"),
                    &out),
              1);
    EXPECT_NE(out.find("対象となるOSのレジストリが読み込めませんでした。"), std::string::npos)
        << out;
    EXPECT_EQ(Slurp(dir + "/err"),
              "morlit: missing template Dravmont.bin, Tolmarin.bin, Quessil.bin (searched " + dir +
                  "/none)\nmorlit: " + second + " was put back as it was before the run\n");
    EXPECT_TRUE(Slurp(second) == before);
    EXPECT_EQ(Listing(tmp), "");
}

TEST(MorlitCommand, AFolderTooLongForWindowsPathsIsRefusedBeforeTheImageIsOpened) {
    const std::string dir = TestDir();
    const std::string tmp = dir + "/" + std::string(230, 'd');
    Shell("mkdir -p " + Quote(tmp));
    const std::string image = CopyTarget(dir, "win7.vhd");
    const std::string before = Slurp(image);
    std::string out;
    EXPECT_EQ(Shell("TMPDIR=" + Quote(tmp) + " " + kJapanese + Quote(Morlit()) + " " +
                        Quote(image) + " </dev/null",
                    &out),
              1);
    EXPECT_NE(out.find("is too long a path"), std::string::npos) << out;
    EXPECT_EQ(out.find("処理を開始します"), std::string::npos) << out;
    EXPECT_EQ(Listing(tmp), "");
    EXPECT_TRUE(Slurp(image) == before);
}

TEST(MorlitCommand, ASecondRunOnTheSameImageIsRefusedWithCode32) {
    const std::string dir = TestDir();
    const std::string tmp = dir + "/tmp";
    Shell("mkdir -p " + Quote(tmp));
    const std::string image = CopyTarget(dir, "win7.vhd");
    // The first run, with its pauses, holds the image for several seconds
    // after it says it is looking for the drives.
    Shell("(TMPDIR=" + Quote(tmp) + " " + kJapanese + Quote(Morlit()) + " --pauses " +
          Quote(image) + " </dev/null >" + Quote(dir + "/first.out") + " 2>&1; echo $? >" +
          Quote(dir + "/first.rc") + ") >/dev/null 2>&1 &");
    for (int i = 0; i < 200 && Slurp(dir + "/first.out").find("マウントしたドライブを検索") ==
                                   std::string::npos;
         ++i)
        ::usleep(50 * 1000);
    std::string out;
    EXPECT_EQ(Shell("TMPDIR=" + Quote(tmp) + " " + kJapanese + Quote(Morlit()) + " " +
                        Quote(image) + " </dev/null",
                    &out),
              1);
    EXPECT_NE(out.find("VHDファイルのオープンに失敗しました。(32)"), std::string::npos) << out;
    for (int i = 0; i < 300 && Slurp(dir + "/first.rc").empty(); ++i) ::usleep(100 * 1000);
    EXPECT_EQ(Slurp(dir + "/first.rc"), "0\n") << Slurp(dir + "/first.out");
    EXPECT_EQ(Listing(tmp), "");
}

TEST(MorlitCommand, ASigtermedRunLeavesNoFolderAndAKilledRunsFolderGoesWithTheNextRun) {
    const std::string dir = TestDir();
    const std::string tmp = dir + "/tmp";
    Shell("mkdir -p " + Quote(tmp));
    const std::string image = CopyTarget(dir, "xp-cabinets.vhd");
    Shell("((TMPDIR=" + Quote(tmp) + " exec " + Quote(Morlit()) + " --pauses " + Quote(image) +
          " </dev/null >" + Quote(dir + "/out") + " 2>&1) & echo $! >" + Quote(dir + "/pid") +
          "; wait $!; echo $? >" + Quote(dir + "/rc") + ") >/dev/null 2>&1 &");
    // Stopped in the middle of its pauses, with its folder made.
    for (int i = 0; i < 100 && Listing(tmp).empty(); ++i) ::usleep(50 * 1000);
    EXPECT_NE(Listing(tmp), "");
    ::usleep(1500 * 1000);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Shell("kill -TERM $(cat " + Quote(dir + "/pid") + ")"), 0);
    for (int i = 0; i < 300 && Slurp(dir + "/rc").empty(); ++i) ::usleep(50 * 1000);
    // No pause holds it once asked to stop; it ends as stopped, its image
    // put back.
    EXPECT_LT(Seconds(start), 5.0);
    EXPECT_EQ(Slurp(dir + "/rc"), "143\n") << Slurp(dir + "/out");
    EXPECT_EQ(Listing(tmp), "");

    // SIGKILL leaves the folder; the next run finds its lock free and
    // removes it.
    ::unlink((dir + "/pid").c_str());
    ::unlink((dir + "/rc").c_str());
    Shell("((TMPDIR=" + Quote(tmp) + " exec " + Quote(Morlit()) + " --pauses " + Quote(image) +
          " </dev/null >/dev/null 2>&1) & echo $! >" + Quote(dir + "/pid") +
          "; wait $!; echo $? >" + Quote(dir + "/rc") + ") >/dev/null 2>&1 &");
    // Killed once its folder is made, however slow the machine.
    for (int i = 0; i < 200 && (Listing(tmp).empty() || Slurp(dir + "/pid").empty()); ++i)
        ::usleep(50 * 1000);
    EXPECT_EQ(Shell("kill -KILL $(cat " + Quote(dir + "/pid") + ")"), 0);
    for (int i = 0; i < 300 && Slurp(dir + "/rc").empty(); ++i) ::usleep(50 * 1000);
    EXPECT_NE(Listing(tmp), "");
    const std::string other = CopyTarget(dir, "win7.vhd");
    std::string out;
    EXPECT_EQ(Shell("TMPDIR=" + Quote(tmp) + " " + Quote(Morlit()) + " --no-pauses " +
                        Quote(other) + " </dev/null",
                    &out),
              0)
        << out;
    EXPECT_EQ(Listing(tmp), "");
}

// SIGTERM while the registry step starts, after the drivers were written:
// the run fails on its own path, puts the image back, says so, and exits
// 128 + SIGTERM.
TEST(MorlitCommand, StoppedBySigtermPutsTheImageBack) {
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, "xp-cabinets.vhd");
    const std::string before = Slurp(image);
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        const int err = ::open((dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(err, STDERR_FILENO);
        const int none = ::open("/dev/null", O_RDONLY);
        ::dup2(none, STDIN_FILENO);
        ::setenv("LC_ALL", "ja_JP.UTF-8", 1);
        ::execl(Morlit().c_str(), "morlit", "--pauses", image.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(out[1]);
    // The status line comes just before the step's pause; the drivers are on
    // the image by then.
    const std::string registry = "対象となるOSを調整しています...\n";
    std::string text;
    char buffer[256];
    ssize_t n;
    bool sent = false;
    while ((n = ::read(out[0], buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<size_t>(n));
        if (!sent && text.find(registry) != std::string::npos) {
            ::kill(child, SIGTERM);
            sent = true;
        }
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(sent) << text;
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
    EXPECT_NE(text.find("エラーが発生したため、\nVHDファイルの調整が完了できませんでした。\n"),
              std::string::npos)
        << text;
    // The failed step may say why it failed first; the last line is ours.
    const std::string err = Slurp(dir + "/err");
    const std::string last = "morlit: " + image + " was put back as it was before the run\n";
    ASSERT_GE(err.size(), last.size()) << err;
    EXPECT_EQ(err.substr(err.size() - last.size()), last) << err;
    EXPECT_TRUE(Slurp(image) == before);
    EXPECT_FALSE(FileExists(image + "-journal"));
}

}  // namespace
}  // namespace morlit::posix::test
