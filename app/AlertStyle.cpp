// SPDX-License-Identifier: GPL-3.0-or-later
#include "AlertStyle.h"

#include "AppIcon.h"

#include <QAbstractButton>
#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QScrollArea>

namespace {

const QString textLabel = QStringLiteral("qt_msgbox_label");
const QString informativeLabel = QStringLiteral("qt_msgbox_informativelabel");

// Past these, the informative text goes into a scroll area of that many pixels.
constexpr int longLines = 15;
constexpr qsizetype longText = 1500;
constexpr int scrollWidth = 480;
constexpr int scrollHeight = 320;

bool isHidden(char32_t c)
{
    if (c == u'\n' || c == u'\t')
        return false;
    return c < 0x20 || (c >= 0x7f && c < 0xa0) || (c >= 0x202a && c <= 0x202e)
           || (c >= 0x2066 && c <= 0x2069);
}

// Takes each alert as it opens: its buttons are all there by then, and it has not sized
// itself yet.
class ShowWatch : public QObject
{
public:
    ShowWatch(QObject *parent, int textWidth)
        : QObject(parent)
        , m_textWidth(textWidth)
    {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *alert = qobject_cast<QMessageBox *>(watched);
        if (alert && event->type() == QEvent::Show) {
            // Added here rather than by the alert as it shows, so that it gets no icon either.
            if (alert->buttons().isEmpty())
                alert->addButton(QMessageBox::Ok);
            for (QAbstractButton *button : alert->buttons())
                button->setIcon(QIcon());
            for (const QString &name : {textLabel, informativeLabel})
                if (auto *label = alert->findChild<QLabel *>(name))
                    label->setMinimumWidth(m_textWidth);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    int m_textWidth;
};

void boundSize(QMessageBox *alert)
{
    auto *label = alert->findChild<QLabel *>(informativeLabel);
    if (!label || (label->text().count(u'\n') < longLines && label->text().size() < longText))
        return;
    auto *area = new QScrollArea;
    area->setObjectName(QStringLiteral("alertScroll"));
    area->setFrameShape(QFrame::NoFrame);
    area->setWidgetResizable(true);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->setFixedSize(scrollWidth, scrollHeight);
    delete alert->layout()->replaceWidget(label, area);
    label->setWordWrap(true);
    area->setWidget(label);
}

} // namespace

namespace AlertStyle {

QString displayable(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (const char32_t c : text.toUcs4()) {
        if (!isHidden(c))
            shown.append(QString::fromUcs4(&c, 1));
    }
    return shown;
}

void apply(QMessageBox *alert, int textWidth)
{
    alert->setWindowIcon(AppIcon::application());
    alert->setIconPixmap(AppIcon::applicationPixmap(iconSize, qGuiApp->devicePixelRatio()));
    if (auto *label = alert->findChild<QLabel *>(textLabel)) {
        QFont bold = label->font();
        bold.setBold(true);
        label->setFont(bold);
    }
    alert->installEventFilter(new ShowWatch(alert, textWidth));
    boundSize(alert);
}

} // namespace AlertStyle
