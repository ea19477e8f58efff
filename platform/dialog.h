// A small dialog base: a template ID, a window object from the host's dialog
// framework, and the handlers. The run logic uses only what is here, so it
// compiles on every host.
#pragma once

#include <memory>
#include <string>

#include "platform/host.h"

namespace morlit {

class CDialog;

// What GetDlgItem returns: a control of a dialog, addressed by its ID.
class CDlgItem {
  public:
    CDlgItem(IDialogWindow* window, int id) : window_(window), id_(id) {}
    bool EnableWindow(bool enable) { return window_ && window_->EnableItem(id_, enable); }
    bool SetWindowText(const std::wstring& text) {
        return window_ && window_->SetItemText(id_, text);
    }
    std::wstring GetWindowText() { return window_ ? window_->GetItemText(id_) : std::wstring(); }

  private:
    IDialogWindow* window_;
    int id_;
};

class CDialog : public IDialogEvents {
  public:
    CDialog(Host& host, int templateId)
        : m_host(host), m_templateId(templateId), m_wnd(host.ui->NewWindow(*this, templateId)) {}
    ~CDialog() override = default;  // the window object destroys its window
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    bool Create(int templateId) { return m_wnd->Create(templateId); }
    std::intptr_t DoModal() { return m_wnd->DoModal(m_templateId); }
    void EndDialog(std::intptr_t result) { m_wnd->EndDialog(result); }
    bool ModifyStyleEx(u32 remove, u32 add, u32 flags) {
        return m_wnd->ModifyStyleEx(remove, add, flags);
    }
    bool ShowWindow(int command) { return m_wnd->ShowWindow(command); }
    CDlgItem GetDlgItem(int id) { return CDlgItem(m_wnd.get(), id); }
    IDialogWindow& Window() { return *m_wnd; }
    Host& GetHost() { return m_host; }

  protected:
    Host& m_host;
    int m_templateId;
    std::unique_ptr<IDialogWindow> m_wnd;
};

}  // namespace morlit
