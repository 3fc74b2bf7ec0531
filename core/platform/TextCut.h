// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

namespace TextCut {

// The longest start of the text that is at most maxUnits UTF-16 units long and ends
// between two characters as a reader counts them: never inside a surrogate pair, nor
// between a letter and its accents (unless one such character alone is longer).
QString toLength(const QString &text, qsizetype maxUnits);

} // namespace TextCut
