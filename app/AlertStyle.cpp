#include "AlertStyle.h"

#include "AppIcon.h"

#include "settings/FrenchTypography.h"

#include <QAbstractButton>
#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>

namespace {

// Takes each alert as it opens: its buttons are all there by then, and it has not sized
// itself yet.
class ShowWatch : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *alert = qobject_cast<QMessageBox *>(watched);
        if (alert && event->type() == QEvent::Show) {
            // Added here rather than by the alert as it shows, so that it gets no icon either.
            if (alert->buttons().isEmpty())
                alert->addButton(QMessageBox::Ok);
            for (QAbstractButton *button : alert->buttons())
                button->setIcon(QIcon());
            for (const char *name : {"qt_msgbox_label", "qt_msgbox_informativelabel"})
                if (auto *label = alert->findChild<QLabel *>(QLatin1String(name)))
                    label->setMinimumWidth(AlertStyle::minimumTextWidth);
        }
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

namespace AlertStyle {

void apply(QMessageBox *alert)
{
    alert->setWindowIcon(AppIcon::application());
    alert->setIconPixmap(AppIcon::applicationPixmap(iconSize, qGuiApp->devicePixelRatio()));
    alert->setText(FrenchTypography::typeset(alert->text()));
    alert->setInformativeText(FrenchTypography::typeset(alert->informativeText()));
    if (auto *label = alert->findChild<QLabel *>(QStringLiteral("qt_msgbox_label"))) {
        QFont bold = label->font();
        bold.setBold(true);
        label->setFont(bold);
    }
    alert->installEventFilter(new ShowWatch(alert));
}

} // namespace AlertStyle
