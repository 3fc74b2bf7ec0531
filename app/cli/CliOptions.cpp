#include "CliOptions.h"

#include <QCommandLineParser>
#include <QFileInfo>

#include <cmath>

namespace {

constexpr double longestBudgetSeconds = 3600.0;
constexpr qint64 largestStepBytes = 1000000000000;

std::optional<double> budgetFrom(const QString &text)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (!ok || !std::isfinite(seconds) || seconds <= 0 || seconds > longestBudgetSeconds)
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
        "affiche le résultat et l'ajoute à l'historique de Tachora.\n"
        "Statut de sortie : 0 avec un résultat, 1 sans résultat, 2 pour une option "
        "invalide, 130 après Ctrl-C."));
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
                                                 "n'a pas été mesuré."));
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
                       "la dernière répétée jusqu'à 10 Go en tout "
                       "(défaut 15000000,40000000,95000000)."),
        QStringLiteral("N,N,..."));
    const QCommandLineOption noLoadedLatency(
        QStringLiteral("no-loaded-latency"),
        QStringLiteral("Ne mesure pas la latence pendant la descente et la montée."));
    parser.addOptions({help, version, json, server, cacert, http2, downloadBudget, uploadBudget,
                       steps, noLoadedLatency});

    if (!parser.parse(arguments))
        return failure(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return failure(QStringLiteral("argument inattendu : %1")
                           .arg(parser.positionalArguments().constFirst()));

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
    SpeedTestConfig &config = options.config;
    if (parser.isSet(server)) {
        const auto origin = SpeedTestConfig::originFrom(parser.value(server));
        if (!origin)
            return failure(QStringLiteral("origine de serveur invalide : « %1 » (attendu : "
                                          "http://hôte[:port] ou https://hôte[:port])")
                               .arg(parser.value(server)));
        config.host = *origin;
    }
    if (parser.isSet(cacert)) {
        const QFileInfo file(parser.value(cacert));
        if (!file.isFile() || !file.isReadable())
            return failure(
                QStringLiteral("fichier de certificats illisible : %1").arg(parser.value(cacert)));
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
            return failure(QStringLiteral("durée invalide pour --%1 : « %2 » (secondes, de 0 à %3)")
                               .arg(option->names().constFirst(), parser.value(*option))
                               .arg(longestBudgetSeconds));
        *budget = *seconds;
    }
    if (parser.isSet(steps)) {
        const auto sizes = stepsFrom(parser.value(steps));
        if (!sizes)
            return failure(
                QStringLiteral("tailles invalides pour --steps : « %1 »").arg(parser.value(steps)));
        config.downloadSteps = *sizes;
    }
    if (parser.isSet(noLoadedLatency))
        config.loadedLatency.interval = std::chrono::milliseconds(0);
    options.defaultEngine = !parser.isSet(server) && !parser.isSet(cacert) && !parser.isSet(http2)
                            && !parser.isSet(downloadBudget) && !parser.isSet(uploadBudget)
                            && !parser.isSet(steps) && !parser.isSet(noLoadedLatency);
    return options;
}
