#pragma once

#include <QWidget>

class AppState;
class QScrollArea;
class SettingsForm;

// The content of the settings window: the settings form, padded, in one
// scrolling page.
class SettingsView : public QWidget
{
    Q_OBJECT

public:
    explicit SettingsView(AppState *state, QWidget *parent = nullptr);

    SettingsForm *form() const { return m_form; }

    // The form, padded, in a page scrolling inside `parent` (the setup sheet
    // shows it the same way).
    static QScrollArea *scrollingPage(SettingsForm *form, QWidget *parent);

private:
    SettingsForm *m_form;
};
