#include "TestSupport.h"

#include "live/StatusItemController.h"
#include "live/StatusItemIcon.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>

#include <cmath>

namespace {

// Relative luminance and contrast ratio as the accessibility guidelines define them.
double luminance(QRgb rgb)
{
    auto linear = [](int value) {
        const double c = value / 255.0;
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(qRed(rgb)) + 0.7152 * linear(qGreen(rgb)) + 0.0722 * linear(qBlue(rgb));
}

double contrast(double a, double b)
{
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

bool isTextInk(QRgb pixel)
{
    return qAlpha(pixel) > 128 && luminance(pixel) > 0.3;
}

// Share of the square covered by nearly opaque pixels: most of it for the badge.
double coverage(const QImage &image)
{
    int opaque = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            opaque += qAlpha(image.pixel(x, y)) >= 200;
    }
    return double(opaque) / (image.width() * image.height());
}

QRect inkBounds(const QImage &image)
{
    QRect bounds;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (isTextInk(image.pixel(x, y)))
                bounds |= QRect(x, y, 1, 1);
        }
    }
    return bounds;
}

QImage shown(const StatusItemController &controller)
{
    return controller.trayIcon()->icon().pixmap(22, 22).toImage().convertToFormat(
        QImage::Format_ARGB32);
}

} // namespace

class TestStatusItem : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (QSystemTrayIcon::isSystemTrayAvailable())
            QSKIP("These tests expect no system tray, as on the offscreen platform.");
    }

    void symbolOrTextFollowsState()
    {
        StatusItemController controller;
        controller.disable();
        controller.setLiveText(QStringLiteral("↓12M"));
        QVERIFY(!controller.isEnabled());
        QVERIFY(!controller.trayIcon());

        controller.enable(new QMenu);
        QVERIFY(controller.isEnabled());
        QCOMPARE(controller.trayIcon()->toolTip(), QStringLiteral("↓12M"));
        QVERIFY(coverage(shown(controller)) > 0.8);
        // No tray here: the state is kept, but nothing is visible.
        QVERIFY(!controller.isItemVisible());

        controller.setLiveText(std::nullopt);
        QCOMPARE(controller.trayIcon()->toolTip(), QStringLiteral("Tachora"));
        QVERIFY(coverage(shown(controller)) < 0.5);

        controller.setLiveText(QString());
        QVERIFY(coverage(shown(controller)) > 0.8);
        QVERIFY(inkBounds(shown(controller)).isEmpty());

        controller.setLiveText(QStringLiteral("↓3,5M"));
        controller.disable();
        controller.disable();
        QVERIFY(!controller.trayIcon());
        controller.enable(new QMenu);
        QCOMPARE(controller.trayIcon()->toolTip(), QStringLiteral("↓3,5M"));
    }

    void menusAreReplacedSafely()
    {
        StatusItemController controller;
        QPointer<QMenu> first = new QMenu;
        QPointer<QMenu> second = new QMenu;
        controller.enable(first);
        QSystemTrayIcon *item = controller.trayIcon();
        // An action of the shown menu rebuilds it, as the status menu does.
        QAction *rebuild = first->addAction(QStringLiteral("Lancer le test"));
        connect(rebuild, &QAction::triggered, &controller, [&] {
            controller.enable(second);
            QVERIFY(first); // still running this action
        });
        rebuild->trigger();
        QCOMPARE(controller.trayIcon(), item);
        QCOMPARE(item->contextMenu(), second.data());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!first);

        controller.enable(second);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(second);
        controller.disable();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!second);
    }

    void liveTextStaysInsideItsSquare_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("twoLines");
        QTest::addColumn<int>("minInkHeight");
        QTest::newRow("12M") << QStringLiteral("↓12M") << true << 15;
        QTest::newRow("1000k") << QStringLiteral("↓1000k") << true << 13;
        QTest::newRow("10,0M") << QStringLiteral("↓10,0M") << true << 13;
        // Shrunk to fit rather than cut off.
        QTest::newRow("absurdly long") << QStringLiteral("↓123456789012M") << true << 8;
        QTest::newRow("no arrow") << QStringLiteral("12M") << false << 6;
    }

    void liveTextStaysInsideItsSquare()
    {
        QFETCH(QString, text);
        QFETCH(int, minInkHeight);
        // Drawn in the middle of a larger canvas, so that anything past the square shows.
        QImage canvas(62, 62, QImage::Format_ARGB32);
        canvas.fill(Qt::transparent);
        const QRect square(20, 20, 22, 22);
        QPainter painter(&canvas);
        StatusItemIcon::paint(painter, square, text, QPalette());
        painter.end();
        QImage outside = canvas;
        QPainter eraser(&outside);
        eraser.setCompositionMode(QPainter::CompositionMode_Clear);
        eraser.fillRect(square, Qt::transparent);
        eraser.end();
        QImage blank(canvas.size(), canvas.format());
        blank.fill(Qt::transparent);
        QCOMPARE(outside, blank);

        const QRect ink = inkBounds(canvas);
        QVERIFY(square.adjusted(1, 1, -1, -1).contains(ink));
        QVERIFY2(ink.height() >= minInkHeight, qPrintable(QString::number(ink.height())));
        QVERIFY(ink.width() >= 8);
        // The arrow sits on a line of its own, with a clear row above the number.
        bool gap = false;
        for (int y = ink.top() + 1; y < ink.bottom(); ++y)
            gap = gap || inkBounds(canvas.copy(square.left(), y, 22, 1)).isEmpty();
        QTEST(gap, "twoLines");
    }

    void legibleOnLightAndDarkPanels_data()
    {
        QTest::addColumn<QColor>("panel");
        QTest::addColumn<QColor>("themeText");
        QTest::addColumn<QColor>("themeWindow");
        const QColor light(0xd6, 0xd6, 0xd6), dark(0x20, 0x20, 0x24);
        for (const QColor &panel : {light, dark, QColor(Qt::white), QColor(Qt::black)}) {
            QTest::addRow("%s panel, light theme", qPrintable(panel.name()))
                << panel << QColor(Qt::black) << QColor(0xef, 0xef, 0xef);
            QTest::addRow("%s panel, dark theme", qPrintable(panel.name()))
                << panel << QColor(Qt::white) << QColor(0x2a, 0x2a, 0x2a);
        }
    }

    void legibleOnLightAndDarkPanels()
    {
        QFETCH(QColor, panel);
        QFETCH(QColor, themeText);
        QFETCH(QColor, themeWindow);
        QPalette palette;
        palette.setColor(QPalette::WindowText, themeText);
        palette.setColor(QPalette::Window, themeWindow);
        auto onPanel = [&](const std::optional<QString> &text) {
            QImage image(22, 22, QImage::Format_RGB32);
            image.fill(panel);
            QPainter(&image).drawImage(0, 0, StatusItemIcon::render(text, palette, 22));
            return image;
        };

        // The text against its badge: the lightest against the darkest pixels inside.
        const QImage badge = onPanel(QStringLiteral("↓12M"));
        double lightest = 0, darkest = 1;
        for (int y = 3; y < 19; ++y) {
            for (int x = 3; x < 19; ++x) {
                lightest = std::max(lightest, luminance(badge.pixel(x, y)));
                darkest = std::min(darkest, luminance(badge.pixel(x, y)));
            }
        }
        QVERIFY(contrast(lightest, darkest) >= 7);

        // The glyph, in the theme's text colour, against the panel.
        const QImage symbol = onPanel(std::nullopt);
        int visible = 0, inTextColour = 0;
        for (int y = 0; y < 22; ++y) {
            for (int x = 0; x < 22; ++x) {
                visible += contrast(luminance(symbol.pixel(x, y)), luminance(panel.rgb())) >= 3;
                inTextColour += symbol.pixel(x, y) == themeText.rgb();
            }
        }
        QVERIFY2(visible >= 40, qPrintable(QString::number(visible)));
        QVERIFY(inTextColour >= 20);
    }

    void iconIsRenderedForTraySizes()
    {
        const QIcon icon = StatusItemIcon::icon(QStringLiteral("↓12M"), QPalette());
        // XEmbed trays draw 20 or 22 px, HiDPI ones 44: a scaled pixmap would be blurred.
        for (const int size : {20, 22, 44}) {
            QCOMPARE(icon.pixmap(size, size)
                         .toImage()
                         .convertToFormat(QImage::Format_ARGB32_Premultiplied),
                     StatusItemIcon::render(QStringLiteral("↓12M"), QPalette(), size));
        }
    }
};

TACHORA_TEST_WIDGETS_MAIN(TestStatusItem)
#include "tst_statusitem.moc"
