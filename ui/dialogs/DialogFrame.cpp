#include "DialogFrame.h"

#include <QGuiApplication>
#include <QScreen>
#include <QStyle>
#include <QWidget>

#include <algorithm>

namespace tralux {

void UseFrameWithoutButtons(QWidget* dialog) {
    dialog->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
}

void CentreOnScreen(QWidget* window) {
    OpenOnScreen(window, nullptr);
}

QRect OpeningBounds(const QSize& frameSize, const QRect& over, const QList<QRect>& screens) {
    QRect frame(QPoint(0, 0), frameSize);
    if (over.isValid()) {
        frame.moveCenter(over.center());
    } else if (!screens.isEmpty()) {
        frame.moveCenter(screens.constFirst().center());
    }
    return BoundsOnScreen(frame, screens);
}

void OpenOnScreen(QWidget* window, const QWidget* over) {
    QScreen* screen = window->screen();
    if (screen == nullptr) {
        screen = QGuiApplication::primaryScreen();
    }
    if (screen == nullptr) {
        return;
    }
    // The screen the window is on first: without a window to open over, it opens there.
    QList<QRect> screens{screen->availableGeometry()};
    for (const QScreen* other : QGuiApplication::screens()) {
        if (other != screen) {
            screens.append(other->availableGeometry());
        }
    }
    const QMargins frame = FrameMargins(window);
    const QRect bounds =
        OpeningBounds(window->size().grownBy(frame),
                      over != nullptr ? over->window()->frameGeometry() : QRect(), screens);
    window->move(bounds.topLeft());
    window->resize(bounds.size().shrunkBy(frame));
}

QRect BoundsOnScreen(const QRect& frame, const QList<QRect>& screens) {
    if (screens.isEmpty()) {
        return frame;
    }
    QRect screen = screens.constFirst();
    qint64 mostShared = 0;
    for (const QRect& candidate : screens) {
        const QRect shared = candidate.intersected(frame);
        const qint64 area = qint64(shared.width()) * shared.height();
        if (area > mostShared) {
            mostShared = area;
            screen = candidate;
        }
    }
    QRect fitted(frame.topLeft(), QSize(std::min(frame.width(), screen.width()),
                                        std::min(frame.height(), screen.height())));
    if (fitted.right() > screen.right()) {
        fitted.moveRight(screen.right());
    }
    if (fitted.bottom() > screen.bottom()) {
        fitted.moveBottom(screen.bottom());
    }
    if (fitted.left() < screen.left()) {
        fitted.moveLeft(screen.left());
    }
    if (fitted.top() < screen.top()) {
        fitted.moveTop(screen.top());
    }
    return fitted;
}

QRect BoundsOnScreen(const QRect& frame) {
    QList<QRect> screens;
    if (QScreen* primary = QGuiApplication::primaryScreen()) {
        screens.append(primary->availableGeometry());
    }
    for (const QScreen* screen : QGuiApplication::screens()) {
        if (screen != QGuiApplication::primaryScreen()) {
            screens.append(screen->availableGeometry());
        }
    }
    return BoundsOnScreen(frame, screens);
}

QMargins FrameMargins(const QWidget* window) {
    const QRect frame = window->frameGeometry();
    const QRect client = window->geometry();
    if (frame != client) {
        return {client.left() - frame.left(), client.top() - frame.top(),
                frame.right() - client.right(), frame.bottom() - client.bottom()};
    }
    const QStyle* style = window->style();
    const int border = style->pixelMetric(QStyle::PM_MdiSubWindowFrameWidth, nullptr, window);
    const int title = style->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, window);
    return {border, title, border, border};
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
