// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/ReportAlert.h"

namespace ReportAlert {

Text forAnswer(const ReportAnswer &answer, const QString &supportEmail)
{
    switch (answer.outcome) {
    case ReportOutcome::sent:
        return {QStringLiteral("Merci !"),
                QStringLiteral("Ton signalement est bien parti. La réponse arrivera dans l’app.")};
    case ReportOutcome::refused:
        if (answer.status == 413)
            return {QStringLiteral("Envoi refusé"),
                    QStringLiteral("Ton message est trop long pour le service. Raccourcis-le, "
                                   "puis renvoie-le : il t’attend dans le formulaire.")};
        return {QStringLiteral("Envoi refusé"),
                QStringLiteral("Le service a refusé ton message (HTTP %1). Réessaie plus tard ou "
                               "écris à %2. Ton message t’attend dans le formulaire.")
                    .arg(answer.status)
                    .arg(supportEmail)};
    case ReportOutcome::failed:
        break;
    }
    // The draft is kept for every report that did not go.
    if (answer.status >= 500)
        return {QStringLiteral("Envoi impossible"),
                QStringLiteral("Le service est indisponible pour le moment (HTTP %1). Réessaie "
                               "plus tard : ton message t’attend dans le formulaire.")
                    .arg(answer.status)};
    return {QStringLiteral("Envoi impossible"),
            QStringLiteral("Impossible d’envoyer pour le moment (réseau ?). Réessaie plus "
                           "tard ou écris à %1.")
                .arg(supportEmail)};
}

} // namespace ReportAlert
