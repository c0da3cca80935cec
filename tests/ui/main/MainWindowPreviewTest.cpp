// The preview in the grid, and what the window tells after a No, a Cancel or a refused intake.

#include <QAction>
#include <QComboBox>
#include <QHeaderView>
#include <QPushButton>
#include <QRadioButton>

#include <cmath>
#include <filesystem>
#include <map>

#include "WindowFixture.h"
#include "engine/FileData.h"
#include "main/LoudnessPlot.h"
#include "operations/LoudnessCurve.h"
#include "operations/Operations.h"

using tralux::FileData;
using tralux::FileGrid;
using tralux::TBalanceVolumes;
using tralux::test::FakePrompts;
using tralux::test::WindowFixture;
using Kind = FakePrompts::Kind;
using Reply = tralux::Prompts::Reply;
namespace messages = tralux::messages;

namespace {

// Every entry of the folder with its modification time.
std::map<std::string, std::filesystem::file_time_type> Stamps(const std::string& folder) {
    std::map<std::string, std::filesystem::file_time_type> stamps;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        stamps[entry.path().filename().string()] = entry.last_write_time();
    }
    return stamps;
}

// Four files far apart in loudness once normalised: a square wave, a sine, a quiet sine with
// one loud spike (a balance to the loudest compresses it) and noise.
QStringList FourFiles(WindowFixture& f) {
    const int32_t frames = 44100;
    tralux::test::Samples square;
    for (int32_t i = 0; i < frames; ++i) {
        const int16_t v = (i / 50) % 2 == 0 ? 12000 : -12000;
        square.push_back(v);
        square.push_back(v);
    }
    tralux::test::Samples spiked = tralux::test::Sine(frames, 3000);
    spiked[1001] = 30000;
    const auto write = [&](const char* name, const tralux::test::Samples& samples) {
        return QString::fromStdString(tralux::test::WriteWav(f.dir.File(name), samples));
    };
    return {write("a.wav", square), write("b.wav", tralux::test::Sine(frames, 12000)),
            write("c.wav", spiked), write("d.wav", tralux::test::Noise(frames, 12000, 7))};
}

// Files of several seconds whose loudness changes: a quiet start and a loud end, a steady
// sine, and a silent one.
QStringList CurveFiles(WindowFixture& f) {
    tralux::test::Samples changing = tralux::test::Noise(2 * 44100, 2000, 3);
    const tralux::test::Samples loud = tralux::test::Noise(3 * 44100, 14000, 5);
    changing.insert(changing.end(), loud.begin(), loud.end());
    const auto write = [&](const char* name, const tralux::test::Samples& samples) {
        return QString::fromStdString(tralux::test::WriteWav(f.dir.File(name), samples));
    };
    return {write("changing.wav", changing),
            write("steady.wav", tralux::test::Sine(4 * 44100, 6000)),
            write("silent.wav", tralux::test::Constant(4 * 44100, 0, 0))};
}

const tralux::LoudnessPlot::Curves& Plotted(TBalanceVolumes& w) {
    return w.loudnessplot->Shown();
}

QString ResultHeader(TBalanceVolumes& w) {
    return w.filegrid->horizontalHeaderItem(FileGrid::ResultLoudnessColumn)->text();
}

}  // namespace

class MainWindowPreviewTest : public QObject {
    Q_OBJECT

private slots:
    void previewWritesNothingAndShowsWhatTheRunThenWrites();
    void aPreviewByLufsShowsWhatTheRunThenWrites();
    void noToABalanceQuestionIsTold();
    void cancelTellsWhatWasKept();
    void oneBoxListsEveryRefusedFileWithItsReason();
    void theLoudnessPlotShowsTheHighlightedFile();
    void theLoudnessPlotReadsNothingDuringARun();
    void broadcastColumnsAreSwitchedFromTheMenuMeasuredAndKept();
};

void MainWindowPreviewTest::previewWritesNothingAndShowsWhatTheRunThenWrites() {
    WindowFixture f;
    f.Drop(FourFiles(f));
    auto& w = *f.window;
    int passes = 0;
    QObject::connect(&w, &TBalanceVolumes::passStarted, [&] { ++passes; });
    const auto before = Stamps(f.dir.Path().string());

    w.Preview1->trigger();
    QCOMPARE(passes, 4);  // one read of each source
    QVERIFY(Stamps(f.dir.Path().string()) == before);
    QCOMPARE(ResultHeader(w), QStringLiteral("Planned Loudness"));
    const std::vector<double> quietest = [&] {
        std::vector<double> levels;
        for (const auto& row : w.PlanShown().Rows) {
            levels.push_back(row.Loudness);
        }
        return levels;
    }();
    QCOMPARE(quietest.size(), size_t{4});

    // Another reference is planned at once, without reading a file again.
    QTest::mouseClick(w.loudestbtn, Qt::LeftButton);
    QVERIFY(w.loudestbtn->isChecked());
    QCOMPARE(passes, 4);
    const std::vector<tralux::PreviewRow> rows = w.PlanShown().Rows;
    QCOMPARE(rows.size(), size_t{4});
    QVERIFY(rows[2].Loudness != quietest[2]);
    QVERIFY(rows[2].Compression > 1.0);
    // The whole planned text, which the column may cut short, is the cell's tip.
    const QString tip = w.filegrid->item(2, FileGrid::ResultLoudnessColumn)->toolTip();
    QVERIFY2(
        tip.startsWith(QStringLiteral("Planned: ")) && tip.contains(QStringLiteral("compressed x")),
        qPrintable(tip));

    // The run writes what was shown.
    for (int i = 0; i < 4; ++i) {
        f.prompts.replies.push_back(Reply::Yes);
    }
    f.Click(w.prepbalbtn);
    const std::vector<FileData*> files = w.filegrid->Files();
    for (size_t i = 0; i < files.size(); ++i) {
        QVERIFY(files[i]->Normalised);
        QCOMPARE(files[i]->Loudness, rows[i].Loudness);
    }
    QCOMPARE(ResultHeader(w), QStringLiteral("Result Loudness"));
    QVERIFY(w.PlanShown().Rows.empty());
    QVERIFY(w.filegrid->item(2, FileGrid::ResultLoudnessColumn)->toolTip().isEmpty());
}

void MainWindowPreviewTest::aPreviewByLufsShowsWhatTheRunThenWrites() {
    WindowFixture f;
    f.Drop(FourFiles(f));
    auto& w = *f.window;
    w.measurebox->setCurrentIndex(1);
    emit w.measurebox->activated(1);
    QCOMPARE(w.measurebox->currentText(), QStringLiteral("LUFS"));
    QVERIFY(w.Preview1->isEnabled());
    QStringList labels;
    QObject::connect(&w, &TBalanceVolumes::passStarted,
                     [&](const QString& label) { labels.push_back(label); });
    const auto before = Stamps(f.dir.Path().string());

    w.Preview1->trigger();
    QVERIFY(Stamps(f.dir.Path().string()) == before);
    QCOMPARE(ResultHeader(w), QStringLiteral("Planned Loudness"));
    QVERIFY(w.PlanShown().ByLufs);
    QCOMPARE(labels.count(QStringLiteral("Scanning:")), 4);

    // Another reference is planned again: the spiked file is compressed, each pass measured.
    QTest::mouseClick(w.loudestbtn, Qt::LeftButton);
    QVERIFY(Stamps(f.dir.Path().string()) == before);
    QCOMPARE(labels.count(QStringLiteral("Scanning:")), 4);
    QVERIFY(labels.count(QStringLiteral("Measuring:")) > 0);
    const tralux::Preview plan = w.PlanShown();
    QCOMPARE(plan.Rows.size(), size_t{4});
    QVERIFY(plan.Rows[2].Compression > 1.0);
    // The result's broadcast column says the planned loudness and true peak, marked as planned.
    for (int row = 0; row < 4; ++row) {
        const auto planned = w.filegrid->PlannedResult(*w.filegrid->Record(row));
        QVERIFY(planned && plan.Rows[size_t(row)].Lufs);
        const QString lufs = QString::number(*plan.Rows[size_t(row)].Lufs, 'f', 1);
        QVERIFY2(planned->broadcast.startsWith(lufs + QStringLiteral(" LUFS, ")) &&
                     planned->broadcast.endsWith(QStringLiteral(" dBTP (planned)")),
                 qPrintable(planned->broadcast));
        QVERIFY(plan.Rows[size_t(row)].TruePeakDb <= -1.0);
    }
    // The plot draws the planned levels, but no target line: a target in LUFS is not a level.
    f.ClickRow(2);
    QCOMPARE(Plotted(w).ResultName, QStringLiteral("Planned"));
    QVERIFY(!Plotted(w).Target);
    // Another highlighted file changes nothing the plan depends on: nothing is read again.
    const qsizetype measuring = labels.count(QStringLiteral("Measuring:"));
    w.filegrid->setCurrentCell(3, 0);
    w.filegrid->setCurrentCell(1, 0);
    QCOMPARE(labels.count(QStringLiteral("Measuring:")), measuring);
    QVERIFY(w.PlanShown().ByLufs);

    for (int i = 0; i < 4; ++i) {
        f.prompts.replies.push_back(Reply::Yes);
    }
    f.Click(w.prepbalbtn);
    const std::vector<FileData*> files = w.filegrid->Files();
    for (size_t i = 0; i < files.size(); ++i) {
        QVERIFY(files[i]->Normalised);
        QVERIFY(plan.Rows[i].Lufs && files[i]->ResultBroadcast.IntegratedLufs);
        QCOMPARE(files[i]->Loudness, plan.Rows[i].Loudness);
        QVERIFY(std::fabs(*plan.Rows[i].Lufs - *files[i]->ResultBroadcast.IntegratedLufs) < 0.02);
        // Written: the columns show the result as measured, no longer the plan.
        QVERIFY(!w.filegrid->PlannedResult(*files[i]));
    }
}

void MainWindowPreviewTest::noToABalanceQuestionIsTold() {
    WindowFixture f;
    f.Drop(FourFiles(f));
    auto& w = *f.window;
    QTest::mouseClick(w.loudestbtn, Qt::LeftButton);
    f.Click(w.prepbalbtn);  // the compression question is answered No
    QVERIFY(!f.prompts.Texts(Kind::WarningYesNo).isEmpty());
    QCOMPARE(f.prompts.Texts(Kind::Information), QStringList{messages::NotBalanced});
}

void MainWindowPreviewTest::cancelTellsWhatWasKept() {
    WindowFixture f;
    f.Drop(FourFiles(f));
    auto& w = *f.window;
    int writes = 0;
    QObject::connect(&w, &TBalanceVolumes::passStarted, [&](const QString& label) {
        if (label != QStringLiteral("Scanning:") && ++writes == 2) {
            QTest::mouseClick(w.cancelbtn, Qt::LeftButton);
        }
    });
    f.Click(w.prepbalbtn);
    QCOMPARE(f.prompts.Texts(Kind::Information),
             QStringList{QString(messages::CancelledWrittenKept) + QStringLiteral("\r   a.wav")});
    QVERIFY(std::filesystem::exists(f.dir.File("a_tralux.wav")));
    QVERIFY(!std::filesystem::exists(f.dir.File("b_tralux.wav")));

    // Cancelled while reading: nothing written, and said so.
    f.prompts.calls.clear();
    writes = 0;
    QObject::disconnect(&w, &TBalanceVolumes::passStarted, nullptr, nullptr);
    QObject::connect(&w, &TBalanceVolumes::passStarted,
                     [&] { QTest::mouseClick(w.cancelbtn, Qt::LeftButton); });
    f.Click(w.preparebtn);
    QCOMPARE(f.prompts.Texts(Kind::Information), QStringList{messages::CancelledNoneWritten});
}

void MainWindowPreviewTest::oneBoxListsEveryRefusedFileWithItsReason() {
    WindowFixture f;
    const QString missing = QString::fromStdString(f.dir.File("missing.wav"));
    const QString folder = QString::fromStdString(f.dir.File("folder.wav"));
    std::filesystem::create_directory(folder.toStdString());
    const QString good = f.Tone("good.wav", 9000);
    f.Drop({missing, good, folder});
    QCOMPARE(f.window->FileCount, 1);
    QCOMPARE(f.prompts.Texts(Kind::Error),
             QStringList{QStringLiteral("These files were not added:\r\r   \"") + missing +
                         QStringLiteral("\" does not exist\r   \"") + folder +
                         QStringLiteral("\" is a folder, not a WAV file")});
}

QTEST_MAIN(MainWindowPreviewTest)
void MainWindowPreviewTest::theLoudnessPlotShowsTheHighlightedFile() {
    WindowFixture f;
    const QStringList paths = CurveFiles(f);
    f.Drop(paths);
    auto& w = *f.window;
    const auto curveOf = [](const std::string& path, const tralux::ValueTable* table = nullptr) {
        return tralux::ReadLoudnessCurve(path, table);
    };

    f.ClickRow(0);
    QCOMPARE(Plotted(w).Source.size(), size_t{3});  // five seconds: windows at 0, 1 and 2
    QVERIFY(Plotted(w).Source == curveOf(paths[0].toStdString()));
    QVERIFY(Plotted(w).Result.empty());
    QVERIFY(!Plotted(w).Target);
    f.ClickRow(1);
    QVERIFY(Plotted(w).Source == curveOf(paths[1].toStdString()));
    f.ClickRow(2);  // silent: nothing to draw, and a word why
    QVERIFY(Plotted(w).Source.empty());
    QVERIFY(!w.loudnessplot->EmptyText().isEmpty());

    // The preview's plan: the source read through the planned table, and the target.
    QTest::mouseClick(w.loudestbtn, Qt::LeftButton);
    w.Preview1->trigger();
    f.ClickRow(1);
    const tralux::PreviewRow planned = w.PlanShown().Rows.at(1);
    QVERIFY(planned.Planned && planned.Table);
    QCOMPARE(Plotted(w).ResultName, QStringLiteral("Planned"));
    QVERIFY(Plotted(w).Result == curveOf(paths[1].toStdString(), planned.Table.get()));
    QVERIFY(Plotted(w).Result != Plotted(w).Source);
    QVERIFY(Plotted(w).Target && *Plotted(w).Target == planned.Target);

    // After the run: the result as written.
    for (int i = 0; i < 4; ++i) {
        f.prompts.replies.push_back(Reply::Yes);
    }
    f.Click(w.prepbalbtn);
    const FileData* file = w.filegrid->Files().at(1);
    QVERIFY(file->Normalised);
    QCOMPARE(Plotted(w).ResultName, QStringLiteral("Result"));
    QVERIFY(!Plotted(w).Result.empty());
    QVERIFY(Plotted(w).Result == curveOf(file->ResultFile));
    QVERIFY(Plotted(w).Target);
    QCOMPARE(*Plotted(w).Target, tralux::Operations::TargetLoudness(
                                     *file, w.Runs().ReferenceLoudness, w.Runs().AnchorAtLoudest));
    f.ClickRow(0);
    QVERIFY(Plotted(w).Source == curveOf(paths[0].toStdString()));
    QVERIFY(Plotted(w).Result == curveOf(w.filegrid->Files().at(0)->ResultFile));
}

void MainWindowPreviewTest::theLoudnessPlotReadsNothingDuringARun() {
    WindowFixture f;
    const QStringList paths = CurveFiles(f);
    f.Drop(paths);
    auto& w = *f.window;
    f.ClickRow(0);
    const std::vector<double> first = Plotted(w).Source;
    QVERIFY(!first.empty());
    std::vector<double> duringRun;
    bool moved = false;
    QObject::connect(&w, &TBalanceVolumes::passStarted, [&] {
        if (!moved) {
            moved = true;
            w.filegrid->setCurrentCell(1, 0);
            duringRun = Plotted(w).Source;
        }
    });
    f.Click(w.preparebtn);
    QVERIFY(moved);
    QVERIFY(duringRun == first);  // the highlight moved, but no file was read for it
    QCOMPARE(w.filegrid->currentRow(), 1);
    QVERIFY(Plotted(w).Source == tralux::ReadLoudnessCurve(paths[1].toStdString()));
    // A prepared result is shown, but only a Balance has a target.
    QVERIFY(Plotted(w).Result == tralux::ReadLoudnessCurve(w.filegrid->Files().at(1)->ResultFile));
    QVERIFY(!Plotted(w).Result.empty());
    QVERIFY(!Plotted(w).Target);
}

void MainWindowPreviewTest::broadcastColumnsAreSwitchedFromTheMenuMeasuredAndKept() {
    WindowFixture f;
    f.Drop(CurveFiles(f));
    auto& w = *f.window;
    const auto columnsShown = [&] {
        return !w.filegrid->isColumnHidden(FileGrid::SourceBroadcastColumn) &&
               !w.filegrid->isColumnHidden(FileGrid::ResultBroadcastColumn);
    };
    const auto text = [&](int row, int column) {
        return FileGrid::BroadcastText(*w.filegrid->Record(row), column, QStringLiteral("."));
    };
    QVERIFY(!w.ShowBroadcast1->isChecked());
    QVERIFY(w.filegrid->isColumnHidden(FileGrid::SourceBroadcastColumn));
    QVERIFY(!w.Runs().MeasureBroadcast);
    f.Click(w.preparebtn);
    QVERIFY(text(0, FileGrid::SourceBroadcastColumn).isEmpty());  // off: nothing metered

    w.ShowBroadcast1->trigger();
    QVERIFY(w.ShowBroadcast1->isChecked() && columnsShown());
    QVERIFY(w.Runs().MeasureBroadcast);
    f.Click(w.preparebtn);
    for (const int column : {FileGrid::SourceBroadcastColumn, FileGrid::ResultBroadcastColumn}) {
        const QString steady = text(1, column);
        QVERIFY2(steady.contains(QStringLiteral(" LUFS, ")) &&
                     steady.contains(QStringLiteral(" dBTP, ")) &&
                     steady.endsWith(QStringLiteral(" LU")),
                 qPrintable(steady));
        QVERIFY(!steady.startsWith(QStringLiteral("- ")));  // it has a loudness
    }
    // A normalised result is louder than its source, as the column says.
    const FileData& steady = *w.filegrid->Record(1);
    QVERIFY(*steady.ResultBroadcast.IntegratedLufs > *steady.SourceBroadcast.IntegratedLufs);
    QCOMPARE(text(2, FileGrid::SourceBroadcastColumn),
             QStringLiteral("- LUFS, - dBTP, - LU"));             // silence has no loudness
    QVERIFY(text(2, FileGrid::ResultBroadcastColumn).isEmpty());  // and no result

    // Kept in the settings file: shown again at the next start, and gone once switched off.
    f.Restart();
    QVERIFY(f.IniText().find("showbroadcast=1") != std::string::npos);
    // Showing them set no width of the other columns, which still share the grid's width.
    QVERIFY(f.IniText().find("colwidths") == std::string::npos);
    QVERIFY(f.window->ShowBroadcast1->isChecked());
    QVERIFY(!f.window->filegrid->isColumnHidden(FileGrid::ResultBroadcastColumn));
    QVERIFY(f.window->Runs().MeasureBroadcast);
    f.window->ShowBroadcast1->trigger();
    QVERIFY(f.window->filegrid->isColumnHidden(FileGrid::SourceBroadcastColumn));
    QVERIFY(!f.window->Runs().MeasureBroadcast);
    f.Restart();
    QVERIFY(f.IniText().find("showbroadcast") == std::string::npos);
    QVERIFY(!f.window->ShowBroadcast1->isChecked());
}

#include "MainWindowPreviewTest.moc"
