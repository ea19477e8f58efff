// The private folder of one run of the morlit command. The run logic keeps
// its templates and its import file beside the program, and the registry
// keeps its private copy of the hive; each run gets a folder of its own for
// them, so runs at the same time share no file and the command needs no
// write access to where it is installed.
//
// A folder is in use while its run holds the lock on the lock file inside.
// A run removes its folder when it ends; a folder left by a run that was
// killed is removed by the next run that makes one in the same place. A
// process id is never used to judge either: ids are reused, and a folder may
// sit on a file system shared by several machines.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace morlit::posix {

class RunFolder {
  public:
    // The folder's name is this prefix and six random characters.
    static constexpr const char* kPrefix = "morlit.";
    static constexpr const char* kLockName = "run.lock";

    // Makes a folder (mode 0700) in `base` and takes its lock, after
    // removing the folders in `base` that runs left behind. Null with a
    // plain sentence in `reason` when none can be made.
    static std::unique_ptr<RunFolder> Create(const std::string& base, std::string* reason);

    ~RunFolder();  // removes the folder and everything in it
    RunFolder(const RunFolder&) = delete;
    RunFolder& operator=(const RunFolder&) = delete;

    const std::string& path() const { return path_; }

    // Removes the folder now; the destructor then does nothing.
    void Remove();

  private:
    RunFolder(std::string path, int lockFd) : path_(std::move(path)), lockFd_(lockFd) {}

    std::string path_;
    int lockFd_;
};

// The folder runs make theirs in: $TMPDIR when set, else /tmp.
std::string RunFolderBase();

// Removes the run folders in `base` that belong to this user and whose lock
// nobody holds; a folder with no lock file yet is left for a minute, as its
// run may be making it. The number removed.
int RemoveAbandonedRunFolders(const std::string& base);

// Copies each of `names` from the first of `folders` that holds it into
// `target`. The names found in none of them, in the order given.
std::vector<std::string> CopyTemplates(const std::vector<std::string>& folders,
                                       const std::vector<std::string>& names,
                                       const std::string& target);

// The length of a path as Windows counts it, in UTF-16 code units.
size_t WindowsPathLength(const std::wstring& path);

}  // namespace morlit::posix
