#include "SerialWorker.h"

#include <pthread.h>
#include <signal.h>

namespace tralux {

SerialWorker::~SerialWorker() {
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

void SerialWorker::Post(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(job));
    }
    if (!thread_.joinable()) {
        sigset_t all, before;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &before);
        thread_ = std::thread([this] { Loop(); });
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
    }
    changed_.notify_all();
}

void SerialWorker::Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return queue_.empty() && !running_; });
}

void SerialWorker::Loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return quitting_ || !queue_.empty(); });
        if (queue_.empty()) {
            return;  // quitting, with every job run
        }
        std::function<void()> job = std::move(queue_.front());
        queue_.pop_front();
        running_ = true;
        lock.unlock();
        job();
        lock.lock();
        running_ = false;
        changed_.notify_all();
    }
}

}  // namespace tralux
