#include "views/viewstyle.h"

#include "views/spinner.h"

#include <QApplication>
#include <QFile>
#include <QFontDatabase>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QScreen>
#include <QStyle>
#include <QSvgRenderer>

// The icon set lives in a static library, whose resources register only
// when asked to; the macro must stand outside any namespace.
static void registerIcons()
{
    Q_INIT_RESOURCE(icons);
}

namespace ViewStyle {

namespace {

// The symbol's picture from the icon set in the resources, its
// "currentColor" taken as the colour: white parts stay white on a filled
// shape. Nothing for a name the set does not have.
QByteArray symbolSource(const QString &name, const QColor &color)
{
    static const bool registered = (registerIcons(), true);
    Q_UNUSED(registered);
    QFile file(QStringLiteral(":/icons/") + name + QStringLiteral(".svg"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray source = file.readAll();
    source.replace("currentColor", color.name(QColor::HexRgb).toLatin1());
    const QByteArray opacity = QByteArray::number(color.alphaF(), 'f', 3);
    source.replace("<svg ", "<svg opacity=\"" + opacity + "\" ");
    return source;
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

bool hasSymbol(const QString &name)
{
    return !symbolSource(name, Qt::black).isEmpty();
}

QIcon symbol(const QString &name, const QColor &color, int size)
{
    QPixmap pixmap(size * 2, size * 2);
    pixmap.setDevicePixelRatio(2);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(symbolSource(name, color));
    if (!renderer.isValid()) {
        qWarning("no icon for the symbol %s", qPrintable(name));
        return QIcon(pixmap);
    }
    QPainter painter(&pixmap);
    renderer.render(&painter, QRectF(0, 0, size, size));
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
    const int side = label->fontMetrics().height();
    const QIcon icon = QIcon::fromTheme(themeIconName(name), symbol(name, color(which, QApplication::palette()), side));
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

Spinner *spinner(int side, QWidget *parent)
{
    return new Spinner(side, parent);
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

void fitToScreen(QWidget *window, QSize wanted, QSize least)
{
    QSize room = wanted;
    if (const QScreen *screen = window->screen()) {
        room = screen->availableGeometry().size();
        room.rheight() -= window->style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, window);
    }
    window->setMinimumSize(least.boundedTo(room));
    window->resize(wanted.boundedTo(room));
}

} // namespace ViewStyle
