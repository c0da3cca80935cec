#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "BlockObserver.h"
#include "BlockTransforms.h"
#include "FileData.h"
#include "GridValues.h"
#include "ProgressSink.h"
#include "SampleTable.h"
#include "SplitCounter.h"
#include "TimeEstimator.h"
#include "files/BackgroundCloser.h"
#include "files/ChunkStream.h"
#include "files/FileAccess.h"
#include "files/ResultCommitter.h"

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

// The running peak and sum of squares of the samples a pass has seen or written. The sum is
// exact (below 2^61 for the longest data chunk) and becomes a double only for the loudness.
struct PassTotals {
    int16_t Peak = 0;
    int64_t SumOfSquares = 0;
    // The ByteDigest of every byte of the file the pass read (header, samples and what
    // follows them), once it has read them all; 0 when not taken.
    uint64_t Digest = 0;
    // The peak and sum of squares of the keys of a file of another integer grid (see
    // GridValues.h).
    int64_t GridPeak = 0;
    unsigned __int128 GridSum = 0;
};

// What a file's scan measured, as a copying pass checks what it reads against it.
PassTotals ScanTotalsOf(const FileData& file);

// The passes that sweep files, one at a time: scan (counting values when asked), write a
// result through a value table, measure a result. Holds the transfer buffer, the totals, the
// Running flag and the estimate of the whole operation. One object, owned by whoever runs
// operations (the main window, the terminal program, a test); what is written is planned
// elsewhere.
class AudioEngine {
public:
    explicit AudioEngine(ProgressSink& sink, Clock clock = SteadyClock(),
                         FileAccess& files = PosixFileAccess());

    // One sweep over the sample data of a file. destination empty: read-only, measuring (or,
    // while counting, counting) what it reads; otherwise a new file holding source mapped
    // through mapping (never null then), followed by whatever the source holds after its data
    // chunk, which takes the destination's name only when whole. destination equal to source
    // rewrites a result, only the file file.ResultIdentity names. Throws PassOpenError when a file
    // cannot be opened or created; a failed write, or a result that is not the recorded one, is
    // reported to the sink and clears Running.
    void RunPass(const FileData& file, const std::string& source, const std::string& destination,
                 const ValueTable* mapping, const std::string& label, double weight);

    // Measures SourceFile: Peak, ScanLoudness, ScanDigest; Normalised becomes false. With counts,
    // the source's sample values (as read, before -32768 is folded) are counted into it, afresh,
    // and the peak and sum of squares are taken from those counts.
    // A file of another integer grid counts into gridCounts instead.
    void ScanFile(FileData& file, SampleHistogram* counts = nullptr,
                  GridCounts* gridCounts = nullptr);
    // Reads path to count its sample values into counts, afresh (a pass labelled
    // "Scanning"); returns the peak and sum of squares the counts give.
    PassTotals CountValues(const FileData& file, const std::string& path, SampleHistogram& counts);
    PassTotals CountValues(const FileData& file, const std::string& path, GridCounts& counts);
    // Writes SourceFile multiplied by gain into a new ResultFile: Loudness, Normalised and
    // ResultIdentity as the write leaves them. A source that no longer holds what its scan
    // measured stops the run, and the new file never takes the result's name.
    void NormaliseFile(FileData& file, double gain);
    // Measures ResultFile without changing it: Loudness, once the pass has run to its end.
    void MeasureResult(FileData& file);

    // A chain of steps applied to a file's samples: the one way in for a measure and for a
    // write alike, in every format, so that what a meter reads through a chain is exactly what
    // the write through it writes (see LoadChain).
    // Reads path and shows observer (in place of Observer) its samples mapped through chain,
    // as a result's. Writes nothing (a pass labelled "Measuring"). True when every sample went
    // by.
    bool MeasureChain(const FileData& file, const std::string& path,
                      const std::vector<TransformStep>& chain, BlockObserver& observer);
    // WriteMapped through chain, for a file of any format. inputValues (16-bit files only) as
    // for WriteMapped.
    bool WriteChain(FileData& file, const std::string& source, const std::string& destination,
                    const std::vector<TransformStep>& chain, const std::string& label,
                    const PassTotals& expectedInput, const SampleHistogram* inputValues = nullptr);

    // Writes destination anew as source mapped through table (a copying pass, weight 2):
    // every transform a file is to have, in one pass. The new file takes its name only when it
    // is whole and what was read measures as expectedInput (peak and sum of squares); it is
    // then recorded as file.ResultIdentity. A source over which it is written must be that
    // recorded result. An expectedInput.Digest other than 0 must match every byte read too.
    // True when the new file is whole under its name. inputValues, when given, are the counts
    // of the values expectedInput was taken from: the sum of squares written is then taken from
    // them, once, instead of sample by sample (it is the same whenever the file is whole).
    bool WriteMapped(FileData& file, const std::string& source, const std::string& destination,
                     const ValueTable& table, const std::string& label,
                     const PassTotals& expectedInput, const SampleHistogram* inputValues = nullptr);

    // WriteMapped for a file of another integer grid: each key the counts hold becomes what
    // table says. countsAreInput: the counts are of exactly what the write reads, so the sum of
    // squares written is taken from them.
    bool WriteGridMapped(FileData& file, const std::string& source, const std::string& destination,
                         const GridCounts& counts, const GridTable& table, const std::string& label,
                         const PassTotals& expectedInput, bool countsAreInput);

    // Returns once the storage of every result a pass has replaced is freed: a run waits for
    // it before it ends, so that its time covers it.
    void SettleReplacedFiles() { releases_.Wait(); }

    // While set (and the file access allows it), a write whose data all went out and whose
    // input was as expected counts as whole, and its result is made whole under its name on a
    // thread of its own while the run goes on; the next write, or SettleResults, collects the
    // outcome first. A run sets it for its length.
    bool CommitsInBackground = false;
    // Collects the outcome of the result being committed, if any: false when it could not be
    // made whole. Then the failure is told as a write's would be, Running is cleared, the
    // file's ResultIdentity is what it was before that write and the undo given for it runs.
    // A run calls it before it tells anything that depends on that result, and before it ends.
    bool SettleResults();
    // What to set back, on the caller's thread, when the result of the last write (which
    // returned true) turns out not to be made whole by SettleResults.
    void WhenResultNotKept(std::function<void()> undo);

    // A write's new file that ran whole and read what it was to read, not yet made whole under
    // its name: the engine of a worker that writes beside others hands it to the run, which
    // commits the results in list order (CommitFinished), so that a run stopped at one file
    // changes no result after it.
    struct FinishedResult {
        std::unique_ptr<PassFile> Output;
        std::unique_ptr<PassFile> Held;  // the source of a rewrite, open until the commit
        std::string Destination;
        std::string SourceName;  // without its folder
    };
    // While set, a whole write keeps its new file for TakeFinishedResult instead of committing
    // it; the write still returns true and records the new file as file.ResultIdentity.
    bool HandsOffResults = false;
    std::unique_ptr<FinishedResult> TakeFinishedResult() { return std::move(finished_); }
    // Commits result, written by another engine for file, as this engine's last write: once
    // the result before it is settled (false, result dropped, when that one was not kept), in
    // the background when CommitsInBackground. file.ResultIdentity is still the one before
    // the write; SettleResults puts it back if the result is not kept.
    bool CommitFinished(std::unique_ptr<FinishedResult> result, FileData& file);
    // What a normalised copy that was not kept leaves of its file's record.
    static void ForgetNormalisedResult(FileData& file);

    // Counts and maps the keys of other integer grids through other's dense tables, taken in
    // turns with it, instead of tables of its own: the engines of the workers beside a run
    // share the run's tables. Only between passes.
    void ShareDenseKeys(const AudioEngine& other) { dense_.Share(other.dense_); }
    // Lets the memory of the dense tables go that no engine holds now; they are made again
    // when next needed.
    void LetDenseKeysGo() { dense_.Free(); }
    bool SharesDenseKeysWith(const AudioEngine& other) const {
        return dense_.SharesTablesWith(other.dense_);
    }

    // Root mean square of the last pass's samples over the file's frames; 0 with no frames.
    double PassLoudness(const FileData& file) const;

    ProgressSink& Sink() { return sink_; }
    FileAccess& Files() { return files_; }

    // The pieces of header and of what follows the data that a pass copies.
    alignas(64) std::array<int16_t, FramesPerBlock * 2> TransferBuffer{};
    // The block as it was read, kept while it is mapped to measure it.
    alignas(64) std::array<int16_t, FramesPerBlock * 2> ReadBlock{};
    PassTotals Totals;
    // A copying pass's digest of every byte it read, and its measure of the samples before the
    // mapping when what it must read is known by that measure alone (no digest).
    PassTotals InputTotals;
    // The folders a run holds for its results: while set, results are created and renamed in
    // them, and never over a source they keep. Set by the run for its length.
    const OutputFolders* Outputs = nullptr;
    // The file the last copying pass created.
    FileIdentity CreatedIdentity;
    bool Running = false;
    // Given every block of each scan, each write of a result and each measure of one; none
    // (the default) costs nothing. Recounts of values are not shown to it.
    BlockObserver* Observer = nullptr;

    // The per-sample code the scans and tables use: the widest this processor runs. All sets
    // give identical results; a benchmark may put the plain one in to compare.
    TransformSet Transforms = WidestTransformSet();
    // A pass over at least this many bytes of samples moves them in long chunks, and a 16-bit
    // count of them shares each chunk with a second thread (SplitCounter), so that one long file
    // uses two cores; an engine that works beside others does neither (the largest size).
    size_t LongPassFrom = size_t{8} << 20;

    TimeEstimator Estimator;

    // The compression level of FLAC results, 0 to 8; below 0, the level each source's frames
    // show (FileData::FlacLevel).
    int FlacLevelChoice = -1;

    // A count of a wide file (32-bit integers, floats) keeps at most this many distinct values
    // (16 bytes each). The plan of a file that holds more holds its samples instead, when they
    // take at most twice the memory of those values, or else reads them again for each pass it
    // plans: within the same memory whatever the file's length.
    size_t WideValuesKept = size_t{4} << 20;

private:
    // Holds one of the dense tables, the counter and the map working through it, until the
    // pass ends.
    void TakeDenseTable() {
        dense_.Take();
        gridCounter_.Use(dense_.Keys());
        gridMap_.Use(dense_.Keys());
    }
    // The header copy, the block loop and the tail of a pass whose files are open. output is
    // null for a read-only pass. True when every block and the tail went through.
    bool Sweep(const FileData& file, const std::string& source, const std::string& destination,
               PassFile& input, PassFile* output, const ValueTable* mapping,
               const std::string& label, double weight);
    // The same for a FLAC file: decoded (and its result encoded) a block at a time, each
    // block held as the WAV file of the same samples holds it, so that the transforms and
    // counts above see exactly those bytes. Defined in FlacSweep.cpp.
    bool SweepFlac(const FileData& file, const std::string& source, const std::string& destination,
                   PassFile& input, PassFile* output, const ValueTable* mapping,
                   const std::string& label, double weight);
    // The second counter of a long 16-bit count (see LongPassFrom); null when the pass
    // counts alone. Defined in SplitCounter.cpp.
    SplitCounter* SplitCounterFor(const FileData& file, const ValueTable* mapping, bool writes);
    // Whether a pass over file's samples is long (LongPassFrom).
    bool LongPass(const FileData& file) const;
    // Runs the per-sample work of one block held in the bytes of file's format.
    void TransformFileBlock(const FileData& file, const ValueTable* mapping, bool writes,
                            unsigned char* bytes, size_t count, bool measuresInput);
    void TransformBlock(const ValueTable* mapping, int16_t* samples, size_t count,
                        bool measureInput);
    void TransformGridBlock(const FileData& file, bool maps, unsigned char* samples, size_t count,
                            bool measureInput);
    void TransformWideBlock(const FileData& file, bool maps, unsigned char* samples, size_t count,
                            bool measureInput);
    // A wide pass's measures into the totals, once the pass has read every block.
    void TakeWideTotals();
    // Whether a copying pass read what expectedInput_ says (always, when it is not set); tells
    // the sink when not.
    bool InputAsExpected(const FileData& file, const std::string& source,
                         const std::string& destination);
    void ReportWriteFailure(const std::string& destination,
                            CommitRefusal refusal = CommitRefusal::None);
    // A read-only pass over path that measures what it reads, or counts it into counts.
    // observed: the side Observer is shown, if any.
    PassTotals ReadPass(const FileData& file, const std::string& path, const std::string& label,
                        SampleHistogram* counts, GridCounts* gridCounts = nullptr,
                        std::optional<SweepSide> observed = std::nullopt);
    bool WriteThrough(FileData& file, const std::string& source, const std::string& destination,
                      const ValueTable* table, const std::string& label,
                      const PassTotals& expectedInput, bool mapOnly);
    // Makes ready what chain makes of every sample value file's format can hold, each step
    // stored on the format's grid in turn: the table of a 16-bit file (returned), or the dense
    // map of another integer grid (chainMap_, which the block loop then maps through; nullptr
    // returned). The per-format seam of the chains: a holder of other samples takes one more
    // case here, and its block mapping one more in TransformFileBlock.
    const ValueTable* LoadChain(const FileData& file, const std::vector<TransformStep>& chain);
    // Shows observer frames of a non-16-bit block as values on the -1..1 scale.
    void ShowDecoded(BlockObserver& observer, const FileData& file, const unsigned char* samples,
                     size_t frames);

    ProgressSink& sink_;
    FileAccess& files_;
    // The data's thread and buffers, made once for every pass this engine runs.
    StreamWorker streams_;
    // Frees the files results replace beside the passes that follow.
    BackgroundCloser releases_;
    // Takes a written result's fsync and rename off the passes that follow; what the run
    // needs to set back, or to tell, if that fails.
    ResultCommitter commits_;
    FileData* committing_ = nullptr;
    FileIdentity identityBeforeCommit_;
    std::string committingDestination_;
    std::string committingSource_;
    std::function<void()> undoCommit_;
    std::unique_ptr<FinishedResult> finished_;    // handed off by the last write
    ValueTable scanValues_;                       // what a scan makes of each value
    SampleHistogram* counts_ = nullptr;           // what a counting scan counts into
    std::unique_ptr<SplitCounter> splitCounter_;  // made for the first long count
    bool countedAside_ = false;                   // the block in hand is SplitCounter's
    // The same for files of other integer grids: the dense counter, where a counting scan
    // gives its counts, and the dense map a write goes through.
    DenseLease dense_;
    GridCounter gridCounter_{dense_.Keys()};
    GridCounts* gridCounts_ = nullptr;
    GridMap gridMap_{dense_.Keys()};
    // The same for wide files: the counter, the running measures of a pass (what it read or
    // wrote, and what it read when that is checked), and the steps a write maps each sample
    // through.
    WideCounter wideCounter_;
    std::unique_ptr<WideMeasure> wideTotals_;
    std::unique_ptr<WideMeasure> wideInput_;
    std::vector<TransformStep> wideSteps_;
    WideMap wideMap_;
    // What a copying pass must read for its new file to take its name: the source's scan, or
    // the result's count before a Balance rewrites it.
    const PassTotals* expectedInput_ = nullptr;
    // The pass maps without totals of its own: a write's sum of squares comes from the input's
    // counts; a pass for a meter (MeasureChain) needs neither totals nor a digest.
    bool mapOnly_ = false;
    // A chain as LoadChain made it: a 16-bit file's table, or another grid's dense map of
    // its own (so that the counts and maps of the runs by RMS never reuse it), with the format
    // and steps it was built for, which a longer chain that begins with them extends.
    std::unique_ptr<ValueTable> chainTable_;  // made for each chain of a 16-bit file
    DenseKeys chainKeys_;
    GridMap chainMap_{chainKeys_};
    std::optional<SampleFormat> chainFormat_;
    std::vector<TransformStep> chainSteps_;
    bool chainMapsGrid_ = false;   // the pass maps grid samples through chainMap_
    bool lastCopyWhole_ = false;   // the last copying pass's file took its name
    std::vector<double> decoded_;  // a non-16-bit block as an observer is shown it
    // The side the pass under way shows Observer; none for a pass it is not shown.
    std::optional<SweepSide> observedSide_;
    int flacLevelSeen_ = DefaultFlacLevel;  // what the last FLAC pass's frames showed
    std::vector<int32_t> flacSamples_;      // a block of decoded samples
};

}  // namespace tralux
