// The runs' planning and writing of several files at once, each on a worker of its own, with
// what the user sees and every result the same as one file after the other.

#include <memory>
#include <optional>
#include <vector>

#include "engine/FilePool.h"
#include "operations/Operations.h"

namespace tralux {

bool Operations::WritesAtOnce(size_t workers) const {
    // A meter watches one sweep at a time; and only a run that commits its results beside its
    // work commits those the workers hand it.
    return FilesAtOnce > 1 && workers > 1 && engine_.Files().SharedByThreads() &&
           engine_.Observer == nullptr && engine_.CommitsInBackground;
}

void Operations::BalanceFilesAtOnce(const std::vector<FileData*>& files) {
    std::vector<size_t> balanced;  // the files balanced, by position in the list
    for (size_t i = 0; i < files.size(); ++i) {
        if (!files[i]->Ignored && files[i]->Loudness > 0.0) {
            balanced.push_back(i);
        }
    }
    // A worker's counts, kept from one of its files to the next.
    struct Scratch {
        SampleHistogram Recounted;
        GridCounts RecountedGrid;
        PassTotals Counted;
    };
    std::vector<std::unique_ptr<Scratch>> scratch(static_cast<size_t>(FilesAtOnce));
    // One file's work, kept from its worker to its turn: its record as the worker left it.
    struct Job {
        std::optional<FileData> File;
        BalancePlan Plan;
        GridPlan GridPlanned;
        BalanceOutcome Outcome = BalanceOutcome::Stopped;
    };
    std::vector<std::unique_ptr<Job>> jobs(balanced.size());

    FilePool pool(engine_, FilesAtOnce, size_t(FilesAtOnce));
    pool.Run(
        balanced.size(),
        [&](FilePool::Worker& worker, size_t k) {
            std::unique_ptr<Scratch>& mine = scratch[size_t(worker.Number())];
            if (!mine) {
                mine = std::make_unique<Scratch>();
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
            job->Outcome = CountAndBalance(work, balanced[k], *job->File);
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
            // A result written but not committed (the run stopped, or the result before it was
            // not kept) is dropped, as a write cut short is.
            if (outcome == BalanceOutcome::Written &&
                !(result && engine_.CommitFinished(std::move(result), file))) {
                outcome = BalanceOutcome::Failed;
            }
            file = std::move(*job->File);
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
