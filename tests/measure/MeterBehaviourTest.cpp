// What the meter promises beyond the numbers of the references: results independent of how
// the input is split and typed, no loudness for silence, channel weights, robustness.

#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <stdexcept>

#include <gtest/gtest.h>

#include "Signals.h"
#include "measure/KWeighting.h"
#include "measure/LoudnessMeter.h"
#include "measure/TruePeak.h"

namespace tralux {

void PrintTo(const PeakKernel& kernel, std::ostream* os) {
    *os << kernel.Name;
}

void PrintTo(const WeightingKernel& kernel, std::ostream* os) {
    *os << kernel.Name;
}

namespace {

template <typename Sample>
LoudnessMeter Measured(const std::vector<Sample>& frames, int channels, int rate) {
    LoudnessMeter meter({channels, rate, {}, true});
    meter.AddFrames(frames.data(), frames.size() / static_cast<size_t>(channels));
    return meter;
}

void ExpectIdentical(const LoudnessMeter& a, const LoudnessMeter& b) {
    EXPECT_EQ(a.SegmentEnergies(), b.SegmentEnergies());
    EXPECT_EQ(a.IntegratedLoudness(), b.IntegratedLoudness());
    EXPECT_EQ(a.LoudnessRange(), b.LoudnessRange());
    EXPECT_EQ(a.TruePeak(), b.TruePeak());
    EXPECT_EQ(a.ShortTermLoudness(), b.ShortTermLoudness());
}

// Chunks end at segment ends inside the meter, so the split must not change one bit.
TEST(LoudnessMeterTest, SplitInputGivesIdenticalResults) {
    const auto frames = signals::MusicLike(48000, 2, 8.0, 3u);
    LoudnessMeter split({2, 48000, {}, true});
    const size_t sizes[] = {1, 3, 1000, 4799, 17, 9600, 2};
    size_t at = 0;
    for (size_t i = 0; at < frames.size() / 2; ++i) {
        const size_t n = std::min(sizes[i % 7], frames.size() / 2 - at);
        split.AddFrames(frames.data() + 2 * at, n);
        at += n;
    }
    ExpectIdentical(split, Measured(frames, 2, 48000));
}

// 16-bit samples are exact in float and double at full scale 32768.
TEST(LoudnessMeterTest, SixteenBitAndFloatingPointInputsAgree) {
    std::vector<int16_t> integers;
    std::vector<float> floats;
    std::vector<double> doubles;
    for (double v : signals::MusicLike(44100, 2, 5.0, 4u)) {
        const auto s = static_cast<int16_t>(std::lrint(v * 32767.0));
        integers.push_back(s);
        floats.push_back(static_cast<float>(s / 32768.0));
        doubles.push_back(s / 32768.0);
    }
    const LoudnessMeter reference = Measured(integers, 2, 44100);
    ExpectIdentical(Measured(floats, 2, 44100), reference);
    ExpectIdentical(Measured(doubles, 2, 44100), reference);
}

TEST(LoudnessMeterTest, NonFiniteAndHugeSamplesAreTamed) {
    auto frames = signals::MusicLike(44100, 2, 5.0, 5u);
    auto zeroed = frames;
    const double bad[] = {std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity()};
    for (size_t i = 1000; i < frames.size(); i += 7919) {
        frames[i] = bad[i % 3];
        zeroed[i] = 0.0;
    }
    ExpectIdentical(Measured(frames, 2, 44100), Measured(zeroed, 2, 44100));
    EXPECT_TRUE(std::isfinite(*Measured(frames, 2, 44100).IntegratedLoudness()));
    // Huge finite samples are held at 1e6, so that sums and the float interpolation stay
    // finite.
    frames[5000] = 1e300;
    zeroed[5000] = 1e6;
    ExpectIdentical(Measured(frames, 2, 44100), Measured(zeroed, 2, 44100));
    EXPECT_TRUE(std::isfinite(*Measured(frames, 2, 44100).TruePeak()));
}

TEST(LoudnessMeterTest, SilenceAndShortInputsHaveNoLoudness) {
    const LoudnessMeter silent = Measured(std::vector<double>(2 * 441000, 0.0), 2, 44100);
    EXPECT_FALSE(silent.IntegratedLoudness());
    EXPECT_FALSE(silent.LoudnessRange());
    EXPECT_FALSE(silent.TruePeak());
    EXPECT_EQ(silent.ShortTermLoudness(), std::vector<std::optional<double>>(71));

    const auto tone = [](double seconds) {
        return signals::Tones(48000, 1000.0, {{seconds, signals::Levels(2, -20.0)}});
    };
    EXPECT_FALSE(Measured(tone(0.39), 2, 48000).IntegratedLoudness());
    EXPECT_TRUE(Measured(tone(0.4), 2, 48000).IntegratedLoudness());
    EXPECT_FALSE(Measured(tone(2.9), 2, 48000).LoudnessRange());
    EXPECT_TRUE(Measured(tone(3.0), 2, 48000).LoudnessRange());
}

// The reference point of the loudness scale: a 997 Hz sine at full scale on one channel reads
// -3.01 LUFS. The filters derived for each rate follow the 48 kHz curve only as closely as the
// bilinear transform's frequency warping allows: at 997 Hz within 0.03 dB from 8 to 192 kHz
// (0.05 LU leaves half of the conformance tolerance); a wrong derivation is off by far more.
TEST(LoudnessMeterTest, FullScaleSineReadsMinusThreeAtEveryRate) {
    for (int rate : {8000, 22050, 44100, 48000, 96000, 192000}) {
        const auto frames = signals::Tones(rate, 997.0, {{5.0, {0.0}}});
        EXPECT_NEAR(*Measured(frames, 1, rate).IntegratedLoudness(), -3.01, 0.05) << rate;
    }
}

TEST(LoudnessMeterTest, DefaultChannelWeights) {
    using Weights = std::vector<double>;
    EXPECT_EQ(DefaultChannelWeights(1), Weights({1}));
    EXPECT_EQ(DefaultChannelWeights(2), Weights({1, 1}));
    EXPECT_EQ(DefaultChannelWeights(4), Weights({1, 1, 1, 1}));
    EXPECT_EQ(DefaultChannelWeights(5), Weights({1, 1, 1, 1.41, 1.41}));
    EXPECT_EQ(DefaultChannelWeights(6), Weights({1, 1, 1, 0, 1.41, 1.41}));
    // 5.1 with back or side surrounds; 7.1 with both; a mask naming fewer speakers.
    EXPECT_EQ(DefaultChannelWeights(6, 0x3F), Weights({1, 1, 1, 0, 1.41, 1.41}));
    EXPECT_EQ(DefaultChannelWeights(6, 0x60F), Weights({1, 1, 1, 0, 1.41, 1.41}));
    EXPECT_EQ(DefaultChannelWeights(8, 0x63F), Weights({1, 1, 1, 0, 1, 1, 1.41, 1.41}));
    EXPECT_EQ(DefaultChannelWeights(3, 0x8), Weights({0, 1, 1}));
}

// The weights act on energy: a tone on a surround channel reads 10 log10(1.41) LU above the
// same on a front one, the LFE does not count, and a mono file reads 3 dB below the same
// signal on both stereo channels. The channels' filters see identical samples, so the energies
// differ by the weight alone; 1e-9 LU leaves room for the rounding of the sums and logarithms.
TEST(LoudnessMeterTest, ChannelWeightsApplyToEnergy) {
    const auto onChannel = [](int channel) {
        std::vector<double> levels(6, -999.0);
        levels[static_cast<size_t>(channel)] = -20.0;
        return *Measured(signals::Tones(48000, 1000.0, {{4.0, levels}}), 6, 48000)
                    .IntegratedLoudness();
    };
    EXPECT_NEAR(onChannel(4) - onChannel(0), 10.0 * std::log10(1.41), 1e-9);
    EXPECT_FALSE(
        Measured(signals::Tones(48000, 1000.0, {{4.0, {-99, -99, -99, -20, -99, -99}}}), 6, 48000)
            .IntegratedLoudness()
            .has_value());
    const double mono =
        *Measured(signals::Tones(48000, 1000.0, {{4.0, {-20}}}), 1, 48000).IntegratedLoudness();
    const double stereo = *Measured(signals::Tones(48000, 1000.0, {{4.0, {-20, -20}}}), 2, 48000)
                               .IntegratedLoudness();
    EXPECT_NEAR(stereo - mono, 10.0 * std::log10(2.0), 1e-9);
}

// The bound the planner takes for what weighting does to noise holds at every rate the meter
// takes, from its lowest up.
TEST(LoudnessMeterTest, WeightingNeverLiftsAFrequencyBeyondItsStatedBound) {
    for (const double rate : {8000.0, 22050.0, 44100.0, 48000.0, 192000.0, 768000.0}) {
        const KWeighting weighting = DesignKWeighting(rate);
        double largest = 0.0;
        for (int k = 0; k <= 4000; ++k) {
            const std::complex<double> z = std::polar(1.0, -M_PI * k / 4000.0);
            auto response = [&z](const Biquad& q) {
                return (q.B0 + q.B1 * z + q.B2 * z * z) / (1.0 + q.A1 * z + q.A2 * z * z);
            };
            largest = std::max(largest,
                               std::norm(response(weighting.Shelf) * response(weighting.HighPass)));
        }
        EXPECT_LE(largest, kLargestWeightingPowerGain) << rate;
        EXPECT_GT(largest, 2.4) << rate;  // the shelf's +4 dB
    }
}

TEST(LoudnessMeterTest, RefusesFormatsAndWeightsItCannotMeasure) {
    for (auto [channels, rate] : {std::pair{0, 44100}, {65, 44100}, {2, 7999}, {2, 768001}}) {
        EXPECT_FALSE(LoudnessMeter::Supports(channels, rate));
        EXPECT_THROW(LoudnessMeter({channels, rate, {}, true}), std::invalid_argument);
    }
    EXPECT_TRUE(LoudnessMeter::Supports(64, 768000));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const std::vector<double>& weights : {std::vector<double>{1.0}, {1.0, -1.0}, {1.0, nan}}) {
        EXPECT_THROW(LoudnessMeter({2, 44100, weights, true}), std::invalid_argument);
    }
}

// A peak in the last samples counts: the points after them are interpolated as if silence
// followed, exactly as when the silence is given.
TEST(LoudnessMeterTest, TruePeakCountsTheFinalSamples) {
    std::vector<double> frames(48000, 0.0);
    frames.back() = frames[frames.size() - 2] = 0.9;
    const LoudnessMeter ending = Measured(frames, 1, 48000);
    frames.resize(frames.size() + 100, 0.0);
    const LoudnessMeter followed = Measured(frames, 1, 48000);
    EXPECT_GT(ending.ChannelTruePeak(0), 1.0);  // two equal samples peak between them
    EXPECT_EQ(ending.ChannelTruePeak(0), followed.ChannelTruePeak(0));
}

// Every kernel against the interpolation written out in double precision, over spans loud and
// quiet, so that the skipping of quiet spans is checked too. Float sums of 12 or 24 products
// are within 1e-6 (relative) of the double ones.
class PeakKernelTest : public testing::TestWithParam<PeakKernel> {};

INSTANTIATE_TEST_SUITE_P(Kernels, PeakKernelTest, testing::ValuesIn(RunnablePeakKernels()),
                         [](const auto& info) { return std::string(info.param.Name); });

// The largest magnitude of samples[history..] and of the points interpolated after them, in
// double precision.
double WrittenOutPeak(const std::vector<float>& samples, const PeakInterpolator& interpolator) {
    const size_t history = static_cast<size_t>(std::max(interpolator.TapsPerPhase - 1, 0));
    double expected = 0.0;
    for (size_t n = history; n < samples.size(); ++n) {
        expected = std::max(expected, std::fabs(double{samples[n]}));
        for (int p = 0; p + 1 < interpolator.Factor; ++p) {
            double point = 0.0;
            for (int k = 0; k < interpolator.TapsPerPhase; ++k) {
                point += double{interpolator.Taps[p][k]} * samples[n - k];
            }
            expected = std::max(expected, std::fabs(point));
        }
    }
    return expected;
}

TEST_P(PeakKernelTest, MatchesTheWrittenOutInterpolation) {
    std::mt19937 random(9);
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    for (int rate : {44100, 96000, 192000}) {
        const PeakInterpolator interpolator = DesignPeakInterpolator(rate);
        const size_t history = static_cast<size_t>(std::max(interpolator.TapsPerPhase - 1, 0));
        std::vector<float> samples(history + 3000);
        for (size_t i = 0; i < samples.size(); ++i) {
            const float level = (i / 300) % 3 == 1 ? 0.9f : 0.05f;
            samples[i] = level * noise(random);
        }
        const double expected = WrittenOutPeak(samples, interpolator);
        float largest = 0.0f;
        const float peak = GetParam().Scan(samples.data() + history, samples.size() - history,
                                           interpolator, 0.0f, &largest);
        float written = 0.0f;
        for (const float sample : samples) {
            written = std::max(written, std::fabs(sample));
        }
        EXPECT_EQ(largest, written) << rate;  // the sample peak, found on the way
        EXPECT_NEAR(peak, expected, expected * 1e-6) << rate;
        EXPECT_EQ(peak, RunnablePeakKernels().back().Scan(samples.data() + history,
                                                          samples.size() - history, interpolator,
                                                          0.0f, nullptr))
            << rate;
    }
}

// A peak between two loud samples in quiet surroundings, after a stretch that has already set a
// lower peak, counts wherever it falls against the spans that share a skip decision: the points
// it raises lie after the samples they are made of, in the next span as often as not.
TEST_P(PeakKernelTest, APeakBetweenTwoSamplesCountsWhereverItFalls) {
    std::mt19937 random(10);
    std::uniform_real_distribution<float> noise(-0.02f, 0.02f);
    const PeakInterpolator interpolator = DesignPeakInterpolator(44100);
    const size_t history = static_cast<size_t>(interpolator.TapsPerPhase - 1);
    for (size_t at = 600; at < 600 + kPeakSpan + 2; ++at) {
        std::vector<float> samples(history + 1200);
        for (size_t i = 0; i < samples.size(); ++i) {
            samples[i] = i < history + 200 ? 25.0f * noise(random) : noise(random);
        }
        samples[history + at] = samples[history + at + 1] = 0.9f;
        const double expected = WrittenOutPeak(samples, interpolator);
        ASSERT_GT(expected, 0.95);  // between the two, above either
        const float peak = GetParam().Scan(samples.data() + history, samples.size() - history,
                                           interpolator, 0.0f, nullptr);
        ASSERT_NEAR(peak, expected, expected * 1e-6) << at;
    }
}

// Every K-weighting kernel against the two stages written out in long double, and bit for bit
// against the portable kernel however the run is split into calls: the vector kernels carry a
// stage a frame behind the other within a call, which must leave nothing between calls.
class WeightingKernelTest : public testing::TestWithParam<WeightingKernel> {};

INSTANTIATE_TEST_SUITE_P(Kernels, WeightingKernelTest,
                         testing::ValuesIn(RunnableWeightingKernels()),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_P(WeightingKernelTest, MatchesTheWrittenOutStagesAndThePortableKernel) {
    std::mt19937 random(5);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    std::vector<ChannelPair> input(20000);
    for (size_t i = 0; i < input.size(); ++i) {
        const double level = (i / 2000) % 2 == 0 ? 0.8 : 0.01;
        input[i] = ChannelPair{level * noise(random), 0.5 * level * noise(random)};
    }
    for (int rate : {44100, 48000}) {
        const KWeighting weighting = DesignKWeighting(rate);
        long double expected[2] = {0.0L, 0.0L};
        for (int lane = 0; lane < 2; ++lane) {
            long double s1 = 0, s2 = 0, h1 = 0, h2 = 0;
            for (const ChannelPair& pair : input) {
                const Biquad& s = weighting.Shelf;
                const Biquad& h = weighting.HighPass;
                const long double s0 = pair[lane] - s.A1 * s1 - s.A2 * s2;
                const long double shelved = s.B0 * s0 + s.B1 * s1 + s.B2 * s2;
                s2 = s1;
                s1 = s0;
                const long double h0 = shelved - h.A1 * h1 - h.A2 * h2;
                const long double weighted = h.B0 * h0 + h.B1 * h1 + h.B2 * h2;
                h2 = h1;
                h1 = h0;
                expected[lane] += weighted * weighted;
            }
        }
        // Whole, and in calls of 1, 2, 17 and 4095 frames (the packed kernel runs from 16 on).
        for (size_t piece : {input.size(), size_t{1}, size_t{2}, size_t{17}, size_t{4095}}) {
            KWeightingState state, portableState;
            ChannelPair sum{}, portableSum{};
            for (size_t at = 0; at < input.size(); at += piece) {
                const size_t count = std::min(piece, input.size() - at);
                GetParam().Run(&input[at], count, weighting, state, sum);
            }
            RunnableWeightingKernels().back().Run(input.data(), input.size(), weighting,
                                                  portableState, portableSum);
            for (int lane = 0; lane < 2; ++lane) {
                EXPECT_NEAR(sum[lane], static_cast<double>(expected[lane]),
                            1e-12 * static_cast<double>(expected[lane]))
                    << rate << " " << piece;
                EXPECT_EQ(sum[lane], portableSum[lane]) << rate << " " << piece;
                EXPECT_EQ(state.Shelf[1][lane], portableState.Shelf[1][lane]);
                EXPECT_EQ(state.HighPass[0][lane], portableState.HighPass[0][lane]);
            }
        }
    }
}

// 16-bit stereo weighted as it is converted gives the sums of the converted frames weighted
// by the portable kernel, bit for bit, however the run is split, and hands the peak scan each
// sample as a float.
TEST_P(WeightingKernelTest, SixteenBitStereoWeighsAsItsConvertedFrames) {
    std::mt19937 random(6);
    std::uniform_int_distribution<int> sample(-32768, 32767);
    std::vector<int16_t> frames(2 * 9000);
    for (size_t i = 0; i < frames.size(); ++i) {
        frames[i] =
            static_cast<int16_t>((i / 3000) % 2 == 0 ? sample(random) : sample(random) / 300);
    }
    std::vector<ChannelPair> converted(frames.size() / 2);
    for (size_t i = 0; i < converted.size(); ++i) {
        converted[i] = ChannelPair{frames[2 * i] / 32768.0, frames[2 * i + 1] / 32768.0};
    }
    const KWeighting weighting = DesignKWeighting(44100);
    KWeightingState expectedState;
    ChannelPair expected{};
    RunnableWeightingKernels().back().Run(converted.data(), converted.size(), weighting,
                                          expectedState, expected);
    for (const bool peaks : {true, false}) {
        for (size_t piece :
             {converted.size(), size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{1003}}) {
            KWeightingState state;
            ChannelPair sum{};
            std::vector<float> left(converted.size(), -2.0f), right(converted.size(), -2.0f);
            for (size_t at = 0; at < converted.size(); at += piece) {
                const size_t count = std::min(piece, converted.size() - at);
                GetParam().RunStereo16(&frames[2 * at], count, weighting, state, sum,
                                       peaks ? &left[at] : nullptr, peaks ? &right[at] : nullptr);
            }
            for (int lane = 0; lane < 2; ++lane) {
                EXPECT_EQ(sum[lane], expected[lane]) << piece;
                EXPECT_EQ(state.Shelf[0][lane], expectedState.Shelf[0][lane]) << piece;
                EXPECT_EQ(state.HighPass[1][lane], expectedState.HighPass[1][lane]) << piece;
            }
            for (size_t i = 0; peaks && i < converted.size(); ++i) {
                ASSERT_EQ(left[i], static_cast<float>(converted[i][0])) << piece << " " << i;
                ASSERT_EQ(right[i], static_cast<float>(converted[i][1])) << piece << " " << i;
            }
            EXPECT_TRUE(peaks || left.front() == -2.0f);
        }
    }
}

}  // namespace
}  // namespace tralux
