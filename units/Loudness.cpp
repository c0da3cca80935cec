#include "units/Loudness.h"

#include <charconv>
#include <cmath>

#include "units/NumberText.h"

namespace tralux {

namespace {

// Full scale for percentages: 32767 is 100 %.
constexpr double PercentFullScale = 32767.0;

std::string WholeNumberText(double value) {
    char buffer[400];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, RoundTiesToEven(value),
                                      std::chars_format::fixed, 0);
    std::string text(buffer, result.ptr);
    return text == "-0" ? "0" : text;
}

}  // namespace

double SampleToDecibels(int16_t amplitude) {
    // Zero and negative amplitudes carry no level; they show as the floor of the scale.
    if (amplitude <= 0) {
        return -90.0;
    }
    return 6.0 * std::log2(static_cast<double>(amplitude)) - 90.0;
}

int16_t DecibelsToSample(double decibels) {
    if (std::isnan(decibels)) {
        return 0;
    }
    const double sample = RoundTiesToEven(std::exp2((decibels + 90.0) / 6.0));
    if (sample > 32767.0) {
        return 32767;
    }
    return static_cast<int16_t>(sample);
}

std::string DecibelText(int16_t amplitude, const std::string& decimalSeparator) {
    return FixedPointText(SampleToDecibels(amplitude), decimalSeparator);
}

std::string DecibelText(int16_t amplitude) {
    return DecibelText(amplitude, LocaleDecimalSeparator());
}

std::string LoudnessText(double level, int32_t unit, const std::string& decimalSeparator) {
    switch (unit) {
        case PercentUnit:
            return FixedPointText(level * 100.0 / PercentFullScale, decimalSeparator) + "%";
        case DecibelUnit: {
            // A level of 32767.5 or more (a file of nothing but -32768) would not fit the
            // amplitude; it is held at full scale rather than wrapped to a negative value.
            double rounded = RoundTiesToEven(level);
            if (!(rounded >= 0.0)) {
                rounded = 0.0;
            } else if (rounded > 32767.0) {
                rounded = 32767.0;
            }
            return DecibelText(static_cast<int16_t>(rounded), decimalSeparator) + "dB";
        }
        default:
            return WholeNumberText(level);
    }
}

std::string LoudnessText(double level, int32_t unit) {
    return LoudnessText(level, unit, LocaleDecimalSeparator());
}

std::string WidestLoudnessText(int32_t unit, const std::string& decimalSeparator) {
    switch (unit) {
        case PercentUnit:
            return "100" + decimalSeparator + "0%";
        case DecibelUnit:
            return "-99" + decimalSeparator + "0dB";
        default:
            return "99999 ";
    }
}

std::string WidestLoudnessText(int32_t unit) {
    return WidestLoudnessText(unit, LocaleDecimalSeparator());
}

}  // namespace tralux
