// SIGINT and SIGTERM ask a run to stop; they never stop it in the middle of a
// write. The handler only sets a flag. The image layer refuses its next write
// once the flag is set, so the run fails on its normal path, where the image
// is put back and the run's own files are removed.
#pragma once

namespace morlit::posix {

// Installs the handlers for SIGINT and SIGTERM (once per process; again is
// harmless).
void InstallInterruptHandlers();

// True once SIGINT or SIGTERM has arrived.
bool InterruptRequested();

// The signal that arrived (SIGINT or SIGTERM), 0 for none.
int InterruptSignal();

}  // namespace morlit::posix
