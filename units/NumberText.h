#pragma once

#include <string>

namespace tralux {

// Nearest integer, halves to the even neighbour (2.5 -> 2, 3.5 -> 4, -2.5 -> -2), whatever
// the floating-point rounding mode. Infinities and NaN come back unchanged.
double RoundTiesToEven(double value);

// The decimal separator of the C library's current locale (std::localeconv()), "." in the
// "C" locale. The Qt layer passes QLocale's separator explicitly instead.
std::string LocaleDecimalSeparator();

// Fixed notation with exactly one decimal: the value is expanded to 18 significant decimal
// digits and rounded half away from zero on that expansion (0.25 -> "0.3"). No thousands
// separators; "-" only when the rounded value is not zero (never "-0.0").
std::string FixedPointText(double value, const std::string& decimalSeparator);
std::string FixedPointText(double value);  // with LocaleDecimalSeparator()

}  // namespace tralux
