// SPDX-License-Identifier: GPL-3.0-or-later
#include "Pixels.h"
#include "TestSupport.h"

#include "settings/SpeedSettings.h"
#include "views/GaugeGeometry.h"
#include "views/GaugeView.h"
#include "views/LabelFactory.h"
#include "views/PaintedIcon.h"
#include "views/Palette.h"
#include "views/ResultTile.h"

#include <QAccessible>
#include <QLabel>
#include <QPainter>
#include <QRawFont>

using Angles = QList<double>;
using namespace Pixels;

namespace {

const QColor lightWindow(236, 236, 236);

// The two-colour constructor leaves the text colour to the platform's palette; set it.
QPalette appearance(const QColor &window, const QColor &text)
{
    QPalette palette(text, window);
    palette.setColor(QPalette::WindowText, text);
    return palette;
}

const QPalette lightPalette = appearance(lightWindow, Qt::black);
const QPalette darkPalette = appearance(QColor(40, 40, 40), Qt::white);

const auto render = [](QWidget &w) {
    return w.grab().toImage().convertToFormat(QImage::Format_RGB32);
};

const GaugeGeometry gauge300 = *gaugeGeometry(QSizeF(300, 200));

QImage renderGauge(double mbps, const QString &caption = {}, QSize size = {300, 200})
{
    GaugeView gauge;
    gauge.resize(size);
    gauge.setMbps(mbps);
    gauge.setCaption(caption);
    return render(gauge);
}

// The colour on the middle line of a 300 x 200 ring at `degrees` (0 right, 90 top, 180 left).
QColor ringColor(const QImage &image, qreal degrees)
{
    const QPointF point = gauge300.centre + QLineF::fromPolar(gauge300.radius, degrees).p2();
    return image.pixelColor(qFloor(point.x()), qFloor(point.y()));
}

// The inside of a 300 x 200 gauge, clear of the ring, where a text line ends at `bottom`.
const auto textBand = [](qreal bottom, int lineHeight) {
    return QRect(QPoint(80, qFloor(bottom) - lineHeight), QPoint(220, qCeil(bottom)));
};

// DejaVu Sans Bold with its '1' half as wide, under another name: a font whose digits are not
// all equally wide, as Cantarell's are (GNOME's default). Same-length names keep every offset
// of the font file; FreeType does not check table checksums.
QString loadNarrowOneFont()
{
    QByteArray font = TestSupport::readFile("/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf");
    if (font.isEmpty())
        return {};
    const quint32 one = QRawFont(font, 10).glyphIndexesForString(QStringLiteral("1")).value(0);
    for (int table = 0; table < qFromBigEndian<quint16>(font.constData() + 4); ++table) {
        const char *record = font.constData() + 12 + 16 * table;
        if (QByteArrayView(record, 4) == "hmtx") {
            char *advance = font.data() + qFromBigEndian<quint32>(record + 8) + 4 * one;
            qToBigEndian<quint16>(qFromBigEndian<quint16>(advance) / 2, advance);
        }
    }
    QStringEncoder utf16(QStringConverter::Utf16BE);
    font.replace("DejaVu Sans", "Narrow Ones");
    font.replace(QByteArray(utf16(u"DejaVu Sans")), QByteArray(utf16(u"Narrow Ones")));
    return QFontDatabase::applicationFontFamilies(QFontDatabase::addApplicationFontFromData(font))
        .value(0);
}

} // namespace

class TestViews : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The pixel tests measure text, so they render with one font whatever the default.
        QApplication::setFont(QFont(QStringLiteral("DejaVu Sans")));
        QVERIFY2(QFontInfo(QApplication::font()).family() == QLatin1String("DejaVu Sans"),
                 "the view tests render with DejaVu Sans (fonts-dejavu-core)");
    }

    void init()
    {
        QApplication::setPalette(lightPalette);
        SpeedSettings::setUnitMBytes(false);
    }

    void labelsArePlainTextInTheirPaletteColours()
    {
        QWidget parent;
        QLabel *mauve = makeLabel("<b>Réglages</b>", 11, QFont::Medium, ViewColor::korvelMauve);
        QLabel *secondary = makeLabel("Montée", 11, QFont::Medium, ViewColor::secondaryLabel);
        mauve->setParent(&parent);
        secondary->setParent(&parent);
        QCOMPARE(mauve->textFormat(), Qt::PlainText);
        // The colours follow the palette of the moment, the application's or the parent's.
        auto colours = [&] {
            return std::pair(secondary->palette().color(QPalette::WindowText),
                             mauve->palette().color(QPalette::WindowText));
        };
        const auto light = std::pair(secondaryLabelColor(lightPalette), korvelMauve(lightPalette));
        QVERIFY(light.second != korvelMauve(darkPalette));
        QCOMPARE(colours(), light);
        QApplication::setPalette(darkPalette);
        QTRY_COMPARE(colours(),
                     std::pair(secondaryLabelColor(darkPalette), korvelMauve(darkPalette)));
        parent.setPalette(lightPalette);
        QTRY_COMPARE(colours(), light);

        // The appearance is dark below the window's middle lightness, light from it on.
        for (const auto &[grey, dark] : {std::pair(128, false), {126, true}}) {
            QApplication::setPalette(appearance(QColor(grey, grey, grey), Qt::black));
            QCOMPARE(korvelMauve(), korvelMauve(dark ? darkPalette : lightPalette));
        }
    }

    // Below the size limit nothing at all is drawn, caption included; a ring of 21 is drawn.
    void gaugeSizeLimit()
    {
        for (const auto &[size, drawn] : {std::pair(QSize(300, 65), true), {QSize(88, 200), false}})
            QCOMPARE(ink(renderGauge(50, "Descente", size), apartFrom(lightWindow, 8)).count > 0,
                     drawn);
    }

    void gaugeArc_data()
    {
        TestSupport::addColumns<double, Angles, Angles>("mbps", "green", "track");
        // A third of the half turn for every tenfold rate, full from 999 Mbps.
        const Angles none, whole{180, 90, 0};
        QTest::addRow("0.02") << 0.02 << none << whole;
        QTest::addRow("0.03") << 0.03 << Angles{180} << Angles{90, 0};
        QTest::addRow("negative") << -50.0 << none << whole;
        QTest::addRow("NaN") << std::nan("") << none << whole;
        QTest::addRow("9") << 9.0 << Angles{180, 150, 125} << Angles{90, 30, 0};
        QTest::addRow("99") << 99.0 << Angles{180, 90, 65} << Angles{40, 0};
        QTest::addRow("999") << 999.0 << whole << none;
        QTest::addRow("infinity") << qInf() << whole << none;
    }

    void gaugeArc()
    {
        const auto [mbps, green, track] =
            TestSupport::fetch<double, Angles, Angles>("mbps", "green", "track");
        const QImage image = renderGauge(mbps);
        // The track: a shade apart from both the window and the green.
        for (const double degrees : green)
            QVERIFY2(distance(ringColor(image, degrees), speedGreenFixed()) <= 12,
                     qPrintable(QString::number(degrees)));
        for (const double degrees : track)
            QVERIFY2(distance(ringColor(image, degrees), speedGreenFixed()) > 100
                         && distance(ringColor(image, degrees), lightWindow) > 40,
                     qPrintable(QString::number(degrees)));
    }

    void gaugeTextsCentredAndArcInMbps()
    {
        GaugeView gauge;
        gauge.resize(300, 200);
        gauge.setMbps(800);
        gauge.setCaption(QStringLiteral("Descente"));
        SpeedSettings::setUnitMBytes(true);
        const QImage image = render(gauge);
        const QRect numberBand = textBand(gauge300.numberBottom, 40);
        const QRect number = ink(image, apartFrom(lightWindow, 60), numberBand).bounds;
        const QRect unit =
            ink(image, apartFrom(lightWindow, 40), textBand(gauge300.unitBottom, 14)).bounds;
        const QRect caption = ink(image, apartFrom(lightWindow, 30), textBand(200, 14)).bounds;
        // An empty one is centred far left.
        for (const QRect &ink : {number, unit, caption})
            QVERIFY2(qAbs(ink.center().x() + 0.5 - 150) <= 2, qPrintable(QString::number(ink.x())));
        QVERIFY(number.bottom() < gauge300.numberBottom && number.bottom() < unit.top());
        QVERIFY(unit.bottom() < gauge300.unitBottom && unit.bottom() < caption.top());
        QVERIFY(number.height() > 2 * unit.height());
        // Screen readers get what is drawn: the caption, and the number with its unit as the
        // description, which the AT-SPI bridge publishes (it drops a bare value).
        QAccessibleInterface *readout = QAccessible::queryAccessibleInterface(&gauge);
        QCOMPARE(readout->text(QAccessible::Name), QStringLiteral("Descente"));
        QCOMPARE(readout->text(QAccessible::Description), QStringLiteral("100 Mo/s"));
        gauge.setCaption(QString());
        QCOMPARE(ink(render(gauge), apartFrom(lightWindow, 30), textBand(200, 14)).count, 0);

        // The number is in MB/s ("100"), but the ring stays on the Mbps scale: 800, not 100.
        SpeedSettings::setUnitMBytes(false);
        const QImage hundred = renderGauge(100);
        QCOMPARE(image.copy(numberBand), hundred.copy(numberBand));
        QVERIFY(distance(ringColor(image, 30), speedGreenFixed()) <= 12);
        QVERIFY(distance(ringColor(hundred, 30), speedGreenFixed()) > 12);
    }

    // The title above the value, in a card that follows the tile's bounds.
    void tile()
    {
        ResultTile tile(QStringLiteral("Montée"));
        tile.setValue(QStringLiteral("123,4"));
        QImage image = render(tile);
        const QColor fill = image.pixelColor(4, 28);
        const QRect title = ink(image, apartFrom(fill, 60), QRect(12, 2, 88, 24)).bounds;
        const QRect value = ink(image, apartFrom(fill, 60), QRect(12, 26, 88, 28)).bounds;
        QVERIFY(!title.isEmpty() && QRect(0, 8, 112, 15).contains(title));
        QVERIFY(!value.isEmpty() && QRect(0, 28, 112, 20).contains(value));
        QVERIFY(value.height() > title.height());
        // One element for screen readers, named by its title, not two unrelated labels.
        QAccessibleInterface *readout = QAccessible::queryAccessibleInterface(&tile);
        QCOMPARE(readout->text(QAccessible::Name), QStringLiteral("Montée"));
        QCOMPARE(readout->text(QAccessible::Description), QStringLiteral("123,4"));
        QCOMPARE(readout->childCount(), 0);

        // Rounded corners leave the window showing; the outline runs along every edge pixel,
        // darker than the inside, which is a faint tint of the text colour.
        tile.setFixedSize(200, 40);
        image = render(tile);
        QVERIFY(fill.lightness() < lightWindow.lightness() && distance(fill, lightWindow) < 40);
        for (const QPoint corner : {QPoint(0, 0), {199, 0}, {0, 39}, {199, 39}})
            QVERIFY(distance(image.pixelColor(corner), lightWindow) <= 3);
        for (const QPoint edge : {QPoint(100, 0), {100, 39}, {0, 20}, {199, 20}})
            QVERIFY2(image.pixelColor(edge).lightness() < fill.lightness(),
                     qPrintable(QStringLiteral("%1,%2").arg(edge.x()).arg(edge.y())));
        QVERIFY(distance(image.pixelColor(3, 20), fill) <= 4
                && distance(image.pixelColor(196, 20), fill) <= 4);
    }

    // A painted icon fills the largest square centred in the space asked, to the device
    // pixel, whether it is painted in place or as a picture.
    void paintedIconCentred_data()
    {
        TestSupport::addColumns<QSize, QRect>("size", "ink");
        QTest::newRow("square") << QSize(16, 16) << QRect(0, 0, 16, 16);
        QTest::newRow("wide") << QSize(20, 16) << QRect(2, 0, 16, 16);
        QTest::newRow("tall") << QSize(16, 24) << QRect(0, 4, 16, 16);
    }

    void paintedIconCentred()
    {
        QFETCH(QSize, size);
        const QIcon icon =
            PaintedIcon::make([](QPainter &painter, const QRectF &square, QIcon::Mode) {
                painter.fillRect(square, Qt::black);
            });
        QImage painted(size, QImage::Format_ARGB32_Premultiplied);
        painted.fill(Qt::transparent);
        QPainter painter(&painted);
        icon.paint(&painter, painted.rect());
        painter.end();
        for (const QImage &image : {painted, icon.pixmap(size).toImage()})
            QTEST(ink(image, [](const QColor &color) { return color.alpha() > 0; }).bounds, "ink");
    }

    // "18,8" and "88,8" differ in their first digit only: what follows it must not move, even
    // with a '1' narrower than the '8'. Right of the middle is past the first digit.
    void numbersKeepTheirPlace()
    {
        static const QString family = loadNarrowOneFont();
        QVERIFY2(!family.isEmpty(), "DejaVu Sans Bold (fonts-dejavu-core) is needed");
        const QFont font = QApplication::font();
        const auto restore = qScopeGuard([&font] { QApplication::setFont(font); });
        QApplication::setFont(QFont(family));
        const QRect right = textBand(gauge300.numberBottom, 40).adjusted(70, 0, 0, 0);
        QCOMPARE(renderGauge(18.8).copy(right), renderGauge(88.8).copy(right));
        const auto tileRight = [](double value) {
            ResultTile tile(QStringLiteral("Descente"));
            tile.setValue(SpeedSettings::format(value));
            return render(tile).copy(56, 0, 56, 56);
        };
        QCOMPARE(tileRight(18.8), tileRight(88.8));
    }
};

TACHORA_TEST_WIDGETS_MAIN(TestViews)
#include "tst_views.moc"
