#include "views/newplanaction.h"

NewPlanAction &NewPlanAction::shared()
{
    static NewPlanAction *const instance = new NewPlanAction;
    return *instance;
}

void NewPlanAction::setCanStart(bool canStart)
{
    if (m_canStart == canStart)
        return;
    m_canStart = canStart;
    Q_EMIT canStartChanged();
}

void NewPlanAction::setHint(const QString &hint)
{
    if (m_hint == hint)
        return;
    m_hint = hint;
    Q_EMIT hintChanged();
}
