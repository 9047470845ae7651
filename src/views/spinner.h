#pragma once

#include <QColor>
#include <QTimer>
#include <QWidget>

// An indeterminate progress mark: an arc that turns for as long as the
// widget is shown. Hidden (itself or with its window) it stops its timer,
// so a spinner nobody sees costs nothing.
class Spinner : public QWidget
{
    Q_OBJECT

public:
    // A spinner `side` pixels square in the colour of the tone.
    Spinner(int side, QWidget *parent = nullptr);

    void setColor(const QColor &color);
    bool spinning() const { return m_timer.isActive(); }
    // Where the arc starts, in degrees; advances while spinning.
    int angle() const { return m_angle; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void turn();

    QColor m_color;
    QTimer m_timer;
    int m_angle = 0;
};
