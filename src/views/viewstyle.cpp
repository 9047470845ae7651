#include "views/viewstyle.h"

#include <QApplication>
#include <QFontDatabase>
#include <QHash>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QPixmap>

namespace ViewStyle {

namespace {

// The glyph drawn for each symbol; a name ending in ".fill" inside a circle
// or seal is drawn white on a disc of the colour.
struct Glyph {
    QString text;
    bool disc = false;
};

Glyph glyph(const QString &name)
{
    static const QHash<QString, Glyph> glyphs{
        {QStringLiteral("plus.square"), {QStringLiteral("⊞")}},
        {QStringLiteral("plus"), {QStringLiteral("+")}},
        {QStringLiteral("sparkles"), {QStringLiteral("✦")}},
        {QStringLiteral("stop.fill"), {QStringLiteral("■")}},
        {QStringLiteral("gearshape"), {QStringLiteral("⚙")}},
        {QStringLiteral("arrow.clockwise"), {QStringLiteral("↻")}},
        {QStringLiteral("xmark"), {QStringLiteral("✕")}},
        {QStringLiteral("doc.richtext"), {QStringLiteral("▤")}},
        {QStringLiteral("ellipsis.bubble"), {QStringLiteral("💬")}},
        {QStringLiteral("exclamationmark.triangle.fill"), {QStringLiteral("⚠")}},
        {QStringLiteral("checkmark.circle.fill"), {QStringLiteral("✓"), true}},
        {QStringLiteral("checkmark.seal.fill"), {QStringLiteral("✓"), true}},
        {QStringLiteral("xmark.circle.fill"), {QStringLiteral("✕"), true}},
        {QStringLiteral("arrow.uturn.backward.circle.fill"), {QStringLiteral("↩"), true}},
        {QStringLiteral("arrow.down.circle.fill"), {QStringLiteral("↓"), true}},
    };
    return glyphs.value(name, Glyph{QStringLiteral("•")});
}

double scale(Font font)
{
    switch (font) {
    case Font::body:
        return 1.0;
    case Font::headline:
        return 1.0;
    case Font::callout:
        return 0.95;
    case Font::caption:
        return 0.85;
    case Font::caption2:
        return 0.78;
    case Font::title2:
        return 1.45;
    case Font::title3:
        return 1.25;
    }
    return 1.0;
}

// Outlined symbols drawn with lines, since fonts rarely carry them.
bool drawOutline(QPainter &painter, const QString &name, const QColor &color, int size)
{
    const QRectF ring = QRectF(0, 0, size, size).adjusted(2, 2, -2, -2);
    painter.setPen(QPen(color, 2));
    painter.setBrush(Qt::NoBrush);
    if (name == QLatin1String("circle")) {
        painter.drawEllipse(ring);
        return true;
    }
    if (name == QLatin1String("progress")) {
        painter.drawArc(ring, 90 * 16, -270 * 16);
        return true;
    }
    if (name == QLatin1String("pause.circle")) {
        painter.setPen(QPen(color, 1.5));
        painter.drawEllipse(ring);
        const double bar = size / 8.0;
        painter.fillRect(QRectF(size / 2.0 - bar * 1.6, size * 0.32, bar, size * 0.36), color);
        painter.fillRect(QRectF(size / 2.0 + bar * 0.6, size * 0.32, bar, size * 0.36), color);
        return true;
    }
    return false;
}

} // namespace

QString toneName(Tone tone)
{
    switch (tone) {
    case Tone::primary:
        return QStringLiteral("primary");
    case Tone::secondary:
        return QStringLiteral("secondary");
    case Tone::tertiary:
        return QStringLiteral("tertiary");
    case Tone::green:
        return QStringLiteral("green");
    case Tone::orange:
        return QStringLiteral("orange");
    case Tone::red:
        return QStringLiteral("red");
    case Tone::blue:
        return QStringLiteral("blue");
    case Tone::gray:
        return QStringLiteral("gray");
    case Tone::accent:
        return QStringLiteral("accent");
    }
    return {};
}

QColor color(Tone tone, const QPalette &palette)
{
    switch (tone) {
    case Tone::primary:
        return palette.color(QPalette::WindowText);
    case Tone::secondary:
        return palette.color(QPalette::PlaceholderText);
    case Tone::tertiary: {
        QColor c = palette.color(QPalette::WindowText);
        c.setAlphaF(0.3);
        return c;
    }
    case Tone::green:
        return QColor(0x28, 0xa7, 0x45);
    case Tone::orange:
        return QColor(0xe0, 0x7b, 0x00);
    case Tone::red:
        return QColor(0xd7, 0x26, 0x38);
    case Tone::blue:
        return QColor(0x1e, 0x6f, 0xd9);
    case Tone::gray:
        return QColor(0x8e, 0x8e, 0x93);
    case Tone::accent:
        return palette.color(QPalette::Highlight);
    }
    return palette.color(QPalette::WindowText);
}

void tone(QWidget *widget, Tone tone)
{
    widget->setProperty("tone", toneName(tone));
    QPalette palette = widget->palette();
    const QColor c = color(tone, QApplication::palette());
    palette.setColor(QPalette::WindowText, c);
    palette.setColor(QPalette::Text, c);
    palette.setColor(QPalette::ButtonText, c);
    widget->setPalette(palette);
}

QFont font(const QFont &base, Font font, bool bold)
{
    QFont f = base;
    const double size = QApplication::font().pointSizeF();
    if (size > 0)
        f.setPointSizeF(size * scale(font));
    f.setBold(bold || font == Font::headline);
    return f;
}

void font(QWidget *widget, Font which, bool bold)
{
    widget->setFont(font(widget->font(), which, bold));
}

void monospaced(QWidget *widget)
{
    QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    f.setPointSizeF(widget->font().pointSizeF());
    f.setBold(widget->font().bold());
    widget->setFont(f);
}

QIcon symbol(const QString &name, const QColor &color, int size)
{
    const Glyph g = glyph(name);
    QPixmap pixmap(size * 2, size * 2);
    pixmap.setDevicePixelRatio(2);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    if (drawOutline(painter, name, color, size)) {
        painter.end();
        return QIcon(pixmap);
    }
    QFont f = QApplication::font();
    f.setPixelSize(g.disc ? size * 2 / 3 : size * 5 / 6);
    f.setBold(true);
    painter.setFont(f);
    const QRectF box(0, 0, size, size);
    if (g.disc) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(color);
        painter.drawEllipse(box.adjusted(1, 1, -1, -1));
        painter.setPen(Qt::white);
    } else {
        painter.setPen(color);
    }
    painter.drawText(box, Qt::AlignCenter, g.text);
    painter.end();
    return QIcon(pixmap);
}

void symbol(QLabel *label, const QString &name, Tone which, int size)
{
    label->setProperty("symbol", name);
    label->setProperty("tone", toneName(which));
    label->setPixmap(symbol(name, color(which, QApplication::palette()), size).pixmap(size, size));
    label->setFixedSize(size + 2, size + 2);
    label->setAlignment(Qt::AlignCenter);
}

QLabel *plainLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    return label;
}

} // namespace ViewStyle
