#include "platform/posix/posix_system.h"

#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <cwctype>

#include "platform/constants.h"
#include "platform/posix/disk/interrupt.h"
#include "platform/posix/fs/file_access.h"

namespace morlit::posix {

namespace {

thread_local u32 t_lastError = 0;

struct TokenObject : HandleObject {};

}  // namespace

void RealClock::Sleep(u32 milliseconds) {
    if (!pauses_) return;
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    // A signal ends the sleep early; only an interrupt ends the pause.
    while (!InterruptRequested() && ::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

u32 ThreadErrors::GetLastError() { return t_lastError; }
void ThreadErrors::SetLastError(u32 code) { t_lastError = code; }

std::string ExecutablePath() {
    std::string buffer(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", &buffer[0], buffer.size());
    if (n <= 0 || static_cast<size_t>(n) >= buffer.size()) return {};
    buffer.resize(static_cast<size_t>(n));
    return buffer;
}

std::wstring HostPathToWindows(const std::string& hostPath) {
    std::wstring path = L"Z:";
    for (wchar_t c : FromUtf8(hostPath)) path.push_back(c == L'/' ? L'\\' : c);
    if (path.size() == 2) path += L'\\';
    return path;
}

bool PosixSystem::GetVersionEx(OsVersion& out) {
    out.major = 6;
    out.minor = 1;
    out.build = 7601;
    out.platformId = 2;
    return true;
}

bool PosixSystem::GetModuleFileName(std::wstring& path) {
    const std::string exe = modulePath_.empty() ? ExecutablePath() : modulePath_;
    if (exe.empty()) {
        path.clear();
        errors_.SetLastError(err::kFileNotFound);
        return false;
    }
    path = HostPathToWindows(exe);
    return true;
}

bool PosixSystem::GetWindowsDirectory(std::wstring& dir) {
    dir = L"C:\\Windows";
    return true;
}

bool PosixSystem::CloseHandle(Handle handle) {
    if (!handles_.Close(handle)) {
        errors_.SetLastError(err::kInvalidHandle);
        return false;
    }
    return true;
}

bool PosixSecurity::OpenProcessToken(u32, Handle* token) {
    if (!token) {
        errors_.SetLastError(err::kInvalidParameter);
        return false;
    }
    *token = handles_.Add(std::make_shared<TokenObject>());
    return true;
}

bool PosixSecurity::LookupPrivilegeValue(const std::wstring& name, Luid* luid) {
    std::wstring lower;
    for (wchar_t c : name) lower.push_back(static_cast<wchar_t>(std::towlower(c)));
    // The LUIDs Windows gives these privileges.
    u32 value = 0;
    if (lower == L"sebackupprivilege") value = 17;
    if (lower == L"serestoreprivilege") value = 18;
    if (!value || !luid) {
        errors_.SetLastError(err::kNoSuchPrivilege);
        return false;
    }
    luid->low = value;
    luid->high = 0;
    return true;
}

bool PosixSecurity::AdjustTokenPrivilege(Handle token, const Luid&, u32) {
    if (!handles_.Get<TokenObject>(token)) {
        errors_.SetLastError(err::kInvalidHandle);
        return false;
    }
    errors_.SetLastError(0);
    return true;
}

u32 NoRegistry::RegLoadKey(RegKey, const std::wstring&, const std::wstring&) {
    return err::kFileNotFound;
}
u32 NoRegistry::RegUnLoadKey(RegKey, const std::wstring&) { return 0; }
u32 NoRegistry::RegOpenKeyEx(RegKey, const std::wstring&, u32, u32, RegKey*) {
    return err::kFileNotFound;
}
u32 NoRegistry::RegQueryValueEx(RegKey, const std::wstring&, u32*, u8*, u32*) {
    return err::kInvalidHandle;
}
u32 NoRegistry::RegCloseKey(RegKey) { return err::kInvalidHandle; }

}  // namespace morlit::posix
