#include "Interrupt.h"

#include <atomic>
#include <csignal>

namespace tralux::cli {
namespace {

// A signal handler can reach nothing but a flag of static storage; this is the only one.
// Lock-free, so that setting it from the handler is safe whichever thread runs it.
std::atomic<int> interrupted{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnInterrupt(int) {
    interrupted.store(1, std::memory_order_relaxed);
}

}  // namespace

void InstallInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    // Restart plain reads and writes; the terminal questions wait in poll(), which a signal
    // always interrupts, so Ctrl-C still ends a question.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A closing ssh session or terminal sends SIGHUP: the run winds down as on SIGTERM
    // rather than dying with a result cut short.
    sigaction(SIGHUP, &action, nullptr);
    // Signals whose default is to end the program at once (a core dump for SIGQUIT) would
    // leave a temporary file beside a result: they wind the run down too.
    for (const int other : {SIGQUIT, SIGUSR1, SIGALRM}) {
        sigaction(other, &action, nullptr);
    }
    // A reader that goes away (`| head`) shows as a failed write, which ends the output
    // quietly, instead of a signal that would kill the run before the export is written.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

bool InterruptRequested() {
    return interrupted.load(std::memory_order_relaxed) != 0;
}

}  // namespace tralux::cli
