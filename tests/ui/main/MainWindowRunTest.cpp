// Runs started from the window's buttons, Cancel, closing during a run, files offered during a
// run, and the results export.
#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "WindowFixture.h"
#include "engine/FileData.h"
#include "operations/Operations.h"
#include "units/ResultsExport.h"

using tralux::FileData;
using tralux::FileGrid;
using tralux::TBalanceVolumes;
using tralux::test::FakePrompts;
using tralux::test::WindowFixture;
using Kind = FakePrompts::Kind;

namespace {

// Three one-second files of the same peak and different loudness: a square wave (its
// loudness is its peak), a sine (peak / sqrt 2) and uniform noise (peak / sqrt 3).
QStringList ThreeShapes(WindowFixture& f) {
    const int32_t frames = 44100;
    tralux::test::Samples square;
    for (int32_t i = 0; i < frames; ++i) {
        const int16_t v = (i / 50) % 2 == 0 ? 12000 : -12000;
        square.push_back(v);
        square.push_back(v);
    }
    return {QString::fromStdString(tralux::test::WriteWav(f.dir.File("square.wav"), square)),
            QString::fromStdString(
                tralux::test::WriteWav(f.dir.File("sine.wav"), tralux::test::Sine(frames, 12000))),
            QString::fromStdString(tralux::test::WriteWav(f.dir.File("noise.wav"),
                                                          tralux::test::Noise(frames, 12000, 7)))};
}

bool Near(double value, double target, double ratio) {
    return value <= target * ratio && value >= target / ratio;
}

}  // namespace

class MainWindowRunTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void prepareAndBalanceFromTheButtons();
    void controlsDuringARun();
    void progressLineAndEstimate();
    void cancelDuringARun();
    void closingDuringARunStopsItAndSaves();
    void filesOfferedDuringARunWaitForItsEnd();
    void runWithoutAChosenPresetDoesNotStart();
    void emptyListCannotRun();
    void highlightedFileAsReference();
    void referenceChosenDuringARunWaitsForTheNext();

    void exportIsWrittenByteForByte_data();
    void exportIsWrittenByteForByte();
    void exportOfAnEmptyList();
    void exportAfterARunHoldsFullPaths();
    void cancelledExportWritesNothing();
    void failedExportIsReported();
    void exportOntoAListedFileIsRefused();
};

void MainWindowRunTest::initTestCase() {
    QApplication::setQuitOnLastWindowClosed(false);
}

void MainWindowRunTest::prepareAndBalanceFromTheButtons() {
    WindowFixture f;
    const QStringList files = ThreeShapes(f);
    f.Drop(files);
    QVERIFY(f.window->prepbalbtn->isEnabled());
    f.Click(f.window->prepbalbtn);

    auto& w = *f.window;
    QVERIFY(!w.Engine().Running);
    QVERIFY(!w.Runs().ReadyToBalance);  // a completed Balance needs a new Prepare
    QVERIFY(w.Runs().SourceLoudnessShown);
    QVERIFY(w.Runs().ResultLoudnessShown);
    QVERIFY(f.prompts.calls.empty());
    QCOMPARE(w.windowTitle(), QStringLiteral("Tralux 1.10"));
    QCOMPARE(w.ApplicationTitle(), QStringLiteral("Tralux"));
    QVERIFY(!w.gauge_label->isVisible());
    QVERIFY(!w.onefilegauge->isVisible());
    QVERIFY(!w.eta_value->isVisible());
    QVERIFY(w.preparebtn->isEnabled());
    QVERIFY(!w.balancebtn->isEnabled());
    QVERIFY(!w.cancelbtn->isEnabled());

    // The measured loudness of the sources, the results written next to them and brought
    // to the quietest (the noise) within the tolerance of the runs.
    const double quietest = f.Grid().Record(2)->Loudness;
    const QStringList names = {"square_tralux.wav", "sine_tralux.wav", "noise_tralux.wav"};
    const double scan[] = {12000.0, 12000.0 / std::sqrt(2.0), 12000.0 / std::sqrt(3.0)};
    for (int row = 0; row < 3; ++row) {
        const FileData* file = f.Grid().Record(row);
        QVERIFY(Near(file->ScanLoudness, scan[row], 1.02));
        QVERIFY(std::filesystem::exists(file->ResultFile));
        QCOMPARE(f.Grid().CellText(row, FileGrid::ResultColumn), names[row]);
        // Within the tolerance above the target; a reduction may land up to one step of its
        // table (about 3 %) below it.
        QVERIFY2(file->Loudness <= quietest * tralux::Operations::OnTargetTolerance &&
                     file->Loudness >= quietest / 1.03,
                 qPrintable(QString::number(file->Loudness)));
    }
    // The grid's scale is the loudest value shown; its texts are the unit's.
    double loudest = 0.0;
    for (const FileData* file : f.Grid().Files()) {
        loudest = std::max({loudest, file->ScanLoudness, file->Loudness});
    }
    QCOMPARE(f.Grid().LoudnessScale, loudest);
    QCOMPARE(f.Grid().Drawing().text(2810.0), QStringLiteral("8.6%"));
}

void MainWindowRunTest::controlsDuringARun() {
    WindowFixture f;
    f.Drop(ThreeShapes(f));
    auto& w = *f.window;
    int passes = 0;
    bool checked = false;
    QObject::connect(&w, &TBalanceVolumes::passStarted, [&](const QString& label, const QString&) {
        if (++passes != 2) {
            return;
        }
        checked = true;
        QVERIFY(w.cancelbtn->isEnabled());
        QVERIFY(w.helpbtn->isEnabled());
        QVERIFY(w.addfilesbtn->isEnabled());
        QVERIFY(w.quietestbtn->isEnabled());
        QVERIFY(w.presetbtn->isEnabled());
        for (QPushButton* off :
             {w.exitbtn, w.advancedbtn, w.preparebtn, w.balancebtn, w.prepbalbtn, w.remselbtn,
              w.remallbtn, w.addpresetbtn, w.delpresetbtn, w.groupingbtn}) {
            QVERIFY2(!off->isEnabled(), qPrintable(off->objectName()));
        }
        QVERIFY(w.gauge_label->isVisible());
        QVERIFY(w.gauge_filename->isVisible());
        QVERIFY(w.onefilegauge->isVisible());
        QCOMPARE(w.gauge_label->text(), label);
        // The gauge stands right of the widest result name, inside the progress box.
        QVERIFY(w.onefilegauge->x() >= w.gauge_filename->x() + 6);
        QVERIFY(w.onefilegauge->geometry().right() < w.progressgroup->width());
    });
    f.Click(w.prepbalbtn);
    QVERIFY(checked);
}

void MainWindowRunTest::progressLineAndEstimate() {
    WindowFixture f;
    auto& w = *f.window;
    w.Host().ShowProgressLine({"short.wav", "a much longer result name_tralux.wav"});
    QVERIFY(w.gauge_label->isVisible());
    QVERIFY(!w.eta_value->isVisible());
    QCOMPARE(w.onefilegauge->x(), w.gauge_filename->x() +
                                      w.gauge_filename->fontMetrics().horizontalAdvance(
                                          "a much longer result name_tralux.wav") +
                                      6);
    w.Host().PassStarted("Reducing:", "short.wav");
    QCOMPARE(w.gauge_label->text(), QStringLiteral("Reducing:"));
    QCOMPARE(w.gauge_filename->text(), QStringLiteral("short.wav"));
    QCOMPARE(w.onefilegauge->value(), 0);
    w.Host().PassProgress(42);
    QCOMPARE(w.onefilegauge->value(), 42);
    // The estimate goes into the title, where the desktop shows the program's entry.
    w.Host().ShowEstimate("1:05", "Time Remaining: 1:05");
    QCOMPARE(w.ApplicationTitle(), QStringLiteral("1:05"));
    QVERIFY(w.windowTitle().startsWith("1:05"));
    QCOMPARE(w.eta_value->text(), QStringLiteral("Time Remaining: 1:05"));
    QVERIFY(w.eta_value->isVisible());
    QVERIFY(w.eta_value->x() > w.onefilegauge->geometry().right());
    w.Host().PassEnded();
    QVERIFY(!w.onefilegauge->isVisible());
    QCOMPARE(w.gauge_label->text(), QString());
    w.Host().HideProgressLine();
    w.SetApplicationTitle("Tralux");
    QCOMPARE(w.windowTitle(), QStringLiteral("Tralux 1.10"));
    QVERIFY(!w.eta_value->isVisible());
    QVERIFY(!w.gauge_label->isVisible());
}

void MainWindowRunTest::cancelDuringARun() {
    WindowFixture f;
    f.Drop(ThreeShapes(f));
    auto& w = *f.window;
    int passes = 0;
    QObject::connect(&w, &TBalanceVolumes::passStarted, [&] {
        if (++passes == 2) {
            QTest::mouseClick(w.cancelbtn, Qt::LeftButton);
        }
    });
    f.Click(w.prepbalbtn);
    QCOMPARE(passes, 2);  // the run stopped after the block it was working on
    QVERIFY(!w.Engine().Running);
    QVERIFY(!w.Runs().ReadyToBalance);
    QVERIFY(!w.Runs().SourceLoudnessShown);
    QVERIFY(!w.Runs().ResultLoudnessShown);
    QCOMPARE(w.windowTitle(), QStringLiteral("Tralux 1.10"));
    QVERIFY(!w.onefilegauge->isVisible());
    QVERIFY(w.prepbalbtn->isEnabled());
    QVERIFY(!w.cancelbtn->isEnabled());
    // Cancelled while reading: told that no result was written.
    QCOMPARE(f.prompts.Texts(Kind::Information),
             QStringList{tralux::messages::CancelledNoneWritten});
    QCOMPARE(f.prompts.calls.size(), size_t{1});
    // The window is usable again: a new run completes.
    QObject::disconnect(&w, &TBalanceVolumes::passStarted, nullptr, nullptr);
    f.Click(w.prepbalbtn);
    QVERIFY(w.Runs().ResultLoudnessShown);
}

void MainWindowRunTest::closingDuringARunStopsItAndSaves() {
    WindowFixture f;
    f.Drop(ThreeShapes(f));
    auto& w = *f.window;
    int passes = 0;
    QObject::connect(&w, &TBalanceVolumes::passStarted, [&] {
        if (++passes == 2) {
            w.close();
        }
    });
    QVERIFY(!std::filesystem::exists(f.ini));
    f.Click(w.prepbalbtn);
    QCOMPARE(passes, 2);
    QVERIFY(!w.isVisible());
    QVERIFY(!w.Engine().Running);
    QVERIFY(f.IniText().find("[Options]") != std::string::npos);
    QVERIFY(f.IniText().find("[Windows]") != std::string::npos);
}

void MainWindowRunTest::filesOfferedDuringARunWaitForItsEnd() {
    WindowFixture f;
    f.Drop(ThreeShapes(f));
    auto& w = *f.window;
    const QString late = f.Tone("late.wav", 5000);
    const QString again = QString::fromStdString(f.Grid().Record(0)->SourceFile);
    int passes = 0;
    int countSeenLater = -1;
    QObject::connect(&w, &TBalanceVolumes::passStarted, [&] {
        ++passes;
        if (passes == 1) {
            f.Drop({late, again});
        } else if (passes == 3) {
            countSeenLater = w.FileCount;
        }
    });
    f.Click(w.prepbalbtn);
    QCOMPARE(countSeenLater, 3);  // not during the run
    QCOMPARE(w.FileCount, 4);     // but as soon as it has ended, duplicates skipped
    QCOMPARE(f.Grid().Record(3)->SourceFile, late.toStdString());
    QVERIFY(f.Grid().Record(3)->ResultFile.empty());
    QVERIFY(!w.Runs().ReadyToBalance);
    QVERIFY(f.prompts.calls.empty());
}

void MainWindowRunTest::runWithoutAChosenPresetDoesNotStart() {
    WindowFixture f;
    // "Preset:" checked and no drop-down item selected, as a settings file can leave it.
    f.StartWith("[Options]\ndefaultreflevel=3\ndefaultrefpreset=-1\n");
    auto& w = *f.window;
    QVERIFY(w.presetbtn->isChecked());
    // Loading mends it to the first preset; only code can take the selection away now.
    QCOMPARE(w.presetbox->currentIndex(), 0);
    w.presetbox->setCurrentIndex(-1);
    f.Drop({f.Tone("a.wav", 3000), f.Tone("b.wav", 6000)});
    f.Click(w.prepbalbtn);
    QCOMPARE(f.prompts.Texts(Kind::Error),
             QStringList{QString::fromUtf8(tralux::messages::NoPreset)});
    QVERIFY(f.Grid().Record(0)->ResultFile.empty());
    QVERIFY(!w.Engine().Running);
    QVERIFY(w.prepbalbtn->isEnabled());
}

void MainWindowRunTest::emptyListCannotRun() {
    WindowFixture f;
    QVERIFY(!f.window->preparebtn->isEnabled());
    QVERIFY(!f.window->prepbalbtn->isEnabled());
    // Even when asked directly, nothing runs and nothing is asked.
    f.window->preparebtnClick();
    f.window->prepbalbtnClick();
    f.window->balancebtnClick();
    QVERIFY(f.prompts.calls.empty());
    QVERIFY(!f.window->Engine().Running);
    QVERIFY(f.window->preparebtn->isVisible());
}

void MainWindowRunTest::highlightedFileAsReference() {
    WindowFixture f;
    f.Drop(ThreeShapes(f));
    f.ClickRow(1);
    f.Click(f.window->selectedbtn);
    f.Click(f.window->preparebtn);
    f.prompts.replies = {FakePrompts::Reply::Yes, FakePrompts::Reply::Yes};
    f.Click(f.window->balancebtn);
    const double reference = f.Grid().Record(1)->Loudness;
    for (const FileData* file : f.Grid().Files()) {
        QVERIFY(Near(file->Loudness, reference, 1.005));
    }
}

// The radio buttons stay enabled during a run; the run keeps the reference it started with.
void MainWindowRunTest::referenceChosenDuringARunWaitsForTheNext() {
    WindowFixture f;
    f.Drop(ThreeShapes(f));
    auto& w = *f.window;
    int passes = 0;
    QObject::connect(&w, &TBalanceVolumes::passStarted, [&](const QString&, const QString&) {
        if (++passes == 2) {
            f.Click(w.loudestbtn);
        }
    });
    f.Click(w.prepbalbtn);
    QVERIFY(w.loudestbtn->isChecked());
    // Brought to the quietest, without the question that raising them to the loudest asks.
    QVERIFY(f.prompts.calls.empty());
    const double quietest = f.Grid().Record(2)->Loudness;
    for (const FileData* file : f.Grid().Files()) {
        QVERIFY(Near(file->Loudness, quietest, 1.03));
    }
}

// ---------------------------------------------------------------------------------------
// Export

void MainWindowRunTest::exportIsWrittenByteForByte_data() {
    QTest::addColumn<int>("unit");
    QTest::addColumn<QString>("quiet");
    QTest::addColumn<QString>("full");
    QTest::addColumn<QString>("zero");
    QTest::newRow("percentage") << 0 << "8.6%"
                                << "100.0%"
                                << "0.0%";
    QTest::newRow("decibels") << 1 << "-21.3dB"
                              << "0.0dB"
                              << "-90.0dB";
    QTest::newRow("sample value") << 2 << "2810"
                                  << "32767"
                                  << "0";
}

void MainWindowRunTest::exportIsWrittenByteForByte() {
    QFETCH(int, unit);
    QFETCH(QString, quiet);
    QFETCH(QString, full);
    QFETCH(QString, zero);
    WindowFixture f;
    // The unit is chosen in the advanced options and applies at once.
    f.services.advancedResult = true;
    f.services.advancedEdit = [unit](tralux::Options& options) { options.loudnessunits = unit; };
    f.Click(f.window->advancedbtn);
    QCOMPARE(f.window->CurrentOptions().loudnessunits, unit);

    const QString measured = f.Tone("measured, with comma.wav", 3000);
    const QString added = f.Tone("added.wav", 3000);
    f.Drop({measured, added});
    FileData* first = f.Grid().Record(0);
    first->ScanLoudness = 2810.0;
    first->ResultFile = "/out/measured_tralux.wav";
    first->Loudness = 32767.0;

    const std::string csv = f.dir.File("results.csv");
    f.prompts.saveFiles.push_back(QString::fromStdString(csv));
    f.window->SavetoFile1->trigger();

    QCOMPARE(f.prompts.Texts(Kind::SaveFile), QStringList{"Save Results to File"});
    QCOMPARE(f.prompts.saveFilters.size(), 2);
    QCOMPARE(f.prompts.saveFilters[0], QStringLiteral("Comma Separated Text Files (*.csv)"));
    QVERIFY(f.prompts.saveFilters[1].startsWith("All Files ("));
    QCOMPARE(f.prompts.saveSuffix, QStringLiteral("csv"));
    const QString expected = "Source File,Source Loudness,Result File,Result Loudness\r\n\"" +
                             measured + "\",\"" + quiet + "\",\"/out/measured_tralux.wav\",\"" +
                             full + "\"\r\n\"" + added + "\",\"" + zero + "\",\"\",\"" + zero +
                             "\"\r\n";
    const std::vector<uint8_t> bytes = tralux::test::ReadFile(csv);
    QCOMPARE(QString::fromUtf8(reinterpret_cast<const char*>(bytes.data()),
                               static_cast<qsizetype>(bytes.size())),
             expected);
    QCOMPARE(f.prompts.Texts(Kind::Plain),
             QStringList{"Data Saved to File: " + QString::fromStdString(csv)});
    QVERIFY(QGuiApplication::overrideCursor() == nullptr);
}

void MainWindowRunTest::exportOfAnEmptyList() {
    WindowFixture f;
    const std::string csv = f.dir.File("empty.csv");
    f.prompts.saveFiles.push_back(QString::fromStdString(csv));
    f.window->SavetoFile1->trigger();
    const std::vector<uint8_t> bytes = tralux::test::ReadFile(csv);
    QCOMPARE(std::string(bytes.begin(), bytes.end()),
             std::string("Source File,Source Loudness,Result File,Result Loudness\r\n"));
}

void MainWindowRunTest::exportAfterARunHoldsFullPaths() {
    WindowFixture f;
    QVERIFY(f.window->CurrentOptions().fnamesonly);
    f.Drop(ThreeShapes(f));
    f.Click(f.window->prepbalbtn);
    const std::string csv = f.dir.File("run.csv");
    f.prompts.saveFiles.push_back(QString::fromStdString(csv));
    f.window->SavetoFile1->trigger();
    const std::vector<uint8_t> bytes = tralux::test::ReadFile(csv);
    const std::string text(bytes.begin(), bytes.end());
    for (const FileData* file : f.Grid().Files()) {
        QVERIFY(text.find('"' + file->SourceFile + "\",\"") != std::string::npos);
        QVERIFY(text.find("\",\"" + file->ResultFile + "\",\"") != std::string::npos);
    }
}

void MainWindowRunTest::cancelledExportWritesNothing() {
    WindowFixture f;
    f.window->SavetoFile1->trigger();  // no file queued: the dialog is cancelled
    QCOMPARE(f.prompts.calls.size(), size_t{1});
    QCOMPARE(f.prompts.calls[0].kind, Kind::SaveFile);
}

void MainWindowRunTest::failedExportIsReported() {
    WindowFixture f;
    f.prompts.saveFiles.push_back(QString::fromStdString(f.dir.File("missing folder/out.csv")));
    f.window->SavetoFile1->trigger();
    QCOMPARE(f.prompts.Texts(Kind::Error), QStringList{"File not found"});
    QVERIFY(f.prompts.Texts(Kind::Plain).isEmpty());
    QVERIFY(QGuiApplication::overrideCursor() == nullptr);
}

void MainWindowRunTest::exportOntoAListedFileIsRefused() {
    WindowFixture f;
    f.Drop(ThreeShapes(f));
    f.Click(f.window->preparebtn);
    const FileData* first = f.Grid().Record(0);
    const std::vector<uint8_t> source = tralux::test::ReadFile(first->SourceFile);
    const std::vector<uint8_t> result = tralux::test::ReadFile(first->ResultFile);
    const QString folder = f.dir.Path().c_str();
    const QString sourceName = QString::fromStdString(first->SourceFile).section('/', -1);
    const QString resultName = QString::fromStdString(first->ResultFile).section('/', -1);
    const QStringList targets = {folder + "/./" + sourceName, folder + "/" + resultName.toUpper()};
    for (const QString& target : targets) {
        f.prompts.saveFiles.push_back(target);
        f.window->SavetoFile1->trigger();
    }
    QCOMPARE(f.prompts.Texts(Kind::Error),
             QStringList(
                 {QString::fromStdString(tralux::RefusedExportMessage(targets[0].toStdString())),
                  QString::fromStdString(tralux::RefusedExportMessage(targets[1].toStdString()))}));
    QVERIFY(f.prompts.Texts(Kind::Plain).isEmpty());
    QVERIFY(tralux::test::ReadFile(first->SourceFile) == source);
    QVERIFY(tralux::test::ReadFile(first->ResultFile) == result);
}

QTEST_MAIN(MainWindowRunTest)
#include "MainWindowRunTest.moc"
