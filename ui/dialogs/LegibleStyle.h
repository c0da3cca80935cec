#pragma once

#include <QProxyStyle>

namespace tralux {

// The desktop's style, with radio buttons and check boxes that stay legible on a dark
// palette: some styles draw their rims a shade darker than the window, which on a dark window
// is next to invisible. There the rim is drawn again in a colour between the text's and the
// window's.
class LegibleStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget = nullptr) const override;

    // Whether a palette is a dark one: its window darker than its text.
    static bool IsDark(const QPalette& palette);
};

}  // namespace tralux
