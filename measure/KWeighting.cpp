#include "KWeighting.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

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

using RunFunction = void (*)(const ChannelPair* input, size_t count, const KWeighting& weighting,
                             KWeightingState& state, ChannelPair& sumOfSquares);

// 16-bit stereo frames converted a piece at a time, then weighted by run.
template <RunFunction Run>
void ConvertThenRun(const int16_t* frames, size_t count, const KWeighting& weighting,
                    KWeightingState& state, ChannelPair& sumOfSquares, float* left, float* right) {
    constexpr size_t kPiece = 256;
    ChannelPair pairs[kPiece];
    for (size_t at = 0; at < count; at += kPiece) {
        const size_t n = std::min(kPiece, count - at);
        for (size_t i = 0; i < n; ++i) {
            pairs[i] = ChannelPair{frames[2 * (at + i)] * (1.0 / 32768.0),
                                   frames[2 * (at + i) + 1] * (1.0 / 32768.0)};
            if (left != nullptr) {
                left[at + i] = static_cast<float>(pairs[i][0]);
                right[at + i] = static_cast<float>(pairs[i][1]);
            }
        }
        Run(pairs, n, weighting, state, sumOfSquares);
    }
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

TRALUX_TARGET inline __m256d Join(__m128d low, __m128d high) {
    return _mm256_insertf128_pd(_mm256_castpd128_pd256(low), high, 1);
}

// Frames the high-pass runs behind the shelf in RunPacked: enough that the shelf's output,
// passed across the vector, never holds up the recursions.
constexpr size_t kLag = 8;

// The two stages in one vector, the shelf in the low lanes on frame i and the high-pass in the
// high lanes on frame i - kLag, which the shelf's output reaches through a ring of kLag frames.
// The first frames' shelf and the last frames' high-pass run on their own (Begin, Finish), so
// that a call leaves nothing half done. Every lane computes what Run computes, in the same
// order (the high-pass's outer taps are 1, whose products are exact).
struct PackedStages {
    __m128d ring[kLag];
    __m256d negA1, negA2, b0, b1, b2;
    __m256d v1, v2, sum;

    // The shelf alone over frames 0 to kLag - 1, input(i) giving frame i as a pair.
    template <typename Input>
    TRALUX_TARGET inline void Begin(const Input& input, const KWeighting& weighting,
                                    const KWeightingState& state, const ChannelPair& sumOfSquares) {
        const Biquad& s = weighting.Shelf;
        const Biquad& h = weighting.HighPass;
        __m128d s1 = Load(state.Shelf[0]), s2 = Load(state.Shelf[1]);
        {
            const __m128d shelfNegA1 = _mm_set1_pd(-s.A1), shelfNegA2 = _mm_set1_pd(-s.A2);
            const __m128d shelfB0 = _mm_set1_pd(s.B0), shelfB1 = _mm_set1_pd(s.B1);
            const __m128d shelfB2 = _mm_set1_pd(s.B2);
            for (size_t i = 0; i < kLag; ++i) {
                const __m128d s0 =
                    _mm_fmadd_pd(shelfNegA1, s1, _mm_fmadd_pd(shelfNegA2, s2, input(i)));
                ring[i] =
                    _mm_fmadd_pd(shelfB2, s2, _mm_fmadd_pd(shelfB1, s1, _mm_mul_pd(shelfB0, s0)));
                s2 = s1;
                s1 = s0;
            }
        }
        negA1 = _mm256_setr_pd(-s.A1, -s.A1, -h.A1, -h.A1);
        negA2 = _mm256_setr_pd(-s.A2, -s.A2, -h.A2, -h.A2);
        b0 = _mm256_setr_pd(s.B0, s.B0, h.B0, h.B0);
        b1 = _mm256_setr_pd(s.B1, s.B1, h.B1, h.B1);
        b2 = _mm256_setr_pd(s.B2, s.B2, h.B2, h.B2);
        v1 = Join(s1, Load(state.HighPass[0]));
        v2 = Join(s2, Load(state.HighPass[1]));
        sum = Join(_mm_setzero_pd(), Load(sumOfSquares));
    }

    // One frame: both holds its input in the low lanes and, in the high lanes, the shelf's
    // output kLag frames back, whose slot then takes the shelf's output of this frame.
    TRALUX_TARGET inline void Step(__m256d both, __m128d& slot) {
        const __m256d v0 = _mm256_fmadd_pd(negA1, v1, _mm256_fmadd_pd(negA2, v2, both));
        const __m256d stage =
            _mm256_fmadd_pd(b2, v2, _mm256_fmadd_pd(b1, v1, _mm256_mul_pd(b0, v0)));
        v2 = v1;
        v1 = v0;
        sum = _mm256_fmadd_pd(stage, stage, sum);  // the low lanes' sum is never read
        slot = _mm256_castpd256_pd128(stage);
    }

    // The high-pass alone over the last kLag frames of a call of count.
    TRALUX_TARGET inline void Finish(size_t count, const KWeighting& weighting,
                                     KWeightingState& state, ChannelPair& sumOfSquares) {
        const Biquad& h = weighting.HighPass;
        const __m128d hNegA1 = _mm_set1_pd(-h.A1), hNegA2 = _mm_set1_pd(-h.A2);
        const __m128d hB1 = _mm_set1_pd(h.B1);
        __m128d h1 = _mm256_extractf128_pd(v1, 1), h2 = _mm256_extractf128_pd(v2, 1);
        __m128d total = _mm256_extractf128_pd(sum, 1);
        for (size_t i = count; i < count + kLag; ++i) {
            const __m128d h0 = _mm_fmadd_pd(hNegA1, h1, _mm_fmadd_pd(hNegA2, h2, ring[i % kLag]));
            const __m128d weighted = _mm_add_pd(_mm_fmadd_pd(hB1, h1, h0), h2);
            h2 = h1;
            h1 = h0;
            total = _mm_fmadd_pd(weighted, weighted, total);
        }
        state.Shelf[0] = Pair(_mm256_castpd256_pd128(v1));
        state.Shelf[1] = Pair(_mm256_castpd256_pd128(v2));
        state.HighPass[0] = Pair(h1);
        state.HighPass[1] = Pair(h2);
        sumOfSquares = Pair(total);
    }
};

// input(i) gives frame i as a pair; the caller runs calls shorter than 2 x kLag elsewhere.
template <typename Input>
TRALUX_TARGET inline void RunPackedOver(const Input& input, size_t count,
                                        const KWeighting& weighting, KWeightingState& state,
                                        ChannelPair& sumOfSquares) {
    PackedStages stages;
    stages.Begin(input, weighting, state, sumOfSquares);
    for (size_t i = kLag; i < count; ++i) {
        __m128d& slot = stages.ring[i % kLag];
        stages.Step(Join(input(i), slot), slot);
    }
    stages.Finish(count, weighting, state, sumOfSquares);
    _mm256_zeroupper();
}

TRALUX_TARGET void RunPacked(const ChannelPair* input, size_t count, const KWeighting& weighting,
                             KWeightingState& state, ChannelPair& sumOfSquares) {
    if (count < 2 * kLag) {
        Run(input, count, weighting, state, sumOfSquares);
        return;
    }
    RunPackedOver([input](size_t i) TRALUX_TARGET { return Load(input[i]); }, count, weighting,
                  state, sumOfSquares);
}

// Frame i of 16-bit stereo as a pair, each sample taken as sample / 32768 (exact); with Peaks,
// its samples also go to left and right as floats (exact too), for the peak scan.
template <bool Peaks>
struct Stereo16Frames {
    const int16_t* frames;
    float* left;
    float* right;

    TRALUX_TARGET inline __m128d operator()(size_t i) const {
        int32_t both;
        std::memcpy(&both, frames + 2 * i, sizeof both);
        const __m128d pair =
            _mm_mul_pd(_mm_cvtepi32_pd(_mm_cvtepi16_epi32(_mm_cvtsi32_si128(both))),
                       _mm_set1_pd(1.0 / 32768.0));
        if constexpr (Peaks) {
            const __m128 floats = _mm_cvtpd_ps(pair);
            _mm_store_ss(left + i, floats);
            _mm_store_ss(right + i, _mm_movehdup_ps(floats));
        }
        return pair;
    }
};

// 16-bit stereo frames converted where the loop reads them, and handed to the peak scan as
// floats on the way: the loop waits on its recursions, which leaves room for the conversions.
template <bool Peaks>
TRALUX_TARGET void RunPackedStereo16(const int16_t* frames, size_t count,
                                     const KWeighting& weighting, KWeightingState& state,
                                     ChannelPair& sumOfSquares, float* left, float* right) {
    if (count < 2 * kLag) {
        ConvertThenRun<Run>(frames, count, weighting, state, sumOfSquares, left, right);
        return;
    }
    RunPackedOver(Stereo16Frames<Peaks>{frames, left, right}, count, weighting, state,
                  sumOfSquares);
}

#undef TRALUX_TARGET

}  // namespace avxfma

namespace avx2fma {

#define TRALUX_TARGET __attribute__((target("avx2,fma")))

constexpr size_t kLag = avxfma::kLag;

// Frames at to at + 3 of 16-bit stereo as two vectors of two pairs, each sample taken as the
// frame-by-frame code takes it; with Peaks, their samples also go to left and right as floats.
template <bool Peaks>
TRALUX_TARGET inline void LoadFour(const int16_t* frames, size_t at, float* left, float* right,
                                   __m256d& first, __m256d& second) {
    // L0 R0 L1 R1 L2 R2 L3 R3
    const __m256i ints =
        _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(frames + 2 * at)));
    const __m256d scale = _mm256_set1_pd(1.0 / 32768.0);
    first = _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(ints)), scale);
    second = _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(ints, 1)), scale);
    if constexpr (Peaks) {
        const __m256 floats =
            _mm256_mul_ps(_mm256_cvtepi32_ps(ints), _mm256_set1_ps(1.0f / 32768.0f));
        const __m256 split =
            _mm256_permutevar8x32_ps(floats, _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
        _mm_storeu_ps(left + at, _mm256_castps256_ps128(split));
        _mm_storeu_ps(right + at, _mm256_extractf128_ps(split, 1));
    }
}

// avxfma::RunPackedStereo16 with the frames converted kLag at a time, which takes the loop from
// some twenty instructions a frame to about a dozen: with fewer, the recursions set its pace.
template <bool Peaks>
TRALUX_TARGET void RunPackedStereo16(const int16_t* frames, size_t count,
                                     const KWeighting& weighting, KWeightingState& state,
                                     ChannelPair& sumOfSquares, float* left, float* right) {
    if (count < 2 * kLag) {
        ConvertThenRun<avxfma::Run>(frames, count, weighting, state, sumOfSquares, left, right);
        return;
    }
    const avxfma::Stereo16Frames<Peaks> frame{frames, left, right};
    avxfma::PackedStages stages;
    stages.Begin(frame, weighting, state, sumOfSquares);
    size_t i = kLag;
    // A group starts on a multiple of kLag, so its frames use the ring's slots in order.
    for (; i + kLag <= count; i += kLag) {
        __m256d pairs[kLag / 2];
#pragma GCC unroll 4
        for (size_t k = 0; k < kLag / 2; k += 2) {
            LoadFour<Peaks>(frames, i + 2 * k, left, right, pairs[k], pairs[k + 1]);
        }
#pragma GCC unroll 8
        for (size_t k = 0; k < kLag; k += 2) {
            __m128d& even = stages.ring[k];
            __m128d& odd = stages.ring[k + 1];
            stages.Step(_mm256_insertf128_pd(pairs[k / 2], even, 1), even);
            stages.Step(_mm256_permute2f128_pd(pairs[k / 2], _mm256_castpd128_pd256(odd), 0x21),
                        odd);
        }
    }
    for (; i < count; ++i) {
        __m128d& slot = stages.ring[i % kLag];
        stages.Step(avxfma::Join(frame(i), slot), slot);
    }
    stages.Finish(count, weighting, state, sumOfSquares);
    _mm256_zeroupper();
}

#undef TRALUX_TARGET

}  // namespace avx2fma

using Stereo16Function = void (*)(const int16_t* frames, size_t count, const KWeighting& weighting,
                                  KWeightingState& state, ChannelPair& sumOfSquares, float* left,
                                  float* right);

// A kernel's 16-bit stereo entry: the form that also hands the peak scan its floats, or the one
// that does not.
template <Stereo16Function WithPeaks, Stereo16Function WithoutPeaks>
void ByPeaks(const int16_t* frames, size_t count, const KWeighting& weighting,
             KWeightingState& state, ChannelPair& sumOfSquares, float* left, float* right) {
    (left != nullptr ? WithPeaks : WithoutPeaks)(frames, count, weighting, state, sumOfSquares,
                                                 left, right);
}
#endif

std::vector<WeightingKernel> FindRunnableKernels() {
    std::vector<WeightingKernel> kernels;
#ifdef TRALUX_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
        kernels.push_back(
            {"avx2fmapacked", avxfma::RunPacked,
             ByPeaks<avx2fma::RunPackedStereo16<true>, avx2fma::RunPackedStereo16<false>>});
    }
    if (__builtin_cpu_supports("avx") && __builtin_cpu_supports("fma")) {
        kernels.push_back(
            {"avxfmapacked", avxfma::RunPacked,
             ByPeaks<avxfma::RunPackedStereo16<true>, avxfma::RunPackedStereo16<false>>});
        kernels.push_back({"avxfma", avxfma::Run, ConvertThenRun<avxfma::Run>});
    }
#endif
    kernels.push_back({"portable", portable::Run, ConvertThenRun<portable::Run>});
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

void WeightAndSquareStereo16(const int16_t* frames, size_t count, const KWeighting& weighting,
                             KWeightingState& state, ChannelPair& sumOfSquares, float* left,
                             float* right) {
    static const auto run = RunnableWeightingKernels().front().RunStereo16;
    run(frames, count, weighting, state, sumOfSquares, left, right);
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
