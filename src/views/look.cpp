#include "views/look.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QPalette>
#include <QStyle>

namespace Look {

namespace {

void scaleFont(QWidget *widget, double factor, bool bold)
{
    QFont font = widget->font();
    if (font.pointSizeF() > 0)
        font.setPointSizeF(QApplication::font().pointSizeF() * factor);
    font.setBold(bold);
    widget->setFont(font);
}

QColor colour(Tone tone, const QPalette &palette)
{
    switch (tone) {
    case Tone::primary:
        return palette.color(QPalette::WindowText);
    case Tone::secondary:
        return palette.color(QPalette::PlaceholderText);
    case Tone::green:
        return QColor(0x28, 0xa7, 0x45);
    case Tone::orange:
        return QColor(0xe0, 0x7b, 0x00);
    case Tone::red:
        return QColor(0xd7, 0x26, 0x38);
    case Tone::accent:
        return palette.color(QPalette::Highlight);
    }
    return palette.color(QPalette::WindowText);
}

QStyle::StandardPixmap fallback(const QString &name)
{
    if (name.startsWith(QLatin1String("checkmark")))
        return QStyle::SP_DialogApplyButton;
    if (name.startsWith(QLatin1String("xmark")))
        return QStyle::SP_MessageBoxCritical;
    if (name.startsWith(QLatin1String("exclamationmark")) || name.startsWith(QLatin1String("person")))
        return QStyle::SP_MessageBoxWarning;
    return QStyle::SP_MessageBoxInformation;
}

QString themeName(const QString &name)
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

void headline(QWidget *widget)
{
    scaleFont(widget, 1.0, true);
}

void callout(QWidget *widget)
{
    scaleFont(widget, 0.95, false);
}

void caption(QWidget *widget)
{
    scaleFont(widget, 0.85, false);
}

void title(QWidget *widget, int level)
{
    scaleFont(widget, level <= 2 ? 1.45 : 1.3, true);
}

void monospaced(QWidget *widget)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(widget->font().pointSizeF());
    widget->setFont(font);
}

QString toneName(Tone tone)
{
    switch (tone) {
    case Tone::primary:
        return QStringLiteral("primary");
    case Tone::secondary:
        return QStringLiteral("secondary");
    case Tone::green:
        return QStringLiteral("green");
    case Tone::orange:
        return QStringLiteral("orange");
    case Tone::red:
        return QStringLiteral("red");
    case Tone::accent:
        return QStringLiteral("accent");
    }
    return {};
}

void tone(QWidget *widget, Tone tone)
{
    widget->setProperty("tone", toneName(tone));
    QPalette palette = widget->palette();
    const QColor c = colour(tone, palette);
    palette.setColor(QPalette::WindowText, c);
    palette.setColor(QPalette::Text, c);
    widget->setPalette(palette);
}

void symbol(QLabel *label, const QString &name, Tone shade)
{
    label->setProperty("symbol", name);
    tone(label, shade);
    const QIcon icon = QIcon::fromTheme(themeName(name), label->style()->standardIcon(fallback(name)));
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

void card(QFrame *frame)
{
    frame->setObjectName(frame->objectName().isEmpty() ? QStringLiteral("card") : frame->objectName());
    frame->setStyleSheet(QStringLiteral("#%1 { background: rgba(128, 128, 128, 0.12); border-radius: 8px; }")
                             .arg(frame->objectName()));
}

void accentCard(QFrame *frame)
{
    const QColor accent = frame->palette().color(QPalette::Highlight);
    frame->setObjectName(frame->objectName().isEmpty() ? QStringLiteral("jobPanel") : frame->objectName());
    frame->setStyleSheet(QStringLiteral("#%1 { background: rgba(%2, %3, %4, 0.08); border-radius: 8px; }")
                             .arg(frame->objectName())
                             .arg(accent.red())
                             .arg(accent.green())
                             .arg(accent.blue()));
}

} // namespace Look
