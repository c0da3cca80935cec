// The meter against libebur128, the field's reference, on music-like signals: mono, stereo and
// 5.1 at several rates, one file and a group of files.

#include <ebur128.h>

#include <cmath>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "Signals.h"
#include "measure/Gating.h"
#include "measure/LoudnessMeter.h"

namespace tralux {
namespace {

// Both meters use the same K-weighting design, the same 100 ms segments and 400 ms blocks and
// the same interpolator, so integrated loudness and true peak differ only by the order of
// rounding (about 1e-12 relative in loudness, 1e-6 in the float interpolation): 0.001 LU and
// 0.001 dB would catch any real difference.
constexpr double kLoudnessAgreement = 0.001;
constexpr double kPeakAgreement = 0.001;
// libebur128 takes a 3 s window every second for the loudness range, this meter ten times a
// second. Over every tenth of this meter's windows (the ones libebur128 takes) the ranges agree
// to rounding; over all of them they may differ by the conformance tolerance, 1 LU: on these
// signals, whose level swells by 20 dB in 14 s, the percentiles of a 12 s file move by what the
// level moves in under a second.
constexpr double kRangeAgreement = 1.0;

// The short-term energies of the windows that end on whole seconds, those libebur128 takes.
std::vector<double> WholeSecondWindows(const LoudnessMeter& meter) {
    const std::vector<double> all =
        WindowEnergies(meter.SegmentEnergies(), 30, meter.SegmentFrames());
    std::vector<double> everyTenth;
    for (size_t i = 0; i < all.size(); i += 10) {
        everyTenth.push_back(all[i]);
    }
    return everyTenth;
}

struct Reference {
    double Integrated = 0.0;
    double Range = 0.0;
    std::vector<double> Peaks;
};

template <typename Sample>
Reference MeasureWithLibebur128(const std::vector<Sample>& frames, int channels, int rate) {
    ebur128_state* state =
        ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned>(rate),
                     EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK);
    const size_t count = frames.size() / static_cast<size_t>(channels);
    if constexpr (std::is_same_v<Sample, int16_t>) {
        ebur128_add_frames_short(state, frames.data(), count);
    } else {
        ebur128_add_frames_double(state, frames.data(), count);
    }
    Reference reference;
    ebur128_loudness_global(state, &reference.Integrated);
    ebur128_loudness_range(state, &reference.Range);
    for (int c = 0; c < channels; ++c) {
        double peak = 0.0;
        ebur128_true_peak(state, static_cast<unsigned>(c), &peak);
        reference.Peaks.push_back(peak);
    }
    ebur128_destroy(&state);
    return reference;
}

template <typename Sample>
void ExpectAgreement(const std::vector<Sample>& frames, int channels, int rate) {
    LoudnessMeter meter({channels, rate, {}, true});
    meter.AddFrames(frames.data(), frames.size() / static_cast<size_t>(channels));
    const Reference reference = MeasureWithLibebur128(frames, channels, rate);
    ASSERT_TRUE(meter.IntegratedLoudness().has_value());
    EXPECT_NEAR(*meter.IntegratedLoudness(), reference.Integrated, kLoudnessAgreement);
    ASSERT_TRUE(meter.LoudnessRange().has_value());
    EXPECT_NEAR(*meter.LoudnessRange(), reference.Range, kRangeAgreement);
    EXPECT_NEAR(*GatedLoudnessRange(WholeSecondWindows(meter)), reference.Range,
                kLoudnessAgreement);
    for (int c = 0; c < channels; ++c) {
        EXPECT_NEAR(20.0 * std::log10(meter.ChannelTruePeak(c) / reference.Peaks[c]), 0.0,
                    kPeakAgreement)
            << "channel " << c;
    }
}

class AgainstLibebur128 : public testing::TestWithParam<std::tuple<int, int>> {};

INSTANTIATE_TEST_SUITE_P(ChannelsAndRates, AgainstLibebur128,
                         testing::Combine(testing::Values(1, 2, 6),
                                          testing::Values(44100, 48000, 96000)),
                         [](const auto& info) {
                             return std::to_string(std::get<0>(info.param)) + "ch_" +
                                    std::to_string(std::get<1>(info.param));
                         });

TEST_P(AgainstLibebur128, FloatingPointFrames) {
    const auto [channels, rate] = GetParam();
    ExpectAgreement(signals::MusicLike(rate, channels, 12.0, 11u), channels, rate);
}

TEST_P(AgainstLibebur128, SixteenBitFrames) {
    const auto [channels, rate] = GetParam();
    std::vector<int16_t> frames;
    for (double v : signals::MusicLike(rate, channels, 12.0, 12u)) {
        frames.push_back(static_cast<int16_t>(std::lrint(v * 32767.0)));
    }
    ExpectAgreement(frames, channels, rate);
}

// An album of three files of different formats and levels; the quietest one's blocks fall
// partly under the group's relative gate, so it counts less than on its own.
TEST(GroupAgainstLibebur128, AlbumLoudnessAndRange) {
    struct Track {
        int Channels, Rate;
        double GainDb;
    };
    const Track tracks[] = {{2, 44100, 0.0}, {2, 48000, -6.0}, {6, 48000, -24.0}};
    std::vector<std::unique_ptr<LoudnessMeter>> meters;
    std::vector<ebur128_state*> states;
    unsigned seed = 20;
    for (const Track& t : tracks) {
        auto frames = signals::MusicLike(t.Rate, t.Channels, 12.0, seed++);
        for (double& v : frames) {
            v *= signals::FromDb(t.GainDb);
        }
        const size_t count = frames.size() / static_cast<size_t>(t.Channels);
        meters.push_back(
            std::make_unique<LoudnessMeter>(MeterSetup{t.Channels, t.Rate, {}, false}));
        meters.back()->AddFrames(frames.data(), count);
        states.push_back(ebur128_init(static_cast<unsigned>(t.Channels),
                                      static_cast<unsigned>(t.Rate),
                                      EBUR128_MODE_I | EBUR128_MODE_LRA));
        ebur128_add_frames_double(states.back(), frames.data(), count);
    }
    std::vector<const LoudnessMeter*> group;
    for (const auto& m : meters) {
        group.push_back(m.get());
    }
    double integrated = 0.0, range = 0.0;
    ebur128_loudness_global_multiple(states.data(), states.size(), &integrated);
    ebur128_loudness_range_multiple(states.data(), states.size(), &range);
    for (ebur128_state*& state : states) {
        ebur128_destroy(&state);
    }
    ASSERT_TRUE(GroupIntegratedLoudness(group).has_value());
    EXPECT_NEAR(*GroupIntegratedLoudness(group), integrated, kLoudnessAgreement);
    // The group differs from the loudest file alone, else the test would prove little.
    EXPECT_GT(std::fabs(*GroupIntegratedLoudness(group) - *meters[0]->IntegratedLoudness()), 0.5);
    ASSERT_TRUE(GroupLoudnessRange(group).has_value());
    EXPECT_NEAR(*GroupLoudnessRange(group), range, kRangeAgreement);
    std::vector<double> everyTenth;
    for (const auto& m : meters) {
        const std::vector<double> own = WholeSecondWindows(*m);
        everyTenth.insert(everyTenth.end(), own.begin(), own.end());
    }
    EXPECT_NEAR(*GatedLoudnessRange(everyTenth), range, kLoudnessAgreement);
}

}  // namespace
}  // namespace tralux
