#include "views/focusstyle.h"

#include <QApplication>
#include <QPainter>
#include <QStyleOption>

void FocusStyle::install()
{
    if (!qobject_cast<FocusStyle *>(QApplication::style()))
        QApplication::setStyle(new FocusStyle);
}

void FocusStyle::drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
                             const QWidget *widget) const
{
    QProxyStyle::drawControl(element, option, painter, widget);
    // The ring follows the keyboard, as the style's own focus marks do.
    const QStyle::State focused = State_HasFocus | State_KeyboardFocusChange;
    if (element != CE_PushButton || (option->state & focused) != focused)
        return;
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, false);
    painter->setPen(QPen(option->palette.color(QPalette::Highlight), 2));
    painter->setBrush(Qt::NoBrush);
    painter->drawRect(QRectF(option->rect).adjusted(1, 1, -1, -1));
    painter->restore();
}
