// The small services of the Linux host: the clock, the per-thread last
// error, system information and handles, privileges, and the registry until
// the hive service replaces it.
#pragma once

#include "platform/host.h"
#include "platform/posix/handle_table.h"

namespace morlit::posix {

// Pauses on the real clock. They exist for Windows (devices settling after
// an attach, the registry editor, time to read the progress window); here
// they wait for nothing, so they can be skipped. Once a stop signal has
// arrived no pause holds the run any longer.
class RealClock : public IClock {
  public:
    explicit RealClock(bool pauses = true) : pauses_(pauses) {}
    void Sleep(u32 milliseconds) override;

  private:
    bool pauses_;
};

class ThreadErrors : public IErrors {
  public:
    u32 GetLastError() override;
    void SetLastError(u32 code) override;
};

// The Windows 7 services this host stands in for, the executable as a Z:
// path, and C:\Windows.
class PosixSystem : public ISystem {
  public:
    // modulePath: the executable to report; empty for the running program.
    PosixSystem(HandleTable& handles, IErrors& errors, std::string modulePath = "")
        : handles_(handles), errors_(errors), modulePath_(std::move(modulePath)) {}
    bool GetVersionEx(OsVersion& out) override;
    bool GetModuleFileName(std::wstring& path) override;
    bool GetWindowsDirectory(std::wstring& dir) override;
    bool CloseHandle(Handle handle) override;

  private:
    HandleTable& handles_;
    IErrors& errors_;
    std::string modulePath_;
};

// There is no other user to guard against: privileges are granted.
class PosixSecurity : public ISecurity {
  public:
    PosixSecurity(HandleTable& handles, IErrors& errors) : handles_(handles), errors_(errors) {}
    bool OpenProcessToken(u32 desiredAccess, Handle* token) override;
    bool LookupPrivilegeValue(const std::wstring& name, Luid* luid) override;
    bool AdjustTokenPrivilege(Handle token, const Luid& luid, u32 attributes) override;

  private:
    HandleTable& handles_;
    IErrors& errors_;
};

// No hive can be loaded yet: loads and opens find nothing.
class NoRegistry : public IRegistry {
  public:
    u32 RegLoadKey(RegKey root, const std::wstring& subKey, const std::wstring& file) override;
    u32 RegUnLoadKey(RegKey root, const std::wstring& subKey) override;
    u32 RegOpenKeyEx(RegKey root, const std::wstring& subKey, u32 options, u32 sam,
                     RegKey* key) override;
    u32 RegQueryValueEx(RegKey key, const std::wstring& name, u32* type, u8* data,
                        u32* size) override;
    u32 RegCloseKey(RegKey key) override;
};

// The host path of the running executable, from /proc/self/exe.
std::string ExecutablePath();
// A host path as a Windows path on Z:.
std::wstring HostPathToWindows(const std::string& hostPath);

}  // namespace morlit::posix
