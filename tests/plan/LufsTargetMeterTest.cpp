// The planner toward an integrated loudness with the broadcast meter itself reading each chain,
// and libebur128, the field's reference meter, checking where the results land.

#include <gtest/gtest.h>

#include <ebur128.h>

#include <cmath>
#include <random>
#include <vector>

#include "TestWav.h"
#include "engine/BlockTransforms.h"
#include "measure/KWeighting.h"
#include "measure/LoudnessMeter.h"
#include "plan/LufsTargetPlanner.h"

namespace tralux {
namespace {

using test::Samples;

class BroadcastChainMeter : public ChainMeter {
public:
    explicit BroadcastChainMeter(const Samples& samples) : samples_(samples) {}

    LoudnessReading Read(const std::vector<TransformStep>& steps) override {
        const Samples mapped = Mapped(samples_, steps);
        LoudnessMeter meter(MeterSetup{});
        meter.AddFrames(mapped.data(), mapped.size() / 2);
        LoudnessReading reading;
        reading.Lufs = meter.IntegratedLoudness();
        reading.TruePeakDb = meter.TruePeak().value_or(-200.0);
        return reading;
    }

    static Samples Mapped(const Samples& samples, const std::vector<TransformStep>& steps) {
        ValueTable table;
        for (const TransformStep& step : steps) {
            table.Apply(WidestTransformSet(), step);
        }
        Samples out = samples;
        table.MapSamples(out.data(), out.size());
        return out;
    }

private:
    const Samples& samples_;
};

struct ReferenceReading {
    double Lufs = 0.0;
    double TruePeakDb = 0.0;
};

ReferenceReading MeasureWithLibebur128(const Samples& samples) {
    ebur128_state* state = ebur128_init(2, 44100, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    ebur128_add_frames_short(state, samples.data(), samples.size() / 2);
    ReferenceReading reading;
    ebur128_loudness_global(state, &reading.Lufs);
    double peak = 0.0;
    for (unsigned channel = 0; channel < 2; ++channel) {
        double channelPeak = 0.0;
        ebur128_true_peak(state, channel, &channelPeak);
        peak = std::max(peak, channelPeak);
    }
    reading.TruePeakDb = 20.0 * std::log10(peak);
    ebur128_destroy(&state);
    return reading;
}

// Ten seconds of quiet, dynamic material: notes that swell and fade over noise, with a few
// sharp hits that set the peak far above the loudness.
Samples Dynamic(uint32_t seed) {
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, 60.0);
    Samples samples(2 * 441000);
    for (size_t frame = 0; frame < samples.size() / 2; ++frame) {
        const double t = double(frame) / 44100.0;
        const double swell = 0.5 + 0.5 * std::sin(2.0 * M_PI * 0.3 * t);
        double value = 900.0 * swell * std::sin(2.0 * M_PI * 330.0 * t) + noise(random);
        if (frame % 88200 < 30) {
            value += 26000.0 * std::sin(2.0 * M_PI * 3000.0 * t);
        }
        samples[2 * frame] = static_cast<int16_t>(std::lround(value));
        samples[2 * frame + 1] = static_cast<int16_t>(std::lround(0.8 * value));
    }
    return samples;
}

TEST(LufsTargetWithTheMeter, ResultsLandOnTargetUnderTheCeilingByTheReferenceMeter) {
    const FactorTables tables = BuildFactorTables();
    const BalancePlanner steps(tables, WidestTransformSet());
    const LufsTargetPlanner planner(steps);
    const Samples source = Dynamic(7);
    for (const double target : {-23.0, -16.0}) {
        BroadcastChainMeter meter(source);
        LufsRequest request;
        request.Source = meter.Read({});
        request.Target = target;
        request.Ceiling = -1.0;
        const LufsPlan plan = planner.Plan(request, meter);
        EXPECT_EQ(plan.Ending, PlanEnding::OnTarget) << target;
        const ReferenceReading result =
            MeasureWithLibebur128(BroadcastChainMeter::Mapped(source, plan.Chain()));
        EXPECT_NEAR(result.Lufs, target, 0.1) << target;
        // The reference interpolates differently; the conformance tolerance of a true-peak
        // meter is +0.2 dB.
        EXPECT_LE(result.TruePeakDb, -1.0 + 0.2) << target;
        EXPECT_LE(plan.Result.TruePeakDb, -1.0) << target;
        if (target == -16.0) {
            EXPECT_GT(plan.Compressions, 0);
        }
    }
}

// Storing a programme on a coarse grid, twice over (a gain after a rounded normalising), lifts
// its loudness by no more than the bound the plans allow for: the rounding follows the samples
// (a gain near 1 leaves the grid's small values where they were), so the lift is several times
// what noise of its power would add.
TEST(LufsTargetWithTheMeter, RoundingToACoarseGridLiftsLoudnessWithinItsBound) {
    // Ten seconds of a swelling tone over noise at about -21 LUFS, on an 8-bit grid.
    std::mt19937 random(9);
    std::normal_distribution<double> noise(0.0, 0.01);
    const double step = 1.0 / 128.0;
    const double gain = 0.97;
    std::vector<double> exact(2 * 441000), stored(exact.size()), noisy(exact.size());
    std::uniform_real_distribution<double> rounding(-0.5 * step, 0.5 * step);
    for (size_t i = 0; i < exact.size(); ++i) {
        const double t = double(i / 2) / 44100.0;
        const double swell = 0.6 + 0.4 * std::sin(2.0 * M_PI * 0.3 * t);
        const double value = 0.15 * swell * std::sin(2.0 * M_PI * 330.0 * t) + noise(random);
        exact[i] = value * gain;
        stored[i] = std::nearbyint(std::nearbyint(value / step) * gain) * step;
        noisy[i] = exact[i] + rounding(random) + rounding(random);
    }
    auto lufsOf = [](const std::vector<double>& samples) {
        LoudnessMeter meter(MeterSetup{});
        meter.AddFrames(samples.data(), samples.size() / 2);
        return *meter.IntegratedLoudness();
    };
    const double target = lufsOf(exact);
    const double lift = lufsOf(stored) - target;
    EXPECT_GT(lift, 3.0 * (lufsOf(noisy) - target));
    const double bound =
        LufsTargetPlanner::RoundingLift(target, 2.0 * kLargestWeightingPowerGain * step * step);
    EXPECT_LE(lift, bound);
    EXPECT_GT(bound, LufsTargetPlanner::PromisedTolerance);  // such a grid's gains are read
    // A 16-bit grid at the same level leaves most of the promise to the plan.
    const double fine = LufsTargetPlanner::RoundingLift(
        target, 2.0 * kLargestWeightingPowerGain * std::ldexp(1.0, -30));
    EXPECT_LT(fine, 0.01);
    EXPECT_NEAR(LufsTargetPlanner::Aim(fine), 0.08 - fine, 1e-12);
    // A lift the promise cannot absorb leaves the least aim, not a negative one.
    EXPECT_EQ(LufsTargetPlanner::Aim(bound), LufsTargetPlanner::MeterSlack);
}

}  // namespace
}  // namespace tralux
