#include "operations/Operations.h"

#include "units/Loudness.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <optional>
#include <set>
#include <vector>

#include "engine/ScanPool.h"
#include "files/SameFile.h"
#include "operations/FileMeter.h"
#include "operations/ResultFolders.h"

namespace tralux {
namespace {

namespace fs = std::filesystem;

// The full scale of a 16-bit sample as every gain of the runs uses it.
constexpr double FullScale = 32767.0;

// The factor TargetLoudness applies to the reference for this file.
double TargetGain(const FileData& file, bool anchorAtLoudest) {
    if (file.GroupNumber > 0) {
        return anchorAtLoudest ? file.LoudestRatio : file.QuietestRatio;
    }
    return 1.0;
}

// A loudness in the user's unit, with the level on the sample scale beside it, so that values
// too small or too large for the unit's one decimal still tell apart.
std::string LevelText(double level, int32_t unit) {
    const std::string text = LoudnessText(level, unit);
    return unit == SampleUnit ? text : text + " (level " + LoudnessText(level, SampleUnit) + ")";
}

// A file Balance can work on: not set aside as silent, with a result that has a loudness.
bool Balanceable(const FileData& file) {
    return !file.Ignored && file.Loudness > 0.0;
}

}  // namespace

Operations::Operations(AudioEngine& engine, RunHost& host)
    : engine_(engine), host_(host), planner_(tables_, engine.Transforms) {}

template <typename Body>
void Operations::Guarded(Body body) {
    try {
        body();
    } catch (const PassOpenError& error) {
        // A source gone or a result folder not writable: tell the user and wind down as a
        // Cancel does, so the handler's FinishOperation returns the window to idle.
        host_.ShowOpenError(error.what(), error.Reason());
        Cancel();
    }
}

bool Operations::PresetMissing() {
    const bool byLufs = request_.measure == BalanceMeasure::Lufs;
    if (request_.reference != ReferenceChoice::Preset || (byLufs && request_.lufsTarget)) {
        return false;
    }
    const std::optional<double> level = request_.presetLevel;
    // A LUFS level lies below 0; a level on the sample scale above it.
    if (level && (byLufs ? std::isfinite(*level) : *level > 0.0)) {
        return false;
    }
    host_.ShowError(messages::NoPreset);
    return true;
}

Answer Operations::Ask(const std::string& message, bool warning) {
    if (request_.answerYes) {
        host_.ShowAnsweredYes(message, warning);
        return Answer::Yes;
    }
    return warning ? host_.AskWarning(message) : host_.AskConfirm(message);
}

void Operations::Prepare(const RunRequest& request) {
    if (engine_.Running || host_.Files().empty()) {
        return;
    }
    if (!CheckOutputFiles(request)) {
        return;
    }
    engine_.FlacLevelChoice = request.options.flaclevel;
    engine_.Running = true;
    ReadyToBalance = false;
    AttachMeter();
    // A result's measures are taken as it is written: its commit stays on the run's thread,
    // so that a result the meter measured is one that took its name.
    engine_.CommitsInBackground = engine_.Observer == nullptr;
    BeginProgress(3.0);
    Guarded([this] { PrepareAll(); });
    FinishOperation();
}

void Operations::Balance(const RunRequest& request) {
    if (engine_.Running || host_.Files().empty()) {
        return;
    }
    request_ = request;
    engine_.FlacLevelChoice = request.options.flaclevel;
    // Balance rewrites result files: only those the last Prepare wrote.
    if (!ReadyToBalance) {
        host_.ShowError(messages::NotPrepared);
        return;
    }
    if (const std::string same = ResultsThatAreSources(host_.Files()); !same.empty()) {
        host_.ShowError(messages::SameFiles + same);
        return;
    }
    if (PresetMissing()) {
        return;
    }
    HoldOutputFolders(host_.Files());
    if (!SecureOutputFolders(host_.Files())) {
        return;
    }
    engine_.Running = true;
    AttachMeter();
    // A result's measures are taken as it is written: its commit stays on the run's thread,
    // so that a result the meter measured is one that took its name.
    engine_.CommitsInBackground = engine_.Observer == nullptr;
    BeginProgress(BalanceProgressFactor());
    Guarded([this] { BalanceAll(); });
    FinishOperation();
}

void Operations::PrepareAndBalance(const RunRequest& request) {
    if (engine_.Running || host_.Files().empty()) {
        return;
    }
    request_ = request;
    engine_.FlacLevelChoice = request.options.flaclevel;
    // Refused before the Prepare phase, which would otherwise be spent for nothing.
    if (PresetMissing()) {
        return;
    }
    if (!CheckOutputFiles(request)) {
        return;
    }
    engine_.Running = true;
    ReadyToBalance = false;
    AttachMeter();
    // A result's measures are taken as it is written: its commit stays on the run's thread,
    // so that a result the meter measured is one that took its name.
    engine_.CommitsInBackground = engine_.Observer == nullptr;
    // Each source is read to measure it and read again for its one write.
    BeginProgress(BalanceProgressFactor());
    planning_ = true;
    plans_.clear();
    gridBytesHeld_ = 0;
    histogramBytesHeld_ = 0;
    plans_.resize(host_.Files().size());
    Guarded([this] {
        PrepareAll();
        if (!engine_.Running) {
            return;
        }
        balancingBegun_ = false;
        BalanceAll();
        if (!balancingBegun_) {
            // Abandoned at a question answered No or for want of a reference: the run leaves
            // what a Prepare leaves.
            engine_.Running = true;
            WriteNormalisedCopies();
            ReadyToBalance = engine_.Running;
        }
    });
    planning_ = false;
    plans_.clear();
    gridBytesHeld_ = 0;
    histogramBytesHeld_ = 0;
    FinishOperation();
}

void Operations::Cancel() {
    engine_.Running = false;
    SourceLoudnessShown = false;
    ResultLoudnessShown = false;
    host_.LoudnessChanged();
}

void Operations::BeginProgress(double factor) {
    const std::vector<FileData*> files = host_.Files();
    double frames = 0.0;
    std::vector<std::string> names;
    names.reserve(files.size());
    for (const FileData* file : files) {
        frames += file->FrameCount;
        names.push_back(FileNamePart(file->ResultFile, Paths));
    }
    engine_.Estimator.ResetEstimate(frames * factor);
    host_.ShowProgressLine(names);
}

void Operations::AttachMeter() {
    const bool metering = MeasureBroadcast || request_.measure == BalanceMeasure::Lufs;
    if (metering && !meter_) {
        meter_ = std::make_unique<BroadcastMeter>();
    }
    engine_.Observer = metering ? meter_.get() : nullptr;
}

void Operations::CollectReadings() {
    if (engine_.Observer != nullptr && meter_) {
        DeliverReadings(meter_->Finish(), host_.Files());
    }
}

void Operations::FinishOperation() {
    // No run ends with a result still on its way to its name.
    engine_.SettleResults();
    engine_.CommitsInBackground = false;
    // The measures of the last sweeps are still being taken beside them; wait for them.
    std::vector<BroadcastReading> readings;
    if (engine_.Observer != nullptr && meter_) {
        readings = meter_->Finish();
    }
    engine_.Observer = nullptr;
    const bool measured = !readings.empty();
    DeliverReadings(std::move(readings), host_.Files());
    if (measured) {
        host_.LoudnessChanged();
    }
    engine_.SettleReplacedFiles();
    engine_.Running = false;
    engine_.Outputs = nullptr;
    outputs_.Release();
    host_.HideProgressLine();
}

void Operations::PrepareAll() {
    const std::vector<FileData*> files = host_.Files();
    SourceLoudnessShown = false;
    ResultLoudnessShown = false;
    host_.LoudnessChanged();
    Groups.clear();
    engine_.Estimator.StartTiming();

    const auto afterScan = [&](size_t i) {
        FileData* file = files[i];
        // Only a scan that ran to its end proves silence.
        if (engine_.Running && file->Peak == 0) {
            host_.ShowWarning("File \"" + file->SourceFile +
                              "\" is completely silent and will be ignored");
            file->Ignored = true;
        }
    };
    const bool atOnce = ScansAtOnce(files);
    if (atOnce) {
        std::vector<ScanPool::Job> jobs;
        FileMeters meters(files.size(), engine_.Observer != nullptr);
        for (size_t i = 0; i < files.size(); ++i) {
            ForgetBroadcast(*files[i], SweepSide::Source);
            ForgetBroadcast(*files[i], SweepSide::Result);
            // Counted whole, each into its own; kept or dropped within the budget in its turn.
            if (planning_ && !files[i]->IsPlain16Bit()) {
                plans_[i].Grid = std::make_unique<GridCounts>();
            }
            jobs.push_back({files[i], nullptr, planning_ ? plans_[i].Grid.get() : nullptr,
                            CountsAside(*files[i]), meters.For(i)});
        }
        ScanPool(Pool()).Run(jobs, [&](size_t i, const SampleHistogram* aside) {
            FileData* file = files[i];
            meters.Deliver(i, *file, meter_.get());
            if (aside != nullptr) {
                KeepCounted(i, *file, *aside);
            }
            if (planning_ && plans_[i].Grid) {
                plans_[i].GridKeys = plans_[i].Grid->KeyCount();
                if (engine_.Running && file->Peak > 0 && file->GroupNumber <= 0) {
                    PlanNormalisingOn(i, *file, FullScale / file->Peak,
                                      {nullptr, plans_[i].Grid.get()});
                }
                if (gridBytesHeld_ >= GridBytesKept) {
                    plans_[i].Grid.reset();
                }
                KeepWithinBudget(plans_[i]);
            }
            afterScan(i);
        });
    }
    for (size_t i = 0; i < files.size(); ++i) {
        FileData* file = files[i];
        if (engine_.Running && !atOnce) {
            const bool gridFile = planning_ && !file->IsPlain16Bit();
            if (gridFile && gridBytesHeld_ < GridBytesKept) {
                plans_[i].Grid = std::make_unique<GridCounts>();
            }
            GridCounts* gridCounts =
                gridFile ? (plans_[i].Grid ? plans_[i].Grid.get() : &recountedGrid_) : nullptr;
            ForgetBroadcast(*file, SweepSide::Source);
            ForgetBroadcast(*file, SweepSide::Result);
            const bool aside = CountsAside(*file);
            engine_.ScanFile(*file, aside ? &recounted_ : nullptr, gridCounts);
            if (aside) {
                KeepCounted(i, *file, recounted_);
            }
            // The normalising of a file in no group follows from its own peak: planned on the
            // counts in hand, which may not be kept, rather than on a count read again.
            if (gridFile && engine_.Running && file->Peak > 0 && file->GroupNumber <= 0) {
                PlanNormalisingOn(i, *file, FullScale / file->Peak, {nullptr, gridCounts});
            }
            if (gridFile) {
                plans_[i].GridKeys = gridCounts->KeyCount();
            }
            if (gridCounts == &recountedGrid_) {
                recountedGrid_ = GridCounts();  // not kept: not held beside the next file's
            }
            if (planning_) {
                KeepWithinBudget(plans_[i]);
            }
            afterScan(i);
        }
        if (file->GroupNumber > 0 && !file->Ignored) {
            GroupData* group = FindGroup(Groups, file->GroupNumber);
            if (group == nullptr) {
                Groups.push_back(std::make_unique<GroupData>(file->GroupNumber, file->Peak));
                group = Groups.back().get();
            }
            if (file->Peak > group->Peak) {
                group->Peak = file->Peak;
            }
        }
    }

    // Prepare writes the normalised copies of several files at once where it may.
    const bool normalisedAtOnce = engine_.Running && !planning_ && NormaliseFilesAtOnce(files);
    if (engine_.Running) {
        for (size_t i = 0; i < files.size(); ++i) {
            FileData* file = files[i];
            if (!engine_.Running) {
                break;
            }
            if (file->Ignored) {
                continue;
            }
            GroupData* group =
                file->GroupNumber > 0 ? FindGroup(Groups, file->GroupNumber) : nullptr;
            const double gain = NormalisingGainOf(*file);
            if (!(gain > 0.0)) {
                continue;  // not reached: a complete scan of a usable file found a peak
            }
            if (planning_) {
                if (!plans_[i].NormalisingPlanned) {
                    PlanNormalising(i, *file, gain);
                }
                if (!engine_.Running) {
                    break;
                }
            } else if (!normalisedAtOnce) {
                engine_.NormaliseFile(*file, gain);
            }
            if (group != nullptr) {
                // Strict comparisons: on equal loudness the earlier file stays.
                if (group->Loudest == nullptr || file->Loudness > group->Loudest->Loudness) {
                    group->Loudest = file;
                }
                if (group->Quietest == nullptr || file->Loudness < group->Quietest->Loudness) {
                    group->Quietest = file;
                }
            }
        }
    }

    // The normalised copies are whole before anything is told of them.
    engine_.SettleResults();
    if (engine_.Running) {
        for (FileData* file : files) {
            if (file->Ignored || file->GroupNumber <= 0) {
                continue;
            }
            const GroupData* group = FindGroup(Groups, file->GroupNumber);
            if (group == nullptr || group->Loudest == nullptr || group->Quietest == nullptr) {
                continue;
            }
            file->LoudestRatio = file->Loudness / group->Loudest->Loudness;
            file->QuietestRatio = file->Loudness / group->Quietest->Loudness;
        }
    }

    if (engine_.Running) {
        SourceLoudnessShown = true;
        ResultLoudnessShown = true;
        host_.LoudnessChanged();
        // Prepare & Balance has written nothing yet.
        ReadyToBalance = !planning_;
    }
}

Operations::CountedValues Operations::CountValues(FileWork& work, FileData& file,
                                                  const std::string& path) {
    // Counted afresh.
    if (file.IsPlain16Bit()) {
        work.Counted = work.Engine.CountValues(file, path, work.Recounted);
        return work.Engine.Running ? CountedValues{&work.Recounted, nullptr} : CountedValues{};
    }
    work.Counted = work.Engine.CountValues(file, path, work.RecountedGrid);
    return work.Engine.Running ? CountedValues{nullptr, &work.RecountedGrid} : CountedValues{};
}

void Operations::PlanNormalising(size_t index, FileData& file, double gain) {
    plans_[index].NormalisingGain = gain;
    FileWork work = OwnWork();
    const CountedValues values = SourceValues(work, index, file);
    if (!values.Counted()) {
        return;
    }
    PlanNormalisingOn(index, file, gain, values);
}

void Operations::PlanNormalisingOn(size_t index, FileData& file, double gain,
                                   const CountedValues& values) {
    plans_[index].NormalisingGain = gain;
    plans_[index].NormalisingPlanned = true;
    BalanceRequest request;
    request.Frames = file.FrameCount;
    request.Channels = file.Channels();
    request.NormalisingGain = gain;
    file.Loudness = values.Histogram != nullptr
                        ? planner_.Plan(*values.Histogram, request).Loudness
                        : planner_.NormalisedLoudness(*values.Grid, request);
    file.LoudnessCutShort = false;
    file.Normalised = false;  // until its result is written
}

void Operations::WriteNormalisedCopies() {
    const std::vector<FileData*> files = host_.Files();
    for (size_t i = 0; i < files.size() && engine_.Running; ++i) {
        FileData* file = files[i];
        if (file->Ignored) {
            continue;
        }
        if (file->IsPlain16Bit() &&
            WriteResult(*file, planner_.GainTable(plans_[i].NormalisingGain), "Normalising")) {
            engine_.WhenResultNotKept([file] { file->Normalised = false; });
        } else if (!file->IsPlain16Bit()) {
            engine_.NormaliseFile(*file, plans_[i].NormalisingGain);
        }
        engine_.Estimator.UpdateEstimate(0, true);
    }
    engine_.SettleResults();
}

std::string Operations::WriteLabel(const std::vector<PlannedStep>& steps, bool normalises) {
    bool compresses = false, reduces = false, limits = false;
    for (const PlannedStep& planned : steps) {
        const BlockTransform transform = planned.Step.Transform;
        compresses = compresses || transform == BlockTransform::Compress;
        reduces = reduces || transform == BlockTransform::Reduce;
        limits = limits || transform == BlockTransform::Gain;
    }
    // The work that changes the file most gives the write its name.
    if (compresses) {
        return "Compressing";
    }
    if (reduces) {
        return "Reducing";
    }
    if (limits) {
        return "Final Limiting";
    }
    return normalises ? "Normalising" : "Balancing";
}

double Operations::BalanceProgressFactor() const {
    return 3.0;
}

bool Operations::FinalLimiting() const {
    return options_.dofinalnorm && options_.normaliselevel > 0 && options_.normaliselevel < 32767;
}

double Operations::TargetLoudness(const FileData& file, double reference, bool anchorAtLoudest) {
    return reference * TargetGain(file, anchorAtLoudest);
}

namespace messages {

std::string TargetNotReached(const std::string& sourceFile, const std::string& loudness,
                             const std::string& target) {
    return "File \"" + sourceFile + "\" cannot be brought to its target loudness of " + target +
           ": it has been left at " + loudness;
}

std::string SilentResult(const std::string& sourceFile) {
    return "The result of file \"" + sourceFile +
           "\" is completely silent and will not be balanced";
}

}  // namespace messages

void Operations::MeasureResultsCutShort(const std::vector<FileData*>& files) {
    for (FileData* file : files) {
        if (!engine_.Running) {
            return;
        }
        if (file->Ignored || (file->Loudness > 0.0 && !file->LoudnessCutShort)) {
            continue;
        }
        engine_.Estimator.WorkRemaining += file->FrameCount;
        ForgetBroadcast(*file, SweepSide::Result);
        engine_.MeasureResult(*file);
        if (engine_.Running && !(file->Loudness > 0.0)) {
            host_.ShowWarning(messages::SilentResult(file->SourceFile));
        }
    }
}

std::optional<double> Operations::RequestedReference(double loudest, double quietest) {
    switch (request_.reference) {
        case ReferenceChoice::Highlighted: {
            const FileData* highlighted = request_.highlighted;
            if (highlighted == nullptr) {
                host_.ShowError(messages::NoHighlightedFile);
                return std::nullopt;
            }
            if (!Balanceable(*highlighted)) {
                host_.ShowError(messages::SilentReference);
                return std::nullopt;
            }
            return highlighted->Loudness;
        }
        case ReferenceChoice::Quietest:
            return quietest;
        case ReferenceChoice::Loudest:
            return loudest;
        case ReferenceChoice::Preset: {
            const std::optional<double> level = request_.presetLevel;
            if (!level || !(*level > 0.0)) {
                host_.ShowError(messages::NoPreset);
                return std::nullopt;
            }
            return *level;
        }
    }
    return std::nullopt;
}

bool Operations::CompressionConfirmed(const std::vector<FileData*>& files) {
    bool exceeded = false;
    std::string maxCompList;
    for (const FileData* file : files) {
        if (!Balanceable(*file)) {
            continue;
        }
        const double target = TargetLoudness(*file, ReferenceLoudness, AnchorAtLoudest);
        if (target / file->Loudness > options_.maxcompfactor) {
            exceeded = true;
            maxCompList += "\r" + file->SourceFile;
            ReferenceLoudness =
                options_.maxcompfactor * file->Loudness / TargetGain(*file, AnchorAtLoudest);
        }
    }

    std::string warnCompList;
    for (const FileData* file : files) {
        if (!Balanceable(*file)) {
            continue;
        }
        const double target = TargetLoudness(*file, ReferenceLoudness, AnchorAtLoudest);
        if (target / file->Loudness > options_.warncompfactor) {
            warnCompList += "\r" + file->SourceFile;
        }
    }

    if (exceeded) {
        const Answer answer =
            Ask(messages::MaxCompression + maxCompList + messages::ProceedQuestion, true);
        engine_.Running = answer == Answer::Yes;
    }
    // Asked about the files whose own targets need that much: with groups, the quietest
    // file's target can lie well below the reference, and a list with no file asks nothing.
    if (engine_.Running && !warnCompList.empty()) {
        const Answer answer =
            Ask(messages::HeavyProcessing + warnCompList + messages::ProceedQuestion, true);
        engine_.Running = answer == Answer::Yes;
    }
    return engine_.Running;
}

void Operations::BalanceAll() {
    if (request_.measure == BalanceMeasure::Lufs) {
        BalanceAllByLufs();
        return;
    }
    const std::vector<FileData*> files = host_.Files();
    FilesShortOfTarget = 0;
    // Prepare & Balance has written no result yet; its loudness values are all planned whole.
    if (!planning_) {
        MeasureResultsCutShort(files);
        if (!engine_.Running) {
            return;
        }
    }

    double loudest = 0.0;
    double quietest = 40000.0;
    for (const FileData* file : files) {
        if (!Balanceable(*file)) {
            continue;
        }
        if (file->Loudness > loudest) {
            loudest = file->Loudness;
        }
        if (file->Loudness < quietest) {
            quietest = file->Loudness;
        }
    }

    const std::optional<double> reference = RequestedReference(loudest, quietest);
    if (!reference) {
        return;
    }
    ReferenceLoudness = *reference;
    AnchorAtLoudest = ReferenceLoudness > quietest;
    if (!CompressionConfirmed(files)) {
        return;  // a question answered No
    }
    // The time spent on the questions does not count.
    engine_.Estimator.StartTiming();
    balancingBegun_ = true;

    const size_t balanceable = size_t(std::count_if(
        files.begin(), files.end(), [](const FileData* file) { return Balanceable(*file); }));
    FileWork work = OwnWork();
    const bool atOnce = WritesAtOnce(balanceable);
    if (atOnce) {
        BalanceFilesAtOnce(files);
    }
    for (size_t i = 0; i < files.size() && !atOnce; ++i) {
        FileData* file = files[i];
        if (!engine_.Running) {
            break;
        }
        if (!Balanceable(*file)) {
            continue;
        }
        const double loudnessBefore = file->Loudness;
        const bool normalisedBefore = file->Normalised;
        const BalanceOutcome outcome = CountAndBalance(work, i, *file);
        if (outcome == BalanceOutcome::Stopped) {
            break;
        }
        AfterBalancing(*file, outcome, loudnessBefore, normalisedBefore);
    }

    engine_.SettleResults();
    if (engine_.Running) {
        SourceLoudnessShown = true;
        ResultLoudnessShown = true;
        host_.LoudnessChanged();
        ReadyToBalance = false;
    }
}

template <typename Values>
auto Operations::PlanBalancing(FileWork& work, size_t index, FileData& file, const Values& values) {
    const double target = TargetLoudness(file, ReferenceLoudness, AnchorAtLoudest);
    BalanceRequest request;
    request.Frames = file.FrameCount;
    request.Channels = file.Channels();
    // Prepare & Balance plans on the source's values, normalised first; Balance on the
    // result's, from the loudness it measured.
    if (planning_) {
        request.NormalisingGain = plans_[index].NormalisingGain;
    }
    request.Loudness = file.Loudness;
    request.Target = target;
    if (FinalLimiting()) {
        request.FinalGain = static_cast<double>(options_.normaliselevel) / FullScale;
    }
    request.MaxAdjustSteps = MaxAdjustPasses;
    auto plan = planner_.Plan(values, request);
    if (plan.ShortOfTarget()) {
        work.Tell([this, source = file.SourceFile, adjusted = plan.AdjustedLoudness, target] {
            // The file before is told of first, and a run it stopped tells nothing more.
            if (engine_.SettleResults()) {
                ++FilesShortOfTarget;
                const int32_t unit = options_.loudnessunits;
                host_.ShowWarning(messages::TargetNotReached(source, LevelText(adjusted, unit),
                                                             LevelText(target, unit)));
            }
        });
    }
    file.Loudness = plan.Loudness;
    return plan;
}

Operations::BalanceOutcome Operations::BalanceFile(FileWork& work, size_t index, FileData& file,
                                                   const CountedValues& values) {
    const auto after = [&](const auto& plan) {
        work.Tell([this] {
            SourceLoudnessShown = true;
            ResultLoudnessShown = true;
            host_.LoudnessChanged();
        });
        if (!work.Engine.Running) {
            return BalanceOutcome::Stopped;
        }
        if (plan.Steps.empty() && !planning_) {
            // Already on target, and no limiting: the result stays as it is.
            work.Engine.Estimator.WorkRemaining -= 2.0 * static_cast<double>(file.FrameCount);
            return BalanceOutcome::Kept;
        }
        return BalanceOutcome::Written;
    };
    const auto written = [](bool whole) {
        return whole ? BalanceOutcome::Written : BalanceOutcome::Failed;
    };
    if (values.Histogram != nullptr) {
        work.Plan = PlanBalancing(work, index, file, *values.Histogram);
        const BalanceOutcome outcome = after(work.Plan);
        if (outcome != BalanceOutcome::Written) {
            return outcome;
        }
        return written(WriteResult(work, file, work.Plan.Table,
                                   WriteLabel(work.Plan.Steps, planning_),
                                   CountsOfWhatIsWritten(index, values.Histogram)));
    }
    work.GridPlanned = PlanBalancing(work, index, file, *values.Grid);
    const BalanceOutcome outcome = after(work.GridPlanned);
    if (outcome != BalanceOutcome::Written) {
        return outcome;
    }
    // Balance counted the result just before its write; a kept count is the scan's own.
    const bool countsAreInput = !planning_ || plans_[index].Grid != nullptr;
    return written(WriteGridResult(work, file, *values.Grid, work.GridPlanned.Table,
                                   WriteLabel(work.GridPlanned.Steps, planning_), countsAreInput));
}

}  // namespace tralux
