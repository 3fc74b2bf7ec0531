// SPDX-License-Identifier: GPL-3.0-or-later
#include "MainView.h"

#include "AppIcon.h"
#include "MainWindow.h"

#include "settings/FrenchTypography.h"
#include "settings/ResultTexts.h"
#include "views/AccessibleReadout.h"
#include "views/GaugeView.h"
#include "views/HistoryTable.h"
#include "views/LabelFactory.h"
#include "views/Palette.h"
#include "views/ResultTile.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

constexpr int gearInset = MainWindow::cornerInset;
constexpr int gearSize = MainWindow::cornerButtonSize;
// The stack sits this far below the middle of the view.
constexpr int centreOffset = 2;
// The data note's space, or the latencies', keeps this much from each side of the view.
constexpr int noteMargin = 12;

// The button's green is the same in both appearances, so its text colour is too: a dark
// green that keeps a contrast above 6:1 on it, where white would fall near 2:1.
const QColor testButtonText(0x05, 0x2e, 0x16);

QLabel *named(QLabel *label, const char *name)
{
    label->setObjectName(QLatin1String(name));
    return label;
}

// The widest the server's name may be in the data note before it is shortened in the middle.
constexpr int serverNameWidth = 200;

// The application icon, rendered at each paint for the scale of what it is painted on (the
// screen's, or a picture's when the window is rendered into one), so that it is whole and
// sharp at any scale.
class ApplicationIcon : public QWidget
{
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        const qreal scale = painter.deviceTransform().m11();
        painter.drawPixmap(rect(), AppIcon::applicationPixmap(width(), scale > 0 ? scale : 1));
    }
};

} // namespace

MainView::MainView(const QString &serverName, QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("mainView"));

    m_gauge = new GaugeView;
    m_gauge->setObjectName(QStringLiteral("gauge"));
    // As wide as the note, so that a caption giving a cause has room; the ring keeps its size,
    // which the height sets.
    m_gauge->setFixedSize(MainWindow::contentSize.width() - 2 * noteMargin, 132);
    makeTestButton();
    // As high as its four lines from the start, so that nothing above moves as they come.
    m_historyTable = new HistoryTable(ResultTexts::historyLines);
    m_historyTable->setObjectName(QStringLiteral("historyTable"));
    m_historyTable->setAccessibleName(QStringLiteral("Derniers tests"));
    m_historyTable->setEmptyText(ResultTexts::noHistoryText);

    // Each element with the space that follows it.
    const std::pair<QWidget *, int> stack[] = {
        {makeIcon(), 12},
        {named(makeLabel(QStringLiteral("Tachora"), 24, QFont::Bold, ViewColor::label),
               "titleLabel"),
         8},
        {named(
             makeLabel(QStringLiteral(
                           "Teste ta connexion en quelques secondes :\ndescente, montée et ping."),
                       13, QFont::Normal, ViewColor::secondaryLabel),
             "subtitleLabel"),
         10},
        {m_gauge, 12},
        {makeTilesRow(), 0},
        {makePreviousLabel(), 4},
        {m_testButton, 10},
        {makeNoteSlot(serverName), 12},
        {m_historyTable, 0},
    };
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addSpacing(2 * centreOffset);
    layout->addStretch(1);
    for (const auto &[widget, spaceAfter] : stack) {
        layout->addWidget(widget, 0, Qt::AlignHCenter);
        layout->addSpacing(spaceAfter);
    }
    layout->addStretch(1);

    makeGearButton();
    applyColors();
    // The view passes the focus it is given, as the window opens or comes back to it, to
    // the test button.
    setFocusProxy(m_testButton);
}

QWidget *MainView::makeNoteSlot(const QString &serverName)
{
    auto *slot = new QWidget;
    // As wide as the view less a margin, whatever it shows: a longer text never needs the
    // layout to run again, and nothing around it moves.
    slot->setFixedWidth(MainWindow::contentSize.width() - 2 * noteMargin);
    auto *lines = new QVBoxLayout(slot);
    lines->setContentsMargins(0, 0, 0, 0);
    lines->setSpacing(2);
    QLabel *note =
        named(makeLabel(QString(), 11, QFont::Normal, ViewColor::secondaryLabel), "noteLabel");
    m_note = note;
    m_noteServerName = note->fontMetrics().elidedText(serverName, Qt::ElideMiddle, serverNameWidth);
    showTestVolume(std::nullopt);
    note->setToolTip(serverName);
    lines->addWidget(note);
    m_loadedLatencyLabel = named(makeLabel(QString(), 11, QFont::Normal, ViewColor::secondaryLabel),
                                 "loadedLatencyLabel");
    m_loadedLatencyLabel->setAccessibleName(QStringLiteral("Latence en charge"));
    m_loadedLatencyLabel->setTextFormat(Qt::RichText);
    m_loadedLatencyLabel->setToolTip(FrenchTypography::typeset(QStringLiteral(
        "Latence en charge : le ping pendant la descente (↓) et la montée (↑).\n"
        "Gigue : l’écart moyen entre deux pings successifs, connexion au repos.\n"
        "Réactivité : de A+ à F, selon ce que la charge ajoute au ping "
        "(A+ : moins de 5 ms, A : 30 ms, B : 60 ms, C : 200 ms, D : 400 ms, F : plus).")));
    // Its line is kept while it is empty, so that nothing moves when a result brings it.
    QSizePolicy keepsItsPlace = m_loadedLatencyLabel->sizePolicy();
    keepsItsPlace.setRetainSizeWhenHidden(true);
    m_loadedLatencyLabel->setSizePolicy(keepsItsPlace);
    m_loadedLatencyLabel->hide();
    lines->addWidget(m_loadedLatencyLabel);
    return slot;
}

void MainView::showTestVolume(std::optional<qint64> bytes)
{
    m_note->setText(FrenchTypography::typeset(ResultTexts::noteText(m_noteServerName, bytes)));
}

void MainView::showLoadedLatency(const QString &text, const QString &spoken,
                                 std::optional<Responsiveness::Grade> grade)
{
    m_loadedLatencyText = text;
    m_grade = grade;
    drawLoadedLatency();
    m_loadedLatencyLabel->setAccessibleDescription(spoken);
    m_loadedLatencyLabel->setVisible(!text.isEmpty());
    AccessibleReadout::valueChanged(m_loadedLatencyLabel);
}

void MainView::drawLoadedLatency()
{
    // The grade, last on the line, is its verdict: it stands out, in bold and in its colour.
    // Kept as written, or rich text would make the narrow no-break spaces of French
    // typography ordinary ones.
    const QString line = FrenchTypography::typeset(m_loadedLatencyText);
    const QString grade = m_grade ? Responsiveness::gradeText(*m_grade) : QString();
    const bool graded = !grade.isEmpty() && line.endsWith(grade);
    const QString shown =
        graded ? line.chopped(grade.size()).toHtmlEscaped()
                     + QStringLiteral("<b style=\"color: %1\">%2</b>")
                           .arg(gradeColor(*m_grade, palette()).name(), grade.toHtmlEscaped())
               : line.toHtmlEscaped();
    m_loadedLatencyLabel->setText(QStringLiteral("<span style=\"white-space: pre\">") + shown
                                  + QStringLiteral("</span>"));
}

QWidget *MainView::makePreviousLabel()
{
    m_previousLabel =
        named(makeLabel(QString(), 11, QFont::Normal, ViewColor::secondaryLabel), "previousLabel");
    m_previousLabel->setAccessibleName(QStringLiteral("Résultats affichés"));
    // The space between the tiles and the button, whether it says anything or not.
    m_previousLabel->setFixedSize(MainWindow::contentSize.width() - 2 * noteMargin, 16);
    m_previousLabel->setAlignment(Qt::AlignCenter);
    return m_previousLabel;
}

void MainView::showPrevious(const QString &text)
{
    m_previousLabel->setText(FrenchTypography::typeset(text));
    m_previousLabel->setAccessibleDescription(text);
}

QWidget *MainView::makeIcon()
{
    auto *icon = new ApplicationIcon;
    icon->setObjectName(QStringLiteral("appIcon"));
    icon->setAccessibleName(QStringLiteral("Tachora"));
    icon->setFixedSize(92, 92);
    return icon;
}

QWidget *MainView::makeTilesRow()
{
    auto *row = new QWidget;
    row->setObjectName(QStringLiteral("tilesRow"));
    row->setAccessibleName(QStringLiteral("Résultats"));
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);
    const std::tuple<ResultTile **, const char *, QString> tiles[] = {
        {&m_downTile, "downTile", QStringLiteral("↓ Descente")},
        {&m_upTile, "upTile", QStringLiteral("↑ Montée")},
        {&m_pingTile, "pingTile", QStringLiteral("Ping")},
    };
    for (const auto &[field, name, title] : tiles) {
        *field = new ResultTile(title);
        (*field)->setObjectName(QLatin1String(name));
        (*field)->setAccessibleName(title.mid(title.indexOf(u' ') + 1));
        layout->addWidget(*field);
    }
    return row;
}

void MainView::makeTestButton()
{
    m_testButton = new QPushButton(QStringLiteral("Lancer le test"));
    m_testButton->setObjectName(QStringLiteral("testButton"));
    m_testButton->setDefault(true);
    m_testButton->setFont(systemFont(15, QFont::DemiBold));
    m_testButton->setCursor(Qt::PointingHandCursor);
    const QColor green = speedGreenFixed();
    m_testButton->setStyleSheet(
        // Focus shows as the border's colour: the style's own focus frame, drawn when focus
        // comes from the keyboard, would cut into the label.
        QStringLiteral("QPushButton { background: %1; color: %2; border: 2px solid %1;"
                       " border-radius: 8px; padding: 6px 22px; outline: none; }"
                       "QPushButton:hover { background: %3; border-color: %3; }"
                       "QPushButton:pressed { background: %4; border-color: %4; }"
                       "QPushButton:focus { border-color: %5; }")
            .arg(green.name(), testButtonText.name(), green.lighter(108).name(),
                 green.darker(112).name(), green.darker(170).name()));
}

void MainView::makeGearButton()
{
    m_gearButton = new QToolButton(this);
    m_gearButton->setObjectName(QStringLiteral("gearButton"));
    m_gearButton->setAccessibleName(QStringLiteral("Réglages"));
    m_gearButton->setToolTip(QStringLiteral("Réglages"));
    m_gearButton->setAutoRaise(true);
    m_gearButton->setToolButtonStyle(Qt::ToolButtonIconOnly);
    m_gearButton->setIconSize(QSize(16, 16));
    m_gearButton->setFixedSize(gearSize, gearSize);
    m_gearButton->setCursor(Qt::PointingHandCursor);
}

void MainView::applyColors()
{
    m_gearButton->setIcon(AppIcon::settings(secondaryLabelColor(palette())));
    drawLoadedLatency();
}

void MainView::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        applyColors();
}

void MainView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_gearButton->move(width() - gearInset - gearSize, height() - gearInset - gearSize);
}
