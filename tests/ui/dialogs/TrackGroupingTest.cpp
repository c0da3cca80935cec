#include "DialogFrame.h"
#include "GridDrawing.h"
#include "Mnemonics.h"
#include "TTrackGrouping.h"

#include <QComboBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <memory>

using tralux::FileData;
using tralux::Options;
using tralux::TTrackGrouping;
using tralux::WindowPlacement;

namespace {

// The grid's records: one file per group number given (negative numbers come from the
// intake's counter, as for newly added files), named a.wav, b.wav, ...
class Listing {
public:
    explicit Listing(std::initializer_list<int32_t> groups) {
        char name = 'a';
        for (const int32_t group : groups) {
            auto file = std::make_unique<FileData>(std::string("/music/session/") + name++ + ".wav",
                                                   44, 1000, 0, numbers_);
            if (group > 0) {
                file->GroupNumber = group;
            }
            records_.push_back(std::move(file));
        }
    }
    std::vector<FileData*> Rows() const {
        std::vector<FileData*> rows;
        for (const auto& record : records_) {
            rows.push_back(record.get());
        }
        return rows;
    }
    FileData& operator[](size_t i) { return *records_[i]; }

private:
    tralux::UngroupedNumbers numbers_;
    std::vector<std::unique_ptr<FileData>> records_;
};

QStringList Texts(const QListWidget* list) {
    QStringList texts;
    for (int row = 0; row < list->count(); ++row) {
        texts << list->item(row)->text();
    }
    return texts;
}

QStringList ComboItems(const QComboBox* combo) {
    QStringList items;
    for (int i = 0; i < combo->count(); ++i) {
        items << combo->itemText(i);
    }
    return items;
}

void Select(QListWidget* list, std::initializer_list<int> rows) {
    for (const int row : rows) {
        list->item(row)->setSelected(true);
    }
}

}  // namespace

class TrackGroupingTest : public QObject {
    Q_OBJECT

private slots:
    void listsShowFilesByGroup();
    void groupButtonNeedsTwoFiles();
    void newGroupIsOneAboveTheHighest();
    void emptiedGroupsStayInTheDropDown();
    void moveToAnUnusedNumber();
    void doneReportsWhetherAnythingChanged_data();
    void doneReportsWhetherAnythingChanged();
    void resizeClearsSelections();
    void placementComesFromAndGoesBackToSettings();
    void layoutKeepsControlsApart_data();
    void layoutKeepsControlsApart();
    void longNamesAreFittedToTheList_data();
    void longNamesAreFittedToTheList();
    void groupsDrawnInTheirColours();
    void everyButtonHasItsOwnMnemonic();
    void groupTextsStayLegible_data();
    void groupTextsStayLegible();
};

void TrackGroupingTest::listsShowFilesByGroup() {
    Listing files({-1, 2, -1, 1});
    std::vector<FileData*> rows = files.Rows();
    rows.push_back(nullptr);  // a row without a record is skipped
    Options options;
    WindowPlacement placement;
    TTrackGrouping dialog(rows, options, placement);
    dialog.show();
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Track Grouping"));
    QCOMPARE(Texts(dialog.files), QStringList({"a.wav", "c.wav"}));
    QCOMPARE(Texts(dialog.groupedfiles), QStringList({"b.wav  [group 2]", "d.wav  [group 1]"}));
    QCOMPARE(ComboItems(dialog.groups), QStringList({"1", "2"}));
    QCOMPARE(dialog.HighestGroup, 2);
    QVERIFY(dialog.UngroupedFiles == std::vector<FileData*>({&files[0], &files[2]}));
    QVERIFY(dialog.GroupedFilesList == std::vector<FileData*>({&files[1], &files[3]}));
    QVERIFY(!dialog.groupbtn->isEnabled());
    QVERIFY(!dialog.ungroupbtn->isEnabled());
    QVERIFY(!dialog.groups->isEnabled());
    QVERIFY(!dialog.movelabel->isEnabled());
    QVERIFY(!(dialog.windowFlags() & Qt::WindowCloseButtonHint));

    options.fnamesonly = false;
    TTrackGrouping full(rows, options, placement);
    full.show();
    QCOMPARE(Texts(full.files).first(), QStringLiteral("/music/session/a.wav"));
}

void TrackGroupingTest::groupButtonNeedsTwoFiles() {
    Listing files({-1, -1, -1});
    Options options;
    WindowPlacement placement;
    TTrackGrouping dialog(files.Rows(), options, placement);
    dialog.show();
    Select(dialog.files, {1});
    QVERIFY(!dialog.groupbtn->isEnabled());
    Select(dialog.files, {2});
    QVERIFY(dialog.groupbtn->isEnabled());
    dialog.files->item(1)->setSelected(false);
    QVERIFY(!dialog.groupbtn->isEnabled());
}

void TrackGroupingTest::newGroupIsOneAboveTheHighest() {
    Listing files({1, 3, -1, -1, -1});
    Options options;
    WindowPlacement placement;
    TTrackGrouping dialog(files.Rows(), options, placement);
    dialog.show();
    Select(dialog.files, {0, 1});  // c and d
    QTest::mouseClick(dialog.groupbtn, Qt::LeftButton);
    QCOMPARE(files[2].GroupNumber, 4);
    QCOMPARE(files[3].GroupNumber, 4);
    QVERIFY(files[4].GroupNumber < 0);
    QCOMPARE(ComboItems(dialog.groups), QStringList({"1", "2", "3", "4"}));
    QVERIFY(!dialog.groupbtn->isEnabled());

    // Emptying group 4 frees its number for the next group.
    Select(dialog.groupedfiles, {2, 3});
    QVERIFY(dialog.ungroupbtn->isEnabled());
    QVERIFY(dialog.groups->isEnabled());
    QVERIFY(dialog.movelabel->isEnabled());
    QTest::mouseClick(dialog.ungroupbtn, Qt::LeftButton);
    QCOMPARE(files[2].GroupNumber, -1);
    QCOMPARE(files[3].GroupNumber, -1);
    QCOMPARE(dialog.HighestGroup, 3);
    Select(dialog.files, {0, 2});  // c and e
    QTest::mouseClick(dialog.groupbtn, Qt::LeftButton);
    QCOMPARE(files[2].GroupNumber, 4);
    QCOMPARE(files[4].GroupNumber, 4);
    QVERIFY(dialog.Changed());
}

void TrackGroupingTest::emptiedGroupsStayInTheDropDown() {
    Listing files({1, 3, 3});
    Options options;
    WindowPlacement placement;
    TTrackGrouping dialog(files.Rows(), options, placement);
    dialog.show();
    Select(dialog.groupedfiles, {0});
    QTest::mouseClick(dialog.ungroupbtn, Qt::LeftButton);
    QCOMPARE(files[0].GroupNumber, -1);
    QCOMPARE(ComboItems(dialog.groups), QStringList({"1", "2", "3"}));
    QCOMPARE(Texts(dialog.files), QStringList({"a.wav"}));
}

void TrackGroupingTest::moveToAnUnusedNumber() {
    Listing files({1, 3, 3});
    Options options;
    WindowPlacement placement;
    TTrackGrouping dialog(files.Rows(), options, placement);
    dialog.show();
    Select(dialog.groupedfiles, {1});
    dialog.groupsChange(dialog.groups->findText(QStringLiteral("2")));
    QCOMPARE(files[1].GroupNumber, 2);
    QCOMPARE(files[2].GroupNumber, 3);
    QVERIFY(dialog.Changed());
    QCOMPARE(Texts(dialog.groupedfiles),
             QStringList({"a.wav  [group 1]", "b.wav  [group 2]", "c.wav  [group 3]"}));
    QCOMPARE(dialog.groupedfiles->selectedItems().size(), 0);
}

void TrackGroupingTest::doneReportsWhetherAnythingChanged_data() {
    QTest::addColumn<bool>("edit");
    QTest::addColumn<bool>("undo");
    QTest::addColumn<bool>("byEscape");
    QTest::addColumn<int>("expected");
    QTest::newRow("no edit") << false << false << false << int(QDialog::Rejected);
    QTest::newRow("edit") << true << false << false << int(QDialog::Accepted);
    QTest::newRow("edit undone by hand") << true << true << false << int(QDialog::Accepted);
    // Escape is not an exit of its own: it reports what Done would.
    QTest::newRow("no edit, Escape") << false << false << true << int(QDialog::Rejected);
    QTest::newRow("edit, Escape") << true << false << true << int(QDialog::Accepted);
}

void TrackGroupingTest::doneReportsWhetherAnythingChanged() {
    QFETCH(bool, edit);
    QFETCH(bool, undo);
    QFETCH(bool, byEscape);
    QFETCH(int, expected);
    Listing files({-1, -1});
    Options options;
    WindowPlacement placement;
    TTrackGrouping dialog(files.Rows(), options, placement);
    QTimer::singleShot(0, &dialog, [&] {
        if (edit) {
            Select(dialog.files, {0, 1});
            QTest::mouseClick(dialog.groupbtn, Qt::LeftButton);
        }
        if (undo) {
            Select(dialog.groupedfiles, {0, 1});
            QTest::mouseClick(dialog.ungroupbtn, Qt::LeftButton);
        }
        if (byEscape) {
            QTest::keyClick(&dialog, Qt::Key_Escape);
        } else {
            QTest::mouseClick(dialog.donebtn, Qt::LeftButton);
        }
    });
    QCOMPARE(dialog.exec(), expected);
    QCOMPARE(dialog.Changed(), expected == QDialog::Accepted);
    QCOMPARE(files[0].GroupNumber > 0, edit && !undo);
}

void TrackGroupingTest::resizeClearsSelections() {
    Listing files({-1, -1, 1, 1});
    Options options;
    WindowPlacement placement;
    TTrackGrouping dialog(files.Rows(), options, placement);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    Select(dialog.files, {0, 1});
    Select(dialog.groupedfiles, {0});
    QVERIFY(dialog.groupbtn->isEnabled());
    QVERIFY(dialog.ungroupbtn->isEnabled());
    dialog.resize(dialog.width() + 40, dialog.height() + 30);
    QCOMPARE(dialog.files->selectedItems().size(), 0);
    QCOMPARE(dialog.groupedfiles->selectedItems().size(), 0);
    QVERIFY(!dialog.groupbtn->isEnabled());
    QVERIFY(!dialog.ungroupbtn->isEnabled());
    QVERIFY(!dialog.groups->isEnabled());
    QVERIFY(!dialog.movelabel->isEnabled());
    QVERIFY(!dialog.Changed());
}

void TrackGroupingTest::placementComesFromAndGoesBackToSettings() {
    Listing files({-1});
    Options options;
    WindowPlacement placement;
    placement.grpleft = 120;
    placement.grptop = 80;
    placement.grpwidth = 480;
    placement.grpheight = 500;
    TTrackGrouping dialog(files.Rows(), options, placement);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QCOMPARE(dialog.pos(), QPoint(120, 80));
    QCOMPARE(dialog.size(), QSize(480, 500));
    dialog.resize(520, 440);
    dialog.move(60, 70);
    QTest::mouseClick(dialog.donebtn, Qt::LeftButton);
    QCOMPARE(placement.grpleft, 60);
    QCOMPARE(placement.grptop, 70);
    QCOMPARE(placement.grpwidth, 520);
    QCOMPARE(placement.grpheight, 440);

    // A place no screen shows is given up for one that the user can reach.
    placement.grpleft = -20000;
    placement.grptop = 30000;
    TTrackGrouping lost(files.Rows(), options, placement);
    lost.show();
    QVERIFY(QGuiApplication::screenAt(lost.geometry().center()) != nullptr);

    // Bounds larger than the screen (saved at another scale factor) are brought onto it whole.
    placement.grpleft = 5000;
    placement.grptop = 100;
    placement.grpwidth = 3000;
    placement.grpheight = 2500;
    TTrackGrouping oversized(files.Rows(), options, placement);
    oversized.show();
    QVERIFY(QTest::qWaitForWindowExposed(&oversized));
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    QVERIFY(screen.contains(oversized.frameGeometry()));
    QVERIFY(screen.contains(oversized.donebtn->mapToGlobal(oversized.donebtn->rect().center())));

    // Bounds too small to lay out in are raised to a usable size.
    placement.grpwidth = 10;
    placement.grpheight = -5;
    TTrackGrouping tiny(files.Rows(), options, placement);
    tiny.show();
    QVERIFY(tiny.files->width() > 0 && tiny.files->height() > 0);
}

void TrackGroupingTest::layoutKeepsControlsApart_data() {
    QTest::addColumn<QSize>("size");
    QTest::newRow("default") << QSize(400, 420);
    // Within the 800 x 600 offscreen screen: larger bounds are brought onto it.
    QTest::newRow("wide and low") << QSize(780, 300);
    QTest::newRow("narrow and tall") << QSize(200, 560);
    QTest::newRow("tiny") << QSize(50, 50);
}

void TrackGroupingTest::layoutKeepsControlsApart() {
    QFETCH(QSize, size);
    Listing files({-1, 1});
    Options options;
    WindowPlacement placement;
    placement.grpwidth = size.width();
    placement.grpheight = size.height();
    TTrackGrouping dialog(files.Rows(), options, placement);
    dialog.show();
    // Bounds below the dialog's minimum are raised to it.
    QVERIFY(dialog.width() >= size.width() && dialog.height() >= size.height());
    size = dialog.size();
    const QRect top = dialog.ungrouped_box->geometry();
    const QRect bottom = dialog.grouped_box->geometry();
    QCOMPARE(top,
             QRect(6, 6, size.width() - 12, (size.height() - dialog.donebtn->height() - 24) / 2));
    QCOMPARE(bottom, top.translated(0, top.height() + 6));
    const QRect done = dialog.donebtn->geometry();
    QCOMPARE(done.right(), size.width() - 7);
    QCOMPARE(done.bottom(), size.height() - 7);
    QVERIFY(!done.intersects(bottom));
    for (QGroupBox* box : {dialog.ungrouped_box, dialog.grouped_box}) {
        const auto* list = box->findChild<QListWidget*>();
        const auto* button = box->findChild<QPushButton*>();
        QCOMPARE(list->x(), 6);
        QCOMPARE(list->width(), box->width() - 12);
        QCOMPARE(button->x(), 6);
        QCOMPARE(button->geometry().bottom(), box->height() - 7);
        QVERIFY(list->geometry().bottom() < button->y());
        QVERIFY(box->rect().contains(list->geometry()));
    }
    QVERIFY(dialog.movelabel->x() >= dialog.ungroupbtn->geometry().right() + 18);
    QVERIFY(dialog.groups->x() > dialog.movelabel->geometry().right());
    QVERIFY(dialog.grouped_box->rect().contains(dialog.groups->geometry()));
    const int centre = dialog.ungroupbtn->geometry().center().y();
    QVERIFY(qAbs(dialog.movelabel->geometry().center().y() - centre) <= 1);
    QVERIFY(qAbs(dialog.groups->geometry().center().y() - centre) <= 1);
}

void TrackGroupingTest::longNamesAreFittedToTheList_data() {
    QTest::addColumn<bool>("clipAtEnd");
    QTest::newRow("dropped at the start") << false;
    QTest::newRow("dropped at the end") << true;
}

void TrackGroupingTest::longNamesAreFittedToTheList() {
    QFETCH(bool, clipAtEnd);
    Listing files({-1, 7});
    const std::string longName =
        "/music/" + std::string(60, 'x') + "/a very long folder name indeed/last track.wav";
    files[0].SourceFile = longName;
    files[1].SourceFile = longName;
    Options options;
    options.fnamesonly = false;
    options.truncends = clipAtEnd;
    WindowPlacement placement;
    TTrackGrouping dialog(files.Rows(), options, placement);
    dialog.show();
    const QFontMetrics metrics = dialog.files->fontMetrics();
    for (QListWidget* list : {dialog.files, dialog.groupedfiles}) {
        const QString text = list->item(0)->text();
        QVERIFY(metrics.horizontalAdvance(text) < list->contentsRect().width() - 2);
        if (clipAtEnd) {
            QVERIFY(text.startsWith(QStringLiteral("/music/xxx")));
            QVERIFY(text.endsWith(QStringLiteral("...")));
        } else {
            QVERIFY(text.startsWith(QStringLiteral("...")));
        }
    }
    // At the end the group tag is cut off with the rest; at the start it stays.
    QCOMPARE(dialog.groupedfiles->item(0)->text().endsWith(QStringLiteral("  [group 7]")),
             !clipAtEnd);
}

void TrackGroupingTest::groupsDrawnInTheirColours() {
    Listing files({15, 16});
    Options options;
    WindowPlacement placement;
    TTrackGrouping dialog(files.Rows(), options, placement);
    // Plain pixels: without smoothing every drawn text pixel has the pen's own colour.
    QFont font = dialog.groupedfiles->font();
    font.setStyleStrategy(QFont::NoAntialias);
    dialog.groupedfiles->setFont(font);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const QImage image = dialog.groupedfiles->viewport()->grab().toImage();
    const auto rowHasColour = [&](int row, const QColor& colour) {
        const QRect rect = dialog.groupedfiles->visualItemRect(dialog.groupedfiles->item(row));
        for (int y = rect.top(); y <= rect.bottom(); ++y) {
            for (int x = rect.left(); x <= rect.right(); ++x) {
                if (image.pixelColor(x, y) == colour) {
                    return true;
                }
            }
        }
        return false;
    };
    const auto& colours = tralux::GroupColours();
    QVERIFY(rowHasColour(0, colours[0]));  // group 15
    QVERIFY(!rowHasColour(0, colours[1]));
    QVERIFY(rowHasColour(1, colours[1]));  // group 16, as group 1
    QVERIFY(!rowHasColour(1, colours[0]));
}

void TrackGroupingTest::groupTextsStayLegible_data() {
    QTest::addColumn<bool>("dark");
    QTest::newRow("light palette") << false;
    QTest::newRow("dark palette") << true;
}

void TrackGroupingTest::groupTextsStayLegible() {
    QFETCH(bool, dark);
    Listing files({2, 3, 2, 3});  // green and maroon, the hardest to read
    Options options;
    WindowPlacement placement;
    TTrackGrouping dialog(files.Rows(), options, placement);
    QFont font = dialog.groupedfiles->font();
    font.setStyleStrategy(QFont::NoAntialias);
    dialog.groupedfiles->setFont(font);
    if (dark) {
        QPalette palette = dialog.groupedfiles->palette();
        palette.setColor(QPalette::Base, QColor(30, 30, 30));
        palette.setColor(QPalette::Text, QColor(230, 230, 230));
        palette.setColor(QPalette::Highlight, QColor(42, 130, 218));
        palette.setColor(QPalette::HighlightedText, Qt::white);
        dialog.groupedfiles->setPalette(palette);
    }
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    Select(dialog.groupedfiles, {0, 1});  // the selection behind green and maroon texts
    const QImage image = dialog.groupedfiles->viewport()->grab().toImage();
    for (int row = 0; row < 4; ++row) {
        const QRect rect = dialog.groupedfiles->visualItemRect(dialog.groupedfiles->item(row));
        const QColor background = image.pixelColor(rect.right() - 1, rect.top());
        // Every row has text pixels that stand out from its background...
        int legible = 0;
        for (int y = rect.top(); y <= rect.bottom(); ++y) {
            for (int x = rect.left() + rect.height() + 2; x <= rect.right(); ++x) {
                legible += tralux::ContrastRatio(image.pixelColor(x, y), background) >=
                                   tralux::LegibleContrast
                               ? 1
                               : 0;
            }
        }
        QVERIFY2(legible > 20, qPrintable(QString::number(row)));
        // ...and its mark keeps the group's own colour.
        const QColor own = tralux::GroupColours()[row % 2 == 0 ? 2 : 3];
        QCOMPARE(image.pixelColor(rect.left() + 2 + rect.height() / 2 - 1, rect.center().y()), own);
    }
}

void TrackGroupingTest::everyButtonHasItsOwnMnemonic() {
    Listing files({1, 1, -1});
    Options options;
    WindowPlacement placement;
    TTrackGrouping dialog(files.Rows(), options, placement);
    QCOMPARE(tralux::test::MnemonicProblems(dialog), QStringList());
    QCOMPARE(tralux::ShownCaption(dialog.donebtn->text()), QStringLiteral("Done"));
    QCOMPARE(tralux::ShownCaption(dialog.ungrouped_box->title()),
             QStringLiteral("Files Not Yet Grouped "));
}

QTEST_MAIN(TrackGroupingTest)
#include "TrackGroupingTest.moc"
