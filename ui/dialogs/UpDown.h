#pragma once

#include <QWidget>

class QToolButton;

namespace tralux {

// An up-down spinner: two arrow buttons that report only the direction of each click
// (+1 up, -1 down), repeating while held. The value it steps lives elsewhere.
class UpDown : public QWidget {
    Q_OBJECT

public:
    explicit UpDown(QWidget* parent = nullptr);

    QToolButton* up;
    QToolButton* down;

    QSize sizeHint() const override;

signals:
    void Clicked(int direction);
};

}  // namespace tralux
