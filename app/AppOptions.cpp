// SPDX-License-Identifier: GPL-3.0-or-later
#include "AppOptions.h"

#include "engine/SpeedTestConfig.h"
#include "platform/BuildConfig.h"

#include <QCommandLineParser>

AppOptions AppOptions::parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Tachora mesure la latence, la descente et la montée de ta connexion."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Affiche cette aide."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Affiche la version."));
    const QCommandLineOption server(
        QStringLiteral("server"),
        QStringLiteral("Serveur de mesure (http ou https, hôte, port facultatif), par défaut %1.")
            .arg(SpeedTestConfig().host),
        QStringLiteral("ORIGINE"));
    const QCommandLineOption service(
        QStringLiteral("service"),
        QStringLiteral("Service de Tachora (http ou https, hôte, port facultatif), par défaut %1.")
            .arg(QLatin1String(BuildConfig::serviceOrigin)),
        QStringLiteral("ORIGINE"));
    parser.addOptions({help, version, server, service});

    AppOptions options;
    const bool parsed = parser.parse(arguments);
    if (parser.isSet(help)) {
        options.action = Action::help;
        // Without an application object Qt cannot name the program.
        options.message = parser.helpText().replace(QStringLiteral("<executable_name>"),
                                                    QStringLiteral("tachora"));
        return options;
    }
    if (parser.isSet(version)) {
        options.action = Action::version;
        return options;
    }
    const std::pair<const QCommandLineOption *, bool> origins[] = {{&server, true},
                                                                   {&service, false}};
    for (const auto &[option, isServer] : origins) {
        if (!parser.isSet(*option))
            continue;
        const auto origin = SpeedTestConfig::originFrom(parser.value(*option));
        if (!origin) {
            options.action = Action::badOrigin;
            options.message = QStringLiteral("origine invalide pour --%1 : « %2 » (attendu : "
                                             "http://hôte[:port] ou https://hôte[:port])")
                                  .arg(option->names().constFirst(), parser.value(*option));
            return options;
        }
        if (isServer)
            options.server = *origin;
        else
            options.serviceOrigin = *origin;
    }
    if (!parsed) {
        options.action = Action::fail;
        options.message = parser.errorText();
    } else if (!parser.positionalArguments().isEmpty()) {
        options.action = Action::fail;
        options.message = QStringLiteral("argument inattendu : %1")
                              .arg(parser.positionalArguments().constFirst());
    }
    return options;
}
