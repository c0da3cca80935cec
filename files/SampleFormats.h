#pragma once

#include <cstddef>

#include "WavFormat.h"

namespace tralux {

// Every format is measured on one scale, that of 16-bit samples: 32767 is full scale. A b-bit
// integer s counts s * 32767 / (2^(b-1) - 1), an 8-bit one (v - 128) * 32767 / 127, a float x
// counts x * 32767; a 16-bit sample counts as itself exactly.
inline constexpr double FullScale = 32767.0;

// The value of one stored sample on the scale. Bits of a container below its valid bits count
// as the fraction they are. A float NaN counts as silence, an infinity as full scale and a
// float beyond +120 dBFS as +120 dBFS, so that one damaged sample cannot make every level of a
// file meaningless.
double DecodeSample(const SampleFormat& format, const unsigned char* bytes);

// Stores a value on the scale as the nearest value of the format's own grid. Integers round
// halves to even (in the default rounding mode) and are held to the format's range; padding
// bits are written as zeros. Floats take the nearest float, held to -1.0 ... 1.0 so that a
// result is never above full scale; NaN is written as 0.
void EncodeSample(const SampleFormat& format, double value, unsigned char* bytes);

// The same for count interleaved samples.
void DecodeSamples(const SampleFormat& format, const unsigned char* bytes, size_t count,
                   double* values);
void EncodeSamples(const SampleFormat& format, const double* values, size_t count,
                   unsigned char* bytes);

// The peak a decoded value counts for: its magnitude, except that the most negative integer
// counts as full scale, as -32768 does for 16 bits. Floats above full scale keep their size.
double PeakOf(const SampleFormat& format, double value);

}  // namespace tralux
