#include "platform/posix/terminal_ui.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <string>

#include "platform/constants.h"
#include "platform/posix/disk/interrupt.h"
#include "platform/posix/fs/file_access.h"
#include "ui/resource.h"
#include "ui/texts.h"

namespace morlit::posix {

namespace {

class TerminalWindow : public IDialogWindow {
  public:
    TerminalWindow(TerminalUi& ui, IDialogEvents& events, int templateId)
        : ui_(ui), events_(events), templateId_(templateId) {}
    bool Create(int) override {
        exists_ = true;
        events_.OnInitDialog();
        return true;
    }
    std::intptr_t DoModal(int) override {
        // A modal window would wait for a click that cannot come.
        exists_ = true;
        events_.OnInitDialog();
        exists_ = false;
        return kIdCancel;
    }
    void EndDialog(std::intptr_t) override { exists_ = false; }
    bool ModifyStyleEx(u32, u32, u32) override { return exists_; }
    bool ShowWindow(int) override { return exists_; }
    bool DestroyWindow() override {
        const bool was = exists_;
        exists_ = false;
        return was;
    }
    bool EnableItem(int, bool) override { return exists_; }
    bool SetItemText(int id, const std::wstring& text) override {
        if (!exists_) return false;
        texts_[id] = text;
        if (templateId_ == IDD_MESSAGE_DIALOG && id == IDC_STATIC_MESSAGE) {
            // The run says it is finishing once its work is done and its
            // result (and so its final message) is decided: from here a stop
            // signal waits until the image is kept or put back.
            if (text == status::kFinishing) HoldStopSignals();
            ui_.PrintLine(ui_.Shown(text));
        }
        return true;
    }
    std::wstring GetItemText(int id) override {
        auto it = texts_.find(id);
        return it == texts_.end() ? std::wstring() : it->second;
    }
    bool SetWindowPosNoTopMost(int, int, int, int, u32) override { return exists_; }
    void CenterWindow() override {}
    bool GetWindowRect(int& left, int& top, int& right, int& bottom) override {
        left = top = 0;
        right = 400;
        bottom = 100;
        return exists_;
    }
    bool MoveWindow(int, int, int, int, bool) override { return exists_; }
    bool SetWindowText(const std::wstring&) override { return exists_; }
    void UpdateWindow() override {}
    bool AppendSystemMenuItem(u32, const std::wstring&) override { return false; }
    bool HasSystemMenu() override { return false; }
    void SetIcon(Handle, bool) override {}
    bool IsIconic() override { return false; }
    void PaintIconic(Handle) override {}
    void DefaultSysCommand(u32, std::intptr_t) override {}

  private:
    TerminalUi& ui_;
    IDialogEvents& events_;
    int templateId_;
    bool exists_ = false;
    std::map<int, std::wstring> texts_;
};

std::string Trim(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    std::string out = s.substr(b, e - b);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

std::unique_ptr<IDialogWindow> TerminalUi::NewWindow(IDialogEvents& events, int templateId) {
    return std::make_unique<TerminalWindow>(*this, events, templateId);
}

std::wstring TerminalUi::LoadString(u32 id) {
    const wchar_t* text = FindStringTableText(id);
    return text ? Shown(text) : L"";
}

void TerminalUi::PrintLine(const std::wstring& text) { out_ << ToUtf8(text) << std::endl; }

int TerminalUi::MessageBox(const std::wstring& given, u32 style, u32 /*helpContext*/) {
    // Texts from the string table come translated already; this catches one
    // passed as written.
    const std::wstring text = Shown(given);
    lastMessage_ = text;
    PrintLine(text);
    lastAtEndOfInput_ = false;
    const u32 buttons = style & 0xF;
    if (buttons != kMbOkCancel && buttons != kMbYesNo) return kIdOk;
    const bool yesNo = buttons == kMbYesNo;
    for (;;) {
        if (prompt_) {
            out_ << (yesNo ? "[yes/no] " : "[ok/cancel] ") << std::flush;
        }
        std::string line;
        if (!std::getline(in_, line)) {
            lastAtEndOfInput_ = true;
            return yesNo ? kIdNo : kIdCancel;
        }
        const std::string answer = Trim(line);
        if (yesNo) {
            if (answer == "yes" || answer == "y" || answer == "はい") return kIdYes;
            if (answer == "no" || answer == "n" || answer == "いいえ") return kIdNo;
        } else {
            if (answer == "ok" || answer == "o") return kIdOk;
            if (answer == "cancel" || answer == "c" || answer == "キャンセル") return kIdCancel;
        }
    }
}

int TerminalUi::MessageBoxById(u32 id, u32 style, u32 helpContext) {
    return MessageBox(LoadString(id), style, helpContext);
}

bool TerminalUi::GetOpenFileName(const OpenFileRequest&, std::wstring& path) {
    path.clear();
    return false;
}

Handle TerminalUi::LoadAppIcon(int resourceId) {
    // Any non-null value: the icon is only handed back to the window.
    return reinterpret_cast<Handle>(static_cast<std::intptr_t>(resourceId));
}

}  // namespace morlit::posix
