#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "measure/KWeighting.h"
#include "measure/TruePeak.h"

// The broadcast loudness measure: integrated loudness (LUFS) with K-weighting and the
// absolute (-70 LUFS) and relative (-10 LU) gates over 400 ms blocks that overlap by 75%,
// the loudness range (LU) of 3 s windows taken ten times a second, the true peak (dBTP) by
// oversampling, and the short-term loudness series. A meter is a state fed interleaved frames
// and asked for results; it holds no file. Results that a silent or too short input does not
// have are empty, never NaN.

namespace tralux {

// The weight of each channel in the loudness sum: 1 for front channels, 1.41 (+1.5 dB) for
// the surround channels beside and behind the listener, 0 for the low-frequency effects.
// With a WAVE_FORMAT_EXTENSIBLE channel mask, channels take the mask's speakers in bit order
// (back left and right are the surrounds unless side left and right are present, as in 5.1;
// channels past the mask's speakers weigh 1). Without one: 5 channels are L R C Ls Rs, 6 are
// L R C LFE Ls Rs (WAV's default order), every other count weighs 1 throughout (mono counts
// as one front channel).
std::vector<double> DefaultChannelWeights(int channels, uint32_t channelMask = 0);

struct MeterSetup {
    int Channels = 2;
    int SampleRate = 44100;
    // One per channel; empty for DefaultChannelWeights(Channels).
    std::vector<double> ChannelWeights;
    // Off saves the oversampling when only loudness is wanted.
    bool TruePeak = true;
};

class LoudnessMeter {
public:
    static constexpr int kMaxChannels = 64;
    static constexpr int kMinSampleRate = 8000;
    static constexpr int kMaxSampleRate = 768000;
    // Whether a meter can be made for this format.
    static bool Supports(int channels, int sampleRate);

    // Throws std::invalid_argument for a format Supports refuses or weights that do not fit.
    explicit LoudnessMeter(const MeterSetup& setup);

    // Interleaved frames: 16-bit integers (full scale 32768) or floating point (full scale 1).
    // Floating-point samples that are not finite count as silence, magnitudes beyond 1e6
    // (+120 dBFS) as 1e6.
    void AddFrames(const int16_t* frames, size_t count);
    void AddFrames(const float* frames, size_t count);
    void AddFrames(const double* frames, size_t count);

    // LUFS; empty below 400 ms or when no block is above -70 LUFS.
    std::optional<double> IntegratedLoudness() const;
    // LU; empty below 3 s or when no window is above -70 LUFS.
    std::optional<double> LoudnessRange() const;
    // dBTP over every channel; empty when true peak is off or the input is silent.
    std::optional<double> TruePeak() const;
    // Linear, 1 for full scale; 0 when true peak is off.
    double ChannelTruePeak(int channel) const;
    // The largest magnitude of the samples as the peak scan took them (16-bit samples exactly,
    // others as floats), 1 for full scale, over every channel; 0 when true peak is off.
    double LargestSample() const { return largestSample_; }
    // Short-term (3 s) loudness in LUFS every 100 ms, the first window ending at 3 s; empty
    // entries for silent windows.
    std::vector<std::optional<double>> ShortTermLoudness() const;

    int64_t FramesMeasured() const { return framesMeasured_; }
    int Channels() const { return channels_; }
    int SampleRate() const { return sampleRate_; }
    // Frames in a 100 ms segment: the rate's tenth, rounded.
    size_t SegmentFrames() const { return segmentFrames_; }
    // The weighted sums of squares of the K-weighted samples of each whole segment so far.
    const std::vector<double>& SegmentEnergies() const { return segmentEnergies_; }

private:
    static const MeterSetup& Checked(const MeterSetup& setup);
    template <typename Sample>
    void Add(const Sample* frames, size_t count);
    template <typename Sample>
    void Load(const Sample* frames, size_t count);
    // Weighs a chunk of 16-bit stereo frames as it converts them; false for other input, which
    // Load converts and Weigh weighs.
    bool WeighStereo16(const int16_t* frames, size_t count);
    bool WeighStereo16(const float*, size_t) { return false; }
    bool WeighStereo16(const double*, size_t) { return false; }
    // The weighting of the chunk Load left.
    void Weigh(size_t count);
    // The rest of a chunk once it is weighted: its true peak, and the end of its segment.
    void Measure(size_t count);
    void CloseSegment();

    int channels_;
    int sampleRate_;
    size_t segmentFrames_;
    std::vector<double> weights_;
    KWeighting weighting_;
    size_t pairs_;
    std::vector<KWeightingState> pairStates_;
    std::vector<ChannelPair> pairSums_;
    std::vector<ChannelPair> pairSamples_;  // pairs_ rows of kChunkFrames
    bool truePeak_;
    PeakInterpolator interpolator_;
    const PeakKernel* peakKernel_;
    size_t peakHistory_;               // samples before a chunk that its first points use
    std::vector<float> peakSamples_;   // channels_ rows of peakHistory_ + kChunkFrames
    std::vector<float> channelPeaks_;  // linear
    float largestSample_ = 0.0f;
    size_t framesInSegment_ = 0;
    int64_t framesMeasured_ = 0;
    std::vector<double> segmentEnergies_;
};

// The integrated loudness of several meters' inputs taken as one programme (an album): their
// blocks gated together. Empty when none passes the gates.
std::optional<double> GroupIntegratedLoudness(std::span<const LoudnessMeter* const> meters);
// What a meter leaves of one input for the group measures: its segment energies and the
// frames in each segment (LoudnessMeter::SegmentEnergies and SegmentFrames).
struct SegmentSeries {
    std::span<const double> Energies;
    size_t SegmentFrames = 0;
};
// The same over the series kept of meters that are gone.
std::optional<double> GroupIntegratedLoudness(std::span<const SegmentSeries> inputs);
// The loudness range of several meters' inputs taken as one programme.
std::optional<double> GroupLoudnessRange(std::span<const LoudnessMeter* const> meters);

}  // namespace tralux
