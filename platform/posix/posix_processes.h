// Started programs on the Linux host. The host's tools run as in-process
// stand-ins registered by program: the bare name "expand" and the registry
// editor C:\Windows\Regedit.exe. Any other program is not found.
#pragma once

#include <functional>
#include <map>
#include <string>

#include "platform/host.h"
#include "platform/posix/handle_table.h"

namespace morlit::posix {

class PosixProcesses : public IProcesses {
  public:
    // A stand-in gets the parameter string as the program would, and
    // returns its exit code.
    using Program = std::function<u32(const std::wstring& parameters)>;

    PosixProcesses(HandleTable& handles, IErrors& errors) : handles_(handles), errors_(errors) {}
    // `name` as the shell is given it: "expand" or "C:\Windows\Regedit.exe";
    // matched without regard to case.
    void Register(const std::wstring& name, Program program);

    bool ShellExecuteEx(ShellExecuteInfo& info) override;
    u32 WaitForSingleObject(Handle handle, u32 milliseconds) override;
    bool GetExitCodeProcess(Handle process, u32* code) override;

  private:
    HandleTable& handles_;
    IErrors& errors_;
    std::map<std::wstring, Program> programs_;  // key: lower case
};

}  // namespace morlit::posix
