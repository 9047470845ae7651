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

void ReviseDrafts::move(const QString &from, const QString &to)
{
    const QString key = AppState::standardFolder(from);
    if (all().contains(key))
        all().insert(AppState::standardFolder(to), all().take(key));
}
