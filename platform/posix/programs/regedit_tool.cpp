#include "platform/posix/programs/regedit_tool.h"

#include <cwctype>

#include "platform/constants.h"

namespace morlit::posix {

namespace {

constexpr u32 kExitUsage = 1;
constexpr u32 kExitNoFile = 2;
constexpr u32 kExitBadScript = 3;
constexpr u32 kExitNoHive = 4;
constexpr u32 kExitImport = 5;
constexpr u32 kExitWriteBack = 6;

// Splits a command line into its arguments; double quotes group and are
// removed, as the Windows runtime does for a path without embedded quotes.
std::vector<std::wstring> SplitArguments(const std::wstring& line) {
    std::vector<std::wstring> args;
    std::wstring current;
    bool quoted = false, any = false;
    for (wchar_t c : line) {
        if (c == L'"') {
            quoted = !quoted;
            any = true;
        } else if (!quoted && (c == L' ' || c == L'\t')) {
            if (any) args.push_back(current);
            current.clear();
            any = false;
        } else {
            current.push_back(c);
            any = true;
        }
    }
    if (any) args.push_back(current);
    return args;
}

u32 Fail(std::string* reason, u32 code, const std::string& why) {
    if (reason) *reason = why;
    return code;
}

}  // namespace

u32 RunRegeditTool(PosixRegistry& registry, FileAccess& files, const std::wstring& parameters,
                   std::string* reason) {
    bool silent = false;
    std::wstring file;
    for (const std::wstring& arg : SplitArguments(parameters)) {
        if (arg.size() == 2 && (arg[0] == L'/' || arg[0] == L'-') &&
            std::towlower(static_cast<wint_t>(arg[1])) == L's') {
            silent = true;
        } else if (file.empty() && !arg.empty() && arg[0] != L'/') {
            file = arg;
        } else {
            return Fail(reason, kExitUsage, "unexpected argument " + ToUtf8(arg));
        }
    }
    // Without /s the real editor asks before it imports; nobody can answer
    // here.
    if (!silent || file.empty()) {
        return Fail(reason, kExitUsage, "usage: Regedit.exe /s \"file\"");
    }

    std::string bytes;
    if (const u32 code = files.ReadFile(file, &bytes)) {
        return Fail(reason, kExitNoFile,
                    "cannot read " + ToUtf8(file) + " (error " + std::to_string(code) + ")");
    }
    if (!registry.Loaded()) {
        return Fail(reason, kExitNoHive, "no hive is loaded at HKEY_LOCAL_MACHINE\\VirtualPC");
    }
    const RegScript script = ParseRegScript(bytes, registry.MountName());
    if (!script.errors.empty()) {
        std::string all = ToUtf8(file) + ": " + script.errors.front();
        // The other errors by their lines alone, so the reason names every
        // line that keeps the script out.
        std::string others;
        for (size_t i = 1; i < script.errors.size(); ++i) {
            const std::string& error = script.errors[i];
            const size_t colon = error.find(':');
            if (error.rfind("line", 0) != 0 || colon == std::string::npos) continue;
            others += (others.empty() ? "" : ", ") + error.substr(0, colon);
        }
        if (!others.empty()) all += " (also " + others + ")";
        return Fail(reason, kExitBadScript, all);
    }
    std::string why;
    if (registry.Apply(script.ops, &why) != err::kSuccess) {
        return Fail(reason, kExitImport, why);
    }
    if (registry.CommitToVolume(&why) != err::kSuccess) {
        return Fail(reason, kExitWriteBack, why);
    }
    return 0;
}

}  // namespace morlit::posix
