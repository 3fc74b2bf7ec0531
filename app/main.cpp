// SPDX-License-Identifier: GPL-3.0-or-later
// tachora: the desktop application.

#include "AppDelegate.h"
#include "AppOptions.h"
#include "SingleInstance.h"

#include "engine/SpeedTestEngine.h"
#include "platform/BuildConfig.h"
#include "settings/FrenchTypography.h"

#include <QApplication>

#include <cstdio>
#include <memory>

namespace {

constexpr int exitUsage = 2;

void write(FILE *stream, const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

// Help, version and a malformed origin are answered before any display is opened. Returns
// the exit status then, nothing when the application is to run.
std::optional<int> answerWithoutDisplay(const AppOptions &options)
{
    switch (options.action) {
    case AppOptions::Action::help:
        write(stdout, FrenchTypography::typeset(options.message).toUtf8());
        return 0;
    case AppOptions::Action::version:
        write(stdout, QByteArrayLiteral("tachora ") + BuildConfig::version + "\n");
        return 0;
    case AppOptions::Action::badOrigin:
    case AppOptions::Action::fail:
        write(stderr, FrenchTypography::typeset(QStringLiteral("tachora : ") + options.message
                                                + QStringLiteral("\nVoir tachora --help.\n"))
                          .toUtf8());
        return exitUsage;
    case AppOptions::Action::run:
        break;
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char **argv)
{
    QStringList arguments;
    for (int index = 0; index < argc; ++index)
        arguments.append(QString::fromLocal8Bit(argv[index]));
    // Qt's own options (-style, -platform...) are only known once QApplication has taken
    // them out, so other failures wait until then.
    if (const AppOptions early = AppOptions::parse(arguments);
        early.action != AppOptions::Action::fail) {
        if (const auto status = answerWithoutDisplay(early))
            return *status;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tachora"));
    QApplication::setApplicationDisplayName(QStringLiteral("Tachora"));
    QApplication::setApplicationVersion(QString::fromLatin1(BuildConfig::version));
    // Ties our windows to the installed .desktop file (Wayland's app id, the icon, the entry).
    QGuiApplication::setDesktopFileName(QString::fromLatin1(BuildConfig::appId));
    const AppOptions options = AppOptions::parse(QApplication::arguments());
    if (const auto status = answerWithoutDisplay(options))
        return *status;

    SingleInstance instance;
    if (!instance.claim())
        return 0;

    AppDelegate::Setup setup;
    // Declared before the delegate that uses it, so that it goes after it, while the
    // application object is still there.
    std::unique_ptr<SpeedTestEngine> engine;
    if (options.server) {
        SpeedTestConfig config;
        config.host = *options.server;
        engine = std::make_unique<SpeedTestEngine>(config);
        setup.engine = engine.get();
    }
    setup.serviceOrigin = options.serviceOrigin;
    setup.reportCrashes = true;
    AppDelegate delegate(std::move(setup));
    QObject::connect(&instance, &SingleInstance::activationRequested, &delegate,
                     [&delegate](const QByteArray &activationToken) {
                         // Qt's Wayland windows hand this to the compositor when they ask to
                         // be activated, and then forget it.
                         if (!activationToken.isEmpty())
                             qputenv("XDG_ACTIVATION_TOKEN", activationToken);
                         delegate.showMainWindow(nullptr);
                     });
    QMetaObject::invokeMethod(&delegate, &AppDelegate::applicationDidFinishLaunching,
                              Qt::QueuedConnection);
    return QApplication::exec();
}
