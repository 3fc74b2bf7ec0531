// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

class QMessageBox;

// How our alerts look: the application's icon, the message in bold over a regular
// informative text, a width that keeps titles whole and words
// together, and buttons without icons. Buttons added after the call, and the OK button an
// alert without buttons gets when it opens, are covered too. A long informative text scrolls
// inside the alert instead of making it taller than the screen and pushing its buttons out
// of sight.
namespace AlertStyle {

inline constexpr int minimumTextWidth = 320;
inline constexpr int iconSize = 64;

// Words from elsewhere in an alert, such as release notes or the service's messages, as they
// may be shown: no control characters but line feeds and tabs, and none of the marks that
// reorder what follows them (bidi embeddings, overrides and isolates), which could make a
// text read otherwise than it is.
QString displayable(const QString &text);

// Call once the texts are set, our own already typeset (FrenchTypography): an alert also
// shows words from elsewhere, which stay as they are.
void apply(QMessageBox *alert, int textWidth = minimumTextWidth);

} // namespace AlertStyle
