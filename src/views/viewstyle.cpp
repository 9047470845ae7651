#include "views/viewstyle.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFrame>
#include <QHash>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QPixmap>
#include <QProgressBar>
#include <QStyle>

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
    case Font::sheetTitle:
        return 1.3;
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

QStyle::StandardPixmap standardSymbol(const QString &name)
{
    if (name.startsWith(QLatin1String("checkmark")))
        return QStyle::SP_DialogApplyButton;
    if (name.startsWith(QLatin1String("xmark")))
        return QStyle::SP_MessageBoxCritical;
    if (name.startsWith(QLatin1String("exclamationmark")) || name.startsWith(QLatin1String("person")))
        return QStyle::SP_MessageBoxWarning;
    return QStyle::SP_MessageBoxInformation;
}

QString themeIconName(const QString &name)
{
    if (name.startsWith(QLatin1String("checkmark")))
        return QStringLiteral("emblem-ok");
    if (name.startsWith(QLatin1String("xmark.octagon")))
        return QStringLiteral("dialog-error");
    if (name.startsWith(QLatin1String("xmark")))
        return QStringLiteral("window-close");
    if (name.startsWith(QLatin1String("person")))
        return QStringLiteral("avatar-default");
    return QStringLiteral("dialog-warning");
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

void themeSymbol(QLabel *label, const QString &name, Tone which)
{
    // Icon themes are looked up on disk: an unchanged symbol is not drawn
    // again.
    if (label->property("symbol").toString() == name && label->property("tone").toString() == toneName(which)
        && !label->pixmap().isNull())
        return;
    label->setProperty("symbol", name);
    tone(label, which);
    const QIcon icon = QIcon::fromTheme(themeIconName(name), label->style()->standardIcon(standardSymbol(name)));
    const int side = label->fontMetrics().height();
    label->setPixmap(icon.pixmap(side, side));
}

QLabel *plainLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    return label;
}

QFrame *divider(QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QProgressBar *spinner(const QSize &size, QWidget *parent)
{
    auto *bar = new QProgressBar(parent);
    bar->setRange(0, 0);
    bar->setTextVisible(false);
    bar->setFixedSize(size);
    return bar;
}

void roundedFill(QFrame *frame, const QString &background)
{
    frame->setStyleSheet(
        QStringLiteral("#%1 { background: %2; border-radius: 8px; }").arg(frame->objectName(), background));
}

void card(QFrame *frame)
{
    frame->setObjectName(frame->objectName().isEmpty() ? QStringLiteral("card") : frame->objectName());
    roundedFill(frame, QStringLiteral("rgba(128, 128, 128, 0.12)"));
}

void accentCard(QFrame *frame)
{
    const QColor accent = frame->palette().color(QPalette::Highlight);
    frame->setObjectName(frame->objectName().isEmpty() ? QStringLiteral("jobPanel") : frame->objectName());
    roundedFill(frame,
                QStringLiteral("rgba(%1, %2, %3, 0.08)").arg(accent.red()).arg(accent.green()).arg(accent.blue()));
}

} // namespace ViewStyle
