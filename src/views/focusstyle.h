#pragma once

#include <QProxyStyle>

// The window's style with a focus ring of its own on push and tool buttons: a
// button reached with the keyboard wears a ring in the highlight colour,
// which the default button's frame never shows, so the two are told apart
// at a glance and no Tab stop goes unseen.
class FocusStyle : public QProxyStyle
{
    Q_OBJECT

public:
    using QProxyStyle::QProxyStyle;

    // Makes it the application's style, once.
    static void install();

    void drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
                     const QWidget *widget = nullptr) const override;
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex *option, QPainter *painter,
                            const QWidget *widget = nullptr) const override;

private:
    static void drawRing(const QStyleOption *option, QPainter *painter);
};
