// The drivers a run would have asked expand for after the one that failed:
// the run's own driver step played again with programs that only take
// their parameters.
#pragma once

#include <string>
#include <vector>

#include "platform/host.h"

namespace morlit::app {

// The parameters of the three expand runs of the driver step for a first
// run given `first` and the Windows folder `windows`, as the run's own
// driver step makes them; empty when the first run's form is not one the
// step makes.
std::vector<std::wstring> ReplayDriverRuns(Host& host, const std::wstring& first,
                                           const std::wstring& windows);

}  // namespace morlit::app
