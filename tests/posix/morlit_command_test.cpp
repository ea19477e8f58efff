// The built morlit command end to end, some with its real pauses (each
// status text costs a second, so these are few).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "tests/posix/e2e_fixture.h"
#include "tests/posix/realdata.h"
#include "tests/posix/test_files.h"

namespace morlit::posix::test {
namespace {

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

using morlit::test::Spit;

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

TEST(MorlitCommand, UsageErrorsAndHelp) {
    // Each mistake in a line that names it, then where to read how it goes.
    const std::pair<const char*, const char*> mistakes[] = {
        {"", "no image given"},
        {"--check", "no image given"},
        {"a.vhd ''", "an image name is empty"},
        {"--bogus x.vhd", "unknown option --bogus"},
        {"--p x.vhd", "option --p is ambiguous: --pauses, --put-back"},
        {"--json=yes x.vhd", "--json takes no value"},
        {"x.vhd --cdrom", "--cdrom needs a path"},
        {"--templates '' x.vhd", "--templates needs a folder, not an empty name"},
        {"--check --put-back x.vhd", "--put-back cannot be used with --check"},
        {"--put-back --json x.vhd", "--put-back cannot be used with --json"},
        {"--put-back --cdrom=/ x.vhd", "--put-back cannot be used with --cdrom"},
        {"--put-back --no-pauses x.vhd", "--put-back cannot be used with --no-pauses"},
    };
    std::string out;
    for (const auto& [args, mistake] : mistakes) {
        EXPECT_EQ(Shell(Quote(Morlit()) + " " + args + " </dev/null", &out), 2) << args;
        EXPECT_EQ(out, "morlit: " + std::string(mistake) +
                           "\nTry 'morlit --help' for more information.\n");
    }
    // The help fits 80 columns, and the manual page's synopsis has every
    // option of the help's.
    EXPECT_EQ(Shell(Quote(Morlit()) + " --pauses --no-pauses -h", &out), 0);
    std::string manual = Slurp(std::string(MORLIT_BINARY_DIR) + "/morlit.1");
    for (size_t at; (at = manual.find("\\-")) != std::string::npos;) manual.erase(at, 1);
    const std::string synopsis = manual.substr(0, manual.find(".SH DESCRIPTION"));
    std::istringstream help(out);
    bool usage = true;  // the help's first lines, up to an empty one
    for (std::string line; std::getline(help, line);) {
        EXPECT_LE(line.size(), 80u) << line;
        usage &= !line.empty();
        for (size_t at = 0; usage && (at = line.find("--", at)) != std::string::npos;) {
            const size_t end = line.find_first_of(" ]|", at);
            EXPECT_NE(synopsis.find(line.substr(at, end - at)), std::string::npos) << line;
            at = end;
        }
    }
    // It quotes what a run shows.
    for (const char* text :
         {"[ok/cancel]", "Insert the Windows XP installation CD into the CD drive.", "[yes/no]",
          "Search again?", "The VHD file has been adjusted."})
        EXPECT_NE(manual.find(text), std::string::npos) << text;
    EXPECT_EQ(Shell(Quote(Morlit()) + " --version", &out), 0);
    EXPECT_EQ(out.rfind("morlit ", 0), 0u);
}

TEST(MorlitCommand, AdjustsTheSampleXpImageFromACdGivenWithCdrom) {
    const std::string dir = TestDir();
    // The XP CD as its ISO image, and as a folder: names that are not UTF-8
    // still reach the very files.
    const std::string folder = dir + "/CD\xE9";
    ASSERT_EQ(Shell("mkdir -p " + Quote(folder + "/I386") + " && touch " +
                    Quote(folder + "/WIN51") + " && cp " + Quote(Source("CD/volume/Windows/i386")) +
                    "/* " + Quote(folder + "/I386")),
              0);
    for (const auto& [cd, name] :
         {std::pair<std::string, std::string>(SampleTargets() + "/xp-cd.iso", "xp-nosource.vhd"),
          {folder, "caf\xE9.vhd"}}) {
        const std::string image = dir + "/" + name;
        ASSERT_EQ(::rename(CopyTarget(dir, "xp-nosource.vhd").c_str(), image.c_str()), 0);
        std::string out;
        // A relative path, as a user types it; the CD prompt answered with ok.
        EXPECT_EQ(Shell("cd " + Quote(dir) + " && echo ok | " + kJapanese + Quote(Morlit()) +
                            " --cdrom " + Quote(cd) + " " + Quote(name),
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
    }

    // A --cdrom path that is neither a folder nor an ISO image is a usage error.
    std::string out;
    EXPECT_EQ(Shell(Quote(Morlit()) + " --cdrom " + Quote(dir + "/none.iso") + " x.vhd", &out), 2);
    EXPECT_EQ(out, "morlit: --cdrom " + dir +
                       "/none.iso: no such file or folder\nTry 'morlit --help' for more "
                       "information.\n");
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
              "morlit: " + image +
                  ": the installation in E:\\WINNT is Windows 2000 (kernel 5.0); the Windows XP "
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
              "morlit: " + image +
                  ": NTFS volume on partition 1 is hibernated; start that Windows and shut it "
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
    // The files only a Debian package has stay in the package.
    EXPECT_FALSE(FileExists(prefix + "/share/lintian/overrides/morlit"));
    EXPECT_FALSE(FileExists(prefix + "/share/doc/morlit/changelog.Debian.gz"));
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
    EXPECT_EQ(Slurp(dir + "/err"), "morlit: " + image +
                                       ": missing template Tolmarin.bin, Quessil.bin (searched " +
                                       dir + "/own)\n");
    // Without the registry template, which every run needs, the image is
    // not even opened.
    const std::string second = CopyTarget(dir, "xp-cabinets.vhd");
    const std::string before = Slurp(second);
    EXPECT_EQ(Shell("TMPDIR=" + Quote(tmp) + " " + kJapanese + Quote(Morlit()) +
                        " --templates=" + Quote(dir + "/none") + " " + Quote(second) +
                        " </dev/null 2>" + Quote(dir + "/err"),
                    &out),
              1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(Slurp(dir + "/err"),
              "morlit: " + second +
                  ": missing template Dravmont.bin, Tolmarin.bin, Quessil.bin (searched " + dir +
                  "/none); every run needs Dravmont.bin, so the image was not opened; give the "
                  "templates' folder with --templates DIR\n");
    EXPECT_TRUE(Slurp(second) == before);
    EXPECT_FALSE(FileExists(second + "-journal"));
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

// A morlit command started in a child: its standard output read through a
// pipe as it comes, its standard error in a file, no input.
class Child {
  public:
    Child(const std::vector<std::string>& args, const std::string& dir,
          const std::string& input = "", const std::vector<std::string>& env = {}) {
        int out[2];
        EXPECT_EQ(::pipe(out), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::close(out[0]);
            const int err = ::open((dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(err, STDERR_FILENO);
            const int in = ::open(input.empty() ? "/dev/null" : input.c_str(), O_RDONLY);
            ::dup2(in, STDIN_FILENO);
            ::setenv("TMPDIR", (dir + "/tmp").c_str(), 1);
            // The texts these tests wait for are the Japanese ones, and the
            // stops land in the pauses between the steps.
            ::setenv("LC_ALL", "ja_JP.UTF-8", 1);
            for (const std::string& e : env) ::putenv(const_cast<char*>(e.c_str()));
            std::vector<char*> argv;
            const std::string morlit = Morlit();
            argv.push_back(const_cast<char*>(morlit.c_str()));
            std::string pauses = "--pauses";
            if (std::find(args.begin(), args.end(), "--no-pauses") == args.end() &&
                std::find(args.begin(), args.end(), "--put-back") == args.end())
                argv.push_back(const_cast<char*>(pauses.c_str()));
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(morlit.c_str(), argv.data());
            _exit(127);
        }
        ::close(out[1]);
        out_ = out[0];
    }
    ~Child() {
        if (out_ >= 0) ::close(out_);
    }
    // Reads standard output until it holds `text` (from `from` on); false
    // when the output ended first.
    bool WaitFor(const std::string& text, size_t from = 0) {
        char buffer[256];
        while (out.find(text, from) == std::string::npos) {
            const ssize_t n = ::read(out_, buffer, sizeof buffer);
            if (n <= 0) return false;
            out.append(buffer, static_cast<size_t>(n));
        }
        return true;
    }
    void Signal(int signal) { ::kill(pid_, signal); }
    // The exit status, or -1 when a signal ended the process.
    int Wait() {
        WaitFor(std::string(1, '\0'));  // to the end of the output
        int status = 0;
        ::waitpid(pid_, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string out;

  private:
    pid_t pid_ = -1;
    int out_ = -1;
};

const std::string kMounting = "VHDをマウントしています...\n";
const std::string kSearching = "マウントしたドライブを検索しています...\n";
const std::string kDrivers = "必要なデバイスドライバをコピーしています...\n";
const std::string kRegistry = "対象となるOSを調整しています...\n";
const std::string kFinishing = "終了処理をしています...\n";
const std::string kDone = "VHDファイルの調整が完了しました。\n";
const std::string kFailed = "エラーが発生したため、\nVHDファイルの調整が完了できませんでした。\n";

// Each stop signal, sent once the run has reached one of its stages (the
// image being opened, the image held, the drivers being written, the
// registry being adjusted): the run ends as failed, the image is byte for
// byte as it was, nothing of the run is left, the exit status is 128 + the
// signal, and the one line on standard error says it was stopped - not what
// the refused writes made fail. Once the run says it is finishing, its
// result is decided: a stop then waits, and the adjusted image is kept.
TEST(MorlitCommand, EachStopSignalAtEachStagePutsTheImageBackAndSaysSo) {
    struct Case {
        int signal;
        const char* name;
        std::string stage;
        bool written;  // the image was changed by then
    };
    const std::vector<Case> cases = {
        {SIGTERM, "SIGTERM", kMounting, false}, {SIGINT, "SIGINT", kSearching, false},
        {SIGHUP, "SIGHUP", kDrivers, false},  // in the pause before the copy
        {SIGQUIT, "SIGQUIT", kRegistry, true},  {SIGINT, "SIGINT", kFinishing, true},
    };
    const std::string base = TestDir();
    struct Result {
        int rc = -2;
        bool reached = false;
        std::string out;
    };
    std::vector<Result> results(cases.size());
    std::vector<std::string> images, befores, dirs;
    for (const Case& c : cases) {
        dirs.push_back(base + "/" + std::to_string(dirs.size()) + c.name);
        Shell("mkdir -p " + Quote(dirs.back() + "/tmp"));
        images.push_back(CopyTarget(dirs.back(), "xp-cabinets.vhd"));
        befores.push_back(Slurp(images.back()));
    }
    // Side by side: each waits out the real pauses up to its stage.
    std::vector<std::thread> runs;
    for (size_t i = 0; i < cases.size(); ++i) {
        runs.emplace_back([&, i] {
            Child child({images[i]}, dirs[i]);
            results[i].reached = child.WaitFor(cases[i].stage);
            if (results[i].reached) child.Signal(cases[i].signal);
            results[i].rc = child.Wait();
            results[i].out = child.out;
        });
    }
    for (std::thread& t : runs) t.join();
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(std::string(c.name) + " at " + c.stage);
        ASSERT_TRUE(results[i].reached) << results[i].out;
        EXPECT_FALSE(FileExists(images[i] + "-journal"));
        EXPECT_EQ(Listing(dirs[i] + "/tmp"), "");
        if (c.stage == kFinishing) {
            EXPECT_EQ(results[i].rc, 0);
            EXPECT_NE(results[i].out.find(kDone), std::string::npos) << results[i].out;
            EXPECT_EQ(Slurp(dirs[i] + "/err"),
                      "morlit: " + images[i] +
                          ": SIGINT came too late to stop the run: the image was adjusted and "
                          "is kept\n");
            EXPECT_FALSE(Slurp(images[i]) == befores[i]);
            continue;
        }
        EXPECT_EQ(results[i].rc, 128 + c.signal);
        EXPECT_EQ(results[i].out.find(kDone), std::string::npos) << results[i].out;
        EXPECT_NE(results[i].out.find(kFailed), std::string::npos) << results[i].out;
        EXPECT_EQ(
            Slurp(dirs[i] + "/err"),
            "morlit: " + images[i] + ": stopped by " + std::string(c.name) + "; " + images[i] +
                (c.written ? " was put back as it was before the run\n" : " was not changed\n"));
        EXPECT_TRUE(Slurp(images[i]) == befores[i]);
    }
}

// A reader that went away, or no standard output and error at all: the run
// goes on to its end and adjusts the image as it would have, and leaves
// nothing behind.
TEST(MorlitCommand, ClosedOutputsDoNotEndTheRun) {
    const std::string base = TestDir();
    for (const bool closed : {true, false}) {
        SCOPED_TRACE(closed ? "outputs closed" : "the reader of a pipe gone");
        const std::string dir = base + (closed ? "/closed" : "/pipe");
        Shell("mkdir -p " + Quote(dir + "/tmp"));
        const std::string image = CopyTarget(dir, "xp-cabinets.vhd");
        int pipe_fds[2];
        ASSERT_EQ(::pipe(pipe_fds), 0);
        ::close(pipe_fds[0]);
        const pid_t child = ::fork();
        if (child == 0) {
            if (closed) {
                ::close(STDOUT_FILENO);
                ::close(STDERR_FILENO);
            } else {
                ::dup2(pipe_fds[1], STDOUT_FILENO);
                ::dup2(pipe_fds[1], STDERR_FILENO);
            }
            ::close(pipe_fds[1]);
            const int none = ::open("/dev/null", O_RDONLY);
            ::dup2(none, STDIN_FILENO);
            ::setenv("TMPDIR", (dir + "/tmp").c_str(), 1);
            ::execl(Morlit().c_str(), "morlit", "--no-pauses", image.c_str(),
                    static_cast<char*>(nullptr));
            _exit(127);
        }
        ::close(pipe_fds[1]);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_FALSE(FileExists(image + "-journal"));
        EXPECT_EQ(Listing(dir + "/tmp"), "");
        ImageCheck check(image, 63);
        EXPECT_TRUE(check.NtfsfixAccepts()) << check.NtfsfixLog();
        EXPECT_FALSE(check.Cat("WINDOWS/system32/drivers/intelide.sys").empty());
    }
}

// SIGINT at moments from the registry step through the run's decision and
// its finish: whatever the moment, the message shown and the image agree -
// the success message with the image adjusted and kept, the failure message
// with the image as it was.
TEST(MorlitCommand, ASignalAroundTheDecisionNeverMakesTheFinalMessageUntrue) {
    const std::string base = TestDir();
    int kept = 0, putBack = 0;
    for (const int delay_us : {0, 5000, 10000, 20000, 40000, 80000, 160000, 320000}) {
        SCOPED_TRACE("SIGINT " + std::to_string(delay_us) + " us after the registry step began");
        const std::string dir = base + "/" + std::to_string(delay_us);
        Shell("mkdir -p " + Quote(dir + "/tmp"));
        const std::string image = CopyTarget(dir, "xp-cabinets.vhd");
        const std::string before = Slurp(image);
        Child child({"--no-pauses", image}, dir);
        ASSERT_TRUE(child.WaitFor(kRegistry)) << child.out;
        ::usleep(static_cast<useconds_t>(delay_us));
        child.Signal(SIGINT);
        const int rc = child.Wait();
        EXPECT_FALSE(FileExists(image + "-journal"));
        EXPECT_EQ(Listing(dir + "/tmp"), "");
        if (child.out.find(kDone) != std::string::npos) {
            ++kept;
            EXPECT_EQ(rc, 0);
            EXPECT_FALSE(Slurp(image) == before);
            ImageCheck check(image, 63);
            EXPECT_TRUE(check.NtfsfixAccepts()) << check.NtfsfixLog();
        } else {
            ++putBack;
            EXPECT_NE(child.out.find(kFailed), std::string::npos) << child.out;
            EXPECT_EQ(rc, 128 + SIGINT);
            EXPECT_TRUE(Slurp(image) == before);
        }
    }
    std::cerr << "adjusted and kept " << kept << ", put back " << putBack << "\n";
}

// Every failing ending says on standard error, in one line a user can act
// on, what stopped the run; the dialog's messages stay as they are on
// standard output, and the image is left as it was.
struct Ending {
    const char* name;
    std::function<std::string(const std::string& dir)> image;  // made in `dir`
    std::string answers;                                       // standard input
    const char* kind;                                          // the first cause's kind
    std::string cause;    // the start of the first cause line, on standard error too
    std::string message;  // the dialog's message on standard output, besides 131
    // The read of the image the disk fails, counted from 1 ("21+": that one
    // and every later one); empty for none.
    std::string failRead = "";
    bool realData = false;  // made from ../shared
    // A folder of the test's, made by `image`, given with --templates.
    std::string templates = "";
    // The file whose reads fail when not the image: "-journal", its journal.
    // The run cannot put the image back then: the journal is kept, and its
    // cause is the last; a --put-back without the fault restores the image.
    std::string readsOf = "";
    // The journal's write from which on the file system is full; empty for
    // a file system with room.
    std::string fullFrom = "";
};

// The NTFS volume of a sample target alone in a fixed VHD, as a tool that
// images one volume makes it, with `entry` where a partition table's first
// entry would be (the volume's boot sector has zeros there).
std::string BareVolume(const std::string& dir, const std::string& entry) {
    const std::string raw = dir + "/disk.raw", volume = dir + "/volume.raw";
    const std::string image = dir + "/volume.vhd";
    return Shell("qemu-img convert -f vpc -O raw " + Quote(SampleTargets() + "/xp-cabinets.vhd") +
                 " " + Quote(raw) + " && dd if=" + Quote(raw) + " of=" + Quote(volume) +
                 " bs=512 skip=63 status=none && printf '" + entry + "' | dd of=" + Quote(volume) +
                 " bs=1 seek=446 conv=notrunc status=none && qemu-img convert " +
                 "-f raw -O vpc -o subformat=fixed " + Quote(volume) + " " + Quote(image)) == 0
               ? image
               : "";
}

class FailingEnding : public ::testing::TestWithParam<Ending> {};

TEST_P(FailingEnding, SaysWhatStoppedTheRun) {
    const Ending& e = GetParam();
    if (e.realData) MORLIT_REQUIRE_REALDATA();
    const std::string dir = TestDir();
    Shell("mkdir -p " + Quote(dir + "/tmp"));
    const std::string image = e.image(dir);
    ASSERT_FALSE(image.empty());
    const std::string before = Slurp(image);
    Spit(dir + "/answers", e.answers);
    std::vector<std::string> env;
    std::string shellEnv = "env ";
    const std::string name = image.substr(image.rfind('/')), journal = image + "-journal";
    if (!e.failRead.empty() || !e.fullFrom.empty()) {
#ifdef MORLIT_FAIL_READ
        env = {"LD_PRELOAD=" MORLIT_FAIL_READ,
               "MORLIT_FAIL_READ_AT=" + (e.failRead.empty() ? "0" : e.failRead),
               "MORLIT_FAIL_READ_OF=" + name + e.readsOf,
               std::string("MORLIT_FAIL_READ_FROM_THEN_ON=") +
                   (!e.failRead.empty() && e.failRead.back() == '+' ? "1" : "0"),
               "MORLIT_FAIL_WRITE_OF=" + name + "-journal",
               "MORLIT_FAIL_WRITE_AT=" + (e.fullFrom.empty() ? "0" : e.fullFrom)};
        if (e.fullFrom.empty()) env.pop_back();
        for (const std::string& word : env) shellEnv += Quote(word) + " ";
#else
        GTEST_SKIP() << "no failing shim in this build";
#endif
    }
    const bool keepsJournal = !e.readsOf.empty();
    const std::string cause = e.cause.rfind("IMAGE", 0) == 0 ? image + e.cause.substr(5) : e.cause;
    // The image as it was, from the journal the run had to keep.
    const auto putBack = [&] {
        if (!keepsJournal) return;
        EXPECT_TRUE(FileExists(journal));
        EXPECT_FALSE(Slurp(image) == before);
        EXPECT_EQ(Shell(Quote(Morlit()) + " --put-back " + Quote(image) + " 2>/dev/null"), 0);
    };
    std::vector<std::string> args = {"--no-pauses", image};
    if (!e.templates.empty()) {
        args.insert(args.begin(), "--templates=" + dir + "/" + e.templates);
    }
    Child child(args, dir, dir + "/answers", env);
    EXPECT_EQ(child.Wait(), 1);
    const std::string err = Slurp(dir + "/err");
    EXPECT_NE(err.find("morlit: " + image + ": " + cause), std::string::npos) << err;
    if (!e.failRead.empty() && !keepsJournal) {
        // The read as such: the image, the system's words, and what became
        // of the image.
        const std::string first = err.substr(0, err.find('\n'));
        EXPECT_NE(first.find("\"" + image + "\""), std::string::npos) << err;
        EXPECT_NE(first.find("Input/output error)"), std::string::npos) << err;
        EXPECT_TRUE(err.find("was not changed") != std::string::npos ||
                    err.find(image + " was put back as it was") != std::string::npos)
            << err;
    }
    EXPECT_NE(child.out.find(e.message), std::string::npos) << child.out;
    ASSERT_GE(child.out.size(), kFailed.size()) << child.out;
    EXPECT_EQ(child.out.substr(child.out.size() - kFailed.size()), kFailed) << child.out;
    putBack();
    EXPECT_TRUE(Slurp(image) == before);
    EXPECT_FALSE(FileExists(journal));
    // With --json the line is among the causes, where a script looks for it.
    std::string json;
    const std::string templates =
        e.templates.empty() ? "" : " --templates=" + Quote(dir + "/" + e.templates);
    EXPECT_EQ(Shell(shellEnv + kEnglish + Quote(Morlit()) + templates + " --json " + Quote(image) +
                        " <" + Quote(dir + "/answers") + " 2>/dev/null",
                    &json),
              1);
    putBack();
    const nlohmann::json object = nlohmann::json::parse(json);
    EXPECT_EQ(object["outcome"], "failed");
    EXPECT_EQ(object["journal"] == "kept", keepsJournal) << object.dump();
    ASSERT_FALSE(object["causes"].empty()) << object.dump();
    const nlohmann::json& first = keepsJournal ? object["causes"].back() : object["causes"][0];
    EXPECT_EQ(first["kind"], e.kind) << object.dump();
    EXPECT_EQ(first["text"].get<std::string>().rfind(cause, 0), 0u) << object.dump();
    for (const auto& warning : object["warnings"])
        EXPECT_NE(warning.get<std::string>().rfind(cause, 0), 0u) << object.dump();
    // A check over the same failing disk says a run would fail, for the read
    // (early in the run: later, a check that saves no old bytes reads less).
    if (e.failRead.empty() || keepsJournal || std::stoi(e.failRead) > 30) return;
    EXPECT_EQ(Shell(shellEnv + kEnglish + Quote(Morlit()) + " --check --json " + Quote(image) +
                        " <" + Quote(dir + "/answers") + " 2>/dev/null",
                    &json),
              1);
    const nlohmann::json check = nlohmann::json::parse(json);
    EXPECT_EQ(check["outcome"], "would fail");
    ASSERT_FALSE(check["causes"].empty()) << check.dump();
    EXPECT_EQ(check["causes"][0]["kind"], "read error") << check.dump();
}

const std::string kInsertCd = "CDドライブに Windows XP のインストールCDを挿入してください。\n";
const std::string kNoLetter = "マウントしたドライブレターが取得できませんでした。\n";
const std::string kNoDetach = "VHDファイルのアンマウントに失敗しました。(30)\n";
const char kBare[] =
    "the image holds a single volume and no partition table; Windows Virtual PC needs a whole "
    "disk image";
const auto kCabinets = [](const std::string& d) { return CopyTarget(d, "xp-cabinets.vhd"); };
const char kCdCause[] =
    "this installation has no driver source; give the Windows XP CD with --cdrom ISO|FOLDER";

INSTANTIATE_TEST_SUITE_P(
    Command, FailingEnding,
    ::testing::Values(
        Ending{"NoWindows", [](const std::string& d) { return CopyTarget(d, "none.vhd"); }, "",
               "no windows",
               "no Windows installation found: the first volume of the image, D: (NTFS, "
               "partition 1, ",
               "マウントしたドライブに、対象となるOSが見つかりません。\n"},
        // A name that is not UTF-8 opens that very image; JSON stays valid.
        Ending{"NameNotUtf8",
               [](const std::string& d) {
                   const std::string image = d + "/caf\xE9.vhd";
                   return ::rename(CopyTarget(d, "none.vhd").c_str(), image.c_str()) == 0 ? image
                                                                                          : "";
               },
               "", "no windows",
               "no Windows installation found: the first volume of the image, D: (NTFS, ",
               "マウントしたドライブに、対象となるOSが見つかりません。\n"},
        Ending{"CdQuestionAtEndOfInput",
               [](const std::string& d) { return CopyTarget(d, "xp-nosource.vhd"); }, "",
               "no driver source",
               std::string(kCdCause) + " (the question for the CD met the end of the input)",
               kInsertCd},
        Ending{"CdQuestionCancelled",
               [](const std::string& d) { return CopyTarget(d, "xp-nosource.vhd"); }, "cancel\n",
               "no driver source",
               std::string(kCdCause) + " (the question for the CD was answered cancel)", kInsertCd},
        Ending{"NoCdFoundAndNoRetry",
               [](const std::string& d) { return CopyTarget(d, "xp-nosource.vhd"); }, "ok\nno\n",
               "no driver source",
               std::string(kCdCause) + " (no CD drive holds a disc with WIN51 and I386", kInsertCd},
        // A bare NTFS volume of a real Windows machine, put in a VHD as it is.
        Ending{"BareVolume",
               [](const std::string& d) -> std::string {
                   if (!UnpackRealData("disks/windows_volume.qcow2", d, "volume.qcow2")) return "";
                   const std::string image = d + "/volume.vhd";
                   return Shell("qemu-img convert -f qcow2 -O vpc -o subformat=fixed " +
                                Quote(d + "/volume.qcow2") + " " + Quote(image)) == 0
                              ? image
                              : "";
               },
               "", "bare volume", kBare, kNoLetter, "", true},
        Ending{"BadHive", [](const std::string& d) { return CopyTarget(d, "xp-badhive.vhd"); }, "",
               "bad hive",
               "the hive D:\\Windows\\system32\\config\\system names no default control set",
               "対象となるOSのレジストリが読み込めませんでした。(2)\n"},
        // A Boot.ini template missing beside the program refuses the target
        // before the drivers are written.
        Ending{"BootIniTemplateMissing",
               [](const std::string& d) {
                   Shell("mkdir -p " + Quote(d + "/templates") +
                         " && cp " MORLIT_SOURCE_DIR "/templates/Dravmont.bin " +
                         Quote(d + "/templates"));
                   return CopyTarget(d, "xp-cabinets.vhd");
               },
               "", "template",
               "the Boot.ini template Quessil.bin beside the program cannot be read", "", "", false,
               "templates"},
        Ending{"LogOfANewerWindows",
               [](const std::string& d) { return MakeImage(d, "newer.vhd", "--log newer"); }, "",
               "unclean volume",
               "NTFS volume on partition 1 was not shut down cleanly: its journal was left open "
               "by a newer Windows (8 or later) that shut down with fast startup",
               "マウントしたドライブレターが取得できませんでした。\n"},
        // A bare volume whose boot sector has zeros where a table's entries
        // would be passes for an empty table, and garbage for a malformed one.
        Ending{"BareVolumeWithZerosForATable",
               [](const std::string& d) { return BareVolume(d, ""); }, "", "bare volume", kBare,
               kNoLetter},
        Ending{"BareVolumeWithAMalformedTable",
               [](const std::string& d) { return BareVolume(d, "\\022\\0\\0\\0\\007"); }, "",
               "bare volume", kBare, kNoLetter},
        // Reads of the image that the disk fails: the identity read at the
        // open, the NTFS journal's check (once, and every read from then on),
        // the hive, a read passed over late in the run. Each is said as a
        // read that failed, never as the volume or hive it kept unread.
        Ending{"ReadFailsAtTheOpen", kCabinets, "", "read error",
               "The image file cannot be read: a read of \"",
               "VHDファイルのオープンに失敗しました。(30)\n", "1"},
        Ending{"ReadFailsInTheJournalCheck", kCabinets, "", "read error", "a read of \"", kNoDetach,
               "27"},
        Ending{"EveryReadFailsFromTheJournalCheckOn", kCabinets, "", "read error", "a read of \"",
               kNoDetach, "21+"},
        Ending{"ReadOfTheHiveFails", kCabinets, "", "read error", "a read of \"",
               "対象となるOSのレジストリが読み込めませんでした。(1)\n", "300"},
        Ending{"ReadFailsLateInTheRun", kCabinets, "", "read error", "a read of \"", kNoDetach,
               "350"},
        // The journal's first read, as a run that failed on its own puts the
        // image back.
        Ending{"JournalReadFailsAtThePutBack",
               [](const std::string& d) { return CopyTarget(d, "xp-nomember.vhd"); }, "", "journal",
               "IMAGE could not be put back as it was: The journal \"", "", "1", false, "",
               "-journal"},
        // The file system fills up as the journal grows: the run stops at the
        // write it refused, and what was written is undone.
        Ending{"FileSystemFullUnderTheJournal", kCabinets, "", "disk full",
               "the image was detached, but writing it out failed: the file system holding",
               "VHDファイルのアンマウントに失敗しました。(112)\n", "", false, "", "", "5"}),
    [](const ::testing::TestParamInfo<Ending>& info) { return std::string(info.param.name); });

// Several images in one command, each a run of its own: one that fails in
// the middle leaves the others adjusted, each CD question reads its own
// answer from the shared input, and the exit status says a run failed.
TEST(MorlitCommand, SeveralImagesAreAdjustedOneAfterAnotherAndAFailureInTheMiddleStopsNone) {
    const std::string dir = TestDir();
    Shell("mkdir -p " + Quote(dir + "/tmp") + " " + Quote(dir + "/second"));
    const std::string first = CopyTarget(dir, "xp-nosource.vhd");
    const std::string middle = CopyTarget(dir, "none.vhd");
    const std::string last = CopyTarget(dir + "/second", "xp-nosource.vhd");
    const std::string before = Slurp(first), middleBefore = Slurp(middle);
    std::string out;
    EXPECT_EQ(Shell("printf 'ok\\nok\\n' | TMPDIR=" + Quote(dir + "/tmp") + " " + kEnglish +
                        Quote(Morlit()) + " --cdrom=" + Quote(SampleTargets() + "/xp-cd.iso") +
                        " -- " + Quote(first) + " " + Quote(middle) + " " + Quote(last) + " 2>" +
                        Quote(dir + "/err"),
                    &out),
              1);
    const std::string insertCd = "Insert the Windows XP installation CD into the CD drive.\n";
    const std::string done = "The VHD file has been adjusted.\n";
    const size_t a = out.find("==> " + first + " <==\n"), b = out.find("==> " + middle + " <==\n"),
                 c = out.find("==> " + last + " <==\n");
    ASSERT_EQ(a, 0u) << out;
    ASSERT_NE(b, std::string::npos) << out;
    ASSERT_NE(c, std::string::npos) << out;
    ASSERT_LT(b, c);
    const std::string outA = out.substr(a, b - a), outB = out.substr(b, c - b),
                      outC = out.substr(c);
    // Each XP run asked for the CD and took its own "ok".
    EXPECT_NE(outA.find(insertCd), std::string::npos) << outA;
    EXPECT_NE(outC.find(insertCd), std::string::npos) << outC;
    EXPECT_EQ(outA.substr(outA.size() - done.size()), done) << outA;
    EXPECT_EQ(outC.substr(outC.size() - done.size()), done) << outC;
    EXPECT_EQ(outB.find(done), std::string::npos) << outB;
    EXPECT_NE(outB.find("could not be adjusted"), std::string::npos) << outB;
    // Standard error names the image each line is about.
    const std::string err = Slurp(dir + "/err");
    EXPECT_EQ(err.rfind("morlit: " + middle + ": no Windows installation found", 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_TRUE(Slurp(middle) == middleBefore);
    EXPECT_FALSE(Slurp(first) == before);
    for (const std::string& image : {first, last}) {
        SCOPED_TRACE(image);
        ImageCheck check(image, 63);
        EXPECT_TRUE(check.NtfsfixAccepts()) << check.NtfsfixLog();
        EXPECT_TRUE(check.Cat("WINDOWS/system32/hal.dll") == Slurp(Source("CD/content/hal.dll")));
    }
    for (const std::string& image : {first, middle, last})
        EXPECT_FALSE(FileExists(image + "-journal"));
    EXPECT_EQ(Listing(dir + "/tmp"), "");
    // Side by side under xargs, one image a command and no CD this time:
    // each fails, and every line of theirs names its image.
    EXPECT_EQ(Shell("printf '%s\\0' " + Quote(first) + " " + Quote(middle) + " " + Quote(last) +
                    " | TMPDIR=" + Quote(dir + "/tmp") + " xargs -0 -P3 -n1 " + Quote(Morlit()) +
                    " >/dev/null 2>" + Quote(dir + "/err")),
              123);
    std::istringstream lines(Slurp(dir + "/err"));
    std::set<std::string> named;
    for (std::string line; std::getline(lines, line);) {
        const std::string image = line.substr(8, line.find(".vhd: ") + 4 - 8);
        EXPECT_TRUE(line.rfind("morlit: ", 0) == 0 &&
                    (image == first || image == middle || image == last))
            << line;
        named.insert(image);
    }
    EXPECT_EQ(named.size(), 3u) << Slurp(dir + "/err");
}

// A stop during the second of three images ends the batch there: the first
// stays adjusted, the second is put back, the third is not touched and is
// named, and the exit status is the stop's.
TEST(MorlitCommand, AStopInTheSecondImageKeepsTheFirstAndNamesTheThird) {
    const std::string dir = TestDir();
    Shell("mkdir -p " + Quote(dir + "/tmp"));
    std::vector<std::string> images, befores;
    for (const char* name : {"one", "two", "three"}) {
        Shell("mkdir -p " + Quote(dir + "/" + name));
        images.push_back(CopyTarget(dir + "/" + name, "xp-cabinets.vhd"));
        befores.push_back(Slurp(images.back()));
    }
    Child child(images, dir);
    // The second run's drivers are written, in the pause before the registry.
    ASSERT_TRUE(child.WaitFor("==> " + images[1] + " <==\n")) << child.out;
    ASSERT_TRUE(child.WaitFor(kRegistry, child.out.find("==> " + images[1]))) << child.out;
    child.Signal(SIGTERM);
    EXPECT_EQ(child.Wait(), 128 + SIGTERM);
    EXPECT_EQ(child.out.find("==> " + images[2]), std::string::npos) << child.out;
    EXPECT_EQ(Slurp(dir + "/err"), "morlit: " + images[1] + ": stopped by SIGTERM; " + images[1] +
                                       " was put back as it was before the run\n" +
                                       "morlit: not started: " + images[2] + "\n");
    EXPECT_FALSE(Slurp(images[0]) == befores[0]);
    ImageCheck check(images[0], 63);
    EXPECT_TRUE(check.NtfsfixAccepts()) << check.NtfsfixLog();
    EXPECT_TRUE(Slurp(images[1]) == befores[1]);
    EXPECT_TRUE(Slurp(images[2]) == befores[2]);
    for (const std::string& image : images) EXPECT_FALSE(FileExists(image + "-journal"));
    EXPECT_EQ(Listing(dir + "/tmp"), "");
}

// With --json standard output holds one object per image and nothing else:
// an adjusted image, a failed one whose question was cancelled, and a run
// stopped by a signal.
TEST(MorlitCommand, JsonGivesOneObjectPerImageAndNothingElse) {
    const std::string dir = TestDir();
    Shell("mkdir -p " + Quote(dir + "/tmp"));
    const std::string win7 = CopyTarget(dir, "win7.vhd");
    const std::string xp = CopyTarget(dir, "xp-nosource.vhd");
    Spit(dir + "/answers", "cancel\n");
    std::string out;
    EXPECT_EQ(Shell("TMPDIR=" + Quote(dir + "/tmp") + " " + kEnglish + Quote(Morlit()) +
                        " --json " + Quote(win7) + " " + Quote(xp) + " <" +
                        Quote(dir + "/answers") + " 2>" + Quote(dir + "/err"),
                    &out),
              1);
    std::vector<nlohmann::json> objects;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        objects.push_back(nlohmann::json::parse(line));  // throws on anything but JSON
    ASSERT_EQ(objects.size(), 2u) << out;
    const nlohmann::json& a = objects[0];
    EXPECT_EQ(a["image"], win7);
    EXPECT_EQ(a["outcome"], "adjusted");
    EXPECT_EQ(a["exit_status"], 0);
    EXPECT_EQ(
        a["messages"],
        nlohmann::json::parse(
            R"([{"id":130,"code":null,"answer":null,"text":"The VHD file has been adjusted."}])"));
    EXPECT_EQ(a["causes"], nlohmann::json::array());
    EXPECT_EQ(a["warnings"], nlohmann::json::array());
    EXPECT_EQ(a["steps"], nlohmann::json::parse(
                              R"(["starting","mounting","searching","adjusting-os","finishing"])"));
    EXPECT_EQ(a["journal"], "committed");
    EXPECT_TRUE(a["seconds"].is_number());
    const nlohmann::json& b = objects[1];
    EXPECT_EQ(b["outcome"], "failed");
    EXPECT_EQ(b["exit_status"], 1);
    ASSERT_EQ(b["messages"].size(), 2u) << b.dump();
    EXPECT_EQ(b["messages"][0]["id"], 137);
    EXPECT_EQ(b["messages"][0]["answer"], "cancel");
    EXPECT_EQ(b["messages"][1]["id"], 131);
    ASSERT_EQ(b["causes"].size(), 1u) << b.dump();
    EXPECT_EQ(b["causes"][0]["text"].get<std::string>().rfind(
                  "this installation has no driver source", 0),
              0u);
    EXPECT_EQ(b["journal"], "none");
    // Standard error keeps its lines.
    EXPECT_EQ(Slurp(dir + "/err"),
              "morlit: " + xp + ": " + b["causes"][0]["text"].get<std::string>() + "\n");

    // Stopped in the pauses: the object says so and ends with the failure
    // message the run showed.
    const std::string image = CopyTarget(dir, "xp-cabinets.vhd");
    Child child({"--json", image}, dir);
    ::usleep(2500 * 1000);
    child.Signal(SIGINT);
    EXPECT_EQ(child.Wait(), 128 + SIGINT);
    const nlohmann::json c = nlohmann::json::parse(child.out);
    EXPECT_EQ(c["outcome"], "stopped");
    EXPECT_EQ(c["exit_status"], 128 + SIGINT);
    ASSERT_FALSE(c["causes"].empty()) << c.dump();
    EXPECT_EQ(c["causes"][0]["kind"], "stopped") << c.dump();
    EXPECT_EQ(c["steps"][0], "starting");
    EXPECT_NE(c["journal"], "committed");
    EXPECT_EQ(c["messages"].back()["id"], 131);
}

// --put-back plays back what a killed run left, and does nothing else; with
// nothing left it says so and ends well too.
TEST(MorlitCommand, PutBackPlaysBackWhatAKilledRunLeft) {
    const std::string dir = TestDir();
    Shell("mkdir -p " + Quote(dir + "/tmp"));
    const std::string image = CopyTarget(dir, "xp-cabinets.vhd");
    const std::string before = Slurp(image);
    {
        Child child({image}, dir);
        ASSERT_TRUE(child.WaitFor(kRegistry)) << child.out;  // the drivers are written
        child.Signal(SIGKILL);
        EXPECT_EQ(child.Wait(), -1);
    }
    ASSERT_TRUE(FileExists(image + "-journal"));
    ASSERT_FALSE(Slurp(image) == before);
#ifdef MORLIT_FAIL_READ
    // The image cannot be read to check whose journal it is: the journal is
    // kept, and the words say it is needed, never that it is another's.
    {
        Child child({"--put-back", image}, dir, "",
                    {"LD_PRELOAD=" MORLIT_FAIL_READ, "MORLIT_FAIL_READ_AT=1",
                     "MORLIT_FAIL_READ_OF=" + image.substr(image.rfind('/'))});
        EXPECT_EQ(child.Wait(), 1);
        const std::string err = Slurp(dir + "/err");
        EXPECT_NE(err.find("was kept and is needed to put it back"), std::string::npos) << err;
        EXPECT_EQ(err.find("another image"), std::string::npos) << err;
        EXPECT_TRUE(FileExists(image + "-journal"));
    }
#endif
    // Several images, each on its own and named in each of its lines.
    const std::string gone = dir + "/gone.vhd";
    std::string out;
    EXPECT_EQ(Shell(Quote(Morlit()) + " --put-back " + Quote(image) + " " + Quote(gone) + " 2>" +
                        Quote(dir + "/err") + " </dev/null",
                    &out),
              1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(Slurp(dir + "/err"), "morlit: " + image + ": " + image +
                                       " was put back as it was before a run that did not end (" +
                                       image + "-journal played back)\nmorlit: " + gone +
                                       ": cannot open it: No such file or directory\n");
    EXPECT_TRUE(Slurp(image) == before);
    EXPECT_FALSE(FileExists(image + "-journal"));
    EXPECT_EQ(Shell(Quote(Morlit()) + " --put-back " + Quote(image), &out), 0);
    EXPECT_EQ(out,
              "morlit: " + image + ": nothing to put back: there is no " + image + "-journal\n");
    EXPECT_TRUE(Slurp(image) == before);
}

}  // namespace
}  // namespace morlit::posix::test
