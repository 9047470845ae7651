#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <optional>

struct AppSettings;

// Putting a plan folder back in order, by a person's undo or because an
// operation was cut short: plan.json from a backup with plan.md and
// index.html made from it, or the derived files made again from plan.json.
// Every function is called with the folder claimed (FolderClaim), off the
// main thread where it can; each throws Failure with one Korean message.
namespace FolderRestore {

struct Failure {
    QString message;
    // The folder is still worked on by what an interrupted run started.
    bool busy = false;
};

// Rolls back a revision that was interrupted (killed, crashed) in `dir`:
// first ends what that run left running, then the backup it recorded goes
// back in place, with plan.md and index.html made from it, what Claude left
// becomes a kept copy and the rollback is logged. A recorded backup that is
// no plan is moved aside instead, once, and named. Gives the line that
// tells the person, nothing when no revision was under way.
std::optional<QString> rollBack(const QString &dir, const AppSettings &settings);

// Makes plan.md and index.html again when they were not made from the
// folder's plan.json (an operation killed between the files). Gives the
// line that tells the person, nothing when they were in step or plan.json
// cannot be read as a plan.
std::optional<QString> repair(const QString &dir, const AppSettings &settings);

// Returns the plan to the backup `backup`: the folder changes whole or not
// at all, the replaced plan stays as a kept copy and the backup is used up.
// Pictures of img/ kept beside the backup (picturesOf) go back too; the
// ones they replace are kept beside the kept copy.
// A backup that holds no plan is moved aside as a kept copy (Failure says
// so). Gives the line of the done phase.
QString undo(const QString &dir, const QString &backup, const AppSettings &settings);

// The folder beside the backup `backup` (history/plan-….json) that holds
// the pictures of img/ the change after it replaced, by their paths under
// img/.
QString picturesOf(const QString &backup);

// Keeps the pictures a change replaces, by their paths under img/, beside
// the backup `backup` made before it, where undo puts them back from; made
// beneath the folder. Gives the first picture that could not be kept with
// its reason, empty when all were.
QString keepPictures(const QString &dir, const QString &backup, const QHash<QString, QByteArray> &pictures);

// The cause given for a plan.json that holds no JSON object.
QString brokenPlan();

// Puts the plan `bytes` in place as plan.json and makes plan.md and
// index.html from them; a plan the writer cannot carry whole is kept as a
// kept copy first. Throws Failure.
void reinstate(const QString &dir, const QByteArray &bytes, const AppSettings &settings);

} // namespace FolderRestore
