// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/SpeedHistory.h"

#include "platform/PreferencesStore.h"
#include "settings/PreferenceKeys.h"

#include <QJsonArray>
#include <QJsonDocument>

QList<SpeedTestEngine::Result> SpeedHistory::all()
{
    const auto stored = PreferencesStore::shared().data(PreferenceKeys::history);
    if (!stored)
        return {};
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(*stored, &error);
    if (error.error != QJsonParseError::NoError || !document.isArray())
        return {};
    QList<SpeedTestEngine::Result> results;
    for (const QJsonValue &element : document.array()) {
        auto result = SpeedTestEngine::Result::fromJson(element);
        if (!result)
            return {};
        results.append(*result);
    }
    return results;
}

void SpeedHistory::add(const SpeedTestEngine::Result &result)
{
    QList<SpeedTestEngine::Result> results = all();
    results.prepend(result);
    if (results.size() > capacity)
        results = results.first(capacity);

    QJsonArray array;
    for (const auto &each : results) {
        const auto json = each.toJson();
        if (!json)
            return;
        array.append(*json);
    }
    PreferencesStore::shared().setData(PreferenceKeys::history,
                                       QJsonDocument(array).toJson(QJsonDocument::Compact));
}
