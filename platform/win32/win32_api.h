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
