#include "app/toast.h"

#include "app/appstate.h"

#include <QMouseEvent>

using namespace Qt::StringLiterals;

namespace {

constexpr int lifetimeMs = 3000;
constexpr int bottomGap = 16;

} // namespace

Toast::Toast(AppState *state, QWidget *parent)
    : QLabel(parent)
    , m_state(state)
{
    setObjectName(u"toast"_s);
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
    setAlignment(Qt::AlignCenter);
    setContentsMargins(14, 8, 14, 8);
    setAttribute(Qt::WA_StyledBackground);
    setStyleSheet(u"#toast { background: palette(window); border: 1px solid palette(mid); border-radius: 16px; }"_s);
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

void Toast::place()
{
    if (!parentWidget())
        return;
    const QSize size = sizeHint().boundedTo(parentWidget()->size() - QSize(32, 32));
    resize(size);
    move((parentWidget()->width() - size.width()) / 2, parentWidget()->height() - size.height() - bottomGap);
    raise();
}

void Toast::mousePressEvent(QMouseEvent *event)
{
    event->accept();
    if (m_state)
        m_state->setMessage(std::nullopt);
}
