// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/TextCut.h"

#include <QTextBoundaryFinder>

namespace TextCut {

QString toLength(const QString &text, qsizetype maxUnits)
{
    if (text.size() <= maxUnits)
        return text;
    if (maxUnits <= 0)
        return QString();
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    finder.setPosition(maxUnits);
    qsizetype end = finder.isAtBoundary() ? maxUnits : finder.toPreviousBoundary();
    if (end <= 0) {
        end = maxUnits;
        if (text[end - 1].isHighSurrogate())
            --end;
    }
    return text.left(end);
}

} // namespace TextCut
