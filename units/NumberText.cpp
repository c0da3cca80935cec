#include "units/NumberText.h"

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>

namespace tralux {

double RoundTiesToEven(double value) {
    if (!std::isfinite(value)) {
        return value;
    }
    // value - trunc(value) is exact, so a half is recognised without error.
    if (std::fabs(value - std::trunc(value)) == 0.5) {
        return 2.0 * std::round(value / 2.0);
    }
    return std::round(value);
}

std::string LocaleDecimalSeparator() {
    const std::lconv* conv = std::localeconv();
    if (conv == nullptr || conv->decimal_point == nullptr || conv->decimal_point[0] == '\0') {
        return ".";
    }
    return conv->decimal_point;
}

std::string FixedPointText(double value, const std::string& decimalSeparator) {
    if (std::isnan(value)) {
        return "NAN";
    }
    if (std::isinf(value)) {
        return value > 0 ? "INF" : "-INF";
    }
    const bool negative = std::signbit(value);
    const double magnitude = std::fabs(value);

    // Eighteen significant digits: d.ddddddddddddddddde±x (to_chars ignores the locale).
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific, 17);
    const std::string text(buffer, result.ptr);
    const size_t e = text.find('e');
    std::string digits = text.substr(0, 1) + text.substr(2, e - 2);
    const int exponent = std::atoi(text.c_str() + e + 1);

    // tenths: the digits of round(magnitude x 10), decided by the first dropped digit.
    const int keep = exponent + 2;
    std::string tenths;
    if (magnitude == 0.0 || keep < 0) {
        tenths = "0";
    } else if (keep == 0) {
        tenths = digits[0] >= '5' ? "1" : "0";
    } else if (keep >= static_cast<int>(digits.size())) {
        tenths = digits + std::string(keep - digits.size(), '0');
    } else {
        tenths = digits.substr(0, keep);
        if (digits[keep] >= '5') {
            int i = keep - 1;
            while (i >= 0 && tenths[i] == '9') {
                tenths[i--] = '0';
            }
            if (i >= 0) {
                ++tenths[i];
            } else {
                tenths.insert(tenths.begin(), '1');
            }
        }
    }
    const size_t firstNonZero = tenths.find_first_not_of('0');
    if (firstNonZero == std::string::npos) {
        return "0" + decimalSeparator + "0";
    }
    tenths.erase(0, std::min(firstNonZero, tenths.size() - 1));
    if (tenths.size() < 2) {
        tenths.insert(tenths.begin(), '0');
    }
    return (negative ? "-" : "") + tenths.substr(0, tenths.size() - 1) + decimalSeparator +
           tenths.back();
}

std::string FixedPointText(double value) {
    return FixedPointText(value, LocaleDecimalSeparator());
}

}  // namespace tralux
