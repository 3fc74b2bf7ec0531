#pragma once

#include <QString>

class PreferencesStore;

// A problem report that could not be sent, kept so that what the user wrote is not lost:
// the next form starts from it. A form that is sent takes the draft with it; the draft
// comes back if the report fails.
struct ReportDraft
{
    QString text;
    QString email;

    static ReportDraft load(const PreferencesStore &store);
    static void save(PreferencesStore &store, const ReportDraft &draft);
    static void clear(PreferencesStore &store);
};
