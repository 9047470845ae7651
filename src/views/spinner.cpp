#include "views/spinner.h"

#include "views/viewstyle.h"

#include <QApplication>
#include <QPainter>

namespace {

// One turn a second, drawn in 30 steps.
constexpr int stepMs = 33;
constexpr int stepDegrees = 12;

} // namespace

Spinner::Spinner(int side, QWidget *parent)
    : QWidget(parent)
    , m_color(ViewStyle::color(ViewStyle::Tone::secondary, QApplication::palette()))
{
    setObjectName(QStringLiteral("spinner"));
    setProperty("symbol", QStringLiteral("progress"));
    setProperty("tone", ViewStyle::toneName(ViewStyle::Tone::secondary));
    setFixedSize(side, side);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    m_timer.setInterval(stepMs);
    connect(&m_timer, &QTimer::timeout, this, &Spinner::turn);
}

void Spinner::setColor(const QColor &color)
{
    m_color = color;
    update();
}

void Spinner::turn()
{
    m_angle = (m_angle + stepDegrees) % 360;
    update();
}

void Spinner::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal pen = std::max(1.5, width() / 9.0);
    const QRectF ring = QRectF(rect()).adjusted(pen, pen, -pen, -pen);
    QColor track = m_color;
    track.setAlphaF(track.alphaF() * 0.2);
    painter.setPen(QPen(track, pen));
    painter.drawEllipse(ring);
    painter.setPen(QPen(m_color, pen, Qt::SolidLine, Qt::RoundCap));
    // Qt counts angles anticlockwise in sixteenths of a degree.
    painter.drawArc(ring, -m_angle * 16, -100 * 16);
}

void Spinner::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    m_timer.start();
}

void Spinner::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    m_timer.stop();
}
