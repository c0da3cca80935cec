#include <gtest/gtest.h>

#include "FakeProgressSink.h"
#include "engine/TimeEstimator.h"

namespace tralux {
namespace {

class Estimate : public testing::Test {
protected:
    test::FakeProgressSink sink;
    double now = 1000.0;
    TimeEstimator estimator{sink, [this] { return now; }};
};

TEST_F(Estimate, ResetHidesDisplayAndStartsOver) {
    estimator.WorkDone = 5;
    estimator.LastShownSeconds = 3;
    estimator.ResetEstimate(450000);
    EXPECT_EQ(sink.Hidden, 1);
    EXPECT_EQ(estimator.WorkRemaining, 450000);
    EXPECT_EQ(estimator.WorkDone, 0);
    EXPECT_EQ(estimator.LastShownSeconds, 1000000000);
}

TEST_F(Estimate, WorkedExampleShowsFiveSecondsAndOnlyGoesDown) {
    estimator.ResetEstimate(450000);
    estimator.StartTiming();
    now += 2.0;
    estimator.UpdateEstimate(150000, false);  // rate 75000/s, 300000 left: 4 + 1 seconds
    ASSERT_EQ(sink.Estimates.size(), 1u);
    EXPECT_EQ(sink.Estimates[0].ShortText, "0:05");
    EXPECT_EQ(sink.Estimates[0].LongText, "Time Remaining: 0:05");
    EXPECT_EQ(sink.Calls.back(), "PumpEvents");
    EXPECT_EQ(estimator.LastShownSeconds, 5);

    now += 3.0;  // the rate falls to 30000/s: 300000 left gives 11 seconds, not shown
    estimator.UpdateEstimate(0, false);
    EXPECT_EQ(sink.Estimates.size(), 1u);
    estimator.UpdateEstimate(0, true);  // unless forced
    ASSERT_EQ(sink.Estimates.size(), 2u);
    EXPECT_EQ(sink.Estimates[1].ShortText, "0:11");
}

TEST_F(Estimate, MinutesAreNotSplitIntoHours) {
    estimator.ResetEstimate(3724.0 + 1.0);
    estimator.StartTiming();
    now += 1.0;
    estimator.UpdateEstimate(1, false);  // 1 unit/s, 3724 left: 3725 seconds
    ASSERT_EQ(sink.Estimates.size(), 1u);
    EXPECT_EQ(sink.Estimates[0].ShortText, "62:05");
    EXPECT_EQ(sink.Estimates[0].LongText, "Time Remaining: 62:05");
}

TEST_F(Estimate, NothingInTheFirstHalfSecond) {
    estimator.ResetEstimate(1000000);
    estimator.StartTiming();
    now += 0.5;
    estimator.UpdateEstimate(100000, true);
    EXPECT_TRUE(sink.Estimates.empty());
    now += 0.01;
    estimator.UpdateEstimate(0, false);
    EXPECT_EQ(sink.Estimates.size(), 1u);
}

TEST_F(Estimate, NothingBeforeAnyWorkIsDone) {
    estimator.ResetEstimate(1000000);
    estimator.StartTiming();
    now += 10.0;
    estimator.UpdateEstimate(0, true);
    EXPECT_TRUE(sink.Estimates.empty());
}

TEST_F(Estimate, RateThatRoundsToZeroShowsNothing) {
    estimator.ResetEstimate(1000);
    estimator.StartTiming();
    now += 3.0;
    estimator.UpdateEstimate(1, true);  // 0.33 units per second
    EXPECT_TRUE(sink.Estimates.empty());
    EXPECT_EQ(sink.Pumps, 0);
}

TEST_F(Estimate, MoreWorkThanAnnouncedShowsOneSecond) {
    estimator.ResetEstimate(100);
    estimator.StartTiming();
    now += 1.0;
    estimator.UpdateEstimate(500, false);
    ASSERT_EQ(sink.Estimates.size(), 1u);
    EXPECT_EQ(sink.Estimates[0].ShortText, "0:01");
}

}  // namespace
}  // namespace tralux
