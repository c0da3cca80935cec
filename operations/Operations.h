#pragma once

#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/AudioEngine.h"
#include "engine/FileData.h"
#include "engine/FilePool.h"
#include "operations/BroadcastMeter.h"
#include "operations/LufsChainMeter.h"
#include "operations/OutputNaming.h"
#include "operations/Preview.h"
#include "operations/RunHost.h"
#include "operations/RunRequest.h"
#include "plan/BalancePlanner.h"
#include "settings/Options.h"

namespace tralux {

// The three runs over all listed files (Prepare, Balance, Prepare & Balance) and Cancel.
// Owned by the main window (or the terminal program); each run takes what the user asked for
// as a RunRequest when it starts, and reaches the user only through RunHost and the engine's
// ProgressSink, on the caller's thread only: a run returns when it has completed, was
// cancelled or was stopped. Helpers work beside it (scans of several files at once, each
// result's fsync and rename while the next file is worked on), and every one of them has ended
// when the run returns.
class Operations {
public:
    // A file is on target when its loudness lies within this ratio of the target.
    static constexpr double OnTargetTolerance = BalancePlanner::OnTargetTolerance;

    Operations(AudioEngine& engine, RunHost& host);
    Operations(const Operations&) = delete;
    Operations& operator=(const Operations&) = delete;

    // The runs. Each one does nothing while a run is in progress or the list is empty, and
    // always ends with FinishOperation once it has started.
    void Prepare(const RunRequest& request);
    void Balance(const RunRequest& request);
    void PrepareAndBalance(const RunRequest& request);
    // Stops the run in progress after the block it is working on.
    void Cancel();
    // The measuring run of a preview: reads every source once and keeps its value counts;
    // creates, writes and holds no file. nullopt when cancelled, stopped or not started.
    std::optional<Measurements> Measure();
    // What Prepare & Balance would now do with request, on the counts of the last Measure.
    Preview PlanFromMeasurements(const Measurements& measured, const RunRequest& request) const;
    // The same for a request by LUFS, planned by the very code of the run (every question
    // answered Yes) on the sources' broadcast readings, which Measure takes when
    // MeasureBroadcast is set. A plan that compresses reads its sources to measure each pass
    // (a run, with its progress line, that writes nothing); nullopt when cancelled or stopped.
    std::optional<Preview> PreviewByLufs(const Measurements& measured, const RunRequest& request);

    // Names every file's ResultFile by the request's options and says whether a Prepare may
    // write them. A refusal (cancelled prompt, conflict, declined overwrite) leaves every
    // ResultFile as it was.
    bool CheckOutputFiles(const RunRequest& request);
    // Announces factor work units per listed frame to the estimator; shows the progress line.
    void BeginProgress(double factor);
    // The common end of every run: Running false, and the host told (HideProgressLine).
    void FinishOperation();
    // The Prepare run proper: scan, set silent files aside, build groups, normalise.
    void PrepareAll();
    // The Balance run proper, on the result files of the last Prepare.
    void BalanceAll();

    // Units per frame a Balance or Prepare & Balance run announces: one read of each file to
    // measure it (1) and one write of its result (2).
    double BalanceProgressFactor() const;
    // Every result is scaled to normaliselevel at the end of its balancing.
    bool FinalLimiting() const;
    // The loudness a file is to reach for a reference: grouped files keep their ratio to
    // the group's loudest (anchor at loudest) or quietest member.
    static double TargetLoudness(const FileData& file, double reference, bool anchorAtLoudest);

    bool Running() const { return engine_.Running; }

    // Adjust passes one file may take before its balancing ends short of the target. A state
    // that comes back ends the planning long before; this bound is far beyond what any
    // converging run needs, and only keeps a run that neither converges nor cycles finite.
    int MaxAdjustPasses = BalanceRequest{}.MaxAdjustSteps;
    // Files the last Balance run left short of their targets, each told in a warning.
    int FilesShortOfTarget = 0;

    // The groups built by the last Prepare run.
    GroupList Groups;
    // A Prepare run has completed and no Balance run has completed since.
    bool ReadyToBalance = false;
    // The grid shows the "Source Loudness" and "Result Loudness" values; set together.
    bool SourceLoudnessShown = false;
    bool ResultLoudnessShown = false;

    // The runs (and Measure) also meter every source they scan and every result they write
    // or measure in broadcast terms (FileData::SourceBroadcast, ResultBroadcast), beside the
    // reads and writes; off, they cost nothing.
    bool MeasureBroadcast = false;

    // The reference of the last Balance run, after any lowering, and how groups were placed.
    double ReferenceLoudness = 0.0;
    bool AnchorAtLoudest = false;

    // Balancing by LUFS: the target of the last Balance (after any lowering), and the reads
    // its planning took beyond the sweeps every run makes (compress passes measured anew).
    std::optional<double> ReferenceLufs;
    int PlanningReads = 0;

    // The plan of the file the last Balance planned: its steps and how its planning ended.
    const BalancePlan& LastPlan() const { return lastPlan_; }
    // The same when that file was of another integer grid (see GridValues.h).
    const GridPlan& LastGridPlan() const { return lastGridPlan_; }

    // How result paths are built; the native rules unless a caller needs others.
    PathStyle Paths = NativePathStyle;

    // Prepare & Balance keeps the value histograms of 16-bit sources from their scan to their
    // write, packed (some tens of KiB each), for at most this many sources and within this
    // many bytes in all; the values of the others are counted again.
    size_t HistogramsKept = std::numeric_limits<size_t>::max();
    size_t HistogramBytesKept = size_t{64} << 20;
    // How many sources a run scans at once, each on a thread of its own; 1: one after the
    // other on the caller's thread (always so when the engine's file access is not to be shared
    // by threads).
    int FilesAtOnce = 1;
    // The cores of this machine: FilesAtOnce for a run that uses every one.
    static int EveryCore();
    // Of files of other integer grids, the counted keys are kept only while all kept take at
    // most this many bytes; the others are counted again.
    size_t GridBytesKept = size_t{96} << 20;
    // The measuring run of a preview keeps the counted keys of such files up to this many
    // bytes in all; past it the preview says it cannot plan them.
    size_t PreviewGridBytes = size_t{128} << 20;
    // Files of other grids are balanced side by side while their keys and the tables made of
    // them take at most this many bytes together; one that takes more is balanced alone. The
    // dense tables of the scans are let go before, which leaves this room.
    size_t GridBytesAtOnce = size_t{224} << 20;

private:
    // What Prepare & Balance keeps of one listed file between its scan and its write.
    struct FilePlan {
        double NormalisingGain = 1.0;
        bool NormalisingPlanned = false;
        std::optional<PackedHistogram> Histogram;  // none: not kept
        std::unique_ptr<GridCounts> Grid;          // the same for other grids
        size_t GridKeys = 0;  // the distinct keys the scan counted, kept or not
    };
    // A file's counted values: the histogram of a 16-bit file or the keys of another grid;
    // neither when the read that counts them was stopped.
    struct CountedValues {
        const SampleHistogram* Histogram = nullptr;
        const GridCounts* Grid = nullptr;
        bool Counted() const { return Histogram != nullptr || Grid != nullptr; }
    };

    // Where one file's planning and write are done: the run's own engine and scratch space on
    // its own thread, or a worker's beside others. What it tells the user reaches the run's
    // thread in the file's turn (at once on the run's own thread).
    struct FileWork {
        AudioEngine& Engine;
        SampleHistogram& Recounted;
        GridCounts& RecountedGrid;
        PassTotals& Counted;  // the peak and sum of squares of the last CountValues read
        BalancePlan& Plan;    // the plan made, of a 16-bit file or of another grid
        GridPlan& GridPlanned;
        std::function<void(std::function<void()>)> Tell;
    };
    // The run's own: its engine, recounted_, counted_, lastPlan_, told at once.
    FileWork OwnWork();

    // The source's values: those kept, or recounted after one more read.
    CountedValues SourceValues(FileWork& work, size_t index, FileData& file);
    // Reads path to count its values into recounted_ (or recountedGrid_).
    CountedValues CountValues(FileData& file, const std::string& path);
    CountedValues CountValues(FileWork& work, FileData& file, const std::string& path);
    // Plans the normalising by gain on the source's values: Loudness as it will be.
    void PlanNormalising(size_t index, FileData& file, double gain);
    void PlanNormalisingOn(size_t index, FileData& file, double gain, const CountedValues& values);
    // Plans the file's compress or reduce passes and its final limiting on its values (with
    // its normalising first in Prepare & Balance); tells a file left short of its target.
    template <typename Values>
    auto PlanBalancing(FileWork& work, size_t index, FileData& file, const Values& values);
    // Plans and writes one file's balancing.
    enum class BalanceOutcome { Written, Kept, Failed, Stopped };
    BalanceOutcome BalanceFile(FileWork& work, size_t index, FileData& file,
                               const CountedValues& values);
    // Counts the values a file's balancing is planned on (Balance: its result's as it is now;
    // Prepare & Balance: its source's), then plans and writes it. Stopped when not counted.
    BalanceOutcome CountAndBalance(FileWork& work, size_t index, FileData& file);
    // The run's part once a file's balancing is done: a result that failed, or that is not
    // kept once committed, sets back what the file and the grid showed before.
    void AfterBalancing(FileData& file, BalanceOutcome outcome, double loudnessBefore,
                        bool normalisedBefore);
    // Balances several files at once, one per worker; the same as one after the other.
    void BalanceFilesAtOnce(const std::vector<FileData*>& files);
    // Whether a file's scan counts its values aside, for its normalising and to keep.
    bool CountsAside(const FileData& file) const;
    // What a scan's counts serve in its turn: the normalising of a file in no group, and the
    // file's plan later, if they may be kept.
    void KeepCounted(size_t index, FileData& file, const SampleHistogram& counted);
    // The kept counts of file index unpacked into into; null when none were kept.
    const SampleHistogram* KeptValues(SampleHistogram& into, size_t index) const;
    // The gain that brings a file's peak, or its group's, to full scale; 0 when it has none.
    double NormalisingGainOf(const FileData& file) const;
    // Prepare's normalised copies of several files at once, when WritesAtOnce allows it;
    // false, nothing done, when not.
    bool NormaliseFilesAtOnce(const std::vector<FileData*>& files);
    // Writes the result once through table; true when it is whole.
    // values when they are the counts of exactly what the write of file index will read.
    const SampleHistogram* CountsOfWhatIsWritten(size_t index, const SampleHistogram* values) const;
    bool WriteResult(FileData& file, const ValueTable& table, const std::string& label,
                     const SampleHistogram* values = nullptr);
    bool WriteResult(FileWork& work, FileData& file, const ValueTable& table,
                     const std::string& label, const SampleHistogram* values);
    bool WriteGridResult(FileWork& work, FileData& file, const GridCounts& counts,
                         const GridTable& table, const std::string& label, bool countsAreInput);
    // The engine's write of one kind of result, from source, checked against expected.
    using ResultWrite = std::function<bool(AudioEngine& engine, const std::string& source,
                                           const PassTotals& expected)>;
    // What every write of a result keeps: the file it reads and what that held when counted,
    // and, once the result is whole, its loudness; true when it is whole.
    bool WriteResultThrough(FileWork& work, FileData& file, const ResultWrite& write);
    // Whether the scans of files run at once (see FilesAtOnce).
    bool ScansAtOnce(const std::vector<FileData*>& files) const;
    // Whether files are planned and written at once (see FilesAtOnce): workers is how many
    // of them a pool would work on.
    bool WritesAtOnce(size_t workers) const;
    // Keeps the counts of a scanned file of another grid within GridBytesKept, or drops them.
    void KeepWithinBudget(FilePlan& plan);
    void WriteNormalisedCopies();
    static std::string WriteLabel(const std::vector<PlannedStep>& steps, bool normalises);

    // Runs body; a file that a pass cannot open or create ends the run as a Cancel would.
    template <typename Body>
    void Guarded(Body body);
    bool PresetMissing();
    // The listed files whose result is now one of the sources: a link made since Prepare.
    // Balance rewrites results and would take that source's samples for a result.
    static std::string ResultsThatAreSources(const std::vector<FileData*>& files);
    // Opens the folders of the files' results and keeps them open until FinishOperation; the
    // listed sources are noted, so that no result is renamed over one.
    void HoldOutputFolders(const std::vector<FileData*>& files);
    // Once the names are checked: no result may be a read-only file, each folder must still be
    // the one its name leads to and may be written by this run only; the temporary files of
    // killed runs are removed. False (told, and the folders let go) when not.
    bool SecureOutputFolders(const std::vector<FileData*>& files);
    // The reference loudness the request names, from the balanceable files' loudest and
    // quietest; nullopt, after the message that says why, when there is none.
    std::optional<double> RequestedReference(double loudest, double quietest);
    // Lowers ReferenceLoudness so no file needs more than the maximum compression and asks
    // the questions about heavy processing; false when one was answered No (Running false).
    bool CompressionConfirmed(const std::vector<FileData*>& files);
    // A question of the run: asked, or told with its answer when the request answers Yes.
    Answer Ask(const std::string& message, bool warning);
    // Measures anew every usable result whose Loudness a cut-short pass left partial, or that
    // has none; Balance reads these values before it touches any file.
    void MeasureResultsCutShort(const std::vector<FileData*>& files);

    // Puts the broadcast meter on the engine for a run when metering is on, or the run
    // balances by LUFS.
    void AttachMeter();
    // Hands the readings the meter has taken so far to the files.
    void CollectReadings();

    // Balancing by LUFS (LufsBalance.cpp): BalanceAll's work when the request asks for it.
    struct LufsUnit;
    // What the planning knows of one listed file: whether it is balanced, the broadcast
    // reading of what its write reads, as read, and the gain its chain begins with.
    struct LufsSource {
        bool Usable = false;
        const BroadcastLoudness* Measured = nullptr;
        double LeadGain = 1.0;
    };
    void BalanceAllByLufs();
    // Every usable file's broadcast reading of what its write will read: the scans' in
    // Prepare & Balance; in Balance, results measured anew where none is kept.
    bool MeterWhatIsWritten(const std::vector<FileData*>& files);
    std::vector<LufsSource> RunSources(const std::vector<FileData*>& files) const;
    std::vector<LufsUnit> LufsUnits(const std::vector<FileData*>& files,
                                    const std::vector<LufsSource>& sources) const;
    // Plans are made on the sources (Prepare & Balance, a preview), with the normalising first.
    bool FromSources() const { return planning_ || lufsPreview_ != nullptr; }
    // A problem of the request: told, or in a preview, kept as its Problem.
    void TellLufsProblem(const char* message);
    // A preview's rows of the unit's members, from its plan.
    void ShowLufsPlan(const LufsUnit& unit, const LufsPlan& plan, MappedChainMeter& meter);
    Preview* lufsPreview_ = nullptr;  // while PreviewByLufs plans
    const Measurements* lufsMeasured_ = nullptr;
    std::optional<double> RequestedLufsReference(const std::vector<LufsUnit>& units);
    bool LufsCompressionConfirmed(const std::vector<LufsUnit>& units);
    // Plans the unit through chainMeter on work's engine and writes its members' results;
    // files: the records of the list's positions (a worker's copies of its own). Returns the
    // writes it began.
    int BalanceLufsUnit(FileWork& work, ReadingObserver& chainMeter, const LufsUnit& unit,
                        const std::vector<FileData*>& files);
    // The units of files alone planned and written several at once, each on a pool worker
    // with meters of its own, a group's on the run's thread in its turn; false when the run
    // may not work on several files at once.
    bool BalanceLufsUnitsAtOnce(const std::vector<LufsUnit>& units,
                                const std::vector<FileData*>& files);
    // Writes the result once through chain, in the file's own format (values: the 16-bit
    // counts of what is read, as for WriteResult); true when it is whole.
    bool WriteChainResult(FileData& file, const std::vector<TransformStep>& chain,
                          const std::string& label, const SampleHistogram* values);
    bool WriteChainResult(FileWork& work, FileData& file, const std::vector<TransformStep>& chain,
                          const std::string& label, const SampleHistogram* values);
    std::unique_ptr<BroadcastMeter> chainMeter_;  // the planning's reads
    // The workers of runs that work on several files at once, kept from run to run while
    // FilesAtOnce stays the same.
    FilePool& Pool();
    std::unique_ptr<FilePool> pool_;

    AudioEngine& engine_;
    RunHost& host_;
    std::unique_ptr<BroadcastMeter> meter_;  // made for the first metered run, then kept
    const FactorTables tables_ = BuildFactorTables();
    const BalancePlanner planner_;
    BalancePlan lastPlan_;
    GridPlan lastGridPlan_;
    size_t gridBytesHeld_ = 0;
    size_t histogramBytesHeld_ = 0;
    OutputFolders outputs_;  // held from the output check to the end of the run
    // What the run in progress (or the last one) was asked to do.
    RunRequest request_;
    const Options& options_ = request_.options;

    // Prepare & Balance: each result is written once, after its file's whole plan.
    bool planning_ = false;
    bool balancingBegun_ = false;
    std::vector<FilePlan> plans_;  // by position in the list, during Prepare & Balance
    SampleHistogram recounted_;
    GridCounts recountedGrid_;
    PassTotals counted_;  // the peak and sum of squares of the last CountValues read
};

// Message texts of the runs, shared with the tests and the terminal program.
namespace messages {
inline constexpr const char* SameFiles = "Source and Result files are the same for:\r";
inline constexpr const char* SharedResults =
    "Several files would be written to the same Result file:\r";
inline constexpr const char* NoOutputFolder =
    "No output folder has been set.\rChoose one in the Advanced Options, or choose Same "
    "Folder as Source.";
inline constexpr const char* SilentReference =
    "Selected file is completely silent and cannot be used as the reference:\rBalance "
    "operation abandoned";
inline constexpr const char* NoHighlightedFile =
    "No file is highlighted to be used as the reference:\rBalance operation abandoned";
inline constexpr const char* NoPreset =
    "No preset has been chosen as the reference level:\rBalance operation abandoned";
inline constexpr const char* PreviewTooLarge =
    "The files hold too many different sample values to be previewed:\rPrepare & Balance "
    "still plans and writes them";
inline constexpr const char* PreviewNotMetered =
    "The sources were measured without their integrated loudness:\rpreview again to plan a "
    "balance by LUFS";
inline constexpr const char* NotPrepared =
    "The files have not been prepared since the last change:\rBalance operation abandoned";
inline constexpr const char* MaxCompression =
    "The amount of compression required exceeds the absolute maximum allowed, so the target "
    "loudness has been reduced accordingly for these files:\r";
inline constexpr const char* HeavyProcessing =
    "The amount of processing that will be required is very high.\rThis may result in "
    "unacceptable degradation in sound quality for these files:\r";
inline constexpr const char* ProceedQuestion = "\r\rAre you sure you wish to proceed?";
// What a run left when a question was answered No or Cancel was pressed.
inline constexpr const char* NotBalanced =
    "Balance was not done: the results are the normalised copies";
inline constexpr const char* CancelledNoneWritten = "Cancelled: no result was written.";
inline constexpr const char* CancelledWrittenKept =
    "Cancelled: the results of these files were written whole and are kept:\r";
inline constexpr const char* CancelledNoneBalanced =
    "Cancelled: no result was balanced; the results are as the last Prepare left them.";
inline constexpr const char* CancelledBalancedKept =
    "Cancelled: the results of these files were balanced and are kept; the others are as the "
    "last Prepare left them:\r";
// A file whose balancing ended short of its target; loudness texts in the chosen unit.
std::string TargetNotReached(const std::string& sourceFile, const std::string& loudness,
                             const std::string& target);
// A result whose measure found no sound: it has no loudness to balance.
std::string SilentResult(const std::string& sourceFile);
// A loudness in LUFS as the messages of a balance by LUFS give it.
std::string LufsText(double lufs);
// A file whose integrated loudness the gates leave undefined: it keeps its normalised copy.
std::string NoIntegratedLoudness(const std::string& sourceFile);
}  // namespace messages

}  // namespace tralux
