#include "views/sidebardelegate.h"

#include "views/sidebarmodel.h"
#include "views/viewstyle.h"

#include <QApplication>
#include <QFontDatabase>
#include <QPainter>
#include <QPainterPath>

using Kind = SidebarModel::Kind;
using ViewStyle::Font;

namespace {

ViewStyle::Tone toneOf(const QString &name)
{
    static const QHash<QString, ViewStyle::Tone> tones{
        {QStringLiteral("accent"), ViewStyle::Tone::accent},
        {QStringLiteral("orange"), ViewStyle::Tone::orange},
        {QStringLiteral("secondary"), ViewStyle::Tone::secondary},
    };
    return tones.value(name, ViewStyle::Tone::primary);
}

// Texts from data may hold line breaks; a row shows each on one line.
QString oneLine(QString text)
{
    for (QChar &c : text)
        if (c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QChar::LineSeparator
            || c == QChar::ParagraphSeparator)
            c = QLatin1Char(' ');
    return text;
}

QFont secondLineFont(const QFont &base)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(ViewStyle::font(base, Font::caption).pointSizeF());
    return font;
}

} // namespace

QPixmap SidebarDelegate::symbol(const QString &name, const QString &tone, const QPalette &palette) const
{
    const QString key = name + QLatin1Char('|') + tone;
    auto found = m_symbols.constFind(key);
    if (found != m_symbols.cend())
        return *found;
    const QColor color = tone == QLatin1String("selected") ? palette.color(QPalette::HighlightedText)
                                                           : ViewStyle::color(toneOf(tone), palette);
    const QPixmap pixmap = ViewStyle::symbol(name, color, symbolSize)
                               .pixmap(symbolSize, symbolSize);
    m_symbols.insert(key, pixmap);
    return pixmap;
}

QSize SidebarDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const QFontMetrics body(option.font);
    const QFontMetrics caption(ViewStyle::font(option.font, Font::caption));
    switch (index.data(SidebarModel::KindRole).value<Kind>()) {
    case Kind::newPlan:
        return {100, body.height() + 12};
    case Kind::header:
        return {100, caption.height() + 14};
    case Kind::empty:
        return {100, body.height() + 8};
    case Kind::generating:
    case Kind::unfinished:
    case Kind::plan:
        return {100, body.height() + caption.height() + 2 + 12};
    }
    return {100, body.height() + 8};
}

void SidebarDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    opt.text.clear();
    const QWidget *widget = option.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, widget);

    const Kind kind = index.data(SidebarModel::KindRole).value<Kind>();
    const bool selected = option.state & QStyle::State_Selected;
    const QPalette &palette = option.palette;
    const QColor primary = palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
    const QColor secondary = selected ? primary : ViewStyle::color(ViewStyle::Tone::secondary, palette);
    const QColor orange = selected ? primary : ViewStyle::color(ViewStyle::Tone::orange, palette);
    const QString title = oneLine(index.data(Qt::DisplayRole).toString());
    const QString subtitle = oneLine(index.data(SidebarModel::SubtitleRole).toString());
    const QString symbolName = index.data(SidebarModel::SymbolRole).toString();
    QRect box = option.rect.adjusted(padX, 0, -padX, 0);

    painter->save();
    // The running mark is the spinner laid over this place.
    if (symbolName == QLatin1String("progress")) {
        box.setLeft(box.left() + symbolSize + 8);
    } else if (!symbolName.isEmpty()) {
        // On the selection highlight the symbol takes the highlighted text's colour.
        const QString tone = selected ? QStringLiteral("selected") : index.data(SidebarModel::ToneRole).toString();
        const QPixmap pixmap = symbol(symbolName, tone, palette);
        painter->drawPixmap(box.left(), box.center().y() - symbolSize / 2, pixmap);
        box.setLeft(box.left() + symbolSize + 8);
    }

    const QFont bodyFont = option.font;
    const QFont captionFont = ViewStyle::font(option.font, Font::caption);
    switch (kind) {
    case Kind::newPlan:
    case Kind::empty: {
        painter->setFont(kind == Kind::empty ? ViewStyle::font(bodyFont, Font::callout) : bodyFont);
        painter->setPen(kind == Kind::empty ? secondary : primary);
        painter->drawText(box, Qt::AlignLeft | Qt::AlignVCenter,
                          painter->fontMetrics().elidedText(title, Qt::ElideRight, box.width()));
        break;
    }
    case Kind::header: {
        painter->setFont(ViewStyle::font(bodyFont, Font::caption, true));
        painter->setPen(secondary);
        painter->drawText(box.adjusted(0, 6, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, title);
        break;
    }
    case Kind::generating:
    case Kind::unfinished:
    case Kind::plan: {
        const QFontMetrics bodyMetrics(bodyFont);
        const QFont secondFont = kind == Kind::plan ? secondLineFont(bodyFont) : captionFont;
        const QFontMetrics secondMetrics(secondFont);
        const int top = box.top() + (box.height() - bodyMetrics.height() - secondMetrics.height() - 2) / 2;
        // Rows of a folder that can be resumed keep room on the right for
        // their button.
        const bool resumable = kind == Kind::unfinished;
        const int titleWidth = resumable ? box.width() - buttonRoom : box.width();
        painter->setFont(bodyFont);
        painter->setPen(primary);
        painter->drawText(QRect(box.left(), top, titleWidth, bodyMetrics.height()), Qt::AlignLeft | Qt::AlignVCenter,
                          bodyMetrics.elidedText(title, Qt::ElideRight, titleWidth));
        const QRect second(box.left(), top + bodyMetrics.height() + 2, box.width(), secondMetrics.height());
        painter->setFont(secondFont);
        painter->setPen(kind == Kind::plan || index.data(SidebarModel::ToneRole).toString() != QLatin1String("orange")
                            ? secondary
                            : orange);
        const QString badge = index.data(SidebarModel::BadgeRole).toString();
        const QFont badgeFont = ViewStyle::font(bodyFont, Font::caption2);
        const QFontMetrics badgeMetrics(badgeFont);
        const int badgeWidth = badge.isEmpty() ? 0 : badgeMetrics.horizontalAdvance(badge) + 10;
        const int secondWidth = std::max(0, second.width() - (badgeWidth ? badgeWidth + 6 : 0));
        const QString shown = secondMetrics.elidedText(subtitle, Qt::ElideRight, secondWidth);
        painter->drawText(QRect(second.left(), second.top(), secondWidth, second.height()),
                          Qt::AlignLeft | Qt::AlignVCenter, shown);
        if (!badge.isEmpty()) {
            const int x = second.left() + secondMetrics.horizontalAdvance(shown) + 6;
            const QRectF pill(x, second.center().y() - badgeMetrics.height() / 2.0, badgeWidth, badgeMetrics.height());
            QColor fill = ViewStyle::color(ViewStyle::Tone::orange, palette);
            fill.setAlphaF(0.2);
            QPainterPath capsule;
            capsule.addRoundedRect(pill, pill.height() / 2, pill.height() / 2);
            painter->setRenderHint(QPainter::Antialiasing);
            painter->fillPath(capsule, fill);
            painter->setFont(badgeFont);
            painter->setPen(orange);
            painter->drawText(pill, Qt::AlignCenter, badge);
        }
        break;
    }
    }
    painter->restore();
}
