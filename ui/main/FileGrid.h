#pragma once

#include <QTableWidget>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace tralux {

class FileData;

// The file list: one data row per listed file, in the order the files were added. The grid is
// the list itself and owns the records; an empty list is one data row without a record.
class FileGrid : public QTableWidget {
    Q_OBJECT

public:
    enum Column {
        SourceColumn = 0,
        SourceLoudnessColumn,
        ResultColumn,
        ResultLoudnessColumn,
        GroupColumn,
        ColumnCount
    };
    // The broadcast measures of source and result, after the columns above: hidden until the
    // user shows them, and sized to their text rather than sharing the grid's width (so the
    // widths saved for the columns above stay as they were).
    static constexpr int SourceBroadcastColumn = ColumnCount;
    static constexpr int ResultBroadcastColumn = ColumnCount + 1;
    static constexpr int AllColumnCount = ColumnCount + 2;

    explicit FileGrid(QWidget* parent = nullptr);
    ~FileGrid() override;

    // The record of a data row; nullptr for the empty row or a row out of range.
    FileData* Record(int row) const;
    // The records from the top row down.
    std::vector<FileData*> Files() const;
    // Puts a record into an existing row, replacing (and freeing) any record it held.
    void PutRecord(int row, std::unique_ptr<FileData> record);
    // Appends an empty data row and returns its number.
    int AppendRow();
    // Puts a record back at a row (at most one past the last): the rows from there move down;
    // into an empty list it becomes the only row. Returns the row it went to.
    int InsertDataRow(int row, std::unique_ptr<FileData> record);
    // Takes a row out: the rows below move up; the only row is cleared instead.
    std::unique_ptr<FileData> RemoveDataRow(int row);
    // Frees every record and leaves one empty row.
    void RemoveAll();

    QString CellText(int row, int column) const;
    void SetCellText(int row, int column, const QString& text);

    // A result not written yet, as the preview plans it: its level and what is done to it.
    struct PlannedCell {
        double level = 0.0;
        QString note;
        // A preview by LUFS: the planned integrated loudness and true peak, shown in italics in
        // the result's broadcast column; empty otherwise.
        QString broadcast;
    };
    // Drawing of the two loudness columns, supplied by the window.
    struct LoudnessDrawing {
        std::function<bool()> sourceShown;
        std::function<bool()> resultShown;
        std::function<QString(double)> text;  // a level in the unit in force
        std::function<QString()> widestText;  // room reserved beside the bars
        // The planned result of a file whose result the column does not show; in italics.
        std::function<std::optional<PlannedCell>(const FileData&)> planned;
    };
    void SetLoudnessDrawing(LoudnessDrawing drawing) { drawing_ = std::move(drawing); }
    const LoudnessDrawing& Drawing() const { return drawing_; }
    // What the result columns show of a file as planned: none once its written result is
    // shown, or when nothing is planned for it.
    std::optional<PlannedCell> PlannedResult(const FileData& file) const;

    // The largest ScanLoudness or Loudness of all listed files; 0 for none.
    double LoudnessScale = 0.0;

    // Width of the bar drawn in a loudness cell of this width for this value.
    int BarWidth(int cellWidth, double value) const;

    // What a broadcast column shows of a file: "-18.3 LUFS, -1.2 dBTP, 6.1 LU", with its
    // track group's loudness after it; "-" for a value the file has not (silence, or too short
    // for a loudness range); empty until it has been measured. decimal: the separator.
    static QString BroadcastText(const FileData& file, int column, const QString& decimal);
    // The same of a result as a preview by LUFS plans it: "-16.0 LUFS, -1.2 dBTP (planned)".
    static QString PlannedBroadcastText(const std::optional<double>& lufs,
                                        const std::optional<double>& truePeakDbtp,
                                        const QString& decimal);
    // Shows or hides the broadcast columns.
    void ShowBroadcastColumns(bool shown);
    bool BroadcastColumnsShown() const { return !isColumnHidden(SourceBroadcastColumn); }
    QString DecimalSeparator = QStringLiteral(".");

    // Whether a loudness column has a measured value of the file to show: the source's once
    // it has been scanned, the result's once it has been written.
    static bool Measured(const FileData& file, int column);

signals:
    // The room for the cells has become wider or narrower.
    void viewportWidthChanged();

protected:
    bool viewportEvent(QEvent* event) override;

private:
    std::vector<std::unique_ptr<FileData>> records_;  // one entry per row
    LoudnessDrawing drawing_;
};

}  // namespace tralux
