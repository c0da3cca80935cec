#include "TTrackGrouping.h"

#include "DialogFrame.h"
#include "GridDrawing.h"

#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QResizeEvent>
#include <QStyle>
#include <QStyledItemDelegate>

#include <algorithm>
#include <cmath>

namespace tralux {
namespace {

constexpr int GroupRole = Qt::UserRole;
constexpr int ItemHeight = 13;

// The colour mark before a grouped file's text, and the room it takes with its gaps.
int MarkSide(int itemHeight) {
    return std::max(itemHeight - 4, 4);
}
int MarkRoom(int itemHeight) {
    return MarkSide(itemHeight) + 5;
}

// Items drawn as text at the item's top-left corner, so that a text fitted to the list's
// client width less 2 pixels is shown whole. The grouped list writes each text in its group's
// colour, the other list in the palette's text colour.
class FileItemDelegate : public QStyledItemDelegate {
public:
    FileItemDelegate(bool groupColours, QObject* parent)
        : QStyledItemDelegate(parent), groupColours_(groupColours) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        const bool selected = option.state & QStyle::State_Selected;
        const QPalette::ColorGroup group =
            option.state & QStyle::State_Enabled ? QPalette::Active : QPalette::Disabled;
        painter->save();
        painter->fillRect(option.rect, option.palette.brush(
                                           group, selected ? QPalette::Highlight : QPalette::Base));
        const QColor background =
            option.palette.color(group, selected ? QPalette::Highlight : QPalette::Base);
        const QColor plainText =
            option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text);
        QRect textRect = option.rect;
        if (groupColours_) {
            // A mark in the group's own colour, outlined so that it shows on any background,
            // and the text in the same hue made legible on this background.
            const int number = std::max(index.data(GroupRole).toInt(), 0);
            const QColor colour = GroupColours()[static_cast<size_t>(number % GroupColourCount)];
            const int side = MarkSide(option.rect.height());
            const QRect mark(option.rect.left() + 2,
                             option.rect.top() + (option.rect.height() - side) / 2, side, side);
            painter->fillRect(mark, colour);
            painter->setPen(plainText);
            painter->drawRect(mark.adjusted(0, 0, -1, -1));
            textRect.setLeft(option.rect.left() + MarkRoom(option.rect.height()));
            painter->setPen(LegibleOn(colour, background));
        } else {
            painter->setPen(plainText);
        }
        painter->setFont(option.font);
        painter->drawText(textRect, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                          index.data(Qt::DisplayRole).toString());
        if (option.state & QStyle::State_HasFocus) {
            QStyleOptionFocusRect focus;
            focus.QStyleOption::operator=(option);
            focus.backgroundColor =
                option.palette.color(group, selected ? QPalette::Highlight : QPalette::Base);
            const QWidget* widget = option.widget;
            QStyle* style = widget != nullptr ? widget->style() : nullptr;
            if (style != nullptr) {
                style->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, painter, widget);
            }
        }
        painter->restore();
    }

    // The classic fixed height of 13 pixels, raised where the font would not fit in it.
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        const QSize natural = QStyledItemDelegate::sizeHint(option, index);
        return {natural.width(), std::max(ItemHeight, option.fontMetrics.height())};
    }

private:
    bool groupColours_;
};

QListWidget* FileList(QWidget* parent, const char* name, bool groupColours) {
    auto* list = new QListWidget(parent);
    list->setObjectName(QString::fromLatin1(name));
    list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list->setUniformItemSizes(true);
    list->setItemDelegate(new FileItemDelegate(groupColours, list));
    return list;
}

}  // namespace

TTrackGrouping::TTrackGrouping(std::vector<FileData*> files, const Options& options,
                               WindowPlacement& placement, QWidget* parent)
    : QDialog(parent),
      Files(std::move(files)),
      ShowFilenamesOnly(options.fnamesonly),
      ClipAtEnd(options.truncends),
      Placement(placement) {
    setObjectName(QStringLiteral("TTrackGrouping"));
    setWindowTitle(QStringLiteral("Track Grouping"));
    UseFrameWithoutButtons(this);

    ungrouped_box = new QGroupBox(QStringLiteral("Files &Not Yet Grouped "), this);
    ungrouped_box->setObjectName(QStringLiteral("ungrouped_box"));
    this->files = FileList(ungrouped_box, "files", false);
    groupbtn = new QPushButton(QStringLiteral("&Group Selected Files Together"), ungrouped_box);
    groupbtn->setObjectName(QStringLiteral("groupbtn"));

    grouped_box = new QGroupBox(QStringLiteral("Files &Already Grouped "), this);
    grouped_box->setObjectName(QStringLiteral("grouped_box"));
    groupedfiles = FileList(grouped_box, "groupedfiles", true);
    ungroupbtn = new QPushButton(QStringLiteral("&Remove from Group"), grouped_box);
    ungroupbtn->setObjectName(QStringLiteral("ungroupbtn"));
    movelabel = new QLabel(QStringLiteral("&Move to Group:"), grouped_box);
    movelabel->setObjectName(QStringLiteral("movelabel"));
    groups = new QComboBox(grouped_box);
    groups->setObjectName(QStringLiteral("groups"));
    groups->setEditable(false);
    groups->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    groups->setMinimumContentsLength(4);
    movelabel->setBuddy(groups);

    donebtn = new QPushButton(QStringLiteral("&Done"), this);
    donebtn->setObjectName(QStringLiteral("donebtn"));
    donebtn->setDefault(true);

    connect(this->files, &QListWidget::itemSelectionChanged, this, &TTrackGrouping::filesClick);
    connect(groupedfiles, &QListWidget::itemSelectionChanged, this,
            &TTrackGrouping::groupedfilesClick);
    connect(groupbtn, &QPushButton::clicked, this, &TTrackGrouping::groupbtnClick);
    connect(ungroupbtn, &QPushButton::clicked, this, &TTrackGrouping::ungroupbtnClick);
    connect(groups, &QComboBox::activated, this, &TTrackGrouping::groupsChange);
    connect(donebtn, &QPushButton::clicked, this, &TTrackGrouping::donebtnClick);

    // Small enough bounds would squeeze the lists away or push "Move to Group:" off its frame.
    const int rowWidth = ungroupbtn->sizeHint().width() + 18 + movelabel->sizeHint().width() + 3 +
                         groups->sizeHint().width();
    const int minimumWidth = 24 + std::max(rowWidth, groupbtn->sizeHint().width()) + 6;
    const int frameHeight = CaptionRoom() + 12 + groupbtn->sizeHint().height() + 3 * ItemHeight;
    const int minimumHeight = 2 * frameHeight + donebtn->sizeHint().height() + 24;
    setMinimumSize(minimumWidth, minimumHeight);
    // Bounds saved on a screen that is no longer there, or larger than this one, would leave
    // Done out of reach: they are brought onto the screen.
    const QMargins frame = FrameMargins(this);
    const QSize saved(std::max<int>(Placement.grpwidth, minimumWidth),
                      std::max<int>(Placement.grpheight, minimumHeight));
    const QRect onScreen =
        BoundsOnScreen(QRect(QPoint(Placement.grpleft, Placement.grptop), saved.grownBy(frame)));
    resize(onScreen.size().shrunkBy(frame).expandedTo(minimumSize()));
    move(onScreen.topLeft());
    RefillLists();
}

QString TTrackGrouping::DisplayName(const FileData& file) const {
    const QString path = QString::fromStdString(file.SourceFile);
    if (!ShowFilenamesOnly) {
        return path;
    }
    return path.mid(QDir::fromNativeSeparators(path).lastIndexOf(QLatin1Char('/')) + 1);
}

void TTrackGrouping::RefillLists() {
    HighestGroup = 0;
    files->clear();
    groupedfiles->clear();
    UngroupedFiles.clear();
    GroupedFilesList.clear();
    groups->clear();

    for (FileData* file : Files) {
        if (file == nullptr) {
            continue;
        }
        // Numbers below 1 are "no group" everywhere else too, so 0 is listed as ungrouped.
        if (file->GroupNumber < 1) {
            files->addItem(DisplayName(*file));
            UngroupedFiles.push_back(file);
        } else {
            HighestGroup = std::max(HighestGroup, file->GroupNumber);
            auto* item = new QListWidgetItem(DisplayName(*file) + QStringLiteral("  [group ") +
                                             QString::number(file->GroupNumber) + QLatin1Char(']'));
            item->setData(GroupRole, file->GroupNumber);
            groupedfiles->addItem(item);
            GroupedFilesList.push_back(file);
        }
    }
    FitItems(files);
    FitItems(groupedfiles);

    for (int32_t number = 1; number <= HighestGroup; ++number) {
        groups->addItem(QString::number(number));
    }
    groups->setCurrentIndex(-1);

    groupbtn->setEnabled(false);
    ungroupbtn->setEnabled(false);
    groups->setEnabled(false);
    movelabel->setEnabled(false);
}

void TTrackGrouping::FitItems(QListWidget* list) const {
    if (list->count() == 0) {
        return;
    }
    // The client width, less the scroll bar the items are about to need.
    const QRect client = list->contentsRect();
    int width = client.width();
    if (list->count() * list->sizeHintForRow(0) > client.height()) {
        width -= list->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, list);
    }
    if (list == groupedfiles) {
        width -= MarkRoom(list->sizeHintForRow(0));
    }
    const QFontMetrics metrics = list->fontMetrics();
    for (int row = 0; row < list->count(); ++row) {
        QListWidgetItem* item = list->item(row);
        item->setText(FitText(item->text(), width - 2, metrics, ClipAtEnd));
    }
}

bool TTrackGrouping::SetSelectedGroups(QListWidget* list, const std::vector<FileData*>& records,
                                       int32_t groupNumber) {
    bool any = false;
    for (int row = 0; row < list->count(); ++row) {
        if (list->item(row)->isSelected()) {
            records[static_cast<size_t>(row)]->GroupNumber = groupNumber;
            any = true;
        }
    }
    return any;
}

void TTrackGrouping::groupbtnClick() {
    if (files->selectedItems().size() < 2) {
        return;
    }
    HighestGroup += 1;
    SetSelectedGroups(files, UngroupedFiles, HighestGroup);
    ChangeResult = QDialog::Accepted;
    RefillLists();
}

void TTrackGrouping::ungroupbtnClick() {
    if (!SetSelectedGroups(groupedfiles, GroupedFilesList, -1)) {
        return;
    }
    ChangeResult = QDialog::Accepted;
    RefillLists();
}

void TTrackGrouping::groupsChange(int index) {
    bool isNumber = false;
    const int32_t number = groups->itemText(index).toInt(&isNumber);
    if (!isNumber || number < 1 || !SetSelectedGroups(groupedfiles, GroupedFilesList, number)) {
        return;
    }
    ChangeResult = QDialog::Accepted;
    RefillLists();
}

void TTrackGrouping::filesClick() {
    groupbtn->setEnabled(files->selectedItems().size() >= 2);
}

void TTrackGrouping::groupedfilesClick() {
    const bool any = !groupedfiles->selectedItems().isEmpty();
    ungroupbtn->setEnabled(any);
    groups->setEnabled(any);
    movelabel->setEnabled(any);
}

void TTrackGrouping::donebtnClick() {
    done(ChangeResult);
}

void TTrackGrouping::reject() {
    donebtnClick();
}

void TTrackGrouping::done(int /*result*/) {
    Placement.grpleft = x();
    Placement.grptop = y();
    Placement.grpwidth = width();
    Placement.grpheight = height();
    QDialog::done(ChangeResult);
}

int TTrackGrouping::CaptionRoom() const {
    const int classic = static_cast<int>(std::lround(14 * logicalDpiY() / 96.0));
    // A frame's caption in this style may be taller than the classic 14 pixels.
    return std::max(classic, ungrouped_box->fontMetrics().height() + 4);
}

void TTrackGrouping::FormResize() {
    const int m = CaptionRoom();
    const QSize client = size();
    const QSize doneHint = donebtn->sizeHint();
    const int boxWidth = client.width() - 12;
    const int boxHeight = (client.height() - doneHint.height() - 24) / 2;
    ungrouped_box->setGeometry(6, 6, boxWidth, boxHeight);
    grouped_box->setGeometry(6, 6 + boxHeight + 6, boxWidth, boxHeight);

    const auto layOutFrame = [m](QGroupBox* box, QListWidget* list, QPushButton* button) {
        const QSize frame = box->size();
        const QSize hint = button->sizeHint();
        list->setGeometry(6, m, std::max(0, frame.width() - 12),
                          std::max(0, frame.height() - hint.height() - m - 12));
        button->setGeometry(6, frame.height() - 6 - hint.height(), hint.width(), hint.height());
    };
    layOutFrame(ungrouped_box, files, groupbtn);
    layOutFrame(grouped_box, groupedfiles, ungroupbtn);

    const QRect ungroup = ungroupbtn->geometry();
    const QSize label = movelabel->sizeHint();
    movelabel->setGeometry(ungroup.right() + 1 + 18,
                           ungroup.y() + (ungroup.height() - label.height()) / 2, label.width(),
                           label.height());
    const QSize combo = groups->sizeHint();
    groups->setGeometry(movelabel->geometry().right() + 1 + 3,
                        ungroup.y() + (ungroup.height() - combo.height()) / 2, combo.width(),
                        combo.height());

    donebtn->setGeometry(client.width() - 6 - doneHint.width(),
                         client.height() - 6 - doneHint.height(), doneHint.width(),
                         doneHint.height());
    RefillLists();
}

void TTrackGrouping::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    FormResize();
}

void TTrackGrouping::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    FormResize();
}

}  // namespace tralux
