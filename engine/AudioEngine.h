#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "BlockTransforms.h"
#include "FactorTables.h"
#include "FileAccess.h"
#include "FileData.h"
#include "ProgressSink.h"
#include "TimeEstimator.h"

namespace tralux {

// A pass could not open its source or create its destination ("Cannot open file %s",
// "Cannot create file %s"). Raised to the run, which shows it and winds down.
class PassOpenError : public std::runtime_error {
public:
    explicit PassOpenError(const std::string& message, int errorNumber = 0)
        : std::runtime_error(message), ErrorNumber(errorNumber) {}

    // The system's reason for the failure, in its own words ("Permission denied"); empty
    // when none is known.
    std::string Reason() const;

    int ErrorNumber;  // errno of the failed open; 0 when unknown
};

// The running peak and sum of squares of the samples a pass has seen or written.
struct PassTotals {
    int16_t Peak = 0;
    double SumOfSquares = 0.0;
};

// Which per-block work a pass does.
enum class BlockTransform { Scan, Gain, Compress, Reduce };

// The state that one pass at a time works with: the transfer buffer, the totals, the
// transform parameters, the Running flag and the estimate of the whole operation. One
// object, owned by whoever runs operations (the main window, the terminal program, a test).
class AudioEngine {
public:
    explicit AudioEngine(ProgressSink& sink, Clock clock = SteadyClock(),
                         FileAccess& files = PosixFileAccess());

    // One sweep over the sample data of a file. destination empty: read-only; equal to
    // source: in place, only on the file file.ResultIdentity names; otherwise a new copy,
    // followed by whatever the source holds after its data chunk. Throws PassOpenError when
    // a file cannot be opened or created; a failed write, or an in-place file that is not
    // the recorded result, is reported to the sink and clears Running.
    void RunPass(const FileData& file, const std::string& source, const std::string& destination,
                 BlockTransform transform, const std::string& label, double weight);

    // Measures SourceFile: Peak, ScanLoudness; Normalised becomes false.
    void ScanFile(FileData& file);
    // Multiplies by PassGain: SourceFile into a new ResultFile, or ResultFile in place (final).
    // A source that no longer holds what its scan measured stops the run, and its unfinished
    // result is removed.
    void NormaliseFile(FileData& file, bool final);
    // One compress or reduce pass over ResultFile, in place, toward the target loudness.
    // A silent result gets no pass; PassChangedSamples then stays false.
    void AdjustFile(FileData& file, double target);
    // Measures ResultFile without changing it: Loudness, once the pass has run to its end.
    void MeasureResult(FileData& file);

    // Root mean square of the last pass's samples over the file's frames; 0 with no frames.
    double PassLoudness(const FileData& file) const;

    ProgressSink& Sink() { return sink_; }

    // 5000 frames of two 16-bit samples, reused by every pass.
    alignas(64) std::array<int16_t, FramesPerBlock * 2> TransferBuffer{};
    // The block as it was read, kept while it is transformed to compare or measure it.
    alignas(64) std::array<int16_t, FramesPerBlock * 2> ReadBlock{};
    PassTotals Totals;
    // A copying pass's measure of the samples it read, before the transform.
    PassTotals InputTotals;
    // An in-place pass wrote at least one sample that differs from what it read.
    bool PassChangedSamples = false;
    // The file the last copying pass created.
    FileIdentity CreatedIdentity;
    bool Running = false;

    double PassGain = 1.0;
    double CompressThreshold = 0.0;
    double CompressRatio = 1.0;
    double MakeUpGain = 1.0;
    double ReduceGain = 1.0;
    int32_t CompressCount = 0;
    int32_t ReduceCount = 0;

    // The per-sample code the passes use: the widest this processor runs. All sets give
    // identical results; a benchmark may put the plain one in to compare.
    TransformSet Transforms = WidestTransformSet();

    TimeEstimator Estimator;
    const FactorTables Tables;

private:
    // The header copy, the block loop and the tail of a pass whose files are open. output is
    // null for a read-only pass and the input itself in place.
    void Sweep(const FileData& file, const std::string& source, const std::string& destination,
               PassFile& input, PassFile* output, bool inPlace, BlockTransform transform,
               const std::string& label, double weight);
    void TransformBlock(BlockTransform transform, int32_t frames, bool measureInput,
                        bool compareInput);

    ProgressSink& sink_;
    FileAccess& files_;
};

}  // namespace tralux
