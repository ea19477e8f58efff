// Basic types shared by the run logic and every host. They have the sizes
// and values of the Windows types the run logic passes to its services, so
// every host keeps the Windows calls' contracts without <windows.h>.
#pragma once

#include <cstdint>
#include <string>

namespace morlit {

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;

// An opaque kernel-object handle (virtual disk, process, file, token).
using Handle = void*;
// INVALID_HANDLE_VALUE, as CreateFileW returns it on failure.
inline Handle InvalidHandle() { return reinterpret_cast<Handle>(static_cast<std::intptr_t>(-1)); }

// A registry key. Predefined roots carry their Windows values.
using RegKey = std::uintptr_t;
constexpr RegKey kHKeyLocalMachine = 0x80000002;

// Windows error codes the hosts report through the last-error value.
namespace err {
constexpr u32 kSuccess = 0;
constexpr u32 kInvalidFunction = 1;
constexpr u32 kFileNotFound = 2;
constexpr u32 kPathNotFound = 3;
constexpr u32 kTooManyOpenFiles = 4;
constexpr u32 kAccessDenied = 5;
constexpr u32 kInvalidHandle = 6;
constexpr u32 kNotEnoughMemory = 8;
constexpr u32 kInvalidData = 13;
constexpr u32 kInvalidDrive = 15;
constexpr u32 kWriteProtect = 19;
constexpr u32 kNotReady = 21;
constexpr u32 kCrc = 23;
constexpr u32 kWriteFault = 29;
constexpr u32 kReadFault = 30;
constexpr u32 kSharingViolation = 32;
constexpr u32 kLockViolation = 33;
constexpr u32 kHandleEof = 38;
constexpr u32 kNotSupported = 50;
constexpr u32 kFileExists = 80;
constexpr u32 kInvalidParameter = 87;
constexpr u32 kCallNotImplemented = 120;
constexpr u32 kInsufficientBuffer = 122;
constexpr u32 kInvalidName = 123;
constexpr u32 kDirNotEmpty = 145;
constexpr u32 kAlreadyExists = 183;
constexpr u32 kFilenameExcedRange = 206;
constexpr u32 kMoreData = 234;
constexpr u32 kWaitTimeout = 258;
constexpr u32 kDiskFull = 112;
constexpr u32 kBadFormat = 11;
constexpr u32 kBadPathname = 161;
constexpr u32 kBusy = 170;
constexpr u32 kBadfile = 1006;  // ERROR_BADDB-like: the file is not a valid hive
constexpr u32 kBadDb = 1009;    // ERROR_BADDB
constexpr u32 kRegistryIoFailed = 1016;
constexpr u32 kNotRegistryFile = 1017;
constexpr u32 kFileCorrupt = 1392;  // ERROR_FILE_CORRUPT
constexpr u32 kDiskCorrupt = 1393;  // ERROR_DISK_CORRUPT
// What the version calls report for an executable without a usable version.
constexpr u32 kBadExeFormat = 193;           // ERROR_BAD_EXE_FORMAT
constexpr u32 kResourceDataNotFound = 1812;  // ERROR_RESOURCE_DATA_NOT_FOUND
constexpr u32 kResourceTypeNotFound = 1813;  // ERROR_RESOURCE_TYPE_NOT_FOUND
constexpr u32 kResourceNameNotFound = 1814;  // ERROR_RESOURCE_NAME_NOT_FOUND
constexpr u32 kResourceLangNotFound = 1815;  // ERROR_RESOURCE_LANG_NOT_FOUND
constexpr u32 kNotAllAssigned = 1300;
constexpr u32 kNoSuchPrivilege = 1313;
constexpr u32 kUnrecognizedVolume = 1005;
constexpr u32 kOperationAborted = 995;
constexpr u32 kIoDevice = 1117;
constexpr u32 kNotFound = 1168;
constexpr u32 kVirtualDiskLimitation = 0xC03A001A;

// The codes a read the disk itself failed comes back with: a fault beneath
// whatever was being read, never a statement about it.
constexpr bool IsReadFault(u32 code) {
    return code == kReadFault || code == kIoDevice || code == kCrc;
}
}  // namespace err

}  // namespace morlit
