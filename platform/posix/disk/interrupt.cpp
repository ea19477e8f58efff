#include "platform/posix/disk/interrupt.h"

#include <signal.h>

#include <csignal>

namespace morlit::posix {
namespace {

volatile std::sig_atomic_t g_signal = 0;
bool g_installed = false;
bool g_held = false;

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void OnInterrupt(int signal) {
    if (g_signal == 0) g_signal = signal;
}

sigset_t StopSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kStopSignals) sigaddset(&set, s);
    return set;
}

}  // namespace

void InstallInterruptHandlers() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocking read of an answer on stdin returns EINTR, so
    // a question does not hold the run after the user asked it to stop.
    action.sa_flags = 0;
    for (int s : kStopSignals) sigaction(s, &action, nullptr);
    // A reader that went away (`morlit IMAGE | head`, a closed terminal) must
    // not end the run between a change and its commit or rollback: writes to
    // it fail with EPIPE instead, and the stream drops what follows.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
    g_installed = true;
}

bool InterruptRequested() { return g_signal != 0; }

int InterruptSignal() { return g_signal; }

const char* StopSignalName(int signal) {
    switch (signal) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        case SIGQUIT:
            return "SIGQUIT";
        default:
            return "a signal";
    }
}

void HoldStopSignals() {
    if (!g_installed) return;
    const sigset_t set = StopSet();
    sigprocmask(SIG_BLOCK, &set, nullptr);
    g_held = true;
}

bool StopSignalsHeld() { return g_held; }

void ReleaseStopSignals() {
    if (!g_held) return;
    const sigset_t set = StopSet();
    g_held = false;
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

int HeldStopSignal() {
    if (!g_installed) return 0;
    sigset_t pending;
    sigemptyset(&pending);
    if (sigpending(&pending) != 0) return 0;
    for (int s : kStopSignals) {
        if (sigismember(&pending, s) == 1) return s;
    }
    return 0;
}

}  // namespace morlit::posix
