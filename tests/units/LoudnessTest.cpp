#include "units/Loudness.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <string>

#include "units/NumberText.h"

namespace tralux {
namespace {

struct FixedCase {
    double value;
    const char* text;
};

class FixedPointTextTest : public testing::TestWithParam<FixedCase> {};

TEST_P(FixedPointTextTest, RoundsHalfAwayFromZeroOnTheDecimalExpansion) {
    EXPECT_EQ(FixedPointText(GetParam().value, "."), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FixedPointTextTest,
    testing::Values(
        // 0.25 is an exact half (rounded up, not to even); binary 0.35 and 9.95 lie just
        // below the half, and so does their 18-digit expansion.
        FixedCase{0.25, "0.3"}, FixedCase{-0.25, "-0.3"}, FixedCase{0.35, "0.3"},
        FixedCase{0.05, "0.1"}, FixedCase{0.0499999, "0.0"}, FixedCase{8.575701, "8.6"},
        FixedCase{-21.261874, "-21.3"}, FixedCase{99.96, "100.0"}, FixedCase{9.95, "9.9"},
        FixedCase{2.45, "2.5"}, FixedCase{1234567890123456.25, "1234567890123456.3"},
        FixedCase{0.0, "0.0"}, FixedCase{-0.0, "0.0"}, FixedCase{-0.04, "0.0"},
        FixedCase{-0.000264, "0.0"}, FixedCase{-90.0, "-90.0"}, FixedCase{123456.78, "123456.8"},
        FixedCase{1e-300, "0.0"}, FixedCase{1e20, "100000000000000000000.0"}));

TEST(FixedPointText, UsesTheGivenSeparatorAndNoThousandsSeparator) {
    EXPECT_EQ(FixedPointText(1234.56, ","), "1234,6");
    EXPECT_EQ(FixedPointText(-0.01, ","), "0,0");
}

TEST(FixedPointText, DefaultsToTheCLocaleSeparator) {
    // Tests run in the "C" locale unless one is set.
    EXPECT_EQ(LocaleDecimalSeparator(), ".");
    EXPECT_EQ(FixedPointText(2.25), "2.3");
}

TEST(FixedPointText, FollowsACommaLocaleWhenInstalled) {
    const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) {
        GTEST_SKIP() << "de_DE.UTF-8 is not installed";
    }
    const std::string separator = LocaleDecimalSeparator();
    const std::string text = LoudnessText(2810, PercentUnit);
    std::setlocale(LC_NUMERIC, previous.c_str());
    EXPECT_EQ(separator, ",");
    EXPECT_EQ(text, "8,6%");
}

TEST(RoundTiesToEven, HalvesGoToTheEvenNeighbour) {
    EXPECT_EQ(RoundTiesToEven(2810.5), 2810.0);
    EXPECT_EQ(RoundTiesToEven(2811.5), 2812.0);
    EXPECT_EQ(RoundTiesToEven(-2.5), -2.0);
    EXPECT_EQ(RoundTiesToEven(-3.5), -4.0);
    EXPECT_EQ(RoundTiesToEven(2.4999999999999996), 2.0);
    EXPECT_EQ(RoundTiesToEven(2.5000000000000004), 3.0);
    EXPECT_EQ(RoundTiesToEven(4503599627370497.0), 4503599627370497.0);
}

TEST(SampleToDecibels, SixDecibelsPerDoubling) {
    EXPECT_EQ(SampleToDecibels(0), -90.0);
    EXPECT_EQ(SampleToDecibels(1), -90.0);
    EXPECT_EQ(SampleToDecibels(1024), -30.0);
    EXPECT_EQ(SampleToDecibels(16384), -6.0);
    EXPECT_NEAR(SampleToDecibels(32767), -0.000264, 1e-6);
    EXPECT_EQ(SampleToDecibels(-5), -90.0);
}

struct DecibelCase {
    double decibels;
    int16_t sample;
};

class DecibelsToSampleTest : public testing::TestWithParam<DecibelCase> {};

TEST_P(DecibelsToSampleTest, RoundsAndClampsAtFullScale) {
    EXPECT_EQ(DecibelsToSample(GetParam().decibels), GetParam().sample);
}

INSTANTIATE_TEST_SUITE_P(Values, DecibelsToSampleTest,
                         testing::Values(DecibelCase{-30.0, 1024}, DecibelCase{-30.1, 1012},
                                         DecibelCase{-0.1, 32392}, DecibelCase{0.0, 32767},
                                         DecibelCase{0.1, 32767}, DecibelCase{200.0, 32767},
                                         DecibelCase{-90.0, 1}, DecibelCase{-200.0, 0}));

TEST(DecibelText, OneDecimalWithoutSuffix) {
    EXPECT_EQ(DecibelText(2810, "."), "-21.3");
    EXPECT_EQ(DecibelText(32767, "."), "0.0");
    EXPECT_EQ(DecibelText(0, ","), "-90,0");
}

struct LevelCase {
    double level;
    const char* percent;
    const char* decibels;
    const char* sample;
};

class LoudnessTextTest : public testing::TestWithParam<LevelCase> {};

TEST_P(LoudnessTextTest, FormatsEveryUnit) {
    const LevelCase& c = GetParam();
    EXPECT_EQ(LoudnessText(c.level, PercentUnit, "."), c.percent);
    EXPECT_EQ(LoudnessText(c.level, DecibelUnit, "."), c.decibels);
    EXPECT_EQ(LoudnessText(c.level, SampleUnit, "."), c.sample);
}

INSTANTIATE_TEST_SUITE_P(
    Levels, LoudnessTextTest,
    testing::Values(LevelCase{0, "0.0%", "-90.0dB", "0"}, LevelCase{1, "0.0%", "-90.0dB", "1"},
                    LevelCase{2810, "8.6%", "-21.3dB", "2810"},
                    // Percent uses the level unrounded; the others round ties to even.
                    LevelCase{2810.5, "8.6%", "-21.3dB", "2810"},
                    LevelCase{2811.5, "8.6%", "-21.3dB", "2812"},
                    LevelCase{32767, "100.0%", "0.0dB", "32767"},
                    // A file of nothing but -32768 measures 32768: held at full scale in dB.
                    LevelCase{32768, "100.0%", "0.0dB", "32768"},
                    LevelCase{16384, "50.0%", "-6.0dB", "16384"},
                    LevelCase{1024.4, "3.1%", "-30.0dB", "1024"}));

TEST(LoudnessText, UnknownUnitsFormatAsSampleValues) {
    EXPECT_EQ(LoudnessText(2810.4, 5, "."), "2810");
    EXPECT_EQ(LoudnessText(2810.4, -1, "."), "2810");
}

TEST(LoudnessText, CommaSeparator) {
    EXPECT_EQ(LoudnessText(2810, PercentUnit, ","), "8,6%");
    EXPECT_EQ(LoudnessText(2810, DecibelUnit, ","), "-21,3dB");
}

TEST(WidestLoudnessText, OnePerUnit) {
    EXPECT_EQ(WidestLoudnessText(PercentUnit, "."), "100.0%");
    EXPECT_EQ(WidestLoudnessText(DecibelUnit, ","), "-99,0dB");
    EXPECT_EQ(WidestLoudnessText(SampleUnit, "."), "99999 ");
    EXPECT_EQ(WidestLoudnessText(7, "."), "99999 ");
}

}  // namespace
}  // namespace tralux
