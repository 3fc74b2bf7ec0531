// SPDX-License-Identifier: GPL-3.0-or-later
// Running a test from the window or the tray menu, and the result area.

#include "AppDelegate.h"
#include "MainView.h"

#include "settings/ResultTexts.h"
#include "settings/SpeedHistory.h"
#include "settings/SpeedSettings.h"
#include "views/GaugeView.h"
#include "views/HistoryTable.h"
#include "views/ResultTile.h"

#include <QPushButton>

void AppDelegate::testPressed(QObject *)
{
    if (m_engine.isRunning()) {
        // The button keeps "Arrêter le test" until the engine reports the end.
        m_userCancelled = true;
        m_engine.cancel();
        return;
    }
    m_userCancelled = false;
    m_mainView->gauge()->setMbps(0);
    m_mainView->gauge()->setCaption(QStringLiteral("Ping…"));
    m_mainView->testButton()->setText(QStringLiteral("Arrêter le test"));
    m_engine.start();
    rebuildStatusMenuIfEnabled();
}

void AppDelegate::testProgress(SpeedTestEngine::Phase phase, double mbps)
{
    switch (phase) {
    case SpeedTestEngine::Phase::download:
    case SpeedTestEngine::Phase::upload:
        m_mainView->gauge()->setCaption(phase == SpeedTestEngine::Phase::download
                                            ? QStringLiteral("Descente…")
                                            : QStringLiteral("Montée…"));
        m_mainView->gauge()->setMbps(mbps);
        break;
    case SpeedTestEngine::Phase::ping:
        m_mainView->gauge()->setCaption(QStringLiteral("Ping…"));
        break;
    case SpeedTestEngine::Phase::idle:
        break;
    }
}

void AppDelegate::testFinished(const std::optional<SpeedTestEngine::Result> &result)
{
    m_mainView->testButton()->setText(QStringLiteral("Lancer le test"));
    rebuildStatusMenuIfEnabled();
    if (result) {
        // The engine has already added it to the history.
        m_lastResult = result;
        refreshResultsUI();
        return;
    }
    // Nothing was measured: the gauge shows no number, only why.
    m_mainView->gauge()->clearValue();
    m_mainView->gauge()->setCaption(m_userCancelled ? QStringLiteral("Test annulé")
                                                    : failureCaption());
}

QString AppDelegate::failureCaption() const
{
    if (const QString refusal = ResultTexts::refusalText(TestFailure::of(m_engine));
        !refusal.isEmpty())
        return refusal;
    const std::optional<HttpOutcome> &failure = m_engine.lastFailure();
    const QString reason = failure ? ResultTexts::failureReason(*failure) : QString();
    return reason.isEmpty() ? QStringLiteral("Test impossible (réseau ?)")
                            : QStringLiteral("Test impossible : ") + reason;
}

void AppDelegate::refreshResultsUI()
{
    if (!m_lastResult) {
        m_mainView->gauge()->setMbps(0);
        m_mainView->gauge()->setCaption(QStringLiteral("Prêt à mesurer"));
        for (ResultTile *tile :
             {m_mainView->downTile(), m_mainView->upTile(), m_mainView->pingTile()})
            tile->setValue(ResultTile::noValue);
        m_mainView->showLoadedLatency({}, {});
        m_mainView->showTestVolume(std::nullopt);
    } else {
        const SpeedTestEngine::Result &result = *m_lastResult;
        m_mainView->gauge()->setMbps(result.down());
        m_mainView->gauge()->setCaption(QStringLiteral("Dernier test : ")
                                        + ResultTexts::hourText(result));
        m_mainView->downTile()->setValue(SpeedSettings::format(result.down()));
        m_mainView->upTile()->setValue(SpeedSettings::format(result.up()));
        m_mainView->pingTile()->setValue(ResultTexts::latencyText(result.ping()));
        m_mainView->showTestVolume(result.bytes());
        m_mainView->showLoadedLatency(ResultTexts::loadedLatencyText(result),
                                      ResultTexts::loadedLatencySpokenText(result));
    }
    m_mainView->historyTable()->setRows(ResultTexts::historyRows(SpeedHistory::all()));
}
