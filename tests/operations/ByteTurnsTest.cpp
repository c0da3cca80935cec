// Work side by side within a budget of bytes: pieces that fit start at once, one over the
// budget runs alone.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "operations/ByteTurns.h"

namespace tralux {
namespace {

using namespace std::chrono_literals;

// Starts a turn of bytes on a thread of its own; Started says whether it has begun.
class WaitingTurn {
public:
    WaitingTurn(ByteTurns& turns, size_t bytes)
        : thread_([this, &turns, bytes] {
              ByteTurns::Turn turn(turns, bytes);
              started_ = true;
              while (!end_) {
                  std::this_thread::sleep_for(1ms);
              }
          }) {}
    ~WaitingTurn() { End(); }
    bool Started() const { return started_; }
    // Whether it starts within two seconds.
    bool StartsSoon() const {
        for (int i = 0; i < 2000 && !started_; ++i) {
            std::this_thread::sleep_for(1ms);
        }
        return started_;
    }
    void End() {
        end_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

private:
    std::atomic<bool> started_{false};
    std::atomic<bool> end_{false};
    std::thread thread_;
};

TEST(ByteTurns, TurnsWithinTheBudgetRunTogetherAndOneOverItRunsAlone) {
    ByteTurns turns(100);
    {
        ByteTurns::Turn first(turns, 60);
        ByteTurns::Turn second(turns, 40);  // 100 in all: within the budget, no wait
        EXPECT_EQ(turns.Held(), 100u);
        ByteTurns::Turn nothing(turns, 0);  // takes no room
        WaitingTurn third(turns, 1);
        std::this_thread::sleep_for(50ms);
        EXPECT_FALSE(third.Started());
        second.End();
        second.End();  // once only
        EXPECT_TRUE(third.StartsSoon());
        third.End();
        first.End();
    }
    EXPECT_EQ(turns.Held(), 0u);

    // Over the budget: waits until no other turn holds any room, then holds it all.
    ByteTurns::Turn small(turns, 10);
    WaitingTurn large(turns, 500);
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(large.Started());
    small.End();
    ASSERT_TRUE(large.StartsSoon());
    WaitingTurn beside(turns, 0);  // not even a turn of no room runs beside it
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(beside.Started());
    large.End();
    EXPECT_TRUE(beside.StartsSoon());
}

}  // namespace
}  // namespace tralux
