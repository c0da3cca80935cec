// The main window's controls, layout, enablement, grid and file intake.
#include <QAbstractButton>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>

#include <QTimer>

#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>

#include "../../files/FlacTestFiles.h"
#include "WindowFixture.h"
#include "dialogs/DialogFrame.h"
#include "dialogs/GridDrawing.h"
#include "engine/FileData.h"
#include "main/LoudnessPlot.h"

using tralux::FileData;
using tralux::FileGrid;
using tralux::test::FakePrompts;
using tralux::test::WindowFixture;
using Kind = FakePrompts::Kind;

class MainWindowTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void controls_data();
    void controls();
    void captionsAndStartState();
    void layoutFollowsTheWindow_data();
    void layoutFollowsTheWindow();

    void enablementTable_data();
    void enablementTable();
    void enablementWithOneFile();
    void addingAfterPrepareNeedsANewPrepare();
    void droppedFlacFileBalancesToAFlacResult();
    void removeAllAfterPrepareLeavesBalanceOff();
    void emptyPresetListDisablesPresetControls();
    void addPresetNeedsANormalisedHighlightedFile();

    void sameFileIsListedOnce_data();
    void sameFileIsListedOnce();
    void namesDifferingInCaseAreTwoFiles();
    void manyFilesAreTakenInWithoutComparingEachWithEveryOther();
    void cancelStopsALongIntake();
    void cancelStopsALongHeaderWalk();
    void dropWithOneUnsupportedFile();
    void sourceToolTipSaysTheFormat();
    void droppedFolderCannotBeOpened();
    void filesShorterThanTheirHeadersAreListedInOneBox();
    void addFilesDialog_data();
    void addFilesDialog();
    void cancelledAddFilesChangesNothing();
    void firstFileIsHighlightedLaterOnesAreNot();
    void removeKeepsTheHighlightedPosition_data();
    void removeKeepsTheHighlightedPosition();
    void removingTheOnlyFileLeavesTheEmptyRow();
    void removeAllLeavesOneEmptyRow();
    void selectingTheEmptyRowHighlightsNothing();

    void longNamesAreShortenedToTheirColumn_data();
    void longNamesAreShortenedToTheirColumn();
    void barsTakeTheGroupColour();
    void barWidths_data();
    void barWidths();
    void unmeasuredFilesShowNoValue();
    void columnsRefitWhenTheScrollBarComesAndGoes();
    void headersAndButtonRowFitAtTheDefaultSize();
    void contextMenuHoldsTheExport();
};

void MainWindowTest::initTestCase() {
    QApplication::setQuitOnLastWindowClosed(false);
}

// ---------------------------------------------------------------------------------------
// Controls and layout

void MainWindowTest::controls_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("hint");
    const auto row = [](const char* name, const char* caption, const char* hint) {
        QTest::newRow(name) << name << caption << hint;
    };
    row("addfilesbtn", "Add Files...", "add files to the selection list");
    row("preparebtn", "Prepare", "normalise all the selected files");
    row("balancebtn", "Balance",
        "equalise the loudness of the selected files to that of the reference level");
    row("prepbalbtn", "Prepare && Balance",
        "normalise then equalise the loudness of the selected files in one go");
    row("cancelbtn", "Cancel", "cancel the current operation");
    row("remselbtn", "Remove", "remove the highlighted file from the list of selected files");
    row("remallbtn", "Remove All", "clear the list of selected files");
    row("addpresetbtn", "Add Preset", "add the loudness of the highlighted file as a new preset");
    row("delpresetbtn", "Delete Preset", "remove the currently selected preset");
    row("groupingbtn", "Grouping...", "correlate groups of files together");
    row("quietestbtn", "Greatest Dynamic Range",
        "the target loudness will be that of the quietest file (after normalising)");
    row("loudestbtn", "Smallest Dynamic Range",
        "the target loudness will be that of the loudest file (after normalising)");
    row("selectedbtn", "Highlighted File",
        "the target loudness will be that of the highlighted file (after normalising)");
    row("presetbtn", "Preset:", "the target loudness will be a preset from the drop-down list");
    row("presetbox", "", "the list of available preset loudnesses");
    row("selfilegroup", "Selected Files ", "");
    row("reflevelgroup", "Reference Level ", "specifies the target loudness for balancing");
    row("progressgroup", "Progress ", "progress information about the currently running operation");
    row("gauge_label", "Process Type", "");
    row("gauge_filename", "Process Filename", "");
    row("onefilegauge", "", "");
    row("eta_value", "Time Remaining", "");
    row("advancedbtn", "Advanced Options...", "configure detailed behaviour");
    row("helpbtn", "Help", "invoke online help");
    row("exitbtn", "Exit", "shut down the program");
    row("filegrid", "", "the list of files selected for volume balancing");
}

void MainWindowTest::controls() {
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(QString, hint);
    WindowFixture f;
    auto* control = f.window->findChild<QWidget*>(name);
    QVERIFY2(control != nullptr, qPrintable(name));
    QString text;
    if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        text = button->text();
    } else if (auto* box = qobject_cast<QGroupBox*>(control)) {
        text = box->title();
    } else if (auto* label = qobject_cast<QLabel*>(control)) {
        text = label->text();
    }
    // Captions carry mnemonics; what the user reads is the caption of the table.
    QCOMPARE(tralux::ShownCaption(text), tralux::ShownCaption(caption));
    QCOMPARE(control->toolTip(), hint);
    if (!hint.isEmpty()) {
        QCOMPARE(control->toolTipDuration(), 4000);
    }
}

void MainWindowTest::captionsAndStartState() {
    WindowFixture f;
    QCOMPARE(f.window->windowTitle(), QStringLiteral("Tralux 1.10"));
    QCOMPARE(f.window->ApplicationTitle(), QStringLiteral("Tralux"));
    // One empty row under the five headers (the two broadcast columns after them hidden); the
    // progress line hidden; the built-in preset.
    QCOMPARE(f.Grid().rowCount(), 1);
    QCOMPARE(f.Grid().columnCount(), 7);
    QVERIFY(f.Grid().isColumnHidden(FileGrid::SourceBroadcastColumn));
    QVERIFY(f.Grid().isColumnHidden(FileGrid::ResultBroadcastColumn));
    const QStringList headers = {"Source File", "Source Loudness", "Result File", "Result Loudness",
                                 "Group"};
    for (int column = 0; column < 5; ++column) {
        QCOMPARE(f.Grid().horizontalHeaderItem(column)->text(), headers[column]);
    }
    QVERIFY(f.Grid().Record(0) == nullptr);
    QCOMPARE(f.Grid().selectionBehavior(), QAbstractItemView::SelectRows);
    QCOMPARE(f.Grid().selectionMode(), QAbstractItemView::SingleSelection);
    QCOMPARE(f.Grid().horizontalHeader()->sectionResizeMode(0), QHeaderView::Interactive);
    for (QWidget* item : {static_cast<QWidget*>(f.window->gauge_label),
                          static_cast<QWidget*>(f.window->gauge_filename),
                          static_cast<QWidget*>(f.window->onefilegauge),
                          static_cast<QWidget*>(f.window->eta_value)}) {
        QVERIFY(!item->isVisible());
    }
    QCOMPARE(f.window->onefilegauge->minimum(), 0);
    QCOMPARE(f.window->onefilegauge->maximum(), 100);
    QVERIFY(f.window->quietestbtn->isChecked());
    QCOMPARE(f.window->presetbox->count(), 1);
    QCOMPARE(f.window->presetbox->currentText(), QStringLiteral("ReplayGain '89dB' Standard"));
    QVERIFY(f.window->acceptDrops());
    // Only the controls that never depend on the list are usable with an empty list.
    QVERIFY(f.window->helpbtn->isEnabled());
    QVERIFY(f.window->exitbtn->isEnabled());
    QVERIFY(f.window->advancedbtn->isEnabled());
    QVERIFY(f.window->addfilesbtn->isEnabled());
    for (QWidget* off : {f.window->preparebtn, f.window->balancebtn, f.window->prepbalbtn,
                         f.window->cancelbtn, f.window->remselbtn, f.window->remallbtn,
                         f.window->addpresetbtn, f.window->delpresetbtn, f.window->groupingbtn}) {
        QVERIFY2(!off->isEnabled(), qPrintable(off->objectName()));
    }
}

void MainWindowTest::layoutFollowsTheWindow_data() {
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::newRow("default size") << 700 << 500;
    QTest::newRow("wide") << 1100 << 640;
    QTest::newRow("narrow") << 480 << 360;
}

void MainWindowTest::layoutFollowsTheWindow() {
    QFETCH(int, width);
    QFETCH(int, height);
    WindowFixture f;
    f.window->resize(width, height);
    WindowFixture::Settle();
    auto& w = *f.window;
    const int buttonHeight = w.exitbtn->height();
    QCOMPARE(w.selfilegroup->geometry(),
             QRect(6, 6, width - 12, height - w.progressgroup->height() - buttonHeight - 18));
    QCOMPARE(w.progressgroup->geometry(),
             QRect(6, height - w.progressgroup->height() - buttonHeight - 12, width - 12,
                   w.progressgroup->height()));
    // The ten buttons in a row, 6 apart, their bottom 6 above the box's inner bottom.
    const QList<QPushButton*> row = {w.addfilesbtn,  w.preparebtn, w.balancebtn, w.prepbalbtn,
                                     w.cancelbtn,    w.remselbtn,  w.remallbtn,  w.addpresetbtn,
                                     w.delpresetbtn, w.groupingbtn};
    QCOMPARE(w.addfilesbtn->x(), 6);
    QCOMPARE(w.groupingbtn->geometry().bottom(), w.selfilegroup->contentsRect().bottom() - 6);
    for (int i = 1; i < row.size(); ++i) {
        if (width > 1000) {
            QCOMPARE(row[i]->x(), row[i - 1]->geometry().right() + 1 + 6);
            QCOMPARE(row[i]->y(), w.addfilesbtn->y());
        } else if (row[i]->y() != row[i - 1]->y()) {
            // Too narrow for one line: the next line starts at the left, 6 below.
            QCOMPARE(row[i]->x(), 6);
            QCOMPARE(row[i]->y(), row[i - 1]->geometry().bottom() + 1 + 6);
        }
        // Every caption stays readable: no button reaches out of its box.
        QVERIFY(row[i]->geometry().right() < w.selfilegroup->width() - 6);
    }
    QCOMPARE(w.reflevelgroup->x(), 6);
    QCOMPARE(w.reflevelgroup->geometry().bottom(), w.addfilesbtn->y() - 6 - 1);
    const int ppi = w.logicalDpiY();
    const int gridTop = qRound(20.0 * ppi / 96.0);
    // The loudness plot, when there is room for it, stands between the grid and the choices.
    const int room = w.reflevelgroup->y() - 6 - gridTop;
    const int gridWidth = w.selfilegroup->contentsRect().width() - 12;
    if (!w.loudnessplot->isHidden()) {
        QCOMPARE(w.loudnessplot->geometry().bottom(), w.reflevelgroup->y() - 6 - 1);
        QCOMPARE(w.loudnessplot->width(), gridWidth);
        QVERIFY(w.loudnessplot->height() <= room / 3);
        QCOMPARE(w.filegrid->geometry(),
                 QRect(6, gridTop, gridWidth, w.loudnessplot->y() - 6 - gridTop));
    } else {
        QCOMPARE(w.filegrid->geometry(), QRect(6, gridTop, gridWidth, room));
    }
    const int inner = w.filegrid->width() - 2 * w.filegrid->frameWidth();
    const int u = inner / 13;
    const QHeaderView* header = w.filegrid->horizontalHeader();
    if (2 * u >= header->sectionSizeHint(1) && 2 * u >= header->sectionSizeHint(3)) {
        QCOMPARE(w.filegrid->columnWidth(0), 4 * u);
        QCOMPARE(w.filegrid->columnWidth(1), 2 * u);
        QCOMPARE(w.filegrid->columnWidth(2), 4 * u);
        QCOMPARE(w.filegrid->columnWidth(3), 2 * u);
    } else {
        // A loudness header that would be cut takes room from the name columns.
        QCOMPARE(w.filegrid->columnWidth(0), w.filegrid->columnWidth(2));
        QVERIFY(w.filegrid->columnWidth(1) >= std::min(2 * u, header->sectionSizeHint(1)));
        QCOMPARE(w.filegrid->columnWidth(0) + w.filegrid->columnWidth(1) +
                     w.filegrid->columnWidth(2) + w.filegrid->columnWidth(3),
                 12 * u);
    }
    QCOMPARE(w.filegrid->columnWidth(4), inner - 12 * u - 4);
    const int bottomTop = w.progressgroup->geometry().bottom() + 1 + 6;
    QCOMPARE(w.advancedbtn->pos(), QPoint(6, bottomTop));
    QCOMPARE(w.helpbtn->pos(), QPoint(w.advancedbtn->geometry().right() + 1 + 6, bottomTop));
    QCOMPARE(w.exitbtn->y(), bottomTop);
    QCOMPARE(w.exitbtn->geometry().right(), width - 6 - 1);
    // The reference choices stay inside their box, whatever its width.
    for (QWidget* choice :
         {static_cast<QWidget*>(w.quietestbtn), static_cast<QWidget*>(w.loudestbtn),
          static_cast<QWidget*>(w.selectedbtn), static_cast<QWidget*>(w.presetbtn),
          static_cast<QWidget*>(w.presetbox)}) {
        QVERIFY2(w.reflevelgroup->rect().contains(choice->geometry()),
                 qPrintable(choice->objectName()));
    }
}

// ---------------------------------------------------------------------------------------
// Enablement

void MainWindowTest::enablementTable_data() {
    QTest::addColumn<int>("files");
    QTest::addColumn<bool>("preset");
    QTest::addColumn<bool>("ready");
    QTest::addColumn<bool>("running");
    QTest::addColumn<bool>("normalised");
    // exit, advanced, prepare, balance, prepbal, remove, remove all, add preset,
    // delete preset, grouping, cancel
    QTest::addColumn<QString>("enabled");
    QTest::newRow("empty") << 0 << false << false << false << false << "11000000000";
    QTest::newRow("empty, preset, ready") << 0 << true << true << false << false << "11000000100";
    QTest::newRow("one file") << 1 << false << false << false << false << "11100110010";
    QTest::newRow("one file, preset") << 1 << true << false << false << false << "11101110110";
    QTest::newRow("one file, preset, prepared")
        << 1 << true << true << false << true << "11111111110";
    QTest::newRow("two files") << 2 << false << false << false << false << "11101110010";
    QTest::newRow("two files, prepared") << 2 << false << true << false << true << "11111111010";
    QTest::newRow("running") << 2 << true << true << true << true << "00000000001";
}

void MainWindowTest::enablementTable() {
    QFETCH(int, files);
    QFETCH(bool, preset);
    QFETCH(bool, ready);
    QFETCH(bool, running);
    QFETCH(bool, normalised);
    QFETCH(QString, enabled);
    WindowFixture f;
    auto& w = *f.window;
    for (int i = 0; i < files; ++i) {
        f.Drop({f.Tone("f" + std::to_string(i) + ".wav", 3000, 441)});
    }
    if (preset) {
        f.Click(w.presetbtn);
    }
    if (normalised) {
        w.HighlightedFile()->Normalised = true;
    }
    w.Runs().ReadyToBalance = ready;
    w.Engine().Running = running;
    w.UpdateEnablement();
    const QList<QWidget*> controls = {w.exitbtn,      w.advancedbtn, w.preparebtn, w.balancebtn,
                                      w.prepbalbtn,   w.remselbtn,   w.remallbtn,  w.addpresetbtn,
                                      w.delpresetbtn, w.groupingbtn, w.cancelbtn};
    QString actual;
    for (QWidget* control : controls) {
        actual += control->isEnabled() ? '1' : '0';
    }
    QCOMPARE(actual, enabled);
    // Never disabled, whatever the state.
    for (QWidget* live : {static_cast<QWidget*>(w.helpbtn), static_cast<QWidget*>(w.addfilesbtn),
                          static_cast<QWidget*>(w.filegrid), static_cast<QWidget*>(w.quietestbtn),
                          static_cast<QWidget*>(w.loudestbtn), static_cast<QWidget*>(w.selectedbtn),
                          static_cast<QWidget*>(w.presetbtn), static_cast<QWidget*>(w.presetbox)}) {
        QVERIFY2(live->isEnabled(), qPrintable(live->objectName()));
    }
    w.Engine().Running = false;
}

void MainWindowTest::enablementWithOneFile() {
    WindowFixture f;
    f.Drop({f.Tone("one.wav", 8000)});
    auto& w = *f.window;
    QVERIFY(w.preparebtn->isEnabled());
    QVERIFY(!w.balancebtn->isEnabled());
    QVERIFY(!w.prepbalbtn->isEnabled());
    QVERIFY(w.remselbtn->isEnabled());
    QVERIFY(w.remallbtn->isEnabled());
    QVERIFY(w.groupingbtn->isEnabled());
    QVERIFY(!w.delpresetbtn->isEnabled());
    // "Preset:" with a preset chosen: one file may be balanced, to the preset.
    f.Click(w.presetbtn);
    QVERIFY(w.presetbtn->isChecked());
    QCOMPARE(w.presetbox->currentIndex(), 0);
    QVERIFY(w.prepbalbtn->isEnabled());
    QVERIFY(!w.balancebtn->isEnabled());
    QVERIFY(w.delpresetbtn->isEnabled());
    f.Click(w.preparebtn);
    QVERIFY(w.Runs().ReadyToBalance);
    QVERIFY(w.balancebtn->isEnabled());
    // Back to "Greatest Dynamic Range": one file has nothing to be balanced with.
    f.Click(w.quietestbtn);
    QVERIFY(!w.balancebtn->isEnabled());
    QVERIFY(!w.prepbalbtn->isEnabled());
    QVERIFY(!w.delpresetbtn->isEnabled());
}

void MainWindowTest::addingAfterPrepareNeedsANewPrepare() {
    WindowFixture f;
    f.Drop({f.Tone("a.wav", 2000), f.Tone("b.wav", 4000), f.Tone("c.wav", 8000)});
    f.Click(f.window->preparebtn);
    QVERIFY(f.window->balancebtn->isEnabled());
    f.Drop({f.Tone("d.wav", 3000)});
    QCOMPARE(f.window->FileCount, 4);
    QVERIFY(!f.window->Runs().ReadyToBalance);
    QVERIFY(!f.window->balancebtn->isEnabled());
    QVERIFY(f.window->prepbalbtn->isEnabled());
}

void MainWindowTest::droppedFlacFileBalancesToAFlacResult() {
    WindowFixture f;
    tralux::test::FlacShape shape;
    const std::string flac = f.dir.File("song.flac");
    tralux::test::MakeFlacFile(flac, shape);
    f.Drop({QString::fromStdString(flac), f.Tone("b.wav", 4000)});
    QCOMPARE(f.window->FileCount, 2);
    QVERIFY(f.prompts.Texts(Kind::Error).isEmpty());
    f.Click(f.window->prepbalbtn);
    std::vector<int32_t> decoded;
    QVERIFY(tralux::test::DecodeWithLibFlac(f.dir.File("song_tralux.flac"), decoded));
    QCOMPARE(decoded.size(), size_t(2 * shape.Frames));
    QVERIFY(decoded != tralux::test::SamplesOf(shape));
}

void MainWindowTest::removeAllAfterPrepareLeavesBalanceOff() {
    WindowFixture f;
    f.Drop({f.Tone("a.wav", 2000), f.Tone("b.wav", 4000)});
    f.Click(f.window->presetbtn);
    f.Click(f.window->preparebtn);
    QVERIFY(f.window->balancebtn->isEnabled());
    f.Click(f.window->remallbtn);
    QVERIFY(f.window->Runs().ReadyToBalance);  // removal leaves the flag alone
    QVERIFY(!f.window->balancebtn->isEnabled());
    QVERIFY(!f.window->prepbalbtn->isEnabled());
    QVERIFY(!f.window->preparebtn->isEnabled());
}

void MainWindowTest::emptyPresetListDisablesPresetControls() {
    WindowFixture f;
    f.Click(f.window->presetbtn);
    f.Click(f.window->delpresetbtn);
    QCOMPARE(f.window->presetbox->count(), 0);
    QVERIFY(f.window->quietestbtn->isChecked());
    QVERIFY(!f.window->presetbtn->isEnabled());
    QVERIFY(!f.window->presetbox->isEnabled());
    QVERIFY(!f.window->delpresetbtn->isEnabled());
}

void MainWindowTest::addPresetNeedsANormalisedHighlightedFile() {
    WindowFixture f;
    f.Drop({f.Tone("a.wav", 2000), f.Tone("b.wav", 4000)});
    QVERIFY(!f.window->addpresetbtn->isEnabled());
    f.Click(f.window->preparebtn);
    QVERIFY(f.window->HighlightedFile()->Normalised);
    QVERIFY(f.window->addpresetbtn->isEnabled());
}

// ---------------------------------------------------------------------------------------
// Intake

void MainWindowTest::sameFileIsListedOnce_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("same path") << "same";
    QTest::newRow("symbolic link") << "link";
    QTest::newRow("relative part") << "dotdot";
    QTest::newRow("hard link") << "hard";
}

void MainWindowTest::sameFileIsListedOnce() {
    QFETCH(QString, how);
    WindowFixture f;
    const QString path = f.Tone("song.wav", 5000);
    QString second = path;
    if (how == "link") {
        second = QString::fromStdString(f.dir.File("link.wav"));
        std::filesystem::create_symlink(path.toStdString(), second.toStdString());
    } else if (how == "dotdot") {
        std::filesystem::create_directory(f.dir.File("sub"));
        second = QString::fromStdString(f.dir.File("sub/../song.wav"));
    } else if (how == "hard") {
        second = QString::fromStdString(f.dir.File("hard.wav"));
        std::filesystem::create_hard_link(path.toStdString(), second.toStdString());
    }
    // Within one drop, and in a later one.
    f.Drop({path, second});
    f.Drop({second});
    QCOMPARE(f.window->FileCount, 1);
    QCOMPARE(f.Grid().rowCount(), 1);
    QVERIFY(f.prompts.calls.empty());
}

void MainWindowTest::namesDifferingInCaseAreTwoFiles() {
    WindowFixture f;
    f.Drop({f.Tone("take.wav", 5000), f.Tone("TAKE.WAV", 5000)});
    QCOMPARE(f.window->FileCount, 2);
    QVERIFY(f.prompts.calls.empty());
}

void MainWindowTest::manyFilesAreTakenInWithoutComparingEachWithEveryOther() {
    WindowFixture f;
    QStringList paths;
    for (int i = 0; i < 4000; ++i) {
        paths.append(QString::fromStdString(tralux::test::WriteWav(
            f.dir.File("f" + std::to_string(i) + ".wav"), tralux::test::Constant(10, 1, 2))));
    }
    // Processor time, so that a busy machine does not fail the test: comparing every file
    // with every listed one took some twenty seconds.
    const std::clock_t start = std::clock();
    f.Drop(paths);
    const double seconds = double(std::clock() - start) / CLOCKS_PER_SEC;
    QCOMPARE(f.window->FileCount, 4000);
    QVERIFY2(seconds < 10.0, qPrintable(QString::number(seconds)));
}

void MainWindowTest::cancelStopsALongIntake() {
    WindowFixture f;
    const QStringList paths = {f.Tone("a.wav", 3000, 100), f.Tone("b.wav", 3000, 100),
                               f.Tone("c.wav", 3000, 100)};
    bool cancelOffered = false;
    bool runsOffered = true;
    // Runs between the first and the second file, when the window answers input.
    QTimer::singleShot(0, f.window.get(), [&] {
        cancelOffered = f.window->cancelbtn->isEnabled();
        runsOffered = f.window->preparebtn->isEnabled();
        f.Click(f.window->cancelbtn);
    });
    f.Drop(paths);
    QVERIFY(cancelOffered);
    QVERIFY(!runsOffered);
    QCOMPARE(f.window->FileCount, 1);
    QVERIFY(!f.window->cancelbtn->isEnabled());
    QVERIFY(f.window->preparebtn->isEnabled());
    // Nothing is left behind: the next drop takes every file it offers.
    f.Drop(paths);
    QCOMPARE(f.window->FileCount, 3);
}

void MainWindowTest::cancelStopsALongHeaderWalk() {
    WindowFixture f;
    // 16 GiB of nothing after the WAVE tag: two thousand million empty chunks to walk.
    const std::string sparse = f.dir.File("sparse.wav");
    const std::vector<uint8_t> head = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    tralux::test::WriteFile(sparse, head);
    QVERIFY(truncate(sparse.c_str(), off_t{16} << 30) == 0);
    const QStringList paths = {QString::fromStdString(sparse), f.Tone("b.wav", 3000, 100)};
    // Runs once the walk of the first file answers input.
    QTimer::singleShot(0, f.window.get(), [&] { f.Click(f.window->cancelbtn); });
    const auto start = std::chrono::steady_clock::now();
    f.Drop(paths);
    QVERIFY(std::chrono::steady_clock::now() - start < std::chrono::seconds(5));
    // Stopped, not judged: no refusal shown, and nothing taken after it.
    QCOMPARE(f.window->FileCount, 0);
    QVERIFY(f.prompts.calls.empty());
}

void MainWindowTest::dropWithOneUnsupportedFile() {
    WindowFixture f;
    const QString first = f.Tone("first.wav", 3000);
    tralux::test::WavLayout adpcm48;  // a format the runs do not take
    adpcm48.sampleRate = 48000;
    adpcm48.formatTag = 2;
    const QString second = QString::fromStdString(
        tralux::test::WriteWav(f.dir.File("second.wav"), tralux::test::Sine(4800, 3000), adpcm48));
    const QString third = f.Tone("third.wav", 3000);
    f.Drop({first, second, third});
    QCOMPARE(f.window->FileCount, 2);
    QCOMPARE(f.Grid().Record(0)->SourceFile, first.toStdString());
    QCOMPARE(f.Grid().Record(1)->SourceFile, third.toStdString());
    QCOMPARE(f.prompts.calls.size(), size_t{1});
    QCOMPARE(f.prompts.calls[0].kind, Kind::Error);
    QCOMPARE(f.prompts.calls[0].text,
             '"' + second +
                 QStringLiteral("\" is a WAV file in ADPCM (format 2), which Tralux cannot read"));
}

// The name may be cut to fit its cell; its tooltip gives the whole path and what the file holds.
void MainWindowTest::sourceToolTipSaysTheFormat() {
    WindowFixture f;
    tralux::test::AnyWavLayout layout;
    layout.container = "RF64";
    layout.channels = 1;
    layout.sampleRate = 48000;
    layout.bitsPerSample = 24;
    const std::string path = f.dir.File("voice.wav");
    tralux::test::WriteFile(
        path, tralux::test::MakeAnyWav(tralux::test::FrameBytes(layout, 4800), layout));
    const QString plain = f.Tone("plain.wav", 3000);
    f.Drop({QString::fromStdString(path), plain});
    QCOMPARE(f.window->FileCount, 2);
    QCOMPARE(f.Grid().item(0, FileGrid::SourceColumn)->toolTip(),
             QString::fromStdString(path) + QStringLiteral("\n24-bit 48 kHz mono RF64 WAV"));
    QCOMPARE(f.Grid().item(1, FileGrid::SourceColumn)->toolTip(),
             plain + QStringLiteral("\n16-bit 44.1 kHz stereo WAV"));
}

void MainWindowTest::filesShorterThanTheirHeadersAreListedInOneBox() {
    WindowFixture f;
    const auto cut = [&f](const std::string& name) {
        auto bytes = tralux::test::MakeWav(tralux::test::Sine(100, 3000));
        bytes[40] = bytes[41] = bytes[42] = bytes[43] = 0xFF;  // 4 GiB claimed
        tralux::test::WriteFile(f.dir.File(name), bytes);
        return QString::fromStdString(f.dir.File(name));
    };
    const QString first = cut("first.wav");
    const QString whole = f.Tone("whole.wav", 3000);
    const QString second = cut("second.wav");
    f.Drop({first, whole, second});
    QCOMPARE(f.window->FileCount, 3);
    QCOMPARE(f.Grid().Record(0)->FrameCount, 100);
    QCOMPARE(f.prompts.calls.size(), size_t{1});
    QCOMPARE(f.prompts.calls[0].kind, Kind::Warning);
    QCOMPARE(f.prompts.calls[0].text,
             QStringLiteral("These files are shorter than their headers say; only the sound they "
                            "hold will be used:\r\r   ") +
                 first + QStringLiteral("\r   ") + second);

    // Told once: the next intake names only its own.
    const QString third = cut("third.wav");
    f.Drop({third});
    QCOMPARE(f.prompts.calls.size(), size_t{2});
    QVERIFY(!f.prompts.calls[1].text.contains(first));
    QVERIFY(f.prompts.calls[1].text.endsWith(third));
}

void MainWindowTest::droppedFolderCannotBeOpened() {
    WindowFixture f;
    const QString folder = QString::fromStdString(f.dir.File("folder"));
    std::filesystem::create_directory(folder.toStdString());
    f.Drop({folder});
    QCOMPARE(f.window->FileCount, 0);
    QCOMPARE(f.prompts.Texts(Kind::Error),
             QStringList{QStringLiteral("\"") + folder +
                         QStringLiteral("\" is a folder, not a WAV file")});
}

void MainWindowTest::addFilesDialog_data() {
    QTest::addColumn<bool>("wavonly");
    QTest::addColumn<int>("filter");
    QTest::newRow("WAV files first") << true << 0;
    QTest::newRow("all files first") << false << 1;
}

void MainWindowTest::addFilesDialog() {
    QFETCH(bool, wavonly);
    QFETCH(int, filter);
    WindowFixture f;
    f.window->MutableOptions().wavonly = wavonly;
    const QStringList chosen = {f.Tone("b.wav", 3000), f.Tone("a.wav", 3000)};
    f.prompts.openFiles.push_back(chosen);
    f.Click(f.window->addfilesbtn);
    QCOMPARE(f.prompts.Texts(Kind::OpenFiles), QStringList{"Select Files"});
    QCOMPARE(f.prompts.openFilters.size(), 2);
    QCOMPARE(f.prompts.openFilters[0],
             QStringLiteral("WAV and FLAC Files (*.wav *.wave *.rf64 *.bw64 *.flac)"));
    QVERIFY(f.prompts.openFilters[1].startsWith("All Files ("));
    QCOMPARE(f.prompts.openSelectedFilter, filter);
    // In the order the dialog gives them.
    QCOMPARE(f.Grid().Record(0)->SourceFile, chosen[0].toStdString());
    QCOMPARE(f.Grid().Record(1)->SourceFile, chosen[1].toStdString());
    QVERIFY(f.window->prepbalbtn->isEnabled());
}

void MainWindowTest::cancelledAddFilesChangesNothing() {
    WindowFixture f;
    f.Click(f.window->addfilesbtn);  // no answer queued: cancelled
    QCOMPARE(f.window->FileCount, 0);
    QVERIFY(!f.window->preparebtn->isEnabled());
}

void MainWindowTest::firstFileIsHighlightedLaterOnesAreNot() {
    WindowFixture f;
    f.Drop({f.Tone("a.wav", 3000)});
    QCOMPARE(f.Grid().currentRow(), 0);
    QCOMPARE(f.window->HighlightedFile(), f.Grid().Record(0));
    f.Drop({f.Tone("b.wav", 3000), f.Tone("c.wav", 3000)});
    QCOMPARE(f.Grid().rowCount(), 3);
    QCOMPARE(f.window->HighlightedFile(), f.Grid().Record(0));
    QCOMPARE(f.Grid().CellText(1, FileGrid::SourceColumn), QStringLiteral("b.wav"));
    QCOMPARE(f.Grid().CellText(1, FileGrid::GroupColumn), QString());
}

void MainWindowTest::removeKeepsTheHighlightedPosition_data() {
    QTest::addColumn<int>("removed");
    QTest::addColumn<int>("highlightAfter");
    QTest::addColumn<QString>("shownAfter");
    QTest::newRow("middle of three") << 1 << 1 << "c.wav";
    QTest::newRow("first of three") << 0 << 0 << "b.wav";
    QTest::newRow("last of three") << 2 << 1 << "b.wav";
}

void MainWindowTest::removeKeepsTheHighlightedPosition() {
    QFETCH(int, removed);
    QFETCH(int, highlightAfter);
    QFETCH(QString, shownAfter);
    WindowFixture f;
    f.Drop({f.Tone("a.wav", 3000), f.Tone("b.wav", 3000), f.Tone("c.wav", 3000)});
    f.ClickRow(removed);
    QCOMPARE(f.Grid().currentRow(), removed);
    f.Click(f.window->remselbtn);
    QCOMPARE(f.window->FileCount, 2);
    QCOMPARE(f.Grid().rowCount(), 2);
    QCOMPARE(f.Grid().currentRow(), highlightAfter);
    QCOMPARE(f.Grid().CellText(highlightAfter, FileGrid::SourceColumn), shownAfter);
    QCOMPARE(f.window->HighlightedFile(), f.Grid().Record(highlightAfter));
    QVERIFY(f.Grid().selectionModel()->isRowSelected(highlightAfter, QModelIndex()));
}

void MainWindowTest::removingTheOnlyFileLeavesTheEmptyRow() {
    WindowFixture f;
    f.Drop({f.Tone("a.wav", 3000)});
    f.Click(f.window->remselbtn);
    QCOMPARE(f.window->FileCount, 0);
    QCOMPARE(f.Grid().rowCount(), 1);
    QVERIFY(f.Grid().Record(0) == nullptr);
    for (int column = 0; column < 5; ++column) {
        QCOMPARE(f.Grid().CellText(0, column), QString());
    }
    QVERIFY(f.window->HighlightedFile() == nullptr);
    QVERIFY(!f.window->remselbtn->isEnabled());
    // The next file fills the empty row again.
    f.Drop({f.Tone("b.wav", 3000)});
    QCOMPARE(f.Grid().rowCount(), 1);
    QCOMPARE(f.window->HighlightedFile(), f.Grid().Record(0));
}

void MainWindowTest::removeAllLeavesOneEmptyRow() {
    WindowFixture f;
    QStringList ten;
    for (int i = 0; i < 10; ++i) {
        ten.append(f.Tone("f" + std::to_string(i) + ".wav", 1000 + 100 * i, 4410));
    }
    f.Drop(ten);
    QCOMPARE(f.Grid().rowCount(), 10);
    f.ClickRow(5);
    f.Click(f.window->remallbtn);
    QCOMPARE(f.Grid().rowCount(), 1);
    QCOMPARE(f.window->FileCount, 0);
    QVERIFY(f.Grid().Files().empty());
    QVERIFY(f.window->HighlightedFile() == nullptr);
    QVERIFY(!f.window->remallbtn->isEnabled());
}

void MainWindowTest::selectingTheEmptyRowHighlightsNothing() {
    WindowFixture f;
    f.ClickRow(0);
    QVERIFY(f.window->HighlightedFile() == nullptr);
    QVERIFY(!f.window->remselbtn->isEnabled());
}

// ---------------------------------------------------------------------------------------
// Grid drawing

void MainWindowTest::longNamesAreShortenedToTheirColumn_data() {
    QTest::addColumn<bool>("truncends");
    QTest::newRow("cut at the start") << false;
    QTest::newRow("cut at the end") << true;
}

void MainWindowTest::longNamesAreShortenedToTheirColumn() {
    QFETCH(bool, truncends);
    WindowFixture f;
    f.window->MutableOptions().fnamesonly = false;
    f.window->MutableOptions().truncends = truncends;
    std::filesystem::create_directories(f.dir.File("a rather long folder name/and another one"));
    const QString path = f.Tone("a rather long folder name/and another one/the song.wav", 3000);
    f.Drop({path});
    const QString shown = f.Grid().CellText(0, FileGrid::SourceColumn);
    const int room = f.Grid().columnWidth(0) - 2;
    QVERIFY(f.Grid().fontMetrics().horizontalAdvance(path) > room);
    QVERIFY(f.Grid().fontMetrics().horizontalAdvance(shown) < room);
    if (truncends) {
        QVERIFY(shown.endsWith("..."));
        QVERIFY(path.startsWith(shown.chopped(3)));
    } else {
        QVERIFY(shown.startsWith("..."));
        QVERIFY(path.endsWith(shown.mid(3)));
    }
    // Wider again: the whole path once the window is laid out anew.
    f.window->resize(3000, 500);
    WindowFixture::Settle();
    QCOMPARE(f.Grid().CellText(0, FileGrid::SourceColumn), path);
}

void MainWindowTest::barsTakeTheGroupColour() {
    WindowFixture f;
    f.Drop({f.Tone("a.wav", 3000), f.Tone("b.wav", 6000)});
    f.Click(f.window->preparebtn);
    QVERIFY(f.window->Runs().ResultLoudnessShown);
    f.Click(f.window->cancelbtn);  // disabled: nothing happens
    const auto barColour = [&](int row) {
        const QRect cell =
            f.Grid().visualRect(f.Grid().model()->index(row, FileGrid::ResultLoudnessColumn));
        const QImage image = f.Grid().viewport()->grab().toImage();
        return image.pixelColor(cell.left() + 1, cell.center().y());
    };
    QCOMPARE(barColour(1), QColor(255, 0, 0));  // in no group
    f.Grid().Record(1)->GroupNumber = 1;
    QCOMPARE(barColour(1), QColor(255, 0, 255));
    f.Grid().Record(1)->GroupNumber = 16;  // 16 mod 15 = 1
    QCOMPARE(barColour(1), QColor(255, 0, 255));
    f.Grid().Record(1)->GroupNumber = 15;
    QCOMPARE(barColour(1), QColor(0, 255, 255));
}

namespace {

// Whether a cell shows nothing but its background (its grid lines aside).
bool CellIsBlank(FileGrid& grid, int row, int column) {
    const QImage image = grid.viewport()->grab().toImage();
    const QRect cell = grid.visualRect(grid.model()->index(row, column)).adjusted(1, 1, -2, -2);
    const QColor background = image.pixelColor(cell.topLeft());
    for (int y = cell.top(); y <= cell.bottom(); ++y) {
        for (int x = cell.left(); x <= cell.right(); ++x) {
            if (image.pixelColor(x, y) != background) {
                return false;
            }
        }
    }
    return true;
}

int ColumnsWidth(const FileGrid& grid) {
    int total = 0;
    for (int column = 0; column < grid.columnCount(); ++column) {
        total += grid.columnWidth(column);
    }
    return total;
}

}  // namespace

void MainWindowTest::unmeasuredFilesShowNoValue() {
    WindowFixture f;
    f.Drop({f.Tone("a.wav", 3000), f.Tone("b.wav", 6000)});
    f.Click(f.window->preparebtn);
    QVERIFY(f.window->Runs().SourceLoudnessShown && f.window->Runs().ResultLoudnessShown);
    f.Drop({f.Tone("c.wav", 9000)});
    WindowFixture::Settle();
    // The measured files show bars and values, the new one neither until the next run.
    QVERIFY(!CellIsBlank(f.Grid(), 1, FileGrid::SourceLoudnessColumn));
    QVERIFY(!CellIsBlank(f.Grid(), 1, FileGrid::ResultLoudnessColumn));
    QVERIFY(CellIsBlank(f.Grid(), 2, FileGrid::SourceLoudnessColumn));
    QVERIFY(CellIsBlank(f.Grid(), 2, FileGrid::ResultLoudnessColumn));
    f.Click(f.window->preparebtn);
    QVERIFY(!CellIsBlank(f.Grid(), 2, FileGrid::SourceLoudnessColumn));
    QVERIFY(!CellIsBlank(f.Grid(), 2, FileGrid::ResultLoudnessColumn));
}

void MainWindowTest::columnsRefitWhenTheScrollBarComesAndGoes() {
    WindowFixture f;
    WindowFixture::Settle();
    FileGrid& grid = f.Grid();
    const int unscrolledWidth = ColumnsWidth(grid);
    QStringList many;
    for (int i = 0; i < 30; ++i) {
        many << f.Tone("track " + std::to_string(i) + ".wav", 3000, 441);
    }
    f.Drop(many);
    WindowFixture::Settle();
    QVERIFY(grid.verticalScrollBar()->isVisible());
    // The columns make room for the scroll bar instead of overflowing under it.
    QVERIFY(!grid.horizontalScrollBar()->isVisible());
    QVERIFY(ColumnsWidth(grid) <= grid.viewport()->width());
    QVERIFY(ColumnsWidth(grid) < unscrolledWidth);
    f.Click(f.window->remallbtn);
    WindowFixture::Settle();
    QVERIFY(!grid.verticalScrollBar()->isVisible());
    QCOMPARE(ColumnsWidth(grid), unscrolledWidth);
}

void MainWindowTest::headersAndButtonRowFitAtTheDefaultSize() {
    WindowFixture f;
    WindowFixture::Settle();
    auto& w = *f.window;
    QCOMPARE(w.size(), QSize(700, 500));
    const QHeaderView* header = w.filegrid->horizontalHeader();
    for (const int column : {FileGrid::SourceLoudnessColumn, FileGrid::ResultLoudnessColumn}) {
        QVERIFY2(w.filegrid->columnWidth(column) >= header->sectionSizeHint(column),
                 qPrintable(w.filegrid->horizontalHeaderItem(column)->text()));
    }
    // The ten buttons use the font of the buttons below them, and none covers another.
    const QList<QPushButton*> row = {w.addfilesbtn,  w.preparebtn, w.balancebtn, w.prepbalbtn,
                                     w.cancelbtn,    w.remselbtn,  w.remallbtn,  w.addpresetbtn,
                                     w.delpresetbtn, w.groupingbtn};
    for (int i = 0; i < row.size(); ++i) {
        QCOMPARE(row[i]->font(), w.advancedbtn->font());
        const QString shown = tralux::ShownCaption(row[i]->text());
        QVERIFY(row[i]->width() > row[i]->fontMetrics().horizontalAdvance(shown));
        QVERIFY(w.selfilegroup->rect().contains(row[i]->geometry()));
        for (int j = 0; j < i; ++j) {
            QVERIFY(!row[i]->geometry().intersects(row[j]->geometry()));
        }
    }
}

void MainWindowTest::barWidths_data() {
    QTest::addColumn<double>("scale");
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("expected");  // -1: the whole room beside the text
    QTest::newRow("nothing measured") << 0.0 << 0.0 << 0;
    QTest::newRow("silent list") << 0.0 << 100.0 << 0;
    QTest::newRow("tiny beside the loudest") << 20000.0 << 1.0 << 1;
    QTest::newRow("zero beside the loudest") << 20000.0 << 0.0 << 1;
    QTest::newRow("the loudest") << 20000.0 << 20000.0 << -1;
}

void MainWindowTest::barWidths() {
    QFETCH(double, scale);
    QFETCH(double, value);
    QFETCH(int, expected);
    WindowFixture f;
    f.Grid().LoudnessScale = scale;
    const int cell = 200;
    const int room = cell - f.Grid().fontMetrics().horizontalAdvance(QStringLiteral("100.0%"));
    QCOMPARE(f.Grid().BarWidth(cell, value), expected < 0 ? room : expected);
}

void MainWindowTest::contextMenuHoldsTheExport() {
    WindowFixture f;
    QCOMPARE(f.Grid().contextMenuPolicy(), Qt::CustomContextMenu);
    QCOMPARE(f.window->PopupMenu1->actions().size(), 3);
    QCOMPARE(f.window->SavetoFile1->text(), QStringLiteral("Save Data to File..."));
    QCOMPARE(f.window->SavetoFile1->objectName(), QStringLiteral("SavetoFile1"));
    QCOMPARE(f.window->Preview1->text(), QStringLiteral("Preview Balance"));
    QCOMPARE(f.window->ShowBroadcast1->text(), QStringLiteral("Show LUFS, True Peak and LRA"));
    QVERIFY(f.window->ShowBroadcast1->isCheckable());
}

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
