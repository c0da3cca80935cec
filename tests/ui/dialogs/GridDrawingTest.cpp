#include "GridDrawing.h"

#include <QApplication>
#include <QFont>
#include <QFontMetrics>
#include <QTest>

#include <cmath>

using tralux::FitText;

class GridDrawingTest : public QObject {
    Q_OBJECT

private slots:
    void fitTextShortensAtEitherEnd_data();
    void fitTextShortensAtEitherEnd();
    void fitTextKeepsWholeCharacters();
    void groupColoursWrapAtFifteen();
    void legibleColours_data();
    void legibleColours();
};

void GridDrawingTest::fitTextShortensAtEitherEnd_data() {
    QTest::addColumn<bool>("clipAtEnd");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("width");
    const QString path =
        QStringLiteral("/home/listener/music/albums/a long album name/01 track.wav");
    const QFontMetrics metrics(QApplication::font());
    const int full = metrics.horizontalAdvance(path);
    for (const bool atEnd : {false, true}) {
        const char* end = atEnd ? "end" : "start";
        QTest::addRow("%s, exact width", end) << atEnd << path << full;
        QTest::addRow("%s, one pixel short", end) << atEnd << path << full - 1;
        QTest::addRow("%s, half width", end) << atEnd << path << full / 2;
        QTest::addRow("%s, room for the dots only", end)
            << atEnd << path << metrics.horizontalAdvance(QStringLiteral("...")) + 1;
        QTest::addRow("%s, no room at all", end) << atEnd << path << 0;
        QTest::addRow("%s, empty text", end) << atEnd << QString() << 0;
    }
}

// The shortened text is the longest piece of the original at the kept end that, with the
// dots, is narrower than the width; a text that fits is never touched.
void GridDrawingTest::fitTextShortensAtEitherEnd() {
    QFETCH(bool, clipAtEnd);
    QFETCH(QString, text);
    QFETCH(int, width);
    const QFontMetrics metrics(QApplication::font());
    const QString dots = QStringLiteral("...");
    const QString fitted = FitText(text, width, metrics, clipAtEnd);

    if (metrics.horizontalAdvance(text) <= width) {
        QCOMPARE(fitted, text);
        return;
    }
    if (fitted == dots) {
        // Nothing but the dots; then not even one character of the text fits beside them.
        const QString oneChar = clipAtEnd ? text.left(1) + dots : dots + text.right(1);
        QVERIFY(metrics.horizontalAdvance(oneChar) >= width);
        return;
    }
    QVERIFY(metrics.horizontalAdvance(fitted) < width);
    const int kept = static_cast<int>(fitted.size() - dots.size());
    if (clipAtEnd) {
        QVERIFY(fitted.endsWith(dots));
        QCOMPARE(fitted.left(kept), text.left(kept));
        QVERIFY(metrics.horizontalAdvance(text.left(kept + 1) + dots) >= width);
    } else {
        QVERIFY(fitted.startsWith(dots));
        QCOMPARE(fitted.right(kept), text.right(kept));
        QVERIFY(metrics.horizontalAdvance(dots + text.right(kept + 1)) >= width);
    }
}

void GridDrawingTest::fitTextKeepsWholeCharacters() {
    // Characters outside the basic plane take two UTF-16 units; cutting between them would
    // leave half a character behind.
    const QString clef = QString::fromUtf8("\xF0\x9D\x84\x9E");
    const QString text = clef.repeated(40);
    const QFontMetrics metrics(QApplication::font());
    const int width = metrics.horizontalAdvance(text) / 3;
    for (const bool atEnd : {false, true}) {
        const QString fitted = FitText(text, width, metrics, atEnd);
        QVERIFY(fitted.size() < text.size());
        QCOMPARE(fitted.size() % 2, 1);  // the three dots and whole pairs
        for (qsizetype i = 0; i < fitted.size(); ++i) {
            if (fitted.at(i).isHighSurrogate()) {
                QVERIFY(i + 1 < fitted.size() && fitted.at(i + 1).isLowSurrogate());
            }
        }
    }
}

void GridDrawingTest::groupColoursWrapAtFifteen() {
    const auto& colours = tralux::GroupColours();
    QCOMPARE(colours.size(), size_t{15});
    QCOMPARE(colours[0], QColor(0, 255, 255));
    QCOMPARE(colours[1], QColor(255, 0, 255));
    QCOMPARE(colours[12], QColor(0, 0, 128));
    QCOMPARE(tralux::GroupColour(15), colours[0]);
    QCOMPARE(tralux::GroupColour(16), colours[1]);
    QCOMPARE(tralux::GroupColour(16), tralux::GroupColour(1));
    QCOMPARE(tralux::GroupColour(3), QColor(128, 0, 0));
    // Not in a group: red, whatever negative number the file was given.
    QCOMPARE(tralux::GroupColour(-1), QColor(255, 0, 0));
    QCOMPARE(tralux::GroupColour(-17), QColor(255, 0, 0));
    QCOMPARE(tralux::GroupColour(0), QColor(255, 0, 0));
}

void GridDrawingTest::legibleColours_data() {
    QTest::addColumn<QColor>("background");
    QTest::newRow("light base") << QColor(255, 255, 255);
    QTest::newRow("light selection") << QColor(48, 140, 198);
    QTest::newRow("dark base") << QColor(42, 42, 42);
    QTest::newRow("dark selection") << QColor(42, 130, 218);
}

void GridDrawingTest::legibleColours() {
    QFETCH(QColor, background);
    for (const QColor& colour : tralux::GroupColours()) {
        const QColor legible = tralux::LegibleOn(colour, background);
        QVERIFY2(
            tralux::ContrastRatio(legible, background) >= tralux::LegibleContrast,
            qPrintable(colour.name() + " on " + background.name() + " gives " + legible.name()));
        // Still the group's colour to the eye: the hue is kept.
        if (colour.hslSaturation() > 0 && legible.hslSaturation() > 0) {
            QVERIFY(std::abs(legible.hslHue() - colour.hslHue()) <= 2);
        }
        if (tralux::ContrastRatio(colour, background) >= tralux::LegibleContrast) {
            QCOMPARE(legible, colour);  // a colour that reads well is left alone
        }
    }
    QCOMPARE(tralux::ContrastRatio(Qt::black, Qt::white), 21.0);
}

QTEST_MAIN(GridDrawingTest)
#include "GridDrawingTest.moc"
