#include "TStartHint.h"

#include "DialogFrame.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace tralux {

TStartHint::TStartHint(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("TStartHint"));
    setWindowTitle(QStringLiteral("Getting Started"));
    UseFrameWithoutButtons(this);

    Label1 =
        new QLabel(QStringLiteral("To add WAV files to be balanced, drag and drop them"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label2 =
        new QLabel(QStringLiteral("from your file manager or press the Add Files button"), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    nohint = new QCheckBox(QStringLiteral("&Don't show this hint again"), this);
    nohint->setObjectName(QStringLiteral("nohint"));
    nohint->setChecked(false);
    Button1 = new QPushButton(QStringLiteral("&OK"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setDefault(true);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(Button1);
    buttons->addStretch();

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(2);
    layout->addWidget(Label1);
    layout->addWidget(Label2);
    layout->addSpacing(10);
    layout->addWidget(nohint);
    layout->addSpacing(6);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(Button1, &QPushButton::clicked, this, &TStartHint::Button1Click);
}

void TStartHint::Button1Click() {
    done(nohint->isChecked() ? QDialog::Rejected : QDialog::Accepted);
}

void TStartHint::reject() {
    Button1Click();
}

void TStartHint::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    CentreOnScreen(this);
}

}  // namespace tralux
