// Driver replacement: the HAL, the kernel and the IDE driver of an XP or 2000
// target are expanded into place by the host's expand tool, one run each.
#include "ui/MorlitDlg.h"
#include "ui/texts.h"

namespace morlit {

namespace {

struct DriverStep {
    const wchar_t* sourcePiece;       // folder form: appended to the source folder
    const wchar_t* fileSwitch;        // cabinet form: the member to take
    const wchar_t* destinationPiece;  // appended to the Windows directory
};

// HAL, kernel, IDE driver: always in this order.
constexpr DriverStep kFolderSteps[] = {
    {L"\\hal.dl_", nullptr, L"\\system32\\hal.dll"},
    {L"\\ntoskrnl.ex_", nullptr, L"\\system32\\ntoskrnl.exe"},
    {L"\\intelide.sy_", nullptr, L"\\system32\\Drivers\\intelide.sys"},
};
constexpr DriverStep kCabinetSteps[] = {
    {nullptr, L"-F:hal.dll", L"\\system32"},
    {nullptr, L"-F:ntoskrnl.exe", L"\\system32"},
    {nullptr, L"-F:intelide.sys", L"\\system32\\drivers"},
};

}  // namespace

int CMorlitDlg::ExpandDriversFromFolder(wchar_t /*letter*/, std::wstring windowsDirectory,
                                        std::wstring source) {
    ShowProgress(RunStep::kCopyingDrivers);
    for (const DriverStep& step : kFolderSteps) {
        // Joined unchanged: each path quoted, nothing escaped or trimmed.
        const std::wstring parameters = L"\"" + source + step.sourcePiece + L"\" \"" +
                                        windowsDirectory + step.destinationPiece + L"\"";
        if (!RunAndWait(L"expand", parameters)) return 0;
    }
    return 1;
}

int CMorlitDlg::ExpandDriversFromCabinet(wchar_t /*letter*/, std::wstring windowsDirectory,
                                         std::wstring cabinet) {
    ShowProgress(RunStep::kCopyingDrivers);
    for (const DriverStep& step : kCabinetSteps) {
        const std::wstring parameters = L"\"" + cabinet + L"\" " + step.fileSwitch + L" \"" +
                                        windowsDirectory + step.destinationPiece + L"\"";
        if (!RunAndWait(L"expand", parameters)) return 0;
    }
    return 1;
}

int CMorlitDlg::RunAndWait(const std::wstring& file, const std::wstring& parameters) {
    ShellExecuteInfo info;
    info.mask = kSeeMaskNoCloseProcess;
    info.file = file;
    info.parameters = parameters;
    info.show = kSwShowNormal;

    const bool started = m_host.processes->ShellExecuteEx(info);
    // Without a process there is no end to wait for and no result to read.
    if (!started || info.process == nullptr) return 0;

    m_host.processes->WaitForSingleObject(info.process, kInfinite);
    // A tool that started but failed (source missing, member absent,
    // destination unwritable) has left the old file in place: that is a
    // failed step, not a done one.
    u32 exitCode = 0;
    const bool ended = m_host.processes->GetExitCodeProcess(info.process, &exitCode);
    m_host.system->CloseHandle(info.process);
    return ended && exitCode == 0 ? 1 : 0;
}

}  // namespace morlit
