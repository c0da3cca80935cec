#include "GridDrawing.h"

#include <algorithm>
#include <cmath>

namespace tralux {
namespace {

const QString Ellipsis = QStringLiteral("...");

// Length of the first or last character in UTF-16 units, so that a surrogate pair is never
// split into half a character.
qsizetype FirstCharLength(const QString& text) {
    return text.size() >= 2 && text.at(0).isHighSurrogate() && text.at(1).isLowSurrogate() ? 2 : 1;
}

qsizetype LastCharLength(const QString& text) {
    const qsizetype n = text.size();
    return n >= 2 && text.at(n - 1).isLowSurrogate() && text.at(n - 2).isHighSurrogate() ? 2 : 1;
}

}  // namespace

QString FitText(const QString& text, int width, const QFontMetrics& metrics, bool clipAtEnd) {
    if (metrics.horizontalAdvance(text) <= width) {
        return text;
    }
    QString rest = text;
    while (!rest.isEmpty()) {
        if (clipAtEnd) {
            rest.chop(LastCharLength(rest));
            const QString candidate = rest + Ellipsis;
            if (metrics.horizontalAdvance(candidate) < width) {
                return candidate;
            }
        } else {
            rest.remove(0, FirstCharLength(rest));
            const QString candidate = Ellipsis + rest;
            if (metrics.horizontalAdvance(candidate) < width) {
                return candidate;
            }
        }
    }
    return Ellipsis;
}

const std::array<QColor, GroupColourCount>& GroupColours() {
    static const std::array<QColor, GroupColourCount> colours = {
        QColor(0, 255, 255),    // aqua
        QColor(255, 0, 255),    // fuchsia
        QColor(0, 128, 0),      // green
        QColor(128, 0, 0),      // maroon
        QColor(0, 128, 128),    // teal
        QColor(128, 128, 0),    // olive
        QColor(128, 0, 128),    // purple
        QColor(192, 192, 192),  // silver
        QColor(0, 0, 255),      // blue
        QColor(0, 255, 0),      // lime
        QColor(255, 255, 0),    // yellow
        QColor(128, 128, 128),  // grey
        QColor(0, 0, 128),      // navy
        QColor(128, 128, 128),  // grey
        QColor(192, 192, 192),  // silver
    };
    return colours;
}

namespace {

double Linear(double channel) {
    return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}

double Luminance(const QColor& colour) {
    return 0.2126 * Linear(colour.redF()) + 0.7152 * Linear(colour.greenF()) +
           0.0722 * Linear(colour.blueF());
}

}  // namespace

double ContrastRatio(const QColor& a, const QColor& b) {
    const double la = Luminance(a);
    const double lb = Luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor LegibleOn(const QColor& colour, const QColor& background) {
    if (ContrastRatio(colour, background) >= LegibleContrast) {
        return colour;
    }
    // Towards black on a light background, towards white on a dark one: whichever end is
    // farther from the background.
    const bool darken =
        ContrastRatio(Qt::black, background) >= ContrastRatio(Qt::white, background);
    const QColor hsl = colour.toHsl();
    QColor candidate = colour;
    for (int step = 1; step <= 20; ++step) {
        const double lightness = darken ? hsl.lightnessF() * (1.0 - step / 20.0)
                                        : hsl.lightnessF() + (1.0 - hsl.lightnessF()) * step / 20.0;
        // Judged as it will be drawn, in 8 bits per channel.
        const QColor exact = QColor::fromHslF(hsl.hslHueF(), hsl.hslSaturationF(), lightness);
        candidate = QColor(exact.red(), exact.green(), exact.blue());
        if (ContrastRatio(candidate, background) >= LegibleContrast) {
            break;
        }
    }
    return candidate;
}

QColor GroupColour(int32_t groupNumber) {
    if (groupNumber < 1) {
        return QColor(255, 0, 0);
    }
    return GroupColours()[static_cast<size_t>(groupNumber % GroupColourCount)];
}

}  // namespace tralux
