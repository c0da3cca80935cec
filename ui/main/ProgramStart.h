#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

#include "main/WindowServices.h"

class QTextStream;

namespace tralux {

class TBalanceVolumes;

// Where the help pages are for a program whose executable lies in executableFolder: the folder
// "help" beside it (the build tree), else share/tralux/help of the prefix it is installed under.
// When neither exists, the folder beside the executable, so that the address still says where
// the pages were looked for.
QString HelpFolderFor(const QString& executableFolder);

// What the window program was asked for on its command line, after Qt has taken its own
// options out.
struct WindowArguments {
    QStringList files;  // absolute, in the order given: opened as if dropped on the window
    bool checkHelp = false;
    bool help = false;
    bool version = false;
    QString problem;  // not empty: the command line cannot be acted on
};

// arguments come without the program name; relative file names are taken from currentFolder.
// "--" ends the options, so that a file whose name starts with "-" can be named too.
WindowArguments ParseWindowArguments(const QStringList& arguments, const QString& currentFolder);

QString WindowUsageText();

// The command line without the options Qt takes for itself (-platform NAME, -style=NAME,
// -reverse ...), so that it can be read before Qt starts: Qt ends the program when it finds no
// display, and --help, --version or a mistyped option must not need one.
QStringList WithoutQtOptions(const QStringList& arguments);

// WindowServices for a start with nobody at the screen: no dialog is shown (the hint counts as
// not ticked) and the address handed to the help viewer is kept instead of opened.
class UnattendedServices : public WindowServices {
public:
    bool StartHint(QWidget*) override { return false; }
    std::optional<QString> AskName(QWidget*, const QString&, const QString&) override {
        return std::nullopt;
    }
    bool AdvancedOptions(QWidget*, Options&) override { return false; }
    bool TrackGrouping(QWidget*, const std::vector<FileData*>&, const Options&,
                       WindowPlacement&) override {
        return false;
    }
    void ShowHelpPage(QWidget*, const QUrl& page) override { lastUrl = page; }

    QUrl lastUrl;
};

// Presses the window's Help button as a user would and checks that the page it asks for can be
// shown: a readable HTML page with a title. Says what it found on out; true when it was found.
// The window must have been built over services.
bool CheckHelpOpens(TBalanceVolumes& window, UnattendedServices& services, QTextStream& out);

}  // namespace tralux
