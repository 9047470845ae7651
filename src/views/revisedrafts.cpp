#include "views/revisedrafts.h"

#include "app/appstate.h"

QHash<QString, ReviseDrafts::Draft> &ReviseDrafts::all()
{
    static QHash<QString, Draft> drafts;
    return drafts;
}

ReviseDrafts::Draft &ReviseDrafts::of(const QString &dir)
{
    return all()[AppState::standardFolder(dir)];
}

void ReviseDrafts::clear(const QString &dir)
{
    all().remove(AppState::standardFolder(dir));
}
