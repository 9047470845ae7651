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

// A page written by this system into `dir` from a plan of `feature` titled
// `title`, with the two screen images given; gives the page's path.
QString writeSharedPage(const QString &dir, const QString &feature, const QString &title, const QByteArray &firstImage,
                        const QByteArray &secondImage);

} // namespace ChatPlans
