#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

namespace tralux {

// Asks for one line of text; the question is the window title. exec() returns
// QDialog::Accepted for OK (Enter) and QDialog::Rejected for Cancel (Escape); on OK the
// caller reads reply->text() as typed, which may be empty.
class TPromptDlg : public QDialog {
    Q_OBJECT

public:
    explicit TPromptDlg(QWidget* parent = nullptr);

    // Sets the title to the question and the reply box to the initial reply.
    void SetPrompt(const QString& question, const QString& initialReply);

    QLineEdit* reply;
    QPushButton* okbtn;
    QPushButton* cancelbtn;

protected:
    void showEvent(QShowEvent* event) override;
};

}  // namespace tralux
