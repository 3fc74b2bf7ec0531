#pragma once

#include <QString>

class PreferencesStore;

// A problem report that could not be sent, kept so that what the user wrote is not lost:
// the next form starts from it.
struct ReportDraft
{
    QString text;
    QString email;

    bool operator==(const ReportDraft &) const = default;

    static ReportDraft load(const PreferencesStore &store);
    static void save(PreferencesStore &store, const ReportDraft &draft);
    // Removes the stored draft if it is still `offered`, the one a form started from: a later
    // report that failed meanwhile stays.
    static void clearIfStill(PreferencesStore &store, const ReportDraft &offered);
};
