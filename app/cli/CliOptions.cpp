// SPDX-License-Identifier: GPL-3.0-or-later
#include "CliOptions.h"

#include "engine/SpeedTestMath.h"
#include "settings/FrenchTypography.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>

#include <arpa/inet.h>
#include <cmath>
#include <net/if.h>

namespace {

constexpr double longestBudgetSeconds = 3600.0;
constexpr qint64 largestStepBytes = 1000000000000;

std::optional<double> budgetFrom(const QString &text)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    // A phase no longer than the engine's shortest would measure nothing, and the test would
    // then read as a network failure.
    if (!ok || !std::isfinite(seconds) || seconds <= SpeedTestMath::minimumPhaseSeconds
        || seconds > longestBudgetSeconds)
        return std::nullopt;
    return seconds;
}

std::optional<QList<qint64>> stepsFrom(const QString &text)
{
    QList<qint64> steps;
    for (const QString &part : text.split(u',')) {
        bool ok = false;
        const qint64 bytes = part.trimmed().toLongLong(&ok);
        if (!ok || bytes < 1 || bytes > largestStepBytes)
            return std::nullopt;
        steps.append(bytes);
    }
    return steps;
}

// The source in curl's form, from an interface's name or a local address; absent when the
// text is neither.
std::optional<QString> sourceFrom(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    unsigned char address[16];
    if (::inet_pton(AF_INET, bytes.constData(), address) == 1
        || ::inet_pton(AF_INET6, bytes.constData(), address) == 1)
        return QStringLiteral("host!") + text;
    if (!bytes.isEmpty() && ::if_nametoindex(bytes.constData()) != 0)
        return QStringLiteral("if!") + text;
    return std::nullopt;
}

// An option's name as typed: "-4", "--json".
QString typed(const QString &name)
{
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

// The parser's own complaints, in French.
QString parserError(const QCommandLineParser &parser)
{
    const QStringList unknown = parser.unknownOptionNames();
    if (!unknown.isEmpty()) {
        return FrenchTypography::typeset(QStringLiteral("option inconnue : %1"),
                                         typed(unknown.constFirst()));
    }
    static const QRegularExpression missing(QStringLiteral("^Missing value after '(.*)'"));
    static const QRegularExpression unexpected(QStringLiteral("^Unexpected value after '(.*)'"));
    if (const auto match = missing.match(parser.errorText()); match.hasMatch())
        return FrenchTypography::typeset(QStringLiteral("valeur manquante pour %1"),
                                         match.captured(1));
    if (const auto match = unexpected.match(parser.errorText()); match.hasMatch())
        return FrenchTypography::typeset(QStringLiteral("valeur inattendue pour %1"),
                                         match.captured(1));
    return parser.errorText();
}

CliOptions failure(QString message)
{
    CliOptions options;
    options.action = CliOptions::Action::fail;
    options.message = std::move(message);
    return options;
}

} // namespace

CliOptions CliOptions::parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Mesure la latence, le débit descendant et le débit montant de la connexion, puis "
        "affiche le résultat et l’ajoute à l’historique de Tachora.\n"
        "Statut de sortie : 0 avec un résultat (ou l’historique), 1 sans résultat, 2 pour une "
        "option invalide, 130 après Ctrl-C."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Affiche cette aide."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Affiche la version."));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Écrit le résultat en un objet JSON : "
                                                 "{\"date\", \"down\" (Mbps), \"up\" (Mbps), "
                                                 "\"ping\" (ms), \"loadedLatencyDown\" (ms), "
                                                 "\"loadedLatencyUp\" (ms), \"jitter\" (ms), "
                                                 "\"grade\", \"streamsDown\", \"streamsUp\" "
                                                 "(connexions parallèles)}, null pour ce qui "
                                                 "n’a pas été mesuré."));
    const QCommandLineOption server(
        QStringLiteral("server"),
        QStringLiteral("Serveur de mesure (http ou https, hôte, port facultatif), par défaut %1.")
            .arg(SpeedTestConfig().host),
        QStringLiteral("ORIGINE"));
    const QCommandLineOption cacert(
        QStringLiteral("cacert"),
        QStringLiteral("Fichier PEM des autorités de certification à croire pour https."),
        QStringLiteral("FICHIER"));
    const QCommandLineOption http2(QStringLiteral("http2"),
                                   QStringLiteral("Négocie HTTP/2 sur TLS au lieu de HTTP/1.1."));
    const QCommandLineOption downloadBudget(
        QStringLiteral("download-budget"),
        QStringLiteral("Durée maximale de la descente en secondes (défaut 8)."),
        QStringLiteral("S"));
    const QCommandLineOption uploadBudget(
        QStringLiteral("upload-budget"),
        QStringLiteral("Durée maximale de la montée en secondes (défaut 5)."), QStringLiteral("S"));
    const QCommandLineOption steps(
        QStringLiteral("steps"),
        QStringLiteral("Tailles en octets des téléchargements successifs de chaque connexion, "
                       "la dernière répétée jusqu’à 10 Go en tout "
                       "(défaut 15000000,40000000,95000000)."),
        QStringLiteral("N,N,..."));
    const QCommandLineOption noLoadedLatency(
        QStringLiteral("no-loaded-latency"),
        QStringLiteral("Ne mesure pas la latence pendant la descente et la montée."));
    const QCommandLineOption csv(
        QStringLiteral("csv"),
        QStringLiteral("Écrit le résultat en une ligne CSV : date (ISO 8601 UTC), serveur, ping, "
                       "gigue, descente, montée, latences en charge descendante et montante, "
                       "réactivité, octets descendus et montés ; « . » pour séparateur décimal, "
                       "un champ vide pour ce qui n’a pas été mesuré."));
    const QCommandLineOption csvHeader(
        QStringLiteral("csv-header"),
        QStringLiteral("Écrit d’abord la ligne des noms des colonnes du CSV ; seule, n’écrit "
                       "qu’elle, sans mesurer."));
    const QCommandLineOption history(
        QStringLiteral("history"),
        QStringLiteral("Affiche les résultats enregistrés, du plus récent au plus ancien, sans "
                       "mesurer (avec --json ou --csv pour les machines)."));
    const QCommandLineOption interface(
        QStringLiteral("interface"),
        QStringLiteral("Envoie depuis cette interface réseau (eth0) ou cette adresse locale."),
        QStringLiteral("NOM|ADRESSE"));
    const QCommandLineOption ipv4({QStringLiteral("4"), QStringLiteral("ipv4")},
                                  QStringLiteral("N’utilise que l’IPv4."));
    const QCommandLineOption ipv6({QStringLiteral("6"), QStringLiteral("ipv6")},
                                  QStringLiteral("N’utilise que l’IPv6."));
    const QCommandLineOption noDownload(QStringLiteral("no-download"),
                                        QStringLiteral("Ne mesure pas la descente."));
    const QCommandLineOption noUpload(QStringLiteral("no-upload"),
                                      QStringLiteral("Ne mesure pas la montée."));
    parser.addOptions({help, version, json, csv, csvHeader, history, server, cacert, http2,
                       interface, ipv4, ipv6, downloadBudget, uploadBudget, steps, noLoadedLatency,
                       noDownload, noUpload});

    if (!parser.parse(arguments))
        return failure(parserError(parser));
    if (!parser.positionalArguments().isEmpty())
        return failure(FrenchTypography::typeset(QStringLiteral("argument inattendu : %1"),
                                                 parser.positionalArguments().constFirst()));

    CliOptions options;
    if (parser.isSet(help)) {
        options.action = Action::help;
        options.message = parser.helpText();
        return options;
    }
    if (parser.isSet(version)) {
        options.action = Action::version;
        return options;
    }
    options.json = parser.isSet(json);
    options.csv = parser.isSet(csv);
    options.csvHeader = parser.isSet(csvHeader);
    if (options.json && (options.csv || options.csvHeader))
        return failure(FrenchTypography::typeset(
            QStringLiteral("--json et %1 s’excluent")
                .arg(options.csv ? QStringLiteral("--csv") : QStringLiteral("--csv-header"))));
    if (parser.isSet(history)) {
        // Only the output's form goes with the history: nothing is measured.
        for (const QString &name : parser.optionNames()) {
            if (!QStringList{"history", "json", "csv", "csv-header"}.contains(name))
                return failure(FrenchTypography::typeset(
                    QStringLiteral("--history ne se combine qu’avec --json, --csv et --csv-header "
                                   "(pas avec %1)"),
                    typed(name)));
        }
        options.action = Action::history;
        return options;
    }
    if (options.csvHeader && !options.csv) {
        options.action = Action::header;
        return options;
    }
    SpeedTestConfig &config = options.config;
    if (parser.isSet(server)) {
        const auto origin = SpeedTestConfig::originFrom(parser.value(server));
        if (!origin)
            return failure(FrenchTypography::typeset(
                QStringLiteral("origine invalide pour --server : « %1 » (attendu : "
                               "http://hôte[:port] ou https://hôte[:port])"),
                parser.value(server)));
        config.host = *origin;
    }
    if (parser.isSet(cacert)) {
        const QFileInfo file(parser.value(cacert));
        if (!file.isFile() || !file.isReadable())
            return failure(FrenchTypography::typeset(
                QStringLiteral("fichier illisible pour --cacert : %1"), parser.value(cacert)));
        config.http.caFile = file.absoluteFilePath();
    }
    if (parser.isSet(http2))
        config.http.version = HttpVersion::http2;
    const std::pair<const QCommandLineOption *, double *> budgets[] = {
        {&downloadBudget, &config.downloadBudget}, {&uploadBudget, &config.uploadBudget}};
    for (const auto &[option, budget] : budgets) {
        if (!parser.isSet(*option))
            continue;
        const auto seconds = budgetFrom(parser.value(*option));
        if (!seconds)
            return failure(FrenchTypography::typeset(
                QStringLiteral(
                    "durée invalide pour --%1 : « %2 » (secondes, plus de %3 et au plus %4)"),
                option->names().constFirst(), parser.value(*option),
                QLocale(QLocale::French).toString(SpeedTestMath::minimumPhaseSeconds),
                QString::number(longestBudgetSeconds)));
        *budget = *seconds;
    }
    if (parser.isSet(steps)) {
        const auto sizes = stepsFrom(parser.value(steps));
        if (!sizes)
            return failure(FrenchTypography::typeset(
                QStringLiteral("tailles invalides pour --steps : « %1 »"), parser.value(steps)));
        config.downloadSteps = *sizes;
    }
    if (parser.isSet(noLoadedLatency))
        config.loadedLatency.interval = std::chrono::milliseconds(0);
    if (parser.isSet(interface)) {
        const auto source = sourceFrom(parser.value(interface));
        if (!source)
            return failure(FrenchTypography::typeset(
                QStringLiteral("interface ou adresse inconnue pour --interface : « %1 »"),
                parser.value(interface)));
        config.http.source = *source;
    }
    if (parser.isSet(ipv4) && parser.isSet(ipv6))
        return failure(FrenchTypography::typeset(QStringLiteral("-4 et -6 s’excluent")));
    if (parser.isSet(ipv4) || parser.isSet(ipv6))
        config.http.family = parser.isSet(ipv4) ? IpFamily::ipv4 : IpFamily::ipv6;
    if (parser.isSet(noDownload) && parser.isSet(noUpload))
        return failure(FrenchTypography::typeset(
            QStringLiteral("--no-download et --no-upload ensemble ne laissent rien à mesurer")));
    config.measureDownload = !parser.isSet(noDownload);
    config.measureUpload = !parser.isSet(noUpload);
    // The application's own engine serves unless an option changed how it measures.
    QStringList engineOptions = parser.optionNames();
    engineOptions.removeIf([](const QString &name) {
        return name == u"json" || name == u"csv" || name == u"csv-header";
    });
    options.defaultEngine = engineOptions.isEmpty();
    return options;
}
