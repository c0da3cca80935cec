#include "AudioEngine.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "BlockTransforms.h"
#include "ByteDigest.h"
#include "ChunkStream.h"

namespace tralux {
namespace {

constexpr size_t BlockBytes = static_cast<size_t>(FramesPerBlock) * BytesPerFrame;
// The data moves in reads and writes of 50 blocks (1 MB): fewer system calls, while progress
// and events still come after every block.
constexpr size_t ChunkBytes = 50 * BlockBytes;

std::string FileNamePart(const std::string& path) {
    return std::filesystem::path(path).filename().string();
}

// Puts a little-endian 32-bit size field at file offset fieldAt into the part of the header
// held in piece (the bytes from pieceStart on), as far as the field falls inside it. A size
// past 4 GiB cannot be said in the field and is given as its largest value.
void PutSizeField(char* piece, int64_t pieceStart, size_t pieceSize, int64_t fieldAt,
                  int64_t size) {
    const auto value = static_cast<uint32_t>(size > int64_t{UINT32_MAX} ? UINT32_MAX : size);
    for (int k = 0; k < 4; ++k) {
        const int64_t at = fieldAt + k - pieceStart;
        if (at >= 0 && at < int64_t(pieceSize)) {
            piece[at] = static_cast<char>((value >> (8 * k)) & 0xFFu);
        }
    }
}

}  // namespace

std::string PassOpenError::Reason() const {
    return ErrorNumber == 0 ? std::string() : std::string(std::strerror(ErrorNumber));
}

AudioEngine::AudioEngine(ProgressSink& sink, Clock clock, FileAccess& files)
    : Estimator(sink, std::move(clock)), Tables(BuildFactorTables()), sink_(sink), files_(files) {
    scanValues_.Apply(Transforms, TransformStep{BlockTransform::Scan});
}

void AudioEngine::RunPass(const FileData& file, const std::string& source,
                          const std::string& destination, BlockTransform transform,
                          const std::string& label, double weight) {
    if (Plan != nullptr) {
        FollowPass(transform);
        return;
    }
    const bool writes = !destination.empty();
    // A result is rewritten through a new file that replaces it when whole; no file that
    // exists is ever opened for writing.
    const bool rewrites = destination == source;
    lastCopyWhole_ = false;
    std::unique_ptr<PassFile> input;
    std::unique_ptr<PassFile> output;
    auto endPass = [&] {
        input.reset();
        output.reset();
        sink_.PassEnded();
        sink_.PumpEvents();
    };

    // errno of a failed open goes with the message; the pass's own clean-up must not change it.
    errno = 0;
    input = files_.OpenExisting(source);
    if (!input) {
        const int error = errno;
        endPass();
        throw PassOpenError("Cannot open file " + source, error);
    }
    // Checked on the open file, not on the name: a link or another file put in place of the
    // result at any time before the open is refused, and none can be put in after it. A result
    // is read for a rewrite only when it is the one recorded, so the samples of a source that a
    // link leads to never become its result.
    if (rewrites && !(file.ResultIdentity.Known && input->Identity() == file.ResultIdentity)) {
        sink_.ReportError("Cannot write to result file \"" + source +
                          "\" (it has been replaced since it was prepared)");
        Running = false;
        endPass();
        return;
    }
    if (writes) {
        errno = 0;
        output = rewrites ? files_.CreateOver(destination, Outputs)
                          : files_.Create(destination, Outputs);
        if (!output) {
            const int error = errno;
            endPass();
            throw PassOpenError("Cannot create file " + destination, error);
        }
        CreatedIdentity = output->Identity();
    }
    InputTotals = PassTotals{};
    PassChangedSamples = false;
    // A counting scan takes its peak and sum of squares from the counts, once, at its end.
    const bool counting = transform == BlockTransform::Scan && ScanHistogram != nullptr;
    if (counting) {
        ScanHistogram->Clear();
    }

    try {
        const bool whole =
            Sweep(file, source, destination, *input, output.get(), transform, label, weight);
        if (counting) {
            Totals.Peak = MappedPeak(*ScanHistogram, scanValues_);
            Totals.SumOfSquares = MappedSumOfSquares(*ScanHistogram, scanValues_);
        }
        // A new file takes its name only when it is whole, and only when what was read is what
        // its gain was chosen from; otherwise the name keeps what it held before the pass.
        if (writes && whole && !InputAsExpected(file, source, destination)) {
            Running = false;
        } else {
            lastCopyWhole_ = writes && whole && output->Commit();
            if (writes && whole && !lastCopyWhole_) {
                ReportWriteFailure(destination, output->Refusal());
            }
        }
    } catch (...) {
        endPass();
        throw;
    }
    endPass();
}

bool AudioEngine::InputAsExpected(const FileData& file, const std::string& source,
                                  const std::string& destination) {
    if (expectedInput_ == nullptr ||
        (InputTotals.Peak == expectedInput_->Peak &&
         InputTotals.SumOfSquares == expectedInput_->SumOfSquares &&
         (expectedInput_->Digest == 0 || InputTotals.Digest == expectedInput_->Digest))) {
        return true;
    }
    // Samples that changed since they were measured would come out cut off or as silence.
    if (destination == source) {
        sink_.ReportError("Result file \"" + destination +
                          "\" has changed since it was measured; it has been left as it is");
    } else {
        sink_.ReportError("File \"" + file.SourceFile +
                          "\" has changed since it was scanned; its unfinished result \"" +
                          destination + "\" has been removed");
    }
    return false;
}

void AudioEngine::ReportWriteFailure(const std::string& destination, CommitRefusal refusal) {
    std::string cause = "disk full?";
    if (refusal == CommitRefusal::FolderMoved) {
        cause = "its folder has been moved, removed or replaced since the run began";
    } else if (refusal == CommitRefusal::NameIsAKeptFile) {
        cause = "its name now leads to a listed source file, which has been left as it is";
    }
    sink_.ReportError("Failed to write to output file \"" + destination + "\" (" + cause + ")");
    Running = false;
}

bool AudioEngine::Sweep(const FileData& file, const std::string& source,
                        const std::string& destination, PassFile& input, PassFile* output,
                        BlockTransform transform, const std::string& label, double weight) {
    const bool writes = output != nullptr;
    const bool rewrites = destination == source;
    auto* buffer = reinterpret_cast<char*>(TransferBuffer.data());
    auto failed = [&] { ReportWriteFailure(destination); };
    // Every byte a pass reads goes into the digest, so that a write can tell whether it read
    // what the scan read.
    ByteDigest digest;
    // The header and what follows the data are read here; the data itself through the stream.
    auto readAt = [&](int64_t offset, size_t size) {
        const size_t got = input.Seek(offset) ? input.Read(buffer, size) : size_t{0};
        digest.Add(buffer, got);
        return got;
    };

    const int64_t dataBytes = int64_t{file.FrameCount} * BytesPerFrame + file.TailBytes;
    for (int64_t at = 0; at < file.HeaderSize;) {
        const size_t piece = std::min<int64_t>(file.HeaderSize - at, int64_t(BlockBytes));
        const size_t got = readAt(at, piece);
        if (writes) {
            // Bytes the source no longer holds are written as zeros, never as stale ones.
            std::memset(buffer + got, 0, piece - got);
            if (file.ShorterThanHeader) {
                // The only fields ever rewritten: the sizes, to what the result holds.
                PutSizeField(buffer, at, piece, 4, file.HeaderSize - 8 + dataBytes);
                PutSizeField(buffer, at, piece, file.HeaderSize - 4, dataBytes);
            }
            if (!output->Write(buffer, piece)) {
                failed();
                return false;
            }
        }
        at += int64_t(piece);
    }

    sink_.PassStarted(label + ":", FileNamePart(source));
    sink_.PumpEvents();

    // A data chunk without a whole frame has no block to run.
    const int32_t blocks = file.FrameCount > 0 ? file.BlockCount : 0;
    bool allBlocks = true;
    if (blocks > 0) {
        // The data moves in chunks on a thread of its own; the work, the progress and the
        // events still go block by block.
        ChunkStream stream(input, file.HeaderSize, int64_t{file.FrameCount} * BytesPerFrame, output,
                           ChunkBytes, &digest);
        ChunkStream::Chunk* chunk = nullptr;
        size_t chunkAt = 0;  // where the next block starts in chunk
        for (int32_t i = 1; i <= blocks; ++i) {
            const int32_t frames =
                i == blocks && file.LastBlockFrames != 0 ? file.LastBlockFrames : FramesPerBlock;
            const size_t bytes = size_t(frames) * BytesPerFrame;
            if (chunk == nullptr) {
                chunk = stream.Next();
                chunkAt = 0;
                if (chunk == nullptr) {
                    failed();  // an earlier chunk could not be written
                    return false;
                }
            }
            // A result being rewritten was written whole; if it is shorter now, someone
            // changed it since, and filling it up would only damage it more.
            if (chunkAt + bytes > chunk->Got && rewrites) {
                sink_.ReportError("Failed to read from file \"" + source +
                                  "\" (has it been changed since it was prepared?)");
                Running = false;
                return false;
            }
            sink_.PassProgress(int(int64_t{i} * 100 / file.BlockCount));
            sink_.PumpEvents();
            TransformBlock(transform, reinterpret_cast<int16_t*>(chunk->Data + chunkAt), frames,
                           writes, rewrites && !PassChangedSamples);
            chunkAt += bytes;
            if (chunkAt == chunk->Size) {
                stream.Put(chunk);
                chunk = nullptr;
            }
            Estimator.UpdateEstimate(static_cast<int32_t>(std::nearbyint(frames * weight)), false);
            if (!Running) {
                allBlocks = i == blocks;
                break;
            }
        }
        // A copy that stops early is dropped whole, so what is still queued need not go out.
        if (allBlocks && writes && !stream.Finish()) {
            failed();
            return false;
        }
    }
    if (!allBlocks) {
        return false;
    }

    if (writes && file.TailBytes > 0) {
        std::memset(buffer, 0, size_t(file.TailBytes));
        if (!output->Write(buffer, size_t(file.TailBytes))) {
            failed();
            return false;
        }
    }
    // Tags, cue points and any other chunks after the sample data go with a finished copy,
    // unchanged; a source shorter than its header has none.
    if (!file.ShorterThanHeader) {
        for (int64_t at = file.HeaderSize + dataBytes;;) {
            const size_t got = readAt(at, BlockBytes);
            if (got == 0) {
                break;
            }
            if (writes && !output->Write(buffer, got)) {
                failed();
                return false;
            }
            at += int64_t(got);
        }
    }
    InputTotals.Digest = Totals.Digest = digest.Value();
    return true;
}

void AudioEngine::TransformBlock(BlockTransform transform, int16_t* samples, int32_t frames,
                                 bool measureInput, bool compareInput) {
    const size_t count = size_t(frames) * 2;
    if (measureInput || compareInput) {
        std::memcpy(ReadBlock.data(), samples, count * sizeof(int16_t));
    }
    if (measureInput) {
        // Measured on the copy: the scan's handling of -32768 must not reach the transform.
        InputTotals.SumOfSquares += Transforms.Scan(ReadBlock.data(), count, InputTotals.Peak);
    }
    if (transform == BlockTransform::Scan && ScanHistogram != nullptr) {
        ScanHistogram->Add(samples, count);
        return;
    }
    if (transform == BlockTransform::Map) {
        Totals.SumOfSquares += mapTable_->MapSamples(samples, count);
    } else {
        Totals.SumOfSquares +=
            ApplyTransform(Transforms, CurrentStep(transform), samples, count, Totals.Peak);
    }
    if (compareInput) {
        PassChangedSamples = std::memcmp(ReadBlock.data(), samples, count * sizeof(int16_t)) != 0;
    }
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

bool AudioEngine::WriteMapped(FileData& file, const std::string& source,
                              const std::string& destination, const ValueTable& table,
                              const std::string& label, const PassTotals& expectedInput) {
    Totals = PassTotals{};
    mapTable_ = &table;
    expectedInput_ = &expectedInput;
    lastCopyWhole_ = false;
    try {
        RunPass(file, source, destination, BlockTransform::Map, label, 2.0);
    } catch (...) {
        mapTable_ = nullptr;
        expectedInput_ = nullptr;
        throw;
    }
    mapTable_ = nullptr;
    expectedInput_ = nullptr;
    RecordRewrite(file);
    return lastCopyWhole_;
}

void AudioEngine::RecordRewrite(FileData& file) {
    // The new file now stands under the result's name; a followed pass wrote nothing.
    if (Plan == nullptr && lastCopyWhole_) {
        file.ResultIdentity = CreatedIdentity;
    }
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
    file.ScanSumOfSquares = Totals.SumOfSquares;
    file.ScanDigest = Running ? Totals.Digest : 0;
    file.ScanLoudness = PassLoudness(file);
}

void AudioEngine::NormaliseFile(FileData& file, bool final) {
    Totals = PassTotals{};
    if (final) {
        RunPass(file, file.ResultFile, file.ResultFile, BlockTransform::Gain, "Final Limiting",
                2.0);
        RecordRewrite(file);
    } else {
        const PassTotals scanned{file.Peak, file.ScanSumOfSquares, file.ScanDigest};
        expectedInput_ = &scanned;
        try {
            RunPass(file, file.SourceFile, file.ResultFile, BlockTransform::Gain, "Normalising",
                    2.0);
        } catch (...) {
            expectedInput_ = nullptr;
            throw;
        }
        expectedInput_ = nullptr;
        // A followed pass creates nothing; the result of a real one is recorded only once it
        // is whole under its name.
        if (Plan == nullptr) {
            file.ResultIdentity = lastCopyWhole_ ? CreatedIdentity : FileIdentity{};
        }
    }
    file.Loudness = PassLoudness(file);
    file.LoudnessCutShort = !Running;
    if (Running) {
        file.Normalised = true;
    }
}

void AudioEngine::MeasureResult(FileData& file) {
    Totals = PassTotals{};
    RunPass(file, file.ResultFile, std::string(), BlockTransform::Scan, "Measuring", 1.0);
    if (Running) {
        file.Loudness = PassLoudness(file);
        file.LoudnessCutShort = false;
    }
}

void AudioEngine::AdjustFile(FileData& file, double target) {
    PassChangedSamples = false;
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
        RecordRewrite(file);
        file.Loudness = PassLoudness(file);
        file.LoudnessCutShort = !Running;
        ++CompressCount;
    } else {
        ReduceGain = ReduceStep(SelectReduceFactor(Tables.ReduceFactors, x)).Gain;
        RunPass(file, file.ResultFile, file.ResultFile, BlockTransform::Reduce, "Reducing", 3.0);
        RecordRewrite(file);
        file.Loudness = PassLoudness(file);
        file.LoudnessCutShort = !Running;
        ++ReduceCount;
    }
}

}  // namespace tralux
