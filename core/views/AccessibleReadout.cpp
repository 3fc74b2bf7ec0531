// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/AccessibleReadout.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QWidget>

namespace {

class ReadoutInterface : public QAccessibleWidget
{
public:
    explicit ReadoutInterface(QWidget *widget)
        : QAccessibleWidget(widget, QAccessible::StaticText)
    {}

    QString text(QAccessible::Text kind) const override
    {
        // Looked up at each call: while the widget is being destroyed it is no readout any
        // more, and its overrides must not be called.
        const auto *readout = dynamic_cast<const AccessibleReadout *>(widget());
        if (readout && kind == QAccessible::Name && widget()->accessibleName().isEmpty())
            return readout->readoutName();
        // The value goes out as the description: Qt's AT-SPI bridge publishes a value only
        // through a value or text interface, and numbers with units fit neither.
        if (readout && kind == QAccessible::Description)
            return readout->readoutValue();
        return QAccessibleWidget::text(kind);
    }

    // One element: the labels inside are what its name and description read out.
    int childCount() const override { return 0; }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
};

QAccessibleInterface *readoutFactory(const QString &, QObject *object)
{
    if (object && object->isWidgetType() && dynamic_cast<AccessibleReadout *>(object))
        return new ReadoutInterface(static_cast<QWidget *>(object));
    return nullptr;
}

} // namespace

void AccessibleReadout::registerInterface()
{
    static const bool registered = [] {
        QAccessible::installFactory(readoutFactory);
        return true;
    }();
    Q_UNUSED(registered);
}

void AccessibleReadout::nameChanged(QWidget *widget)
{
    QAccessibleEvent event(widget, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
}

void AccessibleReadout::valueChanged(QWidget *widget)
{
    // The gauge calls this five times a second, most often with nobody listening.
    if (!QAccessible::isActive())
        return;
    QAccessibleEvent event(widget, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&event);
}
