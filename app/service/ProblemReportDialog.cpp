// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/ProblemReportDialog.h"

#include "platform/ServiceLimits.h"
#include "settings/FrenchTypography.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

ProblemReportDialog::ProblemReportDialog(QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("reportForm"));
    setWindowTitle(QStringLiteral("Tachora"));

    auto *title = new QLabel(QStringLiteral("Signaler un problème"));
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    auto *explanation =
        new QLabel(QStringLiteral("Décris ce qui ne va pas, ça arrive directement "
                                  "chez Korvel. La réponse s’affichera dans l’app."));
    explanation->setWordWrap(true);

    // The text over the address, placed as in the form's drawing: 6 points of air above the
    // text, 10 between the two.
    auto *fields = new QWidget;
    fields->setFixedSize(380, 150);
    m_text = new QPlainTextEdit(fields);
    m_text->setObjectName(QStringLiteral("reportText"));
    m_text->setAccessibleName(title->text());
    m_text->setGeometry(0, 6, 380, 110);
    m_text->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    // Tab moves on to the address instead of going into the text.
    m_text->setTabChangesFocus(true);
    m_email = new QLineEdit(fields);
    m_email->setObjectName(QStringLiteral("reportEmail"));
    m_email->setGeometry(0, 126, 380, 24);
    m_email->setPlaceholderText(
        QStringLiteral("ton email (facultatif, pour te répondre aussi par mail)"));
    m_email->setAccessibleName(m_email->placeholderText());
    m_email->setMaxLength(int(ServiceLimits::reportEmailLength));
    m_count = new QLabel;
    m_count->setObjectName(QStringLiteral("reportCount"));
    m_count->hide();

    auto *send = m_send = new QPushButton(QStringLiteral("Envoyer"));
    send->setObjectName(QStringLiteral("sendButton"));
    send->setDefault(true);
    // Nothing to send yet.
    send->setEnabled(false);
    auto *cancel = new QPushButton(QStringLiteral("Annuler"));
    cancel->setObjectName(QStringLiteral("cancelButton"));
    cancel->setAutoDefault(false);
    connect(send, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_count);
    buttons->addStretch();
    buttons->addWidget(send);
    buttons->addWidget(cancel);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(title);
    layout->addWidget(explanation);
    layout->addWidget(fields);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    // Typing starts in the text.
    m_text->setFocus();

    // Kept a moment after the last keystroke: often enough that a crash loses little, seldom
    // enough that typing does not write the store at every key.
    m_draftDelay.setSingleShot(true);
    m_draftDelay.setInterval(500);
    connect(&m_draftDelay, &QTimer::timeout, this, &ProblemReportDialog::draftChanged);
    connect(m_text, &QPlainTextEdit::textChanged, this, &ProblemReportDialog::edited);
    connect(m_email, &QLineEdit::textChanged, this, &ProblemReportDialog::edited);
}

QString ProblemReportDialog::text() const
{
    return m_text->toPlainText();
}

QString ProblemReportDialog::email() const
{
    return m_email->text();
}

void ProblemReportDialog::setContents(const QString &text, const QString &email)
{
    m_text->setPlainText(text);
    m_text->moveCursor(QTextCursor::End);
    m_email->setText(email);
    m_draftDelay.stop();
}

void ProblemReportDialog::done(int result)
{
    if (m_draftDelay.isActive()) {
        m_draftDelay.stop();
        emit draftChanged();
    }
    QDialog::done(result);
}

void ProblemReportDialog::edited()
{
    m_draftDelay.start();
    // Counted as the service counts: what is sent, the trimmed text, in UTF-16 units.
    const qsizetype length = text().trimmed().size();
    const bool over = length > ServiceLimits::reportTextLength;
    m_count->setVisible(length >= ServiceLimits::reportTextLength * 9 / 10);
    m_count->setText(FrenchTypography::typeset(
        over ? QStringLiteral("%1 / %2 caractères : raccourcis ton message")
                   .arg(length)
                   .arg(ServiceLimits::reportTextLength)
             : QStringLiteral("%1 / %2 caractères")
                   .arg(length)
                   .arg(ServiceLimits::reportTextLength)));
    m_send->setEnabled(length > 0 && !over);
}
