#pragma once

#include <QList>
#include <QMargins>
#include <QRect>
#include <QString>

class QWidget;

namespace tralux {

// A dialog frame with a title but no title-bar buttons.
void UseFrameWithoutButtons(QWidget* dialog);

// Moves a top-level window to the middle of the screen it is on (the primary one when it has
// none yet), its frame within the screen. Call once its size is known.
void CentreOnScreen(QWidget* window);

// Where a window's frame opens: centred over the frame of the window it belongs to (over the
// first screen without one), then brought onto the screens as BoundsOnScreen does.
QRect OpeningBounds(const QSize& frameSize, const QRect& over, const QList<QRect>& screens);
// Places a top-level window so that it opens over `over` (nullptr: the middle of the screen)
// with its whole frame on the screen, shrunk if it must be. Call once its size is known.
void OpenOnScreen(QWidget* window, const QWidget* over);

// Bounds of a window's frame brought onto a screen: onto the one of the given available areas
// that holds most of them (the first, the primary screen, when none does), shrunk where they
// are larger than it and moved only as far as needed to lie within it.
QRect BoundsOnScreen(const QRect& frame, const QList<QRect>& screens);
// The same over the screens of this desktop.
QRect BoundsOnScreen(const QRect& frame);

// The frame a window has around its client area, or the likely one before the desktop has
// framed it: room for a title bar above and a border on the other sides.
QMargins FrameMargins(const QWidget* window);

// Tooltips stay up this long, in milliseconds.
inline constexpr int HintDuration = 4000;

// A caption as it is shown: "&&" is a literal ampersand, a single "&" marks the next letter
// as the control's mnemonic and is not shown.
QString ShownCaption(const QString& caption);

// Gives a control its hint as a tooltip that stays HintDuration.
void SetHint(QWidget* control, const char* hint);

}  // namespace tralux
