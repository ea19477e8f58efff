// Target discovery and dispatch: what the attached volume holds, and which
// adjustments run on it.
#include "run/TargetDiscovery.h"
#include "ui/MorlitDlg.h"

namespace morlit {

int CMorlitDlg::DiscoverAndAdjust(wchar_t letter, const std::wstring& otherLetters) {
    // One probe object for the whole discovery. It lives until this returns,
    // so no search on the volume is left open when the image is detached.
    std::unique_ptr<IFileFind> find = m_host.files->NewFileFind();
    if (!find) return 0;

    TargetInfo target;
    if (!DiscoverTarget(m_host, *find, letter, &target, otherLetters)) return 0;
    NoteTarget(m_host, target.windowsDirectory, target.sourceKind, target.driverSource);
    return DispatchTarget(target, *this);
}

}  // namespace morlit
