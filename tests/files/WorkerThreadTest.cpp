#include "files/BackgroundCloser.h"
#include "files/SerialWorker.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <thread>
#include <vector>

#include <pthread.h>

#include "TempDir.h"

namespace tralux {
namespace {

bool IsOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

TEST(BackgroundCloser, EveryDescriptorGivenIsClosedByWaitAndByTheEnd) {
    test::TempDir dir;
    const std::string path = dir.File("held");
    int first = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    int second = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    {
        BackgroundCloser closer;
        closer.Close(-1);  // ignored
        closer.Close(first);
        closer.Close(second);
        closer.Wait();
        EXPECT_FALSE(IsOpen(first));
        EXPECT_FALSE(IsOpen(second));

        first = ::open(path.c_str(), O_RDONLY);
        ASSERT_GE(first, 0);
        closer.Close(first);
    }
    // Given just before the end: closed before the closer is gone.
    EXPECT_FALSE(IsOpen(first));
}

// The jobs of the stream and of the closer run in the order given, each after the one before
// has returned; Wait covers a job still running, not only the queue.
TEST(SerialWorker, RunsJobsInOrderAndWaitCoversTheRunningOne) {
    SerialWorker worker;
    std::vector<int> order;
    std::atomic<bool> slowDone{false};
    worker.Post([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        order.push_back(1);
        slowDone = true;
    });
    for (int i = 2; i <= 5; ++i) {
        worker.Post([&order, i] { order.push_back(i); });
    }
    worker.Wait();
    EXPECT_TRUE(slowDone);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5}));

    // Reused after a Wait, and whatever is queued at its end still runs.
    std::atomic<int> late{0};
    {
        SerialWorker ending;
        ending.Post([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ++late;
        });
        ending.Post([&] { ++late; });
    }
    EXPECT_EQ(late.load(), 2);
}

// A Ctrl-C must reach the thread that runs the pass: the worker's thread blocks every signal.
TEST(SerialWorker, ItsThreadBlocksSignals) {
    SerialWorker worker;
    bool interruptBlocked = false;
    worker.Post([&] {
        sigset_t mask;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        interruptBlocked = sigismember(&mask, SIGINT) == 1 && sigismember(&mask, SIGTERM) == 1;
    });
    worker.Wait();
    EXPECT_TRUE(interruptBlocked);
    sigset_t callerMask;
    pthread_sigmask(SIG_BLOCK, nullptr, &callerMask);
    EXPECT_FALSE(sigismember(&callerMask, SIGINT));
}

}  // namespace
}  // namespace tralux
