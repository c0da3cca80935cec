#include "DialogFrame.h"
#include "FakePrompts.h"
#include "Mnemonics.h"
#include "TAdvanced.h"
#include "UpDown.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QToolButton>

using tralux::Options;
using tralux::TAdvanced;
using tralux::test::FakePrompts;

namespace {

const QString NeedExtension = QStringLiteral(
    "Must specify an extension to add when sending output files to the same folder as the "
    "source files");
const QString NeedFolder = QStringLiteral("No output folder specified");
const QString BadNamePart = QStringLiteral(
    "The extra part added to the output filename must not hold a folder separator (/ or \\) "
    "or be made only of full stops");

// Clicks a spinner's arrow count times; a negative count clicks down.
void Spin(tralux::UpDown* spinner, int count) {
    QToolButton* arrow = count > 0 ? spinner->up : spinner->down;
    for (int i = 0; i < std::abs(count); ++i) {
        QTest::mouseClick(arrow, Qt::LeftButton);
    }
}

}  // namespace

class AdvancedTest : public QObject {
    Q_OBJECT

private slots:
    void normLevelSteps_data();
    void normLevelSteps();
    void unitPickedInTheDialogRedisplaysWithoutChange();
    void openingBringsStoredValuesIntoRangeEvenOnCancel();
    void loweringTheMaximumPullsTheWarningDown();
    void warningStopsAtTheMaximum();
    void okRefusesIncompleteOutput_data();
    void okRefusesIncompleteOutput();
    void openingFillsAndOkCopiesBack();
    void cancelCopiesNothingBack();
    void unknownStoredUnitIsKept();
    void browsePicksOtherFolder();
    void everyHintStaysFourSeconds();
    void keyboardStepsTheValuesAndReachesEveryControl();
};

void AdvancedTest::normLevelSteps_data() {
    QTest::addColumn<int>("unit");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("clicks");
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("shown");
    QTest::newRow("percent up at full scale") << 0 << 32767 << 1 << 32767 << "100.0%";
    QTest::newRow("percent down from full scale") << 0 << 32767 << -1 << 32734 << "99.9%";
    QTest::newRow("percent at the floor") << 0 << 1024 << 0 << 1024 << "3.1%";
    QTest::newRow("percent below the floor") << 0 << 1040 << -1 << 1024 << "3.1%";
    QTest::newRow("decibels at full scale") << 1 << 32767 << 0 << 32767 << "0.0dB";
    QTest::newRow("decibels down from full scale") << 1 << 32767 << -1 << 32391 << "-0.1dB";
    QTest::newRow("decibels up at full scale") << 1 << 32767 << 1 << 32767 << "0.0dB";
    QTest::newRow("decibels at the floor") << 1 << 1024 << -1 << 1024 << "-30.0dB";
    QTest::newRow("decibels ten down") << 1 << 32767 << -10 << 29193 << "-1.0dB";
    QTest::newRow("sample down to the floor") << 2 << 1267 << -1 << 1024 << "1024";
    QTest::newRow("sample up") << 2 << 20000 << 2 << 21000 << "21000";
    QTest::newRow("sample up past full scale") << 2 << 32500 << 1 << 32767 << "32767";
}

void AdvancedTest::normLevelSteps() {
    QFETCH(int, unit);
    QFETCH(int, start);
    QFETCH(int, clicks);
    QFETCH(int, level);
    QFETCH(QString, shown);
    Options options;
    options.loudnessunits = unit;
    options.normaliselevel = static_cast<int16_t>(start);
    FakePrompts prompts;
    TAdvanced dialog(options, prompts);
    dialog.show();
    Spin(dialog.UpDown2, clicks);
    QCOMPARE(int(options.normaliselevel), level);
    QCOMPARE(dialog.normlevel->text(), shown);
}

void AdvancedTest::unitPickedInTheDialogRedisplaysWithoutChange() {
    Options options;
    options.loudnessunits = 0;
    options.normaliselevel = 32734;
    FakePrompts prompts;
    TAdvanced dialog(options, prompts);
    dialog.show();
    QCOMPARE(dialog.normlevel->text(), QStringLiteral("99.9%"));
    QTest::mouseClick(dialog.loudnessItems->button(2), Qt::LeftButton);
    QCOMPARE(dialog.normlevel->text(), QStringLiteral("32734"));
    // Steps follow the unit picked here, not the stored one.
    Spin(dialog.UpDown2, -1);
    QCOMPARE(int(options.normaliselevel), 32234);
    QCOMPARE(options.loudnessunits, 0);
    QTest::mouseClick(dialog.loudnessItems->button(1), Qt::LeftButton);
    QCOMPARE(int(options.normaliselevel), 32234);
    QCOMPARE(dialog.normlevel->text(), QStringLiteral("-0.1dB"));
}

void AdvancedTest::openingBringsStoredValuesIntoRangeEvenOnCancel() {
    Options options;
    options.normaliselevel = 500;
    options.maxcompfactor = 9.0;
    options.warncompfactor = 0.5;
    FakePrompts prompts;
    TAdvanced dialog(options, prompts);
    dialog.show();
    QTest::mouseClick(dialog.cancelbtn, Qt::LeftButton);
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(int(options.normaliselevel), 1024);
    QCOMPARE(options.maxcompfactor, 4.0);
    QCOMPARE(options.warncompfactor, 1.1);
    QCOMPARE(dialog.maxcomp->text(), QStringLiteral("4.0"));
    QCOMPARE(dialog.warncomp->text(), QStringLiteral("1.1"));
}

void AdvancedTest::loweringTheMaximumPullsTheWarningDown() {
    Options options;
    options.maxcompfactor = 3.0;
    options.warncompfactor = 2.5;
    FakePrompts prompts;
    TAdvanced dialog(options, prompts);
    dialog.show();
    QCOMPARE(dialog.maxcomp->text(), QStringLiteral("3.0"));
    QCOMPARE(dialog.warncomp->text(), QStringLiteral("2.5"));
    Spin(dialog.UpDown1, -8);
    QCOMPARE(dialog.maxcomp->text(), QStringLiteral("2.2"));
    QCOMPARE(dialog.warncomp->text(), QStringLiteral("2.2"));
    QVERIFY(qAbs(options.maxcompfactor - 2.2) < 1e-9);
    QVERIFY(options.warncompfactor <= options.maxcompfactor);
    Spin(dialog.UpDown1, -20);
    QCOMPARE(options.maxcompfactor, 1.1);
    QCOMPARE(options.warncompfactor, 1.1);
    QCOMPARE(dialog.warncomp->text(), QStringLiteral("1.1"));
    // Raising the maximum leaves the warning level where it is.
    Spin(dialog.UpDown1, 40);
    QCOMPARE(options.maxcompfactor, 4.0);
    QCOMPARE(dialog.warncomp->text(), QStringLiteral("1.1"));
}

void AdvancedTest::warningStopsAtTheMaximum() {
    Options options;
    options.maxcompfactor = 3.0;
    options.warncompfactor = 2.5;
    FakePrompts prompts;
    TAdvanced dialog(options, prompts);
    dialog.show();
    Spin(dialog.UpDown3, 10);
    QCOMPARE(options.warncompfactor, options.maxcompfactor);
    QCOMPARE(dialog.warncomp->text(), QStringLiteral("3.0"));
    Spin(dialog.UpDown3, -30);
    QCOMPARE(options.warncompfactor, 1.1);
}

void AdvancedTest::okRefusesIncompleteOutput_data() {
    QTest::addColumn<QString>("destination");
    QTest::addColumn<bool>("addExtension");
    QTest::addColumn<QString>("extension");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("error");  // empty: OK closes the dialog
    QTest::newRow("same folder, extension unticked") << "samefolder" << false << "_x"
                                                     << "" << NeedExtension;
    QTest::newRow("same folder, extension empty") << "samefolder" << true << ""
                                                  << "/out" << NeedExtension;
    QTest::newRow("same folder, extension given") << "samefolder" << true << "_x"
                                                  << ""
                                                  << "";
    QTest::newRow("other folder empty") << "otherfolder" << true << "_x"
                                        << "" << NeedFolder;
    QTest::newRow("other folder given") << "otherfolder" << true << "_x"
                                        << "/out"
                                        << "";
    // Results keep their names in another folder, so no extension is needed there.
    QTest::newRow("other folder, no extension") << "otherfolder" << false << ""
                                                << "/out"
                                                << "";
    QTest::newRow("ask, folder empty") << "askfolder" << false << ""
                                       << ""
                                       << "";
    // A name part must keep every result in its folder, whichever destination is chosen.
    QTest::newRow("extension leaving the folder") << "samefolder" << true << "_t/../../up"
                                                  << "" << BadNamePart;
    QTest::newRow("extension with a backslash") << "otherfolder" << true << "a\\b"
                                                << "/out" << BadNamePart;
    QTest::newRow("extension of dots, unticked") << "otherfolder" << false << ".."
                                                 << "/out" << BadNamePart;
    QTest::newRow("extension with a full stop") << "samefolder" << true << "x.y"
                                                << ""
                                                << "";
}

void AdvancedTest::okRefusesIncompleteOutput() {
    QFETCH(QString, destination);
    QFETCH(bool, addExtension);
    QFETCH(QString, extension);
    QFETCH(QString, folder);
    QFETCH(QString, error);
    Options options;
    const Options before = options;
    FakePrompts prompts;
    TAdvanced dialog(options, prompts);
    dialog.show();
    dialog.findChild<QRadioButton*>(destination)->setChecked(true);
    dialog.addextension->setChecked(addExtension);
    dialog.extension->setText(extension);
    dialog.outputfolder->setText(folder);
    QTest::mouseClick(dialog.okbtn, Qt::LeftButton);
    if (error.isEmpty()) {
        QVERIFY(prompts.calls.empty());
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(!dialog.isVisible());
        QCOMPARE(options.nameext, extension.toStdString());
    } else {
        QCOMPARE(prompts.calls.size(), size_t{1});
        QCOMPARE(int(prompts.calls[0].kind), int(FakePrompts::Kind::Error));
        QCOMPARE(prompts.calls[0].text, error);
        QVERIFY(dialog.isVisible());
        QCOMPARE(options.nameext, before.nameext);
        QCOMPARE(options.samefolder, before.samefolder);
    }
}

void AdvancedTest::openingFillsAndOkCopiesBack() {
    Options options;
    options.nameext = "_old";
    options.addoutputext = false;
    options.overwritewarn = true;
    options.samefolder = 2;
    options.outputdir = "/music/out";
    options.wavonly = false;
    options.fnamesonly = false;
    options.truncends = true;
    options.loudnessunits = 1;
    options.dofinalnorm = true;
    options.truepeaklimit = -2.0;
    options.flaclevel = 8;
    FakePrompts prompts;
    TAdvanced dialog(options, prompts);
    QCOMPARE(dialog.extension->text(), QStringLiteral("_old"));
    QCOMPARE(dialog.truepeaklimit->value(), -2.0);
    QCOMPARE(dialog.flaclevel->currentText(), QStringLiteral("8 (smallest)"));
    QVERIFY(!dialog.addextension->isChecked());
    QVERIFY(dialog.overwritewarn->isChecked());
    QVERIFY(dialog.askfolder->isChecked());
    QCOMPARE(dialog.outputfolder->text(), QStringLiteral("/music/out"));
    QVERIFY(!dialog.wavonly->isChecked());
    QVERIFY(!dialog.filenamesonly->isChecked());
    QVERIFY(dialog.clipatend->isChecked());
    QCOMPARE(dialog.loudnessItems->checkedId(), 1);
    QVERIFY(dialog.finalnormto->isChecked());

    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QCOMPARE(QApplication::focusWidget(), dialog.okbtn);
    dialog.extension->setText(QStringLiteral("_new"));
    dialog.addextension->setChecked(true);
    dialog.overwritewarn->setChecked(false);
    dialog.otherfolder->setChecked(true);
    dialog.outputfolder->setText(QStringLiteral("/music/elsewhere"));
    dialog.wavonly->setChecked(true);
    dialog.filenamesonly->setChecked(true);
    dialog.clipatend->setChecked(false);
    QTest::mouseClick(dialog.loudnessItems->button(2), Qt::LeftButton);
    dialog.finalnormto->setChecked(false);
    // The ceiling is held at or below full scale, however it is typed.
    dialog.truepeaklimit->setValue(0.5);
    QCOMPARE(dialog.truepeaklimit->value(), 0.0);
    dialog.truepeaklimit->setValue(-1.5);
    dialog.flaclevel->setCurrentIndex(0);
    QTest::mouseClick(dialog.okbtn, Qt::LeftButton);

    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(options.flaclevel, tralux::FlacLevelAsTheSource);
    QCOMPARE(options.nameext, std::string("_new"));
    QVERIFY(options.addoutputext);
    QVERIFY(!options.overwritewarn);
    QCOMPARE(options.samefolder, 0);
    QCOMPARE(options.outputdir, std::string("/music/elsewhere"));
    QVERIFY(options.wavonly);
    QVERIFY(options.fnamesonly);
    QVERIFY(!options.truncends);
    QCOMPARE(options.loudnessunits, 2);
    QVERIFY(!options.dofinalnorm);
    QCOMPARE(options.truepeaklimit, -1.5);
}

void AdvancedTest::cancelCopiesNothingBack() {
    Options options;
    options.normaliselevel = 20000;
    options.loudnessunits = 2;
    const Options before = options;
    FakePrompts prompts;
    TAdvanced dialog(options, prompts);
    dialog.show();
    dialog.askfolder->setChecked(true);
    dialog.extension->setText(QStringLiteral("_changed"));
    dialog.filenamesonly->setChecked(!before.fnamesonly);
    QTest::mouseClick(dialog.loudnessItems->button(0), Qt::LeftButton);
    Spin(dialog.UpDown2, 1);
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(options.samefolder, before.samefolder);
    QCOMPARE(options.nameext, before.nameext);
    QCOMPARE(options.fnamesonly, before.fnamesonly);
    QCOMPARE(options.loudnessunits, before.loudnessunits);
    // The spinner changed the level itself, in the unit picked at the time.
    QCOMPARE(int(options.normaliselevel), 20033);
}

void AdvancedTest::unknownStoredUnitIsKept() {
    Options options;
    options.loudnessunits = 5;
    options.normaliselevel = 30000;
    FakePrompts prompts;
    TAdvanced dialog(options, prompts);
    dialog.show();
    QCOMPARE(dialog.loudnessItems->checkedId(), -1);
    QCOMPARE(dialog.normlevel->text(), QStringLiteral("30000"));
    Spin(dialog.UpDown2, -1);
    QCOMPARE(int(options.normaliselevel), 29500);
    QTest::mouseClick(dialog.okbtn, Qt::LeftButton);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(options.loudnessunits, 5);
}

void AdvancedTest::browsePicksOtherFolder() {
    Options options;
    options.samefolder = 1;
    FakePrompts prompts;
    prompts.folders = {QString(), QStringLiteral("/music/picked")};
    TAdvanced dialog(options, prompts);
    dialog.show();
    QTest::mouseClick(dialog.browsebtn, Qt::LeftButton);  // picker cancelled
    QVERIFY(dialog.samefolder->isChecked());
    QCOMPARE(dialog.outputfolder->text(), QString());
    QTest::mouseClick(dialog.browsebtn, Qt::LeftButton);
    QVERIFY(dialog.otherfolder->isChecked());
    QCOMPARE(dialog.outputfolder->text(), QStringLiteral("/music/picked"));
    QCOMPARE(prompts.Count(FakePrompts::Kind::Folder), 2);
    QCOMPARE(prompts.calls[0].text, QStringLiteral("Select Output Folder"));
    QCOMPARE(options.samefolder, 1);  // only OK copies it back
}

void AdvancedTest::everyHintStaysFourSeconds() {
    Options options;
    FakePrompts prompts;
    TAdvanced dialog(options, prompts);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Advanced Options"));
    int withHint = 0;
    for (QWidget* control : dialog.findChildren<QWidget*>()) {
        if (!control->toolTip().isEmpty()) {
            ++withHint;
            QCOMPARE(control->toolTipDuration(), 4000);
        }
    }
    QVERIFY(withHint >= 18);
    QCOMPARE(dialog.findChild<QCheckBox*>("addextension")->toolTip(),
             QStringLiteral("if set, an extra part will be added to the output filename"));
    QCOMPARE(tralux::ShownCaption(dialog.findChild<QLabel*>("Label3")->text()),
             QStringLiteral("Warn if Compression Exceeds:"));
    QCOMPARE(dialog.findChild<QGroupBox*>("loudness")->title(), QStringLiteral("Loudness Units "));
}

void AdvancedTest::keyboardStepsTheValuesAndReachesEveryControl() {
    Options options;
    options.loudnessunits = 2;
    options.maxcompfactor = 3.0;
    options.warncompfactor = 2.5;
    options.normaliselevel = 30000;
    FakePrompts prompts;
    TAdvanced dialog(options, prompts);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QCOMPARE(tralux::test::MnemonicProblems(dialog), QStringList());
    // The mnemonic of a value's label puts the focus on its box; Up and Down step it.
    QTest::keyClick(&dialog, Qt::Key_M, Qt::AltModifier);
    QCOMPARE(QApplication::focusWidget(), dialog.maxcomp);
    QTest::keyClick(dialog.maxcomp, Qt::Key_Down);
    QCOMPARE(options.maxcompfactor, 2.9);
    QCOMPARE(dialog.maxcomp->text(), QStringLiteral("2.9"));
    QTest::keyClick(&dialog, Qt::Key_X, Qt::AltModifier);
    QCOMPARE(QApplication::focusWidget(), dialog.warncomp);
    QTest::keyClick(dialog.warncomp, Qt::Key_Up);
    QCOMPARE(options.warncompfactor, 2.6);
    // The final level's box is reached with Tab from its check box.
    dialog.finalnormto->setFocus();
    QTest::keyClick(dialog.finalnormto, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), dialog.normlevel);
    QTest::keyClick(dialog.normlevel, Qt::Key_Up);
    QCOMPARE(int(options.normaliselevel), 30500);
    QCOMPARE(dialog.normlevel->text(), QStringLiteral("30500"));
    // Other keys leave the value alone, and the box stays read-only.
    QTest::keyClicks(dialog.normlevel, QStringLiteral("12"));
    QCOMPARE(int(options.normaliselevel), 30500);
    QCOMPARE(dialog.normlevel->text(), QStringLiteral("30500"));
}

QTEST_MAIN(AdvancedTest)
#include "AdvancedTest.moc"
