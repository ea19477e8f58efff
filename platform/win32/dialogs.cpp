// A small dialog framework over Win32: dialogs from resource templates, modal
// and modeless, whose messages go to the handlers of an IDialogEvents; message
// boxes, strings, the icon and the file-open dialog.
#include <vector>

#include "platform/win32/dialog_rules.h"
#include "platform/win32/win32_host.h"
#include "platform/win32/win32_api.h"

namespace morlit::win32 {
namespace {

class Win32Ui;

constexpr UINT kNeverSent = WM_APP + 0x3FFF;

class Win32DialogWindow : public IDialogWindow {
  public:
    Win32DialogWindow(Win32Ui& ui, IDialogEvents& events) : ui_(ui), events_(events) {}
    ~Win32DialogWindow() override { DestroyWindow(); }

    bool Create(int templateId) override;
    std::intptr_t DoModal(int templateId) override;
    void EndDialog(std::intptr_t result) override {
        if (hwnd_) ::EndDialog(hwnd_, result);
    }
    bool ModifyStyleEx(u32 remove, u32 add, u32 swpFlags) override {
        if (!hwnd_) return false;
        const LONG_PTR style = ::GetWindowLongPtrW(hwnd_, GWL_EXSTYLE);
        const LONG_PTR changed = (style & ~static_cast<LONG_PTR>(remove)) | add;
        if (changed == style) return false;
        ::SetWindowLongPtrW(hwnd_, GWL_EXSTYLE, changed);
        // Non-zero flags ask for the frame to follow the new style at once.
        if (swpFlags != 0) {
            ::SetWindowPos(hwnd_, nullptr, 0, 0, 0, 0,
                           SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | swpFlags);
        }
        return true;
    }
    bool ShowWindow(int command) override { return hwnd_ && ::ShowWindow(hwnd_, command) != FALSE; }
    bool DestroyWindow() override {
        if (!hwnd_ || !::IsWindow(hwnd_)) return false;
        return ::DestroyWindow(hwnd_) != FALSE;
    }
    bool EnableItem(int id, bool enable) override {
        HWND item = hwnd_ ? ::GetDlgItem(hwnd_, id) : nullptr;
        if (!item) return false;
        ::EnableWindow(item, enable ? TRUE : FALSE);
        return true;
    }
    bool SetItemText(int id, const std::wstring& text) override {
        return hwnd_ && ::SetDlgItemTextW(hwnd_, id, text.c_str()) != FALSE;
    }
    std::wstring GetItemText(int id) override {
        HWND item = hwnd_ ? ::GetDlgItem(hwnd_, id) : nullptr;
        if (!item) return {};
        std::vector<wchar_t> buffer(static_cast<size_t>(::GetWindowTextLengthW(item)) + 1, L'\0');
        const int n = ::GetWindowTextW(item, buffer.data(), static_cast<int>(buffer.size()));
        return std::wstring(buffer.data(), n > 0 ? static_cast<size_t>(n) : 0);
    }
    bool SetWindowPosNoTopMost(int x, int y, int cx, int cy, u32 flags) override {
        return hwnd_ && ::SetWindowPos(hwnd_, HWND_NOTOPMOST, x, y, cx, cy, flags) != FALSE;
    }
    void CenterWindow() override;
    bool GetWindowRect(int& left, int& top, int& right, int& bottom) override {
        RECT r;
        if (!hwnd_ || !::GetWindowRect(hwnd_, &r)) return false;
        left = r.left;
        top = r.top;
        right = r.right;
        bottom = r.bottom;
        return true;
    }
    bool MoveWindow(int x, int y, int width, int height, bool repaint) override {
        return hwnd_ && ::MoveWindow(hwnd_, x, y, width, height, repaint ? TRUE : FALSE) != FALSE;
    }
    bool SetWindowText(const std::wstring& text) override {
        return hwnd_ && ::SetWindowTextW(hwnd_, text.c_str()) != FALSE;
    }
    void UpdateWindow() override {
        if (!hwnd_) return;
        ::UpdateWindow(hwnd_);
        // Some window systems (Wine's among them) put what was painted on
        // the screen only when the thread next looks at its queue. A peek
        // for a message that is never sent does that and dispatches nothing.
        MSG msg;
        ::PeekMessageW(&msg, hwnd_, kNeverSent, kNeverSent, PM_NOREMOVE);
    }
    bool AppendSystemMenuItem(u32 commandId, const std::wstring& text) override {
        HMENU menu = hwnd_ ? ::GetSystemMenu(hwnd_, FALSE) : nullptr;
        if (!menu) return false;
        ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        return ::AppendMenuW(menu, MF_STRING, commandId, text.c_str()) != FALSE;
    }
    bool HasSystemMenu() override { return hwnd_ && ::GetSystemMenu(hwnd_, FALSE) != nullptr; }
    void SetIcon(Handle icon, bool big) override {
        if (hwnd_) {
            ::SendMessageW(hwnd_, WM_SETICON, big ? ICON_BIG : ICON_SMALL,
                           reinterpret_cast<LPARAM>(icon));
        }
    }
    bool IsIconic() override { return hwnd_ && ::IsIconic(hwnd_) != FALSE; }
    void PaintIconic(Handle icon) override {
        PAINTSTRUCT ps;
        HDC dc = ::BeginPaint(hwnd_, &ps);
        ::SendMessageW(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
        const int cxIcon = ::GetSystemMetrics(SM_CXICON);
        const int cyIcon = ::GetSystemMetrics(SM_CYICON);
        RECT rect;
        ::GetClientRect(hwnd_, &rect);
        const int x = (rect.right - rect.left - cxIcon + 1) / 2;
        const int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
        ::DrawIcon(dc, x, y, static_cast<HICON>(icon));
        ::EndPaint(hwnd_, &ps);
    }
    void DefaultSysCommand(u32 id, std::intptr_t lParam) override {
        if (hwnd_) ::DefWindowProcW(hwnd_, WM_SYSCOMMAND, id, lParam);
    }

  private:
    static INT_PTR CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR Dispatch(UINT message, WPARAM wParam, LPARAM lParam);

    Win32Ui& ui_;
    IDialogEvents& events_;
    HWND hwnd_ = nullptr;
    bool modal_ = false;
};

class Win32Ui : public IUi {
  public:
    explicit Win32Ui(HINSTANCE instance) : instance_(instance) {}

    std::unique_ptr<IDialogWindow> NewWindow(IDialogEvents& events, int /*templateId*/) override {
        return std::make_unique<Win32DialogWindow>(*this, events);
    }

    std::wstring LoadString(u32 id) override {
        const wchar_t* text = nullptr;
        const int n = ::LoadStringW(instance_, id, reinterpret_cast<LPWSTR>(&text), 0);
        if (n <= 0 || text == nullptr) return {};
        return std::wstring(text, static_cast<size_t>(n));
    }

    int MessageBox(const std::wstring& text, u32 style, u32 helpContext) override {
        return Show(text, style, helpContext == 0 ? 0 : FrameworkHelpContext(0, helpContext));
    }

    int MessageBoxById(u32 id, u32 style, u32 helpContext) override {
        return Show(LoadString(id), style, FrameworkHelpContext(id, helpContext));
    }

    bool GetOpenFileName(const OpenFileRequest& request, std::wstring& path) override {
        std::vector<wchar_t> file(request.fileBufferChars ? request.fileBufferChars : MAX_PATH,
                                  L'\0');
        OPENFILENAMEW ofn;
        ZeroMemory(&ofn, sizeof ofn);
        ofn.lStructSize = sizeof ofn;
        ofn.hwndOwner = Owner(nullptr);
        ofn.hInstance = instance_;
        ofn.lpstrFilter = request.filter.empty() ? nullptr : request.filter.c_str();
        ofn.nFilterIndex = request.filterIndex;
        ofn.lpstrFile = file.data();
        ofn.nMaxFile = static_cast<DWORD>(file.size());
        ofn.lpstrTitle = request.title.empty() ? nullptr : request.title.c_str();
        ofn.Flags = request.flags;
        ofn.lpstrDefExt =
            request.defaultExtension.empty() ? nullptr : request.defaultExtension.c_str();
        if (!::GetOpenFileNameW(&ofn)) return false;
        path.assign(file.data());
        return true;
    }

    morlit::Handle LoadAppIcon(int resourceId) override {
        return ::LoadIconW(instance_, MAKEINTRESOURCEW(resourceId));
    }

    bool InitCommonControls(u32 classes) override {
        INITCOMMONCONTROLSEX icc;
        icc.dwSize = sizeof icc;  // 8
        icc.dwICC = classes;
        return ::InitCommonControlsEx(&icc) != FALSE;
    }

    HINSTANCE Instance() const { return instance_; }

    // The window a new modal window or box belongs to: the last active popup
    // of the main window, or none before the main window exists. When that
    // is not the main window itself, the main window is disabled too, and
    // *top tells which window to enable again.
    HWND Owner(HWND* top) {
        if (top) *top = nullptr;
        if (!main_ || !::IsWindow(main_)) return nullptr;
        HWND owner = ::GetLastActivePopup(main_);
        if (top && owner != main_ && ::IsWindowEnabled(main_)) {
            ::EnableWindow(main_, FALSE);
            *top = main_;
        }
        return owner;
    }

    void Opened(HWND hwnd, bool modal) {
        if (modal && !main_) main_ = hwnd;
    }
    void Closed(HWND hwnd) {
        if (hwnd == main_) main_ = nullptr;
    }
    HWND Main() const { return main_; }

  private:
    int Show(const std::wstring& text, u32 style, u32 context) {
        HWND top = nullptr;
        MSGBOXPARAMSW params;
        ZeroMemory(&params, sizeof params);
        params.cbSize = sizeof params;
        params.hwndOwner = Owner(&top);
        params.hInstance = instance_;
        params.lpszText = text.c_str();
        const std::wstring caption = AppName();
        params.lpszCaption = caption.c_str();
        // The style as the caller gave it: a notice with MB_OK alone has no
        // icon, and only the success message carries one.
        params.dwStyle = style;
        params.dwContextHelpId = context;
        params.dwLanguageId = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);
        // Without an owner the box would fall behind other applications.
        if (!params.hwndOwner) params.dwStyle |= MB_TASKMODAL;
        const int answer = ::MessageBoxIndirectW(&params);
        if (top) ::EnableWindow(top, TRUE);
        return answer;
    }

    // The framework's default application name: the module's file name
    // without its extension.
    std::wstring AppName() {
        wchar_t path[MAX_PATH + 1] = {};
        ::GetModuleFileNameW(instance_, path, MAX_PATH);
        std::wstring name(path);
        const auto slash = name.find_last_of(L"\\/");
        if (slash != std::wstring::npos) name.erase(0, slash + 1);
        const auto dot = name.rfind(L'.');
        if (dot != std::wstring::npos) name.erase(dot);
        return name;
    }

    HINSTANCE instance_;
    HWND main_ = nullptr;
};

bool Win32DialogWindow::Create(int templateId) {
    if (hwnd_) return false;
    modal_ = false;
    // A modeless window without a parent belongs to the main window, so it
    // stays above it and goes with it.
    HWND created = ::CreateDialogParamW(ui_.Instance(), MAKEINTRESOURCEW(templateId), ui_.Main(),
                                        &Proc, reinterpret_cast<LPARAM>(this));
    return created != nullptr;
}

std::intptr_t Win32DialogWindow::DoModal(int templateId) {
    if (hwnd_) return -1;
    modal_ = true;
    HWND owner = ui_.Owner(nullptr);
    return ::DialogBoxParamW(ui_.Instance(), MAKEINTRESOURCEW(templateId), owner, &Proc,
                             reinterpret_cast<LPARAM>(this));
}

void Win32DialogWindow::CenterWindow() {
    if (!hwnd_) return;
    RECT window;
    ::GetWindowRect(hwnd_, &window);
    // Over the owner when it can be seen and used, else in the middle of the
    // work area of the monitor the window is on.
    MONITORINFO monitor;
    monitor.cbSize = sizeof monitor;
    ::GetMonitorInfoW(::MonitorFromWindow(hwnd_, MONITOR_DEFAULTTOPRIMARY), &monitor);
    const RECT area = monitor.rcWork;
    RECT center = area;
    HWND owner = ::GetWindow(hwnd_, GW_OWNER);
    if (owner && ::IsWindowVisible(owner) && ::IsWindowEnabled(owner) && !::IsIconic(owner))
        ::GetWindowRect(owner, &center);
    const int width = window.right - window.left;
    const int height = window.bottom - window.top;
    int x = (center.left + center.right) / 2 - width / 2;
    int y = (center.top + center.bottom) / 2 - height / 2;
    if (x + width > area.right) x = area.right - width;
    if (x < area.left) x = area.left;
    if (y + height > area.bottom) y = area.bottom - height;
    if (y < area.top) y = area.top;
    ::SetWindowPos(hwnd_, nullptr, x, y, -1, -1, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK Win32DialogWindow::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<Win32DialogWindow*>(lParam);
        ::SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        self->hwnd_ = hwnd;
        self->ui_.Opened(hwnd, self->modal_);
        RECT before{};
        ::GetWindowRect(hwnd, &before);
        const bool wasVisible = (::GetWindowLongW(hwnd, GWL_STYLE) & WS_VISIBLE) != 0;
        const INT_PTR focus = self->events_.OnInitDialog() ? TRUE : FALSE;
        // A dialog is centred unless its initialisation placed or showed it:
        // the templates give no position of their own and none asks for
        // centring, so a dialog left where the template put it would sit in
        // the corner. A window its handler placed or showed keeps what the
        // handler did.
        if (::IsWindow(hwnd) && self->hwnd_ == hwnd && !wasVisible &&
            (::GetWindowLongW(hwnd, GWL_STYLE) & (WS_VISIBLE | WS_CHILD)) == 0) {
            RECT after{};
            ::GetWindowRect(hwnd, &after);
            if (after.left == before.left && after.top == before.top) self->CenterWindow();
        }
        return focus;
    }
    auto* self = reinterpret_cast<Win32DialogWindow*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
    if (!self) return FALSE;
    if (message == WM_NCDESTROY) {
        ::SetWindowLongPtrW(hwnd, DWLP_USER, 0);
        self->ui_.Closed(hwnd);
        self->hwnd_ = nullptr;
        return FALSE;
    }
    return self->Dispatch(message, wParam, lParam);
}

INT_PTR Win32DialogWindow::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_SYSCOMMAND:
            return events_.OnSysCommand(static_cast<u32>(wParam), lParam) ? TRUE : FALSE;
        case WM_PAINT:
            return events_.OnPaint() ? TRUE : FALSE;
        case WM_QUERYDRAGICON:
            // One of the messages whose result a dialog procedure returns
            // directly; null asks for the default.
            return reinterpret_cast<INT_PTR>(events_.OnQueryDragIcon());
        case WM_COMMAND: {
            if (HIWORD(wParam) != BN_CLICKED) return FALSE;
            const int id = LOWORD(wParam);
            if (events_.OnCommand(id)) return TRUE;
            // The framework's OK and Cancel end a modal dialog. A modeless
            // window has no such end: its owner destroys it.
            if ((id == IDOK || id == IDCANCEL) && modal_) {
                ::EndDialog(hwnd_, id);
                return TRUE;
            }
            return FALSE;
        }
        default:
            return FALSE;
    }
}

}  // namespace

std::unique_ptr<IUi> NewUi(void* instance) {
    return std::make_unique<Win32Ui>(static_cast<HINSTANCE>(instance));
}

}  // namespace morlit::win32
