#pragma once

#include <QString>

class QWidget;

namespace tralux {

// A dialog frame with a title but no title-bar buttons.
void UseFrameWithoutButtons(QWidget* dialog);

// Moves a top-level window to the middle of the screen it is on (the primary one when it has
// none yet). Call once its size is known.
void CentreOnScreen(QWidget* window);

// Tooltips stay up this long, in milliseconds.
inline constexpr int HintDuration = 4000;

// A caption as it is shown: "&&" is a literal ampersand, a single "&" marks the next letter
// as the control's mnemonic and is not shown.
QString ShownCaption(const QString& caption);

// Gives a control its hint as a tooltip that stays HintDuration.
void SetHint(QWidget* control, const char* hint);

}  // namespace tralux
