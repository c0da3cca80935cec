// One transform over many keys of a grid, or many 32-bit float samples, at once, four at a
// time where the processor can: the planning takes every key a file holds (or every sample it
// holds) through each step it tries, and a write of a few steps takes each sample through
// them. The vector code is the arithmetic of TransformScaleValueAs and the grid's FromScale
// lane by lane, operation by operation: each IEEE operation rounds the same in a lane as
// alone, so every value comes out the same.

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "GridValues.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TRALUX_X86 1
#endif

namespace tralux {
namespace {

template <BlockTransform Kind>
void StepKeysScalar(const SampleGrid& grid, const TransformStep& step, int32_t* keys,
                    size_t count) {
    for (size_t i = 0; i < count; ++i) {
        keys[i] = static_cast<int32_t>(
            grid.FromScale(TransformScaleValueAs<Kind>(step, grid.ToScale(keys[i]))));
    }
}

#ifdef TRALUX_X86
#define TRALUX_TARGET __attribute__((target("avx2")))

// a < b ? a : b and a > b ? a : b, NaN falling to b, as the scalar code writes them.
TRALUX_TARGET inline __m256d AtMost(__m256d a, __m256d b) {
    return _mm256_min_pd(a, b);
}
TRALUX_TARGET inline __m256d AtLeast(__m256d a, __m256d b) {
    return _mm256_max_pd(a, b);
}

template <BlockTransform Kind>
TRALUX_TARGET inline __m256d TransformLanes(const TransformStep& step, __m256d s) {
    const __m256d top = _mm256_set1_pd(32767.0);
    const __m256d sign = _mm256_set1_pd(-0.0);
    if constexpr (Kind == BlockTransform::Gain) {
        const __m256d low = _mm256_mul_pd(s, _mm256_set1_pd(step.Gain));
        return AtMost(AtLeast(low, _mm256_set1_pd(-32767.0)), top);
    } else {
        __m256d a = _mm256_andnot_pd(sign, s);
        __m256d r;
        if constexpr (Kind == BlockTransform::Compress) {
            const __m256d threshold = _mm256_set1_pd(step.Threshold);
            const __m256d over = _mm256_cmp_pd(a, threshold, _CMP_GT_OQ);
            // Keys in order lie below the threshold in long runs: their division is skipped.
            if (!_mm256_testz_pd(over, over)) {
                const __m256d above = _mm256_add_pd(
                    threshold,
                    _mm256_div_pd(_mm256_sub_pd(a, threshold), _mm256_set1_pd(step.Ratio)));
                a = _mm256_blendv_pd(a, above, over);
            }
            r = AtMost(_mm256_mul_pd(a, _mm256_set1_pd(step.MakeUpGain)), top);
        } else {
            r = AtMost(_mm256_mul_pd(a, _mm256_set1_pd(step.Gain)), top);
        }
        const __m256d negative = _mm256_cmp_pd(s, _mm256_setzero_pd(), _CMP_LT_OQ);
        return _mm256_blendv_pd(r, _mm256_xor_pd(r, sign), negative);
    }
}

template <BlockTransform Kind>
TRALUX_TARGET void StepKeysAvx2(const SampleGrid& grid, const TransformStep& step, int32_t* keys,
                                size_t count) {
    const __m256d toScale = _mm256_set1_pd(32767.0);
    const __m256d divisor = _mm256_set1_pd(grid.Divisor());
    const __m256d fromScale = _mm256_set1_pd(grid.Largest() / 32767.0);
    const __m256d largest = _mm256_set1_pd(grid.Largest());
    const __m256d lowest = _mm256_set1_pd(-grid.Largest() - 1.0);
    const __m128i padding = _mm_cvtsi32_si128(grid.Padding());
    size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(keys + i));
        const __m256d s = _mm256_div_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(in), toScale), divisor);
        const __m256d value = TransformLanes<Kind>(step, s);
        // Halves to even, as RoundHalfEven; a NaN stays one and falls to 0 below.
        const __m256d onGrid = _mm256_round_pd(_mm256_mul_pd(value, fromScale),
                                               _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
        __m256d held = AtMost(AtLeast(onGrid, lowest), largest);
        held = _mm256_andnot_pd(_mm256_cmp_pd(onGrid, onGrid, _CMP_UNORD_Q), held);
        const __m128i out = _mm_sll_epi32(_mm256_cvttpd_epi32(held), padding);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(keys + i), out);
    }
    StepKeysScalar<Kind>(grid, step, keys + i, count - i);
}

template <BlockTransform Kind>
void StepFloatsScalar(const TransformStep& step, uint32_t* bits, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const double value =
            TransformScaleValueAs<Kind>(step, FloatToScale(std::bit_cast<float>(bits[i])));
        bits[i] = std::bit_cast<uint32_t>(FloatFromScale<float>(value));
    }
}

template <BlockTransform Kind>
TRALUX_TARGET void StepFloatsAvx2(const TransformStep& step, uint32_t* bits, size_t count) {
    const __m256d scale = _mm256_set1_pd(32767.0);
    const __m256d held = _mm256_set1_pd(FloatHeld);
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m256d infinity = _mm256_set1_pd(std::numeric_limits<double>::infinity());
    size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m256d x = _mm256_cvtps_pd(_mm_loadu_ps(reinterpret_cast<const float*>(bits + i)));
        __m256d s = _mm256_mul_pd(AtMost(AtLeast(x, _mm256_xor_pd(held, sign)), held), scale);
        const __m256d infinite = _mm256_cmp_pd(_mm256_andnot_pd(sign, x), infinity, _CMP_EQ_OQ);
        s = _mm256_blendv_pd(s, _mm256_or_pd(_mm256_and_pd(x, sign), scale), infinite);
        s = _mm256_andnot_pd(_mm256_cmp_pd(x, x, _CMP_UNORD_Q), s);
        const __m256d value = TransformLanes<Kind>(step, s);
        __m256d unit = _mm256_div_pd(value, scale);
        unit = _mm256_andnot_pd(_mm256_cmp_pd(value, value, _CMP_UNORD_Q), unit);
        unit = AtMost(AtLeast(unit, _mm256_xor_pd(one, sign)), one);
        _mm_storeu_ps(reinterpret_cast<float*>(bits + i), _mm256_cvtpd_ps(unit));
    }
    StepFloatsScalar<Kind>(step, bits + i, count - i);
}

#undef TRALUX_TARGET

bool HasAvx2() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
}
#endif

}  // namespace

void StepFloats(const TransformStep& step, uint32_t* bits, size_t count, bool vector) {
    WithTransformKind(step, [&](auto kind) {
        constexpr BlockTransform Kind = decltype(kind)::value;
#ifdef TRALUX_X86
        if (Kind != BlockTransform::Map && vector && HasAvx2()) {
            StepFloatsAvx2<Kind>(step, bits, count);
            return;
        }
#endif
        StepFloatsScalar<Kind>(step, bits, count);
    });
}

void StepKeys(const SampleGrid& grid, const TransformStep& step, int32_t* keys, size_t count,
              bool vector) {
    WithTransformKind(step, [&](auto kind) {
        constexpr BlockTransform Kind = decltype(kind)::value;
        if constexpr (Kind != BlockTransform::Map) {
#ifdef TRALUX_X86
            if (vector && HasAvx2()) {
                StepKeysAvx2<Kind>(grid, step, keys, count);
                return;
            }
#endif
            StepKeysScalar<Kind>(grid, step, keys, count);
        }
    });
}

}  // namespace tralux
