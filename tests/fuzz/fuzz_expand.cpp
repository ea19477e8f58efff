// The expand stand-in: an input is a cabinet or SZDD file. It is expanded
// in both command forms into a folder holding older copies of the
// destinations; a failure must leave them as they were.
#include <sys/stat.h>

#include "platform/posix/programs/expand_tool.h"
#include "platform/posix/fs/file_access.h"
#include "tests/fuzz/fuzz_util.h"

using morlit::u32;

MORLIT_FUZZ_TARGET(expand) {
    static const std::string root = [] {
        const std::string r = morlit::fuzz::ScratchDir() + "/D";
        ::mkdir(r.c_str(), 0755);
        ::mkdir((r + "/out").c_str(), 0755);
        return r;
    }();
    const std::string old = "old contents\r\n";
    morlit::fuzz::WriteWhole(root + "/src.cab", data, size);
    morlit::fuzz::WriteWhole(root + "/out/a.txt", old);
    morlit::fuzz::WriteWhole(root + "/out/single.txt", old);

    morlit::posix::FolderFileAccess files;
    files.Map(L'D', root);
    morlit::posix::ClearExpandCache();
    const wchar_t* commands[] = {
        L"\"D:\\src.cab\" -F:a.txt \"D:\\out\"",
        L"\"D:\\src.cab\" -F:B.BIN \"D:\\out\"",
        L"\"D:\\src.cab\" \"D:\\out\\single.txt\"",
    };
    const char* outputs[] = {"/out/a.txt", "/out/b.bin", "/out/single.txt"};
    for (int i = 0; i < 3; ++i) {
        std::string reason;
        const u32 code = morlit::posix::RunExpandTool(files, commands[i], &reason);
        if (code != 0) {
            MORLIT_FUZZ_CHECK(!reason.empty());
            const std::string after = morlit::fuzz::ReadWhole(root + outputs[i]);
            MORLIT_FUZZ_CHECK(i == 1 || after == old);
        }
    }
    ::unlink((root + "/out/b.bin").c_str());
    morlit::posix::ReleaseExpandCache();
    return 0;
}
