// The application object: start-up, the host gate, and the main window run
// as a modal dialog. Host-neutral; each host's entry point drives it.
#pragma once

#include "platform/dialog.h"
#include "platform/host.h"

namespace morlit {

// The version test of the start-up gate: Windows NT 6.x with x >= 1 and a
// build (low 16 bits) of at least 6000. `known` is false when the version
// could not be read at all, which refuses the host.
bool IsSupportedHost(bool known, const OsVersion& version);

// Reads the version as the gate does: a second try when the first fails.
// Returns false when both fail.
bool QueryHostVersion(ISystem& system, OsVersion& version);

class CMorlitApp {
  public:
    explicit CMorlitApp(Host& host) : m_host(host) {}
    // Always FALSE: the process ends when the main window closes, without a
    // message loop of the application's own.
    bool InitInstance();

    // The main window while it runs, else null.
    CDialog* m_pMainWnd = nullptr;

  private:
    Host& m_host;
};

}  // namespace morlit
