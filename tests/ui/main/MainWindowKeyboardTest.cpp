// The whole job from the keyboard: focus moves out of the grid, Enter presses buttons, every
// button has its own mnemonic, and the everyday commands have their keys.
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>

#include "main/FileGrid.h"

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
    void theFilesMnemonicLeadsToTheListFromInsideTheBox();
    void returnOutsideTheButtonsStartsNoRun();
    void gridKeysOpenTheMenuAndGoToTheEnds();
    void deleteActsOnlyInTheListAndCtrlZBringsBack();
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
    f.Grid().setFocus();
    QTest::keyClick(&f.Grid(), Qt::Key_Delete);
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

void MainWindowKeyboardTest::theFilesMnemonicLeadsToTheListFromInsideTheBox() {
    WindowFixture f;
    f.Drop({f.Tone("a.wav", 8000), f.Tone("b.wav", 4000)});
    f.Activate();
    auto& w = *f.window;
    // From a reference choice inside the box, Alt+F goes to the list, and Down then moves
    // the highlight instead of changing the reference.
    w.quietestbtn->setFocus();
    QTRY_VERIFY(w.quietestbtn->hasFocus());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F, Qt::AltModifier);
    QTRY_VERIFY(f.Grid().hasFocus());
    QTest::keyClick(&f.Grid(), Qt::Key_Down);
    QVERIFY(w.quietestbtn->isChecked());
    QCOMPARE(f.Grid().currentRow(), 1);
    // From a button inside the box too.
    w.groupingbtn->setFocus();
    QTest::keyClick(w.groupingbtn, Qt::Key_F, Qt::AltModifier);
    QTRY_VERIFY(f.Grid().hasFocus());
}

void MainWindowKeyboardTest::returnOutsideTheButtonsStartsNoRun() {
    WindowFixture f;
    f.Drop({f.Tone("a.wav", 8000), f.Tone("b.wav", 4000)});
    f.Activate();
    auto& w = *f.window;
    int passes = 0;
    QObject::connect(&w, &TBalanceVolumes::passStarted, [&] { ++passes; });
    // The keys that once started a Prepare: out of the list, back with Alt+F, Down, Return.
    f.Grid().setFocus();
    QTest::keyClick(&f.Grid(), Qt::Key_Tab);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F, Qt::AltModifier);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Enter);
    for (QRadioButton* radio : {w.quietestbtn, w.loudestbtn, w.selectedbtn}) {
        radio->setFocus();
        QTest::keyClick(radio, Qt::Key_Return);
        QTest::keyClick(radio, Qt::Key_Enter);
    }
    f.Settle();
    QCOMPARE(passes, 0);
    QVERIFY(!w.Runs().SourceLoudnessShown);
}

void MainWindowKeyboardTest::gridKeysOpenTheMenuAndGoToTheEnds() {
    WindowFixture f;
    f.Drop({f.Tone("a.wav", 8000), f.Tone("b.wav", 4000), f.Tone("c.wav", 2000)});
    f.Activate();
    auto& w = *f.window;
    f.Grid().setFocus();
    QTRY_VERIFY(f.Grid().hasFocus());
    QTest::keyClick(&f.Grid(), Qt::Key_End);
    QCOMPARE(f.Grid().currentRow(), 2);
    QTest::keyClick(&f.Grid(), Qt::Key_Home);
    QCOMPARE(f.Grid().currentRow(), 0);
    for (const QKeyCombination keys : {Qt::SHIFT | Qt::Key_F10, QKeyCombination(Qt::Key_Menu)}) {
        QTest::keyClick(&f.Grid(), keys.key(), keys.keyboardModifiers());
        QTRY_VERIFY(w.PopupMenu1->isVisible());
        QVERIFY(w.PopupMenu1->actions().contains(w.SavetoFile1));
        w.PopupMenu1->close();
        QTRY_VERIFY(!w.PopupMenu1->isVisible());
    }
}

void MainWindowKeyboardTest::deleteActsOnlyInTheListAndCtrlZBringsBack() {
    WindowFixture f;
    const QStringList files = {f.Tone("a.wav", 8000), f.Tone("b.wav", 4000), f.Tone("c.wav", 2000)};
    f.Drop(files);
    f.Activate();
    auto& w = *f.window;
    f.Grid().Record(1)->GroupNumber = 3;
    f.Grid().SetCellText(1, tralux::FileGrid::GroupColumn, QStringLiteral("3"));
    const tralux::FileData* middle = f.Grid().Record(1);
    f.Grid().setCurrentCell(1, 0);
    // Elsewhere in the window Delete removes nothing.
    w.loudestbtn->setFocus();
    QTest::keyClick(w.loudestbtn, Qt::Key_Delete);
    QCOMPARE(w.FileCount, 3);
    f.Grid().setFocus();
    QTest::keyClick(&f.Grid(), Qt::Key_Delete);
    QCOMPARE(w.FileCount, 2);
    w.remallbtn->click();
    QCOMPARE(w.FileCount, 0);
    // Each Ctrl+Z undoes one removal, newest first; the middle file comes back in its place,
    // the very record it was, group and all.
    QTest::keyClick(&w, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(w.FileCount, 2);
    QTest::keyClick(&w, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(w.FileCount, 3);
    QCOMPARE(f.Grid().Record(1), middle);
    QCOMPARE(f.Grid().Record(1)->GroupNumber, 3);
    QCOMPARE(f.Grid().CellText(1, tralux::FileGrid::GroupColumn), QStringLiteral("3"));
    for (int row = 0; row < 3; ++row) {
        QCOMPARE(QString::fromStdString(f.Grid().Record(row)->SourceFile), files[row]);
    }
    QCOMPARE(f.Grid().currentRow(), 1);
    // A run forgets the removals before it: their records would no longer be what it left.
    f.Grid().setFocus();
    QTest::keyClick(&f.Grid(), Qt::Key_Delete);
    w.preparebtn->click();
    QTRY_VERIFY(!w.RunInProgress());
    QTest::keyClick(&w, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(w.FileCount, 2);
    // A file added again after its removal is not listed twice.
    f.Grid().setFocus();
    const QString removed = QString::fromStdString(f.Grid().Record(0)->SourceFile);
    f.Grid().setCurrentCell(0, 0);
    QTest::keyClick(&f.Grid(), Qt::Key_Delete);
    QCOMPARE(w.FileCount, 1);
    f.Drop({removed});
    QTest::keyClick(&w, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(w.FileCount, 2);
}

QTEST_MAIN(MainWindowKeyboardTest)
#include "MainWindowKeyboardTest.moc"
