#include "platform/posix/disk/interrupt.h"

#include <csignal>

namespace morlit::posix {
namespace {

volatile std::sig_atomic_t g_signal = 0;

extern "C" void OnInterrupt(int signal) { g_signal = signal; }

}  // namespace

void InstallInterruptHandlers() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocking read of an answer on stdin returns EINTR, so
    // a question does not hold the run after the user asked it to stop.
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool InterruptRequested() { return g_signal != 0; }

int InterruptSignal() { return g_signal; }

}  // namespace morlit::posix
