#include "operations/LoudnessCurve.h"

#include <gtest/gtest.h>

#include <cmath>

#include "TempDir.h"
#include "TestWav.h"

namespace tralux {
namespace {

using test::Samples;

// The root-mean-square of frames [first, first + count) of interleaved stereo samples, summed
// here apart from the code under test.
double ExpectedLevel(const Samples& samples, int64_t first, int64_t count) {
    long double sum = 0;
    for (int64_t i = first * 2; i < (first + count) * 2; ++i) {
        sum += static_cast<long double>(samples[static_cast<size_t>(i)]) *
               samples[static_cast<size_t>(i)];
    }
    return std::sqrt(static_cast<double>(sum / static_cast<long double>(count * 2)));
}

Samples Join(std::initializer_list<Samples> pieces) {
    Samples joined;
    for (const Samples& piece : pieces) {
        joined.insert(joined.end(), piece.begin(), piece.end());
    }
    return joined;
}

// Two seconds of quiet noise, three loud constant seconds, two and a half of louder noise.
Samples PiecewiseLevels() {
    return Join({test::Noise(2 * 44100, 1000, 7), test::Constant(3 * 44100, 5000, -3000),
                 test::Noise(44100 * 5 / 2, 12000, 9)});
}

TEST(LoudnessCurve, WindowsOfThreeSecondsEverySecondUntilTheLastWholeOne) {
    test::TempDir dir;
    const Samples samples = PiecewiseLevels();
    const std::string path = test::WriteWav(dir.File("levels.wav"), samples);

    const std::vector<double> curve = ReadLoudnessCurve(path);

    // 7.5 seconds: windows start at seconds 0 to 4; the last half second is in none.
    ASSERT_EQ(curve.size(), 5u);
    for (size_t window = 0; window < curve.size(); ++window) {
        EXPECT_DOUBLE_EQ(curve[window],
                         ExpectedLevel(samples, static_cast<int64_t>(window) * CurveStepFrames,
                                       CurveWindowFrames))
            << "window " << window;
    }
    EXPECT_LT(curve[0], curve[2]);  // the loud constant fills the third window
}

TEST(LoudnessCurve, ATableMapsEverySampleBeforeTheLevels) {
    test::TempDir dir;
    const Samples samples = PiecewiseLevels();
    const std::string path = test::WriteWav(dir.File("levels.wav"), samples);
    ValueTable doubling;
    for (int value = -16000; value <= 16000; ++value) {
        doubling.Values[ValueIndex(static_cast<int16_t>(value))] = static_cast<int16_t>(2 * value);
    }

    const std::vector<double> source = ReadLoudnessCurve(path);
    const std::vector<double> mapped = ReadLoudnessCurve(path, &doubling);

    ASSERT_EQ(mapped.size(), source.size());
    for (size_t window = 0; window < mapped.size(); ++window) {
        EXPECT_DOUBLE_EQ(mapped[window], 2.0 * source[window]) << "window " << window;
    }
}

TEST(LoudnessCurve, AFileShorterThanAWindowGivesOneLevelOverAllOfIt) {
    test::TempDir dir;
    const Samples samples = Join({test::Constant(30000, 400, 400), test::Noise(50000, 9000, 3)});
    const std::string path = test::WriteWav(dir.File("short.wav"), samples);

    const std::vector<double> curve = ReadLoudnessCurve(path);

    ASSERT_EQ(curve.size(), 1u);
    EXPECT_DOUBLE_EQ(curve[0], ExpectedLevel(samples, 0, 80000));
}

TEST(LoudnessCurve, NothingToReadGivesAnEmptyCurve) {
    test::TempDir dir;
    EXPECT_TRUE(ReadLoudnessCurve(test::WriteWav(dir.File("empty.wav"), {})).empty());
    EXPECT_TRUE(ReadLoudnessCurve(dir.File("missing.wav")).empty());
    EXPECT_TRUE(ReadLoudnessCurve(dir.Path().string()).empty());  // a folder
    test::WriteFile(dir.File("text.wav"), {'n', 'o', 't', ' ', 'w', 'a', 'v'});
    EXPECT_TRUE(ReadLoudnessCurve(dir.File("text.wav")).empty());
    // A 24-bit file is not one the curve reads as 16-bit samples.
    test::WavLayout wide;
    wide.bitsPerSample = 24;
    EXPECT_TRUE(
        ReadLoudnessCurve(test::WriteWav(dir.File("wide.wav"), test::Constant(1000, 1, 1), wide))
            .empty());
    // Nor is a 16-bit mono or 48 kHz file, whose frames and seconds are not those it counts.
    test::WavLayout mono;
    mono.channels = 1;
    EXPECT_TRUE(
        ReadLoudnessCurve(test::WriteWav(dir.File("mono.wav"), test::Constant(1000, 1, 1), mono))
            .empty());
    test::WavLayout rate;
    rate.sampleRate = 48000;
    EXPECT_TRUE(
        ReadLoudnessCurve(test::WriteWav(dir.File("48k.wav"), test::Constant(1000, 1, 1), rate))
            .empty());
}

}  // namespace
}  // namespace tralux
