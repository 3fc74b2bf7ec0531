// SPDX-License-Identifier: GPL-3.0-or-later
// Shows the tray item as the application would: the glyph first, then a live text, so
// that it can be looked at (or photographed) in a real tray.

#include "live/LiveThroughputMonitor.h"
#include "live/StatusItemController.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Shows Tachora's tray item."));
    parser.addHelpOption();
    const QCommandLineOption symbolFor(QStringLiteral("symbol-ms"),
                                       QStringLiteral("How long the glyph shows first."),
                                       QStringLiteral("ms"), QStringLiteral("5000"));
    const QCommandLineOption text(QStringLiteral("text"),
                                  QStringLiteral("A fixed live text instead of the measured rate."),
                                  QStringLiteral("text"));
    const QCommandLineOption quitAfter(QStringLiteral("quit-ms"),
                                       QStringLiteral("Quit after this long; 0 runs on."),
                                       QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption dark(QStringLiteral("dark"),
                                  QStringLiteral("Use a dark palette, as a dark theme would."));
    parser.addOptions({symbolFor, text, quitAfter, dark});
    parser.process(app);
    if (parser.isSet(dark)) {
        QPalette palette(QColor(0x3a, 0x3a, 0x3a), QColor(0x2a, 0x2a, 0x2a));
        palette.setColor(QPalette::WindowText, Qt::white);
        QApplication::setPalette(palette);
    }

    StatusItemController controller;
    auto *menu = new QMenu;
    menu->addAction(QStringLiteral("Quitter Tachora"), &app, &QCoreApplication::quit);
    controller.enable(menu);
    std::printf("tray available: %s\n", QSystemTrayIcon::isSystemTrayAvailable() ? "yes" : "no");
    std::fflush(stdout);

    QTimer::singleShot(parser.value(symbolFor).toInt(), &controller, [&] {
        if (parser.isSet(text)) {
            controller.setLiveText(parser.value(text));
            return;
        }
        controller.setLiveText(QStringLiteral("↓") + LiveThroughputMonitor::compact(0));
        QPointer<StatusItemController> target(&controller);
        LiveThroughputMonitor::shared().onSample = [target](double down, double) {
            if (target)
                target->setLiveText(QStringLiteral("↓") + LiveThroughputMonitor::compact(down));
        };
        LiveThroughputMonitor::shared().start();
    });
    if (const int ms = parser.value(quitAfter).toInt(); ms > 0)
        QTimer::singleShot(ms, &app, &QCoreApplication::quit);

    const int status = app.exec();
    LiveThroughputMonitor::shared().stop();
    LiveThroughputMonitor::shared().onSample = nullptr;
    return status;
}
