#include "app/viewfactory.h"

#include "app/appstate.h"
#include "model/developer.h"
#include "model/generator.h"
#include "model/reviser.h"
#include "settings/updater.h"
#include "views/floatingnewbutton.h"
#include "views/newplanaction.h"
#include "views/newplanview.h"
#include "views/planeditorview.h"
#include "views/runlog.h"
#include "views/settingsview.h"
#include "views/setupsheet.h"
#include "views/sidebar.h"
#include "views/updatebanner.h"

#include <QDialog>
#include <QWidget>

namespace ViewFactory {

QWidget *sidebar(AppState *state, QWidget *parent)
{
    return new Sidebar(state, Generator::shared(), updateBanner(state, nullptr), parent);
}

QWidget *newPlanView(AppState *state, QWidget *parent)
{
    return new NewPlanView(state, parent);
}

QWidget *runLog(AppState *state, QWidget *parent)
{
    return new RunLog(state, Generator::shared(), parent);
}

QWidget *floatingNewButton(AppState *state, QWidget *parent)
{
    return new FloatingNewButton(state, Generator::shared(), NewPlanAction::shared(), parent);
}

QWidget *updateBanner(AppState *, QWidget *parent)
{
    auto *banner = new UpdateBanner(Updater::shared(), &AppState::busy, parent);
    // Busy follows the running work: the banner is drawn again whenever a
    // generation, a revision or a development run starts or ends.
    QObject::connect(&Generator::shared(), &Generator::phaseChanged, banner, &UpdateBanner::redraw);
    QObject::connect(&Reviser::shared(), &Reviser::phaseChanged, banner, &UpdateBanner::redraw);
    QObject::connect(&Developer::shared(), &Developer::runsChanged, banner, &UpdateBanner::redraw);
    return banner;
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
