#include "run/TargetDiscovery.h"

#include <cwchar>
#include <string>

#include "platform/constants.h"
#include "platform/utf8.h"
#include "ui/texts.h"

namespace morlit {
namespace {

constexpr u32 kDriveListChars = 260;
constexpr u32 kDriveEntryChars = 4;  // "X:\" and its terminator

// "%c" followed by a fixed rest: every probe path starts with a drive letter.
std::wstring OnDrive(wchar_t letter, const wchar_t* rest) { return std::wstring(1, letter) + rest; }

// "%c<head>%d<tail>" with a number from 0 to 9.
std::wstring Numbered(wchar_t letter, const wchar_t* head, int number, const wchar_t* tail) {
    return OnDrive(letter, head) + static_cast<wchar_t>(L'0' + number) + tail;
}

void Select(TargetInfo* out, wchar_t letter, const std::wstring& windowsDirectory,
            TargetInfo::SourceKind kind, const std::wstring& source) {
    out->letter = letter;
    out->windowsDirectory = windowsDirectory;
    out->sourceKind = kind;
    out->driverSource = source;
}

// Windows Vista and later start through winload.exe, which XP and 2000 do
// not have. XP's drivers and Boot.ini would leave such an installation
// unable to start; the boot manager's registry adjustment is what fits it.
bool StartsThroughWinload(IFileFind& find, const std::wstring& windowsDirectory) {
    return find.FindFile(windowsDirectory + L"\\System32\\winload.exe");
}

// An XP/2000 target with its driver source, or, when the Windows directory
// holds a Vista/7 installation, a target whose registry alone is adjusted.
void SelectInstallation(IFileFind& find, TargetInfo* out, wchar_t letter,
                        const std::wstring& windowsDirectory, TargetInfo::SourceKind kind,
                        const std::wstring& source) {
    if (StartsThroughWinload(find, windowsDirectory)) {
        Select(out, letter, windowsDirectory, TargetInfo::SourceKind::kNone, L"");
    } else {
        Select(out, letter, windowsDirectory, kind, source);
    }
}

// What a kernel version names, for the line that says why the CD is not asked
// for.
std::string KernelName(u32 major, u32 minor) {
    struct Known {
        u32 major, minor;
        const char* name;
    };
    static const Known kKnown[] = {{4, 0, "Windows NT 4.0"},
                                   {5, 0, "Windows 2000"},
                                   {5, 2, "Windows Server 2003 or Windows XP x64"},
                                   {6, 0, "Windows Vista"},
                                   {6, 1, "Windows 7"},
                                   {6, 2, "Windows 8"},
                                   {6, 3, "Windows 8.1"},
                                   {10, 0, "Windows 10 or later"}};
    for (const Known& k : kKnown) {
        if (k.major == major && k.minor == minor) return k.name;
    }
    return "not Windows XP";
}

// Only Windows XP (kernel 5.1) takes the XP CD's kernel, HAL and IDE driver:
// any other Windows is left unable to start by them. A kernel whose version
// cannot be read says nothing against the CD.
bool CdDriversFit(Host& host, const std::wstring& windowsDirectory) {
    u32 ms = 0;
    u32 ls = 0;
    if (!host.files->GetFileVersion(windowsDirectory + L"\\system32\\ntoskrnl.exe", &ms, &ls)) {
        return true;
    }
    const u32 major = ms >> 16;
    const u32 minor = ms & 0xFFFF;
    if (major == 5 && minor == 1) return true;
    SayCause(host, CauseKind::kWrongWindows,
             "the installation in " + Utf8FromWide(windowsDirectory) + " is " +
                 KernelName(major, minor) + " (kernel " + std::to_string(major) + "." +
                 std::to_string(minor) + "); the Windows XP CD's drivers do not fit it");
    return false;
}

// One pass over the host's drives: the letter of the first CD drive holding
// both WIN51 and I386, or 0 when the list ends without one.
wchar_t ScanForInstallationCd(Host& host, IFileFind& find) {
    wchar_t buffer[kDriveListChars];
    std::wmemset(buffer, L'\0', kDriveListChars);
    // A failed call leaves the zeroed buffer, which reads as an empty list.
    host.files->GetLogicalDriveStrings(kDriveListChars, buffer);
    // Give a disc that was just inserted time to come up.
    host.clock->Sleep(1000);

    // Stop at the empty entry, and never read past the buffer even if the
    // host filled all of it.
    for (u32 at = 0; at + kDriveEntryChars <= kDriveListChars && buffer[at] != L'\0';
         at += kDriveEntryChars) {
        u32 length = 0;
        while (at + length < kDriveListChars && buffer[at + length] != L'\0') ++length;
        const std::wstring root(buffer + at, length);
        if (host.files->GetDriveType(root) != kDriveCdrom) continue;
        const wchar_t cd = buffer[at];
        if (find.FindFile(OnDrive(cd, L":\\WIN51")) && find.FindFile(OnDrive(cd, L":\\I386"))) {
            return cd;
        }
    }
    return 0;
}

// The volume whose \Windows the boot manager's registry adjustment works
// on: the boot volume itself, unless it holds no SYSTEM hive and a later
// volume of the disk does (Windows 7 installed with a "System Reserved"
// partition). With no further volume nothing more is probed.
wchar_t BootManagerWindowsLetter(IFileFind& find, wchar_t letter, const std::wstring& others) {
    const wchar_t* const hive = L":\\Windows\\System32\\config\\system";
    if (others.empty() || find.FindFile(OnDrive(letter, hive))) return letter;
    for (wchar_t other : others) {
        if (other != letter && find.FindFile(OnDrive(other, hive))) return other;
    }
    return letter;
}

}  // namespace

bool DiscoverTarget(Host& host, IFileFind& find, wchar_t letter, TargetInfo* out,
                    const std::wstring& otherLetters) {
    // A volume that starts through the boot manager: only its registry is
    // adjusted, always under \Windows.
    if (find.FindFile(OnDrive(letter, L":\\bootmgr")) &&
        find.FindFile(OnDrive(letter, L":\\Boot\\BCD"))) {
        const wchar_t windows = BootManagerWindowsLetter(find, letter, otherLetters);
        Select(out, windows, OnDrive(windows, L":\\Windows"), TargetInfo::SourceKind::kNone, L"");
        return true;
    }

    // The installation's own service-pack cabinet: the lowest number wins,
    // and at equal numbers \Windows before \WINNT.
    for (int i = 0; i <= 9; ++i) {
        std::wstring probe = Numbered(letter, L":\\Windows\\Driver Cache\\i386\\sp", i, L".cab");
        if (find.FindFile(probe)) {
            SelectInstallation(find, out, letter, OnDrive(letter, L":\\Windows"),
                               TargetInfo::SourceKind::kCabinet, probe);
            return true;
        }
        probe = Numbered(letter, L":\\WINNT\\Driver Cache\\i386\\sp", i, L".cab");
        if (find.FindFile(probe)) {
            SelectInstallation(find, out, letter, OnDrive(letter, L":\\WINNT"),
                               TargetInfo::SourceKind::kCabinet, probe);
            return true;
        }
    }

    // An i386 folder copied onto the volume.
    std::wstring probe = OnDrive(letter, L":\\Windows\\i386");
    if (find.FindFile(probe)) {
        SelectInstallation(find, out, letter, OnDrive(letter, L":\\Windows"),
                           TargetInfo::SourceKind::kFolder, probe);
        return true;
    }
    probe = OnDrive(letter, L":\\WINNT\\i386");
    if (find.FindFile(probe)) {
        SelectInstallation(find, out, letter, OnDrive(letter, L":\\WINNT"),
                           TargetInfo::SourceKind::kFolder, probe);
        return true;
    }

    // No source on the volume: the drivers must come from the installation
    // CD, which is only worth asking for when there is a Windows to adjust.
    std::wstring windowsDirectory;
    if (find.FindFile(OnDrive(letter, L":\\Windows"))) {
        windowsDirectory = OnDrive(letter, L":\\Windows");
    } else if (find.FindFile(OnDrive(letter, L":\\WINNT"))) {
        windowsDirectory = OnDrive(letter, L":\\WINNT");
    } else {
        host.ui->MessageBoxById(IDS_NO_TARGET_OS, kMbOk, kHelpContextDefault);
        return false;
    }

    // The CD is asked for only when its drivers can be right for the
    // installation: a Vista/7 has its registry adjusted instead, and any
    // Windows but XP ends the run as if no target were there.
    if (StartsThroughWinload(find, windowsDirectory)) {
        Select(out, letter, windowsDirectory, TargetInfo::SourceKind::kNone, L"");
        return true;
    }
    if (!CdDriversFit(host, windowsDirectory)) {
        host.ui->MessageBoxById(IDS_NO_TARGET_OS, kMbOk, kHelpContextDefault);
        return false;
    }

    if (host.ui->MessageBoxById(IDS_INSERT_CD, kMbOkCancel | kMbIconInformation,
                                kHelpContextDefault) == kIdCancel) {
        return false;
    }

    wchar_t cd = 0;
    while ((cd = ScanForInstallationCd(host, find)) == 0) {
        if (host.ui->MessageBoxById(IDS_CD_NOT_FOUND, kMbYesNo, kHelpContextDefault) != kIdYes) {
            return false;
        }
    }

    // The CD's own service-pack cabinet before its plain I386 folder; the
    // letter and Windows directory stay those of the volume.
    for (int k = 0; k <= 9; ++k) {
        probe = Numbered(cd, L":\\I386\\sp", k, L".cab");
        if (find.FindFile(probe)) {
            Select(out, letter, windowsDirectory, TargetInfo::SourceKind::kCabinet, probe);
            return true;
        }
    }
    Select(out, letter, windowsDirectory, TargetInfo::SourceKind::kFolder, OnDrive(cd, L":\\I386"));
    return true;
}

}  // namespace morlit
