#include "service/ProblemReportDialog.h"

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
                                  "chez Korvel. La réponse s'affichera dans l'app."));
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

    auto *send = new QPushButton(QStringLiteral("Envoyer"));
    send->setObjectName(QStringLiteral("sendButton"));
    send->setDefault(true);
    auto *cancel = new QPushButton(QStringLiteral("Annuler"));
    cancel->setObjectName(QStringLiteral("cancelButton"));
    cancel->setAutoDefault(false);
    connect(send, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    auto *buttons = new QHBoxLayout;
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
    m_email->setText(email);
}
