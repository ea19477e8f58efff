// The first stage of a run: open and attach the image, then find the drive
// letter of its volume.
#include <cwctype>

#include "run/DiskNumber.h"
#include "ui/MorlitDlg.h"
#include "ui/texts.h"

namespace morlit {

int CMorlitDlg::RunAdjustment() {
    ShowProgress(RunStep::kMounting);
    m_nDiskNumber = -1;

    VirtualStorageType type;
    type.deviceId = kVirtualStorageTypeDeviceVhd;
    for (int i = 0; i < 16; ++i) type.vendorId[i] = kVendorMicrosoft[i];

    // A handle left by an earlier failed detach would otherwise be
    // overwritten, leaking it and keeping that image attached.
    if (m_hVirtualDisk != nullptr) {
        m_host.vdisk->DetachVirtualDisk(m_hVirtualDisk, kDetachVirtualDiskFlagNone, 0);
        m_host.system->CloseHandle(m_hVirtualDisk);
        m_hVirtualDisk = nullptr;
    }

    // The open buffer holds 260 characters with its terminator; a longer path
    // is refused rather than opened truncated.
    if (m_strVhdPath.size() >= kMaxPath) {
        ShowCodeMessage(IDS_OPEN_FAILED, err::kFilenameExcedRange);
        m_hVirtualDisk = nullptr;
        return 0;
    }

    Handle disk = nullptr;
    if (m_host.vdisk->OpenVirtualDisk(type, m_strVhdPath, kVirtualDiskAccessAll,
                                      kOpenVirtualDiskFlagNone, &disk) != err::kSuccess) {
        ShowCodeMessage(IDS_OPEN_FAILED, m_host.errors->GetLastError());
        m_hVirtualDisk = nullptr;
        return 0;
    }
    m_hVirtualDisk = disk;

    if (m_host.vdisk->AttachVirtualDisk(m_hVirtualDisk, kAttachVirtualDiskFlagNone, 0) !=
        err::kSuccess) {
        ShowCodeMessage(IDS_ATTACH_FAILED, m_host.errors->GetLastError());
        return 0;
    }

    m_host.clock->Sleep(3000);
    ShowProgress(RunStep::kSearchingDrive);

    u32 size = 520;
    std::wstring physicalPath;
    if (m_host.vdisk->GetVirtualDiskPhysicalPath(m_hVirtualDisk, &size, physicalPath) !=
        err::kSuccess) {
        ShowCodeMessage(IDS_DISK_NOT_FOUND, m_host.errors->GetLastError());
        return 0;
    }

    // Only a well-formed path names the attached disk; anything else could
    // make the lookup answer for another disk, such as the host's own.
    int diskNumber = 0;
    u8 letters[26] = {};
    if (!ParsePhysicalDriveNumber(physicalPath, &diskNumber) ||
        m_host.letters->QueryLettersByDisk(static_cast<u8>(diskNumber), letters) != 1 ||
        !IsAsciiLetter(letters[0])) {
        m_host.ui->MessageBoxById(IDS_LETTER_NOT_FOUND, kMbOk, kHelpContextDefault);
        return 0;
    }
    m_nDiskNumber = diskNumber;

    // The disk's further volumes, in partition order, for a boot volume
    // that holds no Windows of its own. The list ends at the first byte that
    // is not a letter.
    std::wstring others;
    for (int i = 1; i < 26 && IsAsciiLetter(letters[i]); ++i) {
        others.push_back(static_cast<wchar_t>(letters[i]));
    }
    return DiscoverAndAdjust(static_cast<wchar_t>(letters[0]), others);
}

}  // namespace morlit
