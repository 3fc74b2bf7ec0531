// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/PaintedIcon.h"

#include <QIconEngine>
#include <QPainter>
#include <QPixmap>

#include <algorithm>

namespace {

class PaintedIconEngine : public QIconEngine
{
public:
    PaintedIconEngine(PaintedIcon::Paint paint, const QList<QSize> &offeredSizes)
        : m_paint(std::move(paint))
        , m_offeredSizes(offeredSizes)
    {}

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State) override
    {
        // QRect::center() rounds down, half a rectangle of even size off: the middle is
        // taken in real numbers.
        const qreal side = std::min(rect.width(), rect.height());
        painter->save();
        m_paint(*painter,
                QRectF(QRectF(rect).center() - QPointF(side, side) / 2, QSizeF(side, side)), mode);
        painter->restore();
    }

    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        QPixmap pixmap(size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        paint(&painter, QRect(QPoint(), size), mode, state);
        return pixmap;
    }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override { return m_offeredSizes; }

    QIconEngine *clone() const override { return new PaintedIconEngine(m_paint, m_offeredSizes); }

private:
    PaintedIcon::Paint m_paint;
    QList<QSize> m_offeredSizes;
};

} // namespace

namespace PaintedIcon {

QIcon make(Paint paint, const QList<QSize> &offeredSizes)
{
    return QIcon(new PaintedIconEngine(std::move(paint), offeredSizes));
}

} // namespace PaintedIcon
