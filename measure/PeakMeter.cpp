#include "measure/PeakMeter.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

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
        for (size_t c = 0; c < stride; ++c) {
            float* out = &samples_[c * row + history_];
            for (size_t i = 0; i < n; ++i) {
                out[i] = static_cast<float>(ToUnit(frames[i * stride + c]));
            }
            float* samples = &samples_[c * row];
            peaks_[c] = kernel_->Scan(samples + history_, n, interpolator_, peaks_[c]);
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
            channel = kernel_->Scan(tail.data() + history_, history_, interpolator_, peaks_[c]);
        }
        peak = std::max(peak, channel);
    }
    if (peak <= 0.0) {
        return std::nullopt;
    }
    return 20.0 * std::log10(peak);
}

}  // namespace tralux
