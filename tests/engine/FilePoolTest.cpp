// What a pool's worker shows while the caller is still on an earlier job waits for the caller,
// and is shown step for step once the job's turn comes.

#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "FakeProgressSink.h"
#include "engine/AudioEngine.h"
#include "engine/FilePool.h"

namespace tralux::test {
namespace {

size_t HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// A job ahead of the caller makes a step of progress for each of its many blocks, as a pass
// over a file of a day's recording does: what it keeps until its turn must not grow with them.
TEST(FilePool, AJobAheadKeepsItsProgressInLittleMemoryAndShowsEveryStep) {
    constexpr int kSteps = 400000;
    FakeProgressSink sink;
    AudioEngine engine{sink};
    engine.Running = true;
    FilePool pool(engine, 2);
    std::atomic<bool> aheadDone{false};
    size_t heapGrowth = 0;
    pool.Run(
        2, 1,
        [&](FilePool::Worker& worker, size_t job) {
            if (job == 0) {
                // The caller stays on this job until the one after it has shown all it shows.
                const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
                while (!aheadDone && std::chrono::steady_clock::now() < giveUp) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
                return;
            }
            ProgressSink& shown = worker.Engine().Sink();
            const size_t before = HeapInUse();
            shown.PassStarted("Scanning", "long.wav");
            for (int step = 0; step < kSteps; ++step) {
                shown.PassProgress(int(int64_t(step) * 100 / kSteps));
            }
            shown.PassEnded();
            const size_t after = HeapInUse();
            heapGrowth = after > before ? after - before : 0;
            aheadDone = true;
        },
        [](size_t, std::unique_ptr<AudioEngine::FinishedResult>) {});

    ASSERT_TRUE(aheadDone.load()) << "the second job never ran beside the first";
    // A step kept as an event of its own takes over a hundred bytes: tens of MB here.
    EXPECT_LT(heapGrowth, size_t{1} << 20);
    ASSERT_EQ(sink.Progress.size(), size_t(kSteps));
    for (int step = 0; step < kSteps; ++step) {
        if (sink.Progress[size_t(step)] != int(int64_t(step) * 100 / kSteps)) {
            ADD_FAILURE() << "step " << step << " shows " << sink.Progress[size_t(step)];
            break;
        }
    }
    EXPECT_EQ(sink.Ended, 1);
}

}  // namespace
}  // namespace tralux::test
