#include "TruePeak.h"

#include <algorithm>
#include <cmath>

#if defined(__x86_64__) || defined(__i386__)
// GCC 12's AVX-512 intrinsics start some results from deliberately undefined vectors, which
// its uninitialised-use analysis reports once they are inlined here.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#define TRALUX_X86 1
#endif

namespace tralux {
namespace {

constexpr int kDesignTaps = 49;

using MaxAbsFunction = float (*)(const float* samples, size_t count);
using InterpolateFunction = float (*)(const float* samples, size_t begin, size_t end,
                                      const PeakInterpolator& interpolator, float peak);

// The driver every kernel shares: spans whose samples, times GainBound, stay at or below the
// peak so far cannot raise it and are not interpolated. The window of a span includes the
// samples before it that its first points are made of.
template <int Taps, MaxAbsFunction MaxAbs, InterpolateFunction Interpolate>
float ScanSpans(const float* samples, size_t count, const PeakInterpolator& interpolator,
                float peak, float* largestSample) {
    float largest = 0.0f;
    for (size_t begin = 0; begin < count; begin += kPeakSpan) {
        const size_t end = std::min(count, begin + kPeakSpan);
        const float window = MaxAbs(samples + begin - (Taps - 1), end - begin + Taps - 1);
        largest = std::max(largest, window);
        peak = std::max(peak, window);
        if (window * interpolator.GainBound > peak) {
            peak = Interpolate(samples, begin, end, interpolator, peak);
        }
    }
    if (largestSample != nullptr) {
        *largestSample = std::max(*largestSample, largest);
    }
    return peak;
}

// The sample peak alone, at rates where no point between samples is interpolated.
template <MaxAbsFunction MaxAbs>
float SamplesOnly(const float* samples, size_t count, float peak, float* largestSample) {
    const float largest = MaxAbs(samples, count);
    if (largestSample != nullptr) {
        *largestSample = std::max(*largestSample, largest);
    }
    return std::max(peak, largest);
}

// A kernel's scan, from its window maxima and its interpolations at 4x and at 2x.
template <MaxAbsFunction MaxAbs, InterpolateFunction AtFour, InterpolateFunction AtTwo>
float ScanBy(const float* samples, size_t count, const PeakInterpolator& interpolator, float peak,
             float* largestSample) {
    switch (interpolator.Factor) {
        case 4:
            return ScanSpans<12, MaxAbs, AtFour>(samples, count, interpolator, peak, largestSample);
        case 2:
            return ScanSpans<24, MaxAbs, AtTwo>(samples, count, interpolator, peak, largestSample);
        default:
            return SamplesOnly<MaxAbs>(samples, count, peak, largestSample);
    }
}

}  // namespace

namespace scalar {
namespace {

float MaxAbs(const float* samples, size_t count) {
    float peak = 0.0f;
    for (size_t i = 0; i < count; ++i) {
        peak = std::max(peak, std::fabs(samples[i]));
    }
    return peak;
}

// The points after samples begin to end - 1: Half pairs of mirrored samples per point.
template <int Half, bool Quarters>
float Interpolate(const float* samples, size_t begin, size_t end,
                  const PeakInterpolator& interpolator, float peak) {
    for (size_t n = begin; n < end; ++n) {
        const float* newest = samples + n;
        const float* oldest = newest - (2 * Half - 1);
        float halfway = 0.0f, quarters = 0.0f, differences = 0.0f;
        for (int k = 0; k < Half; ++k) {
            const float pair = newest[-k] + oldest[k];
            halfway += interpolator.Halfway[k] * pair;
            if constexpr (Quarters) {
                quarters += interpolator.Quarters[k] * pair;
                differences += interpolator.QuarterDifferences[k] * (newest[-k] - oldest[k]);
            }
        }
        peak = std::max(peak, std::fabs(halfway));
        if constexpr (Quarters) {
            peak = std::max(peak, (std::fabs(quarters) + std::fabs(differences)) * 0.5f);
        }
    }
    return peak;
}

}  // namespace
}  // namespace scalar

#ifdef TRALUX_X86
// The vector kernels compute sixteen (or eight) neighbouring points of a phase at once, each
// lane adding the very products of the scalar kernel in its order; the points left at the end
// of a span go through the scalar code.
namespace avx2 {
namespace {

#define TRALUX_TARGET __attribute__((target("avx2")))

TRALUX_TARGET inline __m256 Abs(__m256 v) {
    return _mm256_and_ps(v, _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff)));
}

TRALUX_TARGET inline float Largest(__m256 v) {
    __m128 m = _mm_max_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    m = _mm_max_ps(m, _mm_movehl_ps(m, m));
    m = _mm_max_ss(m, _mm_shuffle_ps(m, m, 1));
    return _mm_cvtss_f32(m);
}

TRALUX_TARGET float MaxAbs(const float* samples, size_t count) {
    __m256 peaks = _mm256_setzero_ps();
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        peaks = _mm256_max_ps(peaks, Abs(_mm256_loadu_ps(samples + i)));
    }
    return std::max(Largest(peaks), scalar::MaxAbs(samples + i, count - i));
}

template <int Half, bool Quarters>
TRALUX_TARGET float Interpolate(const float* samples, size_t begin, size_t end,
                                const PeakInterpolator& interpolator, float peak) {
    const __m256 half = _mm256_set1_ps(0.5f);
    __m256 peaks = _mm256_set1_ps(peak);
    size_t n = begin;
    for (; n + 8 <= end; n += 8) {
        const float* newest = samples + n;
        const float* oldest = newest - (2 * Half - 1);
        __m256 halfway = _mm256_setzero_ps(), quarters = halfway, differences = halfway;
        for (int k = 0; k < Half; ++k) {
            const __m256 a = _mm256_loadu_ps(newest - k), b = _mm256_loadu_ps(oldest + k);
            const __m256 pair = _mm256_add_ps(a, b);
            halfway = _mm256_add_ps(halfway,
                                    _mm256_mul_ps(_mm256_set1_ps(interpolator.Halfway[k]), pair));
            if constexpr (Quarters) {
                quarters = _mm256_add_ps(
                    quarters, _mm256_mul_ps(_mm256_set1_ps(interpolator.Quarters[k]), pair));
                differences = _mm256_add_ps(
                    differences, _mm256_mul_ps(_mm256_set1_ps(interpolator.QuarterDifferences[k]),
                                               _mm256_sub_ps(a, b)));
            }
        }
        peaks = _mm256_max_ps(peaks, Abs(halfway));
        if constexpr (Quarters) {
            peaks = _mm256_max_ps(
                peaks, _mm256_mul_ps(_mm256_add_ps(Abs(quarters), Abs(differences)), half));
        }
    }
    const float largest = Largest(peaks);
    // The scalar code that follows would otherwise pay for the dirty upper halves of the
    // vector registers on every instruction, here and after the return.
    _mm256_zeroupper();
    return scalar::Interpolate<Half, Quarters>(samples, n, end, interpolator, largest);
}

#undef TRALUX_TARGET
}  // namespace
}  // namespace avx2

namespace avx512 {
namespace {

#define TRALUX_TARGET __attribute__((target("avx512f")))

TRALUX_TARGET inline __m512 Abs(__m512 v) {
    return _mm512_castsi512_ps(
        _mm512_and_si512(_mm512_castps_si512(v), _mm512_set1_epi32(0x7fffffff)));
}

TRALUX_TARGET float MaxAbs(const float* samples, size_t count) {
    __m512 peaks = _mm512_setzero_ps();
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        peaks = _mm512_max_ps(peaks, Abs(_mm512_loadu_ps(samples + i)));
    }
    return std::max(_mm512_reduce_max_ps(peaks), scalar::MaxAbs(samples + i, count - i));
}

template <int Half, bool Quarters>
TRALUX_TARGET float Interpolate(const float* samples, size_t begin, size_t end,
                                const PeakInterpolator& interpolator, float peak) {
    const __m512 half = _mm512_set1_ps(0.5f);
    __m512 peaks = _mm512_set1_ps(peak);
    size_t n = begin;
    for (; n + 16 <= end; n += 16) {
        const float* newest = samples + n;
        const float* oldest = newest - (2 * Half - 1);
        __m512 halfway = _mm512_setzero_ps(), quarters = halfway, differences = halfway;
        for (int k = 0; k < Half; ++k) {
            const __m512 a = _mm512_loadu_ps(newest - k), b = _mm512_loadu_ps(oldest + k);
            const __m512 pair = _mm512_add_ps(a, b);
            halfway = _mm512_add_ps(halfway,
                                    _mm512_mul_ps(_mm512_set1_ps(interpolator.Halfway[k]), pair));
            if constexpr (Quarters) {
                quarters = _mm512_add_ps(
                    quarters, _mm512_mul_ps(_mm512_set1_ps(interpolator.Quarters[k]), pair));
                differences = _mm512_add_ps(
                    differences, _mm512_mul_ps(_mm512_set1_ps(interpolator.QuarterDifferences[k]),
                                               _mm512_sub_ps(a, b)));
            }
        }
        peaks = _mm512_max_ps(peaks, Abs(halfway));
        if constexpr (Quarters) {
            peaks = _mm512_max_ps(
                peaks, _mm512_mul_ps(_mm512_add_ps(Abs(quarters), Abs(differences)), half));
        }
    }
    const float largest = _mm512_reduce_max_ps(peaks);
    _mm256_zeroupper();  // as in avx2::Interpolate
    return scalar::Interpolate<Half, Quarters>(samples, n, end, interpolator, largest);
}

#undef TRALUX_TARGET
}  // namespace
}  // namespace avx512
#endif

PeakInterpolator DesignPeakInterpolator(int sampleRate) {
    PeakInterpolator interpolator;
    interpolator.Factor = sampleRate < 96000 ? 4 : sampleRate < 192000 ? 2 : 1;
    if (interpolator.Factor == 1) {
        return interpolator;
    }
    const int factor = interpolator.Factor;
    interpolator.TapsPerPhase = (kDesignTaps - 1) / factor;
    for (int j = 0; j < kDesignTaps; ++j) {
        const double m = j - (kDesignTaps - 1) / 2.0;
        const double x = m * M_PI / factor;
        double tap = std::fabs(m) > 1e-6 ? std::sin(x) / x : 1.0;
        // The Hann window, written in the distance from the middle so that mirrored taps are
        // equal to the last bit, which the folded kernels rely on.
        tap *= 0.5 * (1.0 + std::cos(2.0 * M_PI * m / (kDesignTaps - 1)));
        // Phase 0 holds the middle tap (1) and zeros: it is the input itself.
        if (j % factor != 0 && std::fabs(tap) > 1e-6) {
            interpolator.Taps[j % factor - 1][j / factor] = static_cast<float>(tap);
        }
    }
    const int last = interpolator.TapsPerPhase - 1;
    const auto& halfway = interpolator.Taps[factor / 2 - 1];
    const auto& quarter = interpolator.Taps[0];
    for (int k = 0; k <= last / 2; ++k) {
        interpolator.Halfway[k] = halfway[k];
        if (factor == 4) {
            interpolator.Quarters[k] = quarter[k] + quarter[last - k];
            interpolator.QuarterDifferences[k] = quarter[k] - quarter[last - k];
        }
    }
    double bound = 1.0;
    for (int p = 0; p < factor - 1; ++p) {
        double sum = 0.0;
        for (float tap : interpolator.Taps[p]) {
            sum += std::fabs(tap);
        }
        bound = std::max(bound, sum);
    }
    // A float sum of 24 products is within 24 x 2^-24 (relative) of the exact one.
    interpolator.GainBound = static_cast<float>(bound * (1.0 + 1e-5));
    return interpolator;
}

namespace {

std::vector<PeakKernel> FindRunnableKernels() {
    std::vector<PeakKernel> kernels;
#ifdef TRALUX_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) {
        kernels.push_back(
            {"avx512",
             ScanBy<avx512::MaxAbs, avx512::Interpolate<6, true>, avx512::Interpolate<12, false>>});
    }
    if (__builtin_cpu_supports("avx2")) {
        kernels.push_back(
            {"avx2",
             ScanBy<avx2::MaxAbs, avx2::Interpolate<6, true>, avx2::Interpolate<12, false>>});
    }
#endif
    kernels.push_back(
        {"scalar",
         ScanBy<scalar::MaxAbs, scalar::Interpolate<6, true>, scalar::Interpolate<12, false>>});
    return kernels;
}

}  // namespace

const std::vector<PeakKernel>& RunnablePeakKernels() {
    static const std::vector<PeakKernel> kernels = FindRunnableKernels();
    return kernels;
}

const PeakKernel& WidestPeakKernel() {
    return RunnablePeakKernels().front();
}

}  // namespace tralux
