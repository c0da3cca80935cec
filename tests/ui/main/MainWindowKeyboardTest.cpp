// The whole job from the keyboard: focus moves out of the grid, Enter presses buttons, every
// button has its own mnemonic, and the everyday commands have their keys.
#include <QPushButton>
#include <QRadioButton>

#include "Mnemonics.h"
#include "WindowFixture.h"
#include "dialogs/DialogFrame.h"
#include "engine/FileData.h"

using tralux::TBalanceVolumes;
using tralux::test::FakePrompts;
using tralux::test::WindowFixture;
using Kind = FakePrompts::Kind;

class MainWindowKeyboardTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void tabLeavesTheGridBothWays();
    void enterPressesTheFocusedButton();
    void mnemonicsAreUniqueAndKeepTheLiteralAmpersand();
    void shortcutsPressTheirButtons();
    void escapeCancelsARun();
};

void MainWindowKeyboardTest::initTestCase() {
    QApplication::setQuitOnLastWindowClosed(false);
}

void MainWindowKeyboardTest::tabLeavesTheGridBothWays() {
    WindowFixture f;
    f.Drop({f.Tone("a.wav", 8000), f.Tone("b.wav", 4000)});
    f.Activate();
    f.Grid().setFocus();
    QTRY_VERIFY(f.Grid().hasFocus());
    QTest::keyClick(&f.Grid(), Qt::Key_Tab);
    QWidget* next = QApplication::focusWidget();
    QVERIFY(next != &f.Grid());
    QVERIFY(qobject_cast<QPushButton*>(next) != nullptr);
    QTest::keyClick(next, Qt::Key_Backtab);
    QCOMPARE(QApplication::focusWidget(), &f.Grid());
    // The row under the cursor stays where it was: Tab did not walk the cells.
    QCOMPARE(f.Grid().currentRow(), 0);
}

void MainWindowKeyboardTest::enterPressesTheFocusedButton() {
    WindowFixture f;
    f.Drop({f.Tone("a.wav", 8000), f.Tone("b.wav", 4000)});
    f.Activate();
    f.window->remallbtn->setFocus();
    QTest::keyClick(f.window->remallbtn, Qt::Key_Return);
    QCOMPARE(f.window->FileCount, 0);
    f.window->addfilesbtn->setFocus();
    QTest::keyClick(f.window->addfilesbtn, Qt::Key_Enter);
    QCOMPARE(f.prompts.Count(Kind::OpenFiles), 1);
}

void MainWindowKeyboardTest::mnemonicsAreUniqueAndKeepTheLiteralAmpersand() {
    WindowFixture f;
    const QStringList problems = tralux::test::MnemonicProblems(*f.window);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QStringLiteral("; "))));
    // "&&" stays a literal ampersand and is not taken for the mnemonic.
    const QString caption = f.window->prepbalbtn->text();
    QCOMPARE(tralux::ShownCaption(caption), QStringLiteral("Prepare & Balance"));
    QCOMPARE(QKeySequence::mnemonic(caption), QKeySequence(Qt::ALT | Qt::Key_R));
    // A mnemonic acts as a click would (a button shows itself pressed for a moment first).
    f.Drop({f.Tone("a.wav", 8000)});
    f.Activate();
    QTest::keyClick(f.window.get(), Qt::Key_M, Qt::AltModifier);
    QTRY_COMPARE(f.window->FileCount, 0);
    QTest::keyClick(f.window.get(), Qt::Key_T, Qt::AltModifier);
    QTRY_VERIFY(f.window->presetbtn->isChecked());
}

void MainWindowKeyboardTest::shortcutsPressTheirButtons() {
    WindowFixture f;
    f.Activate();
    QTest::keyClick(f.window.get(), Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(f.prompts.Count(Kind::OpenFiles), 1);
    f.prompts.openFiles.push_back({f.Tone("a.wav", 8000), f.Tone("b.wav", 4000)});
    QTest::keyClick(f.window.get(), Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(f.window->FileCount, 2);
    QTest::keyClick(f.window.get(), Qt::Key_Delete);
    QCOMPARE(f.window->FileCount, 1);
    QCOMPARE(QString::fromStdString(f.Grid().Record(0)->SourceFile).section('/', -1),
             QStringLiteral("b.wav"));
    QTest::keyClick(f.window.get(), Qt::Key_F1);
    QCOMPARE(f.services.helpPages.size(), size_t{1});
    // Escape with no run going does nothing.
    QTest::keyClick(f.window.get(), Qt::Key_Escape);
    QVERIFY(f.window->isVisible());
    QTest::keyClick(f.window.get(), Qt::Key_Q, Qt::ControlModifier);
    QTRY_VERIFY(!f.window->isVisible());
    QVERIFY(f.IniText().find("[Windows]") != std::string::npos);  // closed as Exit closes
}

void MainWindowKeyboardTest::escapeCancelsARun() {
    WindowFixture f;
    f.Drop({f.Tone("a.wav", 8000, 44100 * 4), f.Tone("b.wav", 4000, 44100 * 4)});
    f.Activate();
    auto& w = *f.window;
    int passes = 0;
    QObject::connect(&w, &TBalanceVolumes::passStarted, [&] {
        if (++passes == 2) {
            QTest::keyClick(&w, Qt::Key_Escape);
        }
    });
    QTest::keyClick(&w, Qt::Key_R, Qt::AltModifier);  // "Prepare && Balance"
    QTRY_COMPARE(passes, 2);
    QTRY_VERIFY(!w.RunInProgress());
    QVERIFY(!w.Engine().Running);
    QVERIFY(!w.Runs().ReadyToBalance);
    QVERIFY(!w.Runs().ResultLoudnessShown);
    QVERIFY(!w.cancelbtn->isEnabled());
}

QTEST_MAIN(MainWindowKeyboardTest)
#include "MainWindowKeyboardTest.moc"
