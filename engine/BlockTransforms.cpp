#include "BlockTransforms.h"

#include <cmath>

namespace tralux {
namespace scalar {
namespace {

// Comparisons are written so that a NaN falls to the bound, as the vector min/max do.
inline double AtLeast(double value, double low) {
    return value > low ? value : low;
}
inline double AtMost(double value, double high) {
    return value < high ? value : high;
}

inline int16_t Store(int16_t& sample, double rounded, int64_t& sum) {
    const auto written = static_cast<int16_t>(rounded);
    sample = written;
    sum += int32_t{written} * int32_t{written};
    return written;
}

}  // namespace

int64_t ScanSamples(int16_t* samples, size_t count, int16_t& peak) {
    int64_t sum = 0;
    for (size_t i = 0; i < count; ++i) {
        int32_t s = samples[i];
        if (s == -32768) {
            s = -32767;
            samples[i] = -32767;
        }
        const int32_t magnitude = s < 0 ? -s : s;
        if (magnitude > peak) {
            peak = static_cast<int16_t>(magnitude);
        }
        sum += s * s;
    }
    return sum;
}

int64_t GainSamples(int16_t* samples, size_t count, double gain) {
    int64_t sum = 0;
    for (size_t i = 0; i < count; ++i) {
        const double r = std::nearbyint(static_cast<double>(samples[i]) * gain);
        // -32768 is written as -32767; the upper bound only guards against a gain that no
        // caller uses.
        Store(samples[i], AtMost(AtLeast(r, -32767.0), 32767.0), sum);
    }
    return sum;
}

int64_t CompressSamples(int16_t* samples, size_t count, double threshold, double ratio,
                        double makeUpGain) {
    int64_t sum = 0;
    for (size_t i = 0; i < count; ++i) {
        const double s = samples[i];
        double a = std::fabs(s);
        if (a > threshold) {
            a = threshold + (a - threshold) / ratio;
        }
        a = AtMost(a * makeUpGain, 32767.0);
        // Rounding halves to even is symmetric, so rounding the magnitude and then giving
        // it the sign equals rounding the signed value.
        const double r = std::nearbyint(a);
        Store(samples[i], s < 0 ? -r : r, sum);
    }
    return sum;
}

int64_t ReduceSamples(int16_t* samples, size_t count, double gain) {
    int64_t sum = 0;
    for (size_t i = 0; i < count; ++i) {
        const double s = samples[i];
        const double r = std::nearbyint(AtMost(std::fabs(s) * gain, 32767.0));
        Store(samples[i], s < 0 ? -r : r, sum);
    }
    return sum;
}

}  // namespace scalar

int64_t ScanSamples(int16_t* samples, size_t count, int16_t& peak) {
    return scalar::ScanSamples(samples, count, peak);
}
int64_t GainSamples(int16_t* samples, size_t count, double gain) {
    return scalar::GainSamples(samples, count, gain);
}
int64_t CompressSamples(int16_t* samples, size_t count, double threshold, double ratio,
                        double makeUpGain) {
    return scalar::CompressSamples(samples, count, threshold, ratio, makeUpGain);
}
int64_t ReduceSamples(int16_t* samples, size_t count, double gain) {
    return scalar::ReduceSamples(samples, count, gain);
}
const char* TransformInstructionSet() {
    return "scalar";
}

}  // namespace tralux
