#include "views/ResultTile.h"

#include "views/LabelFactory.h"
#include "views/Palette.h"

#include <QLabel>
#include <QPainter>

namespace {

constexpr qreal cornerRadius = 10;
constexpr qreal fillAlpha = 0.05;
constexpr qreal strokeAlpha = 0.08;

} // namespace

ResultTile::ResultTile(const QString &title, QWidget *parent)
    : QWidget(parent)
    , m_titleLabel(makeLabel(title, 11, QFont::Medium, ViewColor::secondaryLabel))
    , m_valueLabel(makeLabel(QStringLiteral("\u00B7"), 16, QFont::DemiBold, ViewColor::label))
{
    m_valueLabel->setFont(monospacedDigitSystemFont(16, QFont::DemiBold));
    setTabularDigits(m_valueLabel);
    m_titleLabel->setParent(this);
    m_valueLabel->setParent(this);
    m_titleLabel->setGeometry(0, 8, tileWidth, 15);
    m_valueLabel->setGeometry(0, 28, tileWidth, 20);
    setFixedSize(tileWidth, tileHeight);
    registerInterface();
}

void ResultTile::setValue(const QString &text)
{
    m_valueLabel->setText(text);
    valueChanged(this);
}

QString ResultTile::readoutName() const
{
    return m_titleLabel->text();
}

QString ResultTile::readoutValue() const
{
    return m_valueLabel->text();
}

void ResultTile::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    // Drawn from the current size, so a tile forced to another size still gets a whole card;
    // the half-pixel inset puts the 1 px outline exactly on the edge pixels.
    const QRectF card = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(QPen(labelTint(palette(), strokeAlpha), 1));
    painter.setBrush(labelTint(palette(), fillAlpha));
    painter.drawRoundedRect(card, cornerRadius, cornerRadius);
}
