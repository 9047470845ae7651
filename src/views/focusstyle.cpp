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
    if (element == CE_PushButton)
        drawRing(option, painter);
}

// Tool buttons (the zoom buttons among them) draw no focus mark of their own.
void FocusStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex *option, QPainter *painter,
                                    const QWidget *widget) const
{
    QProxyStyle::drawComplexControl(control, option, painter, widget);
    if (control == CC_ToolButton)
        drawRing(option, painter);
}

// The ring follows the keyboard, as the style's own focus marks do.
void FocusStyle::drawRing(const QStyleOption *option, QPainter *painter)
{
    const QStyle::State focused = State_HasFocus | State_KeyboardFocusChange;
    if ((option->state & focused) != focused)
        return;
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, false);
    painter->setPen(QPen(option->palette.color(QPalette::Highlight), 2));
    painter->setBrush(Qt::NoBrush);
    painter->drawRect(QRectF(option->rect).adjusted(1, 1, -1, -1));
    painter->restore();
}
