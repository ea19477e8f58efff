// Windows constants the run logic passes to or compares with its services.
#pragma once

#include "platform/types.h"

namespace morlit {

// Message boxes and their answers.
constexpr u32 kMbOk = 0x0;
constexpr u32 kMbOkCancel = 0x1;
constexpr u32 kMbYesNo = 0x4;
constexpr u32 kMbIconInformation = 0x40;
constexpr u32 kHelpContextDefault = 0xFFFFFFFF;  // -1: no help topic
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;

// Windows and styles.
constexpr int kSwHide = 0;
constexpr int kSwShowNormal = 1;
constexpr int kSwShow = 5;
constexpr u32 kWsExToolWindow = 0x80;
constexpr u32 kWsExAppWindow = 0x40000;
constexpr u32 kSwpNoSize = 0x1;

// Virtual disk service.
constexpr u32 kVirtualStorageTypeDeviceVhd = 2;
// {EC984AEC-A0F9-47E9-901F-71415A66345B} as a GUID lies in memory.
constexpr u8 kVendorMicrosoft[16] = {0xEC, 0x4A, 0x98, 0xEC, 0xF9, 0xA0, 0xE9, 0x47,
                                     0x90, 0x1F, 0x71, 0x41, 0x5A, 0x66, 0x34, 0x5B};
constexpr u32 kVirtualDiskAccessAll = 0x3F0000;
constexpr u32 kOpenVirtualDiskFlagNone = 0;
constexpr u32 kAttachVirtualDiskFlagNone = 0;
constexpr u32 kDetachVirtualDiskFlagNone = 0;

// Registry.
constexpr u32 kKeyRead = 0x20019;
constexpr u32 kRegSz = 1;
constexpr u32 kRegExpandSz = 2;
constexpr u32 kRegBinary = 3;
constexpr u32 kRegDword = 4;
constexpr u32 kRegMultiSz = 7;
constexpr u32 kRegQword = 11;

// Privileges.
constexpr u32 kTokenAdjustPrivileges = 0x20;
constexpr u32 kTokenQuery = 0x08;
constexpr u32 kSePrivilegeEnabled = 2;

// Files.
constexpr u8 kFileAttributeReadOnly = 0x01;
constexpr u8 kFileAttributeHidden = 0x02;
constexpr u8 kFileAttributeSystem = 0x04;
constexpr u8 kFileAttributeDirectory = 0x10;
constexpr u8 kFileAttributeArchive = 0x20;
constexpr u32 kFileAttributeNormal = 0x80;
constexpr u32 kFileAttributeCompressed = 0x800;
constexpr u32 kGenericRead = 0x80000000;
constexpr u32 kGenericWrite = 0x40000000;
constexpr u32 kFileShareRead = 1;
constexpr u32 kFileShareWrite = 2;
constexpr u32 kOpenExisting = 3;
constexpr u32 kFsctlSetCompression = 0x9C040;
constexpr u16 kCompressionFormatNone = 0;
constexpr u32 kDriveUnknown = 0;
constexpr u32 kDriveNoRootDir = 1;
constexpr u32 kDriveRemovable = 2;
constexpr u32 kDriveFixed = 3;
constexpr u32 kDriveRemote = 4;
constexpr u32 kDriveCdrom = 5;

// Processes.
constexpr u32 kSeeMaskNoCloseProcess = 0x40;
constexpr u32 kInfinite = 0xFFFFFFFF;
constexpr u32 kWaitObject0 = 0;
constexpr u32 kWaitTimeout = err::kWaitTimeout;  // a wait result and an error code alike
constexpr u32 kWaitFailed = 0xFFFFFFFF;
constexpr u32 kStillActive = 259;

constexpr u32 kMaxPath = 260;

}  // namespace morlit
