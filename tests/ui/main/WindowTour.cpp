// Not a test: starts the window with generated files, runs Prepare & Balance and saves
// screenshots before, during and after the run, for looking at the program as a user would.
// Usage: tralux_window_tour <folder for the PNG files>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>
#include <QThread>
#include <QUrl>

#include <filesystem>

#include "FakePrompts.h"
#include "FakeServices.h"
#include "TempDir.h"
#include "TestWav.h"
#include "dialogs/TAdvanced.h"
#include "dialogs/THelpViewer.h"
#include "dialogs/TTrackGrouping.h"
#include "engine/FileData.h"
#include "main/FileGrid.h"
#include "main/TBalanceVolumes.h"
#include "settings/Options.h"

using namespace tralux;

namespace {

// Saves a screenshot and says where, so that the run's output lists every picture.
void Shot(QWidget& widget, const QString& path) {
    if (widget.grab().save(path)) {
        qInfo("screenshot: %s", qPrintable(path));
    } else {
        qWarning("screenshot not saved: %s", qPrintable(path));
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tralux"));
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::tempPath();
    QDir().mkpath(out);
    test::TempDir dir;
    test::FakePrompts prompts;
    test::FakeServices services;
    TBalanceVolumes window({dir.File("tralux.ini"), QString(), prompts, services});
    window.show();
    QApplication::processEvents();
    Shot(window, out + "/tour-0-empty.png");

    const double amplitudes[] = {3000, 9000, 20000, 1500};
    const char* names[] = {"quiet piano.wav", "Loud Drums - Extended Mix.wav", "speech.wav",
                           "very quiet ambience recording at night.wav"};
    for (int i = 0; i < 4; ++i) {
        const std::string path = dir.File(names[i]);
        test::Samples samples = test::Sine(44100 * 120, amplitudes[i], 300 + 100 * i);
        if (i == 2) {
            // Speech comes and goes: ten-second stretches of changing level.
            const double levels[] = {14000, 3000, 8000, 2000};
            samples.clear();
            for (int part = 0; part < 12; ++part) {
                const test::Samples piece = test::Sine(44100 * 10, levels[part % 4], 500);
                samples.insert(samples.end(), piece.begin(), piece.end());
            }
        }
        test::WriteWav(path, samples);
        window.AddFile(QString::fromStdString(path));
    }
    window.UpdateEnablement();
    QApplication::processEvents();
    Shot(window, out + "/tour-1-listed.png");
    // The preview: measured once, planned for the quietest and then for the loudest.
    window.Preview1->trigger();
    QApplication::processEvents();
    Shot(window, out + "/tour-1b-preview.png");
    window.loudestbtn->click();
    QApplication::processEvents();
    Shot(window, out + "/tour-1c-preview-loudest.png");
    // The plot of the highlighted file: what the plan does to the speech's changing level.
    window.filegrid->setCurrentCell(2, 0);
    QApplication::processEvents();
    Shot(window, out + "/tour-1d-loudness-plot.png");
    // The same by LUFS, with the broadcast columns: the result's planned LUFS and true peak.
    window.ShowBroadcast1->trigger();
    window.measurebox->setCurrentIndex(1);
    emit window.measurebox->activated(1);
    window.Preview1->trigger();
    QApplication::processEvents();
    window.resize(1600, window.height());
    window.filegrid->setColumnWidth(FileGrid::ResultColumn, 60);
    window.filegrid->horizontalScrollBar()->setValue(
        window.filegrid->horizontalScrollBar()->maximum());
    QApplication::processEvents();
    Shot(window, out + "/tour-1e-preview-lufs.png");
    window.ShowBroadcast1->trigger();
    window.measurebox->setCurrentIndex(0);
    emit window.measurebox->activated(0);
    window.filegrid->setCurrentCell(0, 0);
    window.quietestbtn->click();

    int passes = 0;
    QObject::connect(&window, &TBalanceVolumes::passStarted, [&](const QString&, const QString&) {
        ++passes;
        if (passes == 6) {
            // Long enough for the estimate to come up by the next pass.
            QThread::msleep(700);
        }
        if (passes == 7) {
            QApplication::processEvents();
            Shot(window, out + "/tour-2-running.png");
        }
    });
    window.prepbalbtn->click();
    QApplication::processEvents();
    Shot(window, out + "/tour-3-balanced.png");
    // Two files joined in a group, decibels shown, run again.
    services.groupingResult = true;
    services.groupingEdit = [](const std::vector<FileData*>& files) {
        files[1]->GroupNumber = 1;
        files[2]->GroupNumber = 1;
    };
    window.groupingbtn->click();
    services.advancedResult = true;
    services.advancedEdit = [](Options& options) { options.loudnessunits = 1; };
    window.advancedbtn->click();
    window.prepbalbtn->click();
    QApplication::processEvents();
    Shot(window, out + "/tour-3b-grouped-decibels.png");
    window.resize(1000, 620);
    QApplication::processEvents();
    Shot(window, out + "/tour-4-wide.png");
    window.resize(520, 380);
    QApplication::processEvents();
    Shot(window, out + "/tour-5-narrow.png");
    // The two main dialogs, over the options and files of the last run.
    Options options = window.CurrentOptions();
    TAdvanced advanced(options, prompts, &window);
    advanced.show();
    QApplication::processEvents();
    Shot(advanced, out + "/tour-6-advanced.png");
    advanced.hide();
    WindowPlacement placement;
    TTrackGrouping grouping(window.Files(), options, placement, &window);
    grouping.show();
    QApplication::processEvents();
    Shot(grouping, out + "/tour-7-grouping.png");
    grouping.hide();
    // A file added after the run: no value and no bar until it is measured.
    window.resize(700, 500);
    const std::string late = dir.File("added later.wav");
    test::WriteWav(late, test::Sine(44100, 5000));
    window.AddFile(QString::fromStdString(late));
    window.filegrid->setFocus();
    QApplication::processEvents();
    Shot(window, out + "/tour-8-unmeasured.png");
    // Keyboard: Tab leaves the grid for the buttons; the mnemonics are underlined with Alt.
    QTest::keyClick(window.filegrid, Qt::Key_Tab);
    QApplication::processEvents();
    Shot(window, out + "/tour-9-keyboard-focus.png");
    // The grouping dialog over a selection, with its colour marks.
    TTrackGrouping colouredGrouping(window.Files(), window.CurrentOptions(), placement);
    colouredGrouping.show();
    QApplication::processEvents();
    if (colouredGrouping.groupedfiles->count() > 0) {
        colouredGrouping.groupedfiles->item(0)->setSelected(true);
    }
    QApplication::processEvents();
    Shot(colouredGrouping, out + "/tour-10-grouping-colours.png");
    colouredGrouping.close();
    // The help window over a page written here, with a link to a page that is missing.
    std::filesystem::create_directories(dir.Path() / "help");
    const std::string page =
        "<html><body><h1>Tralux</h1><p>Balances the loudness of WAV files.</p>"
        "<p><a href=\"missing.html\">A page that is not there</a></p></body></html>";
    test::WriteFile(dir.File("help/introduction.html"),
                    std::vector<uint8_t>(page.begin(), page.end()));
    THelpViewer help;
    help.ShowPage(QUrl::fromLocalFile(QString::fromStdString(dir.File("help/introduction.html"))));
    help.show();
    QApplication::processEvents();
    Shot(help, out + "/tour-11-help.png");
    help.ShowPage(QUrl::fromLocalFile(QString::fromStdString(dir.File("help/missing.html"))));
    QApplication::processEvents();
    Shot(help, out + "/tour-12-help-missing.png");
    for (const auto& call : prompts.calls) {
        qInfo("prompt %d: %s", static_cast<int>(call.kind), qPrintable(call.text));
    }
    return 0;
}
