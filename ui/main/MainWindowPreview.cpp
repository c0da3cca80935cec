// The preview: the listed sources measured once, and the plan of Prepare & Balance shown in the
// result loudness column for the reference, preset, groups and options chosen now.

#include <cmath>

#include "main/TBalanceVolumes.h"
#include "main/WindowText.h"
#include "units/Loudness.h"

namespace tralux {

bool TBalanceVolumes::PreviewCurrent() const {
    if (!measured_) {
        return false;
    }
    // Measured for exactly the files listed now, in this order.
    const std::vector<FileData*> files = filegrid->Files();
    if (files.size() != measured_->size()) {
        return false;
    }
    for (size_t i = 0; i < files.size(); ++i) {
        if ((*measured_)[i].File != files[i] || (*measured_)[i].Frames != files[i]->FrameCount) {
            return false;
        }
    }
    return true;
}

void TBalanceVolumes::RePlan() {
    if (!PreviewCurrent()) {
        ForgetPreview();
        return;
    }
    if (ChosenMeasure() == BalanceMeasure::Lufs) {
        if (!RePlanByLufs()) {
            return;
        }
    } else {
        preview_ = ops_->PlanFromMeasurements(*measured_, Request());
    }
    filegrid->horizontalHeaderItem(FileGrid::ResultLoudnessColumn)
        ->setText(preview_.Problem.empty() ? QStringLiteral("Planned Loudness")
                                           : QStringLiteral("Result Loudness"));
    filegrid->horizontalHeaderItem(FileGrid::ResultLoudnessColumn)
        ->setToolTip(Qt8(preview_.Problem));
    ShowPlanTips();
    RescaleLoudnessBars();
    ShowLoudnessCurves();
}

void TBalanceVolumes::ForgetPreview() {
    const bool shown = measured_.has_value();
    measured_.reset();
    preview_ = Preview{};
    if (shown) {
        filegrid->horizontalHeaderItem(FileGrid::ResultLoudnessColumn)
            ->setText(QStringLiteral("Result Loudness"));
        filegrid->horizontalHeaderItem(FileGrid::ResultLoudnessColumn)->setToolTip(QString());
        ShowPlanTips();
        RescaleLoudnessBars();
    }
    ShowLoudnessCurves();
}

void TBalanceVolumes::ShowPlanTips() {
    // The whole planned text, which a narrow column cuts short.
    for (int row = 0; row < filegrid->rowCount(); ++row) {
        const FileData* file = filegrid->Record(row);
        const std::optional<FileGrid::PlannedCell> cell =
            file != nullptr ? PlannedCell(*file) : std::nullopt;
        QTableWidgetItem* item = filegrid->item(row, FileGrid::ResultLoudnessColumn);
        if (item == nullptr && !cell) {
            continue;
        }
        if (item == nullptr) {
            filegrid->SetCellText(row, FileGrid::ResultLoudnessColumn, QString());
            item = filegrid->item(row, FileGrid::ResultLoudnessColumn);
        }
        QString tip;
        if (cell) {
            tip = QStringLiteral("Planned: ") +
                  Qt8(LoudnessText(cell->level, options_.loudnessunits, decimalSeparator_)) +
                  cell->note;
            if (!cell->broadcast.isEmpty()) {
                tip += QStringLiteral("\n") + cell->broadcast;
            }
        }
        item->setToolTip(tip);
    }
}

std::optional<FileGrid::PlannedCell> TBalanceVolumes::PlannedCell(const FileData& file) const {
    if (!PreviewCurrent() || !preview_.Problem.empty()) {
        return std::nullopt;
    }
    for (size_t i = 0; i < measured_->size(); ++i) {
        if ((*measured_)[i].File != &file || i >= preview_.Rows.size()) {
            continue;
        }
        const PreviewRow& row = preview_.Rows[i];
        if (!row.Planned) {
            return std::nullopt;
        }
        QString note = QStringLiteral(" %1%2 dB")
                           .arg(row.GainDb >= 0.0 ? QStringLiteral("+") : QString())
                           .arg(row.GainDb, 0, 'f', 1);
        if (row.Compression > 1.0) {
            note += QStringLiteral(", compressed x%1").arg(row.Compression, 0, 'f', 2);
        }
        if (!row.TargetReached) {
            note += QStringLiteral(", short of target");
        }
        QString broadcast;
        if (preview_.ByLufs) {
            // A silent result has no true peak: the planner says so with its floor.
            const std::optional<double> truePeak =
                row.TruePeakDb > -200.0 ? std::optional<double>(row.TruePeakDb) : std::nullopt;
            broadcast = FileGrid::PlannedBroadcastText(row.Lufs, truePeak, Qt8(decimalSeparator_));
        }
        return FileGrid::PlannedCell{row.Loudness, note, broadcast};
    }
    return std::nullopt;
}

}  // namespace tralux
