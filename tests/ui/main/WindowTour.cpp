// Not a test: starts the window with generated files, runs Prepare & Balance and saves
// screenshots before, during and after the run, for looking at the program as a user would.
// Usage: tralux_window_tour <folder for the PNG files>
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QPushButton>
#include <QThread>

#include "FakePrompts.h"
#include "FakeServices.h"
#include "TempDir.h"
#include "TestWav.h"
#include "dialogs/TAdvanced.h"
#include "dialogs/TTrackGrouping.h"
#include "engine/FileData.h"
#include "main/TBalanceVolumes.h"
#include "settings/Options.h"

using namespace tralux;

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tralux"));
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::tempPath();
    test::TempDir dir;
    test::FakePrompts prompts;
    test::FakeServices services;
    TBalanceVolumes window({dir.File("tralux.ini"), QString(), prompts, services});
    window.show();
    QApplication::processEvents();
    window.grab().save(out + "/tour-0-empty.png");

    const double amplitudes[] = {3000, 9000, 20000, 1500};
    const char* names[] = {"quiet piano.wav", "Loud Drums - Extended Mix.wav", "speech.wav",
                           "very quiet ambience recording at night.wav"};
    for (int i = 0; i < 4; ++i) {
        const std::string path = dir.File(names[i]);
        test::WriteWav(path, test::Sine(44100 * 120, amplitudes[i], 300 + 100 * i));
        window.AddFile(QString::fromStdString(path));
    }
    window.UpdateEnablement();
    QApplication::processEvents();
    window.grab().save(out + "/tour-1-listed.png");

    int passes = 0;
    QObject::connect(&window, &TBalanceVolumes::passStarted, [&](const QString&, const QString&) {
        ++passes;
        if (passes == 6) {
            // Long enough for the estimate to come up by the next pass.
            QThread::msleep(700);
        }
        if (passes == 7) {
            QApplication::processEvents();
            window.grab().save(out + "/tour-2-running.png");
        }
    });
    window.prepbalbtn->click();
    QApplication::processEvents();
    window.grab().save(out + "/tour-3-balanced.png");
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
    window.grab().save(out + "/tour-3b-grouped-decibels.png");
    window.resize(1000, 620);
    QApplication::processEvents();
    window.grab().save(out + "/tour-4-wide.png");
    window.resize(520, 380);
    QApplication::processEvents();
    window.grab().save(out + "/tour-5-narrow.png");
    // The two main dialogs, over the options and files of the last run.
    Options options = window.CurrentOptions();
    TAdvanced advanced(options, prompts, &window);
    advanced.show();
    QApplication::processEvents();
    advanced.grab().save(out + "/tour-6-advanced.png");
    advanced.hide();
    WindowPlacement placement;
    TTrackGrouping grouping(window.Files(), options, placement, &window);
    grouping.show();
    QApplication::processEvents();
    grouping.grab().save(out + "/tour-7-grouping.png");
    grouping.hide();
    for (const auto& call : prompts.calls) {
        qInfo("prompt %d: %s", static_cast<int>(call.kind), qPrintable(call.text));
    }
    return 0;
}
