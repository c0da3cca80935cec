#include "KWeighting.h"

#include <cmath>

namespace tralux {
namespace {

// The analog prototypes' parameters, chosen so that the bilinear transform at 48 kHz gives
// the published coefficients to their last digit (as libebur128 derives them).
constexpr double kShelfFrequency = 1681.974450955533;
constexpr double kShelfGainDb = 3.999843853973347;
constexpr double kShelfQ = 0.7071752369554196;
constexpr double kShelfBandShare = 0.4996667741545416;
constexpr double kHighPassFrequency = 38.13547087602444;
constexpr double kHighPassQ = 0.5003270373238773;

Biquad DesignShelf(double sampleRate) {
    const double k = std::tan(M_PI * kShelfFrequency / sampleRate);
    const double vh = std::pow(10.0, kShelfGainDb / 20.0);
    const double vb = std::pow(vh, kShelfBandShare);
    const double a0 = 1.0 + k / kShelfQ + k * k;
    return {(vh + vb * k / kShelfQ + k * k) / a0, 2.0 * (k * k - vh) / a0,
            (vh - vb * k / kShelfQ + k * k) / a0, 2.0 * (k * k - 1.0) / a0,
            (1.0 - k / kShelfQ + k * k) / a0};
}

// The published high-pass keeps the numerator 1, -2, 1 unnormalised; the constant -0.691 of
// the loudness formula accounts for its gain.
Biquad DesignHighPass(double sampleRate) {
    const double k = std::tan(M_PI * kHighPassFrequency / sampleRate);
    const double a0 = 1.0 + k / kHighPassQ + k * k;
    return {1.0, -2.0, 1.0, 2.0 * (k * k - 1.0) / a0, (1.0 - k / kHighPassQ + k * k) / a0};
}

inline ChannelPair Splat(double value) {
    return ChannelPair{value, value};
}

inline ChannelPair ZeroIfNegligible(ChannelPair v) {
    for (int lane = 0; lane < 2; ++lane) {
        if (std::fabs(v[lane]) < 1e-100) {
            v[lane] = 0.0;
        }
    }
    return v;
}

}  // namespace

KWeighting DesignKWeighting(double sampleRate) {
    return {DesignShelf(sampleRate), DesignHighPass(sampleRate)};
}

// The state lives in locals for the whole run. Each recursion's older term is subtracted
// first, so that only one multiply and one subtraction wait for the previous sample.
void WeightAndSquare(const ChannelPair* input, size_t count, const KWeighting& weighting,
                     KWeightingState& state, ChannelPair& sumOfSquares) {
    const Biquad& s = weighting.Shelf;
    const ChannelPair sb0 = Splat(s.B0), sb1 = Splat(s.B1), sb2 = Splat(s.B2);
    const ChannelPair sa1 = Splat(s.A1), sa2 = Splat(s.A2);
    const ChannelPair ha1 = Splat(weighting.HighPass.A1), ha2 = Splat(weighting.HighPass.A2);
    ChannelPair s1 = state.Shelf[0], s2 = state.Shelf[1];
    ChannelPair h1 = state.HighPass[0], h2 = state.HighPass[1];
    ChannelPair sum = sumOfSquares;
    for (size_t i = 0; i < count; ++i) {
        const ChannelPair s0 = (input[i] - sa2 * s2) - sa1 * s1;
        const ChannelPair shelved = sb0 * s0 + sb1 * s1 + sb2 * s2;
        s2 = s1;
        s1 = s0;
        const ChannelPair h0 = (shelved - ha2 * h2) - ha1 * h1;
        const ChannelPair weighted = (h0 + h2) - (h1 + h1);
        h2 = h1;
        h1 = h0;
        sum += weighted * weighted;
    }
    state.Shelf[0] = s1;
    state.Shelf[1] = s2;
    state.HighPass[0] = h1;
    state.HighPass[1] = h2;
    sumOfSquares = sum;
}

void ClearNegligibleState(KWeightingState& state) {
    for (ChannelPair& v : state.Shelf) {
        v = ZeroIfNegligible(v);
    }
    for (ChannelPair& v : state.HighPass) {
        v = ZeroIfNegligible(v);
    }
}

}  // namespace tralux
