// The built morlit command end to end, with its real pauses (each status
// text costs a second, so these are few).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/posix/e2e_fixture.h"

namespace morlit::posix::test {
namespace {

std::string Morlit() { return std::string(MORLIT_BINARY_DIR) + "/morlit"; }

TEST(MorlitCommand, UsageErrorsAndHelp) {
    std::string out;
    EXPECT_EQ(Shell(Quote(Morlit()), &out), 2);
    EXPECT_NE(out.find("usage: morlit"), std::string::npos);
    EXPECT_EQ(Shell(Quote(Morlit()) + " --bogus x.vhd", &out), 2);
    EXPECT_EQ(Shell(Quote(Morlit()) + " a.vhd b.vhd", &out), 2);
    EXPECT_EQ(Shell(Quote(Morlit()) + " --help", &out), 0);
    EXPECT_EQ(Shell(Quote(Morlit()) + " --version", &out), 0);
    EXPECT_EQ(out.rfind("morlit ", 0), 0u);
}

TEST(MorlitCommand, AdjustsTheSampleXpImageFromACdGivenWithCdrom) {
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, "xp-nosource.vhd");
    const std::string iso = SampleTargets() + "/xp-cd.iso";
    std::string out;
    // A relative path, as a user types it; the CD prompt answered with ok.
    EXPECT_EQ(Shell("cd " + Quote(dir) + " && echo ok | " + Quote(Morlit()) + " --cdrom " +
                        Quote(iso) + " xp-nosource.vhd",
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

TEST(MorlitCommand, HibernatedImageEndsWithMessage135AndOneDiagnosticLine) {
    const std::string dir = TestDir();
    const std::string image = MakeImage(dir, "hiber.vhd", "--hibernated");
    const std::string before = Slurp(image);
    std::string out;
    EXPECT_EQ(
        Shell(Quote(Morlit()) + " " + Quote(image) + " 2>" + Quote(dir + "/err") + " </dev/null",
              &out),
        1);
    EXPECT_NE(out.find("マウントしたドライブレターが取得できませんでした。\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("エラーが発生したため、\nVHDファイルの調整が完了できませんでした。\n"),
              std::string::npos);
    EXPECT_EQ(Slurp(dir + "/err"),
              "morlit: NTFS volume on partition 1 is hibernated; start that Windows and shut it "
              "down fully first\n");
    EXPECT_EQ(Slurp(image), before);
}

// SIGTERM while the registry step starts, after the drivers were written:
// the run fails on its own path, puts the image back, says so, and exits 1.
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
        ::execl(Morlit().c_str(), "morlit", image.c_str(), static_cast<char*>(nullptr));
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
    EXPECT_EQ(WEXITSTATUS(status), 1);
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
