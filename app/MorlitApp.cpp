#include "app/MorlitApp.h"

#include "platform/constants.h"
#include "ui/MorlitDlg.h"
#include "ui/texts.h"

namespace morlit {

namespace {
constexpr u32 kPlatformWin32Nt = 2;
constexpr u32 kIccWin95Classes = 0xFF;
}  // namespace

bool IsSupportedHost(bool known, const OsVersion& version) {
    return known && version.platformId == kPlatformWin32Nt && version.major == 6 &&
           version.minor >= 1 && (version.build & 0xFFFF) >= 6000;
}

bool QueryHostVersion(ISystem& system, OsVersion& version) {
    version = OsVersion{};
    if (system.GetVersionEx(version)) return true;
    version = OsVersion{};
    return system.GetVersionEx(version);
}

bool CMorlitApp::InitInstance() {
    m_host.ui->InitCommonControls(kIccWin95Classes);

    OsVersion version;
    const bool known = QueryHostVersion(*m_host.system, version);
    if (!IsSupportedHost(known, version)) {
        m_host.ui->MessageBox(kWindows7Only, kMbOk, 0);
        return false;
    }

    CMorlitDlg dlg(m_host);
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
    return false;
}

}  // namespace morlit
