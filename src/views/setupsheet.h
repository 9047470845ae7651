#pragma once

#include <QDialog>

class AppState;
class QPushButton;
class SettingsForm;

// The first-run setup sheet: a header, the settings form and two buttons.
// "시작하기" records that setup was done and rescans the library; "나중에",
// Escape and closing only hide the sheet until the next start.
class SetupSheet : public QDialog
{
    Q_OBJECT

public:
    explicit SetupSheet(AppState *state, QWidget *parent = nullptr);

    SettingsForm *form() const { return m_form; }
    QPushButton *laterButton() const { return m_later; }
    QPushButton *startButton() const { return m_start; }

    void later();
    void begin();

    // Escape and the window's close button act as "나중에".
    void reject() override;

private:
    void closeWith(DialogCode code);

    AppState *m_state;
    SettingsForm *m_form;
    QPushButton *m_later;
    QPushButton *m_start;
};
