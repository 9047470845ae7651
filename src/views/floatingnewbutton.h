#pragma once

#include <QPointer>
#include <QWidget>
#include <array>

class AppState;
class Generator;
class NewPlanAction;
class PillButton;
class QShortcut;

// The main window's one large action button: "새 계획서" while a plan or the
// running generation is shown, the form's start pill while the form is
// shown, and a stop pill while the form is shown during a generation.
class FloatingNewButton : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(Pill pill READ pill NOTIFY pillChanged)

public:
    enum class Pill { newPlan, start, stop };
    Q_ENUM(Pill)

    FloatingNewButton(AppState *state, Generator &generator, NewPlanAction &action, QWidget *parent = nullptr);

    Pill pill() const { return m_pill; }
    PillButton *button() const { return m_button; }

Q_SIGNALS:
    void pillChanged();

private:
    void choose();
    void clicked();

    QPointer<AppState> m_state;
    Generator &m_generator;
    NewPlanAction &m_action;
    PillButton *m_button;
    // Ctrl+Return and Ctrl+Enter (keypad).
    std::array<QShortcut *, 2> m_shortcuts;
    Pill m_pill = Pill::start;
};
