#pragma once

class QWidget;

namespace tralux {

// A dialog frame with a title but no title-bar buttons.
void UseFrameWithoutButtons(QWidget* dialog);

// Moves a top-level window to the middle of the screen it is on (the primary one when it has
// none yet). Call once its size is known.
void CentreOnScreen(QWidget* window);

// Tooltips stay up this long, in milliseconds.
inline constexpr int HintDuration = 4000;

// Gives a control its hint as a tooltip that stays HintDuration.
void SetHint(QWidget* control, const char* hint);

}  // namespace tralux
