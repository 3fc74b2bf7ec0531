// SPDX-License-Identifier: GPL-3.0-or-later
// Running a test from the window or the tray menu, and the result area.

#include "AppDelegate.h"
#include "MainView.h"
#include "ResultArea.h"

#include "engine/TestFailure.h"
#include "live/StatusItemController.h"
#include "settings/ResultTexts.h"
#include "settings/SpeedSettings.h"

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
    m_userCancelled = false;
    m_resultArea->showTestStarted();
    m_mainView->testButton()->setText(QStringLiteral("Arrêter le test"));
    m_engine.start();
    rebuildStatusMenuIfEnabled();
}

void AppDelegate::testProgress(SpeedTestEngine::Phase phase, double mbps)
{
    m_resultArea->showProgress(phase, mbps);
    if (phase == Phase::ping)
        m_statusController->setActivity(QStringLiteral("Ping…"));
    else if (SpeedTestEngine::isThroughputPhase(phase))
        m_statusController->setActivity(
            (phase == Phase::download ? QStringLiteral("Descente… ") : QStringLiteral("Montée… "))
            + SpeedSettings::format(mbps) + u' ' + SpeedSettings::unitLabel());
}

void AppDelegate::testFinished(const std::optional<SpeedTestEngine::Result> &result)
{
    m_mainView->testButton()->setText(QStringLiteral("Lancer le test"));
    m_statusController->setActivity(std::nullopt);
    rebuildStatusMenuIfEnabled();
    if (result) {
        // The engine has already added it to the history.
        m_lastResult = result;
        m_resultArea->showNewResult(*result, {m_engine.report(Phase::download).failure,
                                              m_engine.report(Phase::upload).failure});
        return;
    }
    m_resultArea->showTestEnded(m_userCancelled ? QStringLiteral("Test annulé") : failureCaption());
}

QString AppDelegate::failureCaption() const
{
    if (const QString refusal = ResultTexts::refusalText(TestFailure::of(m_engine));
        !refusal.isEmpty())
        return refusal;
    // The failure of the phase that ended the test: the latency phase's when the test went no
    // further, else the throughput phases', which then both moved nothing. A probe that timed
    // out before others answered does not explain them.
    const bool throughputRan = m_engine.streams(Phase::download) > 0
                               || m_engine.report(Phase::download).failure
                               || m_engine.report(Phase::upload).failure;
    const std::optional<HttpOutcome> &failure =
        !throughputRan                             ? m_engine.report(Phase::ping).failure
        : m_engine.report(Phase::download).failure ? m_engine.report(Phase::download).failure
                                                   : m_engine.report(Phase::upload).failure;
    const QString reason = failure ? ResultTexts::failureReason(*failure) : QString();
    return reason.isEmpty() ? QStringLiteral("Test impossible (réseau ?)")
                            : QStringLiteral("Test impossible : ") + reason;
}

void AppDelegate::refreshResultsUI()
{
    m_resultArea->showResult(m_lastResult);
}
