// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/ReportDraft.h"

#include "platform/PreferencesStore.h"
#include "settings/PreferenceKeys.h"

ReportDraft ReportDraft::load(const PreferencesStore &store)
{
    return {store.string(PreferenceKeys::reportDraftText).value_or(QString()),
            store.string(PreferenceKeys::reportDraftEmail).value_or(QString())};
}

void ReportDraft::save(PreferencesStore &store, const ReportDraft &draft)
{
    if (draft.text.isEmpty() && draft.email.isEmpty()) {
        clear(store);
        return;
    }
    store.setString(PreferenceKeys::reportDraftText, draft.text);
    store.setString(PreferenceKeys::reportDraftEmail, draft.email);
}

void ReportDraft::clear(PreferencesStore &store)
{
    store.remove(PreferenceKeys::reportDraftText);
    store.remove(PreferenceKeys::reportDraftEmail);
}
