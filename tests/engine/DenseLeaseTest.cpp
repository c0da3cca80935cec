// The dense tables of a run: the engines of a pool's workers count and map through the
// caller's tables, and take them in turns, so that files counted at once never mix their counts
// and a run holds two tables whatever the number of its workers.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
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

TEST(DenseLease, SharedLeasesHoldTheirTablesTwoAtATime) {
    static_assert(DenseLease::Tables == 2);
    DenseLease first;
    DenseLease second;
    DenseLease third;
    EXPECT_FALSE(second.SharesTablesWith(first));
    second.Share(first);
    third.Share(first);
    ASSERT_TRUE(second.SharesTablesWith(first));
    ASSERT_TRUE(third.SharesTablesWith(first));

    first.Take();
    first.Take();  // already held: no wait
    second.Take();
    EXPECT_NE(&first.Keys(), &second.Keys());
    std::atomic<bool> taken{false};
    std::thread other([&] {
        third.Take();
        taken = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(taken.load());
    DenseKeys* const given = &second.Keys();
    second.Give();
    other.join();
    EXPECT_TRUE(taken.load());
    EXPECT_EQ(&third.Keys(), given);
    EXPECT_FALSE(second.Held());
    second.Give();  // not held: nothing

    // A lease takes the table it held last when that one is free.
    third.Give();
    first.Give();
    third.Take();
    EXPECT_EQ(&third.Keys(), given);
    third.Give();
}

TEST(DenseLease, FreeLetsGoOfTheTablesNoOtherLeaseHolds) {
    DenseLease first;
    DenseLease second;
    second.Share(first);
    first.Take();
    first.Keys().Entries.resize(1000);
    second.Take();
    second.Keys().Entries.resize(1000);
    first.Give();
    DenseKeys* const firsts = &first.Keys();
    DenseKeys* const seconds = &second.Keys();

    first.Free();  // the second's table is held: it stays
    EXPECT_TRUE(firsts->Entries.empty());
    EXPECT_EQ(seconds->Entries.size(), 1000u);
    second.Free();  // held by the lease that frees it
    EXPECT_TRUE(seconds->Entries.empty());
    EXPECT_TRUE(second.Held());
}

TEST(DenseLease, EveryWorkerOfAPoolUsesTheCallersTables) {
    FakeProgressSink sink;
    AudioEngine engine{sink};
    engine.Running = true;
    FilePool pool(engine, 3);
    std::vector<int> shared(6, -1);
    pool.Run(
        shared.size(), shared.size(),
        [&](FilePool::Worker& worker, size_t job) {
            shared[job] = worker.Engine().SharesDenseKeysWith(engine) ? 1 : 0;
            std::this_thread::sleep_for(2ms);  // so that every worker takes a job
        },
        [](size_t, std::unique_ptr<AudioEngine::FinishedResult>) {});
    for (int sharing : shared) {
        EXPECT_EQ(sharing, 1);
    }
}

// Three engines that share the tables count 24-bit files on three threads at once, one of
// them waiting for a table: each count is what counting its file alone gives.
TEST(DenseLease, CountsAtOnceThroughSharedTablesStayApart) {
    TempDir dir;
    UngroupedNumbers numbers;
    AnyWavLayout layout;
    layout.bitsPerSample = 24;
    layout.sampleRate = 48000;
    std::vector<FileData> files;
    for (uint32_t seed : {3u, 4u, 5u}) {
        std::mt19937 random(seed);
        std::vector<uint8_t> bytes(size_t(3) * 48000 * 2 * 3);
        for (uint8_t& byte : bytes) {
            byte = static_cast<uint8_t>(random());
        }
        const std::string path = dir.File("f" + std::to_string(seed) + ".wav");
        WriteFile(path, MakeAnyWav(bytes, layout));
        files.emplace_back(path, ReadWaveHeader(path), numbers);
    }

    std::vector<std::unique_ptr<FakeProgressSink>> sinks;
    std::vector<std::unique_ptr<AudioEngine>> engines;
    for (size_t i = 0; i < files.size(); ++i) {
        sinks.push_back(std::make_unique<FakeProgressSink>());
        engines.push_back(std::make_unique<AudioEngine>(*sinks.back()));
        engines.back()->Running = true;
        if (i > 0) {
            engines.back()->ShareDenseKeys(*engines.front());
        }
    }
    std::vector<GridCounts> alone(files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        engines.front()->CountValues(files[i], files[i].SourceFile, alone[i]);
        ASSERT_TRUE(engines.front()->Running);
    }

    std::vector<GridCounts> atOnce(files.size());
    for (int round = 0; round < 2; ++round) {
        std::vector<std::thread> threads;
        for (size_t i = 0; i < files.size(); ++i) {
            threads.emplace_back(
                [&, i] { engines[i]->CountValues(files[i], files[i].SourceFile, atOnce[i]); });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        for (size_t i = 0; i < files.size(); ++i) {
            EXPECT_EQ(atOnce[i].Keys, alone[i].Keys);
            EXPECT_EQ(atOnce[i].Counts, alone[i].Counts);
        }
    }
}

}  // namespace
}  // namespace tralux::test
