// SPDX-License-Identifier: GPL-3.0-or-later
#include "ResultArea.h"

#include "MainView.h"

#include "settings/ResultTexts.h"
#include "settings/SpeedHistory.h"
#include "views/GaugeView.h"
#include "views/HistoryTable.h"
#include "views/ResultTile.h"

#include <QLabel>

using Phase = SpeedTestEngine::Phase;

ResultArea::ResultArea(MainView *view, QObject *parent)
    : QObject(parent)
    , m_view(view)
{}

void ResultArea::showResult(const std::optional<SpeedTestEngine::Result> &result)
{
    if (!m_view)
        return;
    // The failures belong to the result they came with.
    if (!result || !m_shown || result->date() != m_shown->date())
        m_failures = {};
    m_shown = result;
    GaugeView *gauge = m_view->gauge();
    if (!result) {
        // The idle state: a zero, and nothing measured yet.
        gauge->setMbps(0);
        gauge->setCaption(QStringLiteral("Prêt à mesurer"));
        for (ResultTile *tile : {m_view->downTile(), m_view->upTile(), m_view->pingTile()})
            tile->setValue(ResultTile::noValue);
        m_view->showLoadedLatency({}, {}, std::nullopt);
        m_view->showTestVolume(std::nullopt);
    } else {
        const SpeedTestEngine::Result &r = *result;
        if (r.down() > 0)
            gauge->setMbps(r.down());
        else
            gauge->clearValue();
        // A phase that measured nothing is said, with its own cause, rather than the time.
        gauge->setCaption(
            r.down() <= 0 ? ResultTexts::phaseFailedText(Phase::download, m_failures.down)
            : r.up() <= 0 ? ResultTexts::phaseFailedText(Phase::upload, m_failures.up)
                          : QStringLiteral("Dernier test : ") + ResultTexts::hourText(r));
        m_view->downTile()->setValue(ResultTexts::rateText(r.down()));
        m_view->upTile()->setValue(ResultTexts::rateText(r.up()));
        m_view->pingTile()->setValue(ResultTexts::latencyText(r.ping()));
        m_view->showTestVolume(r.bytes());
        m_view->showLoadedLatency(ResultTexts::loadedLatencyText(r),
                                  ResultTexts::loadedLatencySpokenText(r), r.grade());
    }
    m_view->historyTable()->setRows(ResultTexts::historyRows(SpeedHistory::all()));
    setPrevious(m_previous);
}

void ResultArea::showNewResult(const SpeedTestEngine::Result &result, const PhaseFailures &failures)
{
    m_previous = false;
    m_shown = result;
    m_failures = failures;
    showResult(result);
}

void ResultArea::showTestStarted()
{
    if (!m_view)
        return;
    setPrevious(true);
    showProgress(Phase::ping, 0);
}

void ResultArea::showProgress(Phase phase, double mbps)
{
    if (!m_view)
        return;
    GaugeView *gauge = m_view->gauge();
    switch (phase) {
    case Phase::download:
    case Phase::upload:
        gauge->setCaption(phase == Phase::download ? QStringLiteral("Descente…")
                                                   : QStringLiteral("Montée…"));
        gauge->setMbps(mbps);
        break;
    case Phase::ping:
        // No rate is measured yet: a zero would read as one.
        gauge->clearValue();
        gauge->setCaption(QStringLiteral("Ping : mesure de la latence…"));
        break;
    case Phase::idle:
        break;
    }
}

void ResultArea::showTestEnded(const QString &caption)
{
    if (!m_view)
        return;
    // Nothing was measured: the gauge shows no number, only why.
    m_view->gauge()->clearValue();
    m_view->gauge()->setCaption(caption);
}

void ResultArea::setPrevious(bool previous)
{
    m_previous = previous;
    const bool marked = previous && m_shown;
    for (ResultTile *tile : {m_view->downTile(), m_view->upTile(), m_view->pingTile()})
        tile->setPrevious(marked);
    m_view->showPrevious(marked ? ResultTexts::previousText(*m_shown) : QString());
}
