// <windows.h> for the Win32 host's own sources. Its A/W macros share names
// with the service operations (CopyFile, MessageBox, ...); they are removed
// here, and the sources call the W functions by their full names.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>
#include <virtdisk.h>
#include <winioctl.h>
#include <winver.h>

#include "platform/types.h"

#undef CopyFile
#undef CreateFile
#undef DeleteFile
#undef GetDriveType
#undef GetLogicalDriveStrings
#undef GetModuleFileName
#undef GetOpenFileName
#undef GetVersionEx
#undef GetWindowsDirectory
#undef LoadString
#undef LookupPrivilegeValue
#undef MessageBox
#undef RegLoadKey
#undef RegOpenKeyEx
#undef RegQueryValueEx
#undef RegUnLoadKey
#undef SetWindowText
#undef ShellExecuteEx

namespace morlit::win32 {

// A service key as the registry calls take it. The predefined roots are
// 32-bit values that a 64-bit process sign-extends: HKEY_LOCAL_MACHINE is
// 0xFFFFFFFF80000002 there, and 0x80000002 as it stands would be taken for an
// ordinary key handle, which does not exist. Keys the calls opened pass as
// they are.
inline HKEY ToHKey(RegKey key) {
    if ((key & ~static_cast<RegKey>(0x0FFFFFFF)) == 0x80000000u) {
        return reinterpret_cast<HKEY>(
            static_cast<std::intptr_t>(static_cast<std::int32_t>(static_cast<std::uint32_t>(key))));
    }
    return reinterpret_cast<HKEY>(key);
}

}  // namespace morlit::win32
