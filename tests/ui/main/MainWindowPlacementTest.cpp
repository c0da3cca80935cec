// Where the window and the grouping dialog open: the place saved is the place restored, and
// bounds that lie off the screen, or exceed it, are brought onto it.
#include <QHeaderView>
#include <QPushButton>
#include <QScreen>

#include <regex>

#include "WindowFixture.h"

using tralux::test::WindowFixture;

namespace {

// The value of a key of the "Windows" section as the settings file holds it.
int WindowsKey(const std::string& ini, const std::string& key) {
    std::smatch match;
    const std::regex line("\\n" + key + "=(-?[0-9]+)");
    return std::regex_search(ini, match, line) ? std::stoi(match[1]) : INT32_MIN;
}

std::string Placement(int left, int top, int width, int height, int state,
                      const std::string& options = std::string()) {
    return "[Options]\ngivehint=0\n" + options + "[Windows]\nmainleft=" + std::to_string(left) +
           "\nmaintop=" + std::to_string(top) + "\nmainwidth=" + std::to_string(width) +
           "\nmainheight=" + std::to_string(height) + "\nwinstate=" + std::to_string(state) + "\n";
}

}  // namespace

class MainWindowPlacementTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void aWarningAtStartDoesNotMoveTheWindow();
    void maximisedAndRestoredKeepsItsPlace();
    void boundsOffTheScreenAreBroughtOnto_data();
    void boundsOffTheScreenAreBroughtOnto();
    void columnWidthsTheUserSetAreKept();
    void aSizeTheScreenForcedIsNotSaved();
};

void MainWindowPlacementTest::initTestCase() {
    QApplication::setQuitOnLastWindowClosed(false);
}

void MainWindowPlacementTest::aWarningAtStartDoesNotMoveTheWindow() {
    WindowFixture f;
    f.prompts.realWarningBoxes = true;
    f.StartWith(Placement(100, 80, 500, 400, 0, "outputdir=/no/such/folder/anywhere\n"));
    QCOMPARE(f.prompts.Count(tralux::test::FakePrompts::Kind::Warning), 1);
    QCOMPARE(f.window->pos(), QPoint(100, 80));
    QCOMPARE(f.window->size(), QSize(500, 400));
    f.Restart();
    QCOMPARE(WindowsKey(f.IniText(), "mainleft"), 100);
    QCOMPARE(WindowsKey(f.IniText(), "maintop"), 80);
    QCOMPARE(f.window->pos(), QPoint(100, 80));
}

void MainWindowPlacementTest::maximisedAndRestoredKeepsItsPlace() {
    WindowFixture f;
    f.StartWith(Placement(100, 80, 500, 400, 0));
    for (int round = 0; round < 3; ++round) {
        f.window->showMaximized();
        QTRY_VERIFY(f.window->isMaximized());
        f.Restart();  // saved while maximised
        QCOMPARE(WindowsKey(f.IniText(), "winstate"), 2);
        QCOMPARE(WindowsKey(f.IniText(), "mainleft"), 100);
        QCOMPARE(WindowsKey(f.IniText(), "maintop"), 80);
        QTRY_VERIFY(f.window->isMaximized());
        f.window->showNormal();
        QTRY_VERIFY(!f.window->isMaximized());
        QTRY_COMPARE(f.window->pos(), QPoint(100, 80));
        QCOMPARE(f.window->size(), QSize(500, 400));
    }
}

void MainWindowPlacementTest::boundsOffTheScreenAreBroughtOnto_data() {
    QTest::addColumn<QRect>("saved");
    QTest::newRow("above the top") << QRect(40, -18, 500, 400);
    QTest::newRow("right of every screen") << QRect(5000, 100, 500, 400);
    QTest::newRow("left of every screen") << QRect(-3000, -2000, 500, 400);
    QTest::newRow("larger than the screen") << QRect(2, 2, 2200, 1400);
}

void MainWindowPlacementTest::boundsOffTheScreenAreBroughtOnto() {
    QFETCH(QRect, saved);
    WindowFixture f;
    f.StartWith(Placement(saved.x(), saved.y(), saved.width(), saved.height(), 0));
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    QVERIFY2(screen.contains(f.window->frameGeometry()),
             qPrintable(QStringLiteral("%1,%2 %3x%4")
                            .arg(f.window->frameGeometry().x())
                            .arg(f.window->frameGeometry().y())
                            .arg(f.window->frameGeometry().width())
                            .arg(f.window->frameGeometry().height())));
    // Every control is on the screen with the window.
    QVERIFY(
        screen.contains(f.window->exitbtn->mapToGlobal(f.window->exitbtn->rect().bottomRight())));
    // Bounds that fit are left alone.
    f.StartWith(Placement(30, 40, 500, 400, 0));
    QCOMPARE(f.window->pos(), QPoint(30, 40));
}

void MainWindowPlacementTest::columnWidthsTheUserSetAreKept() {
    WindowFixture f;
    f.StartWith(Placement(30, 40, 560, 400, 0, "fnamesonly=0\n"));
    f.Drop({f.Tone("a-rather-long-name-of-a-recording-to-be-balanced.wav", 8000)});
    auto& grid = f.Grid();
    const QString cut = grid.CellText(0, tralux::FileGrid::SourceColumn);
    const QString whole = QString::fromStdString(grid.Record(0)->SourceFile);
    QVERIFY(cut != whole);
    // Widened as the user drags its edge: the name shows whole.
    grid.horizontalHeader()->resizeSection(tralux::FileGrid::SourceColumn,
                                           grid.fontMetrics().horizontalAdvance(whole) + 20);
    QCOMPARE(grid.CellText(0, tralux::FileGrid::SourceColumn), whole);
    int widths[tralux::FileGrid::ColumnCount];
    for (int column = 0; column < tralux::FileGrid::ColumnCount; ++column) {
        widths[column] = grid.columnWidth(column);
    }
    // A resize of the window keeps them, and so does the next start.
    f.window->resize(700, 450);
    QTRY_COMPARE(f.window->size(), QSize(700, 450));
    for (int restart = 0; restart < 2; ++restart) {
        for (int column = 0; column < tralux::FileGrid::ColumnCount; ++column) {
            QCOMPARE(f.Grid().columnWidth(column), widths[column]);
        }
        f.Restart();
    }
    QVERIFY(f.IniText().find("\ncolwidths=") != std::string::npos);
    // A file without them, or with a value that is no width, shares the width out as before.
    f.StartWith(Placement(30, 40, 560, 400, 0));
    const int shared = f.Grid().columnWidth(tralux::FileGrid::SourceColumn);
    QVERIFY(shared != widths[tralux::FileGrid::SourceColumn]);
    f.StartWith(Placement(30, 40, 560, 400, 0) + "colwidths=100,x,100,100,40\n");
    QCOMPARE(f.Grid().columnWidth(tralux::FileGrid::SourceColumn), shared);
    f.Restart();
    QVERIFY(f.IniText().find("colwidths") == std::string::npos);
}

void MainWindowPlacementTest::aSizeTheScreenForcedIsNotSaved() {
    // A size saved on a larger screen (or at a smaller scale factor) is shrunk to fit here;
    // the user's own size is what is saved again, for the next start on the larger screen.
    WindowFixture f;
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const int width = screen.width() + 400;
    const int height = screen.height() + 300;
    f.StartWith(Placement(2, 2, width, height, 0));
    QVERIFY(f.window->width() < width);
    f.Restart();
    QCOMPARE(WindowsKey(f.IniText(), "mainwidth"), width);
    QCOMPARE(WindowsKey(f.IniText(), "mainheight"), height);
    // A size the user gives it is saved as it is.
    f.window->resize(500, 400);
    QTRY_COMPARE(f.window->size(), QSize(500, 400));
    f.Restart();
    QCOMPARE(WindowsKey(f.IniText(), "mainwidth"), 500);
    QCOMPARE(WindowsKey(f.IniText(), "mainheight"), 400);
}

QTEST_MAIN(MainWindowPlacementTest)
#include "MainWindowPlacementTest.moc"
