// Target discovery and dispatch: what the attached volume holds, and which
// adjustments run on it.
#include "ui/MorlitDlg.h"

namespace morlit {

int CMorlitDlg::DiscoverAndAdjust(wchar_t /*letter*/) {
    // Discovery is not built yet: a run whose image mounted and whose volume
    // letter was found ends here.
    return 1;
}

}  // namespace morlit
