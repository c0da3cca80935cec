#include "LegibleStyle.h"

#include <QPainter>
#include <QStyleOption>

namespace tralux {
namespace {

// Two thirds of the way from the window's colour to the text's: clearly seen, still quieter
// than the caption beside it.
QColor RimColour(const QPalette& palette, QPalette::ColorGroup group) {
    const QColor window = palette.color(group, QPalette::Window);
    const QColor text = palette.color(group, QPalette::WindowText);
    const auto mix = [](int from, int to) { return from + (to - from) * 2 / 3; };
    return QColor(mix(window.red(), text.red()), mix(window.green(), text.green()),
                  mix(window.blue(), text.blue()));
}

}  // namespace

bool LegibleStyle::IsDark(const QPalette& palette) {
    return palette.color(QPalette::Window).lightness() <
           palette.color(QPalette::WindowText).lightness();
}

void LegibleStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option,
                                 QPainter* painter, const QWidget* widget) const {
    QProxyStyle::drawPrimitive(element, option, painter, widget);
    const bool radio = element == PE_IndicatorRadioButton;
    if ((!radio && element != PE_IndicatorCheckBox) || !IsDark(option->palette)) {
        return;
    }
    const QPalette::ColorGroup group =
        option->state.testFlag(State_Enabled) ? QPalette::Active : QPalette::Disabled;
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, true);
    painter->setPen(QPen(RimColour(option->palette, group), 1.0));
    painter->setBrush(Qt::NoBrush);
    const QRectF rim = QRectF(option->rect).adjusted(0.5, 0.5, -0.5, -0.5);
    if (radio) {
        painter->drawEllipse(rim);
    } else {
        painter->drawRoundedRect(rim, 1.0, 1.0);
    }
    painter->restore();
}

}  // namespace tralux
