// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QIcon>
#include <QList>
#include <QRectF>
#include <QSize>

#include <functional>

class QPainter;

// Icons drawn afresh at every size asked, device pixels included, rather than scaled from a
// few pictures, so that they are as sharp at a scale of 1.25 or 3 as at 1.
namespace PaintedIcon {

// Draws the icon in square, the largest square centred in the space asked. The painter is
// restored afterwards.
using Paint = std::function<void(QPainter &painter, const QRectF &square, QIcon::Mode mode)>;

// offeredSizes: what the icon lists as its sizes, for those that take a set of pictures
// (a tray over D-Bus); any other size is drawn all the same.
QIcon make(Paint paint, const QList<QSize> &offeredSizes = {});

} // namespace PaintedIcon
