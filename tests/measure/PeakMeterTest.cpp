// The true-peak meter on its own reads the same peak as the loudness meter, at every rate and
// channel count, from either sample form and however the input is split.

#include <cmath>
#include <tuple>

#include <gtest/gtest.h>

#include "Signals.h"
#include "measure/LoudnessMeter.h"
#include "measure/PeakMeter.h"

namespace tralux {
namespace {

class PeakMeterTest : public testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(PeakMeterTest, ReadsTheLoudnessMetersTruePeak) {
    const auto [rate, channels] = GetParam();
    const std::vector<double> frames = signals::MusicLike(rate, channels, 2.0, 11);
    const size_t count = frames.size() / static_cast<size_t>(channels);
    LoudnessMeter reference(MeterSetup{channels, rate, {}, true});
    reference.AddFrames(frames.data(), count);

    TruePeakMeter decoded(channels, rate);
    // Split where no chunk boundary of the meter falls.
    for (size_t at = 0; at < count; at += 777) {
        decoded.AddFrames(frames.data() + at * static_cast<size_t>(channels),
                          std::min<size_t>(777, count - at));
    }
    ASSERT_TRUE(reference.TruePeak());
    EXPECT_EQ(decoded.TruePeak(), reference.TruePeak());

    std::vector<int16_t> whole(frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        whole[i] = static_cast<int16_t>(std::lrint(frames[i] * 32767.0));
    }
    LoudnessMeter referenceWhole(MeterSetup{channels, rate, {}, true});
    referenceWhole.AddFrames(whole.data(), count);
    TruePeakMeter integers(channels, rate);
    integers.AddFrames(whole.data(), count);
    EXPECT_EQ(integers.TruePeak(), referenceWhole.TruePeak());
}

INSTANTIATE_TEST_SUITE_P(Formats, PeakMeterTest,
                         testing::Values(std::tuple(44100, 2), std::tuple(48000, 1),
                                         std::tuple(96000, 6), std::tuple(192000, 2)));

TEST(PeakMeter, APeakInTheLastSamplesCountsAndSilenceHasNone) {
    // The pulse's continuous peak falls half a sample after the last sample kept.
    std::vector<double> pulse = signals::InterSamplePulse(44100, 2);
    pulse.resize(2 * (44100 / 2 + 1));
    LoudnessMeter reference(MeterSetup{2, 44100, {}, true});
    reference.AddFrames(pulse.data(), pulse.size() / 2);
    TruePeakMeter meter(2, 44100);
    meter.AddFrames(pulse.data(), pulse.size() / 2);
    EXPECT_EQ(meter.TruePeak(), reference.TruePeak());
    EXPECT_GT(*meter.TruePeak(), 20.0 * std::log10(std::fabs(pulse.back())) + 0.1);

    TruePeakMeter silent(2, 44100);
    const std::vector<int16_t> zeros(2000, 0);
    silent.AddFrames(zeros.data(), 1000);
    EXPECT_FALSE(silent.TruePeak());
    EXPECT_THROW(TruePeakMeter(2, 1000), std::invalid_argument);
}

}  // namespace
}  // namespace tralux
