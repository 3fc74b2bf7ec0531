// SPDX-License-Identifier: GPL-3.0-or-later
// What goes to and comes from the maker's service: the problem report and the messages.

#include "AppDelegate.h"

#include "AlertStyle.h"

#include "MainWindow.h"

#include "service/ProblemReportDialog.h"
#include "service/ReportAlert.h"
#include "service/ReportDraft.h"
#include "service/ServiceClient.h"

#include "platform/BuildConfig.h"
#include "platform/PreferencesStore.h"
#include "settings/FrenchTypography.h"

#include <QLabel>
#include <QMessageBox>

void AppDelegate::reportProblemPressed(QObject *)
{
    // One form at a time: a second press brings the open one back.
    if (!m_reportForm || !m_reportForm->isVisible()) {
        auto *form = new ProblemReportDialog(alertParent());
        form->setAttribute(Qt::WA_DeleteOnClose);
        form->setWindowModality(Qt::ApplicationModal);
        // A report on its way stays stored until the service takes it, but a form opened
        // meanwhile is for another one.
        const ReportDraft draft = ReportDraft::load(m_store);
        if (!m_reportsSending.contains(draft.sent()))
            form->setContents(draft.text, draft.email);
        connect(form, &ProblemReportDialog::draftChanged, this, [this, form] {
            ReportDraft::save(m_store, {form->text(), form->email()});
        });
        // Given up: the next form starts empty. A report on its way stays stored until the
        // service has it.
        connect(form, &QDialog::rejected, this, [this] {
            if (!m_reportsSending.contains(ReportDraft::load(m_store).sent()))
                ReportDraft::clear(m_store);
        });
        connect(form, &QDialog::accepted, this,
                [this, form] { sendReport(form->text().trimmed(), form->email()); });
        m_reportForm = form;
    }
    m_reportForm->show();
    m_reportForm->raise();
    m_reportForm->activateWindow();
}

QCoro::Task<> AppDelegate::sendReport(QString text, QString email)
{
    PreferencesStore &store = m_store;
    if (text.isEmpty()) {
        ReportDraft::clear(store);
        co_return;
    }
    // The report stays stored while it is under way, so that quitting or a crash meanwhile
    // loses nothing; only the service's yes takes it away.
    const ReportDraft report{text, email};
    m_reportsSending.append(report);
    QPointer<AppDelegate> self(this);
    const ReportAnswer answer = co_await m_service.reportProblem(text, email);
    const ReportOutcome outcome = answer.outcome;
    const ReportDraft stored = ReportDraft::load(store);
    if (outcome == ReportOutcome::sent && stored.sent() == report)
        ReportDraft::clear(store);
    // Unless the user has begun another one since.
    else if (outcome != ReportOutcome::sent && stored.sent() == ReportDraft())
        ReportDraft::save(store, report);
    if (!self)
        co_return;
    m_reportsSending.removeOne(report);
    const ReportAlert::Text alert =
        ReportAlert::forAnswer(answer, QString::fromUtf8(BuildConfig::supportEmail));
    openAlert(FrenchTypography::typeset(alert.title), FrenchTypography::typeset(alert.text));
}

void AppDelegate::syncWithServer()
{
    // The pending message must stay the one on screen until its alert closes, so no sync
    // runs meanwhile, nor two at once.
    if (m_syncRunning || m_messageAlert)
        return;
    runSync();
}

QCoro::Task<> AppDelegate::runSync()
{
    m_syncRunning = true;
    QPointer<AppDelegate> self(this);
    co_await m_service.checkWithServer();
    if (!self)
        co_return;
    m_syncRunning = false;
    const std::optional<SyncAnswer::Message> &message = m_service.pendingMessage();
    if (!message)
        co_return;
    // The service's words, shown as they are.
    m_messageAlert = openAlert(QStringLiteral("Message de Korvel"), message->text);
    m_messageAlert->setObjectName(QStringLiteral("messageAlert"));
    connect(m_messageAlert, &QDialog::finished, this, [this] { m_service.markMessageShown(); });
}

QWidget *AppDelegate::alertParent() const
{
    return m_mainWindow && m_mainWindow->isVisible() ? m_mainWindow : nullptr;
}

QMessageBox *AppDelegate::newAlert(const QString &text, const QString &informativeText)
{
    auto *alert = new QMessageBox(alertParent());
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setWindowTitle(QStringLiteral("Tachora"));
    alert->setText(AlertStyle::displayable(text));
    alert->setInformativeText(AlertStyle::displayable(informativeText));
    // Words from elsewhere, such as the service's messages or release notes, are shown as they
    // are: never as markup, never as links. setTextFormat would reach the main label only.
    for (QLabel *label : alert->findChildren<QLabel *>()) {
        label->setTextFormat(Qt::PlainText);
        label->setOpenExternalLinks(false);
    }
    AlertStyle::apply(alert);
    return alert;
}

QMessageBox *AppDelegate::openAlert(const QString &title, const QString &text)
{
    QMessageBox *alert = newAlert(title, text);
    alert->setWindowModality(Qt::ApplicationModal);
    alert->show();
    alert->raise();
    alert->activateWindow();
    return alert;
}
