// The help window: pages shown from the help folder, links between them followed inside the
// window, and a message naming a page that is not there.
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <filesystem>
#include <string>

#include "THelpViewer.h"
#include "TempDir.h"
#include "TestWav.h"

using tralux::HelpBrowser;
using tralux::THelpViewer;
using tralux::test::TempDir;

namespace {

void WritePage(const TempDir& dir, const std::string& name, const std::string& html) {
    std::filesystem::create_directories(dir.Path() / "help");
    tralux::test::WriteFile(dir.File("help/" + name),
                            std::vector<uint8_t>(html.begin(), html.end()));
}

QUrl Page(const TempDir& dir, const std::string& name) {
    return QUrl::fromLocalFile(QString::fromStdString(dir.File("help/" + name)));
}

// Clicks the link whose text is given, as the user does.
void ClickLink(HelpBrowser& browser, const QString& text) {
    const QTextCursor found = browser.document()->find(text);
    QVERIFY2(!found.isNull(), qPrintable(text));
    QTextCursor inside(browser.document());
    inside.setPosition(found.selectionStart() + 1);
    const QPoint at = browser.cursorRect(inside).center();
    QTest::mouseClick(browser.viewport(), Qt::LeftButton, Qt::NoModifier, at);
}

}  // namespace

class HelpViewerTest : public QObject {
    Q_OBJECT

private slots:
    void linksBetweenPagesAreFollowedInside();
    void aMissingPageIsNamed();
};

void HelpViewerTest::linksBetweenPagesAreFollowedInside() {
    TempDir dir;
    WritePage(dir, "introduction.html",
              "<html><body><h1>Getting going</h1><p><a href=\"balancing.html\">How balancing "
              "works</a></p></body></html>");
    WritePage(dir, "balancing.html",
              "<html><body><h1>Balancing</h1><p><a href=\"introduction.html\">Back to the "
              "start</a></p></body></html>");
    THelpViewer viewer;
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));
    viewer.ShowPage(Page(dir, "introduction.html"));
    QVERIFY(viewer.browser->toPlainText().contains(QStringLiteral("Getting going")));
    ClickLink(*viewer.browser, QStringLiteral("How balancing"));
    QTRY_COMPARE(viewer.browser->source(), Page(dir, "balancing.html"));
    QVERIFY(viewer.browser->toPlainText().contains(QStringLiteral("Balancing")));
    ClickLink(*viewer.browser, QStringLiteral("Back to the"));
    QTRY_COMPARE(viewer.browser->source(), Page(dir, "introduction.html"));
    // Alt+Left goes back as in any browser.
    QTest::keyClick(viewer.browser, Qt::Key_Left, Qt::AltModifier);
    QCOMPARE(viewer.browser->source(), Page(dir, "balancing.html"));
}

void HelpViewerTest::aMissingPageIsNamed() {
    TempDir dir;
    WritePage(dir, "introduction.html",
              "<html><body><p><a href=\"gone.html\">A page that was removed</a></p></body></html>");
    THelpViewer viewer;
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));
    const QString absent = QString::fromStdString(dir.File("nowhere/introduction.html"));
    viewer.ShowPage(QUrl::fromLocalFile(absent));
    QCOMPARE(viewer.browser->toPlainText(), HelpBrowser::MissingPageText(absent));
    QVERIFY(viewer.browser->toPlainText().contains(absent));
    // A link to a page that is not there says so too.
    viewer.ShowPage(Page(dir, "introduction.html"));
    ClickLink(*viewer.browser, QStringLiteral("A page that"));
    QTRY_COMPARE(viewer.browser->toPlainText(),
                 HelpBrowser::MissingPageText(QString::fromStdString(dir.File("help/gone.html"))));
}

QTEST_MAIN(HelpViewerTest)
#include "HelpViewerTest.moc"
