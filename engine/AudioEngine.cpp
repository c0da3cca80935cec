#include "AudioEngine.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <utility>

#include "BlockTransforms.h"
#include "ResultSizes.h"
#include "files/ByteDigest.h"
#include "files/ChunkStream.h"
#include "files/SampleFormats.h"

namespace tralux {
namespace {

// The pieces in which the header and what follows the data are copied.
constexpr size_t BlockBytes = static_cast<size_t>(FramesPerBlock) * BytesPerFrame;
// The data moves in reads and writes of 8 blocks (160 kB): few system calls, while progress
// and events still come after every block. Each worker of a run holds three such chunks, so
// larger ones would cost every core's worker memory, and while every core has a file of its
// own they save next to no time.
constexpr size_t ChunkBytes = 8 * BlockBytes;
// A long pass on an engine that has the cores to itself (one long file) moves its data in
// chunks of 32 blocks (640 kB): a quarter of the hand-offs between threads, which made a scan
// of an hour's file about a third slower and its write about a tenth. Only that one engine
// holds such chunks, so a run's memory grows by at most 1.5 MB.
constexpr size_t LongChunkBytes = 32 * BlockBytes;

// The whole blocks of a file that fit in one chunk of chunkBytes, in bytes: a chunk never ends
// inside a block.
size_t FileChunkBytes(const FileData& file, size_t chunkBytes) {
    const size_t blockBytes = size_t(file.BlockFrames) * file.FrameBytes();
    return std::max<size_t>(1, chunkBytes / blockBytes) * blockBytes;
}

std::string FileNamePart(const std::string& path) {
    return std::filesystem::path(path).filename().string();
}

// A wide file's samples read again for a plan that could not keep its values: straight from
// the file, a piece at a time, with the run's events between the pieces. A read that fails
// stops the run, so that no plan made from part of the samples is written.
class SampleReread : public SampleSweep {
public:
    SampleReread(AudioEngine& engine, const FileData& file, std::string path)
        : engine_(engine),
          path_(std::move(path)),
          offset_(file.HeaderSize),
          bytes_(file.FrameCount * file.FrameBytes()),
          sampleBytes_(size_t(file.Format.Sample.ContainerBytes)) {}

    bool Run(const std::function<void(const unsigned char*, size_t)>& take) const override {
        const std::unique_ptr<PassFile> input = engine_.Files().OpenExisting(path_);
        if (!input || !input->Seek(offset_)) {
            return Failed();
        }
        std::vector<unsigned char> buffer(ChunkBytes / 8 * 8);
        for (int64_t at = 0; at < bytes_;) {
            if (!engine_.Running) {
                return false;
            }
            const size_t want = size_t(std::min<int64_t>(int64_t(buffer.size()), bytes_ - at));
            size_t got = 0;
            for (size_t piece = 1; got < want && piece != 0; got += piece) {
                piece = input->Read(buffer.data() + got, want - got);
            }
            if (got != want) {
                return Failed();
            }
            take(buffer.data(), want / sampleBytes_);
            at += int64_t(want);
            engine_.Sink().PumpEvents();
        }
        return engine_.Running;
    }

private:
    bool Failed() const {
        engine_.Sink().ReportError("Failed to read from file \"" + path_ +
                                   "\" (has it been changed since it was prepared?)");
        engine_.Running = false;
        return false;
    }

    AudioEngine& engine_;
    std::string path_;
    int64_t offset_;
    int64_t bytes_;
    size_t sampleBytes_;
};

}  // namespace

PassTotals ScanTotalsOf(const FileData& file) {
    PassTotals totals;
    if (file.IsPlain16Bit()) {
        totals.Peak = static_cast<int16_t>(file.Peak);
    }
    totals.SumOfSquares = file.ScanSumOfSquares;
    totals.GridPeak = file.ScanGridPeak;
    totals.GridSum = file.ScanGridSum;
    totals.Digest = file.ScanDigest;
    return totals;
}

std::string PassOpenError::Reason() const {
    return ErrorNumber == 0 ? std::string() : std::string(std::strerror(ErrorNumber));
}

AudioEngine::AudioEngine(ProgressSink& sink, Clock clock, FileAccess& files)
    : Estimator(sink, std::move(clock)), sink_(sink), files_(files), streams_(LongChunkBytes) {
    scanValues_.Apply(Transforms, TransformStep{BlockTransform::Scan});
}

void AudioEngine::RunPass(const FileData& file, const std::string& source,
                          const std::string& destination, const ValueTable* mapping,
                          const std::string& label, double weight) {
    const bool writes = !destination.empty();
    // A result is rewritten through a new file that replaces it when whole; no file that
    // exists is ever opened for writing.
    const bool rewrites = destination == source;
    lastCopyWhole_ = false;
    finished_.reset();
    std::unique_ptr<PassFile> input;
    std::unique_ptr<PassFile> output;
    auto endPass = [&] {
        dense_.Give();
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
        SettleResults();  // a failure of the result before is told first, as it came first
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
            SettleResults();
            throw PassOpenError("Cannot create file " + destination, error);
        }
        CreatedIdentity = output->Identity();
    }
    InputTotals = PassTotals{};
    // A counting scan takes its peak and sum of squares from the counts, once, at its end.
    const bool plain = file.IsPlain16Bit();
    const bool wide = WideFormat(file.Format.Sample);
    // Made for the passes over wide files only: their exact sums take tens of kilobytes.
    wideTotals_ = wide ? std::make_unique<WideMeasure>() : nullptr;
    wideInput_ = wide ? std::make_unique<WideMeasure>() : nullptr;
    const bool counting = !writes && (plain ? counts_ != nullptr : gridCounts_ != nullptr);
    if (counting && !plain) {
        // The counts counted into before go first: never two of them at once.
        *gridCounts_ = GridCounts{};
    }
    if (counting && plain) {
        counts_->Clear();
    } else if (counting && wide) {
        // The dense tables of grids counted before are not needed beside a wide count.
        dense_.Free();
        wideCounter_.Start(file.Format.Sample, WideValuesKept);
    } else if (counting) {
        TakeDenseTable();
        gridCounter_.Start(file.Format.Sample);
    }

    BlockObserver* const observer = observedSide_ ? Observer : nullptr;
    if (observer != nullptr) {
        observer->SweepBegun(file, *observedSide_,
                             SweepFormat{int(file.Format.Channels), int(file.Format.SampleRate)});
    }
    try {
        const bool whole =
            file.Flac
                ? SweepFlac(file, source, destination, *input, output.get(), mapping, label, weight)
                : Sweep(file, source, destination, *input, output.get(), mapping, label, weight);
        if (wide) {
            TakeWideTotals();
        }
        if (counting && plain) {
            Totals.Peak = MappedPeak(*counts_, scanValues_);
            Totals.SumOfSquares = MappedSumOfSquares(*counts_, scanValues_);
        } else if (counting && wide) {
            GridCounts counts;
            counts.Format = file.Format.Sample;
            if (!wideCounter_.Take(counts.Wide)) {
                auto samples = std::make_shared<SampleReread>(*this, file, source);
                samples->MayHold = WideValuesKept * 2 * sizeof(WideValue);
                counts.Samples = std::move(samples);
            }
            *gridCounts_ = std::move(counts);
        } else if (counting) {
            *gridCounts_ = gridCounter_.Take();
            const GridMeasure counted = MeasureCounts(SampleGrid(file.Format.Sample), *gridCounts_);
            Totals.GridPeak = counted.Peak;
            Totals.GridSum = counted.Sum;
        }
        dense_.Give();  // every block went through it
        // A new file takes its name only when it is whole, and only when what was read is what
        // its gain was chosen from; otherwise the name keeps what it held before the pass.
        // The result before this one must be whole first: a failure stops the run there, and
        // this one is dropped as any write after it would be. Its bytes start for the disk now.
        if (writes && whole) {
            output->StartFlush();
        }
        if (writes && whole && !SettleResults()) {
            lastCopyWhole_ = false;
        } else if (writes && whole && !InputAsExpected(file, source, destination)) {
            Running = false;
        } else if (writes && whole && HandsOffResults) {
            finished_ = std::make_unique<FinishedResult>(
                FinishedResult{std::move(output), rewrites ? std::move(input) : nullptr,
                               destination, FileNamePart(source)});
            lastCopyWhole_ = true;
        } else if (writes && whole && CommitsInBackground && files_.SharedByThreads()) {
            committingDestination_ = destination;
            committingSource_ = FileNamePart(source);
            commits_.Start(std::move(output), rewrites ? std::move(input) : nullptr);
            lastCopyWhole_ = true;
        } else {
            lastCopyWhole_ = writes && whole && output->Commit();
            if (lastCopyWhole_) {
                releases_.Close(output->TakeReplaced());
            }
            if (writes && whole && !lastCopyWhole_) {
                ReportWriteFailure(destination, output->Refusal());
            }
        }
        if (observer != nullptr) {
            observer->SweepEnded(writes ? lastCopyWhole_ : whole && Running);
        }
    } catch (...) {
        if (observer != nullptr) {
            observer->SweepEnded(false);
        }
        endPass();
        throw;
    }
    endPass();
}

bool AudioEngine::InputAsExpected(const FileData& file, const std::string& source,
                                  const std::string& destination) {
    const bool same = expectedInput_ == nullptr ||
                      (expectedInput_->Digest != 0
                           ? InputTotals.Digest == expectedInput_->Digest
                           : InputTotals.Peak == expectedInput_->Peak &&
                                 InputTotals.SumOfSquares == expectedInput_->SumOfSquares &&
                                 InputTotals.GridPeak == expectedInput_->GridPeak &&
                                 InputTotals.GridSum == expectedInput_->GridSum);
    if (same) {
        return true;
    }
    // Samples that changed since they were measured would come out cut off or as silence.
    if (destination == source) {
        sink_.ReportError("Result file \"" + destination +
                          "\" has changed since it was measured; it has been left as it is");
    } else {
        sink_.ReportError("File \"" + file.SourceFile +
                          "\" has changed since it was scanned; its result \"" + destination +
                          "\" has been left as it was");
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
                        const ValueTable* mapping, const std::string& label, double weight) {
    const bool writes = output != nullptr;
    // A digest of every byte read proves the source unchanged on its own; the samples are
    // measured again only against an expectation that has no digest.
    const bool measuresInput = writes && expectedInput_ != nullptr && expectedInput_->Digest == 0;
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

    const int64_t frameBytes = file.FrameBytes();
    const int64_t dataBytes = file.FrameCount * frameBytes + file.TailBytes;
    for (int64_t at = 0; at < file.HeaderSize;) {
        const size_t piece = std::min<int64_t>(file.HeaderSize - at, int64_t(BlockBytes));
        const size_t got = readAt(at, piece);
        if (writes) {
            // Bytes the source no longer holds are written as zeros, never as stale ones.
            std::memset(buffer + got, 0, piece - got);
            if (file.ShorterThanHeader) {
                PutResultSizes(buffer, at, piece, file, dataBytes);
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
    const int64_t blocks = file.FrameCount > 0 ? file.BlockCount : 0;
    bool allBlocks = true;
    if (blocks > 0) {
        // The data moves in chunks on a thread of its own; the work, the progress and the
        // events still go block by block. A write's digest is taken here, beside the mapping,
        // as that thread both reads and writes; a pass that only maps without writing feeds a
        // meter (MeasureChain), whose digest nothing reads.
        const bool digests = !writes && !mapOnly_;
        ChunkStream stream(input, file.HeaderSize, file.FrameCount * frameBytes, output, streams_,
                           digests ? &digest : nullptr,
                           FileChunkBytes(file, LongPass(file) ? LongChunkBytes : ChunkBytes));
        SplitCountScope split(SplitCounterFor(file, mapping, writes),
                              size_t(file.BlockFrames) * size_t(frameBytes));
        ChunkStream::Chunk* chunk = nullptr;
        size_t chunkAt = 0;      // where the next block starts in chunk
        size_t countedHere = 0;  // the bytes of chunk this thread counts
        countedAside_ = false;   // whatever a pass that threw left
        for (int64_t i = 1; i <= blocks; ++i) {
            const int32_t frames =
                i == blocks && file.LastBlockFrames != 0 ? file.LastBlockFrames : file.BlockFrames;
            const size_t bytes = size_t(frames) * size_t(frameBytes);
            if (chunk == nullptr) {
                chunk = stream.Next();
                chunkAt = 0;
                if (chunk == nullptr) {
                    failed();  // an earlier chunk could not be written
                    return false;
                }
                if (writes) {
                    digest.Add(chunk->Data, chunk->Got);
                }
                countedHere = split.Take(chunk->Data, chunk->Size);
            }
            // A result being rewritten was written whole; if it is shorter now, someone
            // changed it since, and filling it up would only damage it more.
            if (chunkAt + bytes > chunk->Got && rewrites) {
                sink_.ReportError("Failed to read from file \"" + source +
                                  "\" (has it been changed since it was prepared?)");
                Running = false;
                return false;
            }
            sink_.PassProgress(int(i * 100 / file.BlockCount));
            sink_.PumpEvents();
            const size_t count = size_t(frames) * file.Channels();
            countedAside_ = chunkAt >= countedHere;
            TransformFileBlock(file, mapping, writes,
                               reinterpret_cast<unsigned char*>(chunk->Data + chunkAt), count,
                               measuresInput);
            countedAside_ = false;
            chunkAt += bytes;
            if (chunkAt == chunk->Size) {
                split.Release();
                stream.Put(chunk);
                chunk = nullptr;
            }
            Estimator.UpdateEstimate(static_cast<int32_t>(std::nearbyint(frames * weight)), false);
            if (!Running) {
                allBlocks = i == blocks;
                break;
            }
        }
        split.Finish(allBlocks ? counts_ : nullptr);
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

bool AudioEngine::LongPass(const FileData& file) const {
    return file.FrameCount > 0 &&
           uint64_t(file.FrameCount) * uint64_t(file.FrameBytes()) >= LongPassFrom;
}

void AudioEngine::TransformFileBlock(const FileData& file, const ValueTable* mapping, bool writes,
                                     unsigned char* bytes, size_t count, bool measuresInput) {
    BlockObserver* const observer = observedSide_ ? Observer : nullptr;
    const size_t frames = count / std::max<size_t>(file.Channels(), 1);
    // A read is shown as read (the scan folds -32768 in place), a write or a mapped read as
    // mapped.
    const bool showsMapped = writes || mapping != nullptr || chainMapsGrid_;
    if (file.IsPlain16Bit()) {
        auto* samples = reinterpret_cast<int16_t*>(bytes);
        if (observer != nullptr && !showsMapped) {
            observer->Frames(samples, frames);
        }
        TransformBlock(mapping, samples, count, measuresInput);
        if (observer != nullptr && showsMapped) {
            observer->Frames(samples, frames);
        }
    } else {
        if (observer != nullptr && !showsMapped) {
            ShowDecoded(*observer, file, bytes, frames);
        }
        TransformGridBlock(file, writes || chainMapsGrid_, bytes, count, measuresInput);
        if (observer != nullptr && showsMapped) {
            ShowDecoded(*observer, file, bytes, frames);
        }
    }
}

void AudioEngine::TransformBlock(const ValueTable* mapping, int16_t* samples, size_t count,
                                 bool measureInput) {
    if (measureInput) {
        // Measured on a copy: the scan's handling of -32768 must not reach the mapping.
        std::memcpy(ReadBlock.data(), samples, count * sizeof(int16_t));
        InputTotals.SumOfSquares += Transforms.Scan(ReadBlock.data(), count, InputTotals.Peak);
    }
    if (mapping != nullptr && mapOnly_) {
        mapping->MapOnly(samples, count);
    } else if (mapping != nullptr) {
        Totals.SumOfSquares += mapping->MapSamples(samples, count);
    } else if (counts_ != nullptr) {
        if (!countedAside_) {
            counts_->Add(samples, count);
        }
    } else {
        Totals.SumOfSquares += Transforms.Scan(samples, count, Totals.Peak);
    }
}

void AudioEngine::ShowDecoded(BlockObserver& observer, const FileData& file,
                              const unsigned char* samples, size_t frames) {
    const size_t count = frames * file.Channels();
    decoded_.resize(count);
    DecodeSamples(file.Format.Sample, samples, count, decoded_.data());
    for (double& value : decoded_) {
        value /= FullScale;
    }
    observer.Frames(decoded_.data(), frames);
}

void AudioEngine::TransformGridBlock(const FileData& file, bool maps, unsigned char* samples,
                                     size_t count, bool measureInput) {
    if (WideFormat(file.Format.Sample)) {
        TransformWideBlock(file, maps, samples, count, measureInput);
        return;
    }
    const SampleGrid grid(file.Format.Sample);
    if (measureInput) {
        ScanGridBlock(grid, samples, count, InputTotals.GridPeak, InputTotals.GridSum);
    }
    const GridMap& map = chainMapsGrid_ ? chainMap_ : gridMap_;
    if (maps && mapOnly_) {
        map.MapOnly(samples, count);
    } else if (maps) {
        map.MapBlock(samples, count, Totals.GridSum);
    } else if (gridCounts_ != nullptr) {
        gridCounter_.Add(samples, count);
    } else {
        ScanGridBlock(grid, samples, count, Totals.GridPeak, Totals.GridSum);
    }
}

void AudioEngine::TransformWideBlock(const FileData& file, bool maps, unsigned char* samples,
                                     size_t count, bool measureInput) {
    const WideGrid grid(file.Format.Sample);
    if (measureInput) {
        wideInput_->Add(grid, samples, count);
    }
    if (!maps) {
        if (gridCounts_ != nullptr) {
            wideCounter_.Add(samples, count, *wideTotals_);
        } else {
            wideTotals_->Add(grid, samples, count);
        }
        return;
    }
    // Each sample through the plan's steps, as the plan followed it: no table of every value
    // fits these formats.
    if (mapOnly_) {
        grid.MapSamplesOnly(wideMap_, wideSteps_, samples, count);
    } else if (wideMap_.Empty()) {
        grid.MapSamples(wideSteps_, samples, count, *wideTotals_);
    } else {
        grid.MapSamples(wideMap_, wideSteps_, samples, count, *wideTotals_);
    }
}

void AudioEngine::TakeWideTotals() {
    Totals.GridPeak = wideTotals_->PeakKey();
    Totals.GridSum = wideTotals_->SumKey();
    InputTotals.GridPeak = wideInput_->PeakKey();
    InputTotals.GridSum = wideInput_->SumKey();
}

bool AudioEngine::WriteThrough(FileData& file, const std::string& source,
                               const std::string& destination, const ValueTable* table,
                               const std::string& label, const PassTotals& expectedInput,
                               bool mapOnly) {
    Totals = PassTotals{};
    expectedInput_ = &expectedInput;
    mapOnly_ = mapOnly;
    lastCopyWhole_ = false;
    observedSide_ = SweepSide::Result;
    try {
        RunPass(file, source, destination, table, label, 2.0);
    } catch (...) {
        expectedInput_ = nullptr;
        mapOnly_ = false;
        observedSide_.reset();
        throw;
    }
    expectedInput_ = nullptr;
    mapOnly_ = false;
    observedSide_.reset();
    // The new file now stands under the result's name (or will, once its commit is in).
    if (lastCopyWhole_ && commits_.Pending()) {
        committing_ = &file;
        identityBeforeCommit_ = file.ResultIdentity;
        undoCommit_ = nullptr;
    }
    if (lastCopyWhole_) {
        file.ResultIdentity = CreatedIdentity;
    }
    return lastCopyWhole_;
}

bool AudioEngine::WriteMapped(FileData& file, const std::string& source,
                              const std::string& destination, const ValueTable& table,
                              const std::string& label, const PassTotals& expectedInput,
                              const SampleHistogram* inputValues) {
    const bool whole = WriteThrough(file, source, destination, &table, label, expectedInput,
                                    inputValues != nullptr);
    // A whole file read what was counted (its digest, peak and sum of squares say so), so the
    // counts mapped through the table give exactly the sum the samples written have.
    if (inputValues != nullptr && whole) {
        Totals.SumOfSquares = MappedSumOfSquares(*inputValues, table);
    }
    return whole;
}

bool AudioEngine::WriteGridMapped(FileData& file, const std::string& source,
                                  const std::string& destination, const GridCounts& counts,
                                  const GridTable& table, const std::string& label,
                                  const PassTotals& expectedInput, bool countsAreInput) {
    if (WideFormat(file.Format.Sample)) {
        // Measured sample by sample as written; each sample looked up in what the plan made of
        // the values counted, when they were kept and are few enough to map in half the
        // memory they took, or else taken through the plan's steps.
        wideSteps_ = table.Steps;
        wideMap_.Build(counts.Wide, table.WideMapped, WideValuesKept / 4);
        // The kept values of exactly what the write reads give what it writes, as for the
        // other grids.
        const bool fromValues = countsAreInput && counts.Samples == nullptr &&
                                table.WideMapped.size() == counts.Wide.size();
        const bool whole =
            WriteThrough(file, source, destination, nullptr, label, expectedInput, fromValues);
        wideMap_.Clear();
        if (fromValues && whole) {
            const WideMeasure written = MeasureMapped(file.Format.Sample, counts, table);
            Totals.GridPeak = written.PeakKey();
            Totals.GridSum = written.SumKey();
        }
        return whole;
    }
    if (countsAreInput && GridMap::MapsBySteps(file.Format.Sample, table.Steps.size())) {
        // Every key the write reads was counted: the steps make of each what the table does.
        gridMap_.UseSteps(file.Format.Sample, table.Steps);
    } else {
        TakeDenseTable();  // until the write's pass ends
        gridMap_.Build(counts, table);
    }
    const bool whole =
        WriteThrough(file, source, destination, nullptr, label, expectedInput, countsAreInput);
    if (countsAreInput && whole) {
        Totals.GridSum = MeasureTable(SampleGrid(file.Format.Sample), counts, table).Sum;
    }
    return whole;
}

bool AudioEngine::SettleResults() {
    if (!commits_.Pending()) {
        return true;
    }
    const ResultCommitter::Outcome outcome = commits_.Finish();
    FileData* const file = std::exchange(committing_, nullptr);
    const std::function<void()> undo = std::exchange(undoCommit_, nullptr);
    if (outcome.Whole) {
        releases_.Close(outcome.Replaced);
        return true;
    }
    if (file != nullptr) {
        file->ResultIdentity = identityBeforeCommit_;
    }
    ReportWriteFailure(committingDestination_, outcome.Refusal);
    sink_.ResultNotKept(committingSource_);
    if (undo) {
        undo();
    }
    return false;
}

void AudioEngine::WhenResultNotKept(std::function<void()> undo) {
    if (commits_.Pending()) {
        undoCommit_ = std::move(undo);
    }
}

bool AudioEngine::CommitFinished(std::unique_ptr<FinishedResult> result, FileData& file) {
    if (!SettleResults()) {
        return false;
    }
    committingDestination_ = result->Destination;
    committingSource_ = result->SourceName;
    commits_.Start(std::move(result->Output), std::move(result->Held));
    committing_ = &file;
    identityBeforeCommit_ = file.ResultIdentity;
    undoCommit_ = nullptr;
    // Without the background, the run's thread waits for the commit here.
    return CommitsInBackground || SettleResults();
}

void AudioEngine::ForgetNormalisedResult(FileData& file) {
    file.ResultIdentity = FileIdentity{};
    file.LoudnessCutShort = true;
    file.Normalised = false;
}

double AudioEngine::PassLoudness(const FileData& file) const {
    if (file.FrameCount <= 0) {
        return 0.0;  // nothing measured: silent
    }
    if (!file.IsPlain16Bit()) {
        return GridLoudness(file.Format.Sample, Totals.GridSum, file.SampleCount());
    }
    return std::sqrt(static_cast<double>(Totals.SumOfSquares) /
                     static_cast<double>(file.SampleCount()));
}

PassTotals AudioEngine::ReadPass(const FileData& file, const std::string& path,
                                 const std::string& label, SampleHistogram* counts,
                                 GridCounts* gridCounts, std::optional<SweepSide> observed) {
    Totals = PassTotals{};
    counts_ = counts;
    gridCounts_ = gridCounts;
    observedSide_ = observed;
    try {
        RunPass(file, path, std::string(), nullptr, label, 1.0);
    } catch (...) {
        counts_ = nullptr;
        gridCounts_ = nullptr;
        observedSide_.reset();
        throw;
    }
    counts_ = nullptr;
    gridCounts_ = nullptr;
    observedSide_.reset();
    return Totals;
}

void AudioEngine::ScanFile(FileData& file, SampleHistogram* counts, GridCounts* gridCounts) {
    file.Normalised = false;
    const PassTotals scanned =
        ReadPass(file, file.SourceFile, "Scanning", counts, gridCounts, SweepSide::Source);
    file.Peak = file.IsPlain16Bit() ? static_cast<double>(scanned.Peak)
                                    : GridLevel(file.Format.Sample, scanned.GridPeak);
    file.ScanSumOfSquares = scanned.SumOfSquares;
    file.ScanGridPeak = scanned.GridPeak;
    file.ScanGridSum = scanned.GridSum;
    file.ScanDigest = Running ? scanned.Digest : 0;
    if (file.Flac && Running) {
        file.FlacLevel = flacLevelSeen_;
    }
    file.ScanLoudness = PassLoudness(file);
}

PassTotals AudioEngine::CountValues(const FileData& file, const std::string& path,
                                    SampleHistogram& counts) {
    return ReadPass(file, path, "Scanning", &counts);
}

PassTotals AudioEngine::CountValues(const FileData& file, const std::string& path,
                                    GridCounts& counts) {
    return ReadPass(file, path, "Scanning", nullptr, &counts);
}

void AudioEngine::NormaliseFile(FileData& file, double gain) {
    TransformStep step{BlockTransform::Gain};
    step.Gain = gain;
    bool whole = false;
    if (file.IsPlain16Bit()) {
        ValueTable table;
        table.Apply(Transforms, step);
        whole = WriteMapped(file, file.SourceFile, file.ResultFile, table, "Normalising",
                            ScanTotalsOf(file));
    } else {
        if (WideFormat(file.Format.Sample)) {
            wideSteps_ = {step};
            wideMap_.Clear();
        } else if (GridMap::MapsBySteps(file.Format.Sample, 1)) {
            // One step over every key: the arithmetic of the table's, with no table.
            gridMap_.UseSteps(file.Format.Sample, std::span<const TransformStep>(&step, 1));
        } else {
            TakeDenseTable();  // until the write's pass ends
            gridMap_.Build(file.Format.Sample, step);
        }
        whole = WriteThrough(file, file.SourceFile, file.ResultFile, nullptr, "Normalising",
                             ScanTotalsOf(file), false);
    }
    // Only a result whole under its name is recorded; until then the name holds no result.
    if (!whole) {
        file.ResultIdentity = FileIdentity{};
    } else {
        WhenResultNotKept([&file] { ForgetNormalisedResult(file); });
    }
    file.Loudness = PassLoudness(file);
    file.LoudnessCutShort = !Running;
    if (Running) {
        file.Normalised = true;
    }
}

void AudioEngine::MeasureResult(FileData& file) {
    ReadPass(file, file.ResultFile, "Measuring", nullptr, nullptr, SweepSide::Result);
    if (Running) {
        file.Loudness = PassLoudness(file);
        file.LoudnessCutShort = false;
    }
}

}  // namespace tralux
