// The Linux host's stand-in for the registry editor C:\Windows\Regedit.exe:
// "/s \"file\"" imports a registry script into the hive loaded at
// HKLM\VirtualPC and writes the hive back to its volume before it ends.
#pragma once

#include <string>

#include "platform/posix/fs/file_access.h"
#include "platform/posix/registry/registry.h"

namespace morlit::posix {

// Runs the editor in-process with its command-line parameters. Returns the
// exit code: 0 when the whole script was imported and the hive written back
// (or nothing needed writing), otherwise non-zero with `reason` set. A script
// with any error changes nothing.
u32 RunRegeditTool(PosixRegistry& registry, FileAccess& files, const std::wstring& parameters,
                   std::string* reason);

}  // namespace morlit::posix
