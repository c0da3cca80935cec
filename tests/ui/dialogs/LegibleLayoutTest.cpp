// What keeps the window program legible and on the screen: indicators on a dark palette,
// and windows that open with their whole frame on the screen.
#include "DialogFrame.h"
#include "GridDrawing.h"
#include "LegibleStyle.h"

#include <QImage>
#include <QPainter>
#include <QStyleFactory>
#include <QStyleOption>
#include <QTest>

#include <algorithm>
#include <memory>

namespace {

QPalette DarkPalette() {
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(0x35, 0x35, 0x35));
    palette.setColor(QPalette::WindowText, Qt::white);
    palette.setColor(QPalette::Base, QColor(0x2a, 0x2a, 0x2a));
    palette.setColor(QPalette::Text, Qt::white);
    palette.setColor(QPalette::Button, QColor(0x35, 0x35, 0x35));
    palette.setColor(QPalette::ButtonText, Qt::white);
    return palette;
}

// The strongest contrast any pixel of an unticked indicator has with the window behind it.
double IndicatorContrast(const QStyle& style, QStyle::PrimitiveElement element,
                         const QPalette& palette) {
    QImage image(24, 24, QImage::Format_ARGB32);
    const QColor window = palette.color(QPalette::Window);
    image.fill(window);
    QStyleOptionButton option;
    option.rect = QRect(4, 4, 16, 16);
    option.palette = palette;
    option.state = QStyle::State_Enabled | QStyle::State_Off;
    {
        QPainter painter(&image);
        style.drawPrimitive(element, &option, &painter);
    }
    double strongest = 1.0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            strongest = std::max(strongest, tralux::ContrastRatio(image.pixelColor(x, y), window));
        }
    }
    return strongest;
}

}  // namespace

class LegibleLayoutTest : public QObject {
    Q_OBJECT

private slots:
    void untickedIndicatorsStandOutOnADarkPalette_data();
    void untickedIndicatorsStandOutOnADarkPalette();
    void aLightPaletteIsLeftAsTheStyleDrawsIt();
    void windowsOpenWithTheirFrameOnTheScreen_data();
    void windowsOpenWithTheirFrameOnTheScreen();
};

void LegibleLayoutTest::untickedIndicatorsStandOutOnADarkPalette_data() {
    QTest::addColumn<int>("element");
    QTest::newRow("radio button") << int(QStyle::PE_IndicatorRadioButton);
    QTest::newRow("check box") << int(QStyle::PE_IndicatorCheckBox);
}

void LegibleLayoutTest::untickedIndicatorsStandOutOnADarkPalette() {
    QFETCH(int, element);
    const tralux::LegibleStyle style(QStringLiteral("Fusion"));
    const double contrast =
        IndicatorContrast(style, static_cast<QStyle::PrimitiveElement>(element), DarkPalette());
    // 3:1 is what a control's outline needs to be made out.
    QVERIFY2(contrast >= 3.0, qPrintable(QString::number(contrast)));
}

void LegibleLayoutTest::aLightPaletteIsLeftAsTheStyleDrawsIt() {
    QPalette light;
    light.setColor(QPalette::Window, QColor(0xef, 0xef, 0xef));
    light.setColor(QPalette::WindowText, Qt::black);
    QVERIFY(!tralux::LegibleStyle::IsDark(light));
    QVERIFY(tralux::LegibleStyle::IsDark(DarkPalette()));
    const tralux::LegibleStyle legible(QStringLiteral("Fusion"));
    const std::unique_ptr<QStyle> fusion(QStyleFactory::create(QStringLiteral("Fusion")));
    QCOMPARE(IndicatorContrast(legible, QStyle::PE_IndicatorRadioButton, light),
             IndicatorContrast(*fusion, QStyle::PE_IndicatorRadioButton, light));
}

void LegibleLayoutTest::windowsOpenWithTheirFrameOnTheScreen_data() {
    QTest::addColumn<QRect>("over");  // the frame of the window it opens over
    QTest::addColumn<QSize>("frame");
    const QSize help(652, 597);  // the help window with a title bar and borders
    QTest::newRow("over a window low on the screen") << QRect(300, 700, 700, 300) << help;
    QTest::newRow("over a window off the right") << QRect(1100, 100, 700, 500) << help;
    QTest::newRow("over nothing") << QRect() << help;
    QTest::newRow("taller than the screen") << QRect(0, 0, 700, 500) << QSize(600, 1400);
}

void LegibleLayoutTest::windowsOpenWithTheirFrameOnTheScreen() {
    QFETCH(QRect, over);
    QFETCH(QSize, frame);
    const QList<QRect> screens{QRect(0, 0, 1280, 1024), QRect(1280, 0, 1024, 768)};
    const QRect bounds = tralux::OpeningBounds(frame, over, screens);
    const bool onAScreen = std::any_of(screens.begin(), screens.end(),
                                       [&](const QRect& s) { return s.contains(bounds); });
    QVERIFY(onAScreen);
    if (frame.height() <= 1024) {
        QCOMPARE(bounds.size(), frame);
    }
    // Over its window where there is room: centred across.
    if (over == QRect(300, 700, 700, 300)) {
        QCOMPARE(bounds.center().x(), over.center().x());
    }
}

QTEST_MAIN(LegibleLayoutTest)
#include "LegibleLayoutTest.moc"
