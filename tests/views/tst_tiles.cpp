#include "TestSupport.h"
#include "ViewTestSupport.h"

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

    void titleAboveValue()
    {
        ResultTile tile(QStringLiteral("Montée"));
        QCOMPARE(tile.valueLabel()->text(), QStringLiteral("\u00B7"));
        QCOMPARE(tile.size(), QSize(112, 56));
        QCOMPARE(tile.maximumSize(), QSize(112, 56));
        tile.setValue(QStringLiteral("123,4"));

        const QColor fill = blend(lightPalette().color(QPalette::Window), Qt::black, 0.05);
        const QRect upper(12, 2, 88, 24), lower(12, 26, 88, 28);
        QImage image = render(tile);
        const QRect title = inkBounds(image, upper, fill, 60);
        const QRect value = inkBounds(image, lower, fill, 60);
        QVERIFY(!title.isEmpty() && QRect(0, 8, 112, 15).contains(title));
        QVERIFY(!value.isEmpty() && QRect(0, 28, 112, 20).contains(value));
        QVERIFY(value.height() > title.height());

        tile.setValue(QString());
        image = render(tile);
        QVERIFY(inkBounds(image, lower, fill, 20).isEmpty());
        QCOMPARE(inkBounds(image, upper, fill, 60), title);
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
        const QImage image = render(tile);
        const int right = size.width() - 1, bottom = size.height() - 1;
        const int midX = size.width() / 2, midY = size.height() / 2;

        // Rounded corners leave the window showing; the outline runs along every edge pixel
        // (over half a pixel of fill), and the inside is a faint tint of the text colour.
        for (const QPoint corner :
             {QPoint(0, 0), QPoint(right, 0), QPoint(0, bottom), QPoint(right, bottom)})
            QVERIFY(distance(image.pixelColor(corner), window) <= 3);
        const QColor outline = blend(blend(window, text, 0.05 / 2), text, 0.08);
        for (const QPoint edge :
             {QPoint(midX, 0), QPoint(midX, bottom), QPoint(0, midY), QPoint(right, midY)})
            QVERIFY(distance(image.pixelColor(edge), outline) <= 4);
        const QColor fill = blend(window, text, 0.05);
        QVERIFY(distance(image.pixelColor(3, midY), fill) <= 4);
        QVERIFY(distance(image.pixelColor(right - 3, midY), fill) <= 4);
    }
};

TACHORA_TEST_WIDGETS_MAIN(TestTiles)
#include "tst_tiles.moc"
