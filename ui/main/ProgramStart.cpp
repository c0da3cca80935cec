#include "ProgramStart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QTextStream>

#include "dialogs/THelpViewer.h"
#include "main/TBalanceVolumes.h"

namespace tralux {

QString HelpFolderFor(const QString& executableFolder) {
    const QString beside = QDir::cleanPath(executableFolder + QStringLiteral("/help"));
    if (QFileInfo(beside).isDir()) {
        return beside;
    }
    const QString installed =
        QDir::cleanPath(executableFolder + QStringLiteral("/../share/tralux/help"));
    if (QFileInfo(installed).isDir()) {
        return installed;
    }
    return beside;
}

WindowArguments ParseWindowArguments(const QStringList& arguments, const QString& currentFolder) {
    WindowArguments parsed;
    const QDir current(currentFolder);
    bool optionsEnded = false;
    for (const QString& argument : arguments) {
        if (!optionsEnded && argument == QStringLiteral("--")) {
            optionsEnded = true;
        } else if (!optionsEnded && argument == QStringLiteral("--check-help")) {
            parsed.checkHelp = true;
        } else if (!optionsEnded &&
                   (argument == QStringLiteral("--help") || argument == QStringLiteral("-h"))) {
            parsed.help = true;
        } else if (!optionsEnded &&
                   (argument == QStringLiteral("--version") || argument == QStringLiteral("-V"))) {
            parsed.version = true;
        } else if (!optionsEnded && argument.size() > 1 && argument.startsWith(QLatin1Char('-'))) {
            if (parsed.problem.isEmpty()) {
                parsed.problem = QStringLiteral("unknown option '%1'").arg(argument);
            }
        } else if (!argument.isEmpty()) {
            parsed.files.append(QDir::cleanPath(current.absoluteFilePath(argument)));
        }
    }
    return parsed;
}

QStringList WithoutQtOptions(const QStringList& arguments) {
    static const QStringList withValue = {
        "platform", "platformpluginpath", "platformtheme", "plugin",      "qwindowgeometry",
        "geometry", "qwindowtitle",       "title",         "qwindowicon", "icon",
        "style",    "stylesheet",         "session",       "display",     "name",
    };
    static const QStringList alone = {"reverse", "widgetcount", "nograb",
                                      "dograb",  "sync",        "testability"};
    QStringList kept;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (argument == QStringLiteral("--")) {
            kept.append(arguments.mid(i));
            break;
        }
        QString name = argument;
        if (name.startsWith(QStringLiteral("--"))) {
            name.remove(0, 2);
        } else if (name.startsWith(QLatin1Char('-'))) {
            name.remove(0, 1);
        } else {
            kept.append(argument);
            continue;
        }
        const qsizetype equals = name.indexOf(QLatin1Char('='));
        if (withValue.contains(name.left(equals))) {
            if (equals < 0) {
                ++i;  // the value follows as the next argument
            }
        } else if (!alone.contains(name)) {
            kept.append(argument);
        }
    }
    return kept;
}

QString WindowUsageText() {
    return QStringLiteral(
        "Usage: tralux [FILE...]\n"
        "Balance the loudness of WAV files (any bit depth, rate and channels) and FLAC files\n"
        "in a window. The FILEs are put on the list as if they had been dropped on the window.\n"
        "\n"
        "  --check-help   start, press Help and exit: 0 when the help page can be shown\n"
        "  -h, --help     show this help and exit\n"
        "  -V, --version  show the version and exit\n"
        "\n"
        "tralux-cli runs the same Prepare and Balance from a terminal.\n");
}

bool CheckHelpOpens(TBalanceVolumes& window, UnattendedServices& services, QTextStream& out) {
    services.lastUrl.clear();
    window.helpbtn->click();
    const QUrl address = services.lastUrl;
    if (!address.isLocalFile()) {
        out << "help: no page was asked for\n";
        return false;
    }
    const QString page = address.toLocalFile();
    QFile file(page);
    if (!QFileInfo(page).isFile() || !file.open(QIODevice::ReadOnly)) {
        out << "help: cannot read " << page << "\n";
        return false;
    }
    // The program's own help window, as the Help button shows it to a user.
    THelpViewer viewer;
    viewer.ShowPage(address);
    const QString title = viewer.browser->documentTitle();
    if (title.isEmpty()) {
        out << "help: " << page << " shows no HTML page\n";
        return false;
    }
    out << "help: " << page << ": " << title << "\n";
    return true;
}

}  // namespace tralux
