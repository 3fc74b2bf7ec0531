#include "TestSupport.h"
#include "ViewTestSupport.h"

#include "views/FlippedView.h"
#include "views/ResultTile.h"

#include <QLabel>

using namespace ViewTest;

class TestTiles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(useDejaVuSans(), "the view tests render with DejaVu Sans (fonts-dejavu-core)");
    }

    void init() { QApplication::setPalette(lightPalette()); }

    void newTile()
    {
        ResultTile tile(QStringLiteral("Descente"));
        QCOMPARE(tile.titleLabel()->text(), QStringLiteral("Descente"));
        QCOMPARE(tile.valueLabel()->text(), QStringLiteral("\u00B7"));
        QCOMPARE(tile.size(), QSize(112, 56));
        QCOMPARE(tile.minimumSize(), QSize(112, 56));
        QCOMPARE(tile.maximumSize(), QSize(112, 56));
        QCOMPARE(tile.titleLabel()->parentWidget(), &tile);
        QCOMPARE(tile.valueLabel()->parentWidget(), &tile);
        QCOMPARE(tile.titleLabel()->geometry(), QRect(0, 8, 112, 15));
        QCOMPARE(tile.valueLabel()->geometry(), QRect(0, 28, 112, 20));
        QCOMPARE(tile.valueLabel()->font().weight(), QFont::DemiBold);
        QCOMPARE(tile.valueLabel()->font().pixelSize(), 16);
        QCOMPARE(tile.titleLabel()->font().pixelSize(), 11);
    }

    void titleSitsAboveValue()
    {
        ResultTile tile(QStringLiteral("Montée"));
        tile.setValue(QStringLiteral("123,4"));
        const QImage image = render(tile);
        const QColor fill = blend(lightPalette().color(QPalette::Window), Qt::black, 0.05);
        const QRect inside(4, 2, 104, 52);
        const QRect title = inkBounds(image, inside.intersected(QRect(0, 0, 112, 26)), fill, 60);
        const QRect value = inkBounds(image, inside.intersected(QRect(0, 26, 112, 30)), fill, 60);
        QVERIFY(!title.isEmpty());
        QVERIFY(!value.isEmpty());
        // The title's ink stays in its 15 px line and the value's in its 20 px line.
        QVERIFY(QRect(0, 8, 112, 15).contains(title));
        QVERIFY(QRect(0, 28, 112, 20).contains(value));
        QVERIFY(value.height() > title.height());
    }

    void emptyValueKeepsTitleAndCard()
    {
        ResultTile tile(QStringLiteral("Ping"));
        tile.setValue(QStringLiteral("18 ms"));
        tile.setValue(QString());
        QCOMPARE(tile.valueLabel()->text(), QString());
        const QImage image = render(tile);
        const QColor fill = blend(lightPalette().color(QPalette::Window), Qt::black, 0.05);
        QVERIFY(inkBounds(image, QRect(12, 26, 88, 28), fill, 20).isEmpty());
        QVERIFY(!inkBounds(image, QRect(4, 4, 104, 22), fill, 60).isEmpty());
        QVERIFY(near(image.pixelColor(8, 40), fill, 4));
    }

    void cardFollowsTheBounds_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("dark");
        QTest::addRow("own size") << QSize(112, 56) << false;
        QTest::addRow("wider and lower") << QSize(200, 40) << false;
        QTest::addRow("narrower and higher") << QSize(60, 90) << false;
        QTest::addRow("dark, own size") << QSize(112, 56) << true;
        QTest::addRow("dark, wider") << QSize(200, 40) << true;
    }

    void cardFollowsTheBounds()
    {
        QFETCH(QSize, size);
        QFETCH(bool, dark);
        const QPalette palette = dark ? darkPalette() : lightPalette();
        QApplication::setPalette(palette);
        const QColor window = palette.color(QPalette::Window);
        const QColor text = palette.color(QPalette::WindowText);

        ResultTile tile(QStringLiteral("Descente"));
        tile.setFixedSize(size);
        QCOMPARE(tile.size(), size);
        const QImage image = render(tile);
        const int right = size.width() - 1;
        const int bottom = size.height() - 1;

        // The rounded corners leave the window showing; the outline runs along every edge
        // pixel, and the inside is a faint tint of the text colour.
        for (const QPoint corner :
             {QPoint(0, 0), QPoint(right, 0), QPoint(0, bottom), QPoint(right, bottom)})
            QVERIFY(near(image.pixelColor(corner), window, 3));
        // The fill ends half way across the edge pixels, under the outline.
        const QColor outline = blend(blend(window, text, 0.05 / 2), text, 0.08);
        for (const QPoint edge : {QPoint(size.width() / 2, 0), QPoint(size.width() / 2, bottom),
                                  QPoint(0, size.height() / 2), QPoint(right, size.height() / 2)})
            QVERIFY(near(image.pixelColor(edge), outline, 4));
        const QColor fill = blend(window, text, 0.05);
        QVERIFY(near(image.pixelColor(3, size.height() / 2), fill, 4));
        QVERIFY(near(image.pixelColor(right - 3, size.height() / 2), fill, 4));
        QVERIFY(distance(fill, window) > 20);
    }

    void flippedViewPlacesFromTheTopLeft()
    {
        FlippedView view(QRect(10, 20, 100, 80));
        QCOMPARE(view.geometry(), QRect(10, 20, 100, 80));
        auto *child = new QWidget(&view);
        child->setGeometry(0, 0, 10, 10);
        child->setAutoFillBackground(true);
        QPalette red;
        red.setColor(QPalette::Window, Qt::red);
        child->setPalette(red);
        const QImage image = render(view);
        QVERIFY(near(image.pixelColor(1, 1), Qt::red));
        QVERIFY(!near(image.pixelColor(1, 75), Qt::red));
    }
};

TACHORA_TEST_WIDGETS_MAIN(TestTiles)
#include "tst_tiles.moc"
