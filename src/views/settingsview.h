#pragma once

#include <QWidget>

class AppState;
class SettingsForm;

// The content of the settings window: the settings form, padded, in one
// scrolling page.
class SettingsView : public QWidget
{
    Q_OBJECT

public:
    explicit SettingsView(AppState *state, QWidget *parent = nullptr);

    SettingsForm *form() const { return m_form; }

private:
    SettingsForm *m_form;
};
