#pragma once

#include <QLabel>
#include <QPointer>
#include <QTimer>

class AppState;

// The outcome of an operation, shown at the bottom centre of the main window
// while AppState::message holds a text. It clears itself 3 seconds after
// its text was set, and at once when clicked; it only ever clears its own
// text, never a newer one.
class Toast : public QLabel
{
    Q_OBJECT

public:
    Toast(AppState *state, QWidget *parent);

    // Sizes the toast to its text and puts it at the bottom centre of its
    // parent, above everything else.
    void place();

protected:
    void mousePressEvent(QMouseEvent *event) override;

private:
    void follow();
    void expire();

    QPointer<AppState> m_state;
    QString m_shown;
    QTimer m_timer;
};
