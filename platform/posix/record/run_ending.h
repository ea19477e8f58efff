// How the command ends a run: keeps the changes of a run that decided it
// adjusted the image and undoes the others, says why a failed run that said
// nothing failed, and says what a stop did. Decided from the run's record,
// never from what its messages say.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/posix/posix_host.h"
#include "platform/posix/record/recorder.h"
#include "platform/posix/record/run_record.h"

namespace morlit::posix {

// The cause of a run that ended without adjusting the image and named none
// itself: the question that stopped it, no Windows on the first volume (with
// the image's volumes), or its last failure message in words. Empty when
// the run named its own cause.
std::optional<RecordedCause> EndingCause(const RunRecord& record,
                                         const std::vector<std::string>& volumes);

struct RunClose {
    bool adjusted = false;         // the run's result chose its success message
    PosixVirtualDisk::RunEnd end;  // what became of the images it wrote
    int stop = 0;                  // the stop signal that came during the run, 0 for none
    int status = 1;                // 0 adjusted and kept, 1 failed, 128 + n stopped
};

// Ends a run of `host`, whose services `recorder` is in front of; what it
// says goes through the recorder's events, so that the record holds it.
RunClose CloseRun(PosixHost& host, RunRecorder& recorder);

}  // namespace morlit::posix
