#include "measure/PeakMeter.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <type_traits>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "measure/LoudnessMeter.h"

namespace tralux {
namespace {

constexpr size_t kChunkFrames = 1024;

// As LoudnessMeter converts a sample before it becomes a float for the peak scan.
inline double ToUnit(int16_t sample) {
    return sample * (1.0 / 32768.0);
}
inline double ToUnit(double sample) {
    if (!std::isfinite(sample) || std::fabs(sample) < 1e-20) {
        return 0.0;
    }
    return std::clamp(sample, -1e6, 1e6);
}

// 16-bit stereo, the most common input, into the two channels' rows, eight frames at a time;
// each sample converts exactly as the scalar code converts it (int16 / 32768 is exact in float).
size_t SplitStereo(const int16_t* frames, size_t count, float* left, float* right) {
    size_t i = 0;
#ifdef __SSE2__
    const __m128 scale = _mm_set1_ps(1.0f / 32768.0f);
    for (; i + 4 <= count; i += 4) {
        const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(frames + 2 * i));
        const __m128 a =
            _mm_mul_ps(_mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(s, s), 16)), scale);
        const __m128 b =
            _mm_mul_ps(_mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpackhi_epi16(s, s), 16)), scale);
        _mm_storeu_ps(left + i, _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
        _mm_storeu_ps(right + i, _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
    }
#endif
    return i;
}

}  // namespace

TruePeakMeter::TruePeakMeter(int channels, int sampleRate)
    : channels_(channels),
      interpolator_(DesignPeakInterpolator(sampleRate)),
      kernel_(&WidestPeakKernel()),
      history_(static_cast<size_t>(std::max(interpolator_.TapsPerPhase - 1, 0))) {
    if (!LoudnessMeter::Supports(channels, sampleRate)) {
        throw std::invalid_argument("no true-peak meter for this channel count or sample rate");
    }
    samples_.assign(static_cast<size_t>(channels) * (history_ + kChunkFrames), 0.0f);
    peaks_.assign(static_cast<size_t>(channels), 0.0f);
}

void TruePeakMeter::AddFrames(const int16_t* frames, size_t count) {
    Add(frames, count);
}
void TruePeakMeter::AddFrames(const double* frames, size_t count) {
    Add(frames, count);
}

template <typename Sample>
void TruePeakMeter::Add(const Sample* frames, size_t count) {
    const auto stride = static_cast<size_t>(channels_);
    const size_t row = history_ + kChunkFrames;
    while (count > 0) {
        const size_t n = std::min(count, kChunkFrames);
        size_t done = 0;
        if constexpr (std::is_same_v<Sample, int16_t>) {
            if (stride == 2) {
                done = SplitStereo(frames, n, &samples_[history_], &samples_[row + history_]);
            }
        }
        for (size_t c = 0; c < stride; ++c) {
            float* out = &samples_[c * row + history_];
            for (size_t i = done; i < n; ++i) {
                out[i] = static_cast<float>(ToUnit(frames[i * stride + c]));
            }
            float* samples = &samples_[c * row];
            peaks_[c] = kernel_->Scan(samples + history_, n, interpolator_, peaks_[c], nullptr);
            // The chunk's last samples become the history of the next.
            std::copy(samples + n, samples + n + history_, samples);
        }
        frames += n * stride;
        count -= n;
    }
}

// The points after the last samples are interpolated as if silence followed, as the loudness
// meter takes them.
std::optional<double> TruePeakMeter::TruePeak() const {
    double peak = 0.0;
    const size_t row = history_ + kChunkFrames;
    for (size_t c = 0; c < peaks_.size(); ++c) {
        double channel = peaks_[c];
        if (history_ > 0) {
            std::vector<float> tail(
                samples_.begin() + static_cast<std::ptrdiff_t>(c * row),
                samples_.begin() + static_cast<std::ptrdiff_t>(c * row + history_));
            tail.resize(2 * history_, 0.0f);
            channel =
                kernel_->Scan(tail.data() + history_, history_, interpolator_, peaks_[c], nullptr);
        }
        peak = std::max(peak, channel);
    }
    if (peak <= 0.0) {
        return std::nullopt;
    }
    return 20.0 * std::log10(peak);
}

}  // namespace tralux
