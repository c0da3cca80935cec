// The planner on counts built in memory: which pass it picks, what the composed table makes of
// each value, the loudness and peak it plans after each step, and how its planning ends.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "TestWav.h"
#include "engine/BlockTransforms.h"
#include "engine/GridValues.h"
#include "plan/BalancePlanner.h"

namespace tralux {
namespace {

using test::Samples;

SampleHistogram Counted(const Samples& samples) {
    SampleHistogram histogram;
    histogram.Add(samples.data(), samples.size());
    return histogram;
}

int64_t Frames(const Samples& samples) {
    return static_cast<int64_t>(samples.size() / 2);
}

// The samples as a table maps them.
Samples Mapped(const Samples& samples, const ValueTable& table) {
    Samples out = samples;
    table.MapSamples(out.data(), out.size());
    return out;
}

class Planner : public testing::Test {
protected:
    const FactorTables tables = BuildFactorTables();
    BalancePlanner planner{tables, WidestTransformSet()};
};

// The pass a file of one loudness takes toward a target: the row with the largest factor
// strictly below target / loudness, and what its settings make of some values.
struct StepCase {
    const char* Name;
    double Loudness;
    double Target;
    BlockTransform Transform;
    double Gain;  // reduce only
    double Threshold, Ratio;
    Samples Values, Expected;
};

void PrintTo(const StepCase& value, std::ostream* out) {
    *out << value.Name;
}

class AdjustStep : public Planner, public testing::WithParamInterface<StepCase> {};

TEST_P(AdjustStep, PicksTheRowAndMapsTheValues) {
    const StepCase& c = GetParam();
    const TransformStep step = planner.AdjustStep(c.Loudness, c.Target);
    ASSERT_EQ(step.Transform, c.Transform);
    if (c.Transform == BlockTransform::Compress) {
        EXPECT_EQ(step.Threshold, c.Threshold);
        EXPECT_EQ(step.Ratio, c.Ratio);
        EXPECT_EQ(step.MakeUpGain, 32767.0 / (c.Threshold + (32767.0 - c.Threshold) / c.Ratio));
    } else {
        EXPECT_EQ(step.Gain, c.Gain);
    }
    ValueTable table;
    table.Apply(WidestTransformSet(), step);
    EXPECT_EQ(Mapped(c.Values, table), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AdjustStep,
    testing::Values(
        // x = 1.5 picks 1.495 / 2.1 / 12 dB: threshold 2^13, make-up gain about 1.647.
        StepCase{"CompressesWithTheRowBelow", 1000.0, 1500.0, BlockTransform::Compress, 0.0, 8192.0,
                 2.1, Samples{32767, 16384, 8192, -8000, -32768, 0, 8193, -1},
                 Samples{32767, 19918, 13493, -13176, -32767, 0, 13493, -2}},
        // Exactly on target: the last reduce row, -0.01 dB.
        StepCase{"ExactlyOnTargetReducesByTheLastRow", 2000.0, 2000.0, BlockTransform::Reduce,
                 std::pow(2.0, -0.01 / 6.0), 0.0, 0.0, Samples{-32768, 32767, 100, -100},
                 Samples{-32730, 32729, 100, -100}},
        // x = 0.51 picks 0.5 / -6 dB, an exact halving: halves round to even both ways.
        StepCase{"HalvesRoundToEvenInBothDirections", 1000.0, 510.0, BlockTransform::Reduce, 0.5,
                 0.0, 0.0, Samples{5, 7, -5, -7, 1, -1, 3, -3}, Samples{2, 4, -2, -4, 0, 0, 2, -2}},
        // Below every compress row: the first, 1.007 / 1.01 / 3 dB.
        StepCase{"JustAboveTargetTakesTheFirstCompressRow", 1000.0, 1000.5,
                 BlockTransform::Compress, 0.0, 23170.0, 1.01, Samples{0, 100, -32767},
                 Samples{0, 100, -32767}}),
    [](const testing::TestParamInfo<StepCase>& info) { return std::string(info.param.Name); });

// How planning ends, and what the plan holds then.
struct EndingCase {
    const char* Name;
    Samples Values;
    double Loudness;  // as measured; 0: planned from the values with normalising
    double Target;
    int MaxAdjustSteps;
    PlanEnding Ending;
    int Compressions, Reductions;  // -1: one or more; -2: any number
};

void ExpectCount(int count, int expected) {
    if (expected == -2) {
        EXPECT_GE(count, 0);
    } else if (expected == -1) {
        EXPECT_GE(count, 1);
    } else {
        EXPECT_EQ(count, expected);
    }
}

void PrintTo(const EndingCase& value, std::ostream* out) {
    *out << value.Name;
}

class Ending : public Planner, public testing::WithParamInterface<EndingCase> {};

TEST_P(Ending, EndsAsExpectedWithAConsistentPlan) {
    const EndingCase& c = GetParam();
    const SampleHistogram values = Counted(c.Values);
    BalanceRequest request;
    request.Frames = Frames(c.Values);
    request.Loudness = c.Loudness;
    request.Target = c.Target;
    request.MaxAdjustSteps = c.MaxAdjustSteps;
    const BalancePlan plan = planner.Plan(values, request);

    EXPECT_EQ(plan.Ending, c.Ending);
    ExpectCount(plan.Compressions, c.Compressions);
    ExpectCount(plan.Reductions, c.Reductions);
    ASSERT_EQ(plan.Steps.size(), size_t(plan.Compressions + plan.Reductions));
    if (c.Ending == PlanEnding::Bound) {
        EXPECT_EQ(plan.Steps.size(), size_t(c.MaxAdjustSteps));
    }
    EXPECT_EQ(plan.ShortOfTarget(),
              c.Ending == PlanEnding::Stalled || c.Ending == PlanEnding::Bound);
    if (c.Ending == PlanEnding::OnTarget) {
        EXPECT_TRUE(
            BalancePlanner::OnTarget(plan.Loudness, c.Target, plan.Compressions, plan.Reductions));
    }
    // The table is the steps composed, and each step's loudness and peak are what the values
    // measure through the steps so far.
    ValueTable composed;
    for (const PlannedStep& planned : plan.Steps) {
        composed.Apply(WidestTransformSet(), planned.Step);
        EXPECT_EQ(planned.Loudness,
                  BalancePlanner::Loudness(MappedSumOfSquares(values, composed), request.Frames));
        EXPECT_EQ(planned.Peak, MappedPeak(values, composed));
    }
    EXPECT_EQ(plan.Table, composed);
    EXPECT_EQ(plan.Loudness, plan.Steps.empty() ? c.Loudness : plan.Steps.back().Loudness);
    EXPECT_EQ(plan.AdjustedLoudness, plan.Loudness);
}

Samples Repeated(Samples pattern, int times) {
    Samples out;
    for (int i = 0; i < times; ++i) {
        out.insert(out.end(), pattern.begin(), pattern.end());
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Ending,
    testing::Values(
        EndingCase{"AlreadyOnTarget", Samples{1000, -1000}, 1000.0, 1001.0, 100,
                   PlanEnding::OnTarget, 0, 0},
        EndingCase{"CompressedToTarget", test::Noise(3000, 6000, 4), 3464.0, 5000.0, 100,
                   PlanEnding::OnTarget, -1, -2},
        // A reduction that lands below its target stays there.
        EndingCase{"ReducedBelowTarget", Samples{20000, -20000}, 20000.0, 10050.0, 100,
                   PlanEnding::OnTarget, 0, 1},
        EndingCase{"NoTarget", Samples{100, -100}, 100.0, 0.0, 100, PlanEnding::NoTarget, 0, 0},
        // Silence cannot be brought to any loudness.
        EndingCase{"Silence", Samples{0, 0}, 0.0, 100.0, 100, PlanEnding::Stalled, 0, 0},
        // -0.45 dB rounds 2 back to 2: the state after the pass is the one before it.
        EndingCase{"ReductionThatChangesNothing", Repeated({2, -2}, 50), 2.0, 1.9, 100,
                   PlanEnding::Stalled, 0, 1},
        EndingCase{"BoundReached", test::Noise(3000, 6000, 4), 3464.0, 12000.0, 2,
                   PlanEnding::Bound, -1, -2}),
    [](const testing::TestParamInfo<EndingCase>& info) { return std::string(info.param.Name); });

// A state that comes back after normalising is known as such: the steps that first led to it
// are replayed from the normalised values, not from the values as counted.
TEST_F(Planner, AGridStateThatComesBackAfterNormalisingEndsThePlanning) {
    GridCounts counts;
    counts.Format = SampleFormat{SampleCoding::Integer, 3, 24};
    counts.Keys = {-4, 4};
    counts.Counts = {50, 50};
    BalanceRequest request;
    request.Frames = 50;
    request.NormalisingGain = 0.5;  // 4 becomes 2
    const SampleGrid grid(counts.Format);
    // Just below the normalised loudness: the smallest reduction rounds 2 back to 2.
    request.Target = grid.ToScale(2) * 0.95;
    request.MaxAdjustSteps = 50;
    const GridPlan plan = planner.Plan(counts, request);

    EXPECT_EQ(plan.Ending, PlanEnding::Stalled);
    EXPECT_EQ(plan.Reductions, 1);
    EXPECT_EQ(plan.Table.Mapped, (MappedKeys{-2, 2}));
}

// The loudness after normalising alone is what the plan of the normalising gives, for keys
// listed or marked, for gains that round halves and that clip.
TEST_F(Planner, NormalisedLoudnessIsThatOfTheNormalisingPlan) {
    const SampleFormat i24{SampleCoding::Integer, 3, 24};
    const SampleGrid grid(i24);
    std::vector<unsigned char> bytes(3 * 50000);
    uint32_t state = 12345;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        state = state * 1664525u + 1013904223u;
        grid.Write(static_cast<int32_t>(state) >> 9, bytes.data() + i);  // keys across the grid
    }
    for (const size_t listedUpTo : {size_t{1} << 21, size_t{0}}) {
        DenseKeys dense;
        GridCounter counter(dense);
        counter.KeysListedUpTo = listedUpTo;
        counter.Start(i24);
        counter.Add(bytes.data(), bytes.size() / 3);
        const GridCounts counts = counter.Take();
        for (const double gain : {1.0, 0.5, 1.7320508, 3.0}) {
            BalanceRequest request;
            request.Frames = 25000;
            request.NormalisingGain = gain;
            EXPECT_EQ(planner.NormalisedLoudness(counts, request),
                      planner.Plan(counts, request).Loudness)
                << gain << " listed up to " << listedUpTo;
        }
    }
}

// Prepare & Balance plans from the source's values: its normalising first, apart from the
// steps; the final limiting last, after the loudness the passes reached.
TEST_F(Planner, NormalisingFirstFinalLimitingLast) {
    const Samples samples = test::Noise(4000, 9000, 7);
    const SampleHistogram values = Counted(samples);
    BalanceRequest request;
    request.Frames = Frames(samples);
    request.NormalisingGain = 32767.0 / 9000.0;
    request.Target = 20000.0;
    request.FinalGain = 30000.0 / 32767.0;
    const BalancePlan plan = planner.Plan(values, request);

    ASSERT_TRUE(plan.Normalising.has_value());
    EXPECT_EQ(plan.Normalising->Step.Gain, 32767.0 / 9000.0);
    ValueTable normalised = planner.GainTable(32767.0 / 9000.0);
    EXPECT_EQ(plan.Normalising->Loudness,
              BalancePlanner::Loudness(MappedSumOfSquares(values, normalised), request.Frames));
    ASSERT_GE(plan.Steps.size(), 2u);
    EXPECT_EQ(plan.Steps.back().Step.Transform, BlockTransform::Gain);
    EXPECT_EQ(plan.Steps.back().Step.Gain, 30000.0 / 32767.0);
    const PlannedStep& lastPass = plan.Steps[plan.Steps.size() - 2];
    EXPECT_EQ(plan.AdjustedLoudness, lastPass.Loudness);
    EXPECT_TRUE(BalancePlanner::OnTarget(plan.AdjustedLoudness, 20000.0, plan.Compressions,
                                         plan.Reductions));
    EXPECT_EQ(plan.Ending, PlanEnding::OnTarget);
    EXPECT_EQ(plan.Loudness, plan.Steps.back().Loudness);
    EXPECT_LE(plan.Peak, 30000);

    // Written through the table, the samples are the steps run one after the other.
    Samples passByPass = samples;
    const TransformSet& plain = RunnableTransformSets().back();
    int16_t unused = 0;
    ApplyTransform(plain, plan.Normalising->Step, passByPass.data(), passByPass.size(), unused);
    for (const PlannedStep& planned : plan.Steps) {
        ApplyTransform(plain, planned.Step, passByPass.data(), passByPass.size(), unused);
    }
    EXPECT_EQ(Mapped(samples, plan.Table), passByPass);
}

TEST_F(Planner, EveryInstructionSetPlansTheSame) {
    // Values over the whole range, both ends included.
    Samples samples = test::Noise(12347, 32768, 9);
    samples[5] = -32768;
    const SampleHistogram values = Counted(samples);
    BalanceRequest request;
    request.Frames = Frames(samples);
    request.NormalisingGain = 0.9;
    request.Target = 25000.0;
    request.FinalGain = 0.8;
    std::vector<BalancePlan> plans;
    for (const TransformSet& set : RunnableTransformSets()) {
        plans.push_back(BalancePlanner(tables, set).Plan(values, request));
    }
    ASSERT_GE(plans.front().Steps.size(), 2u);
    for (const BalancePlan& plan : plans) {
        EXPECT_EQ(plan.Table, plans.front().Table);
        EXPECT_EQ(plan.Loudness, plans.front().Loudness);
        EXPECT_EQ(plan.Steps.size(), plans.front().Steps.size());
    }
}

TEST(PlannerLoudness, RootMeanSquareOverTheFramesAndSilentWithoutFrames) {
    EXPECT_EQ(BalancePlanner::Loudness(4 * 300 * 300, 2), 300.0);
    EXPECT_EQ(BalancePlanner::Loudness(12345, 0), 0.0);
}

}  // namespace
}  // namespace tralux
