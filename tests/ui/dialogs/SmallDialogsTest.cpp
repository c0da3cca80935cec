#include "DialogFrame.h"
#include "Mnemonics.h"
#include "TPromptDlg.h"
#include "TStartHint.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using tralux::ShownCaption;
using tralux::TPromptDlg;
using tralux::TStartHint;
using tralux::test::MnemonicProblems;

class SmallDialogsTest : public QObject {
    Q_OBJECT

private slots:
    void hintShowsItsTexts();
    void hintResultFollowsTheTick_data();
    void hintResultFollowsTheTick();
    void promptShowsTheQuestionAsTitle();
    void promptEnterIsOk_data();
    void promptEnterIsOk();
    void promptEscapeIsCancel();
};

// Runs the dialog modally and lets act() work on it once it is up.
template <typename Dialog, typename Act>
int ExecWith(Dialog& dialog, Act act) {
    QTimer::singleShot(0, &dialog, [&dialog, act] {
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        act();
    });
    return dialog.exec();
}

void SmallDialogsTest::hintShowsItsTexts() {
    TStartHint hint;
    QCOMPARE(hint.windowTitle(), QStringLiteral("Getting Started"));
    QCOMPARE(hint.findChild<QLabel*>("Label1")->text(),
             QStringLiteral("To add WAV files to be balanced, drag and drop them"));
    QCOMPARE(hint.findChild<QLabel*>("Label2")->text(),
             QStringLiteral("from your file manager or press the Add Files button"));
    QCOMPARE(ShownCaption(hint.findChild<QCheckBox*>("nohint")->text()),
             QStringLiteral("Don't show this hint again"));
    QVERIFY(!hint.nohint->isChecked());
    QCOMPARE(ShownCaption(hint.findChild<QPushButton*>("Button1")->text()), QStringLiteral("OK"));
    QCOMPARE(MnemonicProblems(hint), QStringList());
    QVERIFY(hint.Button1->isDefault());
    QVERIFY(!(hint.windowFlags() & Qt::WindowCloseButtonHint));
}

void SmallDialogsTest::hintResultFollowsTheTick_data() {
    QTest::addColumn<bool>("tick");
    QTest::addColumn<bool>("byEscape");
    QTest::addColumn<int>("expected");
    QTest::newRow("OK unticked") << false << false << int(QDialog::Accepted);
    QTest::newRow("OK ticked") << true << false << int(QDialog::Rejected);
    // Escape must not switch the hint off for good unless the box is ticked.
    QTest::newRow("Escape unticked") << false << true << int(QDialog::Accepted);
    QTest::newRow("Escape ticked") << true << true << int(QDialog::Rejected);
}

void SmallDialogsTest::hintResultFollowsTheTick() {
    QFETCH(bool, tick);
    QFETCH(bool, byEscape);
    QFETCH(int, expected);
    TStartHint hint;
    const int result = ExecWith(hint, [&] {
        if (tick) {
            QTest::mouseClick(hint.nohint, Qt::LeftButton);
        }
        if (byEscape) {
            QTest::keyClick(&hint, Qt::Key_Escape);
        } else {
            QTest::mouseClick(hint.Button1, Qt::LeftButton);
        }
    });
    QCOMPARE(result, expected);
}

void SmallDialogsTest::promptShowsTheQuestionAsTitle() {
    TPromptDlg prompt;
    QCOMPARE(prompt.windowTitle(), QStringLiteral("Prompt"));
    prompt.SetPrompt(QStringLiteral("Supply a Name for the Preset"), QStringLiteral("Loud"));
    QCOMPARE(prompt.windowTitle(), QStringLiteral("Supply a Name for the Preset"));
    QCOMPARE(prompt.findChild<QLineEdit*>("reply")->text(), QStringLiteral("Loud"));
    QCOMPARE(ShownCaption(prompt.findChild<QPushButton*>("okbtn")->text()), QStringLiteral("OK"));
    QCOMPARE(ShownCaption(prompt.findChild<QPushButton*>("cancelbtn")->text()),
             QStringLiteral("Cancel"));
    QCOMPARE(MnemonicProblems(prompt), QStringList());
    QVERIFY(prompt.okbtn->isDefault());
}

void SmallDialogsTest::promptEnterIsOk_data() {
    QTest::addColumn<QString>("typed");
    QTest::newRow("empty reply") << QString();
    QTest::newRow("blanks kept") << QStringLiteral("  Quiet room ");
}

void SmallDialogsTest::promptEnterIsOk() {
    QFETCH(QString, typed);
    TPromptDlg prompt;
    prompt.SetPrompt(QStringLiteral("Supply a Name for the Preset"), QString());
    const int result = ExecWith(prompt, [&] {
        // The reply box has the focus, so typing needs no click first.
        QCOMPARE(QApplication::focusWidget(), prompt.reply);
        QTest::keyClicks(QApplication::focusWidget(), typed);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    });
    QCOMPARE(result, int(QDialog::Accepted));
    QCOMPARE(prompt.reply->text(), typed);
}

void SmallDialogsTest::promptEscapeIsCancel() {
    TPromptDlg prompt;
    prompt.SetPrompt(QStringLiteral("Name?"), QStringLiteral("x"));
    const int result =
        ExecWith(prompt, [&] { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape); });
    QCOMPARE(result, int(QDialog::Rejected));
}

QTEST_MAIN(SmallDialogsTest)
#include "SmallDialogsTest.moc"
