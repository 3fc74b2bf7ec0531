#pragma once

#include <QDialog>

class QLineEdit;
class QPlainTextEdit;

// The problem-report form: a free text over an optional e-mail address, "Envoyer" or
// "Annuler". It only collects; whoever opens it sends what it holds once it is accepted.
class ProblemReportDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ProblemReportDialog(QWidget *parent = nullptr);

    // The text as typed, blank lines and spaces at its ends included.
    QString text() const;
    // The address exactly as typed, spaces included.
    QString email() const;
    void setContents(const QString &text, const QString &email);

private:
    QPlainTextEdit *m_text;
    QLineEdit *m_email;
};
