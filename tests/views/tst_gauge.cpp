#include "TestSupport.h"
#include "ViewTestSupport.h"

#include "platform/PreferencesStore.h"
#include "settings/PreferenceKeys.h"
#include "settings/SpeedSettings.h"
#include "views/GaugeGeometry.h"
#include "views/GaugeView.h"
#include "views/Palette.h"

#include <QPainter>

#include <cmath>
#include <limits>
#include <numbers>

using namespace ViewTest;

namespace {

// Counts the paints that really happen, to see how writes are coalesced.
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

// The colour on the middle line of the ring at `degrees` (0 at the right end, 90 at the top,
// 180 at the left end).
QColor ringColor(const QImage &image, const GaugeGeometry &geometry, qreal degrees)
{
    const qreal angle = degrees * std::numbers::pi / 180;
    const QPointF point =
        geometry.centre + QPointF(std::cos(angle), -std::sin(angle)) * geometry.radius;
    return image.pixelColor(qFloor(point.x()), qFloor(point.y()));
}

bool anyGreen(const QImage &image)
{
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (near(image.pixelColor(x, y), speedGreenFixed(), 60))
                return true;
        }
    }
    return false;
}

QImage renderGauge(double mbps, const QString &caption = QString(), QSize size = {300, 200})
{
    GaugeView gauge;
    gauge.resize(size);
    gauge.setMbps(mbps);
    gauge.setCaption(caption);
    return render(gauge);
}

// The part of a 300 x 200 gauge's inside, clear of the ring, where a text line ends at `bottom`.
QRect textBand(qreal bottom, int lineHeight)
{
    return QRect(QPoint(80, qFloor(bottom) - lineHeight), QPoint(220, qCeil(bottom)));
}

// The picture with the area of the three texts blacked out, leaving the ring.
QImage ringOnly(QImage image)
{
    const GaugeGeometry geometry = *gaugeGeometry(QSizeF(image.size()));
    QPainter(&image).fillRect(textBand(geometry.numberBottom, 40).united(textBand(200, 14)),
                              Qt::black);
    return image;
}

} // namespace

class TestGauge : public QObject
{
    Q_OBJECT

    const QColor background = lightPalette().color(QPalette::Window);

private slots:
    void initTestCase()
    {
        QVERIFY2(useDejaVuSans(), "the view tests render with DejaVu Sans (fonts-dejavu-core)");
        QApplication::setPalette(lightPalette());
    }

    void init() { PreferencesStore::shared().remove(PreferenceKeys::unitMBytes); }

    void geometry_data()
    {
        QTest::addColumn<QSizeF>("size");
        QTest::addColumn<bool>("drawn");
        QTest::addColumn<qreal>("radius");
        QTest::addRow("300x200") << QSizeF(300, 200) << true << 126.0;
        QTest::addRow("tall and narrow") << QSizeF(80, 200) << false << 0.0;
        QTest::addRow("width limit, ring of 20") << QSizeF(88, 200) << false << 0.0;
        QTest::addRow("just wide enough") << QSizeF(90, 200) << true << 21.0;
        QTest::addRow("height limit, ring of 20") << QSizeF(300, 64) << false << 0.0;
        QTest::addRow("just high enough") << QSizeF(300, 65) << true << 21.0;
        QTest::addRow("height bound") << QSizeF(1000, 150) << true << 106.0;
        QTest::addRow("empty") << QSizeF(0, 0) << false << 0.0;
    }

    void geometry()
    {
        QFETCH(QSizeF, size);
        QFETCH(bool, drawn);
        QFETCH(qreal, radius);
        const std::optional<GaugeGeometry> geometry = gaugeGeometry(size);
        QCOMPARE(geometry.has_value(), drawn);
        if (!geometry)
            return;
        QCOMPARE(geometry->radius, radius);
        QCOMPARE(geometry->centre, QPointF(size.width() / 2, size.height() - 22));
        // Measured from the bottom edge, as the heights above the bottom they stand for.
        const qreal numberHeight = radius * 0.34 + 22;
        QCOMPARE(size.height() - geometry->numberBottom, numberHeight);
        QCOMPARE(size.height() - geometry->unitBottom, numberHeight - 16);
        QCOMPARE(geometry->captionBottom, size.height());
    }

    void examplePositions()
    {
        const std::optional<GaugeGeometry> geometry = gaugeGeometry(QSizeF(300, 200));
        QVERIFY(geometry);
        QVERIFY(qAbs(200 - geometry->numberBottom - 64.84) < 1e-9);
        QVERIFY(qAbs(200 - geometry->unitBottom - 48.84) < 1e-9);
    }

    void fraction_data()
    {
        QTest::addColumn<double>("mbps");
        QTest::addColumn<bool>("shown");
        QTest::addColumn<double>("fraction");
        const double nan = std::numeric_limits<double>::quiet_NaN();
        const double infinity = std::numeric_limits<double>::infinity();
        QTest::addRow("0") << 0.0 << false << 0.0;
        QTest::addRow("0.02, too small to show") << 0.02 << false << 0.0;
        QTest::addRow("just above the threshold") << 0.03 << true << std::log10(1.03) / 3;
        QTest::addRow("9, a third") << 9.0 << true << 1.0 / 3;
        QTest::addRow("99, two thirds") << 99.0 << true << 2.0 / 3;
        QTest::addRow("999, full") << 999.0 << true << 1.0;
        QTest::addRow("5000, full") << 5000.0 << true << 1.0;
        QTest::addRow("infinity, full") << infinity << true << 1.0;
        QTest::addRow("negative, like 0") << -50.0 << false << 0.0;
        QTest::addRow("NaN") << nan << false << 0.0;
    }

    void fraction()
    {
        QFETCH(double, mbps);
        QFETCH(bool, shown);
        QFETCH(double, fraction);
        const std::optional<qreal> actual = gaugeFraction(mbps);
        QCOMPARE(actual.has_value(), shown);
        if (shown)
            QVERIFY2(qAbs(*actual - fraction) < 1e-12, qPrintable(QString::number(*actual)));
    }

    void arc_data()
    {
        // Which points of the ring, by angle, are green.
        QTest::addColumn<double>("mbps");
        QTest::addColumn<QList<double>>("green");
        QTest::addColumn<QList<double>>("track");
        QTest::addRow("0") << 0.0 << QList<double>{} << QList<double>{180, 90, 0};
        QTest::addRow("0.02") << 0.02 << QList<double>{} << QList<double>{180, 90, 0};
        QTest::addRow("negative") << -5.0 << QList<double>{} << QList<double>{180, 90, 0};
        QTest::addRow("9") << 9.0 << QList<double>{180, 150, 125} << QList<double>{90, 30, 0};
        QTest::addRow("99") << 99.0 << QList<double>{180, 90, 65} << QList<double>{40, 0};
        QTest::addRow("999") << 999.0 << QList<double>{180, 90, 0} << QList<double>{};
        QTest::addRow("5000") << 5000.0 << QList<double>{180, 90, 0} << QList<double>{};
        QTest::addRow("NaN") << std::numeric_limits<double>::quiet_NaN() << QList<double>{}
                             << QList<double>{180, 90, 0};
    }

    void arc()
    {
        QFETCH(double, mbps);
        QFETCH(QList<double>, green);
        QFETCH(QList<double>, track);
        const QImage image = renderGauge(mbps);
        const GaugeGeometry geometry = *gaugeGeometry(QSizeF(300, 200));
        const QColor trackColor = blend(background, Qt::black, 0.12);
        for (double degrees : green) {
            QVERIFY2(near(ringColor(image, geometry, degrees), speedGreenFixed()),
                     qPrintable(QStringLiteral("not green at %1°").arg(degrees)));
        }
        for (double degrees : track) {
            QVERIFY2(near(ringColor(image, geometry, degrees), trackColor),
                     qPrintable(QStringLiteral("not the track at %1°").arg(degrees)));
        }
        if (green.isEmpty())
            QVERIFY(!anyGreen(image));
    }

    void arcFollowsMbpsInAnyUnit()
    {
        const QImage mbps = renderGauge(800);
        const QImage hundred = renderGauge(100);
        SpeedSettings::setUnitMBytes(true);
        const QImage megabytes = renderGauge(800);

        const GaugeGeometry geometry = *gaugeGeometry(QSizeF(300, 200));
        const QRect number = textBand(geometry.numberBottom, 40);
        const QRect unit = textBand(geometry.unitBottom, 14);
        // Same ring, same number as 100 Mbps ("100"), another unit.
        QCOMPARE(ringOnly(megabytes), ringOnly(mbps));
        QVERIFY(ringOnly(megabytes) != ringOnly(hundred));
        QCOMPARE(megabytes.copy(number), hundred.copy(number));
        QVERIFY(megabytes.copy(unit) != mbps.copy(unit));
        QVERIFY(megabytes.copy(number) != mbps.copy(number));
    }

    void textsAreCentredInTheirLines()
    {
        const QImage image = renderGauge(42.5, QStringLiteral("Descente"));
        const GaugeGeometry geometry = *gaugeGeometry(QSizeF(300, 200));
        const QRect number = inkBounds(image, textBand(geometry.numberBottom, 40), background);
        const QRect unit = inkBounds(image, textBand(geometry.unitBottom, 14), background, 40);
        const QRect caption =
            inkBounds(image, textBand(geometry.captionBottom, 14), background, 30);
        for (const QRect &ink : {number, unit, caption}) {
            QVERIFY(!ink.isEmpty());
            QVERIFY2(qAbs(ink.center().x() + 0.5 - 150) <= 2,
                     qPrintable(QStringLiteral("ink centred at %1").arg(ink.center().x())));
        }
        // Each text stands on its own line: above its line's bottom, number above unit above
        // caption.
        QVERIFY(number.bottom() < geometry.numberBottom);
        QVERIFY(number.bottom() < unit.top());
        QVERIFY(unit.bottom() < geometry.unitBottom);
        QVERIFY(unit.bottom() < caption.top());
        QVERIFY(number.height() > 2 * unit.height());
    }

    void captionComesAndGoes()
    {
        GaugeView gauge;
        gauge.resize(300, 200);
        const QRect band = textBand(200, 14);
        QVERIFY(inkBounds(render(gauge), band, background, 30).isEmpty());
        gauge.setCaption(QStringLiteral("Test annulé"));
        QVERIFY(!inkBounds(render(gauge), band, background, 30).isEmpty());
        gauge.setCaption(QString());
        QVERIFY(inkBounds(render(gauge), band, background, 30).isEmpty());
    }

    void nothingBelowTheSizeLimit_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("drawn");
        QTest::addRow("80x200") << QSize(80, 200) << false;
        QTest::addRow("88x200") << QSize(88, 200) << false;
        QTest::addRow("90x200") << QSize(90, 200) << true;
        QTest::addRow("300x64") << QSize(300, 64) << false;
        QTest::addRow("300x65") << QSize(300, 65) << true;
    }

    void nothingBelowTheSizeLimit()
    {
        QFETCH(QSize, size);
        QFETCH(bool, drawn);
        const QImage image = renderGauge(50, QStringLiteral("Descente"), size);
        const QRect ink = inkBounds(image, image.rect(), background, 8);
        QCOMPARE(!ink.isEmpty(), drawn);
    }

    void followsTheDarkAppearance()
    {
        QApplication::setPalette(darkPalette());
        const QImage image = renderGauge(9, QStringLiteral("Descente"));
        QApplication::setPalette(lightPalette());
        const QColor dark = darkPalette().color(QPalette::Window);
        const GaugeGeometry geometry = *gaugeGeometry(QSizeF(300, 200));
        QVERIFY(near(ringColor(image, geometry, 180), speedGreenFixed()));
        QVERIFY(near(ringColor(image, geometry, 90), blend(dark, Qt::white, 0.12)));
        // The number is drawn in the light text colour of the dark appearance.
        const QRect number = inkBounds(image, textBand(geometry.numberBottom, 40), dark);
        QVERIFY(!number.isEmpty());
        bool white = false;
        for (int x = number.left(); x <= number.right() && !white; ++x) {
            for (int y = number.top(); y <= number.bottom() && !white; ++y)
                white = near(image.pixelColor(x, y), Qt::white);
        }
        QVERIFY(white);
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
    }
};

TACHORA_TEST_WIDGETS_MAIN(TestGauge)
#include "tst_gauge.moc"
