#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "measure/TruePeak.h"

namespace tralux {

// The true peak of interleaved frames alone, as LoudnessMeter reads it (the same samples, the
// same interpolator and kernel, so the same value), with none of the loudness: a second thread
// can take the peak of the frames a LoudnessMeter without true peak is given.
class TruePeakMeter {
public:
    // Throws std::invalid_argument for a format LoudnessMeter::Supports refuses.
    TruePeakMeter(int channels, int sampleRate);

    // 16-bit integers (full scale 32768) or floating point (full scale 1), taken as
    // LoudnessMeter takes them.
    void AddFrames(const int16_t* frames, size_t count);
    void AddFrames(const double* frames, size_t count);

    // dBTP over every channel; empty when the input is silent.
    std::optional<double> TruePeak() const;

private:
    template <typename Sample>
    void Add(const Sample* frames, size_t count);

    int channels_;
    PeakInterpolator interpolator_;
    const PeakKernel* kernel_;
    size_t history_;              // samples before a chunk that its first points use
    std::vector<float> samples_;  // channels_ rows of history_ + the chunk
    std::vector<float> peaks_;    // linear, per channel
};

}  // namespace tralux
