#include "UpDown.h"

#include <QToolButton>
#include <QVBoxLayout>

namespace tralux {
namespace {

QToolButton* ArrowButton(QWidget* parent, Qt::ArrowType arrow, const char* name) {
    auto* button = new QToolButton(parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setArrowType(arrow);
    button->setAutoRepeat(true);
    button->setFocusPolicy(Qt::NoFocus);
    // The pair takes the height it is given, however small the arrows get.
    button->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    button->setMinimumSize(1, 1);
    return button;
}

}  // namespace

UpDown::UpDown(QWidget* parent) : QWidget(parent) {
    up = ArrowButton(this, Qt::UpArrow, "up");
    down = ArrowButton(this, Qt::DownArrow, "down");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(up);
    layout->addWidget(down);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    connect(up, &QToolButton::clicked, this, [this] { emit Clicked(1); });
    connect(down, &QToolButton::clicked, this, [this] { emit Clicked(-1); });
}

QSize UpDown::sizeHint() const {
    const int height = fontMetrics().height() + 10;
    return {qMax(16, height * 3 / 4), height};
}

}  // namespace tralux
