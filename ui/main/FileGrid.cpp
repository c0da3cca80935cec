#include "FileGrid.h"

#include <QHeaderView>
#include <QPainter>
#include <QResizeEvent>
#include <QStyledItemDelegate>

#include <algorithm>
#include <cmath>

#include "dialogs/GridDrawing.h"
#include "engine/FileData.h"

namespace tralux {
namespace {

// Paints the loudness columns: the cell as usual, then a bar in the file's group colour and
// the value just right of it.
class LoudnessDelegate : public QStyledItemDelegate {
public:
    explicit LoudnessDelegate(FileGrid* grid) : QStyledItemDelegate(grid), grid_(grid) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyledItemDelegate::paint(painter, option, index);
        const FileData* file = grid_->Record(index.row());
        if (file == nullptr) {
            return;
        }
        const auto& drawing = grid_->Drawing();
        const bool source = index.column() == FileGrid::SourceLoudnessColumn;
        const auto& shown = source ? drawing.sourceShown : drawing.resultShown;
        // A file added since the last run has no value yet: a "0" would pass it off as silent.
        const bool measured =
            shown && shown() && drawing.text && FileGrid::Measured(*file, index.column());
        std::optional<FileGrid::PlannedCell> planned;
        if (!measured && !source && drawing.text) {
            planned = grid_->PlannedResult(*file);
        }
        if (!measured && !planned) {
            return;
        }
        const double value =
            planned ? planned->level : (source ? file->ScanLoudness : file->Loudness);
        const QRect cell = option.rect;
        const int bar = grid_->BarWidth(cell.width(), value);
        painter->save();
        const bool selected = option.state.testFlag(QStyle::State_Selected);
        const QColor textColour =
            option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
        if (bar > 0) {
            const QRect barRect(cell.left(), cell.top() + 1, bar, cell.height() - 2);
            const QColor colour = GroupColour(file->GroupNumber);
            painter->fillRect(barRect, colour);
            // A bar that hardly stands out from the selection or a dark background gets an
            // outline in the text colour; its own colour stays the group's.
            const QColor background =
                option.palette.color(selected ? QPalette::Highlight : QPalette::Base);
            if (ContrastRatio(colour, background) < 3.0) {
                painter->setPen(textColour);
                painter->drawRect(barRect.adjusted(0, 0, -1, -1));
            }
        }
        painter->setPen(textColour);
        QFont font = option.font;
        font.setItalic(planned.has_value());
        painter->setFont(font);
        const QRect textRect(cell.left() + bar, cell.top() + 2, cell.width() - bar,
                             cell.height() - 2);
        painter->setClipRect(cell);
        painter->drawText(textRect, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                          planned ? drawing.text(value) + planned->note : drawing.text(value));
        painter->restore();
    }

private:
    FileGrid* grid_;
};

// Paints the broadcast columns from the records, so that no text can outlive its file.
class BroadcastDelegate : public QStyledItemDelegate {
public:
    explicit BroadcastDelegate(FileGrid* grid) : QStyledItemDelegate(grid), grid_(grid) {}

    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        const FileData* file = grid_->Record(index.row());
        if (file == nullptr) {
            option->text = QString();
            return;
        }
        if (index.column() == FileGrid::ResultBroadcastColumn) {
            // A preview by LUFS plans what this column will say once the result is written.
            const std::optional<FileGrid::PlannedCell> planned = grid_->PlannedResult(*file);
            if (planned && !planned->broadcast.isEmpty()) {
                option->text = planned->broadcast;
                option->font.setItalic(true);
                return;
            }
        }
        option->text = FileGrid::BroadcastText(*file, index.column(), grid_->DecimalSeparator);
    }

private:
    FileGrid* grid_;
};

QString Measure(const std::optional<double>& value, const char* unit, const QString& decimal) {
    QString text = value ? QString::number(*value, 'f', 1) : QStringLiteral("-");
    text.replace(QLatin1Char('.'), decimal);
    return text + QLatin1Char(' ') + QLatin1String(unit);
}

QTableWidgetItem* PlainItem(const QString& text) {
    auto* item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    return item;
}

}  // namespace

FileGrid::FileGrid(QWidget* parent) : QTableWidget(1, AllColumnCount, parent) {
    setHorizontalHeaderLabels({"Source File", "Source Loudness", "Result File", "Result Loudness",
                               "Group", "Source LUFS, True Peak, LRA",
                               "Result LUFS, True Peak, LRA"});
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    horizontalHeader()->setStretchLastSection(false);
    horizontalHeader()->setHighlightSections(false);
    verticalHeader()->hide();
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Names arrive already shortened to their column; Qt must not cut them again.
    setTextElideMode(Qt::ElideNone);
    setWordWrap(false);
    setShowGrid(true);
    // Tab moves on to the other controls instead of walking the cells.
    setTabKeyNavigation(false);
    setItemDelegateForColumn(SourceLoudnessColumn, new LoudnessDelegate(this));
    setItemDelegateForColumn(ResultLoudnessColumn, new LoudnessDelegate(this));
    setItemDelegateForColumn(SourceBroadcastColumn, new BroadcastDelegate(this));
    setItemDelegateForColumn(ResultBroadcastColumn, new BroadcastDelegate(this));
    ShowBroadcastColumns(false);
    records_.resize(1);
    for (int column = 0; column < AllColumnCount; ++column) {
        setItem(0, column, PlainItem(QString()));
    }
}

FileGrid::~FileGrid() = default;

FileData* FileGrid::Record(int row) const {
    if (row < 0 || static_cast<size_t>(row) >= records_.size()) {
        return nullptr;
    }
    return records_[static_cast<size_t>(row)].get();
}

std::vector<FileData*> FileGrid::Files() const {
    std::vector<FileData*> files;
    for (const auto& record : records_) {
        if (record) {
            files.push_back(record.get());
        }
    }
    return files;
}

void FileGrid::PutRecord(int row, std::unique_ptr<FileData> record) {
    records_.at(static_cast<size_t>(row)) = std::move(record);
}

int FileGrid::AppendRow() {
    const int row = rowCount();
    insertRow(row);
    records_.emplace_back();
    for (int column = 0; column < AllColumnCount; ++column) {
        setItem(row, column, PlainItem(QString()));
    }
    return row;
}

int FileGrid::InsertDataRow(int row, std::unique_ptr<FileData> record) {
    if (rowCount() == 1 && records_.front() == nullptr) {
        records_.front() = std::move(record);
        return 0;
    }
    row = std::clamp(row, 0, rowCount());
    insertRow(row);
    records_.insert(records_.begin() + row, std::move(record));
    for (int column = 0; column < AllColumnCount; ++column) {
        setItem(row, column, PlainItem(QString()));
    }
    return row;
}

std::unique_ptr<FileData> FileGrid::RemoveDataRow(int row) {
    if (row < 0 || row >= rowCount()) {
        return nullptr;
    }
    auto record = std::move(records_[static_cast<size_t>(row)]);
    if (rowCount() > 1) {
        records_.erase(records_.begin() + row);
        removeRow(row);
    } else {
        for (int column = 0; column < AllColumnCount; ++column) {
            SetCellText(row, column, QString());
        }
    }
    return record;
}

void FileGrid::RemoveAll() {
    setRowCount(1);
    records_.clear();
    records_.resize(1);
    for (int column = 0; column < AllColumnCount; ++column) {
        SetCellText(0, column, QString());
    }
}

QString FileGrid::CellText(int row, int column) const {
    const QTableWidgetItem* cell = item(row, column);
    return cell != nullptr ? cell->text() : QString();
}

void FileGrid::SetCellText(int row, int column, const QString& text) {
    QTableWidgetItem* cell = item(row, column);
    if (cell == nullptr) {
        setItem(row, column, PlainItem(text));
    } else {
        cell->setText(text);
    }
}

bool FileGrid::Measured(const FileData& file, int column) {
    if (column == SourceLoudnessColumn) {
        // A scan that ran to its end leaves a peak, or marks the file as silent.
        return file.Peak != 0 || file.Ignored;
    }
    return file.Normalised;
}

std::optional<FileGrid::PlannedCell> FileGrid::PlannedResult(const FileData& file) const {
    if (!drawing_.planned ||
        (drawing_.resultShown && drawing_.resultShown() && Measured(file, ResultLoudnessColumn))) {
        return std::nullopt;
    }
    return drawing_.planned(file);
}

QString FileGrid::BroadcastText(const FileData& file, int column, const QString& decimal) {
    const bool source = column == SourceBroadcastColumn;
    if (!source && column != ResultBroadcastColumn) {
        return QString();
    }
    const BroadcastLoudness& measures = source ? file.SourceBroadcast : file.ResultBroadcast;
    if (!measures.Measured) {
        return QString();
    }
    QString text = Measure(measures.IntegratedLufs, "LUFS", decimal) + QStringLiteral(", ") +
                   Measure(measures.TruePeakDbtp, "dBTP", decimal) + QStringLiteral(", ") +
                   Measure(measures.RangeLu, "LU", decimal);
    if (measures.GroupLufs) {
        text += QStringLiteral(" (group ") + Measure(measures.GroupLufs, "LUFS", decimal) +
                QLatin1Char(')');
    }
    return text;
}

QString FileGrid::PlannedBroadcastText(const std::optional<double>& lufs,
                                       const std::optional<double>& truePeakDbtp,
                                       const QString& decimal) {
    return Measure(lufs, "LUFS", decimal) + QStringLiteral(", ") +
           Measure(truePeakDbtp, "dBTP", decimal) + QStringLiteral(" (planned)");
}

void FileGrid::ShowBroadcastColumns(bool shown) {
    for (const int column : {SourceBroadcastColumn, ResultBroadcastColumn}) {
        setColumnHidden(column, !shown);
        if (shown) {
            // Room for a usual text; a longer one is cut, and the column can be widened.
            const QString usual =
                QStringLiteral("-23.0 LUFS, -10.0 dBTP, 10.0 LU (group -23.0 LUFS) ");
            setColumnWidth(column, std::max(fontMetrics().horizontalAdvance(usual),
                                            horizontalHeader()->sectionSizeHint(column)));
        }
    }
}

bool FileGrid::viewportEvent(QEvent* event) {
    const bool handled = QTableWidget::viewportEvent(event);
    if (event->type() == QEvent::Resize) {
        const auto* resize = static_cast<QResizeEvent*>(event);
        if (resize->size().width() != resize->oldSize().width()) {
            emit viewportWidthChanged();
        }
    }
    return handled;
}

int FileGrid::BarWidth(int cellWidth, double value) const {
    if (!(LoudnessScale > 0.0)) {
        return 0;
    }
    const int reserved =
        drawing_.widestText ? fontMetrics().horizontalAdvance(drawing_.widestText()) : 0;
    const double available = cellWidth - reserved;
    const double width = std::trunc(available * value / LoudnessScale);
    // A file far quieter than the loudest still shows that it has a bar.
    return width < 1.0 ? 1 : static_cast<int>(width);
}

}  // namespace tralux
