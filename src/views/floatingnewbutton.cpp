#include "views/floatingnewbutton.h"

#include "app/appstate.h"
#include "model/generator.h"
#include "views/newplanaction.h"
#include "views/pillbutton.h"
#include "views/viewstyle.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QShortcut>
#include <QTextDocument>

namespace {

// Room around the capsule for its shadow.
constexpr int shadowMargin = 14;

} // namespace

FloatingNewButton::FloatingNewButton(AppState *state, Generator &generator, NewPlanAction &action, QWidget *parent)
    : QWidget(parent)
    , m_state(state)
    , m_generator(generator)
    , m_action(action)
    , m_button(new PillButton(this))
    // The start pill's Ctrl+Return works from anywhere in the active window,
    // text editors included; it is enabled only with the start pill.
    , m_shortcuts{new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Return), this),
                  new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Enter), this)}
{
    setObjectName(QStringLiteral("floatingNewButton"));
    setAttribute(Qt::WA_TranslucentBackground);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(shadowMargin, shadowMargin / 2, shadowMargin, shadowMargin + 4);
    layout->addWidget(m_button);
    for (QShortcut *shortcut : m_shortcuts) {
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, &FloatingNewButton::clicked);
    }
    connect(m_button, &QPushButton::clicked, this, &FloatingNewButton::clicked);

    connect(state, &AppState::selectionChanged, this, &FloatingNewButton::choose);
    connect(&generator, &Generator::phaseChanged, this, &FloatingNewButton::choose);
    connect(&action, &NewPlanAction::canStartChanged, this, &FloatingNewButton::choose);
    connect(&action, &NewPlanAction::hintChanged, this, &FloatingNewButton::choose);
    choose();
}

void FloatingNewButton::choose()
{
    const std::optional<Selection> selection = m_state ? m_state->selection() : std::nullopt;
    const bool formShown = !selection || selection->kind == Selection::Kind::newPlan;
    Pill pill = Pill::newPlan;
    if (formShown)
        pill = m_generator.phase().isRunning() ? Pill::stop : Pill::start;

    const QPalette palette = QApplication::palette();
    switch (pill) {
    case Pill::newPlan:
        m_button->setFace(QStringLiteral("새 계획서"), QStringLiteral("plus"),
                          ViewStyle::color(ViewStyle::Tone::accent, palette));
        m_button->setEnabled(true);
        m_button->setToolTip(QStringLiteral("새 계획서 만들기 (Ctrl+N)"));
        break;
    case Pill::start:
        m_button->setFace(QStringLiteral("계획서 만들기"), QStringLiteral("sparkles"),
                          ViewStyle::color(ViewStyle::Tone::accent, palette));
        m_button->setEnabled(m_action.canStart());
        m_button->setToolTip(m_action.hint().isEmpty() ? QString() : Qt::convertFromPlainText(m_action.hint()));
        break;
    case Pill::stop:
        m_button->setFace(QStringLiteral("멈추기"), QStringLiteral("stop.fill"),
                          ViewStyle::color(ViewStyle::Tone::gray, palette));
        m_button->setEnabled(true);
        m_button->setToolTip(QString());
        break;
    }
    for (QShortcut *shortcut : m_shortcuts)
        shortcut->setEnabled(pill == Pill::start && m_button->isEnabled());
    // The window places the pill by its bottom-right corner; a new face
    // keeps that corner where it was.
    const QRect before = geometry();
    adjustSize();
    if (parentWidget())
        move(before.right() - width() + 1, before.bottom() - height() + 1);
    if (pill != m_pill) {
        m_pill = pill;
        Q_EMIT pillChanged();
    }
}

void FloatingNewButton::clicked()
{
    if (!m_button->isEnabled())
        return;
    switch (m_pill) {
    case Pill::newPlan:
        if (m_state)
            m_state->openNewPlan();
        break;
    case Pill::start:
        if (m_action.start)
            m_action.start();
        break;
    case Pill::stop:
        m_generator.cancel();
        break;
    }
}
