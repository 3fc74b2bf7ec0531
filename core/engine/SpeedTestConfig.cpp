// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/SpeedTestConfig.h"

#include <QUrl>

std::optional<QString> SpeedTestConfig::originFrom(const QString &text)
{
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    const QString scheme = url.scheme();
    if (scheme != u"http" && scheme != u"https")
        return std::nullopt;
    // Port 0 names no server: a connection to it can only fail.
    if (url.host().isEmpty() || url.port() == 0 || !url.userInfo().isEmpty() || url.hasQuery()
        || url.hasFragment())
        return std::nullopt;
    if (!url.path().isEmpty() && url.path() != u"/")
        return std::nullopt;
    return url.adjusted(QUrl::RemovePath).toString(QUrl::FullyEncoded);
}
