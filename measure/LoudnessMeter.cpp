#include "LoudnessMeter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <type_traits>

#include "Gating.h"

namespace tralux {
namespace {

// Frames loaded and measured at a time: small enough to stay in the first-level cache.
constexpr size_t kChunkFrames = 1024;
constexpr size_t kBlockSegments = 4;       // 400 ms gating blocks
constexpr size_t kShortTermSegments = 30;  // 3 s windows

inline double ToUnit(int16_t sample) {
    return sample * (1.0 / 32768.0);
}
// Values below 1e-20 (-400 dBFS) count as zero, so that no filter meets subnormal numbers;
// values beyond 1e6 (+120 dBFS) as 1e6, so that no sum can overflow.
inline double ToUnit(double sample) {
    if (!std::isfinite(sample) || std::fabs(sample) < 1e-20) {
        return 0.0;
    }
    return std::clamp(sample, -1e6, 1e6);
}
inline double ToUnit(float sample) {
    return ToUnit(static_cast<double>(sample));
}

}  // namespace

bool LoudnessMeter::Supports(int channels, int sampleRate) {
    return channels >= 1 && channels <= kMaxChannels && sampleRate >= kMinSampleRate &&
           sampleRate <= kMaxSampleRate;
}

// Refuses a setup before any member is derived from it.
const MeterSetup& LoudnessMeter::Checked(const MeterSetup& setup) {
    if (!Supports(setup.Channels, setup.SampleRate)) {
        throw std::invalid_argument("no loudness meter for this channel count or sample rate");
    }
    const std::vector<double>& weights = setup.ChannelWeights;
    const bool fit = weights.empty() || (weights.size() == static_cast<size_t>(setup.Channels) &&
                                         std::all_of(weights.begin(), weights.end(), [](double w) {
                                             return std::isfinite(w) && w >= 0.0;
                                         }));
    if (!fit) {
        throw std::invalid_argument("channel weights must be one finite, non-negative per channel");
    }
    return setup;
}

LoudnessMeter::LoudnessMeter(const MeterSetup& setup)
    : channels_(Checked(setup).Channels),
      sampleRate_(setup.SampleRate),
      segmentFrames_(static_cast<size_t>(setup.SampleRate + 5) / 10),
      weights_(setup.ChannelWeights.empty() ? DefaultChannelWeights(setup.Channels)
                                            : setup.ChannelWeights),
      weighting_(DesignKWeighting(setup.SampleRate)),
      pairs_(static_cast<size_t>(setup.Channels + 1) / 2),
      truePeak_(setup.TruePeak),
      interpolator_(DesignPeakInterpolator(setup.SampleRate)),
      peakKernel_(&WidestPeakKernel()),
      peakHistory_(static_cast<size_t>(std::max(interpolator_.TapsPerPhase - 1, 0))) {
    pairStates_.resize(pairs_);
    pairSums_.assign(pairs_, ChannelPair{});
    pairSamples_.resize(pairs_ * kChunkFrames);
    if (truePeak_) {
        peakSamples_.assign(static_cast<size_t>(channels_) * (peakHistory_ + kChunkFrames), 0.0f);
    }
    channelPeaks_.assign(static_cast<size_t>(channels_), 0.0f);
}

void LoudnessMeter::AddFrames(const int16_t* frames, size_t count) {
    Add(frames, count);
}
void LoudnessMeter::AddFrames(const float* frames, size_t count) {
    Add(frames, count);
}
void LoudnessMeter::AddFrames(const double* frames, size_t count) {
    Add(frames, count);
}

// Chunks end at segment ends, so that a segment's sums and the clearing of negligible filter
// state fall at the same frames however the caller splits the input.
template <typename Sample>
void LoudnessMeter::Add(const Sample* frames, size_t count) {
    while (count > 0) {
        const size_t n = std::min({count, kChunkFrames, segmentFrames_ - framesInSegment_});
        if (!WeighStereo16(frames, n)) {
            Load(frames, n);
            Weigh(n);
        }
        Measure(n);
        frames += n * static_cast<size_t>(channels_);
        count -= n;
    }
}

template <typename Sample>
void LoudnessMeter::Load(const Sample* frames, size_t count) {
    const auto stride = static_cast<size_t>(channels_);
    const size_t row = peakHistory_ + kChunkFrames;
    for (size_t p = 0; p < pairs_; ++p) {
        ChannelPair* out = &pairSamples_[p * kChunkFrames];
        const Sample* in = frames + 2 * p;
        if (2 * p + 1 < stride) {
            for (size_t i = 0; i < count; ++i) {
                out[i] = ChannelPair{ToUnit(in[i * stride]), ToUnit(in[i * stride + 1])};
            }
        } else {
            for (size_t i = 0; i < count; ++i) {
                out[i] = ChannelPair{ToUnit(in[i * stride]), 0.0};
            }
        }
    }
    if (!truePeak_) {
        return;
    }
    for (size_t c = 0; c < stride; ++c) {
        const ChannelPair* pairs = &pairSamples_[(c / 2) * kChunkFrames];
        const size_t lane = c % 2;
        float* out = &peakSamples_[c * row + peakHistory_];
        for (size_t i = 0; i < count; ++i) {
            out[i] = static_cast<float>(pairs[i][lane]);
        }
    }
}

// 16-bit stereo, the most common input: the weighting converts the frames as it reads them, and
// passes them on to the peak scan.
bool LoudnessMeter::WeighStereo16(const int16_t* frames, size_t count) {
    if (channels_ != 2) {
        return false;
    }
    const size_t row = peakHistory_ + kChunkFrames;
    float* left = truePeak_ ? &peakSamples_[peakHistory_] : nullptr;
    float* right = truePeak_ ? &peakSamples_[row + peakHistory_] : nullptr;
    WeightAndSquareStereo16(frames, count, weighting_, pairStates_[0], pairSums_[0], left, right);
    return true;
}

void LoudnessMeter::Weigh(size_t count) {
    for (size_t p = 0; p < pairs_; ++p) {
        WeightAndSquare(&pairSamples_[p * kChunkFrames], count, weighting_, pairStates_[p],
                        pairSums_[p]);
    }
}

void LoudnessMeter::Measure(size_t count) {
    if (truePeak_) {
        const size_t row = peakHistory_ + kChunkFrames;
        for (size_t c = 0; c < channelPeaks_.size(); ++c) {
            float* samples = &peakSamples_[c * row];
            channelPeaks_[c] = peakKernel_->Scan(samples + peakHistory_, count, interpolator_,
                                                 channelPeaks_[c], &largestSample_);
            // The chunk's last samples become the history of the next.
            std::copy(samples + count, samples + count + peakHistory_, samples);
        }
    }
    framesInSegment_ += count;
    framesMeasured_ += static_cast<int64_t>(count);
    if (framesInSegment_ == segmentFrames_) {
        CloseSegment();
    }
}

void LoudnessMeter::CloseSegment() {
    double energy = 0.0;
    for (size_t c = 0; c < weights_.size(); ++c) {
        energy += weights_[c] * pairSums_[c / 2][c % 2];
    }
    segmentEnergies_.push_back(energy);
    for (size_t p = 0; p < pairs_; ++p) {
        pairSums_[p] = ChannelPair{};
        ClearNegligibleState(pairStates_[p]);
    }
    framesInSegment_ = 0;
}

std::optional<double> LoudnessMeter::IntegratedLoudness() const {
    return GatedLoudness(WindowEnergies(segmentEnergies_, kBlockSegments, segmentFrames_));
}

std::optional<double> LoudnessMeter::LoudnessRange() const {
    return GatedLoudnessRange(WindowEnergies(segmentEnergies_, kShortTermSegments, segmentFrames_));
}

// The points after the last samples are interpolated as if silence followed, so that a peak
// in the final samples counts in full.
double LoudnessMeter::ChannelTruePeak(int channel) const {
    if (!truePeak_ || channel < 0 || channel >= channels_) {
        return 0.0;
    }
    const auto c = static_cast<size_t>(channel);
    if (peakHistory_ == 0) {
        return channelPeaks_[c];
    }
    const float* last = &peakSamples_[c * (peakHistory_ + kChunkFrames)];
    std::vector<float> tail(last, last + peakHistory_);
    tail.resize(2 * peakHistory_, 0.0f);
    return peakKernel_->Scan(tail.data() + peakHistory_, peakHistory_, interpolator_,
                             channelPeaks_[c], nullptr);
}

std::optional<double> LoudnessMeter::TruePeak() const {
    double peak = 0.0;
    for (int c = 0; c < channels_; ++c) {
        peak = std::max(peak, ChannelTruePeak(c));
    }
    if (peak <= 0.0) {
        return std::nullopt;
    }
    return 20.0 * std::log10(peak);
}

std::vector<std::optional<double>> LoudnessMeter::ShortTermLoudness() const {
    std::vector<std::optional<double>> series;
    for (double energy : WindowEnergies(segmentEnergies_, kShortTermSegments, segmentFrames_)) {
        series.push_back(energy > 0.0 ? std::optional(EnergyToLoudness(energy)) : std::nullopt);
    }
    return series;
}

namespace {

std::vector<double> AllWindows(std::span<const SegmentSeries> inputs, size_t window) {
    std::vector<double> energies;
    for (const SegmentSeries& input : inputs) {
        const std::vector<double> own = WindowEnergies(input.Energies, window, input.SegmentFrames);
        energies.insert(energies.end(), own.begin(), own.end());
    }
    return energies;
}

std::vector<double> AllWindows(std::span<const LoudnessMeter* const> meters, size_t window) {
    std::vector<SegmentSeries> inputs;
    for (const LoudnessMeter* meter : meters) {
        inputs.push_back({meter->SegmentEnergies(), meter->SegmentFrames()});
    }
    return AllWindows(std::span<const SegmentSeries>(inputs), window);
}

}  // namespace

std::optional<double> GroupIntegratedLoudness(std::span<const LoudnessMeter* const> meters) {
    return GatedLoudness(AllWindows(meters, kBlockSegments));
}

std::optional<double> GroupIntegratedLoudness(std::span<const SegmentSeries> inputs) {
    return GatedLoudness(AllWindows(inputs, kBlockSegments));
}

std::optional<double> GroupLoudnessRange(std::span<const LoudnessMeter* const> meters) {
    return GatedLoudnessRange(AllWindows(meters, kShortTermSegments));
}

}  // namespace tralux
