// The planner toward an integrated loudness under a true-peak ceiling, against a model meter
// over samples in memory: the steps are run on the samples exactly as a write would run them,
// and the model measures loudness as the mean square of all samples (a stand-in for the
// K-weighted, gated measure, which does not change how the planner decides) and the true peak
// as the sample peak.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "TestWav.h"
#include "engine/BlockTransforms.h"
#include "plan/LufsTargetPlanner.h"

namespace tralux {
namespace {

using test::Samples;

class ModelMeter : public ChainMeter {
public:
    explicit ModelMeter(Samples samples) : samples_(std::move(samples)) {}

    LoudnessReading Read(const std::vector<TransformStep>& steps) override {
        ++Reads;
        return Measure(Mapped(steps));
    }

    Samples Mapped(const std::vector<TransformStep>& steps) const {
        ValueTable table;
        for (const TransformStep& step : steps) {
            table.Apply(WidestTransformSet(), step);
        }
        Samples out = samples_;
        table.MapSamples(out.data(), out.size());
        return out;
    }

    static LoudnessReading Measure(const Samples& samples) {
        double sum = 0.0;
        int peak = 0;
        for (const int16_t s : samples) {
            sum += double(s) * double(s);
            peak = std::max(peak, std::abs(int{s}));
        }
        LoudnessReading reading;
        if (sum > 0.0) {
            const double meanSquare = sum / double(samples.size()) / (32767.0 * 32767.0);
            reading.Lufs = 10.0 * std::log10(meanSquare);
            reading.TruePeakDb = 20.0 * std::log10(peak / 32767.0);
        }
        return reading;
    }

    int Reads = 0;

private:
    Samples samples_;
};

// Mostly quiet, with short loud bursts: the peaks stand far above the loudness.
Samples Peaky(double quiet, double loud) {
    Samples quietPart = test::Sine(80000, quiet, 441.0);
    const Samples burst = test::Sine(20, loud, 4410.0);
    for (size_t at = 0; at + burst.size() <= quietPart.size(); at += 20000) {
        std::copy(burst.begin(), burst.end(), quietPart.begin() + at);
    }
    return quietPart;
}

class LufsPlanning : public testing::Test {
protected:
    LufsPlan Plan(ModelMeter& meter, double target, double ceiling, int maxCompressions = 200) {
        LufsRequest request;
        request.Source = meter.Read({});
        meter.Reads = 0;
        request.Target = target;
        request.Ceiling = ceiling;
        request.MaxCompressions = maxCompressions;
        return planner.Plan(request, meter);
    }

    // What the plan says it leaves is what its steps make of the samples, measured afresh.
    static void ExpectResultMeasured(ModelMeter& meter, const LufsPlan& plan) {
        const LoudnessReading result = ModelMeter::Measure(meter.Mapped(plan.Chain()));
        ASSERT_TRUE(result.Lufs && plan.Result.Lufs);
        EXPECT_EQ(*result.Lufs, *plan.Result.Lufs);
        EXPECT_EQ(result.TruePeakDb, plan.Result.TruePeakDb);
    }

    const FactorTables tables = BuildFactorTables();
    BalancePlanner steps{tables, WidestTransformSet()};
    LufsTargetPlanner planner{steps};
};

// Louder files and quieter files with room under the ceiling take one exact gain: no
// reduction table steps, no compression, the result within 0.1 LU.
TEST_F(LufsPlanning, AGainAloneWhenTheCeilingAllowsIt) {
    for (const double target : {-23.0, -16.0, -14.0}) {
        ModelMeter meter(test::Sine(44100, 12000.0));  // about -11.7 "LUFS", peak -8.7 dB
        const LufsPlan plan = Plan(meter, target, -1.0);
        ASSERT_EQ(plan.Steps.size(), 1u) << target;
        EXPECT_EQ(plan.Steps[0].Step.Transform, BlockTransform::Gain);
        EXPECT_EQ(plan.Ending, PlanEnding::OnTarget);
        EXPECT_EQ(plan.Compressions, 0);
        EXPECT_NEAR(*plan.Result.Lufs, target, 0.1);
        EXPECT_LE(plan.Result.TruePeakDb, -1.0);
        EXPECT_EQ(plan.CompressionNeeded, 1.0);
        EXPECT_EQ(meter.Reads, 1);
        ExpectResultMeasured(meter, plan);
    }
}

// A file whose peaks reach the ceiling before its loudness reaches the target is compressed
// pass by pass, each pass followed by a gain and measured anew, and lands on the target with
// every peak under the ceiling.
TEST_F(LufsPlanning, PeakyQuietFileIsCompressedUpToTheTargetUnderTheCeiling) {
    ModelMeter meter(Peaky(300.0, 30000.0));
    const LufsPlan plan = Plan(meter, -23.0, -1.0);
    EXPECT_EQ(plan.Ending, PlanEnding::OnTarget);
    EXPECT_GT(plan.Compressions, 0);
    EXPECT_GT(plan.CompressionNeeded, 1.0);
    EXPECT_NEAR(*plan.Result.Lufs, -23.0, 0.1);
    EXPECT_LE(plan.Result.TruePeakDb, -1.0);
    // The first step is the gain that puts the peak on the ceiling, not at the target.
    ASSERT_FALSE(plan.Steps.empty());
    EXPECT_EQ(plan.Steps[0].Step.Transform, BlockTransform::Gain);
    EXPECT_LT(*plan.Steps[0].After.Lufs, -23.1);
    // Every step was measured, and a compress pass is always followed by its gain.
    EXPECT_EQ(meter.Reads, static_cast<int>(plan.Steps.size()));
    for (size_t i = 0; i < plan.Steps.size(); ++i) {
        if (plan.Steps[i].Step.Transform == BlockTransform::Compress && i + 1 < plan.Steps.size()) {
            EXPECT_EQ(plan.Steps[i + 1].Step.Transform, BlockTransform::Gain) << i;
        }
    }
    ExpectResultMeasured(meter, plan);
}

// A source already over the ceiling is brought under it even when it is at its target.
TEST_F(LufsPlanning, ASourceOverTheCeilingIsBroughtUnderIt) {
    ModelMeter meter(Peaky(2000.0, 32767.0));
    const LoudnessReading source = ModelMeter::Measure(meter.Mapped({}));
    const LufsPlan plan = Plan(meter, *source.Lufs, -1.0);
    EXPECT_LE(plan.Result.TruePeakDb, -1.0);
    EXPECT_EQ(plan.Ending, PlanEnding::OnTarget);
    EXPECT_NEAR(*plan.Result.Lufs, *source.Lufs, 0.1);
}

// Gains on a grid 256 times as coarse, each result rounded to it once, as an 8-bit write would:
// a correction smaller than half a step leaves the samples where they were.
class CoarseMeter : public ModelMeter {
public:
    explicit CoarseMeter(Samples samples) : ModelMeter(OnGrid(std::move(samples))) {}

    static Samples OnGrid(Samples samples) {
        for (int16_t& s : samples) {
            s = static_cast<int16_t>(std::clamp(std::lround(s / 256.0), -127L, 127L) * 256);
        }
        return samples;
    }

    LoudnessReading Read(const std::vector<TransformStep>& steps) override {
        ++Reads;
        return Measure(OnGrid(Mapped(steps)));
    }
};

// Where rounding leaves the true peak over the ceiling, the plan tries again further under it,
// with a gain that replaces the one before rather than rounding the samples again, until it is
// under: at every ceiling, whichever way its grid falls against it.
TEST_F(LufsPlanning, OnACoarseGridEveryCeilingIsMet) {
    const Samples source = Peaky(2000.0, 32767.0);
    const LoudnessReading measured = CoarseMeter(source).Read({});
    int retried = 0;
    for (int k = 0; k < 40; ++k) {
        // A target a gain alone would reach, its peak just under the ceiling.
        const double ceiling = -1.0 - 0.004 * k;
        const double gain = ceiling - 0.02 - measured.TruePeakDb;
        CoarseMeter meter(source);
        const LufsPlan plan = Plan(meter, *measured.Lufs + gain, ceiling);
        ASSERT_FALSE(plan.Steps.empty()) << k;
        EXPECT_LE(plan.Result.TruePeakDb, ceiling) << k;
        for (size_t i = 1; i < plan.Steps.size(); ++i) {
            EXPECT_FALSE(plan.Steps[i - 1].Step.Transform == BlockTransform::Gain &&
                         plan.Steps[i].Step.Transform == BlockTransform::Gain)
                << k << " " << i;
        }
        // Every step is read once, and a gain tried again once more.
        retried += meter.Reads > static_cast<int>(plan.Steps.size()) ? 1 : 0;
    }
    EXPECT_GT(retried, 0);  // some ceilings fall where a gain rounds over them
}

// What cannot be reached ends short and says why; silence plans nothing.
TEST_F(LufsPlanning, UnreachableTargetsEndShortAndSilenceIsLeftAlone) {
    {
        ModelMeter meter(Peaky(300.0, 30000.0));
        const LufsPlan plan = Plan(meter, -23.0, -1.0, 1);
        EXPECT_EQ(plan.Ending, PlanEnding::Bound);
        EXPECT_EQ(plan.Compressions, 1);
        EXPECT_TRUE(plan.ShortOfTarget());
        EXPECT_LE(plan.Result.TruePeakDb, -1.0);
    }
    {
        // Full-scale square waves cannot be made louder under a ceiling of -6 dBTP: the
        // passes stop once one no longer gains loudness.
        ModelMeter meter(test::Constant(20000, 20000, -20000));
        const LufsPlan plan = Plan(meter, -3.0, -6.0);
        EXPECT_EQ(plan.Ending, PlanEnding::Stalled);
        EXPECT_TRUE(plan.ShortOfTarget());
        EXPECT_LE(plan.Result.TruePeakDb, -6.0);
        EXPECT_LT(plan.Compressions, 5);
    }
    {
        ModelMeter meter(test::Constant(1000, 0, 0));
        const LufsPlan plan = Plan(meter, -16.0, -1.0);
        EXPECT_EQ(plan.Ending, PlanEnding::NoTarget);
        EXPECT_TRUE(plan.Steps.empty());
        EXPECT_EQ(meter.Reads, 0);
    }
}

}  // namespace
}  // namespace tralux
