#include <QApplication>

#include "dialogs/Prompts.h"
#include "main/TBalanceVolumes.h"
#include "main/WindowServices.h"
#include "settings/Settings.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tralux"));

    const QString folder = QCoreApplication::applicationDirPath();
    tralux::QtPrompts prompts;
    tralux::QtWindowServices services(prompts);
    const tralux::MainWindowSetup setup{
        tralux::SettingsFilePath(folder.toUtf8().toStdString()),
        folder + QStringLiteral("/help"),
        prompts,
        services,
    };
    tralux::TBalanceVolumes window(setup);
    window.show();
    return QApplication::exec();
}
