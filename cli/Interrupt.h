#pragma once

namespace tralux::cli {

// Ctrl-C (SIGINT), SIGTERM, SIGHUP, SIGQUIT, SIGUSR1 and SIGALRM only set a flag; the terminal
// host's PumpEvents turns it into Cancel, so the pass finishes the block it is on and the run winds
// down as in the window. SIGPIPE is ignored: a closed output is a failed write.
void InstallInterruptHandler();
bool InterruptRequested();

}  // namespace tralux::cli
