// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "engine/Responsiveness.h"

#include <QWidget>

#include <optional>

class GaugeView;
class HistoryTable;
class QLabel;
class QPushButton;
class QToolButton;
class ResultTile;

// The main page of the window: icon, title, explanation, gauge, the three result tiles, the
// test button, the data note, the last results and the settings button. It only lays them out;
// the application delegate fills them and answers their buttons.
class MainView : public QWidget
{
    Q_OBJECT

public:
    // serverName: the speed-test server as the data note names it ("Cloudflare", a host).
    explicit MainView(const QString &serverName, QWidget *parent = nullptr);

    GaugeView *gauge() const { return m_gauge; }
    ResultTile *downTile() const { return m_downTile; }
    ResultTile *upTile() const { return m_upTile; }
    ResultTile *pingTile() const { return m_pingTile; }
    QPushButton *testButton() const { return m_testButton; }
    HistoryTable *historyTable() const { return m_historyTable; }
    QToolButton *gearButton() const { return m_gearButton; }

    // Shows a test's latencies under load on the line under the data note, or nothing there
    // when the text is empty. spoken: the same for screen readers; grade: the responsiveness
    // grade the text ends with, which stands out in its colour.
    void showLoadedLatency(const QString &text, const QString &spoken,
                           std::optional<Responsiveness::Grade> grade);
    // The data note with what the last test moved, both ways, when known.
    void showTestVolume(std::optional<qint64> bytes);
    // Under the tiles, says that their values are an earlier test's ("Précédent · 15:51"); an
    // empty text shows nothing, in the same space.
    void showPrevious(const QString &text);

protected:
    void changeEvent(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    QWidget *makeIcon();
    QWidget *makeTilesRow();
    QWidget *makePreviousLabel();
    QWidget *makeNoteSlot(const QString &serverName);
    void makeTestButton();
    void makeGearButton();
    // The drawn gear and the grade's colour follow the appearance.
    void applyColors();
    void drawLoadedLatency();

    GaugeView *m_gauge = nullptr;
    ResultTile *m_downTile = nullptr;
    ResultTile *m_upTile = nullptr;
    ResultTile *m_pingTile = nullptr;
    QPushButton *m_testButton = nullptr;
    HistoryTable *m_historyTable = nullptr;
    QLabel *m_note = nullptr;
    // As the note shows it, shortened.
    QString m_noteServerName;
    QLabel *m_loadedLatencyLabel = nullptr;
    QString m_loadedLatencyText;
    std::optional<Responsiveness::Grade> m_grade;
    QLabel *m_previousLabel = nullptr;
    QToolButton *m_gearButton = nullptr;
};
