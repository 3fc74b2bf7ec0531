#include "TestSupport.h"

#include "live/StatusItemController.h"
#include "live/StatusItemIcon.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>

#include <algorithm>
#include <cmath>

namespace {

double channel(int value)
{
    const double c = value / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double luminance(QRgb rgb)
{
    return 0.2126 * channel(qRed(rgb)) + 0.7152 * channel(qGreen(rgb))
           + 0.0722 * channel(qBlue(rgb));
}

double contrast(double a, double b)
{
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

QImage over(const QImage &icon, const QColor &panel)
{
    QImage image(icon.size(), QImage::Format_RGB32);
    image.fill(panel);
    QPainter painter(&image);
    painter.drawImage(0, 0, icon);
    return image;
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

// The light text's pixels on the dark badge.
QRect inkBounds(const QImage &image, const QRect &area)
{
    QRect bounds;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            if (qAlpha(pixel) > 128 && luminance(pixel) > 0.3)
                bounds |= QRect(x, y, 1, 1);
        }
    }
    return bounds;
}

bool rowHasInk(const QImage &image, int y, const QRect &area)
{
    for (int x = area.left(); x <= area.right(); ++x) {
        const QRgb pixel = image.pixel(x, y);
        if (qAlpha(pixel) > 128 && luminance(pixel) > 0.3)
            return true;
    }
    return false;
}

QImage trayImage(const StatusItemController &controller)
{
    return controller.trayIcon()->icon().pixmap(22, 22).toImage().convertToFormat(
        QImage::Format_ARGB32);
}

const QColor lightPanel(0xd6, 0xd6, 0xd6);
const QColor darkPanel(0x20, 0x20, 0x24);

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

    void liveTextSetWhileDisabledShowsOnEnable()
    {
        StatusItemController controller;
        controller.setLiveText(QStringLiteral("↓12M"));
        QVERIFY(!controller.isEnabled());
        QVERIFY(!controller.trayIcon());

        controller.enable(new QMenu);
        QVERIFY(controller.isEnabled());
        QCOMPARE(controller.trayIcon()->toolTip(), QStringLiteral("↓12M"));
        QVERIFY(coverage(trayImage(controller)) > 0.8);
        // No tray on this platform: the state is kept, but the item is not visible.
        QVERIFY(!controller.isItemVisible());

        controller.setLiveText(std::nullopt);
        QCOMPARE(controller.trayIcon()->toolTip(), QStringLiteral("Tachora"));
        QVERIFY(coverage(trayImage(controller)) < 0.5);
        QVERIFY(coverage(trayImage(controller)) > 0.05);
    }

    void emptyTextShowsEmptyBadge()
    {
        StatusItemController controller;
        controller.enable(new QMenu);
        controller.setLiveText(QString());
        const QImage image = trayImage(controller);
        QVERIFY(coverage(image) > 0.8);
        QVERIFY(inkBounds(image, image.rect()).isEmpty());
    }

    void enableTwiceKeepsItemWithSecondMenu()
    {
        StatusItemController controller;
        QPointer<QMenu> first = new QMenu;
        QPointer<QMenu> second = new QMenu;
        controller.enable(first);
        QSystemTrayIcon *item = controller.trayIcon();
        controller.enable(second);
        QCOMPARE(controller.trayIcon(), item);
        QCOMPARE(item->contextMenu(), second.data());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!first);
        QVERIFY(second);

        // The same menu again is kept, not deleted.
        controller.enable(second);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(second);
        QCOMPARE(controller.trayIcon()->contextMenu(), second.data());
    }

    void menuMayRebuildItselfFromItsOwnAction()
    {
        StatusItemController controller;
        QPointer<QMenu> menu = new QMenu;
        QAction *rebuild = menu->addAction(QStringLiteral("Lancer le test"));
        QPointer<QMenu> rebuilt;
        connect(rebuild, &QAction::triggered, &controller, [&] {
            rebuilt = new QMenu;
            controller.enable(rebuilt);
            // The old menu is still running this action.
            QVERIFY(menu);
        });
        controller.enable(menu);
        rebuild->trigger();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!menu);
        QVERIFY(rebuilt);
        QCOMPARE(controller.trayIcon()->contextMenu(), rebuilt.data());
    }

    void disableRemovesItemKeepsText()
    {
        StatusItemController controller;
        controller.disable();
        QVERIFY(!controller.isEnabled());

        QPointer<QMenu> menu = new QMenu;
        controller.enable(menu);
        controller.setLiveText(QStringLiteral("↓3,5M"));
        controller.disable();
        controller.disable();
        QVERIFY(!controller.isEnabled());
        QVERIFY(!controller.trayIcon());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!menu);
        QCOMPARE(controller.liveText(), QStringLiteral("↓3,5M"));

        controller.enable(new QMenu);
        QCOMPARE(controller.trayIcon()->toolTip(), QStringLiteral("↓3,5M"));
        QVERIFY(coverage(trayImage(controller)) > 0.8);
    }

    void liveTextStaysInsideItsSquare_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("twoLines");
        QTest::addColumn<int>("minInkHeight");
        QTest::newRow("12M") << QStringLiteral("↓12M") << true << 15;
        QTest::newRow("0k") << QStringLiteral("↓0k") << true << 15;
        QTest::newRow("1000k") << QStringLiteral("↓1000k") << true << 13;
        QTest::newRow("10,0M") << QStringLiteral("↓10,0M") << true << 13;
        // Shrunk to fit rather than cut off.
        QTest::newRow("absurdly long") << QStringLiteral("↓123456789012M") << true << 8;
        QTest::newRow("no arrow") << QStringLiteral("12M") << false << 6;
    }

    void liveTextStaysInsideItsSquare()
    {
        QFETCH(QString, text);
        QFETCH(bool, twoLines);
        QFETCH(int, minInkHeight);
        // Drawn in the middle of a larger canvas, so that anything past the square shows.
        QImage canvas(62, 62, QImage::Format_ARGB32);
        canvas.fill(Qt::transparent);
        const QRect square(20, 20, 22, 22);
        {
            QPainter painter(&canvas);
            StatusItemIcon::paint(painter, square, text, QPalette());
        }
        for (int y = 0; y < canvas.height(); ++y) {
            for (int x = 0; x < canvas.width(); ++x) {
                if (!square.contains(x, y))
                    QCOMPARE(qAlpha(canvas.pixel(x, y)), 0);
            }
        }
        const QRect ink = inkBounds(canvas, square);
        QVERIFY(square.adjusted(1, 1, -1, -1).contains(ink));
        QVERIFY2(ink.height() >= minInkHeight, qPrintable(QString::number(ink.height())));
        QVERIFY(ink.width() >= 8);
        // The arrow sits on a line of its own, with a clear row above the number.
        bool gap = false;
        for (int y = ink.top() + 1; y < ink.bottom(); ++y)
            gap = gap || !rowHasInk(canvas, y, square);
        QCOMPARE(gap, twoLines);
    }

    void liveTextIsLegibleOnAnyPanel_data()
    {
        QTest::addColumn<QColor>("panel");
        QTest::newRow("light") << lightPanel;
        QTest::newRow("dark") << darkPanel;
        QTest::newRow("white") << QColor(Qt::white);
        QTest::newRow("black") << QColor(Qt::black);
    }

    void liveTextIsLegibleOnAnyPanel()
    {
        QFETCH(QColor, panel);
        const QImage image =
            over(StatusItemIcon::render(QStringLiteral("↓12M"), QPalette(), 22), panel);
        QList<double> levels;
        for (int y = 3; y < 19; ++y) {
            for (int x = 3; x < 19; ++x)
                levels.append(luminance(image.pixel(x, y)));
        }
        std::sort(levels.begin(), levels.end());
        const double dark = levels.at(levels.size() / 20);
        const double light = levels.at(levels.size() * 19 / 20);
        QVERIFY2(contrast(light, dark) >= 7, qPrintable(QString::number(contrast(light, dark))));
    }

    void symbolIsVisibleOnAnyPanel_data()
    {
        QTest::addColumn<QColor>("text");
        QTest::addColumn<QColor>("window");
        QTest::addColumn<QColor>("panel");
        const QColor black(Qt::black), light(0xef, 0xef, 0xef), white(Qt::white),
            dark(0x2a, 0x2a, 0x2a);
        QTest::newRow("light theme, light panel") << black << light << lightPanel;
        QTest::newRow("light theme, dark panel") << black << light << darkPanel;
        QTest::newRow("dark theme, light panel") << white << dark << lightPanel;
        QTest::newRow("dark theme, dark panel") << white << dark << darkPanel;
    }

    void symbolIsVisibleOnAnyPanel()
    {
        QFETCH(QColor, text);
        QFETCH(QColor, window);
        QFETCH(QColor, panel);
        QPalette palette;
        palette.setColor(QPalette::WindowText, text);
        palette.setColor(QPalette::Window, window);
        const QImage icon = StatusItemIcon::render(std::nullopt, palette, 22);
        const QImage image = over(icon, panel);
        const double background = luminance(panel.rgb());
        int visible = 0;
        int inTextColour = 0;
        for (int y = 0; y < 22; ++y) {
            for (int x = 0; x < 22; ++x) {
                visible += contrast(luminance(image.pixel(x, y)), background) >= 3;
                inTextColour += image.pixel(x, y) == text.rgb();
            }
        }
        QVERIFY2(visible >= 40, qPrintable(QString::number(visible)));
        // Drawn in the theme's text colour, as the panel's own glyphs are.
        QVERIFY(inTextColour >= 20);
    }

    void iconOffersTrayAndHiDpiSizes()
    {
        const QIcon icon = StatusItemIcon::icon(QStringLiteral("↓12M"), QPalette());
        for (const int size : {20, 22, 44}) {
            const QPixmap pixmap = icon.pixmap(size, size);
            QCOMPARE(pixmap.size(), QSize(size, size));
            // Rendered for that size rather than scaled from another one.
            QCOMPARE(pixmap.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied),
                     StatusItemIcon::render(QStringLiteral("↓12M"), QPalette(), size));
        }
    }
};

TACHORA_TEST_WIDGETS_MAIN(TestStatusItem)
#include "tst_statusitem.moc"
