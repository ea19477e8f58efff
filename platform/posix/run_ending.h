// The one line that says why a run of the command did not adjust the image,
// for the endings where the dialog's messages (in Japanese, with a bare
// code) and the run's own lines leave a user without a next step.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/posix/posix_host.h"
#include "platform/posix/terminal_ui.h"

namespace morlit::posix {

struct RunRecord {
    std::vector<TerminalUi::ShownMessage> messages;  // every message box, in order
    std::vector<std::string> volumes;                // the image's lettered volumes
    int linesSaid = 0;                               // diagnostic and cause lines so far
    int causesSaid = 0;                              // of them, given by the run as its cause
    // A string-table text as the terminal showed it (in the user's
    // language); as written when not set.
    std::function<std::wstring(const std::wstring&)> shown;
};

// The line for a run that ended without adjusting the image, or empty when
// what was said already tells why. A run that stopped at a question says
// which answer stopped it; one that found no Windows lists what it found;
// any other failure that said nothing names its last message in words.
std::string EndingCause(const RunRecord& run);

// How a run of the command ended once Start returned.
struct RunClose {
    bool adjusted = false;            // the run ended with its success message
    PosixVirtualDisk::RunEnd end;     // what became of the images it wrote
    int stop = 0;                     // the stop signal that came during the run, 0 for none
    int status = 1;                   // 0 adjusted and kept, 1 failed, 128 + n stopped
    std::vector<std::string> causes;  // the lines said that tell why it failed
};

// Ends a run as the command ends it: says why a run that said nothing
// failed, keeps the changes of one that adjusted the image and undoes the
// others, and says what a stop did. `said` holds every line said through
// `say` and the host's diagnostics; the causes are those of them shown.
RunClose CloseRun(PosixHost& host, const std::function<void(const std::string&)>& say,
                  const std::vector<std::string>& said);

}  // namespace morlit::posix
