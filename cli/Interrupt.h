#pragma once

namespace tralux::cli {

// Ctrl-C (SIGINT) and SIGTERM only set a flag; the terminal host's PumpEvents turns it into
// Cancel, so the pass finishes the block it is on and the run winds down as in the window.
void InstallInterruptHandler();
bool InterruptRequested();

}  // namespace tralux::cli
