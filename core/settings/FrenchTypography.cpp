// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/FrenchTypography.h"

namespace FrenchTypography {

namespace {

bool isSpace(QChar c)
{
    return c == u' ' || c == u'\u00A0' || c == narrowSpace;
}

bool isHighMark(QChar c)
{
    return c == u':' || c == u';' || c == u'!' || c == u'?' || c == u'»';
}

} // namespace

QString typeset(const QString &text)
{
    QString out;
    out.reserve(text.size() + 4);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (isSpace(c) && i + 1 < text.size() && isHighMark(text.at(i + 1))) {
            out += narrowSpace;
            continue;
        }
        if (c == u'»' && !out.isEmpty() && !isSpace(out.back()))
            out += narrowSpace;
        out += c;
        if (c == u'«') {
            while (i + 1 < text.size() && isSpace(text.at(i + 1)))
                ++i;
            out += narrowSpace;
        }
    }
    return out;
}

} // namespace FrenchTypography
