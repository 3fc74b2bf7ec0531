// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/MeteredConnection.h"

#include <QNetworkInformation>

namespace MeteredConnection {

bool isMetered()
{
    // Loaded once; a system without a backend that knows says nothing.
    static const bool loaded =
        QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Metered);
    const QNetworkInformation *information = QNetworkInformation::instance();
    return loaded && information && information->isMetered();
}

} // namespace MeteredConnection
