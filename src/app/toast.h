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

    // Sizes the toast to its text, in as many lines as it needs within its
    // parent's width less the side gaps, and puts it at the bottom centre of
    // its parent, above everything else.
    void place();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    // The text with its line breaks as the layout takes them.
    QString lines() const;
    void follow();
    void expire();

    QPointer<AppState> m_state;
    QString m_shown;
    QTimer m_timer;
};
