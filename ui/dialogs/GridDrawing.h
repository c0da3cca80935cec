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

// How far apart two colours are for the eye: the ratio of their relative luminances (each
// plus 0.05), from 1 (the same) to 21 (black on white).
double ContrastRatio(const QColor& a, const QColor& b);

// Text contrast that reads comfortably.
inline constexpr double LegibleContrast = 4.5;

// The colour itself where it reads well on background; otherwise the same hue made darker (on
// a light background) or lighter (on a dark one) until it does. Used for texts drawn in a
// group's colour, so that they stay readable on the selection and on dark palettes.
QColor LegibleOn(const QColor& colour, const QColor& background);

// Colour of a file: red when it is in no group (number below 1), else its group's entry.
QColor GroupColour(int32_t groupNumber);

}  // namespace tralux
