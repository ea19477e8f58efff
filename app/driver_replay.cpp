#include "app/driver_replay.h"

#include "platform/posix/programs/expand_tool.h"
#include "ui/MorlitDlg.h"

namespace morlit::app {

namespace {

// Stands in for the programs while the run's driver step is played again:
// every program "starts" and ends well, and only its parameters are kept.
class NamingProcesses : public IProcesses, public ISystem {
  public:
    explicit NamingProcesses(ISystem& system) : system_(system) {}
    std::vector<std::wstring> asked;

    bool ShellExecuteEx(ShellExecuteInfo& info) override {
        asked.push_back(info.parameters);
        info.process = Process();
        return true;
    }
    u32 WaitForSingleObject(Handle, u32) override { return kWaitObject0; }
    bool GetExitCodeProcess(Handle, u32* code) override {
        *code = 0;
        return true;
    }
    bool GetVersionEx(OsVersion& out) override { return system_.GetVersionEx(out); }
    bool GetModuleFileName(std::wstring& path) override { return system_.GetModuleFileName(path); }
    bool GetWindowsDirectory(std::wstring& dir) override {
        return system_.GetWindowsDirectory(dir);
    }
    bool CloseHandle(Handle handle) override {
        return handle == Process() || system_.CloseHandle(handle);
    }

  private:
    Handle Process() { return reinterpret_cast<Handle>(this); }
    ISystem& system_;
};

}  // namespace

std::vector<std::wstring> ReplayDriverRuns(Host& host, const std::wstring& first,
                                           const std::wstring& windows) {
    const std::vector<std::wstring> args = posix::SplitCommandLine(first);
    const bool cabinet = posix::TakesCabinetMember(args);
    const bool folder = args.size() == 2 && args[0].find(L'\\') != std::wstring::npos;
    if (windows.empty() || (!cabinet && !folder)) return {};
    NamingProcesses naming(*host.system);
    Host replay = host;
    replay.processes = &naming;
    replay.system = &naming;
    // The replay says nothing: its steps and messages are not the run's.
    replay.events = nullptr;
    CMorlitDlg dialog(replay);
    if (cabinet)
        dialog.ExpandDriversFromCabinet(windows[0], windows, args[0]);
    else
        dialog.ExpandDriversFromFolder(windows[0], windows,
                                       args[0].substr(0, args[0].rfind(L'\\')));
    return naming.asked;
}

}  // namespace morlit::app
