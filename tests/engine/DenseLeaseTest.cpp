// The one dense table of a run: the engines of a pool's workers count and map through the
// caller's table, and take it in turns, so that files counted at once never mix their counts
// and a run holds one table whatever the number of its workers.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "FakeProgressSink.h"
#include "TempDir.h"
#include "TestWav.h"
#include "engine/AudioEngine.h"
#include "engine/FilePool.h"
#include "files/WaveHeader.h"

namespace tralux::test {
namespace {

using namespace std::chrono_literals;

TEST(DenseLease, SharedLeasesHoldTheTableOneAtATime) {
    DenseLease first;
    DenseLease second;
    EXPECT_NE(&first.Keys(), &second.Keys());
    second.Share(first);
    ASSERT_EQ(&first.Keys(), &second.Keys());

    first.Take();
    first.Take();  // already held: no wait
    std::atomic<bool> taken{false};
    std::thread other([&] {
        second.Take();
        taken = true;
        second.Give();
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(taken.load());
    first.Give();
    other.join();
    EXPECT_TRUE(taken.load());
    EXPECT_FALSE(first.Held());
    first.Give();  // not held: nothing
}

TEST(DenseLease, EveryWorkerOfAPoolUsesTheCallersTable) {
    FakeProgressSink sink;
    AudioEngine engine{sink};
    engine.Running = true;
    FilePool pool(engine, 3);
    std::vector<const DenseKeys*> used(6, nullptr);
    pool.Run(
        used.size(), used.size(),
        [&](FilePool::Worker& worker, size_t job) {
            used[job] = &worker.Engine().DenseTable();
            std::this_thread::sleep_for(2ms);  // so that every worker takes a job
        },
        [](size_t, std::unique_ptr<AudioEngine::FinishedResult>) {});
    for (const DenseKeys* table : used) {
        EXPECT_EQ(table, &engine.DenseTable());
    }
}

// Two engines that share the table count two 24-bit files on two threads at once: each count
// is what counting its file alone gives.
TEST(DenseLease, CountsAtOnceThroughOneTableStayApart) {
    TempDir dir;
    UngroupedNumbers numbers;
    AnyWavLayout layout;
    layout.bitsPerSample = 24;
    layout.sampleRate = 48000;
    std::vector<FileData> files;
    for (uint32_t seed : {3u, 4u}) {
        std::mt19937 random(seed);
        std::vector<uint8_t> bytes(size_t(3) * 48000 * 2 * 3);
        for (uint8_t& byte : bytes) {
            byte = static_cast<uint8_t>(random());
        }
        const std::string path = dir.File("f" + std::to_string(seed) + ".wav");
        WriteFile(path, MakeAnyWav(bytes, layout));
        files.emplace_back(path, ReadWaveHeader(path), numbers);
    }

    FakeProgressSink sink;
    AudioEngine first{sink};
    first.Running = true;
    std::vector<GridCounts> alone(2);
    for (size_t i = 0; i < 2; ++i) {
        first.CountValues(files[i], files[i].SourceFile, alone[i]);
        ASSERT_TRUE(first.Running);
    }

    FakeProgressSink otherSink;
    AudioEngine second{otherSink};
    second.Running = true;
    second.ShareDenseKeys(first);
    ASSERT_EQ(&first.DenseTable(), &second.DenseTable());
    std::vector<GridCounts> atOnce(2);
    for (int round = 0; round < 2; ++round) {
        std::thread other([&] { second.CountValues(files[1], files[1].SourceFile, atOnce[1]); });
        first.CountValues(files[0], files[0].SourceFile, atOnce[0]);
        other.join();
        for (size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(atOnce[i].Keys, alone[i].Keys);
            EXPECT_EQ(atOnce[i].Counts, alone[i].Counts);
        }
    }
}

}  // namespace
}  // namespace tralux::test
