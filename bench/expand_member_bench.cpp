// Peak memory of one expand -F run on a large member: run it under
// `/usr/bin/time -v` and read "Maximum resident set size".
//
//   expand_member_bench CABINET MEMBER
//
// The cabinet is read from the host; the destination is a file system that
// counts what is written and keeps nothing, so the figure is the expander's
// own (decoder, read window, write pieces), not a page cache's.
#include <cstdio>
#include <string>

#include "bench/bench_help.h"
#include "platform/posix/programs/expand_tool.h"

namespace {

class CountingSink : public morlit::posix::FolderFileAccess {
  public:
    morlit::u32 WriteFile(const std::wstring&, const std::string& data) override {
        written = data.size();
        return 0;
    }
    morlit::u32 PatchFile(const std::wstring&, const std::vector<morlit::posix::FilePatch>&,
                          morlit::u64 size) override {
        written = size;
        return 0;
    }
    morlit::u32 Stat(const std::wstring& path, morlit::posix::NodeInfo* info) override {
        if (path == L"O:\\") {
            info->directory = true;
            return 0;
        }
        return FolderFileAccess::Stat(path, info);
    }
    morlit::u64 written = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (morlit::bench::AnsweredHelp(
            argc, argv,
            "usage: expand_member_bench CABINET MEMBER\n"
            "Expands MEMBER of CABINET as expand -F does, keeping nothing;\n"
            "run it under /usr/bin/time -v for its peak memory.\n"))
        return 0;
    if (argc != 3) {
        std::fprintf(stderr, "usage: expand_member_bench CABINET MEMBER\n");
        return 2;
    }
    CountingSink files;
    files.Map(L'D', "/");
    const std::wstring cabinet = morlit::posix::FromUtf8(argv[1]);
    std::wstring windows = L"D:";
    for (wchar_t c : cabinet) windows.push_back(c == L'/' ? L'\\' : c);
    std::string reason;
    const morlit::u32 code = morlit::posix::RunExpandTool(
        files, L"\"" + windows + L"\" -F:" + morlit::posix::FromUtf8(argv[2]) + L" O:\\", &reason);
    std::printf("exit %u, %llu bytes written%s%s\n", code,
                static_cast<unsigned long long>(files.written), reason.empty() ? "" : ": ",
                reason.c_str());
    return code == 0 ? 0 : 1;
}
