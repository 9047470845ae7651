#include "app/toast.h"

#include "app/appstate.h"

#include <QMouseEvent>
#include <QPainter>
#include <QTextLayout>
#include <cmath>

using namespace Qt::StringLiterals;

namespace {

constexpr int lifetimeMs = 3000;
constexpr int bottomGap = 16;
// The least room kept between the toast and the window's sides.
constexpr int sideGap = 16;

// Lays the text out in centred lines at most `width` wide, breaking a word
// longer than a line (a file name) anywhere; returns the room the lines
// take.
QSizeF layOut(QTextLayout &layout, qreal width)
{
    QTextOption option(Qt::AlignHCenter);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    qreal height = 0;
    qreal widest = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        line.setPosition(QPointF(0, height));
        height += line.height();
        widest = std::max(widest, line.naturalTextWidth());
    }
    layout.endLayout();
    return {widest, height};
}

} // namespace

Toast::Toast(AppState *state, QWidget *parent)
    : QLabel(parent)
    , m_state(state)
{
    setObjectName(u"toast"_s);
    setTextFormat(Qt::PlainText);
    setAlignment(Qt::AlignCenter);
    setAttribute(Qt::WA_StyledBackground);
    // The padding (14 across, 8 down, the border included) goes in the
    // style sheet: a style sheet sets the contents margins itself.
    setStyleSheet(u"#toast { background: palette(window); border: 1px solid palette(mid); border-radius: 16px;"
                  u" padding: 7px 13px; }"_s);
    m_timer.setSingleShot(true);
    m_timer.setInterval(lifetimeMs);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &Toast::expire);
    connect(state, &AppState::messageChanged, this, &Toast::follow);
    follow();
}

void Toast::follow()
{
    const std::optional<QString> message = m_state ? m_state->message() : std::nullopt;
    if (!message) {
        m_timer.stop();
        m_shown.clear();
        hide();
        return;
    }
    // The state announces only real changes: a new text gets its own
    // 3 seconds, the same text set again keeps the running ones.
    m_shown = *message;
    setText(m_shown);
    m_timer.start();
    place();
    show();
    raise();
}

void Toast::expire()
{
    if (m_state && m_state->message() == m_shown)
        m_state->setMessage(std::nullopt);
}

QString Toast::lines() const
{
    QString shown = text();
    shown.replace(u'\n', QChar::LineSeparator);
    return shown;
}

void Toast::place()
{
    if (!parentWidget())
        return;
    const QSize room = parentWidget()->size();
    const QMargins margins = contentsMargins();
    const int widest = std::max(1, room.width() - 2 * sideGap - margins.left() - margins.right());
    QTextLayout layout(lines(), font());
    const QSizeF text = layOut(layout, widest);
    const int width = int(std::ceil(text.width())) + margins.left() + margins.right();
    const int height = std::min(int(std::ceil(text.height())) + margins.top() + margins.bottom(),
                                std::max(0, room.height() - bottomGap - sideGap));
    resize(width, height);
    move((room.width() - width) / 2, room.height() - height - bottomGap);
    raise();
}

// The toast draws its own lines: a label's word wrap leaves a word longer
// than a line (a file name) cut at the edge.
void Toast::paintEvent(QPaintEvent *)
{
    const QRect box = contentsRect();
    QTextLayout layout(lines(), font());
    layOut(layout, box.width());
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    layout.draw(&painter, box.topLeft());
}

void Toast::mousePressEvent(QMouseEvent *event)
{
    event->accept();
    if (m_state)
        m_state->setMessage(std::nullopt);
}
