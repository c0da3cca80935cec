// The runs' work on several files at once, each on a worker of its own, with what the user sees
// and every result the same as one file after the other; and the work on one file that a worker
// or the run's own thread does.

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "engine/FilePool.h"
#include "operations/ByteTurns.h"
#include "operations/FileMeter.h"
#include "operations/Operations.h"

namespace tralux {
namespace {

// The full scale of a 16-bit sample as every gain of the runs uses it.
constexpr double FullScale = 32767.0;

}  // namespace

int Operations::EveryCore() {
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

bool Operations::ScansAtOnce(const std::vector<FileData*>& files) const {
    // A metered scan takes a meter of its own on its worker.
    return FilesAtOnce > 1 && files.size() > 1 && engine_.Files().SharedByThreads() &&
           (engine_.Observer == nullptr || engine_.Observer == meter_.get());
}

Operations::FileWork Operations::OwnWork() {
    return {engine_,
            recounted_,
            recountedGrid_,
            counted_,
            lastPlan_,
            lastGridPlan_,
            [](const std::function<void()>& told) { told(); }};
}

Operations::BalanceOutcome Operations::CountAndBalance(FileWork& work, size_t index,
                                                       FileData& file) {
    // Balance measures each result as it is now; Prepare & Balance plans on its sources.
    const CountedValues values =
        planning_ ? SourceValues(work, index, file) : CountValues(work, file, file.ResultFile);
    if (!values.Counted()) {
        return BalanceOutcome::Stopped;
    }
    const BalanceOutcome outcome = BalanceFile(work, index, file, values);
    // A 24-bit file's keys and their table can take hundreds of megabytes: they have served
    // once the file is written, and the next file, or the files waiting for their turn, must
    // not hold them beside its own.
    if (values.Grid != nullptr) {
        work.RecountedGrid = GridCounts();
        work.GridPlanned.Table = GridTable();
    }
    return outcome;
}

void Operations::AfterBalancing(FileData& file, BalanceOutcome outcome, double loudnessBefore,
                                bool normalisedBefore) {
    // Stopped or failed: the result is as it was, and so is what the grid shows.
    const auto setBack = [this, record = &file, loudnessBefore, normalisedBefore] {
        record->Loudness = loudnessBefore;
        record->Normalised = normalisedBefore;
        SourceLoudnessShown = true;
        ResultLoudnessShown = true;
        host_.LoudnessChanged();
    };
    if (outcome == BalanceOutcome::Failed) {
        setBack();
    } else if (outcome == BalanceOutcome::Written) {
        engine_.WhenResultNotKept(setBack);
    }
    engine_.Estimator.UpdateEstimate(0, true);
}

FilePool& Operations::Pool() {
    if (!pool_ || pool_->Workers() != FilesAtOnce) {
        pool_ = std::make_unique<FilePool>(engine_, FilesAtOnce);
    }
    return *pool_;
}

Operations::CountedValues Operations::CountValues(FileData& file, const std::string& path) {
    FileWork work = OwnWork();
    return CountValues(work, file, path);
}

bool Operations::WriteResult(FileData& file, const ValueTable& table, const std::string& label,
                             const SampleHistogram* values) {
    FileWork work = OwnWork();
    return WriteResult(work, file, table, label, values);
}

double Operations::NormalisingGainOf(const FileData& file) const {
    const GroupData* group = file.GroupNumber > 0 ? FindGroup(Groups, file.GroupNumber) : nullptr;
    const double peak = group != nullptr ? group->Peak : file.Peak;
    return peak > 0 ? FullScale / peak : 0.0;
}

bool Operations::WritesAtOnce(size_t workers) const {
    // Only a run that commits its results beside its work commits those the workers hand it;
    // a metered run, each file's work with a meter of its own, commits each on its turn.
    return FilesAtOnce > 1 && workers > 1 && engine_.Files().SharedByThreads() &&
           (engine_.Observer == nullptr ? engine_.CommitsInBackground
                                        : engine_.Observer == meter_.get());
}

bool Operations::NormaliseFilesAtOnce(const std::vector<FileData*>& files) {
    std::vector<size_t> normalised;  // the files normalised, by position in the list
    for (size_t i = 0; i < files.size(); ++i) {
        if (!files[i]->Ignored && NormalisingGainOf(*files[i]) > 0.0) {
            normalised.push_back(i);
        }
    }
    if (!WritesAtOnce(normalised.size())) {
        return false;
    }
    std::vector<std::optional<FileData>> copies(normalised.size());
    FileMeters meters(normalised.size(), engine_.Observer != nullptr);
    Pool().Run(
        normalised.size(), size_t(FilesAtOnce),
        [&](FilePool::Worker& worker, size_t k) {
            copies[k].emplace(*files[normalised[k]]);
            const ObservedBy observed(worker.Engine(), meters.For(k));
            worker.Engine().NormaliseFile(*copies[k], NormalisingGainOf(*copies[k]));
        },
        [&](size_t k, std::unique_ptr<AudioEngine::FinishedResult> result) {
            FileData& file = *files[normalised[k]];
            const bool committed = result && engine_.CommitFinished(std::move(result), file);
            file = std::move(*copies[k]);
            copies[k].reset();
            meters.Deliver(k, file, meter_.get(), committed || !result);
            if (committed) {
                engine_.WhenResultNotKept([&file] { AudioEngine::ForgetNormalisedResult(file); });
            } else {
                // Not written whole, or written but dropped as the run stopped: no result.
                AudioEngine::ForgetNormalisedResult(file);
            }
        });
    return true;
}

void Operations::BalanceFilesAtOnce(const std::vector<FileData*>& files) {
    std::vector<size_t> balanced;  // the files balanced, by position in the list
    for (size_t i = 0; i < files.size(); ++i) {
        if (!files[i]->Ignored && files[i]->Loudness > 0.0) {
            balanced.push_back(i);
        }
    }
    // A worker's counts, kept from one of its files to the next.
    struct Scratch : OwnPages {
        SampleHistogram Recounted;
        GridCounts RecountedGrid;
        PassTotals Counted;
    };
    std::vector<std::unique_ptr<Scratch>> scratch(static_cast<size_t>(FilesAtOnce));
    // One file's work, kept from its worker to its turn: its record as the worker left it.
    struct Job : OwnPages {
        std::optional<FileData> File;
        BalancePlan Plan;
        GridPlan GridPlanned;
        BalanceOutcome Outcome = BalanceOutcome::Stopped;
    };
    std::vector<std::unique_ptr<Job>> jobs(balanced.size());
    FileMeters meters(balanced.size(), engine_.Observer != nullptr);
    // Files of other grids are balanced side by side while the keys and tables of those at
    // work fit in GridBytesAtOnce together; one with more keys waits to be balanced alone. A
    // worker takes its turn at the start of a file, holding nothing else, and gives it back at
    // its end: the workers beside it end their files without waiting for it.
    ByteTurns gridTurns(GridBytesAtOnce);
    const auto gridKeysHeld = [&](size_t k) -> size_t {
        const FileData& file = *files[balanced[k]];
        if (!GridFormat(file.Format.Sample)) {
            return 0;
        }
        // The keys its scan counted; a result not counted yet holds at most one key for each
        // sample, and each key of the grid at most once.
        const auto samples = static_cast<uint64_t>(std::max<int64_t>(0, file.SampleCount()));
        const size_t keys = planning_ ? plans_[balanced[k]].GridKeys
                                      : static_cast<size_t>(std::min<uint64_t>(
                                            samples, SampleGrid(file.Format.Sample).KeyCount()));
        // Its keys, their counts and the table the planning makes of them; and a dense table
        // to count them in when they were not kept.
        const bool recounted = !planning_ || !plans_[balanced[k]].Grid;
        return keys * (2 * sizeof(int32_t) + sizeof(uint32_t)) +
               (recounted ? SampleGrid(file.Format.Sample).KeyCount() * sizeof(uint32_t) : 0);
    };
    // The dense tables the scans counted in are not needed to plan from kept counts.
    engine_.LetDenseKeysGo();

    Pool().Run(
        balanced.size(), size_t(FilesAtOnce),
        [&](FilePool::Worker& worker, size_t k) {
            std::unique_ptr<Scratch>& mine = scratch[size_t(worker.Number())];
            if (!mine) {
                mine = std::make_unique<Scratch>();
            }
            ByteTurns::Turn turn;
            if (!files[balanced[k]]->IsPlain16Bit()) {
                turn = ByteTurns::Turn(gridTurns, gridKeysHeld(k));
            }
            auto job = std::make_unique<Job>();
            job->File.emplace(*files[balanced[k]]);
            FileWork work{worker.Engine(),
                          mine->Recounted,
                          mine->RecountedGrid,
                          mine->Counted,
                          job->Plan,
                          job->GridPlanned,
                          [&worker](std::function<void()> told) { worker.Tell(std::move(told)); }};
            const ObservedBy observed(worker.Engine(), meters.For(k));
            job->Outcome = CountAndBalance(work, balanced[k], *job->File);
            // The counts kept for the file have served: they need not stay beside the counts
            // of the files after it.
            if (planning_) {
                plans_[balanced[k]].Grid.reset();
                plans_[balanced[k]].Histogram.reset();
            }
            jobs[k] = std::move(job);
        },
        [&](size_t k, std::unique_ptr<AudioEngine::FinishedResult> result) {
            const std::unique_ptr<Job> job = std::move(jobs[k]);
            FileData& file = *files[balanced[k]];
            BalanceOutcome outcome = job->Outcome;
            if (outcome == BalanceOutcome::Stopped) {
                return;  // the run has stopped; the record stays as it was
            }
            const double loudnessBefore = file.Loudness;
            const bool normalisedBefore = file.Normalised;
            const FileIdentity identityBefore = file.ResultIdentity;
            const bool handedOff = result != nullptr;
            // A result written but not committed (the run stopped, or the result before it was
            // not kept) is dropped, as a write cut short is.
            if (outcome == BalanceOutcome::Written &&
                !(result && engine_.CommitFinished(std::move(result), file))) {
                outcome = BalanceOutcome::Failed;
            }
            file = std::move(*job->File);
            meters.Deliver(k, file, meter_.get(), outcome != BalanceOutcome::Failed || !handedOff);
            if (outcome == BalanceOutcome::Failed) {
                file.ResultIdentity = identityBefore;
            }
            if (file.IsPlain16Bit()) {
                lastPlan_ = std::move(job->Plan);
            } else {
                lastGridPlan_ = std::move(job->GridPlanned);
            }
            AfterBalancing(file, outcome, loudnessBefore, normalisedBefore);
        });
}

}  // namespace tralux
