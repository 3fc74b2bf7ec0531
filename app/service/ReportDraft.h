// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

class PreferencesStore;

// What the user wrote in the problem-report form, kept as it is typed so that nothing is
// lost: the next form starts from it. It goes only once the service has taken the report.
struct ReportDraft
{
    QString text;
    QString email;

    bool operator==(const ReportDraft &) const = default;
    // As it would be sent: the text trimmed.
    ReportDraft sent() const { return {text.trimmed(), email}; }

    static ReportDraft load(const PreferencesStore &store);
    // An empty draft is no draft: it is cleared.
    static void save(PreferencesStore &store, const ReportDraft &draft);
    static void clear(PreferencesStore &store);
};
