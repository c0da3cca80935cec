#include "TBalanceVolumes.h"

#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMenu>
#include <QMimeData>
#include <QUrl>

#include <algorithm>
#include <chrono>

#include "FileGrid.h"
#include "WindowText.h"
#include "dialogs/GridDrawing.h"
#include "dialogs/Prompts.h"
#include "files/WaveHeader.h"
#include "operations/Intake.h"

// The main window's file list: the grid's names and bars, intake (the file dialog, drops,
// files offered while a run goes on) and removal.

namespace tralux {
namespace {

// How often a long intake lets the window answer input.
constexpr std::chrono::milliseconds PumpInterval(50);

QString FileNameOnly(const QString& path) {
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? path : path.mid(slash + 1);
}

// The listed files by the listing rule, with their rows.
SameFileIndex ListedIndex(const std::vector<FileData*>& files) {
    SameFileIndex listed(SameFileRule::Listing);
    for (size_t row = 0; row < files.size(); ++row) {
        listed.Add(files[row]->SourceFile, row);
    }
    return listed;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// The grid

std::vector<FileData*> TBalanceVolumes::Files() const {
    return filegrid->Files();
}

FileData* TBalanceVolumes::HighlightedFile() const {
    return filegrid->Record(filegrid->currentRow());
}

void TBalanceVolumes::RefreshRowNames(int row) {
    const FileData* file = filegrid->Record(row);
    if (file == nullptr) {
        return;
    }
    const QFontMetrics metrics(filegrid->font());
    const auto fitted = [&](const std::string& path, int column) {
        QString name = Qt8(path);
        if (options_.fnamesonly) {
            name = FileNameOnly(name);
        }
        return FitText(name, filegrid->columnWidth(column) - 2, metrics, options_.truncends);
    };
    filegrid->SetCellText(row, FileGrid::SourceColumn,
                          fitted(file->SourceFile, FileGrid::SourceColumn));
    // The whole path, which the cell may cut, and what the file holds.
    filegrid->item(row, FileGrid::SourceColumn)
        ->setToolTip(Qt8(file->SourceFile) + QLatin1Char('\n') + Qt8(SourceFormatText(*file)));
    filegrid->SetCellText(row, FileGrid::ResultColumn,
                          fitted(file->ResultFile, FileGrid::ResultColumn));
}

void TBalanceVolumes::RefreshAllNames() {
    for (int row = 0; row < filegrid->rowCount(); ++row) {
        RefreshRowNames(row);
    }
}

void TBalanceVolumes::RescaleLoudnessBars() {
    double scale = 0.0;
    for (const FileData* file : filegrid->Files()) {
        scale = std::max(scale, file->ScanLoudness);
        scale = std::max(scale, file->Loudness);
    }
    if (PreviewCurrent()) {
        for (const PreviewRow& row : preview_.Rows) {
            scale = std::max(scale, row.Loudness);
        }
    }
    filegrid->LoudnessScale = scale;
    filegrid->viewport()->update();
}

void TBalanceVolumes::filegridCurrentChanged(int /*row*/) {
    UpdateEnablement();
    // The highlighted file may be the reference.
    RePlan();
}

void TBalanceVolumes::ShowGridMenu(const QPoint& position) {
    PopupMenu1->popup(filegrid->viewport()->mapToGlobal(position));
}

void TBalanceVolumes::ShowGridMenuAtRow() {
    const int row = std::max(filegrid->currentRow(), 0);
    const QRect cell = filegrid->visualRect(filegrid->model()->index(row, 0));
    const QRect shown = cell.intersected(filegrid->viewport()->rect());
    ShowGridMenu(shown.isEmpty() ? QPoint(0, 0) : shown.center());
}

// ---------------------------------------------------------------------------------------
// Intake and removal

void TBalanceVolumes::AddFile(const QString& path) {
    SameFileIndex listed = ListedIndex(filegrid->Files());
    AddFile(path, listed);
    TellRefused();
}

void TBalanceVolumes::AddFile(const QString& path, SameFileIndex& listed) {
    const std::string file = Std(path);
    // A header of millions of empty chunks takes a while: during an intake the window answers
    // input meanwhile, and Cancel or closing the window ends the walk.
    using Clock = std::chrono::steady_clock;
    Clock::time_point lastPump = Clock::now();
    const auto stop = [this, &lastPump] {
        if (!intakeRunning_) {
            return false;
        }
        if (Clock::now() - lastPump >= PumpInterval) {
            QCoreApplication::processEvents();
            lastPump = Clock::now();
        }
        return intakeCancelled_ || closeAfterRun_;
    };
    Intake intake = TakeIn(file, listed, ungroupedNumbers_, stop);
    if (intake.outcome == Intake::Outcome::Listed || intake.outcome == Intake::Outcome::Stopped) {
        return;
    }
    if (intake.outcome == Intake::Outcome::Refused) {
        refused_.push_back(intake.refusal);
        return;
    }
    if (intake.shorterThanHeader) {
        shorterThanHeader_.push_back(file);
    }
    ++FileCount;
    int row = 0;
    const bool wasEmpty = filegrid->rowCount() == 1 && filegrid->Record(0) == nullptr;
    if (!wasEmpty) {
        row = filegrid->AppendRow();
    }
    filegrid->PutRecord(row, std::move(intake.record));
    listed.Add(file, static_cast<size_t>(row));
    RefreshRowNames(row);
    filegrid->SetCellText(row, FileGrid::GroupColumn, QString());
    if (wasEmpty) {
        filegrid->setCurrentCell(row, 0);
    }
    ops_->ReadyToBalance = false;
    filegrid->viewport()->update();
}

void TBalanceVolumes::OfferFiles(const QStringList& paths) {
    if (RunInProgress()) {
        // The runs, and an intake under way, walk a list that must not change under them:
        // these wait for the end.
        heldFiles_.append(paths);
        UpdateEnablement();
        return;
    }
    // The intake counts as a run: nothing else may start or change the list meanwhile, and
    // Cancel or closing the window stops it between two files.
    ++runDepth_;
    intakeRunning_ = true;
    intakeCancelled_ = false;
    UpdateEnablement();
    SameFileIndex listed = ListedIndex(filegrid->Files());
    // Input is answered after the first file and then a few times a second: a repaint after
    // every file would cost more than the intake itself.
    using Clock = std::chrono::steady_clock;
    Clock::time_point lastPump = Clock::now() - PumpInterval;
    for (const QString& path : paths) {
        if (intakeCancelled_ || closeAfterRun_) {
            break;
        }
        AddFile(path, listed);
        if (Clock::now() - lastPump >= PumpInterval) {
            QCoreApplication::processEvents();
            lastPump = Clock::now();
        }
    }
    intakeRunning_ = false;
    --runDepth_;
    if (closeAfterRun_ && !RunInProgress()) {
        close();
        return;
    }
    TellRefused();
    TellShorterThanHeader();
    const QStringList held = heldFiles_;
    heldFiles_.clear();
    if (!held.isEmpty() && !intakeCancelled_) {
        OfferFiles(held);
        return;
    }
    UpdateEnablement();
}

void TBalanceVolumes::TellRefused() {
    if (refused_.empty()) {
        return;
    }
    // A file alone is told in its own sentence; several are listed, each with its reason.
    QString text = Qt8(refused_.front());
    if (refused_.size() > 1) {
        text = QStringLiteral("These files were not added:\r");
        for (const std::string& refusal : refused_) {
            text += QStringLiteral("\r   ") + Qt8(refusal);
        }
    }
    refused_.clear();
    prompts_.Error(this, text);
}

void TBalanceVolumes::TellShorterThanHeader() {
    if (shorterThanHeader_.empty()) {
        return;
    }
    const std::string message = ShorterThanHeaderMessage(shorterThanHeader_);
    shorterThanHeader_.clear();
    prompts_.Warning(this, Qt8(message));
}

void TBalanceVolumes::addfilesbtnClick() {
    const QStringList filters = {
        QStringLiteral("WAV and FLAC Files (*.wav *.wave *.rf64 *.bw64 *.flac)"),
        QStringLiteral("All Files (*)")};
    const QStringList chosen = prompts_.OpenFiles(this, QStringLiteral("Select Files"), filters,
                                                  options_.wavonly ? 0 : 1, addFilesFolder_);
    if (!chosen.isEmpty()) {
        addFilesFolder_ = QFileInfo(chosen.constFirst()).absolutePath();
    }
    OfferFiles(chosen);
}

void TBalanceVolumes::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) {
        event->acceptProposedAction();
    }
}

void TBalanceVolumes::dragMoveEvent(QDragMoveEvent* event) {
    if (event->mimeData()->hasUrls()) {
        event->acceptProposedAction();
    }
}

void TBalanceVolumes::dropEvent(QDropEvent* event) {
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile()) {
            paths.append(url.toLocalFile());
        }
    }
    event->acceptProposedAction();
    OfferFiles(paths);
}

void TBalanceVolumes::remselbtnClick() {
    const int row = filegrid->currentRow();
    if (filegrid->Record(row) == nullptr) {
        UpdateEnablement();
        return;
    }
    --FileCount;
    std::vector<RemovedRow> removal;
    removal.push_back({row, filegrid->RemoveDataRow(row)});
    removals_.push_back(std::move(removal));
    if (filegrid->Record(0) != nullptr) {
        filegrid->setCurrentCell(std::min(row, filegrid->rowCount() - 1), 0);
    }
    filegrid->viewport()->update();
    UpdateEnablement();
}

void TBalanceVolumes::remallbtnClick() {
    std::vector<RemovedRow> removal;
    for (int row = filegrid->rowCount() - 1; row >= 0; --row) {
        if (filegrid->Record(row) != nullptr) {
            removal.insert(removal.begin(), {row, filegrid->RemoveDataRow(row)});
        }
    }
    if (!removal.empty()) {
        removals_.push_back(std::move(removal));
    }
    filegrid->RemoveAll();
    FileCount = 0;
    filegrid->setCurrentCell(0, 0);
    filegrid->viewport()->update();
    UpdateEnablement();
}

void TBalanceVolumes::UndoRemoval() {
    if (removals_.empty() || RunInProgress() || engine_.Running) {
        return;
    }
    std::vector<RemovedRow> removal = std::move(removals_.back());
    removals_.pop_back();
    SameFileIndex listed = ListedIndex(filegrid->Files());
    int lastRow = -1;
    for (RemovedRow& removed : removal) {
        // A file added again since it was removed stays where it is now, listed once.
        if (listed.Find(removed.record->SourceFile)) {
            continue;
        }
        const bool normalised = removed.record->Normalised;
        const int group = removed.record->GroupNumber;
        lastRow = filegrid->InsertDataRow(removed.row, std::move(removed.record));
        ++FileCount;
        RefreshRowNames(lastRow);
        filegrid->SetCellText(lastRow, FileGrid::GroupColumn,
                              group > 0 ? QString::number(group) : QString());
        if (!normalised) {
            ops_->ReadyToBalance = false;
        }
    }
    if (lastRow >= 0) {
        filegrid->setCurrentCell(lastRow, 0);
    }
    RescaleLoudnessBars();
    UpdateEnablement();
}

}  // namespace tralux
