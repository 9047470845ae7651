#include "views/settingsview.h"

#include "views/settingsform.h"

#include <QScrollArea>
#include <QVBoxLayout>

SettingsView::SettingsView(AppState *state, QWidget *parent)
    : QWidget(parent)
    , m_form(new SettingsForm(state))
{
    setObjectName(QStringLiteral("settingsView"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scrollingPage(m_form, this));
}

QScrollArea *SettingsView::scrollingPage(SettingsForm *form, QWidget *parent)
{
    auto *scroll = new QScrollArea(parent);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto *page = new QWidget;
    auto *padding = new QVBoxLayout(page);
    padding->setContentsMargins(20, 20, 20, 20);
    padding->addWidget(form);
    scroll->setWidget(page);
    return scroll;
}
