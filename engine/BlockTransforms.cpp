#include "BlockTransforms.h"

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
namespace scalar {
namespace {

// Comparisons are written so that a NaN falls to the bound, as the vector min/max do.
inline double AtLeast(double value, double low) {
    return value > low ? value : low;
}
inline double AtMost(double value, double high) {
    return value < high ? value : high;
}

inline void Store(int16_t& sample, double rounded, int64_t& sum) {
    const auto written = static_cast<int16_t>(rounded);
    sample = written;
    sum += int32_t{written} * int32_t{written};
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
        // Rounding halves to even is symmetric, so rounding the magnitude and then giving
        // it the sign equals rounding the signed value.
        const double r = std::nearbyint(AtMost(a * makeUpGain, 32767.0));
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

#ifdef TRALUX_X86
// The vector versions do, lane by lane, the very operations of the scalar ones, in the same
// order and in double precision, so their results are identical:
// - clamping to whole-number bounds before the rounding conversion equals clamping after it;
// - the conversion to integers rounds in the current rounding mode, as nearbyint does;
// - magnitudes come from the 16-bit absolute value read as unsigned, so -32768 gives 32768;
// - squares of written samples (at most 32767) summed in pairs stay below 2^31.
// Leftover samples at the end of a block go through the scalar code.
namespace sse41 {

#define TRALUX_TARGET __attribute__((target("sse4.1")))

TRALUX_TARGET inline __m128i Widen(__m128i pairsOfSquares) {
    return _mm_add_epi64(_mm_unpacklo_epi32(pairsOfSquares, _mm_setzero_si128()),
                         _mm_unpackhi_epi32(pairsOfSquares, _mm_setzero_si128()));
}

TRALUX_TARGET inline int64_t Total(__m128i sums) {
    return _mm_cvtsi128_si64(sums) + _mm_extract_epi64(sums, 1);
}

// Two doubles of eight 16-bit values, lanes 2k and 2k+1.
TRALUX_TARGET inline __m128d Lanes(__m128i values32, int k) {
    return _mm_cvtepi32_pd(k == 0 ? values32 : _mm_srli_si128(values32, 8));
}

TRALUX_TARGET int64_t Scan(int16_t* samples, size_t count, int16_t& peak) {
    const __m128i floor = _mm_set1_epi16(-32767);
    __m128i peaks = _mm_setzero_si128();
    __m128i sums = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        auto* at = reinterpret_cast<__m128i*>(samples + i);
        const __m128i s = _mm_max_epi16(_mm_loadu_si128(at), floor);
        _mm_storeu_si128(at, s);
        peaks = _mm_max_epi16(peaks, _mm_abs_epi16(s));
        sums = _mm_add_epi64(sums, Widen(_mm_madd_epi16(s, s)));
    }
    alignas(16) int16_t lanes[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), peaks);
    for (int16_t lane : lanes) {
        peak = lane > peak ? lane : peak;
    }
    return Total(sums) + scalar::ScanSamples(samples + i, count - i, peak);
}

// Applies f to doubles of the samples' magnitudes (or values), then stores the rounded
// results with the original signs and returns the sum of their squares.
template <bool Signed, typename F>
TRALUX_TARGET inline int64_t Map(int16_t* samples, size_t count, size_t& done, F f) {
    __m128i sums = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        auto* at = reinterpret_cast<__m128i*>(samples + i);
        const __m128i s = _mm_loadu_si128(at);
        const __m128i lo = Signed ? _mm_cvtepi16_epi32(s) : _mm_cvtepu16_epi32(_mm_abs_epi16(s));
        const __m128i hi = Signed ? _mm_cvtepi16_epi32(_mm_srli_si128(s, 8))
                                  : _mm_cvtepu16_epi32(_mm_srli_si128(_mm_abs_epi16(s), 8));
        const __m128i r0 = _mm_cvtpd_epi32(f(Lanes(lo, 0)));
        const __m128i r1 = _mm_cvtpd_epi32(f(Lanes(lo, 1)));
        const __m128i r2 = _mm_cvtpd_epi32(f(Lanes(hi, 0)));
        const __m128i r3 = _mm_cvtpd_epi32(f(Lanes(hi, 1)));
        __m128i out = _mm_packs_epi32(_mm_unpacklo_epi64(r0, r1), _mm_unpacklo_epi64(r2, r3));
        if (!Signed) {
            out = _mm_sign_epi16(out, s);
        }
        _mm_storeu_si128(at, out);
        sums = _mm_add_epi64(sums, Widen(_mm_madd_epi16(out, out)));
    }
    done = i;
    return Total(sums);
}

TRALUX_TARGET int64_t Gain(int16_t* samples, size_t count, double gain) {
    const __m128d g = _mm_set1_pd(gain), low = _mm_set1_pd(-32767.0), high = _mm_set1_pd(32767.0);
    size_t done;
    const int64_t sum = Map<true>(samples, count, done, [=](__m128d s) TRALUX_TARGET {
        return _mm_min_pd(_mm_max_pd(_mm_mul_pd(s, g), low), high);
    });
    return sum + scalar::GainSamples(samples + done, count - done, gain);
}

TRALUX_TARGET int64_t Compress(int16_t* samples, size_t count, double threshold, double ratio,
                               double makeUpGain) {
    const __m128d t = _mm_set1_pd(threshold), r = _mm_set1_pd(ratio), g = _mm_set1_pd(makeUpGain),
                  high = _mm_set1_pd(32767.0);
    size_t done;
    const int64_t sum = Map<false>(samples, count, done, [=](__m128d a) TRALUX_TARGET {
        const __m128d knee = _mm_add_pd(t, _mm_div_pd(_mm_sub_pd(a, t), r));
        a = _mm_blendv_pd(a, knee, _mm_cmpgt_pd(a, t));
        return _mm_min_pd(_mm_mul_pd(a, g), high);
    });
    return sum +
           scalar::CompressSamples(samples + done, count - done, threshold, ratio, makeUpGain);
}

TRALUX_TARGET int64_t Reduce(int16_t* samples, size_t count, double gain) {
    const __m128d g = _mm_set1_pd(gain), high = _mm_set1_pd(32767.0);
    size_t done;
    const int64_t sum = Map<false>(samples, count, done, [=](__m128d a) TRALUX_TARGET {
        return _mm_min_pd(_mm_mul_pd(a, g), high);
    });
    return sum + scalar::ReduceSamples(samples + done, count - done, gain);
}

#undef TRALUX_TARGET
}  // namespace sse41

namespace avx2 {

#define TRALUX_TARGET __attribute__((target("avx2")))

TRALUX_TARGET inline int64_t Total(__m256i sums) {
    const __m128i both =
        _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
    return _mm_cvtsi128_si64(both) + _mm_extract_epi64(both, 1);
}

TRALUX_TARGET int64_t Scan(int16_t* samples, size_t count, int16_t& peak) {
    const __m256i floor = _mm256_set1_epi16(-32767);
    __m256i peaks = _mm256_setzero_si256();
    __m256i sums = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        auto* at = reinterpret_cast<__m256i*>(samples + i);
        const __m256i s = _mm256_max_epi16(_mm256_loadu_si256(at), floor);
        _mm256_storeu_si256(at, s);
        peaks = _mm256_max_epi16(peaks, _mm256_abs_epi16(s));
        const __m256i pairs = _mm256_madd_epi16(s, s);
        sums = _mm256_add_epi64(sums, _mm256_cvtepu32_epi64(_mm256_castsi256_si128(pairs)));
        sums = _mm256_add_epi64(sums, _mm256_cvtepu32_epi64(_mm256_extracti128_si256(pairs, 1)));
    }
    alignas(32) int16_t lanes[16];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), peaks);
    for (int16_t lane : lanes) {
        peak = lane > peak ? lane : peak;
    }
    return Total(sums) + scalar::ScanSamples(samples + i, count - i, peak);
}

template <bool Signed, typename F>
TRALUX_TARGET inline int64_t Map(int16_t* samples, size_t count, size_t& done, F f) {
    __m256i sums = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        auto* at = reinterpret_cast<__m128i*>(samples + i);
        const __m128i s = _mm_loadu_si128(at);
        const __m128i m = Signed ? s : _mm_abs_epi16(s);
        const __m128i lo = Signed ? _mm_cvtepi16_epi32(m) : _mm_cvtepu16_epi32(m);
        const __m128i hi = Signed ? _mm_cvtepi16_epi32(_mm_srli_si128(m, 8))
                                  : _mm_cvtepu16_epi32(_mm_srli_si128(m, 8));
        const __m128i r0 = _mm256_cvtpd_epi32(f(_mm256_cvtepi32_pd(lo)));
        const __m128i r1 = _mm256_cvtpd_epi32(f(_mm256_cvtepi32_pd(hi)));
        __m128i out = _mm_packs_epi32(r0, r1);
        if (!Signed) {
            out = _mm_sign_epi16(out, s);
        }
        _mm_storeu_si128(at, out);
        sums = _mm256_add_epi64(sums, _mm256_cvtepu32_epi64(_mm_madd_epi16(out, out)));
    }
    done = i;
    return Total(sums);
}

TRALUX_TARGET int64_t Gain(int16_t* samples, size_t count, double gain) {
    const __m256d g = _mm256_set1_pd(gain), low = _mm256_set1_pd(-32767.0),
                  high = _mm256_set1_pd(32767.0);
    size_t done;
    const int64_t sum = Map<true>(samples, count, done, [=](__m256d s) TRALUX_TARGET {
        return _mm256_min_pd(_mm256_max_pd(_mm256_mul_pd(s, g), low), high);
    });
    return sum + scalar::GainSamples(samples + done, count - done, gain);
}

TRALUX_TARGET int64_t Compress(int16_t* samples, size_t count, double threshold, double ratio,
                               double makeUpGain) {
    const __m256d t = _mm256_set1_pd(threshold), r = _mm256_set1_pd(ratio),
                  g = _mm256_set1_pd(makeUpGain), high = _mm256_set1_pd(32767.0);
    size_t done;
    const int64_t sum = Map<false>(samples, count, done, [=](__m256d a) TRALUX_TARGET {
        const __m256d knee = _mm256_add_pd(t, _mm256_div_pd(_mm256_sub_pd(a, t), r));
        a = _mm256_blendv_pd(a, knee, _mm256_cmp_pd(a, t, _CMP_GT_OQ));
        return _mm256_min_pd(_mm256_mul_pd(a, g), high);
    });
    return sum +
           scalar::CompressSamples(samples + done, count - done, threshold, ratio, makeUpGain);
}

TRALUX_TARGET int64_t Reduce(int16_t* samples, size_t count, double gain) {
    const __m256d g = _mm256_set1_pd(gain), high = _mm256_set1_pd(32767.0);
    size_t done;
    const int64_t sum = Map<false>(samples, count, done, [=](__m256d a) TRALUX_TARGET {
        return _mm256_min_pd(_mm256_mul_pd(a, g), high);
    });
    return sum + scalar::ReduceSamples(samples + done, count - done, gain);
}

#undef TRALUX_TARGET
}  // namespace avx2

namespace avx512 {

#define TRALUX_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,avx2")))

TRALUX_TARGET int64_t Scan(int16_t* samples, size_t count, int16_t& peak) {
    const __m512i floor = _mm512_set1_epi16(-32767);
    __m512i peaks = _mm512_setzero_si512();
    __m512i sums = _mm512_setzero_si512();
    size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        int16_t* at = samples + i;
        const __m512i s = _mm512_max_epi16(_mm512_loadu_si512(at), floor);
        _mm512_storeu_si512(at, s);
        peaks = _mm512_max_epi16(peaks, _mm512_abs_epi16(s));
        const __m512i pairs = _mm512_madd_epi16(s, s);
        sums = _mm512_add_epi64(sums, _mm512_cvtepu32_epi64(_mm512_castsi512_si256(pairs)));
        sums = _mm512_add_epi64(sums, _mm512_cvtepu32_epi64(_mm512_extracti64x4_epi64(pairs, 1)));
    }
    alignas(64) int16_t lanes[32];
    _mm512_store_si512(lanes, peaks);
    for (int16_t lane : lanes) {
        peak = lane > peak ? lane : peak;
    }
    return _mm512_reduce_add_epi64(sums) + scalar::ScanSamples(samples + i, count - i, peak);
}

template <bool Signed, typename F>
TRALUX_TARGET inline int64_t Map(int16_t* samples, size_t count, size_t& done, F f) {
    __m512i sums = _mm512_setzero_si512();
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        auto* at = reinterpret_cast<__m256i*>(samples + i);
        const __m256i s = _mm256_loadu_si256(at);
        const __m256i m = Signed ? s : _mm256_abs_epi16(s);
        const __m512i values = Signed ? _mm512_cvtepi16_epi32(m) : _mm512_cvtepu16_epi32(m);
        const __m256i r0 =
            _mm512_cvtpd_epi32(f(_mm512_cvtepi32_pd(_mm512_castsi512_si256(values))));
        const __m256i r1 =
            _mm512_cvtpd_epi32(f(_mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(values, 1))));
        __m256i out = _mm512_cvtsepi32_epi16(_mm512_inserti64x4(_mm512_castsi256_si512(r0), r1, 1));
        if (!Signed) {
            out = _mm256_sign_epi16(out, s);
        }
        _mm256_storeu_si256(at, out);
        sums = _mm512_add_epi64(sums, _mm512_cvtepu32_epi64(_mm256_madd_epi16(out, out)));
    }
    done = i;
    return _mm512_reduce_add_epi64(sums);
}

TRALUX_TARGET int64_t Gain(int16_t* samples, size_t count, double gain) {
    const __m512d g = _mm512_set1_pd(gain), low = _mm512_set1_pd(-32767.0),
                  high = _mm512_set1_pd(32767.0);
    size_t done;
    const int64_t sum = Map<true>(samples, count, done, [=](__m512d s) TRALUX_TARGET {
        return _mm512_min_pd(_mm512_max_pd(_mm512_mul_pd(s, g), low), high);
    });
    return sum + scalar::GainSamples(samples + done, count - done, gain);
}

TRALUX_TARGET int64_t Compress(int16_t* samples, size_t count, double threshold, double ratio,
                               double makeUpGain) {
    const __m512d t = _mm512_set1_pd(threshold), r = _mm512_set1_pd(ratio),
                  g = _mm512_set1_pd(makeUpGain), high = _mm512_set1_pd(32767.0);
    size_t done;
    const int64_t sum = Map<false>(samples, count, done, [=](__m512d a) TRALUX_TARGET {
        const __m512d knee = _mm512_add_pd(t, _mm512_div_pd(_mm512_sub_pd(a, t), r));
        a = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(a, t, _CMP_GT_OQ), a, knee);
        return _mm512_min_pd(_mm512_mul_pd(a, g), high);
    });
    return sum +
           scalar::CompressSamples(samples + done, count - done, threshold, ratio, makeUpGain);
}

TRALUX_TARGET int64_t Reduce(int16_t* samples, size_t count, double gain) {
    const __m512d g = _mm512_set1_pd(gain), high = _mm512_set1_pd(32767.0);
    size_t done;
    const int64_t sum = Map<false>(samples, count, done, [=](__m512d a) TRALUX_TARGET {
        return _mm512_min_pd(_mm512_mul_pd(a, g), high);
    });
    return sum + scalar::ReduceSamples(samples + done, count - done, gain);
}

#undef TRALUX_TARGET
}  // namespace avx512
#endif

namespace {

std::vector<TransformSet> FindRunnableSets() {
    std::vector<TransformSet> sets;
#ifdef TRALUX_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx2")) {
        sets.push_back({"avx512", avx512::Scan, avx512::Gain, avx512::Compress, avx512::Reduce});
    }
    if (__builtin_cpu_supports("avx2")) {
        sets.push_back({"avx2", avx2::Scan, avx2::Gain, avx2::Compress, avx2::Reduce});
    }
    if (__builtin_cpu_supports("sse4.1")) {
        sets.push_back({"sse4.1", sse41::Scan, sse41::Gain, sse41::Compress, sse41::Reduce});
    }
#endif
    sets.push_back({"scalar", scalar::ScanSamples, scalar::GainSamples, scalar::CompressSamples,
                    scalar::ReduceSamples});
    return sets;
}

}  // namespace

const std::vector<TransformSet>& RunnableTransformSets() {
    static const std::vector<TransformSet> sets = FindRunnableSets();
    return sets;
}

const TransformSet& WidestTransformSet() {
    return RunnableTransformSets().front();
}

int64_t ScanSamples(int16_t* samples, size_t count, int16_t& peak) {
    return WidestTransformSet().Scan(samples, count, peak);
}
int64_t GainSamples(int16_t* samples, size_t count, double gain) {
    return WidestTransformSet().Gain(samples, count, gain);
}

}  // namespace tralux
