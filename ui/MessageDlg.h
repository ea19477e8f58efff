// The progress window: a modeless dialog with one line of status text.
#pragma once

#include "platform/constants.h"
#include "platform/dialog.h"
#include "ui/resource.h"

namespace morlit {

class CMessageDlg : public CDialog {
  public:
    explicit CMessageDlg(Host& host) : CDialog(host, IDD_MESSAGE_DIALOG) {}
    ~CMessageDlg() override = default;
    bool OnInitDialog() override;
};

}  // namespace morlit
