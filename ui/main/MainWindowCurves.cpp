// The picture of the highlighted file's short-term loudness: its source and its result (written,
// or planned by the preview) over time, with the target of the plan or of the last Balance.

#include <sys/stat.h>

#include "LoudnessPlot.h"
#include "main/TBalanceVolumes.h"
#include "main/WindowText.h"
#include "operations/LoudnessCurve.h"
#include "units/Loudness.h"

namespace tralux {

namespace {

// Stored curves for files no longer shown are dropped past this many.
constexpr size_t MaxStoredCurves = 64;

}  // namespace

std::vector<double> TBalanceVolumes::CachedCurve(const std::string& path,
                                                 const std::shared_ptr<const ValueTable>& table) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return {};
    }
    const int64_t size = status.st_size;
    const int64_t modified =
        static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    const auto key = std::make_pair(path, table.get());
    const auto found = curves_.find(key);
    if (found != curves_.end() && found->second.Size == size &&
        found->second.ModifiedNs == modified) {
        return found->second.Levels;
    }
    if (curves_.size() >= MaxStoredCurves) {
        curves_.clear();
    }
    StoredCurve& stored = curves_[key];
    stored.Size = size;
    stored.ModifiedNs = modified;
    stored.Table = table;
    stored.Levels = ReadLoudnessCurve(path, table.get());
    return stored.Levels;
}

void TBalanceVolumes::ShowLoudnessCurves() {
    // A run or an intake is using the files: what is shown stays until it ends.
    if (engine_.Running || RunInProgress() || intakeRunning_) {
        return;
    }
    loudnessplot->SetLevelText([this](double level) {
        return Qt8(LoudnessText(level, options_.loudnessunits, decimalSeparator_));
    });
    const FileData* file = HighlightedFile();
    if (file == nullptr) {
        loudnessplot->ShowNothing(QStringLiteral("No file highlighted"));
        return;
    }
    LoudnessPlot::Curves curves;
    curves.Source = CachedCurve(file->SourceFile, nullptr);
    const PreviewRow* planned = nullptr;
    if (PreviewCurrent() && preview_.Problem.empty()) {
        for (size_t i = 0; i < measured_->size() && i < preview_.Rows.size(); ++i) {
            if ((*measured_)[i].File == file && preview_.Rows[i].Planned &&
                preview_.Rows[i].Table) {
                planned = &preview_.Rows[i];
            }
        }
    }
    if (file->Normalised && !file->ResultFile.empty()) {
        curves.Result = CachedCurve(file->ResultFile, nullptr);
        curves.ResultName = QStringLiteral("Result");
    }
    if (curves.Result.empty() && planned != nullptr) {
        curves.Result = CachedCurve(file->SourceFile, planned->Table);
        curves.ResultName = QStringLiteral("Planned");
    }
    if (planned != nullptr) {
        // A target in LUFS has no place on this plot's scale of sample levels.
        if (!preview_.ByLufs) {
            curves.Target = planned->Target;
        }
    } else if (curves.ResultName == QStringLiteral("Result") && !ops_->ReadyToBalance &&
               ops_->ReferenceLoudness > 0.0) {
        // Written by the last Balance (a Prepare since would leave the run ready to balance).
        curves.Target =
            Operations::TargetLoudness(*file, ops_->ReferenceLoudness, ops_->AnchorAtLoudest);
    }
    bool silent = true;
    for (const double level : curves.Source) {
        silent = silent && level == 0.0;
    }
    if (silent) {
        curves = LoudnessPlot::Curves{};
    }
    loudnessplot->ShowCurves(std::move(curves),
                             QStringLiteral("Nothing to show: the file is silent "
                                            "or cannot be read"));
}

}  // namespace tralux
