#pragma once

#include <QByteArray>
#include <QString>

// The small "Chat" plans the revision tests edit, and a plan folder made of
// the first of them.
namespace ChatPlans {

extern const QByteArray cleanPlan;
// The same plan with a title: what an edit that went right leaves.
extern const QByteArray editedPlan;
// One problem more than the plans above: a move to a screen that is not there.
extern const QByteArray brokenMovePlan;

// Writes <dir>/plan.json (cleanPlan) and stand-ins for its derived files,
// plan.md ("old md") and index.html ("old html").
void writeFolder(const QString &dir);

} // namespace ChatPlans
