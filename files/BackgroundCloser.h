#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace tralux {

// Closes file descriptors on a thread of its own, in the order given. The last close of a file
// that has lost its name frees its storage, which takes long for a big one; nothing the user
// sees depends on it, so the run need not wait for it before its next file.
class BackgroundCloser {
public:
    BackgroundCloser() = default;
    ~BackgroundCloser();  // closes everything given, then stops the thread
    BackgroundCloser(const BackgroundCloser&) = delete;
    BackgroundCloser& operator=(const BackgroundCloser&) = delete;

    // Takes fd to close; a negative one is ignored. The thread starts on first use.
    void Close(int fd);
    // Returns once every descriptor given so far is closed.
    void Wait();

private:
    void Loop();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<int> queue_;
    bool closing_ = false;  // the thread holds one it has taken off the queue
    bool quitting_ = false;
    std::thread thread_;
};

}  // namespace tralux
