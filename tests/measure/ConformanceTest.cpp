// The EBU conformance signals (loudness meters: Tech 3341; loudness range: Tech 3342),
// generated from their definitions at 44.1 and 48 kHz.

#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "Signals.h"
#include "measure/KWeighting.h"
#include "measure/LoudnessMeter.h"

namespace tralux {
namespace {

using signals::Levels;
using signals::Tones;

// The conformance tolerances: +-0.1 LU for loudness, +0.2/-0.4 dB for true peak (a meter may
// read a peak low by what its oversampling misses, barely high), +-1 LU for loudness range.
constexpr double kLoudnessTolerance = 0.1;
constexpr double kPeakAbove = 0.2;
constexpr double kPeakBelow = 0.4;
constexpr double kRangeTolerance = 1.0;

LoudnessMeter Measured(const std::vector<double>& frames, int channels, int rate,
                       std::vector<double> weights = {}) {
    LoudnessMeter meter({channels, rate, std::move(weights), true});
    meter.AddFrames(frames.data(), frames.size() / static_cast<size_t>(channels));
    return meter;
}

class Conformance : public testing::TestWithParam<int> {
protected:
    int Rate() const { return GetParam(); }
    std::vector<double> Stereo(const std::vector<std::pair<double, double>>& secondsAndDb) {
        std::vector<signals::ToneStep> steps;
        for (auto [seconds, db] : secondsAndDb) {
            steps.push_back({seconds, Levels(2, db)});
        }
        return Tones(Rate(), 1000.0, steps);
    }
};

INSTANTIATE_TEST_SUITE_P(Rates, Conformance, testing::Values(44100, 48000),
                         [](const auto& info) { return std::to_string(info.param); });

// Tech 3341 cases 1 to 5: stereo 1 kHz sines; cases 3 to 5 check that quiet parts are gated
// away (relative gate) and that parts below -70 LUFS are ignored (absolute gate).
TEST_P(Conformance, IntegratedLoudnessOfStereoToneSequences) {
    struct Case {
        const char* Name;
        std::vector<std::pair<double, double>> Steps;
        double Lufs;
    };
    const Case cases[] = {
        {"3341-1", {{20, -23}}, -23.0},
        {"3341-2", {{20, -33}}, -33.0},
        {"3341-3", {{10, -36}, {60, -23}, {10, -36}}, -23.0},
        {"3341-4", {{10, -72}, {10, -36}, {60, -23}, {10, -36}, {10, -72}}, -23.0},
        {"3341-5", {{20, -26}, {20.1, -20}, {20, -26}}, -23.0},
    };
    for (const Case& c : cases) {
        const LoudnessMeter meter = Measured(Stereo(c.Steps), 2, Rate());
        ASSERT_TRUE(meter.IntegratedLoudness().has_value()) << c.Name;
        EXPECT_NEAR(*meter.IntegratedLoudness(), c.Lufs, kLoudnessTolerance) << c.Name;
    }
}

// Tech 3341 case 6: 5.0 (L R C Ls Rs) at -28, -28, -24, -30, -30 dBFS for 20 s, and the same
// as 5.1 with a silent LFE, by channel count and by an extensible channel mask.
TEST_P(Conformance, IntegratedLoudnessOfSurroundTones) {
    const auto five = Tones(Rate(), 1000.0, {{20, {-28, -28, -24, -30, -30}}});
    EXPECT_NEAR(*Measured(five, 5, Rate()).IntegratedLoudness(), -23.0, kLoudnessTolerance);
    const auto six = Tones(Rate(), 1000.0, {{20, {-28, -28, -24, -999, -30, -30}}});
    EXPECT_NEAR(*Measured(six, 6, Rate()).IntegratedLoudness(), -23.0, kLoudnessTolerance);
    for (uint32_t mask : {0x3Fu, 0x60Fu}) {
        const LoudnessMeter meter = Measured(six, 6, Rate(), DefaultChannelWeights(6, mask));
        EXPECT_NEAR(*meter.IntegratedLoudness(), -23.0, kLoudnessTolerance) << mask;
    }
}

// Tech 3341 case 1 read as short-term loudness: -23 LUFS in every 3 s window, ten a second.
TEST_P(Conformance, ShortTermLoudnessOfSteadyTone) {
    const auto series = Measured(Stereo({{20, -23}}), 2, Rate()).ShortTermLoudness();
    ASSERT_EQ(series.size(), 171u);  // windows ending at 3.0, 3.1, ..., 20.0 s
    for (const auto& lufs : series) {
        ASSERT_TRUE(lufs.has_value());
        EXPECT_NEAR(*lufs, -23.0, kLoudnessTolerance);
    }
}

// Tech 3341 cases 15 to 19: sines at a quarter, sixth and eighth of the rate whose phase puts
// the samples below the waveform's peak (by up to 3 dB), and case 19, whose samples reach
// 0 dBFS while the waveform reaches +3 dBTP.
TEST_P(Conformance, TruePeakOfSinesBetweenSamples) {
    struct Case {
        const char* Name;
        double RateFraction, Amplitude, PhaseDegrees, Dbtp;
    };
    const Case cases[] = {
        {"3341-15", 1.0 / 4, 0.50, 0.0, -6.0},  {"3341-16", 1.0 / 4, 0.50, 45.0, -6.0},
        {"3341-17", 1.0 / 6, 0.50, 60.0, -6.0}, {"3341-18", 1.0 / 8, 0.50, 67.5, -6.0},
        {"3341-19", 1.0 / 4, 1.41, 45.0, 3.0},
    };
    for (const Case& c : cases) {
        const auto frames =
            signals::FadedSine(Rate(), c.RateFraction, c.Amplitude, c.PhaseDegrees, 1.0);
        const auto dbtp = Measured(frames, 2, Rate()).TruePeak();
        ASSERT_TRUE(dbtp.has_value()) << c.Name;
        EXPECT_LE(*dbtp, c.Dbtp + kPeakAbove) << c.Name;
        EXPECT_GE(*dbtp, c.Dbtp - kPeakBelow) << c.Name;
    }
}

// Tech 3341 cases 20 to 23: a 0 dBTP band-limited pulse whose peak falls on a sample and a
// quarter, half and three quarters of a sample after one.
TEST_P(Conformance, TruePeakOfPulsesBetweenSamples) {
    for (int quarter = 0; quarter < 4; ++quarter) {
        const auto dbtp =
            Measured(signals::InterSamplePulse(Rate(), quarter), 2, Rate()).TruePeak();
        ASSERT_TRUE(dbtp.has_value()) << quarter;
        EXPECT_LE(*dbtp, kPeakAbove) << quarter;
        EXPECT_GE(*dbtp, -kPeakBelow) << quarter;
    }
}

// Tech 3342 cases 1 to 4: stereo 1 kHz tones in 20 s steps.
TEST_P(Conformance, LoudnessRangeOfToneSteps) {
    struct Case {
        const char* Name;
        std::vector<std::pair<double, double>> Steps;
        double Lu;
    };
    const Case cases[] = {
        {"3342-1", {{20, -20}, {20, -30}}, 10.0},
        {"3342-2", {{20, -20}, {20, -15}}, 5.0},
        {"3342-3", {{20, -40}, {20, -20}}, 20.0},
        {"3342-4", {{20, -50}, {20, -35}, {20, -20}, {20, -35}, {20, -50}}, 15.0},
    };
    for (const Case& c : cases) {
        const auto range = Measured(Stereo(c.Steps), 2, Rate()).LoudnessRange();
        ASSERT_TRUE(range.has_value()) << c.Name;
        EXPECT_NEAR(*range, c.Lu, kRangeTolerance) << c.Name;
    }
}

// The derived 48 kHz coefficients against the published table, which gives 14 decimals: they
// agree to its rounding (5e-15) plus the design's own rounding, well below 1e-12.
TEST(KWeightingDesign, MatchesThePublishedTableAt48kHz) {
    const KWeighting k = DesignKWeighting(48000.0);
    constexpr double kTableDigits = 1e-12;
    EXPECT_NEAR(k.Shelf.B0, 1.53512485958697, kTableDigits);
    EXPECT_NEAR(k.Shelf.B1, -2.69169618940638, kTableDigits);
    EXPECT_NEAR(k.Shelf.B2, 1.19839281085285, kTableDigits);
    EXPECT_NEAR(k.Shelf.A1, -1.69065929318241, kTableDigits);
    EXPECT_NEAR(k.Shelf.A2, 0.73248077421585, kTableDigits);
    EXPECT_EQ(k.HighPass.B0, 1.0);
    EXPECT_EQ(k.HighPass.B1, -2.0);
    EXPECT_EQ(k.HighPass.B2, 1.0);
    EXPECT_NEAR(k.HighPass.A1, -1.99004745483398, kTableDigits);
    EXPECT_NEAR(k.HighPass.A2, 0.99007225036621, kTableDigits);
}

}  // namespace
}  // namespace tralux
