// The Windows host: every service over the real Win32 calls, and a small
// dialog framework that makes the windows from the program's resources.
// This header keeps <windows.h> out so that the run logic never sees it.
#pragma once

#include <memory>
#include <vector>

#include "platform/arc_partition.h"
#include "platform/host.h"

namespace morlit::win32 {

class Win32Host {
  public:
    // `instance` is the module whose resources hold the dialogs, strings and
    // icon (the HINSTANCE of the program).
    explicit Win32Host(void* instance);
    ~Win32Host();
    Win32Host(const Win32Host&) = delete;
    Win32Host& operator=(const Win32Host&) = delete;

    Host host;

  private:
    struct Services;
    std::unique_ptr<Services> services_;
};

// The services that need no module: clock, errors, system, virtual disk,
// drive letters, registry, security, files, processes and code page. Each is
// a stateless object.
IClock& Clock();
IErrors& Errors();
ISystem& System();
IVirtualDisk& VirtualDisk();
IDriveLetters& DriveLetters();
IRegistry& Registry();
ISecurity& Security();
IFiles& Files();
IProcesses& Processes();
ICodePage& CodePage();
IPartitions& Partitions();

// One volume of a disk as the drive-letter lookup finds it: where it starts
// on the disk and its drive letters.
struct DiskVolume {
    u64 startingOffset = 0;
    std::vector<wchar_t> letters;
};

// Writes the volumes' letters into the 26-byte buffer in partition order
// (by starting offset; volumes at the same offset keep their order), only
// ASCII letters, upper-cased: the number written.
int LettersInPartitionOrder(std::vector<DiskVolume> volumes, u8 letters[26]);

// The entries of an IOCTL_DISK_GET_DRIVE_LAYOUT_EX answer of `size` bytes,
// in its order: 0, or ERROR_NOT_SUPPORTED for a disk that is not MBR and
// ERROR_INVALID_DATA for an answer cut short.
u32 LayoutFromDriveLayout(const void* answer, size_t size, std::vector<LayoutEntry>* layout);

// The dialog framework over the given module's resources.
std::unique_ptr<IUi> NewUi(void* instance);

}  // namespace morlit::win32
