#pragma once

#include <QColor>
#include <QFontMetrics>
#include <QString>

#include <array>
#include <cstdint>

namespace tralux {

// The text shortened until it fits width pixels as measured by metrics. clipAtEnd (the
// setting truncends) drops characters at the end and appends "..."; otherwise characters go
// from the start behind a leading "...". A text that already fits comes back unchanged; a
// shortened one is always narrower than width, or "..." alone when nothing else fits.
QString FitText(const QString& text, int width, const QFontMetrics& metrics, bool clipAtEnd);

// Colours of track groups, indexed by group number modulo GroupColourCount.
inline constexpr int GroupColourCount = 15;
const std::array<QColor, GroupColourCount>& GroupColours();

// Colour of a file: red when it is in no group (number below 1), else its group's entry.
QColor GroupColour(int32_t groupNumber);

}  // namespace tralux
