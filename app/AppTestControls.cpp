// SPDX-License-Identifier: GPL-3.0-or-later
// Running a test from the window or the tray menu, and the result area.

#include "AppDelegate.h"
#include "MainView.h"
#include "ResultArea.h"
#include "TrayBehaviour.h"

#include "engine/TestFailure.h"
#include "settings/FrenchTypography.h"
#include "settings/ResultTexts.h"

#include <QMessageBox>
#include <QPushButton>

using Phase = SpeedTestEngine::Phase;

void AppDelegate::testPressed(QObject *)
{
    if (m_engine.isRunning()) {
        // The button keeps "Arrêter le test" until the engine reports the end.
        m_userCancelled = true;
        m_engine.cancel();
        return;
    }
    if (!m_meteredAccepted && m_meteredConnection()) {
        askBeforeMeteredTest();
        return;
    }
    startTest();
}

void AppDelegate::startTest()
{
    m_userCancelled = false;
    m_resultArea->showTestStarted();
    m_mainView->testButton()->setText(QStringLiteral("Arrêter le test"));
    m_engine.start();
    m_tray->showTestStarted();
}

void AppDelegate::testProgress(SpeedTestEngine::Phase phase, double mbps)
{
    m_resultArea->showProgress(phase, mbps);
    m_tray->showProgress(phase, mbps);
}

void AppDelegate::testFinished(const std::optional<SpeedTestEngine::Result> &result)
{
    m_mainView->testButton()->setText(QStringLiteral("Lancer le test"));
    m_tray->showTestEnded();
    if (result) {
        // The engine has already added it to the history.
        m_lastResult = result;
        m_resultArea->showNewResult(*result, {m_engine.report(Phase::download).failure,
                                              m_engine.report(Phase::upload).failure});
        m_tray->notifyOutOfSight(ResultTexts::summaryText(*result));
        return;
    }
    m_resultArea->showTestEnded(m_userCancelled ? QStringLiteral("Test annulé") : failureCaption());
    // A test the user stopped needs no word.
    if (!m_userCancelled)
        m_tray->notifyOutOfSight(failureCaption());
}

void AppDelegate::askBeforeMeteredTest()
{
    QMessageBox *alert = newAlert(QStringLiteral("Connexion facturée à l’usage"),
                                  FrenchTypography::typeset(QStringLiteral(
                                      "Cette connexion est facturée à l’usage. Un test "
                                      "peut échanger plus d’1 Go. Lancer quand même ?")));
    alert->setObjectName(QStringLiteral("meteredAlert"));
    QPushButton *go =
        alert->addButton(QStringLiteral("Lancer quand même"), QMessageBox::AcceptRole);
    go->setObjectName(QStringLiteral("meteredGoButton"));
    // Declining is the answer that costs nothing: Enter and Escape give it.
    alert->setDefaultButton(alert->addButton(QStringLiteral("Annuler"), QMessageBox::RejectRole));
    connect(go, &QPushButton::clicked, this, [this] {
        m_meteredAccepted = true;
        if (!m_engine.isRunning())
            startTest();
    });
    alert->open();
}

QString AppDelegate::failureCaption() const
{
    const TestFailure failure = TestFailure::of(m_engine);
    if (const QString refusal = ResultTexts::refusalText(failure); !refusal.isEmpty())
        return refusal;
    const QString reason =
        failure.outcome ? ResultTexts::failureReason(*failure.outcome) : QString();
    return reason.isEmpty() ? QStringLiteral("Test impossible (réseau ?)")
                            : QStringLiteral("Test impossible : ") + reason;
}

void AppDelegate::refreshResultsUI()
{
    m_resultArea->showResult(m_lastResult);
}
