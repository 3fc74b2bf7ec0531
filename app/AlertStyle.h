#pragma once

class QMessageBox;

// How our alerts look: the application's icon, the message in bold over a regular
// informative text, both in French typography, a width that keeps titles whole and words
// together, and buttons without icons. Buttons added after the call, and the OK button an
// alert without buttons gets when it opens, are covered too.
namespace AlertStyle {

inline constexpr int minimumTextWidth = 320;
inline constexpr int iconSize = 64;

// Call once the texts are set.
void apply(QMessageBox *alert);

} // namespace AlertStyle
