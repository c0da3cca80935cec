#include "AudioEngine.h"

#include <cmath>
#include <cstring>
#include <filesystem>

#include "BlockTransforms.h"

namespace tralux {
namespace {

constexpr size_t BlockBytes = static_cast<size_t>(FramesPerBlock) * BytesPerFrame;

enum class PassMode { ReadOnly, Copying, InPlace };

std::string FileNamePart(const std::string& path) {
    return std::filesystem::path(path).filename().string();
}

}  // namespace

AudioEngine::AudioEngine(ProgressSink& sink, Clock clock, FileAccess& files)
    : Estimator(sink, std::move(clock)), Tables(BuildFactorTables()), sink_(sink), files_(files) {}

void AudioEngine::RunPass(const FileData& file, const std::string& source,
                          const std::string& destination, BlockTransform transform,
                          const std::string& label, double weight) {
    if (Plan != nullptr) {
        FollowPass(transform);
        return;
    }
    // A mapped write always makes a new file, also over its own source.
    const PassMode mode = destination.empty() ? PassMode::ReadOnly
                          : destination == source && transform != BlockTransform::Map
                              ? PassMode::InPlace
                              : PassMode::Copying;
    std::unique_ptr<PassFile> input;
    std::unique_ptr<PassFile> output;
    auto endPass = [&] {
        input.reset();
        output.reset();
        sink_.PassEnded();
        sink_.PumpEvents();
    };

    input = files_.OpenExisting(source, mode == PassMode::InPlace);
    if (!input) {
        endPass();
        throw PassOpenError("Cannot open file " + source);
    }
    if (mode == PassMode::Copying) {
        output =
            destination == source ? files_.CreateOver(destination) : files_.Create(destination);
        if (!output) {
            endPass();
            throw PassOpenError("Cannot create file " + destination);
        }
    }

    try {
        PassFile* written = mode == PassMode::InPlace ? input.get() : output.get();
        const bool whole = Sweep(file, source, destination, *input, written,
                                 mode == PassMode::InPlace, transform, label, weight);
        // A new file takes its name only when it is whole; otherwise the name keeps what it
        // held before the pass.
        lastCopyWhole_ = mode == PassMode::Copying && whole && output->Commit();
        if (mode == PassMode::Copying && whole && !lastCopyWhole_) {
            ReportWriteFailure(destination);
        }
    } catch (...) {
        endPass();
        throw;
    }
    endPass();
}

void AudioEngine::ReportWriteFailure(const std::string& destination) {
    sink_.ReportError("Failed to write to output file \"" + destination + "\" (disk full?)");
    Running = false;
}

bool AudioEngine::Sweep(const FileData& file, const std::string& source,
                        const std::string& destination, PassFile& input, PassFile* output,
                        bool inPlace, BlockTransform transform, const std::string& label,
                        double weight) {
    const bool writes = output != nullptr;
    auto* buffer = reinterpret_cast<char*>(TransferBuffer.data());
    auto failed = [&] { ReportWriteFailure(destination); };
    int64_t position = 0;  // offset of the next byte the pass reads
    int64_t fileAt = 0;    // where the open source file stands; -1 when unknown
    auto seek = [&](int64_t offset) {
        if (fileAt == offset) {
            return true;
        }
        fileAt = input.Seek(offset) ? offset : -1;
        return fileAt == offset;
    };
    // Bytes the source does not hold (its data chunk claims more than the file has) are read
    // as silence, so stale samples of an earlier block are never processed or written.
    auto readInto = [&](size_t size) {
        const size_t got = seek(position) ? input.Read(buffer, size) : 0;
        fileAt = fileAt < 0 ? -1 : fileAt + static_cast<int64_t>(got);
        if (got < size) {
            std::memset(buffer + got, 0, size - got);
        }
        position += static_cast<int64_t>(size);
        return got;
    };
    // In place, output is the source itself and its position is followed the same way.
    auto write = [&](int64_t offset, size_t size) {
        if (inPlace) {
            if (!seek(offset)) {
                return false;
            }
            fileAt = -1;
            if (!output->Write(buffer, size)) {
                return false;
            }
            fileAt = offset + static_cast<int64_t>(size);
            return true;
        }
        return output->Write(buffer, size);
    };

    if (writes && !inPlace) {
        for (int64_t left = file.HeaderSize; left > 0;) {
            const size_t piece = left > int64_t(BlockBytes) ? BlockBytes : size_t(left);
            readInto(piece);
            if (!write(0, piece)) {
                failed();
                return false;
            }
            left -= int64_t(piece);
        }
    }
    position = file.HeaderSize;

    sink_.PassStarted(label + ":", FileNamePart(source));
    sink_.PumpEvents();

    // A data chunk without a whole frame has no block to run.
    const int32_t blocks = file.FrameCount > 0 ? file.BlockCount : 0;
    bool allBlocks = true;
    for (int32_t i = 1; i <= blocks; ++i) {
        const int32_t frames =
            i == blocks && file.LastBlockFrames != 0 ? file.LastBlockFrames : FramesPerBlock;
        const size_t bytes = size_t(frames) * BytesPerFrame;
        const int64_t blockStart = position;
        // A result rewritten (in place or through a new file) was written whole by its
        // normalising pass; if it is shorter now, someone changed it since, and filling it up
        // would only damage it more.
        if (readInto(bytes) < bytes && (inPlace || destination == source)) {
            sink_.ReportError("Failed to read from file \"" + source +
                              "\" (has it been changed since it was prepared?)");
            Running = false;
            return false;
        }
        sink_.PassProgress(int(int64_t{i} * 100 / file.BlockCount));
        sink_.PumpEvents();
        TransformBlock(transform, frames);
        if (writes) {
            if (!write(blockStart, bytes)) {
                failed();
                return false;
            }
        }
        Estimator.UpdateEstimate(static_cast<int32_t>(std::nearbyint(frames * weight)), false);
        if (!Running) {
            allBlocks = i == blocks;
            break;
        }
    }

    if (file.TailBytes > 0 && writes && (!inPlace || allBlocks)) {
        std::memset(buffer, 0, size_t(file.TailBytes));
        const int64_t tailStart = file.HeaderSize + int64_t{file.FrameCount} * BytesPerFrame;
        if (!write(tailStart, size_t(file.TailBytes))) {
            failed();
            return false;
        }
    }
    return allBlocks;
}

void AudioEngine::TransformBlock(BlockTransform transform, int32_t frames) {
    int16_t* samples = TransferBuffer.data();
    const size_t count = size_t(frames) * 2;
    if (transform == BlockTransform::Scan && ScanHistogram != nullptr) {
        ScanHistogram->Add(samples, count);
    }
    if (transform == BlockTransform::Map) {
        Totals.SumOfSquares += mapTable_->MapSamples(samples, count);
        return;
    }
    Totals.SumOfSquares +=
        ApplyTransform(Transforms, CurrentStep(transform), samples, count, Totals.Peak);
}

TransformStep AudioEngine::CurrentStep(BlockTransform transform) const {
    TransformStep step{transform};
    switch (transform) {
        case BlockTransform::Scan:
        case BlockTransform::Map:
            break;
        case BlockTransform::Gain:
            step.Gain = PassGain;
            break;
        case BlockTransform::Compress:
            step.Threshold = CompressThreshold;
            step.Ratio = CompressRatio;
            step.MakeUpGain = MakeUpGain;
            break;
        case BlockTransform::Reduce:
            step.Gain = ReduceGain;
            break;
    }
    return step;
}

void AudioEngine::FollowPass(BlockTransform transform) {
    const TransformStep step = CurrentStep(transform);
    const ValueTable before = Plan->Table;
    Plan->Table.Apply(Transforms, step);
    Plan->Steps.push_back(step);
    PassChangedSamples = false;
    for (size_t i = 0; i < SampleValueCount && !PassChangedSamples; ++i) {
        PassChangedSamples =
            Plan->Histogram->Counts[i] != 0 && before.Values[i] != Plan->Table.Values[i];
    }
    Totals.Peak = MappedPeak(*Plan->Histogram, Plan->Table);
    Totals.SumOfSquares = MappedSumOfSquares(*Plan->Histogram, Plan->Table);
}

bool AudioEngine::WriteMapped(const FileData& file, const std::string& source,
                              const std::string& destination, const ValueTable& table,
                              const std::string& label) {
    Totals = PassTotals{};
    mapTable_ = &table;
    lastCopyWhole_ = false;
    try {
        RunPass(file, source, destination, BlockTransform::Map, label, 2.0);
    } catch (...) {
        mapTable_ = nullptr;
        throw;
    }
    mapTable_ = nullptr;
    return lastCopyWhole_;
}

double AudioEngine::PassLoudness(const FileData& file) const {
    if (file.FrameCount <= 0) {
        return 0.0;  // nothing measured: silent
    }
    return std::sqrt(static_cast<double>(Totals.SumOfSquares) / (2.0 * file.FrameCount));
}

void AudioEngine::ScanFile(FileData& file) {
    file.Normalised = false;
    Totals = PassTotals{};
    RunPass(file, file.SourceFile, std::string(), BlockTransform::Scan, "Scanning", 1.0);
    file.Peak = Totals.Peak;
    file.ScanLoudness = PassLoudness(file);
}

void AudioEngine::NormaliseFile(FileData& file, bool final) {
    Totals = PassTotals{};
    if (final) {
        RunPass(file, file.ResultFile, file.ResultFile, BlockTransform::Gain, "Final Limiting",
                2.0);
    } else {
        RunPass(file, file.SourceFile, file.ResultFile, BlockTransform::Gain, "Normalising", 2.0);
    }
    file.Loudness = PassLoudness(file);
    if (Running) {
        file.Normalised = true;
    }
}

void AudioEngine::AdjustFile(FileData& file, double target) {
    // A silent result cannot be brought to any loudness; the ratio would be undefined.
    if (!(file.Loudness > 0.0)) {
        return;
    }
    const double x = target / file.Loudness;
    Totals = PassTotals{};
    if (x > 1.0) {
        const TransformStep step = CompressStep(SelectCompressFactor(Tables.CompressFactors, x));
        CompressRatio = step.Ratio;
        CompressThreshold = step.Threshold;
        MakeUpGain = step.MakeUpGain;
        RunPass(file, file.ResultFile, file.ResultFile, BlockTransform::Compress, "Compressing",
                3.0);
        file.Loudness = PassLoudness(file);
        ++CompressCount;
    } else {
        ReduceGain = ReduceStep(SelectReduceFactor(Tables.ReduceFactors, x)).Gain;
        RunPass(file, file.ResultFile, file.ResultFile, BlockTransform::Reduce, "Reducing", 3.0);
        file.Loudness = PassLoudness(file);
        ++ReduceCount;
    }
}

}  // namespace tralux
