// The main window's own handlers: setup, the About entry, the icon and the
// choice of the image.
#include "ui/MorlitDlg.h"

#include "ui/AboutDlg.h"
#include "ui/texts.h"

namespace morlit {

CMorlitDlg::CMorlitDlg(Host& host) : CDialog(host, IDD_MORLIT_DIALOG) {
    m_hIcon = host.ui->LoadAppIcon(IDR_MAINFRAME);
}

CMorlitDlg::~CMorlitDlg() = default;

bool CMorlitDlg::OnInitDialog() {
    if (m_wnd->HasSystemMenu()) {
        const std::wstring about = m_host.ui->LoadString(IDS_ABOUTBOX);
        if (!about.empty()) m_wnd->AppendSystemMenuItem(IDM_ABOUTBOX, about);
    }
    m_wnd->SetIcon(m_hIcon, true);
    m_wnd->SetIcon(m_hIcon, false);
    m_strVhdPath.clear();
    m_hVirtualDisk = nullptr;
    return true;
}

bool CMorlitDlg::OnSysCommand(u32 id, std::intptr_t lParam) {
    if ((id & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about(m_host);
        about.DoModal();
        return true;
    }
    m_wnd->DefaultSysCommand(id, lParam);
    return true;
}

bool CMorlitDlg::OnPaint() {
    if (!m_wnd->IsIconic()) return false;
    m_wnd->PaintIconic(m_hIcon);
    return true;
}

Handle CMorlitDlg::OnQueryDragIcon() { return m_hIcon; }

bool CMorlitDlg::OnCommand(int id) {
    switch (id) {
        case IDC_BUTTON_BROWSE:
            OnBnClickedBrowse();
            return true;
        case kIdOk:
            // Start never closes the window.
            OnBnClickedOk();
            return true;
        default:
            return false;
    }
}

void CMorlitDlg::OnBnClickedBrowse() {
    OpenFileRequest request;
    request.constructorFlags = 0x6;  // OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT
    // OFN_READONLY | OFN_FILEMUSTEXIST | OFN_NONETWORKBUTTON | OFN_ENABLESIZING
    request.flags = request.constructorFlags | 0x821001;
    request.filterIndex = 1;
    request.defaultExtension = L"vhd";
    request.filter = std::wstring(L"Virtual Harddisk Image(*.vhd)\0*.vhd\0\0\0", 38);
    request.title = L"VHDファイルを開く";
    request.fileBufferChars = kMaxPath;
    std::wstring path;
    if (!m_host.ui->GetOpenFileName(request, path)) return;
    m_strVhdPath = path;
    GetDlgItem(IDC_EDIT_VHD_PATH).SetWindowText(path);
}

std::wstring CMorlitDlg::ExecutableDirectory() {
    std::wstring path;
    if (!m_host.system->GetModuleFileName(path) || path.size() >= kMaxPath) return {};
    const auto slash = path.rfind(L'\\');
    if (slash == std::wstring::npos) return {};
    return path.substr(0, slash + 1);
}

}  // namespace morlit
