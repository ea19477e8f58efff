// The private folder of a run: made private, removed whole (and nothing
// outside it), and folders of killed runs told from live ones by their lock.
#include "platform/posix/run_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "tests/posix/host_fixture.h"

namespace morlit::posix::test {
namespace {

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// A folder as a run leaves it when it is killed: its lock file and some of
// its files, nobody holding the lock.
std::string LeftBehind(const std::string& base, const std::string& name) {
    const std::string dir = base + "/" + name;
    Shell("mkdir -p " + Quote(dir + "/sub") + " && touch " + Quote(dir + "/run.lock") + " " +
          Quote(dir + "/Morlit.reg") + " " + Quote(dir + "/sub/x"));
    return dir;
}

TEST(RunFolder, IsPrivateAndGoesWholeWithoutFollowingLinks) {
    const std::string base = TestDir();
    const std::string outside = base + "/outside";
    Shell("mkdir " + Quote(outside) + " && echo keep > " + Quote(outside + "/file"));
    std::string reason;
    auto folder = RunFolder::Create(base, &reason);
    ASSERT_TRUE(folder) << reason;
    const std::string path = folder->path();
    EXPECT_EQ(path.rfind(base + "/morlit.", 0), 0u) << path;
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(Exists(path + "/run.lock"));
    // Links out of the folder are removed, never what they point at.
    Shell("ln -s " + Quote(outside) + " " + Quote(path + "/dirlink") + " && ln -s " +
          Quote(outside + "/file") + " " + Quote(path + "/filelink") + " && mkdir -p " +
          Quote(path + "/a/b") + " && touch " + Quote(path + "/a/b/c"));
    // Another run sees it in use.
    EXPECT_EQ(RemoveAbandonedRunFolders(base), 0);
    EXPECT_TRUE(Exists(path + "/a/b/c"));
    folder.reset();
    EXPECT_FALSE(Exists(path));
    EXPECT_EQ(Slurp(outside + "/file"), "keep\n");

    // A base that cannot hold folders says so.
    EXPECT_FALSE(RunFolder::Create(base + "/missing", &reason));
    EXPECT_NE(reason.find(base + "/missing"), std::string::npos) << reason;
}

TEST(RunFolder, FoldersLeftByKilledRunsGoAndLiveOnesStay) {
    const std::string base = TestDir();
    const std::string dead = LeftBehind(base, "morlit.AAAAAA");
    const std::string held = LeftBehind(base, "morlit.BBBBBB");
    // Its lock held by a live run (another open file description).
    const int lock = ::open((held + "/run.lock").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    // Not run folders: other names, a file, a link to a folder.
    LeftBehind(base, "morlit-samples");
    LeftBehind(base, "morlit.CCCCCCC");
    Shell("touch " + Quote(base + "/morlit.DDDDDD") + " && ln -s " + Quote(dead) + " " +
          Quote(base + "/morlit.EEEEEE"));
    // No lock file: being made, unless it is old.
    Shell("mkdir " + Quote(base + "/morlit.FFFFFF") + " " + Quote(base + "/morlit.GGGGGG"));
    const timeval old[2] = {{::time(nullptr) - 600, 0}, {::time(nullptr) - 600, 0}};
    ASSERT_EQ(::utimes((base + "/morlit.GGGGGG").c_str(), old), 0);

    std::string reason;
    auto mine = RunFolder::Create(base, &reason);  // cleans up first
    ASSERT_TRUE(mine) << reason;
    EXPECT_FALSE(Exists(dead));
    EXPECT_FALSE(Exists(base + "/morlit.GGGGGG"));
    EXPECT_TRUE(Exists(held + "/sub/x"));
    EXPECT_TRUE(Exists(base + "/morlit-samples/run.lock"));
    EXPECT_TRUE(Exists(base + "/morlit.CCCCCCC/run.lock"));
    EXPECT_TRUE(Exists(base + "/morlit.DDDDDD"));
    EXPECT_TRUE(Exists(base + "/morlit.EEEEEE"));
    EXPECT_TRUE(Exists(base + "/morlit.FFFFFF"));

    // Once its run ends without removing it, the next run takes it away.
    ::close(lock);
    EXPECT_EQ(RemoveAbandonedRunFolders(base), 1);
    EXPECT_FALSE(Exists(held));
    EXPECT_TRUE(Exists(mine->path()));
}

TEST(RunFolder, TemplatesComeFromTheFirstFolderThatHoldsEach) {
    const std::string dir = TestDir();
    Shell("mkdir " + Quote(dir + "/a") + " " + Quote(dir + "/b") + " " + Quote(dir + "/to") +
          " && echo a1 > " + Quote(dir + "/a/one") + " && echo b1 > " + Quote(dir + "/b/one") +
          " && echo b2 > " + Quote(dir + "/b/two") + " && mkdir " + Quote(dir + "/a/two"));
    const auto missing = CopyTemplates({dir + "/a", dir + "/none", dir + "/b"},
                                       {"one", "two", "three"}, dir + "/to");
    EXPECT_EQ(missing, std::vector<std::string>{"three"});
    EXPECT_EQ(Slurp(dir + "/to/one"), "a1\n");
    EXPECT_EQ(Slurp(dir + "/to/two"), "b2\n");  // a folder of that name is no template
    EXPECT_FALSE(Exists(dir + "/to/three"));
}

TEST(RunFolder, WindowsCountsPathsInUtf16Units) {
    EXPECT_EQ(WindowsPathLength(L"Z:\\tmp"), 6u);
    EXPECT_EQ(WindowsPathLength(std::wstring(L"Z:\\") + static_cast<wchar_t>(0x1F600)), 5u);
}

}  // namespace
}  // namespace morlit::posix::test
