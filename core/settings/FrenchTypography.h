// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// French typography for what is shown to the user: a narrow no-break space (U+202F) before
// « : ; ! ? » and inside « », so that no line ever starts with a lone mark. Only our own
// displayed texts go through it, never stored values or keys, nor words from elsewhere that
// the user may copy or that must read as they were given: commands, paths, addresses, what
// the user typed, what a server or the update feed says.
namespace FrenchTypography {

inline constexpr QChar narrowSpace = u'\u202F';

// The text with the space before a high mark or a closing guillemet, and after an opening
// one, made narrow and unbreakable; one is added inside guillemets that have none. Marks
// without a space before them (times, addresses) are left alone.
QString typeset(const QString &text);

// Our text typeset, then its %1, %2… replaced by words from elsewhere exactly as they are.
template <typename... Foreign>
requires(sizeof...(Foreign) > 0) QString typeset(const QString &ours, const Foreign &...foreign)
{
    return typeset(ours).arg(foreign...);
}

} // namespace FrenchTypography
