#include "views/webzoom.h"

#include "views/planwebview.h"

#include <cmath>

WebZoom *WebZoom::shared()
{
    static WebZoom *zoom = new WebZoom;
    return zoom;
}

double WebZoom::rounded(double value)
{
    if (std::isnan(value))
        return 0.5;
    // std::round takes halves away from zero; the product is nudged so that
    // 1.25, stored a hair below, still counts as a half.
    const double tenths = std::round(value * 10.0 * (1.0 + 1e-12));
    return std::min(std::max(tenths / 10.0, 0.5), 3.0);
}

PlanWebView *WebZoom::view() const
{
    return m_view;
}

void WebZoom::setView(PlanWebView *view)
{
    m_view = view;
}

void WebZoom::set(double value)
{
    const double level = rounded(value);
    const bool changed = level != m_level;
    m_level = level;
    if (m_view)
        m_view->applyZoom();
    if (changed)
        Q_EMIT levelChanged(m_level);
}

void WebZoom::actualSize()
{
    if (m_view)
        m_view->setMagnification(1.0);
    set(1.0);
}

void WebZoom::resetFromPage()
{
    QMetaObject::invokeMethod(this, &WebZoom::actualSize, Qt::QueuedConnection);
}
