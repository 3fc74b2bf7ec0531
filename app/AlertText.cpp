#include "AlertText.h"

#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QScrollArea>

namespace AlertText {

namespace {

// Past these, the text goes into a scroll area of that many pixels.
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

} // namespace

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

void boundSize(QMessageBox *alert)
{
    auto *label = alert->findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel"));
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

} // namespace AlertText
