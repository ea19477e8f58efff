#include "platform/posix/posix_processes.h"

#include <cwctype>

#include "platform/constants.h"

namespace morlit::posix {

namespace {

struct ProcessObject : HandleObject {
    u32 exitCode = 0;
};

std::wstring Key(const std::wstring& name) {
    std::wstring out;
    for (wchar_t c : name)
        out.push_back(c == L'/' ? L'\\' : static_cast<wchar_t>(std::towlower(c)));
    return out;
}

}  // namespace

void PosixProcesses::Register(const std::wstring& name, Program program) {
    programs_[Key(name)] = std::move(program);
}

bool PosixProcesses::ShellExecuteEx(ShellExecuteInfo& info) {
    info.process = nullptr;
    std::wstring key = Key(info.file);
    auto it = programs_.find(key);
    // The shell also finds a program without its ".exe".
    if (it == programs_.end() && key.size() > 4 && key.compare(key.size() - 4, 4, L".exe") == 0)
        it = programs_.find(key.substr(0, key.size() - 4));
    if (it == programs_.end()) it = programs_.find(key + L".exe");
    if (it == programs_.end() || !(info.verb.empty() || Key(info.verb) == L"open")) {
        errors_.SetLastError(err::kFileNotFound);
        return false;
    }
    auto process = std::make_shared<ProcessObject>();
    // The stand-in runs to its end here; waiting on it then returns at once.
    process->exitCode = it->second(info.parameters);
    if (info.mask & kSeeMaskNoCloseProcess) info.process = handles_.Add(process);
    errors_.SetLastError(0);
    return true;
}

u32 PosixProcesses::WaitForSingleObject(Handle handle, u32 /*milliseconds*/) {
    if (!handles_.Get<ProcessObject>(handle)) {
        errors_.SetLastError(err::kInvalidHandle);
        return kWaitFailed;
    }
    return kWaitObject0;
}

bool PosixProcesses::GetExitCodeProcess(Handle handle, u32* code) {
    auto process = handles_.Get<ProcessObject>(handle);
    if (!process || !code) {
        errors_.SetLastError(err::kInvalidHandle);
        return false;
    }
    *code = process->exitCode;
    return true;
}

}  // namespace morlit::posix
