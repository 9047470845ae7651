#pragma once

#include <QWidget>

class QToolButton;
class WebZoom;

// The three zoom buttons of the editor's header: out, the level in
// percent (back to 100 %), in.
class ZoomControl : public QWidget
{
    Q_OBJECT

public:
    explicit ZoomControl(WebZoom *zoom, QWidget *parent = nullptr);

    // "100%" for 1.0: the nearest whole percent, halves away from zero.
    static QString percent(double level);

private:
    void showLevel(double level);

    WebZoom *m_zoom;
    QToolButton *m_out;
    QToolButton *m_actual;
    QToolButton *m_in;
};
