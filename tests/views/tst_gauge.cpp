#include "TestSupport.h"
#include "ViewTestSupport.h"

#include "settings/SpeedSettings.h"
#include "views/GaugeGeometry.h"
#include "views/GaugeView.h"
#include "views/Palette.h"

#include <QPainter>

#include <cmath>
#include <limits>
#include <numbers>

using namespace ViewTest;
using Angles = QList<double>;

namespace {

constexpr double notANumber = std::numeric_limits<double>::quiet_NaN();
const GaugeGeometry geometry = *gaugeGeometry(QSizeF(300, 200));
const QColor background = lightWindow;

class CountingGauge : public GaugeView
{
public:
    int paints = 0;

protected:
    void paintEvent(QPaintEvent *event) override
    {
        ++paints;
        GaugeView::paintEvent(event);
    }
};

QImage renderGauge(double mbps, const QString &caption = {}, QSize size = {300, 200})
{
    GaugeView gauge;
    gauge.resize(size);
    gauge.setMbps(mbps);
    gauge.setCaption(caption);
    return render(gauge);
}

// The colour on the middle line of the ring at `degrees` (0 right, 90 top, 180 left).
QColor ringColor(const QImage &image, qreal degrees)
{
    const qreal angle = degrees * std::numbers::pi / 180;
    const QPointF point =
        geometry.centre + QPointF(std::cos(angle), -std::sin(angle)) * geometry.radius;
    return image.pixelColor(qFloor(point.x()), qFloor(point.y()));
}

// The inside of a 300 x 200 gauge, clear of the ring, where a text line ends at `bottom`.
QRect textBand(qreal bottom, int lineHeight)
{
    return QRect(QPoint(80, qFloor(bottom) - lineHeight), QPoint(220, qCeil(bottom)));
}

QImage ringOnly(QImage image)
{
    QPainter(&image).fillRect(textBand(geometry.numberBottom, 40).united(textBand(200, 14)),
                              Qt::black);
    return image;
}

} // namespace

class TestGauge : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(useDejaVuSans(), "the view tests render with DejaVu Sans (fonts-dejavu-core)");
        QApplication::setPalette(lightPalette());
    }

    void init() { SpeedSettings::setUnitMBytes(false); }

    void geometryAndSizeLimit_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<qreal>("radius");
        QTest::addRow("300x200") << QSize(300, 200) << 126.0;
        QTest::addRow("80x200") << QSize(80, 200) << 0.0;
        QTest::addRow("88x200, ring of 20") << QSize(88, 200) << 0.0;
        QTest::addRow("90x200") << QSize(90, 200) << 21.0;
        QTest::addRow("300x64, ring of 20") << QSize(300, 64) << 0.0;
        QTest::addRow("300x65") << QSize(300, 65) << 21.0;
    }

    void geometryAndSizeLimit()
    {
        QFETCH(QSize, size);
        QFETCH(qreal, radius);
        const std::optional<GaugeGeometry> geometry = gaugeGeometry(size);
        QCOMPARE(geometry.has_value(), radius > 0);
        // Below the limit nothing at all is drawn, caption included.
        const QImage image = renderGauge(50, QStringLiteral("Descente"), size);
        QCOMPARE(inkBounds(image, image.rect(), background, 8).isEmpty(), radius == 0);
        if (!geometry)
            return;
        QCOMPARE(geometry->radius, radius);
        QCOMPARE(geometry->centre, QPointF(size.width() / 2.0, size.height() - 22));
        QVERIFY(qAbs(size.height() - geometry->numberBottom - (radius * 0.34 + 22)) < 1e-9);
        QVERIFY(qAbs(geometry->unitBottom - geometry->numberBottom - 16) < 1e-9);
        QCOMPARE(geometry->captionBottom, size.height());
    }

    void fraction_data()
    {
        QTest::addColumn<double>("mbps");
        QTest::addColumn<double>("fraction");
        QTest::addRow("0") << 0.0 << 0.0;
        QTest::addRow("0.02") << 0.02 << 0.0;
        QTest::addRow("0.03") << 0.03 << std::log10(1.03) / 3;
        QTest::addRow("9") << 9.0 << 1.0 / 3;
        QTest::addRow("99") << 99.0 << 2.0 / 3;
        QTest::addRow("999") << 999.0 << 1.0;
        QTest::addRow("5000") << 5000.0 << 1.0;
        QTest::addRow("infinity") << std::numeric_limits<double>::infinity() << 1.0;
        QTest::addRow("negative") << -50.0 << 0.0;
        QTest::addRow("NaN") << notANumber << 0.0;
    }

    void fraction()
    {
        QFETCH(double, mbps);
        QFETCH(double, fraction);
        const std::optional<qreal> actual = gaugeFraction(mbps);
        QCOMPARE(actual.has_value(), fraction > 0);
        QVERIFY(!actual || qAbs(*actual - fraction) < 1e-12);
    }

    void arc_data()
    {
        QTest::addColumn<double>("mbps");
        QTest::addColumn<Angles>("green");
        QTest::addColumn<Angles>("track");
        QTest::addRow("0") << 0.0 << Angles{} << Angles{180, 90, 0};
        QTest::addRow("0.02") << 0.02 << Angles{} << Angles{180, 90, 0};
        QTest::addRow("NaN") << notANumber << Angles{} << Angles{180, 90, 0};
        QTest::addRow("9") << 9.0 << Angles{180, 150, 125} << Angles{90, 30, 0};
        QTest::addRow("99") << 99.0 << Angles{180, 90, 65} << Angles{40, 0};
        QTest::addRow("999") << 999.0 << Angles{180, 90, 0} << Angles{};
        QTest::addRow("5000") << 5000.0 << Angles{180, 90, 0} << Angles{};
    }

    void arc()
    {
        QFETCH(double, mbps);
        QFETCH(Angles, green);
        QFETCH(Angles, track);
        const QImage image = renderGauge(mbps);
        for (double degrees : green)
            QVERIFY2(distance(ringColor(image, degrees), speedGreenFixed()) <= 12,
                     qPrintable(QStringLiteral("%1°").arg(degrees)));
        for (double degrees : track)
            QVERIFY2(distance(ringColor(image, degrees), blend(background, Qt::black, 0.12)) <= 12,
                     qPrintable(QStringLiteral("%1°").arg(degrees)));
        bool anyGreen = false;
        for (int y = 0; y < image.height() && !anyGreen; ++y) {
            for (int x = 0; x < image.width() && !anyGreen; ++x)
                anyGreen = distance(image.pixelColor(x, y), speedGreenFixed()) <= 60;
        }
        QCOMPARE(anyGreen, !green.isEmpty());
    }

    void arcStaysInMbps()
    {
        const QImage mbps = renderGauge(800);
        const QImage hundred = renderGauge(100);
        SpeedSettings::setUnitMBytes(true);
        const QImage megabytes = renderGauge(800);
        // The ring of 800 Mbps, the number "100" of 100 Mbps, and another unit.
        const QRect number = textBand(geometry.numberBottom, 40);
        const QRect unit = textBand(geometry.unitBottom, 14);
        QCOMPARE(ringOnly(megabytes), ringOnly(mbps));
        QVERIFY(ringOnly(megabytes) != ringOnly(hundred));
        QCOMPARE(megabytes.copy(number), hundred.copy(number));
        QVERIFY(megabytes.copy(unit) != hundred.copy(unit));
    }

    void textsAreCentredOnTheirLines()
    {
        GaugeView gauge;
        gauge.resize(300, 200);
        gauge.setMbps(42.5);
        QVERIFY(inkBounds(render(gauge), textBand(200, 14), background, 30).isEmpty());
        gauge.setCaption(QStringLiteral("Descente"));
        const QImage image = render(gauge);
        const QRect number = inkBounds(image, textBand(geometry.numberBottom, 40), background, 60);
        const QRect unit = inkBounds(image, textBand(geometry.unitBottom, 14), background, 40);
        const QRect caption = inkBounds(image, textBand(200, 14), background, 30);
        for (const QRect &ink : {number, unit, caption}) {
            QVERIFY(!ink.isEmpty());
            QVERIFY2(qAbs(ink.center().x() + 0.5 - 150) <= 2, qPrintable(QString::number(ink.x())));
        }
        QVERIFY(number.bottom() < geometry.numberBottom && number.bottom() < unit.top());
        QVERIFY(unit.bottom() < geometry.unitBottom && unit.bottom() < caption.top());
        QVERIFY(number.height() > 2 * unit.height());

        gauge.setCaption(QString());
        QVERIFY(inkBounds(render(gauge), textBand(200, 14), background, 30).isEmpty());
    }

    void writesAreStoredAndDrawnOnce()
    {
        CountingGauge gauge;
        gauge.resize(300, 200);
        gauge.show();
        QVERIFY(QTest::qWaitForWindowExposed(&gauge));
        QTRY_VERIFY_WITH_TIMEOUT(gauge.paints > 0, 5000);
        gauge.paints = 0;
        gauge.setMbps(12);
        gauge.setMbps(-3.5);
        gauge.setCaption(QStringLiteral("Montée"));
        QCOMPARE(gauge.paints, 0);
        QTRY_COMPARE_WITH_TIMEOUT(gauge.paints, 1, 5000);
        QCOMPARE(gauge.mbps(), -3.5);
        QCOMPARE(gauge.caption(), QStringLiteral("Montée"));
        // The colours are the palette's: a new appearance is drawn at once.
        QApplication::setPalette(darkPalette());
        QTRY_COMPARE_WITH_TIMEOUT(gauge.paints, 2, 5000);
        QApplication::setPalette(lightPalette());
    }
};

TACHORA_TEST_WIDGETS_MAIN(TestGauge)
#include "tst_gauge.moc"
