#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tralux {

// One second-order section: (B0 + B1 z^-1 + B2 z^-2) / (1 + A1 z^-1 + A2 z^-2).
struct Biquad {
    double B0, B1, B2, A1, A2;
};

// The two stages of the K-weighting curve: a high shelf of about +4 dB above 1.5 kHz (the
// effect of the head) and a second-order high-pass near 38 Hz.
struct KWeighting {
    Biquad Shelf;
    Biquad HighPass;
};

// The stages for a sample rate, derived from their analog prototypes by the bilinear
// transform; at 48 kHz they equal the published coefficient table. sampleRate must be above
// 3.4 kHz, twice the shelf's centre frequency.
KWeighting DesignKWeighting(double sampleRate);

// The most the curve multiplies the power of any frequency by, at any rate from 8 kHz up (the
// shelf's +4 dB, a little more at the lowest rates): what weighting can make of noise.
inline constexpr double kLargestWeightingPowerGain = 2.7;

// Two channels filtered side by side, one in each lane. An odd channel out runs beside a lane
// of zeros.
using ChannelPair = double __attribute__((vector_size(16)));

// The delay lines of both stages (direct form II), newest first. Zero is silence.
struct KWeightingState {
    ChannelPair Shelf[2] = {};
    ChannelPair HighPass[2] = {};
};

// Weights count frames of a channel pair and adds the squares of the weighted samples to
// sumOfSquares one after the other, so that any split of a run into calls gives the same sums.
// Every product that feeds a sum is fused with it (one rounding), so that a processor with
// fused multiply-add waits on one instruction a frame in each recursion, and one without gives
// the same sums bit for bit through std::fma.
void WeightAndSquare(const ChannelPair* input, size_t count, const KWeighting& weighting,
                     KWeightingState& state, ChannelPair& sumOfSquares);

// WeightAndSquare of 16-bit stereo frames (full scale 32768), each sample taken as sample /
// 32768, which is exact. When left is given, the same samples also go to left and right as
// floats (exact too), a channel each, for the true-peak scan.
void WeightAndSquareStereo16(const int16_t* frames, size_t count, const KWeighting& weighting,
                             KWeightingState& state, ChannelPair& sumOfSquares, float* left,
                             float* right);

// One implementation of WeightAndSquare and WeightAndSquareStereo16 for one instruction set;
// all give identical sums.
struct WeightingKernel {
    const char* Name;  // "avxfmapacked", "avxfma" or "portable"
    void (*Run)(const ChannelPair* input, size_t count, const KWeighting& weighting,
                KWeightingState& state, ChannelPair& sumOfSquares);
    void (*RunStereo16)(const int16_t* frames, size_t count, const KWeighting& weighting,
                        KWeightingState& state, ChannelPair& sumOfSquares, float* left,
                        float* right);
};

// Every kernel this processor runs, the fastest first; the portable one is always last.
const std::vector<WeightingKernel>& RunnableWeightingKernels();

// Sets to zero the state values far below any audible level (1e-100), so that the decay after
// a sound stops never leaves the filter computing in slow subnormal numbers.
void ClearNegligibleState(KWeightingState& state);

}  // namespace tralux
