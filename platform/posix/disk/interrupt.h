// SIGINT, SIGTERM, SIGHUP and SIGQUIT ask a run to stop; they never stop it
// in the middle of a write. The handler only sets a flag. The image layer
// refuses its next write once the flag is set, so the run fails on its
// normal path, where the image is put back and the run's own files are
// removed. SIGPIPE is ignored: output to a closed standard output or error
// is dropped and the run goes on to its own end.
#pragma once

namespace morlit::posix {

// Installs the handlers (once per process; again is harmless).
void InstallInterruptHandlers();

// True once a stop signal has arrived.
bool InterruptRequested();

// The signal that arrived, 0 for none.
int InterruptSignal();

// "SIGINT", "SIGTERM", "SIGHUP" or "SIGQUIT"; "a signal" for any other.
const char* StopSignalName(int signal);

// From the moment a run's outcome is decided to the moment it is made final,
// a stop signal must not change it: it is held back (blocked) from here on,
// and a stop that came before no longer refuses the image's writes (the run
// finishes what it decided). Does nothing unless the handlers are installed
// (tests that drive runs in-process keep their own signal handling).
void HoldStopSignals();

// True once HoldStopSignals has acted.
bool StopSignalsHeld();

// A stop signal held back since HoldStopSignals, 0 for none. It stays
// pending (blocked); the process is expected to end soon after.
int HeldStopSignal();

// Lifts the hold once a run is final, for a next run in the same process: a
// stop signal still pending is delivered now and counts as a stop request.
void ReleaseStopSignals();

}  // namespace morlit::posix
