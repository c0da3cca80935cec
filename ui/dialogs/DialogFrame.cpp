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

QString ShownCaption(const QString& caption) {
    QString shown;
    shown.reserve(caption.size());
    for (qsizetype i = 0; i < caption.size(); ++i) {
        if (caption.at(i) == QLatin1Char('&') && i + 1 < caption.size()) {
            ++i;  // "&&" shows one ampersand, "&x" shows x
        }
        shown.append(caption.at(i));
    }
    return shown;
}

void SetHint(QWidget* control, const char* hint) {
    control->setToolTip(QString::fromUtf8(hint));
    control->setToolTipDuration(HintDuration);
}

}  // namespace tralux
