// The dialog services on a terminal. Windows exist only as objects: the
// progress window's status text (control 1002) is printed as a line, message
// boxes are printed as their texts stand, and a question reads its answer as
// a line ("ok"/"cancel", "yes"/"no" or the Japanese button names). At the
// end of the input a question takes Cancel or No, so nothing ever waits.
// With a message catalogue every text is shown translated; the answers are
// taken in either language.
#pragma once

#include <istream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/host.h"
#include "platform/posix/message_catalog.h"

namespace morlit::posix {

class TerminalUi : public IUi {
  public:
    // `prompt`: print the choices before reading (for a terminal).
    TerminalUi(std::istream& in, std::ostream& out, bool prompt)
        : in_(in), out_(out), prompt_(prompt) {}

    std::unique_ptr<IDialogWindow> NewWindow(IDialogEvents& events, int templateId) override;
    std::wstring LoadString(u32 id) override;
    int MessageBox(const std::wstring& text, u32 style, u32 helpContext) override;
    int MessageBoxById(u32 id, u32 style, u32 helpContext) override;
    // There is no file dialog on a terminal: the image comes from the command line.
    bool GetOpenFileName(const OpenFileRequest& request, std::wstring& path) override;
    Handle LoadAppIcon(int resourceId) override;

    // The last message box's text as shown, for the command's exit status.
    const std::wstring& LastMessage() const { return lastMessage_; }
    // Whether the last message box took its answer at the end of the input.
    bool LastAnswerAtEndOfInput() const { return lastAtEndOfInput_; }
    void PrintLine(const std::wstring& text);

    // The texts' translation; null shows them as written.
    void SetCatalog(std::unique_ptr<const MessageCatalog> catalog) {
        catalog_ = std::move(catalog);
    }
    // A text as the terminal shows it.
    std::wstring Shown(const std::wstring& text) const {
        return catalog_ ? catalog_->Translate(text) : text;
    }

  private:
    std::istream& in_;
    std::ostream& out_;
    bool prompt_;
    std::wstring lastMessage_;
    std::unique_ptr<const MessageCatalog> catalog_;
    bool lastAtEndOfInput_ = false;
};

}  // namespace morlit::posix
