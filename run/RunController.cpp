// The Start command: one adjustment run from the click to the final message.
#include "ui/MorlitDlg.h"
#include "ui/texts.h"

namespace morlit {

void CMorlitDlg::ShowProgress(const std::wstring& text) {
    if (m_pMessageDlg == nullptr) return;
    m_pMessageDlg->GetDlgItem(IDC_STATIC_MESSAGE).SetWindowText(text);
    // The run holds the thread, so no paint message would show the new text.
    m_pMessageDlg->Window().UpdateWindow();
    m_host.clock->Sleep(1000);
}

void CMorlitDlg::ShowProgress(RunStep step) {
    NoteStep(m_host, step);
    ShowProgress(StatusText(step));
}

void CMorlitDlg::OnBnClickedOk() {
    IUi& ui = *m_host.ui;
    if (m_strVhdPath.empty()) {
        NoteMessage(m_host, IDS_SELECT_VHD);
        ui.MessageBox(ui.LoadString(IDS_SELECT_VHD), kMbOk, 0);
        return;
    }

    GetDlgItem(kIdOk).EnableWindow(false);
    GetDlgItem(kIdCancel).EnableWindow(false);

    m_pMessageDlg = nullptr;
    m_pMessageDlg = new CMessageDlg(m_host);
    if (m_pMessageDlg != nullptr) {
        if (!m_pMessageDlg->Create(IDD_MESSAGE_DIALOG)) {
            // Without its window every status update would go nowhere; run
            // without one, as the run does not depend on it.
            delete m_pMessageDlg;
            m_pMessageDlg = nullptr;
        } else {
            m_pMessageDlg->ModifyStyleEx(0, kWsExToolWindow, kSwpNoSize);
            m_pMessageDlg->ShowWindow(kSwShow);
            ShowProgress(RunStep::kStarting);
        }
    }

    // A hive an earlier run could not unload still holds the mount point;
    // while it does, this run could load no hive of its own, so it does not
    // open its image at all.
    const bool mountPointFree = UnloadTargetRegistry() == 1;
    int result = mountPointFree ? RunAdjustment() : 0;

    ShowProgress(RunStep::kFinishing);
    if (mountPointFree && !UnloadTargetRegistry()) result = 0;

    if (m_hVirtualDisk != nullptr) {
        if (m_host.vdisk->DetachVirtualDisk(m_hVirtualDisk, kDetachVirtualDiskFlagNone, 0) ==
            err::kSuccess) {
            m_host.system->CloseHandle(m_hVirtualDisk);
            m_hVirtualDisk = nullptr;
        } else {
            // The image is still attached (on Linux, put back): the machine
            // cannot be started from it as the run leaves it, so the run has
            // not done its work.
            ShowCodeMessage(IDS_DETACH_FAILED, m_host.errors->GetLastError());
            result = 0;
        }
    }

    GetDlgItem(kIdOk).EnableWindow(true);
    GetDlgItem(kIdCancel).EnableWindow(true);

    if (m_pMessageDlg != nullptr) {
        m_pMessageDlg->ShowWindow(kSwHide);
        delete m_pMessageDlg;
        m_pMessageDlg = nullptr;
    }

    // The result chose the final message; a host that keeps the image only
    // for an adjusted run learns it from this value, not from the text.
    NoteFinished(m_host, result == 1);
    if (result == 1) {
        NoteMessage(m_host, IDS_ADJUST_DONE);
        ui.MessageBox(ui.LoadString(IDS_ADJUST_DONE), kMbOk | kMbIconInformation, 0);
    } else {
        NoteMessage(m_host, IDS_ADJUST_FAILED);
        ui.MessageBox(ui.LoadString(IDS_ADJUST_FAILED), kMbOk, 0);
    }
}

void CMorlitDlg::ShowCodeMessage(u32 id, u32 code) {
    IUi& ui = *m_host.ui;
    NoteMessage(m_host, id, code);
    ui.MessageBox(FormatWithCode(ui.LoadString(id), code), kMbOk, 0);
}

}  // namespace morlit
