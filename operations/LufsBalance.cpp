// Balance and Prepare & Balance by integrated loudness under a true-peak ceiling: each file,
// or each track group as one, planned toward the target through a meter of what its write
// will read, and written once through the composed table.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "measure/KWeighting.h"
#include "measure/LoudnessMeter.h"
#include "operations/LufsChainMeter.h"
#include "operations/LufsUnit.h"
#include "operations/Operations.h"
#include "plan/LufsTargetPlanner.h"

namespace tralux {
namespace {

// The grid's lift (LU) over which a plan reads its gains rather than computing them.
constexpr double kLeastReadLift = 0.02;

double Decibels(double ratio) {
    return 20.0 * std::log10(ratio);
}

bool Balanceable(const FileData& file) {
    return !file.Ignored && file.Loudness > 0.0;
}

// How far (dB) below the ceiling a plan for file aims beyond the planner's own margin: storing
// each sample on its grid moves it by up to half a step, twice over when a gain follows a
// rounded normalising, and the rounding error's true peak may exceed its samples'. Two steps
// at the ceiling cover it; on a 16-bit or finer grid that is within the planner's margin.
double GridMarginDb(const FileData& file, double ceilingDb) {
    const int bits = file.Format.Sample.ValidBits;
    if (bits <= 0 || bits >= 32) {
        return 0.0;
    }
    const double largest = static_cast<double>((int64_t{1} << (bits - 1)) - 1);
    const double ceiling = std::pow(10.0, ceilingDb / 20.0);
    const double steps = Decibels(1.0 + 2.0 / (largest * ceiling));
    return std::max(0.0, steps - LufsTargetPlanner::CeilingMargin);
}

// The largest weighted power (full scale 1) of what storing file's samples on their grid
// changes: up to two roundings (a gain after a rounded normalising), each by up to half a step.
double GridErrorPower(const FileData& file) {
    const int bits = file.Format.Sample.ValidBits;
    if (file.Format.Sample.Coding != SampleCoding::Integer || bits <= 0 || bits >= 32) {
        return 0.0;  // floats and 32-bit integers round far below any audible level
    }
    const double step = std::ldexp(1.0, 1 - bits);
    double weights = 0.0;
    for (const double weight :
         DefaultChannelWeights(static_cast<int>(file.Format.Channels), file.Format.ChannelMask)) {
        weights += weight;
    }
    return weights * kLargestWeightingPowerGain * step * step;
}

// The most the grids of a unit of members can lift its results' loudness at target: its
// coarsest member's grid decides.
double GridLift(const std::vector<size_t>& members, const std::vector<FileData*>& files,
                double target) {
    double power = 0.0;
    for (const size_t i : members) {
        power = std::max(power, GridErrorPower(*files[i]));
    }
    return LufsTargetPlanner::RoundingLift(target, power);
}

// A reading of measured after a gain of decibels.
SegmentReading ScaledReading(const BroadcastLoudness& measured, double decibels) {
    SegmentReading reading;
    reading.Energies = measured.SegmentEnergies;
    const double power = std::pow(10.0, decibels / 10.0);
    for (double& energy : reading.Energies) {
        energy *= power;
    }
    reading.SegmentFrames = measured.SegmentFrames;
    reading.TruePeakDb = measured.TruePeakDbtp.value_or(-200.0) + decibels;
    return reading;
}

}  // namespace

namespace messages {

std::string LufsText(double lufs) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f LUFS", lufs);
    return text;
}

std::string NoIntegratedLoudness(const std::string& sourceFile) {
    return "File \"" + sourceFile +
           "\" has no integrated loudness (too short or too quiet for the gates) and will not "
           "be balanced by LUFS";
}

}  // namespace messages

void Operations::TellLufsProblem(const char* message) {
    if (lufsPreview_ != nullptr) {
        lufsPreview_->Problem = message;
    } else {
        host_.ShowError(message);
    }
}

void Operations::ShowLufsPlan(const LufsUnit& unit, const LufsPlan& plan, MappedChainMeter& meter) {
    const std::vector<TransformStep> chain = meter.Chain(plan.Chain());
    const std::vector<LoudnessReading> readings = meter.MemberReadings(plan.Chain());
    for (size_t k = 0; k < unit.Members.size() && k < readings.size(); ++k) {
        const size_t i = unit.Members[k];
        const MeasuredFile& measured = (*lufsMeasured_)[i];
        PreviewRow& row = lufsPreview_->Rows[i];
        row.Planned = true;
        row.Lufs = readings[k].Lufs;
        row.TruePeakDb = readings[k].TruePeakDb;
        row.Target = *ReferenceLufs;
        row.TargetReached = !plan.ShortOfTarget();
        row.Compression = plan.Compressions > 0 ? plan.CompressionNeeded : 1.0;
        row.Loudness = PlannedLoudness(measured, chain, engine_.Transforms);
        if (measured.Values) {
            // What each 16-bit source value becomes, for the planned loudness curve.
            auto table = std::make_shared<ValueTable>();
            for (const TransformStep& step : chain) {
                table->Apply(engine_.Transforms, step);
            }
            row.Table = std::move(table);
        }
        // The gain in the measure balanced by, as the run by RMS gives it in its own.
        const std::optional<double> source = measured.File->SourceBroadcast.IntegratedLufs;
        row.GainDb = source && row.Lufs ? *row.Lufs - *source : 0.0;
    }
}

bool Operations::MeterWhatIsWritten(const std::vector<FileData*>& files) {
    if (!planning_) {
        MeasureResultsCutShort(files);
        for (FileData* file : files) {
            if (!engine_.Running) {
                return false;
            }
            if (Balanceable(*file) && !file->ResultBroadcast.Measured) {
                // Prepared without metering: read once more to measure it.
                engine_.Estimator.WorkRemaining += file->FrameCount;
                ForgetBroadcast(*file, SweepSide::Result);
                engine_.MeasureResult(*file);
            }
        }
        if (!engine_.Running) {
            return false;
        }
    }
    CollectReadings();
    return true;
}

bool Operations::WriteChainResult(FileData& file, const std::vector<TransformStep>& chain,
                                  const std::string& label, const SampleHistogram* values) {
    FileWork work = OwnWork();
    return WriteChainResult(work, file, chain, label, values);
}

bool Operations::WriteChainResult(FileWork& work, FileData& file,
                                  const std::vector<TransformStep>& chain, const std::string& label,
                                  const SampleHistogram* values) {
    return WriteResultThrough(
        work, file,
        [&](AudioEngine& engine, const std::string& source, const PassTotals& expected) {
            return engine.WriteChain(file, source, file.ResultFile, chain, label, expected, values);
        });
}

std::vector<Operations::LufsSource> Operations::RunSources(
    const std::vector<FileData*>& files) const {
    std::vector<LufsSource> sources(files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        sources[i].Usable = Balanceable(*files[i]);
        sources[i].Measured = planning_ ? &files[i]->SourceBroadcast : &files[i]->ResultBroadcast;
        sources[i].LeadGain = planning_ ? plans_[i].NormalisingGain : 1.0;
    }
    return sources;
}

std::vector<Operations::LufsUnit> Operations::LufsUnits(
    const std::vector<FileData*>& files, const std::vector<LufsSource>& sources) const {
    std::vector<LufsUnit> units;
    std::map<int32_t, size_t> groupUnits;
    for (size_t i = 0; i < files.size(); ++i) {
        const FileData& file = *files[i];
        const BroadcastLoudness& measured = *sources[i].Measured;
        if (!sources[i].Usable || !measured.Measured) {
            continue;
        }
        size_t at = units.size();
        if (file.GroupNumber > 0) {
            at = groupUnits.try_emplace(file.GroupNumber, units.size()).first->second;
        }
        if (at == units.size()) {
            units.emplace_back();
            units.back().Ceiling = options_.truepeaklimit;
            units.back().LeadGain = sources[i].LeadGain;
        }
        const double lead = Decibels(sources[i].LeadGain);
        units[at].Members.push_back(i);
        units[at].Readings.push_back(ScaledReading(measured, lead));
        units[at].Ceiling = std::min(
            units[at].Ceiling, options_.truepeaklimit - GridMarginDb(file, options_.truepeaklimit));
    }
    std::vector<LufsUnit> usable;
    for (LufsUnit& unit : units) {
        unit.Base = ReadingAfterGain(unit.Readings, 0.0);
        if (!unit.Base.Lufs) {
            continue;  // told by BalanceAllByLufs
        }
        const double toCeiling =
            unit.Ceiling - LufsTargetPlanner::CeilingMargin - unit.Base.TruePeakDb;
        unit.Reachable = ReadingAfterGain(unit.Readings, toCeiling).Lufs.value_or(*unit.Base.Lufs);
        usable.push_back(std::move(unit));
    }
    return usable;
}

std::optional<double> Operations::RequestedLufsReference(const std::vector<LufsUnit>& units) {
    if (request_.lufsTarget) {
        return *request_.lufsTarget;
    }
    const std::vector<FileData*> files = host_.Files();
    switch (request_.reference) {
        case ReferenceChoice::Highlighted: {
            if (request_.highlighted == nullptr) {
                TellLufsProblem(messages::NoHighlightedFile);
                return std::nullopt;
            }
            for (const LufsUnit& unit : units) {
                for (const size_t i : unit.Members) {
                    if (files[i] == request_.highlighted) {
                        return unit.Reachable;
                    }
                }
            }
            TellLufsProblem(messages::SilentReference);
            return std::nullopt;
        }
        case ReferenceChoice::Quietest:
        case ReferenceChoice::Loudest: {
            if (units.empty()) {
                return std::nullopt;  // nothing to balance
            }
            const bool quietest = request_.reference == ReferenceChoice::Quietest;
            double level = units.front().Reachable;
            for (const LufsUnit& unit : units) {
                level =
                    quietest ? std::min(level, unit.Reachable) : std::max(level, unit.Reachable);
            }
            return level;
        }
        case ReferenceChoice::Preset:
            if (!request_.presetLevel) {
                TellLufsProblem(messages::NoPreset);
                return std::nullopt;
            }
            return *request_.presetLevel;
    }
    return std::nullopt;
}

bool Operations::LufsCompressionConfirmed(const std::vector<LufsUnit>& units) {
    const std::vector<FileData*> files = host_.Files();
    auto listed = [&](const LufsUnit& unit) {
        std::string text;
        for (const size_t i : unit.Members) {
            text += "\r" + files[i]->SourceFile;
        }
        return text;
    };
    // The compression a unit needs is how far its target lies above what gain alone reaches,
    // as an amplitude ratio, the very measure of the maximum and warning factors.
    const double maxDb = Decibels(options_.maxcompfactor);
    std::string maxCompList;
    for (const LufsUnit& unit : units) {
        if (*ReferenceLufs - unit.Reachable > maxDb) {
            maxCompList += listed(unit);
            ReferenceLufs = unit.Reachable + maxDb;
        }
    }
    std::string warnCompList;
    for (const LufsUnit& unit : units) {
        if (*ReferenceLufs - unit.Reachable > Decibels(options_.warncompfactor)) {
            warnCompList += listed(unit);
        }
    }
    if (lufsPreview_ != nullptr) {
        // A preview plans what the run does when every question is answered Yes.
        lufsPreview_->ReferenceLowered = !maxCompList.empty();
        return true;
    }
    if (!maxCompList.empty()) {
        const Answer answer =
            Ask(messages::MaxCompression + maxCompList + messages::ProceedQuestion, true);
        engine_.Running = answer == Answer::Yes;
    }
    if (engine_.Running && !warnCompList.empty()) {
        const Answer answer =
            Ask(messages::HeavyProcessing + warnCompList + messages::ProceedQuestion, true);
        engine_.Running = answer == Answer::Yes;
    }
    return engine_.Running;
}

int Operations::BalanceLufsUnit(FileWork& work, ReadingObserver& chainMeter, const LufsUnit& unit,
                                const std::vector<FileData*>& files) {
    AudioEngine& engine = work.Engine;
    // The run's own work tells at once; a worker's is told with its record, in its turn.
    const bool own = &engine == &engine_;
    int writes = 0;
    std::vector<ChainMember> members;
    for (size_t k = 0; k < unit.Members.size(); ++k) {
        FileData* file = files[unit.Members[k]];
        members.push_back(
            {file, FromSources() ? file->SourceFile : file->ResultFile, unit.Readings[k]});
    }
    std::vector<TransformStep> lead;
    if (FromSources()) {
        TransformStep normalising{BlockTransform::Gain};
        normalising.Gain = unit.LeadGain;
        lead.push_back(normalising);
    }
    // What a gain does to the loudness is computed from the last reading, unless storing the
    // result on its grid may move it by more than a fifth of the promise: then every step is
    // read, and what is read is what will be written.
    const double lift = GridLift(unit.Members, files, *ReferenceLufs);
    const bool readGains = lift > kLeastReadLift;
    MappedChainMeter meter(engine, chainMeter, std::move(members), std::move(lead), readGains);
    LufsRequest request;
    request.Source = unit.Base;
    request.Target = *ReferenceLufs;
    // A plan that reads every step knows the true peak of what it will write: no margin for
    // the grid's rounding is needed beyond the planner's own.
    request.Ceiling = readGains ? options_.truepeaklimit : unit.Ceiling;
    request.Tolerance = LufsTargetPlanner::Aim(readGains ? 0.0 : lift);
    const LufsPlan plan = LufsTargetPlanner(planner_).Plan(request, meter);
    work.Tell([this, reads = meter.FilesRead()] { PlanningReads += reads; });
    if (!engine.Running) {
        return writes;
    }
    if (lufsPreview_ != nullptr) {
        ShowLufsPlan(unit, plan, meter);
        return writes;
    }
    if (plan.ShortOfTarget()) {
        for (const size_t i : unit.Members) {
            std::string warning = messages::TargetNotReached(
                files[i]->SourceFile,
                plan.Result.Lufs ? messages::LufsText(*plan.Result.Lufs) : "silence",
                messages::LufsText(request.Target));
            work.Tell([this, warning = std::move(warning)] {
                ++FilesShortOfTarget;
                host_.ShowWarning(warning);
            });
        }
    }
    const std::vector<TransformStep> chain = meter.Chain(plan.Chain());
    const std::string label = plan.Compressions > 0 ? "Compressing" : "Balancing";
    for (const size_t i : unit.Members) {
        FileData& file = *files[i];
        if (!engine.Running) {
            return writes;
        }
        if (!planning_ && plan.Steps.empty()) {
            // Already on target: the result stays as it is.
            engine.Estimator.WorkRemaining -= 2.0 * file.FrameCount;
            continue;
        }
        // Balance counts the result's values just before its write, which checks them.
        if (!planning_ && !CountValues(work, file, file.ResultFile).Counted()) {
            return writes;
        }
        ++writes;
        const double loudnessBefore = file.Loudness;
        const SampleHistogram* values = planning_ ? KeptValues(work.Recounted, i) : &work.Recounted;
        if (!WriteChainResult(work, file, chain, label, file.IsPlain16Bit() ? values : nullptr)) {
            file.Loudness = loudnessBefore;
        }
        if (own) {
            engine_.Estimator.UpdateEstimate(0, true);
            SourceLoudnessShown = true;
            ResultLoudnessShown = true;
            host_.LoudnessChanged();
        }
    }
    return writes;
}

void Operations::BalanceAllByLufs() {
    const std::vector<FileData*> files = host_.Files();
    FilesShortOfTarget = 0;
    PlanningReads = 0;
    ReferenceLufs.reset();
    // No reference on the sample scale: nothing may draw the last RMS balance's target over
    // these results.
    ReferenceLoudness = 0.0;
    if (!MeterWhatIsWritten(files)) {
        return;
    }
    const std::vector<LufsUnit> units = LufsUnits(files, RunSources(files));
    std::vector<bool> planned(files.size(), false);
    for (const LufsUnit& unit : units) {
        for (const size_t i : unit.Members) {
            planned[i] = true;
        }
    }
    for (size_t i = 0; i < files.size(); ++i) {
        if (Balanceable(*files[i]) && !planned[i]) {
            host_.ShowWarning(messages::NoIntegratedLoudness(files[i]->SourceFile));
        }
    }
    ReferenceLufs = RequestedLufsReference(units);
    if (!ReferenceLufs || !LufsCompressionConfirmed(units)) {
        return;  // no reference, or a question answered No
    }
    engine_.Estimator.StartTiming();
    balancingBegun_ = true;
    if (!chainMeter_) {
        chainMeter_ = std::make_unique<BroadcastMeter>();
    }
    if (!BalanceLufsUnitsAtOnce(units, files)) {
        FileWork work = OwnWork();
        for (const LufsUnit& unit : units) {
            if (!engine_.Running) {
                return;
            }
            BalanceLufsUnit(work, *chainMeter_, unit, files);
        }
    }
    // Prepare & Balance leaves every usable file a result: those it cannot balance by LUFS
    // keep their normalised copies.
    for (size_t i = 0; planning_ && i < files.size(); ++i) {
        if (!engine_.Running) {
            return;
        }
        if (!files[i]->Ignored && !planned[i]) {
            TransformStep normalising{BlockTransform::Gain};
            normalising.Gain = plans_[i].NormalisingGain;
            WriteChainResult(*files[i], {normalising}, "Normalising", KeptValues(recounted_, i));
            engine_.Estimator.UpdateEstimate(0, true);
        }
    }
    if (engine_.Running) {
        SourceLoudnessShown = true;
        ResultLoudnessShown = true;
        host_.LoudnessChanged();
        ReadyToBalance = false;
    }
}

std::optional<Preview> Operations::PreviewByLufs(const Measurements& measured,
                                                 const RunRequest& request) {
    const std::vector<FileData*> files = host_.Files();
    if (engine_.Running || files.empty() || files.size() != measured.size()) {
        return std::nullopt;
    }
    Preview preview;
    preview.ByLufs = true;
    preview.Rows.resize(measured.size());
    std::vector<LufsSource> sources(measured.size());
    const std::vector<double> gains = NormalisingGains(measured);
    for (size_t i = 0; i < measured.size(); ++i) {
        if (measured[i].File != files[i]) {
            return std::nullopt;  // measured for another list
        }
        const bool usable = !measured[i].Ignored && measured[i].SourceLoudness > 0.0;
        if (usable && (!measured[i].Values && !measured[i].GridValues)) {
            preview.Problem = messages::PreviewTooLarge;
            return preview;
        }
        if (usable && !files[i]->SourceBroadcast.Measured) {
            preview.Problem = messages::PreviewNotMetered;
            return preview;
        }
        sources[i] = {usable, &files[i]->SourceBroadcast, gains[i]};
    }
    request_ = request;
    const std::optional<double> referenceBefore = ReferenceLufs;
    engine_.Running = true;
    // Only the plans' compress passes read the sources, each a "Measuring" pass.
    engine_.Estimator.ResetEstimate(0.0);
    std::vector<std::string> names;
    for (const FileData* file : files) {
        names.push_back(FileNamePart(file->SourceFile, Paths));
    }
    host_.ShowProgressLine(names);
    engine_.Estimator.StartTiming();
    lufsPreview_ = &preview;
    lufsMeasured_ = &measured;
    try {
        const std::vector<LufsUnit> units = LufsUnits(files, sources);
        ReferenceLufs = RequestedLufsReference(units);
        if (ReferenceLufs && LufsCompressionConfirmed(units)) {
            preview.Reference = *ReferenceLufs;
            if (!chainMeter_) {
                chainMeter_ = std::make_unique<BroadcastMeter>();
            }
            for (const LufsUnit& unit : units) {
                if (!engine_.Running) {
                    break;
                }
                FileWork work = OwnWork();
                BalanceLufsUnit(work, *chainMeter_, unit, files);
            }
        }
    } catch (const PassOpenError& error) {
        host_.ShowOpenError(error.what(), error.Reason());
        Cancel();
    }
    lufsPreview_ = nullptr;
    lufsMeasured_ = nullptr;
    ReferenceLufs = referenceBefore;
    const bool whole = engine_.Running;
    FinishOperation();
    if (!whole) {
        return std::nullopt;
    }
    return preview;
}

}  // namespace tralux
