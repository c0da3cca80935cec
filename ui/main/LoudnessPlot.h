#pragma once

#include <QString>
#include <QWidget>

#include <functional>
#include <optional>
#include <vector>

namespace tralux {

// A small picture of one file's short-term loudness over time: the source's curve, the
// result's (written or planned) and the target as a level line, so that what compression did
// shows at a glance. Levels are on the 16-bit sample scale; the labels are in the unit chosen.
class LoudnessPlot : public QWidget {
    Q_OBJECT

public:
    explicit LoudnessPlot(QWidget* parent = nullptr);

    struct Curves {
        std::vector<double> Source;
        std::vector<double> Result;
        QString ResultName;  // "Planned" or "Result"
        std::optional<double> Target;
    };

    // Shows the curves; with no source curve, the text says why the plot is empty.
    void ShowCurves(Curves curves, const QString& emptyText = QString());
    void ShowNothing(const QString& text);
    // How a level is written on the axis.
    void SetLevelText(std::function<QString(double)> levelText);

    const Curves& Shown() const { return curves_; }
    const QString& EmptyText() const { return emptyText_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Curves curves_;
    QString emptyText_;
    std::function<QString(double)> levelText_;
};

}  // namespace tralux
