#pragma once

#include "SerialWorker.h"

namespace tralux {

// Closes file descriptors on a thread of its own, in the order given. The last close of a file
// that has lost its name frees its storage, which takes long for a big one; nothing the user
// sees depends on it, so the run need not wait for it before its next file.
class BackgroundCloser {
public:
    BackgroundCloser() = default;  // its destruction closes everything given
    BackgroundCloser(const BackgroundCloser&) = delete;
    BackgroundCloser& operator=(const BackgroundCloser&) = delete;

    // Takes fd to close; a negative one is ignored. The thread starts on first use.
    void Close(int fd);
    // Returns once every descriptor given so far is closed.
    void Wait() { worker_.Wait(); }

private:
    SerialWorker worker_;
};

}  // namespace tralux
