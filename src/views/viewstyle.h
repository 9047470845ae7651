#pragma once

#include <QColor>
#include <QIcon>
#include <QSize>
#include <QString>

class QFrame;
class QLabel;
class QPalette;
class Spinner;
class QWidget;

// The text styles, colours, symbols and card shapes of the views, sheets and
// the settings window. A colour given to a widget is also set as its dynamic
// property "tone", and a symbol as "symbol", which tests read.
namespace ViewStyle {

enum class Tone { primary, secondary, tertiary, green, orange, red, blue, gray, accent };

// `sheetTitle` is the develop sheet's title, a little larger than `title3`.
enum class Font { body, headline, callout, caption, caption2, title2, title3, sheetTitle };

QString toneName(Tone tone);
QColor color(Tone tone, const QPalette &palette);
// Sets the text colour of the widget and its "tone" property.
void tone(QWidget *widget, Tone tone);

void font(QWidget *widget, Font font, bool bold = false);
QFont font(const QFont &base, Font font, bool bold = false);
void monospaced(QWidget *widget);

// Whether the icon set has a picture for the symbol.
bool hasSymbol(const QString &name);
// A named symbol drawn in a colour, `size` pixels square, from the icon
// set of our own in the resources, so it needs no emoji or symbol font.
QIcon symbol(const QString &name, const QColor &color, int size = 16);
// Shows the symbol in the label and sets its "symbol" and "tone".
void symbol(QLabel *label, const QString &name, Tone tone, int size = 16);
// Shows the icon theme's picture for the symbol (our own icon where the
// theme has none), as tall as the label's text; sets "symbol" and "tone".
void themeSymbol(QLabel *label, const QString &name, Tone tone);

// A label for texts from data or from outside: never rich text.
QLabel *plainLabel(const QString &text, QWidget *parent = nullptr);

// A sunken horizontal line between a view's parts.
QFrame *divider(QWidget *parent);

// An indeterminate progress mark `side` pixels square that turns while shown.
Spinner *spinner(int side, QWidget *parent);

// Fills the frame, picked by its object name, with `background` (a style
// sheet colour) in a rectangle rounded at radius 8.
void roundedFill(QFrame *frame, const QString &background);
// Sizes a sheet or a window of its own to `wanted`, or to the room its
// screen has when that is less (a small screen, a large scale), a title bar
// kept clear; never under `least` where the screen has room for that. What
// it holds must scroll, so that a smaller size still reaches all of it.
void fitToScreen(QWidget *window, QSize wanted, QSize least);

// A rounded card: a grey fill at opacity 0.12, radius 8.
void card(QFrame *frame);
// The job panel's fill: the accent colour at opacity 0.08, radius 8.
void accentCard(QFrame *frame);

} // namespace ViewStyle
