#include "model/planguard.h"

#include "core/folderlock.h"
#include "core/madefrom.h"
#include "model/planhistory.h"

#include <QStringList>
#include <chrono>

namespace PlanGuard {

namespace {

constexpr std::chrono::minutes operationWait(2);

QStringList changedFiles(const PlanFiles::Snapshot &before, const PlanFiles::Snapshot &now)
{
    QStringList names;
    if (before.plan != now.plan)
        names.append(QStringLiteral("plan.json"));
    if (before.markdown != now.markdown)
        names.append(QStringLiteral("plan.md"));
    if (before.page != now.page)
        names.append(QStringLiteral("index.html"));
    return names;
}

QString notPutBack(const QString &reason)
{
    return QStringLiteral("개발 중에 계획서 파일이 바뀌었는데 원래대로 돌려 놓지 못했어요: ") + reason;
}

} // namespace

QString putBackChanges(const QString &dir, const PlanFiles::Snapshot &before)
{
    // Read first without the lock: the runs of both platforms check the
    // same folder, and only one that finds a change needs to hold it.
    if (changedFiles(before, PlanFiles::take(dir)).isEmpty())
        return QString();
    // A plan operation that holds the folder (a revision from the command
    // line, say) is waited for: what it leaves is judged once it is done.
    FolderLock lock;
    try {
        lock = FolderLock::take(dir, operationWait);
    } catch (const FolderLock::Failure &failure) {
        return notPutBack(failure.message);
    }
    const PlanFiles::Snapshot now = PlanFiles::take(dir);
    const QStringList changed = changedFiles(before, now);
    if (changed.isEmpty())
        return QString();
    // A plan operation ends by marking the files it wrote as made from its
    // plan.json; a tool writing beside the plan does not. What such an
    // operation wrote during the run is the person's plan, and stays.
    if (now.madeFrom != before.madeFrom && MadeFrom::holds(dir))
        return QString();
    QString kept;
    if (now.plan && before.plan && !now.plan->isEmpty()) {
        try {
            kept = PlanHistory::keep(dir, *now.plan);
        } catch (const PlanHistory::Failure &failure) {
            return notPutBack(failure.message);
        }
    }
    if (const QString error = PlanFiles::putBack(dir, before); !error.isEmpty())
        return notPutBack(error);
    const QString line =
        QStringLiteral("개발 중에 바뀐 계획서 파일을 원래대로 돌려 놨어요: ") + changed.join(QStringLiteral(", "));
    return kept.isEmpty() ? line : line + QStringLiteral(" (바뀐 plan.json: ") + kept + QLatin1Char(')');
}

} // namespace PlanGuard
