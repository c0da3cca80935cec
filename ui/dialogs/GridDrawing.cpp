#include "GridDrawing.h"

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

QColor GroupColour(int32_t groupNumber) {
    if (groupNumber < 1) {
        return QColor(255, 0, 0);
    }
    return GroupColours()[static_cast<size_t>(groupNumber % GroupColourCount)];
}

}  // namespace tralux
