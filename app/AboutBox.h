// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// What "À propos de Tachora" says: the version, the licence, the maker's site and the
// libraries the program runs on, with the versions loaded now.
namespace AboutBox {

QString title();
QString text();

} // namespace AboutBox
