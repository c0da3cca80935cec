#pragma once

#include <QDialog>

class QCheckBox;
class QLabel;
class QPushButton;

namespace tralux {

// "Getting Started": tells a new user how to add files. exec() returns QDialog::Accepted
// (OK) when closed with "Don't show this hint again" unticked, QDialog::Rejected (Cancel)
// when ticked; the caller clears the setting givehint on Rejected.
class TStartHint : public QDialog {
    Q_OBJECT

public:
    explicit TStartHint(QWidget* parent = nullptr);

    QLabel* Label1;
    QLabel* Label2;
    QCheckBox* nohint;
    QPushButton* Button1;

    void Button1Click();

    // Every way of closing reports the tick, so Escape never switches the hint off unasked.
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;
};

}  // namespace tralux
