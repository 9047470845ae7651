#pragma once

#include <QObject>
#include <QPointer>

class PlanWebView;

// The page zoom of the plan web view, one for the process: the zoom
// control, the "보기" menu and the page's own reset drive it, and a new web
// view opens at the level the last one had.
class WebZoom : public QObject
{
    Q_OBJECT
    Q_PROPERTY(double level READ level NOTIFY levelChanged)

public:
    static constexpr double step = 0.1;

    static WebZoom *shared();

    double level() const { return m_level; }
    // Whole tenths, half away from zero, within 0.5 to 3.0; not a number
    // gives 0.5. The live web view follows at once.
    void set(double value);
    void zoomIn() { set(m_level + step); }
    void zoomOut() { set(m_level - step); }
    // The whole view back to 100 %: the view's own magnification first.
    void actualSize();
    // The page asked for a reset; it takes effect after this returns.
    void resetFromPage();

    PlanWebView *view() const;
    void setView(PlanWebView *view);

    static double rounded(double value);

Q_SIGNALS:
    void levelChanged(double level);

private:
    using QObject::QObject;

    double m_level = 1.0;
    QPointer<PlanWebView> m_view;
};
