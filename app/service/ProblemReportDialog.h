// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDialog>
#include <QTimer>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// The problem-report form: a free text over an optional e-mail address, "Envoyer" or
// "Annuler". It only collects; whoever opens it sends what it holds once it is accepted.
// It holds the text to the service's limits: near the limit it shows the count, and over it
// "Envoyer" waits until the text is short enough; with a blank text there is nothing to send.
class ProblemReportDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ProblemReportDialog(QWidget *parent = nullptr);

    // The text as typed, blank lines and spaces at its ends included.
    QString text() const;
    // The address exactly as typed, spaces included.
    QString email() const;
    // Fills the form without counting as an edit; typing goes on at the text's end.
    void setContents(const QString &text, const QString &email);

    void done(int result) override;

signals:
    // The contents changed and have stayed so for a moment, or the form closes with changes
    // not told yet: the time to keep them.
    void draftChanged();

private:
    void edited();

    QPlainTextEdit *m_text;
    QLineEdit *m_email;
    QLabel *m_count;
    QPushButton *m_send;
    QTimer m_draftDelay;
};
