#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tralux {

// The per-sample work of the passes. Each works in place on count interleaved 16-bit samples
// and returns the exact sum of the squares of the samples it leaves in the buffer (at most
// 10000 x 32767^2 per block, well inside 64 bits). Rounding is to the nearest integer, halves
// to even, under the default floating-point rounding mode.
//
// These entry points use the widest vector instructions the processor offers; the results are
// identical, sample for sample and in the sums, to the plain versions in namespace scalar.

// -32768 becomes -32767; peak becomes the largest magnitude seen if that is above it.
int64_t ScanSamples(int16_t* samples, size_t count, int16_t& peak);
// round(s x gain), kept within -32767..32767.
int64_t GainSamples(int16_t* samples, size_t count, double gain);

// One implementation of the four transforms for one instruction set. Compress: hard-knee
// compression of the magnitude above threshold by ratio, then makeUpGain, capped at 32767; the
// sign is kept. Reduce: round(sign x min(|s| x gain, 32767)). The value tables run them.
struct TransformSet {
    const char* Name;  // "avx512", "avx2", "sse4.1" or "scalar"
    int64_t (*Scan)(int16_t* samples, size_t count, int16_t& peak);
    int64_t (*Gain)(int16_t* samples, size_t count, double gain);
    int64_t (*Compress)(int16_t* samples, size_t count, double threshold, double ratio,
                        double makeUpGain);
    int64_t (*Reduce)(int16_t* samples, size_t count, double gain);
};

// Every set this processor can run, the widest first; the plain scalar set is always last.
const std::vector<TransformSet>& RunnableTransformSets();
// The set the entry points above use: the widest this processor runs.
const TransformSet& WidestTransformSet();

namespace scalar {
int64_t ScanSamples(int16_t* samples, size_t count, int16_t& peak);
int64_t GainSamples(int16_t* samples, size_t count, double gain);
int64_t CompressSamples(int16_t* samples, size_t count, double threshold, double ratio,
                        double makeUpGain);
int64_t ReduceSamples(int16_t* samples, size_t count, double gain);
}  // namespace scalar

}  // namespace tralux
