#include "DialogFrame.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace tralux {

void UseFrameWithoutButtons(QWidget* dialog) {
    dialog->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
}

void CentreOnScreen(QWidget* window) {
    QScreen* screen = window->screen();
    if (screen == nullptr) {
        screen = QGuiApplication::primaryScreen();
    }
    if (screen == nullptr) {
        return;
    }
    QRect frame = window->frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window->move(frame.topLeft());
}

void SetHint(QWidget* control, const char* hint) {
    control->setToolTip(QString::fromUtf8(hint));
    control->setToolTipDuration(HintDuration);
}

}  // namespace tralux
