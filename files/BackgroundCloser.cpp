#include "BackgroundCloser.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace tralux {

BackgroundCloser::~BackgroundCloser() {
    if (!thread_.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quitting_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void BackgroundCloser::Close(int fd) {
    if (fd < 0) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(fd);
    }
    if (!thread_.joinable()) {
        // Signals go to the thread that runs the pass, as they would with no other thread.
        sigset_t all, before;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &before);
        thread_ = std::thread([this] { Loop(); });
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
    }
    changed_.notify_all();
}

void BackgroundCloser::Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return queue_.empty() && !closing_; });
}

void BackgroundCloser::Loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return quitting_ || !queue_.empty(); });
        if (queue_.empty()) {
            return;  // quitting, with nothing left to close
        }
        const int fd = queue_.front();
        queue_.pop_front();
        closing_ = true;
        lock.unlock();
        ::close(fd);
        lock.lock();
        closing_ = false;
        changed_.notify_all();
    }
}

}  // namespace tralux
