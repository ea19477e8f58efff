// The .reg importer: an input is a registry script. It is parsed; a script
// without errors is applied to a copy of a small SYSTEM hive through the
// registry service and written back, and the result must open with hivex.
#include <hivex.h>
#include <sys/stat.h>

#include <cstring>

#include "platform/posix/fs/file_access.h"
#include "platform/posix/registry/reg_import.h"
#include "platform/posix/registry/registry.h"
#include "tests/fuzz/fuzz_util.h"
#include "tools/hive/hive_builder.h"

using morlit::u32;

namespace {

class Errors : public morlit::IErrors {
  public:
    u32 GetLastError() override { return last_; }
    void SetLastError(u32 code) override { last_ = code; }

  private:
    u32 last_ = 0;
};

struct Setup {
    std::string volume, hive, pristine, tmp;
    Setup() {
        const std::string& dir = morlit::fuzz::ScratchDir();
        volume = dir + "/vol";
        tmp = dir + "/tmp";
        ::mkdir(volume.c_str(), 0755);
        ::mkdir(tmp.c_str(), 0755);
        hive = volume + "/system";
        morlit::tools::SystemHiveSpec spec;
        spec.controlSets = {1, 2};
        spec.fillerKeys = 20;
        std::string error;
        MORLIT_FUZZ_CHECK(morlit::tools::BuildSystemHive(hive, spec, &error));
        pristine = morlit::fuzz::ReadWhole(hive);
    }
};

// The registry's private copies go to the scratch folder while it runs.
class TempDirScope {
  public:
    explicit TempDirScope(const std::string& dir) {
        const char* old = std::getenv("TMPDIR");
        had_ = old != nullptr;
        if (had_) old_ = old;
        ::setenv("TMPDIR", dir.c_str(), 1);
    }
    ~TempDirScope() {
        if (had_)
            ::setenv("TMPDIR", old_.c_str(), 1);
        else
            ::unsetenv("TMPDIR");
    }

  private:
    bool had_ = false;
    std::string old_;
};

}  // namespace

MORLIT_FUZZ_TARGET(reg_import) {
    static Setup setup;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::string utf16;
    morlit::posix::AnsiToUtf16Le(bytes, &utf16);

    const morlit::posix::RegScript script = morlit::posix::ParseRegScript(bytes, L"VirtualPC");
    if (!script.errors.empty()) {
        for (const std::string& e : script.errors) MORLIT_FUZZ_CHECK(!e.empty());
        return 0;
    }
    morlit::fuzz::WriteWhole(setup.hive, setup.pristine);
    morlit::posix::FolderFileAccess files;
    files.Map(L'E', setup.volume);
    Errors errors;
    {
        TempDirScope scope(setup.tmp);
        morlit::posix::PosixRegistry registry(files, errors);
        MORLIT_FUZZ_CHECK(
            registry.RegLoadKey(morlit::kHKeyLocalMachine, L"VirtualPC", L"E:\\system") == 0);
        std::string reason;
        if (registry.Apply(script.ops, &reason) == 0) {
            MORLIT_FUZZ_CHECK(registry.CommitToVolume(&reason) == 0);
        } else {
            MORLIT_FUZZ_CHECK(!reason.empty());
            // A failed import leaves the volume's hive alone.
            MORLIT_FUZZ_CHECK(morlit::fuzz::ReadWhole(setup.hive) == setup.pristine);
        }
        registry.RegUnLoadKey(morlit::kHKeyLocalMachine, L"VirtualPC");
    }
    hive_h* h = hivex_open(setup.hive.c_str(), 0);
    MORLIT_FUZZ_CHECK(h != nullptr);
    if (h) hivex_close(h);
    return 0;
}
