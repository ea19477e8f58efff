// The one line that says why a run of the command did not adjust the image,
// for the endings where the dialog's messages (in Japanese, with a bare
// code) and the run's own lines leave a user without a next step.
#pragma once

#include <functional>
#include <string>
#include <vector>

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

}  // namespace morlit::posix
