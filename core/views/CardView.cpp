// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/CardView.h"

#include "views/Palette.h"

#include <QPainter>

namespace {

constexpr qreal cornerRadius = 10;
constexpr qreal fillAlpha = 0.05;
constexpr qreal strokeAlpha = 0.08;

} // namespace

void CardView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    // The half-pixel inset puts the 1 px outline exactly on the edge pixels.
    const QRectF card = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(QPen(labelTint(palette(), strokeAlpha), 1));
    painter.setBrush(labelTint(palette(), fillAlpha));
    painter.drawRoundedRect(card, cornerRadius, cornerRadius);
}
