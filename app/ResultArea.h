// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "engine/SpeedTestEngine.h"
#include "platform/HttpRequest.h"

#include <QObject>
#include <QPointer>

#include <optional>

class MainView;

// What the result area of the main view says: the gauge's number and caption, the three tiles,
// the latencies under load and the history lines. It makes sure no state is misread: a phase
// that measured nothing shows no number but its cause, and values kept from an earlier test
// are marked as such while another runs or after it failed.
class ResultArea : public QObject
{
    Q_OBJECT

public:
    // Why each throughput phase of a result measured nothing, when it did not and its own
    // requests failed.
    struct PhaseFailures
    {
        std::optional<HttpOutcome> down;
        std::optional<HttpOutcome> up;
    };

    explicit ResultArea(MainView *view, QObject *parent = nullptr);

    // Fills everything from a result (or none) and the stored history, in the chosen unit.
    // Keeps the mark of a previous result.
    void showResult(const std::optional<SpeedTestEngine::Result> &result);
    // A new test's result: what its phases' failures were, and no longer a previous one.
    void showNewResult(const SpeedTestEngine::Result &result, const PhaseFailures &failures);
    // A test begins: the values shown become the previous test's.
    void showTestStarted();
    void showProgress(SpeedTestEngine::Phase phase, double mbps);
    // A test ended without a result: the gauge says why, the previous values stay marked.
    void showTestEnded(const QString &caption);

private:
    void setPrevious(bool previous);

    QPointer<MainView> m_view;
    std::optional<SpeedTestEngine::Result> m_shown;
    PhaseFailures m_failures;
    bool m_previous = false;
};
