#include "views/zoomcontrol.h"

#include "views/webzoom.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QToolButton>
#include <cmath>

using namespace Qt::StringLiterals;

namespace {

QToolButton *button(const QString &name, const QString &symbol, const QString &theme, const QString &help, QWidget *parent)
{
    auto *made = new QToolButton(parent);
    made->setObjectName(name);
    made->setProperty("symbol", symbol);
    if (!theme.isEmpty())
        made->setIcon(QIcon::fromTheme(theme));
    made->setToolTip(help);
    made->setAutoRaise(true);
    return made;
}

} // namespace

ZoomControl::ZoomControl(WebZoom *zoom, QWidget *parent)
    : QWidget(parent)
    , m_zoom(zoom)
{
    setObjectName(u"zoomControl"_s);
    m_out = button(u"zoomOut"_s, u"minus.magnifyingglass"_s, u"zoom-out"_s, u"축소 (Ctrl+-)"_s, this);
    m_actual = button(u"zoomActual"_s, QString(), QString(), u"실제 크기 (Ctrl+0)"_s, this);
    m_actual->setMinimumWidth(52);
    m_in = button(u"zoomIn"_s, u"plus.magnifyingglass"_s, u"zoom-in"_s, u"확대 (Ctrl+=)"_s, this);
    if (m_out->icon().isNull())
        m_out->setText(u"−"_s);
    if (m_in->icon().isNull())
        m_in->setText(u"+"_s);

    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    row->addWidget(m_out);
    row->addWidget(m_actual);
    row->addWidget(m_in);

    connect(m_out, &QToolButton::clicked, m_zoom, &WebZoom::zoomOut);
    connect(m_actual, &QToolButton::clicked, m_zoom, &WebZoom::actualSize);
    connect(m_in, &QToolButton::clicked, m_zoom, &WebZoom::zoomIn);
    connect(m_zoom, &WebZoom::levelChanged, this, &ZoomControl::showLevel);
    showLevel(m_zoom->level());
}

QString ZoomControl::percent(double level)
{
    return QString::number(static_cast<long long>(std::round(level * 100.0))) + u"%"_s;
}

void ZoomControl::showLevel(double level)
{
    m_actual->setText(percent(level));
}
