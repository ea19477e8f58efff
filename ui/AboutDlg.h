// The About box: template 100, no members and no handlers of its own.
#pragma once

#include "platform/dialog.h"
#include "ui/resource.h"

namespace morlit {

class CAboutDlg : public CDialog {
  public:
    explicit CAboutDlg(Host& host) : CDialog(host, IDD_ABOUTBOX) {}
};

}  // namespace morlit
