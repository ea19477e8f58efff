#include "ui/MessageDlg.h"

namespace morlit {

bool CMessageDlg::OnInitDialog() {
    // Out of the topmost band and to (0, 0); then centred, and 16 pixels
    // shorter than the template makes it.
    m_wnd->SetWindowPosNoTopMost(0, 0, 0, 0, kSwpNoSize);
    m_wnd->CenterWindow();
    int left = 0, top = 0, right = 0, bottom = 0;
    if (m_wnd->GetWindowRect(left, top, right, bottom)) {
        m_wnd->MoveWindow(left, top, right - left, bottom - top - 16, true);
    }
    return true;
}

}  // namespace morlit
