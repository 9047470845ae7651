#include "app/viewfactory.h"

#include "views/planeditorview.h"
#include "views/settingsview.h"
#include "views/setupsheet.h"

#include <QDialog>
#include <QWidget>

namespace {

QWidget *placeholder(QWidget *parent, const char *name)
{
    auto *widget = new QWidget(parent);
    widget->setObjectName(QLatin1String(name));
    return widget;
}

} // namespace

namespace ViewFactory {

QWidget *sidebar(AppState *, QWidget *parent)
{
    return placeholder(parent, "sidebar");
}

QWidget *newPlanView(AppState *, QWidget *parent)
{
    return placeholder(parent, "newPlanView");
}

QWidget *runLog(AppState *, QWidget *parent)
{
    return placeholder(parent, "runLog");
}

QWidget *floatingNewButton(AppState *, QWidget *parent)
{
    return placeholder(parent, "floatingNewButton");
}

QWidget *updateBanner(AppState *, QWidget *parent)
{
    return placeholder(parent, "updateBanner");
}

QWidget *planEditorView(AppState *state, QWidget *parent)
{
    return new PlanEditorView(state, parent);
}

QWidget *settingsView(AppState *state, QWidget *parent)
{
    return new SettingsView(state, parent);
}

QDialog *setupSheet(AppState *state, QWidget *parent)
{
    return new SetupSheet(state, parent);
}

} // namespace ViewFactory
