// SPDX-License-Identifier: GPL-3.0-or-later
// Runs one speed test in the application's window against the given server, in a light and
// then a dark palette, and writes a PNG of the window after each, then of its settings:
// app-light.png, settings-light.png, app-dark.png, settings-dark.png; then one of a second
// test's download, the first one's values marked as previous: app-running-light.png and
// app-running-dark.png. Under a desktop theme (QT_QPA_PLATFORMTHEME set), it keeps the
// theme's style and palette and names the pictures after GTK_THEME: app-gtk-Adwaita-dark.png.

#include "AppDelegate.h"
#include "MainWindow.h"

#include "engine/SpeedTestEngine.h"
#include "platform/PreferencesStore.h"
#include "settings/PreferenceKeys.h"

#include <QApplication>
#include <QDir>
#include <QPushButton>
#include <QScopeGuard>
#include <QStyle>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <string_view>

namespace {

QPalette darkPalette()
{
    QPalette palette(QColor(53, 53, 53), QColor(40, 40, 40));
    palette.setColor(QPalette::WindowText, Qt::white);
    palette.setColor(QPalette::Text, Qt::white);
    palette.setColor(QPalette::ButtonText, Qt::white);
    palette.setColor(QPalette::Base, QColor(30, 30, 30));
    return palette;
}

// Runs a test from the window and waits for its end; false when it gave no result. With a
// path, the window is also pictured there once the download shows its first rate.
bool runTest(AppDelegate &app, SpeedTestEngine &engine, const QString &runningPicture = {})
{
    bool gotResult = false;
    const auto progress = engine.onProgress;
    bool pictured = runningPicture.isEmpty();
    engine.onProgress = [&](SpeedTestEngine::Phase phase, double mbps) {
        progress(phase, mbps);
        if (!pictured && phase == SpeedTestEngine::Phase::download) {
            pictured = true;
            QCoreApplication::processEvents();
            app.mainWindow()->grab().save(runningPicture);
        }
    };
    const auto report = engine.onFinished;
    engine.onFinished = [&](std::optional<SpeedTestEngine::Result> result) {
        report(result);
        gotResult = result.has_value();
        QCoreApplication::exit();
    };
    const auto restore = qScopeGuard([&] {
        engine.onProgress = progress;
        engine.onFinished = report;
    });
    app.mainWindow()->findChild<QPushButton *>(QStringLiteral("testButton"))->click();
    QTimer::singleShot(120000, qApp, [] { QCoreApplication::exit(); });
    QCoreApplication::exec();
    return gotResult;
}

} // namespace

int main(int argc, char **argv)
{
    // A history, preferences, caches and update downloads of our own, never the user's.
    QTemporaryDir user;
    for (const char *variable : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME",
                                 "XDG_STATE_HOME", "XDG_RUNTIME_DIR"})
        qputenv(variable, QFile::encodeName(user.path()));
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList arguments = QApplication::arguments();
    const auto origin =
        arguments.size() == 3 ? SpeedTestConfig::originFrom(arguments.at(1)) : std::nullopt;
    if (!origin) {
        std::fprintf(stderr, "usage: tachora-app-pictures <server origin> <output folder>\n");
        return 2;
    }
    const QDir folder(arguments.at(2));
    QDir().mkpath(folder.path());
    const bool desktopTheme = !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORMTHEME");
    if (!desktopTheme)
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setFont(QFont(QStringLiteral("DejaVu Sans")));
    PreferencesStore::shared().setBool(PreferenceKeys::onboarded, true);

    SpeedTestConfig config;
    config.host = *origin;
    SpeedTestEngine engine(config);
    QList<std::pair<QString, QPalette>> appearances = {
        {"light", QApplication::style()->standardPalette()}, {"dark", darkPalette()}};
    if (desktopTheme)
        appearances = {{"gtk-" + qEnvironmentVariable("GTK_THEME", "default").replace(u':', u'-'),
                        QApplication::palette()}};
    for (const auto &[name, palette] : std::as_const(appearances)) {
        QApplication::setPalette(palette);
        AppSetup setup;
        setup.engine = &engine;
        // The service and the update feed are the real ones otherwise: nothing listens here.
        setup.serviceOrigin = QStringLiteral("http://127.0.0.1:9");
        setup.updater.feedUrl = "http://127.0.0.1:9/feed";
        AppDelegate delegate(setup);
        delegate.applicationDidFinishLaunching();
        if (!runTest(delegate, engine)) {
            std::fprintf(stderr, "the test gave no result\n");
            return 1;
        }
        // The new texts are laid out on the next turn of the event loop.
        QCoreApplication::processEvents();
        for (const char *page : {"app", "settings"}) {
            if (page == std::string_view("settings"))
                delegate.showSettings(nullptr);
            const QString path =
                folder.filePath(QStringLiteral("%1-%2.png").arg(QLatin1String(page), name));
            if (!delegate.mainWindow()->grab().save(path)) {
                std::fprintf(stderr, "could not write %s\n", qPrintable(path));
                return 1;
            }
            std::printf("wrote %s\n", qPrintable(path));
        }
        delegate.showMain(nullptr);
        const QString running = folder.filePath(QStringLiteral("app-running-%1.png").arg(name));
        runTest(delegate, engine, running);
        std::printf("wrote %s\n", qPrintable(running));
    }
    return 0;
}
