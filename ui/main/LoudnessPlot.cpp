#include "LoudnessPlot.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>

#include "operations/LoudnessCurve.h"

namespace tralux {

namespace {

// The line through the levels, the first window at the left edge, one window a second.
QPainterPath CurvePath(const std::vector<double>& levels, const QRectF& area, double top,
                       double seconds) {
    QPainterPath path;
    for (size_t i = 0; i < levels.size(); ++i) {
        const double x =
            area.left() + (seconds > 0.0 ? area.width() * static_cast<double>(i) / seconds : 0.0);
        const double y = area.bottom() - area.height() * std::min(levels[i] / top, 1.0);
        if (i == 0) {
            path.moveTo(x, y);
        } else {
            path.lineTo(x, y);
        }
    }
    if (levels.size() == 1) {
        path.lineTo(area.right(), path.currentPosition().y());  // one window: the whole file
    }
    return path;
}

}  // namespace

LoudnessPlot::LoudnessPlot(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("loudnessplot"));
    setToolTip(QStringLiteral(
        "Short-term loudness of the highlighted file: 3-second windows, one a second"));
}

void LoudnessPlot::ShowCurves(Curves curves, const QString& emptyText) {
    curves_ = std::move(curves);
    emptyText_ = curves_.Source.empty() ? emptyText : QString();
    update();
}

void LoudnessPlot::ShowNothing(const QString& text) {
    curves_ = Curves{};
    emptyText_ = text;
    update();
}

void LoudnessPlot::SetLevelText(std::function<QString(double)> levelText) {
    levelText_ = std::move(levelText);
    update();
}

void LoudnessPlot::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    const QPalette& colors = palette();
    painter.fillRect(rect(), colors.color(QPalette::Base));
    painter.setPen(colors.color(QPalette::Mid));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
    const QFontMetrics metrics(font());
    if (curves_.Source.empty()) {
        painter.setPen(colors.color(QPalette::PlaceholderText));
        painter.drawText(rect(), Qt::AlignCenter, emptyText_);
        return;
    }

    double top = 1.0;
    for (const std::vector<double>* levels : {&curves_.Source, &curves_.Result}) {
        for (const double level : *levels) {
            top = std::max(top, level);
        }
    }
    if (curves_.Target) {
        top = std::max(top, *curves_.Target);
    }
    top *= 1.1;

    const auto text = [&](double level) {
        return levelText_ ? levelText_(level) : QString::number(level, 'f', 0);
    };
    const int labelWidth =
        std::max(metrics.horizontalAdvance(text(top)), metrics.horizontalAdvance(text(top / 2)));
    const QRectF area(labelWidth + 8, metrics.height() + 4, width() - labelWidth - 14,
                      height() - 2 * metrics.height() - 10);
    if (area.width() < 10 || area.height() < 10) {
        return;
    }

    // Axes: two levels on the left, the length in seconds along the bottom.
    painter.setPen(colors.color(QPalette::Text));
    for (const double level : {top / 2, top}) {
        const double y = area.bottom() - area.height() * level / top;
        painter.drawText(QRectF(2, y - metrics.height() / 2.0, labelWidth, metrics.height()),
                         Qt::AlignRight | Qt::AlignVCenter, text(level));
        painter.setPen(colors.color(QPalette::Midlight));
        painter.drawLine(QPointF(area.left(), y), QPointF(area.right(), y));
        painter.setPen(colors.color(QPalette::Text));
    }
    painter.drawLine(area.bottomLeft(), area.bottomRight());
    const double seconds =
        static_cast<double>(std::max(curves_.Source.size(), curves_.Result.size()) - 1);
    const double length = seconds + CurveWindowFrames / static_cast<double>(CurveStepFrames);
    painter.drawText(
        QRectF(area.left(), area.bottom() + 2, area.width(), metrics.height()),
        Qt::AlignRight | Qt::AlignTop,
        QStringLiteral("%1 s").arg(curves_.Source.size() > 1 ? length : 0.0, 0, 'f', 0));
    painter.drawText(QRectF(area.left(), area.bottom() + 2, area.width(), metrics.height()),
                     Qt::AlignLeft | Qt::AlignTop, QStringLiteral("0 s"));

    painter.setRenderHint(QPainter::Antialiasing);
    const QColor sourceColor(70, 110, 200);
    const QColor resultColor(210, 90, 40);
    const QColor targetColor(40, 150, 60);
    if (curves_.Target) {
        const double y = area.bottom() - area.height() * *curves_.Target / top;
        painter.setPen(QPen(targetColor, 1, Qt::DashLine));
        painter.drawLine(QPointF(area.left(), y), QPointF(area.right(), y));
    }
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(sourceColor, 1.5));
    painter.drawPath(CurvePath(curves_.Source, area, top, seconds));
    if (!curves_.Result.empty()) {
        painter.setPen(QPen(resultColor, 1.5));
        painter.drawPath(CurvePath(curves_.Result, area, top, seconds));
    }

    // The key along the top.
    double x = area.left();
    const auto key = [&](const QColor& color, const QString& name) {
        painter.setPen(QPen(color, 2));
        const double y = metrics.height() / 2.0 + 2;
        painter.drawLine(QPointF(x, y), QPointF(x + 14, y));
        painter.setPen(colors.color(QPalette::Text));
        painter.drawText(QPointF(x + 18, metrics.ascent() + 2), name);
        x += 18 + metrics.horizontalAdvance(name) + 12;
    };
    key(sourceColor, QStringLiteral("Source"));
    if (!curves_.Result.empty()) {
        key(resultColor, curves_.ResultName);
    }
    if (curves_.Target) {
        key(targetColor, QStringLiteral("Target"));
    }
}

}  // namespace tralux
