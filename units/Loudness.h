#pragma once

#include <cstdint>
#include <string>

namespace tralux {

// Display unit of loudness, stored as the integer setting `loudnessunits`. Any stored value
// other than PercentUnit and DecibelUnit formats as SampleUnit.
enum LoudnessUnit : int32_t {
    PercentUnit = 0,  // "Percentage": level x 100 / 32767, one decimal, "%"
    DecibelUnit = 1,  // "Decibels": 6 dB per doubling, 0 dB at 32768, one decimal, "dB"
    SampleUnit = 2,   // "Sample Value": the level as a whole number
};

// Decibels of a sample amplitude on the display scale: 6 * log2(s) - 90, so amplitude 1 is
// -90 dB and 32768 would be 0 dB. Amplitudes of 0 or below give -90.
double SampleToDecibels(int16_t amplitude);

// The amplitude of a decibel value: 2^((d + 90) / 6) rounded to the nearest integer (ties to
// even), at most 32767. NaN gives 0.
int16_t DecibelsToSample(double decibels);

// SampleToDecibels as one-decimal text without a suffix ("-21.3").
std::string DecibelText(int16_t amplitude, const std::string& decimalSeparator);
std::string DecibelText(int16_t amplitude);

// A loudness level (0 to 32767 on the 16-bit sample scale) as text in the given unit, with the
// unit's suffix and no blank before it: "8.6%", "-21.3dB", "2810". In decibels the level is
// rounded (ties to even) and kept within 0..32767 before it is taken as an amplitude.
std::string LoudnessText(double level, int32_t unit, const std::string& decimalSeparator);
std::string LoudnessText(double level, int32_t unit);

// The widest text a unit produces, for reserving room beside the loudness bars: "100.0%",
// "-99.0dB" or "99999 " (with one trailing blank), with the given decimal separator.
std::string WidestLoudnessText(int32_t unit, const std::string& decimalSeparator);
std::string WidestLoudnessText(int32_t unit);

}  // namespace tralux
