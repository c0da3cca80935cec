// Balancing by LUFS several files at once: each unit of one file planned and written on a pool
// worker, with a meter of its own for its planning reads and one for its write, and everything
// told, measured and committed in list order, as one file after the other gives it.

#include <memory>
#include <optional>
#include <vector>

#include "operations/FileMeter.h"
#include "operations/LufsUnit.h"
#include "operations/Operations.h"

namespace tralux {

bool Operations::BalanceLufsUnitsAtOnce(const std::vector<LufsUnit>& units,
                                        const std::vector<FileData*>& files) {
    if (lufsPreview_ != nullptr || !WritesAtOnce(units.size())) {
        return false;
    }
    // A worker's counts, kept from one of its files to the next.
    struct Scratch {
        SampleHistogram Recounted;
        GridCounts RecountedGrid;
        PassTotals Counted;
        BalancePlan Plan;
        GridPlan GridPlanned;
        FileMeter ChainMeter;
    };
    std::vector<std::unique_ptr<Scratch>> scratch(static_cast<size_t>(FilesAtOnce));
    // A unit of one file: its record as its worker left it, and the record before.
    std::vector<std::optional<FileData>> copies(units.size());
    std::vector<int> writes(units.size(), 0);
    FileMeters meters(units.size(), engine_.Observer != nullptr);
    Pool().Run(
        units.size(), size_t(FilesAtOnce),
        [&](FilePool::Worker& worker, size_t k) {
            const LufsUnit& unit = units[k];
            if (unit.Members.size() != 1) {
                return;  // a track group writes several results: on the run's thread, in turn
            }
            std::unique_ptr<Scratch>& mine = scratch[size_t(worker.Number())];
            if (!mine) {
                mine = std::make_unique<Scratch>();
            }
            const size_t i = unit.Members.front();
            copies[k].emplace(*files[i]);
            std::vector<FileData*> records = files;
            records[i] = &*copies[k];
            FileWork work{worker.Engine(),
                          mine->Recounted,
                          mine->RecountedGrid,
                          mine->Counted,
                          mine->Plan,
                          mine->GridPlanned,
                          [&worker](std::function<void()> told) { worker.Tell(std::move(told)); }};
            const ObservedBy observed(worker.Engine(), meters.For(k));
            writes[k] = BalanceLufsUnit(work, mine->ChainMeter, unit, records);
        },
        [&](size_t k, std::unique_ptr<AudioEngine::FinishedResult> result) {
            const LufsUnit& unit = units[k];
            if (unit.Members.size() != 1) {
                FileWork work = OwnWork();
                BalanceLufsUnit(work, *chainMeter_, unit, files);
                return;
            }
            FileData& file = *files[unit.Members.front()];
            if (!copies[k] || !engine_.Running) {
                return;  // the run has stopped; the record stays as it was
            }
            if (writes[k] == 0) {
                return;  // already on target: the result stays as it is
            }
            const FileData before = file;
            const bool handedOff = result != nullptr;
            const bool committed = handedOff && engine_.CommitFinished(std::move(result), file);
            file = std::move(*copies[k]);
            copies[k].reset();
            meters.Deliver(k, file, meter_.get(), committed || !handedOff);
            if (handedOff && !committed) {
                // Written but not kept: the result is as it was, as a write that fails leaves it.
                file.Loudness = before.Loudness;
                file.Normalised = before.Normalised;
                file.ResultIdentity = before.ResultIdentity;
            }
            engine_.Estimator.UpdateEstimate(0, true);
            SourceLoudnessShown = true;
            ResultLoudnessShown = true;
            host_.LoudnessChanged();
        });
    return true;
}

}  // namespace tralux
