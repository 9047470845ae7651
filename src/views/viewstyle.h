#pragma once

#include <QColor>
#include <QIcon>
#include <QString>

class QLabel;
class QPalette;
class QWidget;

// The text styles, colours and symbols of the main window's views. A colour
// given to a widget is also set as its dynamic property "tone", and a symbol
// as "symbol", which tests read.
namespace ViewStyle {

enum class Tone { primary, secondary, tertiary, green, orange, red, blue, gray, accent };

enum class Font { body, headline, callout, caption, caption2, title2, title3 };

QString toneName(Tone tone);
QColor color(Tone tone, const QPalette &palette);
// Sets the text colour of the widget and its "tone" property.
void tone(QWidget *widget, Tone tone);

void font(QWidget *widget, Font font, bool bold = false);
QFont font(const QFont &base, Font font, bool bold = false);
void monospaced(QWidget *widget);

// A named symbol drawn in a colour, `size` pixels square.
QIcon symbol(const QString &name, const QColor &color, int size = 16);
// Shows the symbol in the label and sets its "symbol" and "tone".
void symbol(QLabel *label, const QString &name, Tone tone, int size = 16);

// A label for texts from data or from outside: never rich text.
QLabel *plainLabel(const QString &text, QWidget *parent = nullptr);

} // namespace ViewStyle
