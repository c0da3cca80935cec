#pragma once

#include <array>
#include <cstddef>
#include <vector>

namespace tralux {

// The polyphase FIR that interpolates the points between input samples: a 49-tap
// Hann-windowed sinc, split by the oversampling factor. The phase that holds the middle tap
// passes the input through, delayed, so only the other phases are computed. The design is
// libebur128's, so that both read the same peak.
struct PeakInterpolator {
    int Factor = 1;        // 4 below 96 kHz, 2 below 192 kHz, else 1 (the sample peak only)
    int TapsPerPhase = 0;  // 12 for 4x, 24 for 2x
    // Taps[p - 1][k] weighs sample n - k in the point of phase p after sample n.
    std::array<std::array<float, 24>, 3> Taps{};
    // The taps folded by their symmetry, as the kernels use them. With pair k the sum of
    // samples n - k and n - (TapsPerPhase - 1) + k, the point halfway between samples is the
    // sum of Halfway[k] x pair k. At 4x, the points a quarter either side of it come from
    // Quarters (the sums of their mirrored taps, by the same pairs) and QuarterDifferences (the
    // differences, by the differences of the samples): the larger magnitude of the two points
    // is half the sum of those two sums' magnitudes.
    std::array<float, 12> Halfway{};
    std::array<float, 6> Quarters{};
    std::array<float, 6> QuarterDifferences{};
    // A bound on |interpolated point| / max |samples it is made of|, rounding included: the
    // largest sum of |taps| over the phases, plus a margin for float rounding.
    float GainBound = 1.0f;
};

PeakInterpolator DesignPeakInterpolator(int sampleRate);

// Spans of the scan that share one skip decision.
inline constexpr size_t kPeakSpan = 256;

// One implementation of the peak scan for one instruction set. Scan reads samples[-(TapsPerPhase
// - 1)] to samples[count - 1] and returns the largest of peak, the magnitudes of those samples
// and those of the points interpolated after samples[0] to samples[count - 1]. A span of
// samples whose points cannot exceed the peak so far (by GainBound) is not interpolated; the
// result is the same. Every implementation adds the same products in the same order, so all
// return identical results. When largestSample is given, it is raised to the largest magnitude
// of the samples read (those before samples[0] included): the sample peak, found on the way.
struct PeakKernel {
    const char* Name;  // "avx512", "avx2" or "scalar"
    float (*Scan)(const float* samples, size_t count, const PeakInterpolator& interpolator,
                  float peak, float* largestSample);
};

// Every kernel this processor runs, the widest first; the scalar one is always last.
const std::vector<PeakKernel>& RunnablePeakKernels();
const PeakKernel& WidestPeakKernel();

}  // namespace tralux
