#include "TPromptDlg.h"

#include "DialogFrame.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace tralux {

TPromptDlg::TPromptDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("TPromptDlg"));
    setWindowTitle(QStringLiteral("Prompt"));
    UseFrameWithoutButtons(this);

    reply = new QLineEdit(this);
    reply->setObjectName(QStringLiteral("reply"));
    okbtn = new QPushButton(QStringLiteral("&OK"), this);
    okbtn->setObjectName(QStringLiteral("okbtn"));
    okbtn->setDefault(true);
    cancelbtn = new QPushButton(QStringLiteral("&Cancel"), this);
    cancelbtn->setObjectName(QStringLiteral("cancelbtn"));

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(okbtn);
    buttons->addWidget(cancelbtn);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(reply);
    layout->addLayout(buttons);

    // Wide enough for the question in the title bar; the size stays fixed.
    setFixedSize(QSize(340, sizeHint().height()));
    setTabOrder(reply, okbtn);
    setTabOrder(okbtn, cancelbtn);
    reply->setFocus();

    connect(okbtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancelbtn, &QPushButton::clicked, this, &QDialog::reject);
}

void TPromptDlg::SetPrompt(const QString& question, const QString& initialReply) {
    setWindowTitle(question);
    reply->setText(initialReply);
}

void TPromptDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    CentreOnScreen(this);
    reply->setFocus();
}

}  // namespace tralux
