#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QStyle>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

#include "dialogs/LegibleStyle.h"
#include "dialogs/Prompts.h"
#include "main/ProgramStart.h"
#include "main/TBalanceVolumes.h"
#include "main/WindowServices.h"
#include "settings/Settings.h"

namespace {

// --help, --version and a mistaken option are answered before Qt starts, so that they work
// without a display (Qt ends the program when it finds none). Returns the exit code, or -1 when
// the window is to start.
int AnswerWithoutWindow(int argc, char* argv[]) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.append(QString::fromLocal8Bit(argv[i]));
    }
    const tralux::WindowArguments parsed =
        tralux::ParseWindowArguments(tralux::WithoutQtOptions(arguments), QString());
    if (parsed.help) {
        QTextStream(stdout) << tralux::WindowUsageText();
        return 0;
    }
    if (parsed.version) {
        QTextStream(stdout) << "Tralux " TRALUX_VERSION "\n";
        return 0;
    }
    if (!parsed.problem.isEmpty()) {
        QTextStream(stderr) << "tralux: " << parsed.problem << "\n" << tralux::WindowUsageText();
        return 2;
    }
    return -1;
}

// Starts the window over a settings file of its own, presses Help and ends: the installed
// program's self-test. It shows nothing that waits for a user and leaves no file behind.
int CheckHelp(const QString& helpFolder) {
    QTemporaryDir scratch;
    tralux::QtPrompts prompts;
    tralux::UnattendedServices services;
    tralux::TBalanceVolumes window(
        {QDir(scratch.path()).filePath("tralux.ini").toStdString(), helpFolder, prompts, services});
    window.show();
    QCoreApplication::processEvents();
    QTextStream out(stdout);
    const bool found = tralux::CheckHelpOpens(window, services, out);
    window.close();
    return found ? 0 : 1;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (const int answered = AnswerWithoutWindow(argc, argv); answered >= 0) {
        return answered;
    }
    QApplication application(argc, argv);
    // Over the desktop's own style (or the one named with -style).
    QApplication::setStyle(new tralux::LegibleStyle(QApplication::style()->name()));
    QApplication::setApplicationName(QStringLiteral("Tralux"));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.tralux.Tralux"));
    QIcon icon;
    for (const char* size : {"32", "48", "128", "256"}) {
        icon.addFile(QStringLiteral(":/icons/tralux-%1.png").arg(QLatin1String(size)));
    }
    QApplication::setWindowIcon(icon);

    const tralux::WindowArguments arguments =
        tralux::ParseWindowArguments(QCoreApplication::arguments().mid(1), QDir::currentPath());
    if (!arguments.problem.isEmpty()) {
        QTextStream(stderr) << "tralux: " << arguments.problem << "\n" << tralux::WindowUsageText();
        return 2;
    }
    const QString folder = QCoreApplication::applicationDirPath();
    const QString helpFolder = tralux::HelpFolderFor(folder);
    if (arguments.checkHelp) {
        return CheckHelp(helpFolder);
    }

    tralux::QtPrompts prompts;
    tralux::QtWindowServices services(prompts);
    const tralux::MainWindowSetup setup{
        tralux::SettingsFilePath(folder.toUtf8().toStdString()),
        helpFolder,
        prompts,
        services,
    };
    tralux::TBalanceVolumes window(setup);
    window.show();
    // Files named on the command line ("Open with" of a file manager) arrive as a drop does,
    // once the window is up, so that a refusal is shown over it.
    QTimer::singleShot(0, &window, [&window, files = arguments.files] {
        if (!files.isEmpty()) {
            window.OfferFiles(files);
        }
    });
    return QApplication::exec();
}
