#include "KWeighting.h"

#include <cmath>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TRALUX_X86 1
#endif

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

inline ChannelPair ZeroIfNegligible(ChannelPair v) {
    for (int lane = 0; lane < 2; ++lane) {
        if (std::fabs(v[lane]) < 1e-100) {
            v[lane] = 0.0;
        }
    }
    return v;
}

namespace portable {

// One stage for one lane: the recursion, then the numerator, every product fused with its sum.
inline double Stage(const Biquad& q, double in, double& v1, double& v2) {
    const double v0 = std::fma(-q.A1, v1, std::fma(-q.A2, v2, in));
    const double out = std::fma(q.B2, v2, std::fma(q.B1, v1, q.B0 * v0));
    v2 = v1;
    v1 = v0;
    return out;
}

void Run(const ChannelPair* input, size_t count, const KWeighting& weighting,
         KWeightingState& state, ChannelPair& sumOfSquares) {
    for (int lane = 0; lane < 2; ++lane) {
        double s1 = state.Shelf[0][lane], s2 = state.Shelf[1][lane];
        double h1 = state.HighPass[0][lane], h2 = state.HighPass[1][lane];
        double sum = sumOfSquares[lane];
        for (size_t i = 0; i < count; ++i) {
            const double shelved = Stage(weighting.Shelf, input[i][lane], s1, s2);
            const double weighted = Stage(weighting.HighPass, shelved, h1, h2);
            sum = std::fma(weighted, weighted, sum);
        }
        state.Shelf[0][lane] = s1;
        state.Shelf[1][lane] = s2;
        state.HighPass[0][lane] = h1;
        state.HighPass[1][lane] = h2;
        sumOfSquares[lane] = sum;
    }
}

}  // namespace portable

#ifdef TRALUX_X86
namespace avxfma {

#define TRALUX_TARGET __attribute__((target("avx,fma")))

TRALUX_TARGET inline __m128d Load(const ChannelPair& pair) {
    return _mm_loadu_pd(reinterpret_cast<const double*>(&pair));
}

TRALUX_TARGET inline ChannelPair Pair(__m128d v) {
    ChannelPair pair;
    _mm_storeu_pd(reinterpret_cast<double*>(&pair), v);
    return pair;
}

// Both channels of the pair side by side, each lane computing what portable::Stage computes, in
// the same order; the high-pass's numerator 1, -2, 1 needs no product for its outer taps. Each
// recursion waits on one fused multiply-add a frame, and the two stages on each other only
// forward, so a frame takes a few cycles.
TRALUX_TARGET void Run(const ChannelPair* input, size_t count, const KWeighting& weighting,
                       KWeightingState& state, ChannelPair& sumOfSquares) {
    const Biquad& s = weighting.Shelf;
    const Biquad& h = weighting.HighPass;
    const __m128d sNegA1 = _mm_set1_pd(-s.A1), sNegA2 = _mm_set1_pd(-s.A2);
    const __m128d sB0 = _mm_set1_pd(s.B0), sB1 = _mm_set1_pd(s.B1), sB2 = _mm_set1_pd(s.B2);
    const __m128d hNegA1 = _mm_set1_pd(-h.A1), hNegA2 = _mm_set1_pd(-h.A2);
    const __m128d hB1 = _mm_set1_pd(h.B1);
    __m128d s1 = Load(state.Shelf[0]), s2 = Load(state.Shelf[1]);
    __m128d h1 = Load(state.HighPass[0]), h2 = Load(state.HighPass[1]);
    __m128d sum = Load(sumOfSquares);
    for (size_t i = 0; i < count; ++i) {
        const __m128d s0 = _mm_fmadd_pd(sNegA1, s1, _mm_fmadd_pd(sNegA2, s2, Load(input[i])));
        const __m128d shelved = _mm_fmadd_pd(sB2, s2, _mm_fmadd_pd(sB1, s1, _mm_mul_pd(sB0, s0)));
        s2 = s1;
        s1 = s0;
        const __m128d h0 = _mm_fmadd_pd(hNegA1, h1, _mm_fmadd_pd(hNegA2, h2, shelved));
        const __m128d weighted = _mm_add_pd(_mm_fmadd_pd(hB1, h1, h0), h2);
        h2 = h1;
        h1 = h0;
        sum = _mm_fmadd_pd(weighted, weighted, sum);
    }
    state.Shelf[0] = Pair(s1);
    state.Shelf[1] = Pair(s2);
    state.HighPass[0] = Pair(h1);
    state.HighPass[1] = Pair(h2);
    sumOfSquares = Pair(sum);
}

#undef TRALUX_TARGET

}  // namespace avxfma
#endif

std::vector<WeightingKernel> FindRunnableKernels() {
    std::vector<WeightingKernel> kernels;
#ifdef TRALUX_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx") && __builtin_cpu_supports("fma")) {
        kernels.push_back({"avxfma", avxfma::Run});
    }
#endif
    kernels.push_back({"portable", portable::Run});
    return kernels;
}

}  // namespace

KWeighting DesignKWeighting(double sampleRate) {
    return {DesignShelf(sampleRate), DesignHighPass(sampleRate)};
}

const std::vector<WeightingKernel>& RunnableWeightingKernels() {
    static const std::vector<WeightingKernel> kernels = FindRunnableKernels();
    return kernels;
}

void WeightAndSquare(const ChannelPair* input, size_t count, const KWeighting& weighting,
                     KWeightingState& state, ChannelPair& sumOfSquares) {
    static const auto run = RunnableWeightingKernels().front().Run;
    run(input, count, weighting, state, sumOfSquares);
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
