// SPDX-License-Identifier: GPL-3.0-or-later
#include "AboutBox.h"

#include "platform/BuildConfig.h"

#include <curl/curl.h>
#include <sodium.h>

#include <QUrl>
#include <QtGlobal>

namespace AboutBox {

QString title()
{
    return QStringLiteral("Tachora ") + QLatin1String(BuildConfig::version);
}

QString text()
{
    const curl_version_info_data *curl = curl_version_info(CURLVERSION_NOW);
    return QStringLiteral("Mesure la vitesse de ta connexion et montre le débit en direct.\n\n"
                          "Logiciel libre de Korvel, sous licence GPL version 3 ou ultérieure.\n"
                          "%1\n\n"
                          "Construit avec Qt %2, libcurl %3, QCoro et libsodium %4.")
        .arg(QUrl(QString::fromLatin1(BuildConfig::siteUrl)).host(), QLatin1String(qVersion()),
             QLatin1String(curl && curl->version ? curl->version : "?"),
             QLatin1String(sodium_version_string()));
}

} // namespace AboutBox
