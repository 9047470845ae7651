#include "views/pillbutton.h"

#include "views/viewstyle.h"

#include <QEvent>
#include <QGraphicsDropShadowEffect>
#include <QPainter>
#include <QPainterPath>

namespace {

constexpr int paddingX = 20;
constexpr int paddingY = 12;
constexpr int symbolSize = 16;
constexpr int iconGap = 6;

} // namespace

PillButton::PillButton(QWidget *parent)
    : QPushButton(parent)
    , m_shadow(new QGraphicsDropShadowEffect(this))
{
    setFont(ViewStyle::font(font(), ViewStyle::Font::headline));
    setCursor(Qt::PointingHandCursor);
    setAutoDefault(false);
    setFocusPolicy(Qt::NoFocus);
    m_shadow->setBlurRadius(20);
    m_shadow->setOffset(0, 4);
    setGraphicsEffect(m_shadow);
    updateShadow();
}

void PillButton::setFace(const QString &title, const QString &symbol, const QColor &fill)
{
    setText(title);
    m_symbol = symbol;
    m_fill = fill;
    setProperty("symbol", symbol);
    updateGeometry();
    update();
}

QSize PillButton::sizeHint() const
{
    const QFontMetrics metrics(font());
    return {paddingX * 2 + symbolSize + iconGap + metrics.horizontalAdvance(text()),
            paddingY * 2 + std::max(symbolSize, metrics.height())};
}

void PillButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QColor fill = m_fill;
    fill.setAlphaF(fillOpacity() * (isDown() ? 0.85 : 1.0));
    QPainterPath capsule;
    capsule.addRoundedRect(box, box.height() / 2, box.height() / 2);
    painter.fillPath(capsule, fill);

    QColor ink(Qt::white);
    ink.setAlphaF(textOpacity());
    const QFontMetrics metrics(font());
    const int contentWidth = symbolSize + iconGap + metrics.horizontalAdvance(text());
    const int x = (width() - contentWidth) / 2;
    const QIcon icon = ViewStyle::symbol(m_symbol, ink, symbolSize);
    icon.paint(&painter, QRect(x, (height() - symbolSize) / 2, symbolSize, symbolSize));
    painter.setPen(ink);
    painter.drawText(QRect(x + symbolSize + iconGap, 0, width(), height()), Qt::AlignLeft | Qt::AlignVCenter, text());
}

void PillButton::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::EnabledChange)
        updateShadow();
    QPushButton::changeEvent(event);
}

void PillButton::updateShadow()
{
    m_shadow->setColor(QColor(0, 0, 0, qRound(255 * shadowOpacity())));
}
