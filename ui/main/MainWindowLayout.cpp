#include "TBalanceVolumes.h"

#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTimer>

#include <algorithm>
#include <vector>

#include "FileGrid.h"
#include "LoudnessPlot.h"
#include "WindowText.h"
#include "dialogs/DialogFrame.h"
#include "dialogs/Prompts.h"
#include "units/NumberText.h"

// The main window's layout and placement: where every control stands for the window's size,
// and where the window stands on the screen.

namespace tralux {
namespace {

// Pixels scaled from the 96 pixels per inch the layout is drawn for, halves to even.
int Scaled(int pixels, double ppi) {
    return static_cast<int>(RoundTiesToEven(pixels * ppi / 96.0));
}

// The caption width of a button plus its margins, in the given font.
int ButtonWidth(const QPushButton* button, const QFont& font) {
    return QFontMetrics(font).horizontalAdvance(ShownCaption(button->text())) + 14;
}

}  // namespace

void TBalanceVolumes::ApplyPlacement() {
    // The saved left and top are those of the frame; bounds saved on a screen that is gone, or
    // larger than this one (another scale factor), are brought onto the screen.
    const QMargins frame = FrameMargins(this);
    const QRect saved(placement_.mainleft, placement_.maintop, placement_.mainwidth,
                      placement_.mainheight);
    const QRect onScreen = BoundsOnScreen(QRect(saved.topLeft(), saved.size().grownBy(frame)));
    move(onScreen.topLeft());
    resize(onScreen.size().shrunkBy(frame));
    forcedSize_ = size() != saved.size() ? size() : QSize();
    placedSize_ = size();
    userSize_ = saved.size();
    userColumnWidths_.clear();
    const QStringList widths = Qt8(placement_.colwidths).split(QLatin1Char(','));
    for (const QString& width : widths) {
        bool number = false;
        const int value = width.toInt(&number);
        if (!number || value < 1 || value > 100000) {
            break;
        }
        userColumnWidths_.push_back(value);
    }
    // A value that is no width, or too few or too many of them: the columns share the width.
    if (userColumnWidths_.size() != FileGrid::ColumnCount) {
        userColumnWidths_.clear();
    }
    if (placement_.winstate == 2) {
        setWindowState(Qt::WindowMaximized);
    } else if (placement_.winstate == 1) {
        setWindowState(Qt::WindowMinimized);
    }
}

void TBalanceVolumes::LayOut() {
    const double ppi = logicalDpiY();
    const int rowHeight = Scaled(18, ppi);
    const int gridTop = Scaled(20, ppi);
    const int clientWidth = width();
    const int clientHeight = height();

    const int buttonHeight = exitbtn->sizeHint().height();
    const QFontMetrics metrics(font());
    const int progressHeight =
        std::max(metrics.height(), onefilegauge->sizeHint().height()) + metrics.height() + 16;

    selfilegroup->setGeometry(6, 6, clientWidth - 12,
                              clientHeight - progressHeight - buttonHeight - 18);
    const int buttonTop = LayOutButtonRow(buttonHeight);
    const int itemHeight = LayOutReferenceChoices(buttonTop);

    // The loudness plot under the grid takes up to a third of the room, and is left out when
    // that would be too low to read.
    const int room = reflevelgroup->y() - 6 - gridTop;
    int plotHeight = std::min(room / 3, Scaled(120, ppi));
    if (plotHeight < Scaled(60, ppi)) {
        plotHeight = 0;
    }
    const int gridWidth = selfilegroup->contentsRect().width() - 12;
    const int gridHeight = plotHeight > 0 ? room - plotHeight - 6 : room;
    filegrid->setGeometry(6, gridTop, gridWidth, std::max(gridHeight, 0));
    loudnessplot->setVisible(plotHeight > 0);
    loudnessplot->setGeometry(6, reflevelgroup->y() - 6 - plotHeight, gridWidth, plotHeight);
    filegrid->verticalHeader()->setMinimumSectionSize(1);
    filegrid->verticalHeader()->setDefaultSectionSize(rowHeight);
    FitColumns();

    const int progressTop = clientHeight - progressHeight - buttonHeight - 12;
    LayOutProgressLine(progressTop, progressHeight, itemHeight);

    const int bottomTop = progressTop + progressHeight + 6;
    const QSize advancedSize = advancedbtn->sizeHint();
    advancedbtn->setGeometry(6, bottomTop, advancedSize.width(), buttonHeight);
    helpbtn->setGeometry(advancedbtn->geometry().right() + 1 + 6, bottomTop,
                         helpbtn->sizeHint().width(), buttonHeight);
    const int exitWidth = exitbtn->sizeHint().width();
    exitbtn->setGeometry(clientWidth - 6 - exitWidth, bottomTop, exitWidth, buttonHeight);
}

int TBalanceVolumes::LayOutButtonRow(int buttonHeight) {
    const QRect inner = selfilegroup->contentsRect();
    // In the font of the buttons below the box.
    QPushButton* const row[] = {addfilesbtn, preparebtn, balancebtn,   prepbalbtn,   cancelbtn,
                                remselbtn,   remallbtn,  addpresetbtn, delpresetbtn, groupingbtn};
    const QFont rowFont = advancedbtn->font();
    // Too narrow for one line: the buttons wrap onto more lines, the last one along the bottom.
    std::vector<QPoint> places;
    int line = 0;
    int left = 6;
    for (QPushButton* button : row) {
        const int width = ButtonWidth(button, rowFont);
        if (left > 6 && left + width > selfilegroup->width() - 6) {
            ++line;
            left = 6;
        }
        places.emplace_back(left, line);
        left += width + 6;
    }
    const int lastTop = inner.bottom() + 1 - 6 - buttonHeight;
    const int buttonTop = lastTop - line * (buttonHeight + 6);
    for (size_t i = 0; i < places.size(); ++i) {
        QPushButton* button = row[i];
        button->setGeometry(places[i].x(), buttonTop + places[i].y() * (buttonHeight + 6),
                            ButtonWidth(button, rowFont), buttonHeight);
    }
    return buttonTop;
}

int TBalanceVolumes::LayOutReferenceChoices(int buttonTop) {
    const QRect inner = selfilegroup->contentsRect();
    const QFontMetrics metrics(font());
    // The choices flow left to right and wrap when the box is too narrow.
    const int refWidth = inner.width() - 12;
    QWidget* choices[] = {measurebox, quietestbtn, loudestbtn, selectedbtn, presetbtn, presetbox};
    const int titleHeight = metrics.height();
    const int itemHeight =
        std::max(presetbox->sizeHint().height(), quietestbtn->sizeHint().height());
    int x = 8;
    int y = titleHeight + 2;
    std::vector<QRect> choicePlaces;
    const int presetBoxWidth = std::max(presetbox->sizeHint().width(), 160);
    for (QWidget* choice : choices) {
        const int w = choice == presetbox ? presetBoxWidth : choice->sizeHint().width();
        // "Preset:" and its drop-down stay on one line.
        const int together = choice == presetbtn ? w + 8 + presetBoxWidth : w;
        if (choice != presetbox && x > 8 && x + together > refWidth - 8) {
            x = 8;
            y += itemHeight + 2;
        }
        choicePlaces.emplace_back(x, y, w, itemHeight);
        x += w + 8;
    }
    const int refHeight = y + itemHeight + 8;
    reflevelgroup->setGeometry(6, buttonTop - 6 - refHeight, refWidth, refHeight);
    for (size_t i = 0; i < choicePlaces.size(); ++i) {
        QRect place = choicePlaces[i];
        if (choices[i] == presetbox) {
            place.setRight(std::min(place.right(), refWidth - 9));
        }
        choices[i]->setGeometry(place);
    }
    return itemHeight;
}

void TBalanceVolumes::LayOutProgressLine(int progressTop, int progressHeight, int itemHeight) {
    const QFontMetrics metrics(font());
    progressgroup->setGeometry(6, progressTop, width() - 12, progressHeight);
    const QRect progressInner = progressgroup->contentsRect();
    const int lineTop = progressInner.top() + (progressInner.height() - itemHeight) / 2;
    // Room for the longest pass name.
    int labelWidth = 0;
    for (const char* pass :
         {"Scanning:", "Normalising:", "Compressing:", "Reducing:", "Final Limiting:"}) {
        labelWidth = std::max(labelWidth, metrics.horizontalAdvance(QString::fromLatin1(pass)));
    }
    labelWidth += 12;
    gauge_label->setGeometry(8, lineTop, labelWidth, itemHeight);
    gauge_filename->move(8 + labelWidth + 6, lineTop);
    gauge_filename->resize(gauge_filename->width(), itemHeight);
    onefilegauge->move(onefilegauge->x(), lineTop);
    onefilegauge->resize(onefilegauge->width(), itemHeight);
    eta_value->move(eta_value->x(), lineTop);
    eta_value->resize(eta_value->width(), itemHeight);
}

void TBalanceVolumes::FitColumns() {
    fittingColumns_ = true;
    if (!userColumnWidths_.empty()) {
        for (int column = 0; column < FileGrid::ColumnCount; ++column) {
            filegrid->setColumnWidth(column, userColumnWidths_[static_cast<size_t>(column)]);
        }
        fittingColumns_ = false;
        RefreshAllNames();
        return;
    }
    int gridInner = filegrid->width() - 2 * filegrid->frameWidth();
    if (filegrid->verticalScrollBar()->isVisibleTo(filegrid)) {
        gridInner -= filegrid->verticalScrollBar()->width();
    }
    gridInner = std::max(gridInner, 0);
    const int unit = gridInner / 13;
    int widths[FileGrid::ColumnCount] = {4 * unit, 2 * unit, 4 * unit, 2 * unit,
                                         std::max(gridInner - 12 * unit - 4, 0)};
    // A loudness header that would be cut takes its room from the two name columns.
    const QHeaderView* header = filegrid->horizontalHeader();
    for (const int column : {FileGrid::SourceLoudnessColumn, FileGrid::ResultLoudnessColumn}) {
        const int missing = header->sectionSizeHint(column) - widths[column];
        const int spare = widths[FileGrid::SourceColumn] + widths[FileGrid::ResultColumn] -
                          2 * header->sectionSizeHint(FileGrid::SourceColumn);
        const int taken = std::min((missing + 1) / 2, spare / 2);
        if (taken > 0) {
            widths[column] += 2 * taken;
            widths[FileGrid::SourceColumn] -= taken;
            widths[FileGrid::ResultColumn] -= taken;
        }
    }
    for (int column = 0; column < FileGrid::ColumnCount; ++column) {
        filegrid->setColumnWidth(column, widths[column]);
    }
    fittingColumns_ = false;
    RefreshAllNames();
}

void TBalanceVolumes::ColumnResized() {
    if (fittingColumns_) {
        return;
    }
    // From the first width the user sets on, all the columns keep theirs.
    userColumnWidths_.clear();
    for (int column = 0; column < FileGrid::ColumnCount; ++column) {
        userColumnWidths_.push_back(filegrid->columnWidth(column));
    }
    // The names are cut to their column: a wider column shows more of them.
    RefreshAllNames();
}

void TBalanceVolumes::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    RememberNormalFrame();
    LayOut();
}

void TBalanceVolumes::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    LayOut();
    RememberNormalFrame();
    if (!startWarnings_.isEmpty()) {
        // Shown over the placed window: a box shown before the window exists makes it early,
        // and the window then stood a title bar higher than its saved place.
        QTimer::singleShot(0, this, [this] {
            const QStringList warnings = startWarnings_;
            startWarnings_.clear();
            for (const QString& warning : warnings) {
                prompts_.Warning(this, warning);
            }
        });
    }
}

void TBalanceVolumes::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    RememberNormalFrame();
}

void TBalanceVolumes::RememberNormalFrame() {
    const QPoint offset = geometry().topLeft() - pos();
    // Before the desktop has framed the window there is no offset to keep yet.
    if (isVisible() && windowState() == Qt::WindowNoState && !offset.isNull()) {
        normalFrameOffset_ = offset;
        if (!framed_) {
            framed_ = true;
            // Not from inside the event that told of the frame.
            QTimer::singleShot(0, this, &TBalanceVolumes::KeepFrameOnScreen);
        }
    }
}

void TBalanceVolumes::KeepFrameOnScreen() {
    // Only the place given at the start is corrected, not a size given since.
    if (windowState() != Qt::WindowNoState || size() != placedSize_) {
        return;
    }
    const QRect frame = frameGeometry();
    const QRect onScreen = BoundsOnScreen(frame);
    if (onScreen == frame) {
        return;
    }
    const QSize forced = size() - (frame.size() - onScreen.size());
    move(onScreen.topLeft());
    if (forced != size()) {
        resize(forced);
        forcedSize_ = size();
    }
}

}  // namespace tralux
