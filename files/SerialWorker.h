#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace tralux {

// One thread of its own that runs the jobs given to it, one after the other, in the order
// given. The thread starts on first use, with every signal blocked: a Ctrl-C or a closing
// terminal goes to the thread that runs the pass, as it would with no other thread.
class SerialWorker {
public:
    SerialWorker() = default;
    ~SerialWorker();  // runs every job given, then stops the thread
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    // Queues job and returns at once.
    void Post(std::function<void()> job);
    // Returns once every job given so far has returned.
    void Wait();

private:
    void Loop();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> queue_;
    bool running_ = false;  // the thread is in a job it has taken off the queue
    bool quitting_ = false;
    std::thread thread_;
};

}  // namespace tralux
