#pragma once

#include <QString>

class QFrame;
class QLabel;
class QWidget;

// The few text styles, colours, symbols and card shapes the sheets and the
// settings window share. Colours and symbols are also set as the dynamic
// properties "tone" and "symbol", which tests read.
namespace Look {

enum class Tone { primary, secondary, green, orange, red, accent };

void headline(QWidget *widget);
void callout(QWidget *widget);
void caption(QWidget *widget);
// Title sizes: 2 for a sheet's title, 3 for a smaller one; bold.
void title(QWidget *widget, int level);
void monospaced(QWidget *widget);

void tone(QWidget *widget, Tone tone);
QString toneName(Tone tone);

// A label showing a named symbol in a colour.
void symbol(QLabel *label, const QString &name, Tone tone);

// A label for texts that come from data or from outside: never rich text.
QLabel *plainLabel(const QString &text, QWidget *parent);

// A rounded card: the quaternary fill at opacity 0.35, radius 8.
void card(QFrame *frame);
// The job panel's fill: the accent colour at opacity 0.08, radius 8.
void accentCard(QFrame *frame);

} // namespace Look
